// Where the lines go: the file, and in the dialogue the console first, a
// whole line at a time, with the file's whole lines recorded for a stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_io.h"

/// A line the pass adds, ready with each line end it may take.
struct added_line {
  std::string with_lf, with_crlf, for_console;
};

/// Longer than any added line, so making one never asks for memory mid-pass.
constexpr std::size_t added_line_room = 64;

/// Makes `line` say `text` followed by `more`; its memory is taken first.
void make_added(added_line& line, std::string_view text, std::string_view more = {});

/// One of several lines in one buffer: where it ends, and how many of the
/// bytes before that are its line end.
struct line_span {
  std::size_t end = 0;
  std::size_t line_end_size = 0;
};

struct line_writer {
  io_handle file = no_file;
  io_handle console = no_file;
  /// The dialogue's way: every line goes to the console, then to the file,
  /// each in one write, so a stop leaves whole lines that were all seen.
  /// Otherwise the file is written in large blocks, the console not at all.
  bool echo = true;
  bool console_works = true;  // false once it has failed: the echo stops
  // Without the echo, the file is written from `out`; bytes of the input
  // block that go on as they stand gather first as one `run`.
  std::vector<char> out;
  std::size_t out_size = 0;
  std::string_view run;
  std::int64_t written = 0;  // bytes written to the file
  /// Where the bytes go instead of the file, when set.
  bool (*sink)(void* context, std::string_view bytes) = nullptr;
  void* sink_context = nullptr;
  // A line whose line end must change is joined here.
  std::string file_line, console_line;
};

/// Readies the writer and takes its memory: lines up to `longest` bytes are
/// joined to a line end without asking for more.
void prepare_writer(line_writer& writer, io_handle file, io_handle console, bool echo,
                    std::size_t block_size, std::size_t longest);

/// Writes a line with `line_end`. When `joined`, the line end follows the
/// text in memory (a line as it stands in the input block) and those bytes
/// are written as they are.
bool write_line(line_writer& writer, std::string_view text, std::string_view line_end, bool joined);

/// Writes an added line with the line end of the line it goes with.
bool write_added(line_writer& writer, const added_line& line, std::string_view line_end);

/// Writes `count` whole lines that stand one after another in `bytes`.
bool write_lines(line_writer& writer, std::string_view bytes, const line_span* lines,
                 std::size_t count);

/// Writes part of a long line, without its line end.
bool write_piece(line_writer& writer, std::string_view bytes);

/// Whole lines of the input block that go on as they stand (not with the
/// echo).
bool write_plain(line_writer& writer, std::string_view lines);

/// Writes what waits in the input block: to be called before it moves.
bool flush_run(line_writer& writer);

/// Writes everything that waits.
bool finish(line_writer& writer);
