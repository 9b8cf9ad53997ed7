// Where the blocks of a binary G-code file lie, for the tests that damage a
// block and then seal it again with a checksum that fits.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

inline std::uint64_t number_at(const std::string& file, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(file[at + i]);
  return value;
}

/// Where the block at `at` ends, before its checksum.
inline std::uint64_t block_end(const std::string& file, std::uint64_t at) {
  const bool compressed = number_at(file, at + 2, 2) != 0;
  return at + (compressed ? 12 : 8) + (number_at(file, at, 2) == 5 ? 6 : 2) +
         number_at(file, at + (compressed ? 8 : 4), 4);
}

/// Where each block starts, as far as block headers can be read.
inline std::vector<std::size_t> block_starts(const std::string& file) {
  std::vector<std::size_t> starts;
  const std::uint64_t checksum = file.size() >= 10 && file[8] == 1 ? 4 : 0;
  for (std::uint64_t at = 10; at + 12 <= file.size(); at = block_end(file, at) + checksum) {
    starts.push_back(at);
  }
  return starts;
}

/// Gives block `index` (from 0) of `file` the checksum that fits what it now
/// holds, when its checksum lies within the file.
inline void reseal(std::string& file, std::size_t index) {
  const std::vector<std::size_t> starts = block_starts(file);
  if (index >= starts.size()) return;
  const std::size_t at = starts[index];
  const std::uint64_t end = block_end(file, at);
  if (end + 4 > file.size()) return;
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(file.data() + at), static_cast<uInt>(end - at));
  for (int i = 0; i < 4; ++i) file[end + i] = static_cast<char>(crc >> (8 * i));
}
