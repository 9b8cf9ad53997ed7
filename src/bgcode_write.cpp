#include <zlib.h>

#include <system_error>

#include "bgcode.h"
#include "bgcode_codec.h"

namespace {

bool write_bytes(bgcode_writer& writer, std::string_view bytes) {
  if (write_all(writer.output, bytes.data(), bytes.size())) return true;
  writer.reason = failure_reason();
  return false;
}

// The bytes of one G-code block holding `text`, or why there are none.
bgcode_block make_block(const std::string& text, const bgcode_format& format) {
  bgcode_block made;
  std::string packed, data;
  if (!bgcode_encode_text(text, format, packed, data, made.reason)) return made;
  if (packed.size() > bgcode_max_block || data.size() > bgcode_max_block) {
    made.reason = "a line too long for one block of binary G-code";
    return made;
  }
  std::string& block = made.bytes;
  block.reserve(bgcode_header_size(format.compression) + 2 + data.size() + bgcode_checksum_size);
  bgcode_append_number(block, gcode_block, 2);
  bgcode_append_number(block, format.compression, 2);
  bgcode_append_number(block, static_cast<std::uint32_t>(packed.size()), 4);
  if (format.compression != 0) {
    bgcode_append_number(block, static_cast<std::uint32_t>(data.size()), 4);
  }
  bgcode_append_number(block, format.encoding, 2);
  block += data;
  if (format.checksum != 0) {
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
    bgcode_append_number(block, static_cast<std::uint32_t>(crc), bgcode_checksum_size);
  }
  return made;
}

// Writes the block being made, once it is made.
bool write_made(bgcode_writer& writer) {
  if (!writer.making.valid()) return true;
  const bgcode_block made = writer.making.get();
  if (made.bytes.empty()) {
    writer.reason = made.reason;
    return false;
  }
  return write_bytes(writer, made.bytes);
}

// Has the text held made into a block, on a second thread where there can be
// one, while the caller goes on with the next; the block before it is
// written first.
bool send(bgcode_writer& writer, std::string text, const bgcode_format& format) {
  if (!write_made(writer)) return false;
  writer.wrote_text = true;
  try {
    writer.making = std::async(std::launch::async, make_block, std::move(text), format);
  } catch (const std::system_error&) {  // no thread to be had: make it here
    writer.making = std::async(std::launch::deferred, make_block, std::move(text), format);
  }
  return true;
}

bool send_held(bgcode_writer& writer) {
  if (writer.text.empty()) return true;
  std::string text;
  text.swap(writer.text);
  return send(writer, std::move(text), writer.format);
}

}  // namespace

bool bgcode_copy(bgcode_writer& writer, std::string_view bytes) {
  return send_held(writer) && write_made(writer) && write_bytes(writer, bytes);
}

bool bgcode_write_text(bgcode_writer& writer, std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t room = bgcode_block_text - std::min(writer.text.size(), bgcode_block_text);
    if (lines.size() <= room) {
      writer.text += lines;
      return true;
    }
    // The whole lines that fit, else, when none is held, the first line alone.
    std::size_t end = room == 0 ? lines.npos : lines.rfind('\n', room - 1);
    if (end == lines.npos && writer.text.empty()) end = lines.find('\n');
    if (end != lines.npos || writer.text.empty()) {
      const std::size_t size = end == lines.npos ? lines.size() : end + 1;
      writer.text += lines.substr(0, size);
      lines.remove_prefix(size);
    }
    if (!send_held(writer)) return false;
  }
  return true;
}

bool bgcode_write_note(bgcode_writer& writer, std::string_view line) {
  bgcode_format format = writer.format;
  if (format.encoding == 1) format.encoding = 2;
  return send_held(writer) && send(writer, std::string(line), format);
}

bool bgcode_finish(bgcode_writer& writer) {
  const bool sent = writer.wrote_text || !writer.text.empty() ? send_held(writer)
                                                              : send(writer, "", writer.format);
  return sent && write_made(writer);
}
