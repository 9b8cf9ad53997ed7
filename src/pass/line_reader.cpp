#include "pass/line_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// Readies the spool for a new line: opened once, emptied for each line.
bool reset_spool(line_reader& r) {
  if (r.spool == no_file) r.spool = open_spool();
  return r.spool != no_file && cut_back(r.spool, 0) && seek_to(r.spool, 0);
}

// A piece of a long line is counted, and kept in the spool when the source
// cannot be read twice.
read_result hand_on(line_reader& r, std::string_view piece) {
  r.long_size += static_cast<std::int64_t>(piece.size());
  if (!r.seekable && !write_all(r.spool, piece.data(), piece.size())) {
    return read_result::spool_failed;
  }
  return read_result::more;
}

}  // namespace

void prepare_reader(line_reader& r, byte_source source, std::size_t block_size) {
  r.source = source;
  r.seekable = source.seek != nullptr;
  r.block.resize(std::max(block_size, min_block_size));
  r.piece.resize(r.block.size());
}

void restart_reader(line_reader& r, byte_source source) {
  r.source = source;
  r.seekable = false;
  r.begin = r.end = r.whole_end = 0;
  r.end_offset = 0;
  r.at_eof = false;
}

void close_reader(line_reader& r) {
  if (r.spool != no_file) close_file(r.spool);
  r.spool = no_file;
}

bool fill(line_reader& r) {
  if (r.begin > 0) {
    std::memmove(r.block.data(), r.block.data() + r.begin, r.end - r.begin);
    r.end -= r.begin;
    r.begin = 0;
  }
  const std::ptrdiff_t count =
      r.source.read(r.source.context, r.block.data() + r.end, r.block.size() - r.end, false);
  if (count < 0) return false;
  r.at_eof = count == 0;
  r.end += static_cast<std::size_t>(count);
  r.end_offset += count;
  r.whole_end = std::string_view(r.block.data(), r.end).rfind('\n') + 1;  // npos + 1 is 0
  return true;
}

bool begins_with(line_reader& r, std::string_view prefix, bool& found) {
  while (r.end < prefix.size() && !r.at_eof) {
    if (!fill(r)) return false;
  }
  found = std::string_view(r.block.data(), r.end).substr(0, prefix.size()) == prefix;
  return true;
}

next_input next_line(line_reader& r, std::string_view& text, std::string_view& line_end) {
  const std::string_view rest(r.block.data() + r.begin, r.end - r.begin);
  const std::size_t feed = rest.find('\n');
  if (feed != std::string_view::npos) {
    text = rest.substr(0, text_end(rest, 0, feed));
    line_end = r.last_line_end = line_end_at(rest, 0, feed);
    r.begin += feed + 1;
    return next_input::line;
  }
  if (r.at_eof) {
    if (rest.empty()) return next_input::end;
    text = rest;
    line_end = r.last_line_end;
    r.begin = r.end;
    return next_input::last_line;
  }
  return r.begin == 0 && r.end == r.block.size() ? next_input::long_line : next_input::more;
}

std::string_view whole_lines(const line_reader& r) {
  return std::string_view(r.block.data() + r.begin,
                          r.whole_end > r.begin ? r.whole_end - r.begin : 0);
}

void skip_lines(line_reader& r, std::size_t size) {
  if (size == 0) return;
  r.last_line_end = line_end_at(std::string_view(r.block.data() + r.begin, size), 0, size - 1);
  r.begin += size;
}

read_result start_long_line(line_reader& r) {
  r.long_start = r.end_offset - static_cast<std::int64_t>(r.end - r.begin);
  r.long_size = 0;
  r.long_ended = false;
  return r.seekable || reset_spool(r) ? read_result::more : read_result::spool_failed;
}

read_result next_piece(line_reader& r, std::string_view& piece) {
  for (;;) {
    if (r.long_ended) return read_result::done;
    const std::string_view rest(r.block.data() + r.begin, r.end - r.begin);
    const std::size_t feed = rest.find('\n');
    if (feed != std::string_view::npos || r.at_eof) {
      r.long_ended = true;
      piece = feed == std::string_view::npos ? rest : rest.substr(0, text_end(rest, 0, feed));
      if (feed != std::string_view::npos) r.last_line_end = line_end_at(rest, 0, feed);
      r.begin = feed == std::string_view::npos ? r.end : r.begin + feed + 1;
      return hand_on(r, piece);
    }
    // A CR at the end may be half of a line end: it waits for what follows.
    const std::size_t open_cr = !rest.empty() && rest.back() == '\r' ? 1 : 0;
    piece = rest.substr(0, rest.size() - open_cr);
    r.begin = r.end - open_cr;
    if (!piece.empty()) return hand_on(r, piece);
    if (!fill(r)) return read_result::read_failed;
  }
}

std::string_view long_line_end(const line_reader& r) { return r.last_line_end; }

read_result start_reread(line_reader& r) {
  r.reread = 0;
  const bool sought =
      r.seekable ? r.source.seek(r.source.context, r.long_start) : seek_to(r.spool, 0);
  return sought ? read_result::more : read_result::read_failed;
}

read_result next_reread(line_reader& r, std::string_view& piece) {
  if (r.reread == r.long_size) {
    // Reading goes on behind the bytes the block still holds.
    const bool back = !r.seekable || r.source.seek(r.source.context, r.end_offset);
    return back ? read_result::done : read_result::read_failed;
  }
  const auto want = static_cast<std::size_t>(
      std::min<std::int64_t>(r.long_size - r.reread, static_cast<std::int64_t>(r.piece.size())));
  const std::ptrdiff_t count = r.seekable
                                   ? r.source.read(r.source.context, r.piece.data(), want, true)
                                   : read_again(r.spool, r.piece.data(), want);
  if (count < 0) return read_result::read_failed;
  piece = std::string_view(r.piece.data(), static_cast<std::size_t>(count));
  r.reread += count;
  return read_result::more;
}
