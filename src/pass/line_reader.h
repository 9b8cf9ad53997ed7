// The input as lines: bytes read from a source a block at a time, each line
// handed on with its line end. A line longer than the block is handed on in
// pieces, twice: once to be scanned, then again to be written, read a second
// time from the source, or from a spool file when the source is read once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pass/line_ends.h"
#include "system/byte_source.h"
#include "system/file_io.h"

/// Bytes read from the input at a time. Lines up to this length are held
/// whole; a longer one is scanned, then read again.
constexpr std::size_t default_block_size = 64 * 1024;

/// The smallest block the reader works with: room for the four bytes that
/// mark binary G-code.
constexpr std::size_t min_block_size = 4;

/// What the reader has next.
enum class next_input {
  line,       // a whole line
  last_line,  // the last line, which has no line feed
  long_line,  // a line longer than the block: its pieces come from next_piece
  more,       // nothing whole in the block: fill it
  end,
};

/// What a read of part of a long line gave.
enum class read_result { more, done, read_failed, spool_failed };

struct line_reader {
  byte_source source;
  bool seekable = false;
  // The unhandled bytes are [begin, end) of `block`; `end_offset` is the
  // input offset just past them.
  std::vector<char> block;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::int64_t end_offset = 0;
  bool at_eof = false;
  std::size_t whole_end = 0;  // just past the block's last line feed
  /// The line end of the last line handed on, which a last line without a
  /// line feed takes too.
  std::string_view last_line_end = lf;
  // The long line being read: its input offset, the size of its text so
  // far, how much of it has been read again, and whether its end was met.
  std::int64_t long_start = 0;
  std::int64_t long_size = 0;
  std::int64_t reread = 0;
  bool long_ended = false;
  io_handle spool = no_file;
  std::vector<char> piece;
};

/// Takes the memory the reader needs; blocks below min_block_size count as
/// min_block_size.
void prepare_reader(line_reader& reader, byte_source source, std::size_t block_size);

/// Reads from `source` from its start instead, which is read once: what the
/// reader holds is forgotten.
void restart_reader(line_reader& reader, byte_source source);

/// Closes the spool, if one was made.
void close_reader(line_reader& reader);

/// Reads more input behind the unhandled bytes. Views of the block end here.
bool fill(line_reader& reader);

/// Whether the input begins with `prefix`, filling the block as far as it
/// must; false in `found` too when the input is shorter.
bool begins_with(line_reader& reader, std::string_view prefix, bool& found);

/// The next line: its text and line end, as they stand in the block (the
/// line end right after the text) for a whole line; a last line takes the
/// line end of the line before it.
next_input next_line(line_reader& reader, std::string_view& text, std::string_view& line_end);

/// The whole lines at the start of the unhandled bytes, line ends included.
std::string_view whole_lines(const line_reader& reader);

/// Hands on the first `size` bytes of whole_lines at once.
void skip_lines(line_reader& reader, std::size_t size);

/// Starts a long line (next_line said long_line).
read_result start_long_line(line_reader& reader);

/// The next piece of the long line's text (more), or done once its line end
/// has been read (long_line_end then gives it). Views of the block end with
/// the next call.
read_result next_piece(line_reader& reader, std::string_view& piece);

/// The line end of the long line; a last line takes the one before it.
std::string_view long_line_end(const line_reader& reader);

/// Starts reading the long line's text again.
read_result start_reread(line_reader& reader);

/// The next piece of the long line read again (more), or done.
read_result next_reread(line_reader& reader, std::string_view& piece);
