#include "bgcode/bgcode.h"

#include <algorithm>

#include "bgcode/bgcode_codec.h"

namespace {

/// How much of a block other than G-code one step hands on.
constexpr std::size_t copy_piece = 64 * 1024;

// Where each block type stands in a file: file metadata, printer metadata,
// thumbnails, print metadata, slicer metadata, G-code. Indexed by type.
constexpr int type_ranks[] = {0, 5, 4, 1, 3, 2};
constexpr int thumbnail_rank = 2, gcode_rank = 5;

bgcode_part fail(bgcode_reader& reader, const std::string& reason) {
  reader.reason = reason;
  reader.finished = true;
  return bgcode_part::failed;
}

std::string in_block(const std::string& what, const bgcode_reader& reader) {
  return what + " in block " + std::to_string(reader.block);
}

// Reads `size` bytes of the input to `into`; how many it read. Fewer at the
// end of the input or on an error, with the reason unless `may_end` and the
// input has ended before the first byte.
std::size_t read_into(bgcode_reader& reader, char* into, std::size_t size, bool may_end = false) {
  std::size_t got = 0;
  while (got < size) {
    const std::ptrdiff_t count = read_from(reader.source, into + got, size - got);
    if (count < 0) fail(reader, failure_reason());
    if (count == 0 && !(may_end && got == 0)) {
      fail(reader, reader.block == 0 ? "the file ends inside its header"
                                     : in_block("the file ends", reader));
    }
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  return got;
}

// Appends `size` bytes of the input to `bytes`. False when read_into reads
// fewer.
bool read_exactly(bgcode_reader& reader, std::string& bytes, std::size_t size,
                  bool may_end = false) {
  const std::size_t start = bytes.size();
  bytes.resize(start + size);
  const std::size_t got = read_into(reader, bytes.data() + start, size, may_end);
  bytes.resize(start + got);
  return got == size;
}

// Reads a block's checksum, when the file has them, onto `bytes` and checks it.
bool checksum_matches(bgcode_reader& reader, std::uint32_t crc, std::string& bytes) {
  if (reader.format.checksum == 0) return true;
  if (!read_exactly(reader, bytes, bgcode_checksum_size)) return false;
  if (bgcode_number(bytes, bytes.size() - bgcode_checksum_size, bgcode_checksum_size) != crc) {
    fail(reader, in_block("bad checksum", reader));
    return false;
  }
  return true;
}

bgcode_part read_file_header(bgcode_reader& reader) {
  reader.started = true;
  if (!read_exactly(reader, reader.bytes, bgcode_file_header_size)) return bgcode_part::failed;
  const std::uint32_t version = bgcode_number(reader.bytes, 4, 4);
  reader.format.checksum = static_cast<std::uint16_t>(bgcode_number(reader.bytes, 8, 2));
  if (reader.bytes.compare(0, 4, "GCDE") != 0) return fail(reader, "not binary G-code");
  if (version != 1) return fail(reader, "unknown binary G-code version " + std::to_string(version));
  if (reader.format.checksum > 1) {
    return fail(reader, "unknown checksum type " + std::to_string(reader.format.checksum));
  }
  return bgcode_part::bytes;
}

// Hands on the next piece of a block other than G-code; the last piece ends
// with the checksum.
bgcode_part copy_block(bgcode_reader& reader) {
  const std::size_t start = reader.bytes.size();
  const auto size =
      static_cast<std::size_t>(std::min<std::uint64_t>(reader.left_to_copy, copy_piece));
  if (!read_exactly(reader, reader.bytes, size)) return bgcode_part::failed;
  reader.crc = bgcode_crc(reader.crc, std::string_view(reader.bytes).substr(start));
  reader.left_to_copy -= size;
  if (reader.left_to_copy == 0 && !checksum_matches(reader, reader.crc, reader.bytes)) {
    return bgcode_part::failed;
  }
  return bgcode_part::bytes;
}

bgcode_part read_gcode(bgcode_reader& reader, std::uint32_t size, std::uint32_t stored) {
  if (size > bgcode_max_block || stored > bgcode_max_block) {
    return fail(reader, in_block("more than 1 MiB of G-code", reader));
  }
  if (reader.data.size() < stored) reader.data.resize(stored);  // kept, as the other rooms are
  if (read_into(reader, reader.data.data(), stored) != stored) return bgcode_part::failed;
  const std::string_view data(reader.data.data(), stored);
  const std::uint32_t crc = bgcode_crc(bgcode_crc(0, reader.bytes), data);
  if (!checksum_matches(reader, crc, reader.bytes)) return bgcode_part::failed;
  reader.bytes.clear();
  std::string why;
  if (!bgcode_decode_text(data, size, reader, why)) return fail(reader, in_block(why, reader));
  return bgcode_part::text;
}

bgcode_part read_block(bgcode_reader& reader) {
  ++reader.block;
  std::string& head = reader.bytes;
  if (!read_exactly(reader, head, 8, true)) {
    if (reader.finished) return bgcode_part::failed;
    reader.finished = true;
    return reader.rank == gcode_rank ? bgcode_part::end : fail(reader, "no G-code in the file");
  }
  const auto type = static_cast<std::uint16_t>(bgcode_number(head, 0, 2));
  const auto compression = static_cast<std::uint16_t>(bgcode_number(head, 2, 2));
  const std::uint32_t size = bgcode_number(head, 4, 4);
  if (type > thumbnail)
    return fail(reader, in_block("unknown block type " + std::to_string(type), reader));
  if (compression > 3) {
    return fail(reader, in_block("unknown compression " + std::to_string(compression), reader));
  }
  const int rank = type_ranks[type];
  if (rank < reader.rank || (rank == reader.rank && rank != thumbnail_rank && rank != gcode_rank)) {
    return fail(reader, "block " + std::to_string(reader.block) + " out of order");
  }
  reader.rank = rank;
  reader.type = type;
  const std::size_t parameters_at = bgcode_header_size(compression);
  if (!read_exactly(reader, head, parameters_at - 8 + bgcode_parameters_size(type))) {
    return bgcode_part::failed;
  }
  const std::uint32_t stored = compression == 0 ? size : bgcode_number(head, 8, 4);
  const auto encoding = static_cast<std::uint16_t>(bgcode_number(head, parameters_at, 2));
  if (type != thumbnail && encoding > (type == gcode_block ? 2 : 0)) {
    return fail(reader, in_block("unknown encoding " + std::to_string(encoding), reader));
  }
  if (type == gcode_block) {
    reader.format.compression = compression;
    reader.format.encoding = encoding;
    return read_gcode(reader, size, stored);
  }
  reader.crc = bgcode_crc(0, head);
  reader.left_to_copy = stored;
  return copy_block(reader);
}

}  // namespace

bgcode_part bgcode_read(bgcode_reader& reader) {
  reader.bytes.clear();
  reader.text = {};
  if (reader.finished) return reader.reason.empty() ? bgcode_part::end : bgcode_part::failed;
  if (!reader.started) return read_file_header(reader);
  if (reader.left_to_copy > 0) return copy_block(reader);
  return read_block(reader);
}
