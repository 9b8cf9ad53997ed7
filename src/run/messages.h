// What the tool says when a run cannot go on, and how it says it. The
// dialogue says the message alone; a run from a script adds the path and the
// reason.
#pragma once

#include <string_view>

#include "system/file_io.h"

namespace message {
constexpr std::string_view cannot_open_input = "Unable to open file to read";
constexpr std::string_view cannot_open_output = "Unable to open file to write";
constexpr std::string_view cannot_write = "Unable to write to file";
constexpr std::string_view cannot_read = "Unable to read from file";
constexpr std::string_view out_of_memory = "Out of memory";
constexpr std::string_view written = "Written to File: ";
constexpr std::string_view already_changed = "Already changed: ";
}  // namespace message

/// Writes `text` to `console`, with or without a line end. A console is only
/// told, so a failure here changes nothing. Nothing is allocated, so it can
/// still say that memory ran out.
inline void say_on(io_handle console, std::string_view text, bool line_end = true) {
  write_all(console, text.data(), text.size());
  if (line_end) write_all(console, console_line_end().data(), console_line_end().size());
}
