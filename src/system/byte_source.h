// Where the input's bytes come from: a file or a pipe, or the text that
// binary G-code decodes to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/file_io.h"

struct byte_source {
  /// Reads up to `size` bytes: the count, 0 at the end, -1 on failure.
  /// `again`: the bytes were read before, so that an end is a failure.
  std::ptrdiff_t (*read)(void* context, char* data, std::size_t size, bool again) = nullptr;
  /// Goes back to `offset` from the start; null for a source that can be
  /// read only once.
  bool (*seek)(void* context, std::int64_t offset) = nullptr;
  void* context = nullptr;
};

/// Reads again bytes a scan has already seen: an end here means the file
/// got shorter while it was read, and is a failure.
std::ptrdiff_t read_again(io_handle file, char* data, std::size_t size);

/// Reads up to `size` bytes from where `file` stands, fewer only where it
/// ends: the count, or -1 on failure.
std::ptrdiff_t read_up_to(io_handle file, char* data, std::size_t size);

/// A file, or a pipe, as a source. `file` must outlive the source.
byte_source file_source(io_handle& file);

/// Reads up to `size` bytes from `source`.
inline std::ptrdiff_t read_from(const byte_source& source, char* data, std::size_t size) {
  return source.read(source.context, data, size, false);
}
