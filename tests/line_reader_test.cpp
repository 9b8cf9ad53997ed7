// The reader's lines and line ends, at every block size from the smallest
// up, from a source that can be read again and from one read once (whose
// long lines go through the spool): each long line scanned, then read
// again, must give its text both times.
#include "line_reader.h"

#include <cstring>
#include <string>
#include <vector>

#include "check.h"

namespace {

struct memory {
  std::string bytes;
  std::size_t at = 0;
};

std::ptrdiff_t read_memory(void* context, char* data, std::size_t size, bool again) {
  memory& m = *static_cast<memory*>(context);
  const std::size_t count = std::min(size, m.bytes.size() - m.at);
  std::memcpy(data, m.bytes.data() + m.at, count);
  m.at += count;
  return count == 0 && again ? -1 : static_cast<std::ptrdiff_t>(count);
}

bool seek_memory(void* context, std::int64_t offset) {
  static_cast<memory*>(context)->at = static_cast<std::size_t>(offset);
  return true;
}

struct row {
  std::string input;
  std::string lines;  // each line's text, then "|" and its line end as \n or \r\n, then "|"
};

const row rows[] = {
    {"", ""},
    {"a\nb\r\nc", "a|\n|b|\r\n|c|\r\n|"},
    {"G1\r\n\r\n\n", "G1|\r\n||\r\n||\n|"},
    {"x\r", "x\r|\n|"},
    {"a\rb\n\r", "a\rb|\n|\r|\n|"},
    {std::string("G0 \0X\r\n\x1a", 8), std::string("G0 \0X|\r\n|\x1a|\r\n|", 14)},
    {"abcdefghij\r\nk\r", "abcdefghij|\r\n|k\r|\r\n|"},
    {"abcdefgh\r\r\n", "abcdefgh\r|\r\n|"},
    {"abc\r" + std::string(9, '\r') + "\n", "abc" + std::string(9, '\r') + "|\r\n|"},
};

// The lines the reader hands on, in a row's notation.
std::string lines_of(const std::string& input, std::size_t block, bool seekable) {
  memory m{input};
  byte_source source;
  source.read = read_memory;
  source.seek = seekable ? seek_memory : nullptr;
  source.context = &m;
  line_reader r;
  prepare_reader(r, source, block);
  std::string lines;
  for (;;) {
    std::string_view text, line_end, piece;
    std::string scanned, again;
    const next_input next = next_line(r, text, line_end);
    if (next == next_input::end) break;
    if (next == next_input::more && !fill(r)) return "read failed";
    if (next == next_input::long_line) {
      read_result read = start_long_line(r);
      while (read == read_result::more && (read = next_piece(r, piece)) == read_result::more) {
        scanned.append(piece);
      }
      read = start_reread(r);
      while (read == read_result::more && (read = next_reread(r, piece)) == read_result::more) {
        again.append(piece);
      }
      if (read != read_result::done || scanned != again) return "long line read again wrong";
      text = scanned;
      line_end = long_line_end(r);
    }
    if (next != next_input::more) lines.append(text).append("|").append(line_end).append("|");
  }
  close_reader(r);
  return lines;
}

}  // namespace

int main() {
  for (const row& r : rows) {
    for (std::size_t block = min_block_size - 1; block <= 14; ++block) {
      for (const bool seekable : {true, false}) {
        check(lines_of(r.input, block, seekable) == r.lines,
              "'" + r.input + "' at " + std::to_string(block) + (seekable ? "" : " read once"));
      }
    }
  }
  return test_status("line_reader");
}
