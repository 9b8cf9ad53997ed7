#include "line_pass.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::string_view travel_marker = "G0 ";
constexpr std::string_view fan_off = "M107";
constexpr std::string_view fan_on_prefix = "M106 S";
constexpr std::string_view lf = "\n";
constexpr std::string_view crlf = "\r\n";

struct pass_state {
  pass_files files{};
  std::string fan_on;
  bool echo = true;
  // Unhandled input bytes are [begin, end) of `block`; `end_offset` is the
  // input offset just past them.
  std::vector<char> block;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::int64_t end_offset = 0;
  bool at_eof = false;
  // A last line without a line feed ends like the line before it.
  std::string_view last_line_end = lf;
  std::string joined;
};

// The line and its line end go out in one write, so a stop between lines
// never leaves half of one.
bool write_line(io_handle file, std::string_view text, std::string_view line_end,
                std::string& joined) {
  joined.assign(text).append(line_end);
  return write_all(file, joined.data(), joined.size());
}

bool emit(pass_state& s, std::string_view text, std::string_view line_end) {
  if (s.echo) s.echo = write_line(s.files.console, text, console_line_end(), s.joined);
  return write_line(s.files.output, text, line_end, s.joined);
}

bool emit_bracketed(pass_state& s, std::string_view text, std::string_view line_end) {
  const bool travel = is_travel_move(text);
  s.last_line_end = line_end;
  return (!travel || emit(s, fan_off, line_end)) && emit(s, text, line_end) &&
         (!travel || emit(s, s.fan_on, line_end));
}

// Reads more input behind the unhandled bytes, moving them to the front of
// the block first.
bool fill(pass_state& s) {
  if (s.begin > 0) {
    std::memmove(s.block.data(), s.block.data() + s.begin, s.end - s.begin);
    s.end -= s.begin;
    s.begin = 0;
  }
  const std::ptrdiff_t count =
      read_some(s.files.input, s.block.data() + s.end, s.block.size() - s.end);
  if (count < 0) return false;
  s.at_eof = count == 0;
  s.end += static_cast<std::size_t>(count);
  s.end_offset += count;
  return true;
}

struct long_line {
  std::int64_t start = 0;      // input offset of its first byte
  std::int64_t text_size = 0;  // without its line end
  std::string_view line_end;   // empty when the input ends first
  bool travel = false;
};

// Scans a line that does not fit in the block, from `begin` on, for its end
// and the marker, reading on through the input. The last bytes of each chunk
// stay in the block for the next, so a marker or a CR LF split between two
// reads is still seen.
bool scan_long_line(pass_state& s, long_line& line) {
  constexpr std::size_t overlap = travel_marker.size() - 1;
  line.start = s.end_offset - static_cast<std::int64_t>(s.end - s.begin);
  for (;;) {
    const std::string_view chunk(s.block.data() + s.begin, s.end - s.begin);
    const std::size_t feed = chunk.find('\n');
    line.travel = line.travel || is_travel_move(chunk.substr(0, feed));
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && chunk[feed - 1] == '\r';
      const std::int64_t feed_offset =
          s.end_offset - static_cast<std::int64_t>(chunk.size() - feed);
      line.line_end = cr ? crlf : lf;
      line.text_size = feed_offset - line.start - (cr ? 1 : 0);
      return true;
    }
    s.begin = s.end - std::min(overlap, chunk.size());
    if (!fill(s)) return false;
    if (s.at_eof) {
      line.text_size = s.end_offset - line.start;
      return true;
    }
  }
}

// Sends `size` input bytes from `offset` on to the console and the file, a
// block at a time.
pass_result copy_text(pass_state& s, std::int64_t offset, std::int64_t size) {
  if (!seek_to(s.files.input, offset)) return pass_result::read_failed;
  while (size > 0) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(size, static_cast<std::int64_t>(s.block.size())));
    const std::ptrdiff_t count = read_some(s.files.input, s.block.data(), want);
    // Running out early means the file shrank since the scan.
    if (count <= 0) return pass_result::read_failed;
    const auto got = static_cast<std::size_t>(count);
    if (s.echo) s.echo = write_all(s.files.console, s.block.data(), got);
    if (!write_all(s.files.output, s.block.data(), got)) return pass_result::write_failed;
    size -= count;
  }
  return pass_result::complete;
}

// Emits a line longer than the block: scanned first for its end and the
// marker, then read again and sent on in pieces, so memory stays one block.
pass_result emit_long_line(pass_state& s) {
  long_line line;
  if (!scan_long_line(s, line)) return pass_result::read_failed;
  const std::string_view line_end = line.line_end.empty() ? s.last_line_end : line.line_end;
  s.last_line_end = line_end;
  if (line.travel && !emit(s, fan_off, line_end)) return pass_result::write_failed;
  const pass_result copied = copy_text(s, line.start, line.text_size);
  if (copied != pass_result::complete) return copied;
  if (!emit(s, {}, line_end)) return pass_result::write_failed;
  if (line.travel && !emit(s, s.fan_on, line_end)) return pass_result::write_failed;
  // Go on just past the line, with nothing held.
  s.end_offset = line.start + line.text_size + static_cast<std::int64_t>(line.line_end.size());
  s.begin = s.end = 0;
  return seek_to(s.files.input, s.end_offset) ? pass_result::complete : pass_result::read_failed;
}

}  // namespace

bool is_travel_move(std::string_view line) {
  return line.find(travel_marker) != std::string_view::npos;
}

pass_result run_line_pass(const pass_files& files, std::string_view speed, std::size_t block_size) {
  pass_state s;
  s.files = files;
  s.fan_on.assign(fan_on_prefix).append(speed);
  s.block.resize(std::max(block_size, min_block_size));
  const bool seekable = can_seek(files.input);
  for (;;) {
    const std::string_view held(s.block.data() + s.begin, s.end - s.begin);
    const std::size_t feed = held.find('\n');
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && held[feed - 1] == '\r';
      const std::string_view text = held.substr(0, feed - (cr ? 1 : 0));
      if (!emit_bracketed(s, text, cr ? crlf : lf)) {
        return pass_result::write_failed;
      }
      s.begin += feed + 1;
      continue;
    }
    if (s.at_eof) {
      if (held.empty() || emit_bracketed(s, held, s.last_line_end)) return pass_result::complete;
      return pass_result::write_failed;
    }
    if (s.begin == 0 && s.end == s.block.size()) {
      if (seekable) {
        const pass_result result = emit_long_line(s);
        if (result != pass_result::complete) return result;
        continue;
      }
      // A pipe cannot be read twice: hold the whole line.
      s.block.resize(s.block.size() * 2);
    }
    if (!fill(s)) return pass_result::read_failed;
  }
}
