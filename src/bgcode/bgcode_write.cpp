#include <algorithm>

#include "bgcode/bgcode.h"
#include "bgcode/bgcode_codec.h"

namespace {

bool write_bytes(bgcode_writer& writer, std::string_view bytes) {
  if (write_all(writer.output, bytes.data(), bytes.size())) return true;
  writer.reason = failure_reason();
  return false;
}

// Writes `text` as one G-code block.
bool write_block(bgcode_writer& writer, std::string_view text, const bgcode_format& format) {
  std::string_view packed, data;
  if (!bgcode_encode_text(text, format, writer, packed, data)) return false;
  if (packed.size() > bgcode_max_block || data.size() > bgcode_max_block) {
    writer.reason = "a line too long for one block of binary G-code";
    return false;
  }
  std::string& block = writer.block;
  block.clear();
  block.reserve(bgcode_header_size(format.compression) + 2 + data.size() + bgcode_checksum_size);
  bgcode_append_number(block, gcode_block, 2);
  bgcode_append_number(block, format.compression, 2);
  bgcode_append_number(block, static_cast<std::uint32_t>(packed.size()), 4);
  if (format.compression != 0)
    bgcode_append_number(block, static_cast<std::uint32_t>(data.size()), 4);
  bgcode_append_number(block, format.encoding, 2);
  block += data;
  if (format.checksum != 0) {
    bgcode_append_number(block, bgcode_crc(0, block), bgcode_checksum_size);
  }
  writer.wrote_text = true;
  return write_bytes(writer, block);
}

bool write_held(bgcode_writer& writer) {
  if (writer.text.empty()) return true;
  bgcode_format format = writer.format;
  format.encoding = writer.held_encoding;
  const bool written = write_block(writer, writer.text, format);
  writer.text.clear();
  return written;
}

// How much of a line each encoding keeps, from least to most: MeatPack drops
// comments, in its second form all but whole-line ones.
int keeps(std::uint16_t encoding) { return encoding == 1 ? 0 : encoding == 2 ? 1 : 2; }

// The encoding that keeps all of `lines` and what `encoding` keeps: text
// read from a block of one encoding may be written after a block of another
// has been read, and must lose nothing to it.
std::uint16_t keeping(std::string_view lines, std::uint16_t encoding) {
  for (std::size_t at = lines.find(';'); at != lines.npos && encoding != 0;
       at = lines.find(';', at + 1)) {
    const std::size_t start = lines.rfind('\n', at) + 1;  // npos + 1 is 0
    const bool whole_line = lines.find_first_not_of(" \t", start) == at;
    if (keeps(encoding) < keeps(whole_line ? 2 : 0)) encoding = whole_line ? 2 : 0;
  }
  return encoding;
}

// Holds `lines` for the block being made, in an encoding that keeps them
// where the writer keeps all.
void hold(bgcode_writer& writer, std::string_view lines) {
  if (writer.text.empty()) writer.held_encoding = writer.format.encoding;
  if (writer.keeps_all) writer.held_encoding = keeping(lines, writer.held_encoding);
  writer.text += lines;
}

}  // namespace

bool bgcode_copy(bgcode_writer& writer, std::string_view bytes) {
  return write_held(writer) && write_bytes(writer, bytes);
}

bool bgcode_write_text(bgcode_writer& writer, std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t room = bgcode_block_text - std::min(writer.text.size(), bgcode_block_text);
    if (lines.size() <= room) {
      hold(writer, lines);
      return true;
    }
    // The whole lines that fit, else, when none is held, the first line alone.
    std::size_t end = room == 0 ? lines.npos : lines.rfind('\n', room - 1);
    if (end == lines.npos && writer.text.empty()) end = lines.find('\n');
    if (end != lines.npos || writer.text.empty()) {
      const std::size_t size = end == lines.npos ? lines.size() : end + 1;
      hold(writer, lines.substr(0, size));
      lines.remove_prefix(size);
    }
    if (!write_held(writer)) return false;
  }
  return true;
}

bool bgcode_write_note(bgcode_writer& writer, std::string_view line) {
  bgcode_format format = writer.format;
  if (format.encoding == 1) format.encoding = 2;
  return write_held(writer) && write_block(writer, line, format);
}

bool bgcode_finish(bgcode_writer& writer) {
  if (!writer.wrote_text && writer.text.empty()) return write_block(writer, "", writer.format);
  return write_held(writer);
}
