#include "bgcode/bgcode_codec.h"

#include <zlib.h>

#include "bgcode/heatshrink.h"
#include "bgcode/meatpack.h"

namespace {

int window_bits(std::uint16_t compression) { return compression == 2 ? 11 : 12; }

// Rooms grow as the decompressors and encoders need and never shrink, so that
// a room used block after block is not cleared again for each.
char* room_for(std::string& room, std::size_t size) {
  if (room.size() < size) room.resize(size);
  return room.data();
}

}  // namespace

std::uint32_t bgcode_crc(std::uint32_t crc, std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

namespace {

bool inflate_exactly(std::string_view data, std::uint32_t size, std::string& room) {
  // One byte of room more than the size tells data that makes more from data
  // that makes exactly as much.
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(room_for(room, std::size_t{size} + 1));
  stream.avail_out = size + 1;
  const bool whole = inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0 &&
                     stream.total_out == size;
  inflateEnd(&stream);
  return whole;
}

bool deflate_all(std::string_view data, std::string& room, std::string_view& deflated) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  auto* const out = reinterpret_cast<Bytef*>(room_for(room, size));
  const bool made = compress2(out, &size, reinterpret_cast<const Bytef*>(data.data()),
                              static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION) == Z_OK;
  deflated = std::string_view(room.data(), made ? size : 0);
  return made;
}

}  // namespace

bool bgcode_decode_text(std::string_view data, std::uint32_t size, bgcode_reader& reader,
                        std::string& reason) {
  const bgcode_format& format = reader.format;
  bool whole = true;
  std::string_view unpacked = data;  // without compression, the block's own size
  if (format.compression == 1) {
    whole = inflate_exactly(data, size, reader.unpacked);
    unpacked = std::string_view(reader.unpacked.data(), size);
  } else if (format.compression > 1) {
    whole = heatshrink_decode(data, window_bits(format.compression), size, reader.unpacked);
    unpacked = std::string_view(reader.unpacked.data(), size);
  }
  if (!whole) {
    reason = "decompressed size does not match";
  } else if (format.encoding == 0) {
    reader.text = unpacked;
  } else if (!meatpack_decode(unpacked, reader.decoded, reader.text)) {
    reason = "bad MeatPack data";
    whole = false;
  }
  return whole;
}

bool bgcode_encode_text(std::string_view text, const bgcode_format& format, bgcode_writer& writer,
                        std::string_view& packed, std::string_view& data) {
  packed = text;
  if (format.encoding != 0 && !meatpack_encode(text, format.encoding == 2, writer.packed, packed)) {
    writer.reason = "a byte 0xFF in the text, which MeatPack cannot hold";
    return false;
  }
  data = packed;
  if (format.compression == 1) {
    if (!deflate_all(packed, writer.data, data)) {
      writer.reason = "Deflate failed: out of memory";
      return false;
    }
  } else if (format.compression > 1) {
    data = heatshrink_encode(packed, window_bits(format.compression), writer.tables, writer.data);
  }
  return true;
}
