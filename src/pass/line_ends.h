// Line ends, in one place: a line ends at its line feed, and a CR just
// before the line feed belongs to the line end; a CR anywhere else is a byte
// of the line.
#pragma once

#include <cstddef>
#include <string_view>

constexpr std::string_view lf = "\n";
constexpr std::string_view crlf = "\r\n";

/// Where the text of the line that starts at `start` in `bytes` and has its
/// line feed at `feed` ends.
inline std::size_t text_end(std::string_view bytes, std::size_t start, std::size_t feed) {
  return feed > start && bytes[feed - 1] == '\r' ? feed - 1 : feed;
}

/// The line end of that line.
inline std::string_view line_end_at(std::string_view bytes, std::size_t start, std::size_t feed) {
  return text_end(bytes, start, feed) == feed ? lf : crlf;
}
