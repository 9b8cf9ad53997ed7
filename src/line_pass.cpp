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
  bool seekable = false;
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
  // Bytes written to the copy, and how many of them are whole lines.
  std::int64_t written = 0;
  std::int64_t whole = 0;
  // A line too long for the block, from an input that cannot be read twice,
  // is held here; `piece` carries a long line from its source to the files.
  io_handle spool = no_file;
  std::vector<char> piece;
};

bool write_copy(pass_state& s, const char* data, std::size_t size, bool ends_line) {
  if (!write_all(s.files.output, data, size)) return false;
  s.written += static_cast<std::int64_t>(size);
  if (ends_line) {
    s.whole = s.written;
    mark_whole(s.whole);
  }
  return true;
}

// The line and its line end go out in one write, so a stop between lines
// never leaves half of one.
bool emit(pass_state& s, std::string_view text, std::string_view line_end) {
  if (s.echo) {
    s.joined.assign(text).append(console_line_end());
    s.echo = write_all(s.files.console, s.joined.data(), s.joined.size());
  }
  s.joined.assign(text).append(line_end);
  return write_copy(s, s.joined.data(), s.joined.size(), true);
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

// Readies the spool for a new line: opened once, emptied for each line.
bool reset_spool(pass_state& s) {
  if (s.spool == no_file) s.spool = open_spool();
  return s.spool != no_file && cut_back(s.spool, 0) && seek_to(s.spool, 0);
}

// Scans a line that does not fit in the block, from `begin` on, for its end
// and the marker, reading on through the input; an input that cannot be read
// twice is copied to the spool on the way. The last bytes of each chunk stay
// in the block for the next, so a marker or a CR LF split between two reads
// is still seen. Leaves `begin` just past the line.
pass_result scan_long_line(pass_state& s, long_line& line) {
  constexpr std::size_t overlap = travel_marker.size() - 1;
  if (!s.seekable && !reset_spool(s)) return pass_result::write_failed;
  line.start = s.end_offset - static_cast<std::int64_t>(s.end - s.begin);
  std::size_t spooled = 0;  // how much of the chunk's front is in the spool
  for (;;) {
    const std::string_view chunk(s.block.data() + s.begin, s.end - s.begin);
    const std::size_t feed = chunk.find('\n');
    const std::string_view text = chunk.substr(0, feed);
    line.travel = line.travel || is_travel_move(text);
    if (!s.seekable && !write_all(s.spool, text.data() + spooled, text.size() - spooled)) {
      return pass_result::write_failed;
    }
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && chunk[feed - 1] == '\r';
      const std::int64_t feed_offset =
          s.end_offset - static_cast<std::int64_t>(chunk.size() - feed);
      line.line_end = cr ? crlf : lf;
      line.text_size = feed_offset - line.start - (cr ? 1 : 0);
      s.begin += feed + 1;
      return pass_result::complete;
    }
    s.begin = s.end - std::min(overlap, chunk.size());
    spooled = s.end - s.begin;
    if (!fill(s)) return pass_result::read_failed;
    if (s.at_eof) {
      line.text_size = s.end_offset - line.start;
      s.begin = s.end;
      return pass_result::complete;
    }
  }
}

// Sends `size` bytes of `source` from `offset` on to the console and the
// file, a piece at a time.
pass_result copy_text(pass_state& s, io_handle source, std::int64_t offset, std::int64_t size) {
  if (!seek_to(source, offset)) return pass_result::read_failed;
  s.piece.resize(s.block.size());
  while (size > 0) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(size, static_cast<std::int64_t>(s.piece.size())));
    const std::ptrdiff_t count = read_some(source, s.piece.data(), want);
    // Running out early means the file shrank since the scan.
    if (count <= 0) return pass_result::read_failed;
    const auto got = static_cast<std::size_t>(count);
    if (s.echo) s.echo = write_all(s.files.console, s.piece.data(), got);
    if (!write_copy(s, s.piece.data(), got, false)) return pass_result::write_failed;
    size -= count;
  }
  return pass_result::complete;
}

// Emits a line longer than the block: scanned first for its end and the
// marker, then read again (from the input, or from the spool) and sent on in
// pieces, so memory stays one block whatever the line's length.
pass_result emit_long_line(pass_state& s) {
  long_line line;
  const pass_result scanned = scan_long_line(s, line);
  if (scanned != pass_result::complete) return scanned;
  const std::string_view line_end = line.line_end.empty() ? s.last_line_end : line.line_end;
  s.last_line_end = line_end;
  if (line.travel && !emit(s, fan_off, line_end)) return pass_result::write_failed;
  const pass_result copied = s.seekable ? copy_text(s, s.files.input, line.start, line.text_size)
                                        : copy_text(s, s.spool, 0, line.text_size);
  if (copied != pass_result::complete) return copied;
  if (!emit(s, {}, line_end)) return pass_result::write_failed;
  if (line.travel && !emit(s, s.fan_on, line_end)) return pass_result::write_failed;
  // Reading goes on behind the bytes the block still holds.
  if (s.seekable && !seek_to(s.files.input, s.end_offset)) return pass_result::read_failed;
  return pass_result::complete;
}

pass_result run(pass_state& s) {
  for (;;) {
    const std::string_view held(s.block.data() + s.begin, s.end - s.begin);
    const std::size_t feed = held.find('\n');
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && held[feed - 1] == '\r';
      if (!emit_bracketed(s, held.substr(0, feed - (cr ? 1 : 0)), cr ? crlf : lf)) {
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
      const pass_result result = emit_long_line(s);
      if (result != pass_result::complete) return result;
      continue;
    }
    if (!fill(s)) return pass_result::read_failed;
  }
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
  s.seekable = can_seek(files.input);
  guard_copy(files.output);
  const pass_result result = run(s);
  guard_copy(no_file);
  if (s.spool != no_file) close_file(s.spool);
  // A failure may have left part of a line: the copy ends on its last whole
  // line, as after a stop.
  if (result != pass_result::complete) cut_back(files.output, s.whole);
  return result;
}
