// Heatshrink, the LZSS that binary G-code compresses its blocks with: a
// stream of bits, first bit of each byte first, in which a 1 is followed by
// a literal byte (8 bits) and a 0 by a reference to earlier output: the
// distance less one (window_bits bits) and the length less one (4 bits).
// The last byte is filled up with zero bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// Puts the `size` bytes that `data` decodes to with a window of
/// 2^window_bits bytes at the start of `room`, which grows as needed and
/// never shrinks, so that a room used block after block is not cleared again
/// for each. False when `data` is no whole stream of exactly that many bytes:
/// it ends early, goes on past them, or refers back before its own start.
bool heatshrink_decode(std::string_view data, int window_bits, std::size_t size, std::string& room);

/// What the encoder keeps from one call to the next: its tables of earlier
/// places, which it can then leave as they are rather than clear them.
struct heatshrink_tables {
  std::vector<std::uint32_t> latest, earlier;
  std::uint32_t base = 0;
};

/// Puts the stream that `data` (less than 4 GiB) encodes to with a window of
/// 2^window_bits bytes (4 to 15) at the start of `room`, which grows as needed
/// and never shrinks; returns a view of it.
std::string_view heatshrink_encode(std::string_view data, int window_bits,
                                   heatshrink_tables& tables, std::string& room);
