#include "run/change_note.h"

#include <algorithm>

#include "gcode/line_rules.h"
#include "system/byte_source.h"

namespace {

// More than any note: the end of the file that is read for one first.
constexpr std::size_t tail_size = 512;

// The last note line among the whole lines of `tail`: its first line is
// whole only when the tail is the whole file.
std::string_view last_note(std::string_view tail, bool whole_file) {
  std::size_t start = whole_file ? 0 : tail.find('\n');
  if (start == std::string_view::npos) return {};
  start += whole_file ? 0 : 1;
  std::string_view note;
  while (start <= tail.size()) {
    const std::size_t feed = std::min(tail.find('\n', start), tail.size());
    const std::string_view line = tail.substr(start, feed - start);
    if (is_note_line(line)) note = line;
    start = feed + 1;
  }
  return note;
}

}  // namespace

std::string change_note(const run_options& options) {
  return std::string(note_start) + noted_options(options);
}

std::string noted_command(std::string_view note_line) {
  const std::size_t start = note_line.find(note_words);
  // From the tool's name, the note's last word.
  std::string_view command = note_line.substr(start + note_words.rfind(' ') + 1);
  while (!command.empty() && is_white_space(command.back())) command.remove_suffix(1);
  return std::string(command);
}

note_found find_change_note(io_handle input, std::string& note) {
  if (!can_seek(input)) return note_found::no;
  const std::int64_t size = file_size(input);
  const std::int64_t start = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(tail_size));
  char tail[tail_size];
  if (size < 0 || !seek_to(input, start)) return note_found::unreadable;
  const std::ptrdiff_t count = read_up_to(input, tail, tail_size);
  if (count < 0 || !seek_to(input, 0)) return note_found::unreadable;
  note = last_note(std::string_view(tail, static_cast<std::size_t>(count)), start == 0);
  return note.empty() ? note_found::no : note_found::yes;
}
