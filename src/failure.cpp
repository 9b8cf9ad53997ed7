#include "failure.h"

namespace {

unsigned long last_error = 0;
const char* refusal = nullptr;

}  // namespace

bool failed() {
  last_error = last_system_error();
  refusal = nullptr;
  return false;
}

bool refused(const char* why) {
  refusal = why;
  return false;
}

io_handle failed_open() {
  failed();
  return no_file;
}

std::string failure_reason() {
  return refusal != nullptr ? refusal : system_error_text(last_error);
}

void note_out_of_memory() {
  last_error = out_of_memory_error();
  refusal = nullptr;
}

std::ptrdiff_t read_again(io_handle file, char* data, std::size_t size) {
  // A scan has seen these bytes: an end here means the file was cut short.
  const std::ptrdiff_t count = read_some(file, data, size);
  if (count != 0) return count;
  refused(reason::shorter);
  return -1;
}
