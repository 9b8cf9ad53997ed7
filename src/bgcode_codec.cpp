#include "bgcode_codec.h"

#include <zlib.h>

#include "heatshrink.h"
#include "meatpack.h"

namespace {

int window_bits(std::uint16_t compression) { return compression == 2 ? 11 : 12; }

bool inflate_exactly(std::string_view data, std::uint32_t size, std::string& out) {
  // One byte of room more than the size tells data that makes more from data
  // that makes exactly as much.
  out.resize(std::size_t{size} + 1);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const bool whole = inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0 &&
                     stream.total_out == size;
  inflateEnd(&stream);
  out.resize(size);
  return whole;
}

bool deflate_all(std::string_view data, std::string& out) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  out.resize(size);
  const bool made = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                              reinterpret_cast<const Bytef*>(data.data()),
                              static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION) == Z_OK;
  out.resize(made ? size : 0);
  return made;
}

}  // namespace

bool bgcode_decode_text(std::string_view data, const bgcode_format& format, std::uint32_t size,
                        std::string& unpacked, std::string& text, std::string& reason) {
  unpacked.clear();
  text.clear();
  bool whole = true;
  if (format.compression == 0) {
    unpacked.assign(data);
  } else if (format.compression == 1) {
    whole = inflate_exactly(data, size, unpacked);
  } else {
    whole = heatshrink_decode(data, window_bits(format.compression), size, unpacked);
  }
  if (!whole) {
    reason = "decompressed size does not match";
  } else if (format.encoding == 0) {
    text.swap(unpacked);
  } else if (!meatpack_decode(unpacked, text)) {
    reason = "bad MeatPack data";
    whole = false;
  }
  return whole;
}

bool bgcode_encode_text(std::string_view text, const bgcode_format& format, std::string& packed,
                        std::string& data, std::string& reason) {
  packed.clear();
  data.clear();
  if (format.encoding == 0) {
    packed.assign(text);
  } else if (!meatpack_encode(text, format.encoding == 2, packed)) {
    reason = "a byte 0xFF in the text, which MeatPack cannot hold";
    return false;
  }
  if (format.compression == 0) {
    data = packed;
  } else if (format.compression == 1) {
    if (!deflate_all(packed, data)) {
      reason = "Deflate failed: out of memory";
      return false;
    }
  } else {
    heatshrink_encode(packed, window_bits(format.compression), data);
  }
  return true;
}
