// The parts of binary G-code that its reader and writer share: the layout of
// block headers and what a G-code block's data holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bgcode/bgcode.h"

constexpr std::size_t bgcode_file_header_size = 10;
constexpr std::size_t bgcode_checksum_size = 4;

/// Block types, by their number in the file.
enum bgcode_block_type : std::uint16_t {
  file_metadata = 0,
  gcode_block = 1,
  slicer_metadata = 2,
  printer_metadata = 3,
  print_metadata = 4,
  thumbnail = 5
};

/// The size of a block header: without compression it has one size, not two.
inline std::size_t bgcode_header_size(std::uint16_t compression) {
  return compression == 0 ? 8 : 12;
}

/// The size of a block's parameters: a thumbnail's format, width and height,
/// every other block's encoding.
inline std::size_t bgcode_parameters_size(std::uint16_t type) { return type == thumbnail ? 6 : 2; }

inline std::uint32_t bgcode_number(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

inline void bgcode_append_number(std::string& bytes, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
}

/// The CRC32 of `bytes`, going on from `crc` (0 to start).
std::uint32_t bgcode_crc(std::uint32_t crc, std::string_view bytes);

/// Views in `reader.text` what the data of a G-code block stands for,
/// decompressed to `size` bytes and decoded in the reader's rooms. False when
/// it does not make exactly that many bytes or does not decode, with the
/// reason.
bool bgcode_decode_text(std::string_view data, std::uint32_t size, bgcode_reader& reader,
                        std::string& reason);

/// Views in `packed` the G-code block data that holds `text`, encoded (its
/// size is the block's uncompressed size), and in `data` that compressed,
/// made in the writer's rooms. False, with the writer's reason, when the
/// encoding cannot hold the text.
bool bgcode_encode_text(std::string_view text, const bgcode_format& format, bgcode_writer& writer,
                        std::string_view& packed, std::string_view& data);
