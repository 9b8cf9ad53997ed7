// The transformation itself: one streaming pass over the input lines, from
// the reader through the classifier and the travel planner to the writer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "gcode/fan_dialect.h"
#include "pass/line_reader.h"
#include "system/file_io.h"

/// How a pass ended. spool_failed: the spool for a long line from a pipe
/// could not be written.
/// already_changed: the input holds this tool's change note.
enum class pass_result { complete, read_failed, write_failed, spool_failed, already_changed };

/// What a pass from the command line found besides its result.
struct pass_report {
  /// The change note it ended at (already_changed).
  std::string note;
  /// Why binary G-code could not be read or written, where the tool has the
  /// words; empty where the system's reason stands.
  std::string reason;
};

/// Where a pass reads and writes. The console only echoes: when it fails the
/// echo stops and the pass goes on.
struct pass_files {
  io_handle input;
  io_handle output;
  io_handle console;
  /// What was read of a pipe before the pass, to begin with.
  std::string_view taken = {};
};

/// What a pass does with the lines.
struct pass_options {
  /// The speed of the fan-on lines, or keep_speed for the print's own.
  std::string_view speed;
  /// How the fan lines name the fan and its speed, and which fan is the
  /// print's own, for keep.
  fan_dialect dialect;
  /// Also take G1 moves with X or Y and no extrusion for travel moves.
  bool g1_travel = false;
  /// At zero or more: the travel moves of one travel (those with nothing
  /// between them that moves the nozzle in X or Y or sets the fan) share one
  /// pair of fan lines, and a travel shorter than this many millimetres gets
  /// none. Below zero: every travel move gets its own pair.
  double min_travel = -1;
  /// At zero or more: the same, with a travel measured in seconds, its moves
  /// planned as firmware plans them, at `acceleration` (mm/s²) where the
  /// print sets none.
  double min_seconds = -1;
  double acceleration = 1000;
  /// At 0 or more: each fan-on line goes where this many seconds of its
  /// travel remain, splitting a move in X or Y there; the travels are
  /// joined and timed as for min_seconds, and one shorter than the lead and
  /// its minimum gets no fan lines.
  double fan_lead = -1;
  /// The dialogue's way: every line goes to the console, then to the file,
  /// each in one write, before the next line is read, so a stop leaves whole
  /// lines that were all seen. Otherwise the file is written in large blocks
  /// and the console not at all.
  bool echo = true;
  /// Binary G-code (an input that begins with GCDE) is read as the text of
  /// its G-code blocks, and written back in the same form: its other
  /// blocks as they are, its G-code in fresh blocks, the last line in a
  /// block of its own. With the echo, the console shows the G-code lines.
  bool reads_binary = false;
  /// A line to end the output with, in the line end of the last line read;
  /// none when empty.
  std::string_view last_line;
  /// Below min_block_size counts as min_block_size.
  std::size_t block_size = default_block_size;
};

/// Empties the output, then copies the input to it line by line, with each
/// travel move between an "M107" line and a fan-on line ("M106 S" and the
/// speed). Everything the pass needs is taken before the output is emptied.
/// File lines keep the input's line ends byte for byte; the added lines take
/// the line end of the travel move; the console gets its own. Stops at the
/// first failed read or write. While it echoes, it records each whole line
/// written (mark_whole), so that the run can cut the copy back to whole lines
/// after a failure or a stop. With `report`, the pass ends at a line that
/// is this tool's change note (already_changed), and says why binary
/// G-code failed.
pass_result run_line_pass(const pass_files& files, const pass_options& options,
                          pass_report* report = nullptr);
