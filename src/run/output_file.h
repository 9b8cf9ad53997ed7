// The file a run writes, as one object: guarded from the moment it is opened
// (open_output, open_temp_beside), and left as a stop would leave it (a new
// file removed, an older copy cut back to its whole lines) unless the run
// keeps it, on every way out, running out of memory included.
#pragma once

#include "system/file_io.h"

struct output_file {
  explicit output_file(io_handle opened) : file(opened), guarded(opened != no_file) {}
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  inline ~output_file();

  io_handle file;
  bool kept = false;  // the run is done with it: a stop leaves it as it is
  bool guarded;
};

/// Ends the guard, abandoning the file first unless it is kept, then closes
/// it unless the run has handed the handle on (`file` set to no_file).
/// False when the close fails.
inline bool close_output(output_file& output) {
  if (output.guarded) {
    if (!output.kept) abandon_output();
    release_output();
    output.guarded = false;
  }
  const io_handle file = output.file;
  output.file = no_file;
  return file == no_file || close_file(file);
}

output_file::~output_file() { close_output(*this); }
