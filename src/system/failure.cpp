#include "system/failure.h"

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
