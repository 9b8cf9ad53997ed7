// The transformation itself: one streaming pass over the input lines.
#pragma once

#include <cstddef>
#include <string_view>

#include "file_io.h"

/// Bytes read from the input at a time. Lines up to this length are held
/// whole; a longer one is scanned, then read again: from the input when it
/// is a file, from a spool file when it is a pipe.
constexpr std::size_t default_block_size = 64 * 1024;

/// The smallest block the pass works with: the two bytes of a marker kept
/// from one read, and room for one more.
constexpr std::size_t min_block_size = 3;

/// How a pass ended.
enum class pass_result { complete, read_failed, write_failed };

/// True when `line` holds the travel-move marker "G0 " anywhere; case matters.
bool is_travel_move(std::string_view line);

/// Where a pass reads and writes. The console only echoes: when it fails the
/// echo stops and the pass goes on.
struct pass_files {
  io_handle input;
  io_handle output;
  io_handle console;
};

/// Copies the input to the output line by line, with each travel move
/// between an "M107" line and an "M106 S<speed>" line. Every emitted line
/// goes first to the console, then to the file, each in one write, before
/// the next line is read. File lines keep the input's line ends byte for
/// byte; the console gets its own. Stops at the first failed read or write,
/// and then cuts the copy back to its last whole line. While it runs, a stop
/// of the process does the same (see guard_copy). `block_size` below
/// min_block_size counts as min_block_size.
pass_result run_line_pass(const pass_files& files, std::string_view speed,
                          std::size_t block_size = default_block_size);
