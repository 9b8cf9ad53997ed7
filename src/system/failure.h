// Why the last file call failed, kept for failure_reason: the system's own
// error, or a refusal in the tool's words. For the platform files only.
#pragma once

#include <string>

#include "system/file_io.h"

/// The tool's reasons for refusing, the same words on every platform.
namespace reason {
constexpr const char* not_a_file = "a device, not a file";
constexpr const char* not_regular = "not a regular file";
constexpr const char* is_input = "it is the input file itself";
constexpr const char* locked = "another run is writing it";
constexpr const char* not_owner = "it belongs to another user, who would lose it";
constexpr const char* gone = "it was moved or removed while it was read";
constexpr const char* changed = "it was changed during the run";
constexpr const char* appeared = "another run wrote it meanwhile";
constexpr const char* shorter = "the file got shorter while it was read";
}  // namespace reason

/// Records the system's last error as the reason. Always false, so that a
/// check reads `call() || failed()`.
bool failed();

/// Records `why`, one of the reasons above, as the reason. Always false.
bool refused(const char* why);

/// failed(), for an open: no_file.
io_handle failed_open();

// Given by the platform file.

/// The system's code for why its last call failed: errno, or GetLastError().
unsigned long last_system_error();

/// The system's own words for `code`.
std::string system_error_text(unsigned long code);

/// The system's code for memory that ran out.
unsigned long out_of_memory_error();
