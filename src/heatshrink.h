// Heatshrink, the LZSS that binary G-code compresses its blocks with: a
// stream of bits, first bit of each byte first, in which a 1 is followed by
// a literal byte (8 bits) and a 0 by a reference to earlier output: the
// distance less one (window_bits bits) and the length less one (4 bits).
// The last byte is filled up with zero bits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// Appends to `out` the `size` bytes that `data` decodes to with a window of
/// 2^window_bits bytes. False, with `out` as it was, when `data` is no whole
/// stream of exactly that many bytes: it ends early, goes on past them, or
/// refers back before its own start.
bool heatshrink_decode(std::string_view data, int window_bits, std::size_t size, std::string& out);

/// Appends to `out` the stream that `data` encodes to with a window of
/// 2^window_bits bytes (4 to 15).
void heatshrink_encode(std::string_view data, int window_bits, std::string& out);
