#include "system/byte_source.h"

#include "system/failure.h"

namespace {

std::ptrdiff_t read_file(void* context, char* data, std::size_t size, bool again) {
  const io_handle file = *static_cast<io_handle*>(context);
  return again ? read_again(file, data, size) : read_some(file, data, size);
}

bool seek_file(void* context, std::int64_t offset) {
  return seek_to(*static_cast<io_handle*>(context), offset);
}

}  // namespace

std::ptrdiff_t read_again(io_handle file, char* data, std::size_t size) {
  const std::ptrdiff_t count = read_some(file, data, size);
  if (count != 0) return count;
  refused(reason::shorter);
  return -1;
}

std::ptrdiff_t read_up_to(io_handle file, char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::ptrdiff_t count = read_some(file, data + got, size - got);
    if (count < 0) return count;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  return static_cast<std::ptrdiff_t>(got);
}

byte_source file_source(io_handle& file) {
  byte_source source;
  source.read = read_file;
  source.seek = can_seek(file) ? seek_file : nullptr;
  source.context = &file;
  return source;
}
