#include "change_note.h"

#include <algorithm>

namespace {

constexpr std::string_view note_start = "; fan off during travel moves: tarvix";

// More than any note: a last line that does not fit is not one.
constexpr std::size_t tail_size = 512;

// Reads up to `size` bytes from where `input` stands; fewer when it ends.
std::ptrdiff_t read_up_to(io_handle input, char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::ptrdiff_t count = read_some(input, data + got, size - got);
    if (count < 0) return count;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  return static_cast<std::ptrdiff_t>(got);
}

// The start of the last line in `tail`; empty when the line may begin before
// it. A line end at the very end closes the last line.
std::string_view last_line(std::string_view tail, bool whole_file) {
  if (!tail.empty() && tail.back() == '\n') tail.remove_suffix(1);
  const std::size_t feed = tail.rfind('\n');
  if (feed == std::string_view::npos && !whole_file) return {};
  return tail.substr(feed + 1);  // npos + 1 is 0
}

bool is_note(std::string_view line) {
  const std::size_t size = note_start.size();
  return line.size() > size && line.substr(0, size) == note_start && line[size] == ' ';
}

}  // namespace

std::string change_note(const run_options& options) {
  return std::string(note_start) + noted_options(options);
}

note_found find_change_note(io_handle input) {
  if (!can_seek(input)) return note_found::no;
  const std::int64_t size = file_size(input);
  const std::int64_t start = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(tail_size));
  char tail[tail_size];
  if (size < 0 || !seek_to(input, start)) return note_found::unreadable;
  const std::ptrdiff_t count = read_up_to(input, tail, tail_size);
  if (count < 0 || !seek_to(input, 0)) return note_found::unreadable;
  const std::string_view line =
      last_line(std::string_view(tail, static_cast<std::size_t>(count)), start == 0);
  return is_note(line) ? note_found::yes : note_found::no;
}
