#include "bgcode/binary_gcode.h"

#include <algorithm>
#include <cstring>

#include "bgcode/bgcode_codec.h"

namespace {

// The bytes the line reader took, then the rest of the input.
std::ptrdiff_t read_input(void* context, char* data, std::size_t size, bool) {
  binary_gcode& b = *static_cast<binary_gcode*>(context);
  if (b.taken.empty()) return read_some(*b.input, data, size);
  const std::size_t count = std::min(size, b.taken.size());
  std::memcpy(data, b.taken.data(), count);
  b.taken.remove_prefix(count);
  return static_cast<std::ptrdiff_t>(count);
}

// The next decoded text; blocks other than G-code go to the result as they
// come, which is before any G-code block.
std::ptrdiff_t read_text(void* context, char* data, std::size_t size, bool) {
  binary_gcode& b = *static_cast<binary_gcode*>(context);
  while (b.text_at == b.reader.text.size()) {
    const bgcode_part part = bgcode_read(b.reader);
    if (part == bgcode_part::end) return 0;
    if (part == bgcode_part::failed) return -1;
    if (part == bgcode_part::bytes && !bgcode_copy(b.writer, b.reader.bytes)) return -1;
    b.writer.format = b.reader.format;  // the input's form, for the G-code the pass writes
    b.text_at = 0;
  }
  const std::size_t count = std::min(size, b.reader.text.size() - b.text_at);
  std::memcpy(data, b.reader.text.data() + b.text_at, count);
  b.text_at += count;
  return static_cast<std::ptrdiff_t>(count);
}

}  // namespace

void start_binary(binary_gcode& b, io_handle& input, std::string_view taken, io_handle output) {
  b.input = &input;
  b.taken_bytes.assign(taken);  // apart from the line reader's block, which is read into next
  b.taken = b.taken_bytes;
  b.reader.source.read = read_input;
  b.reader.source.context = &b;
  b.writer.output = output;
  b.writer.keeps_all = true;
}

byte_source binary_text(binary_gcode& b) {
  byte_source source;
  source.read = read_text;
  source.context = &b;
  return source;
}

bool write_binary_text(void* context, std::string_view text) {
  binary_gcode& b = *static_cast<binary_gcode*>(context);
  const std::size_t first = text.find('\n');
  if (first == std::string_view::npos || !b.line.empty()) {
    // A line begun before: its end, or more of it.
    b.line.append(text.substr(0, std::min(first, text.size() - 1) + 1));
    if (b.line.size() > bgcode_max_block) {
      b.writer.reason = "a line too long for one block of binary G-code";
      return false;
    }
    if (first == std::string_view::npos) return true;
    if (!bgcode_write_text(b.writer, b.line)) return false;
    text.remove_prefix(first + 1);
  }
  const std::size_t whole = text.rfind('\n') + 1;  // npos + 1 is 0
  b.line.assign(text.substr(whole));
  return bgcode_write_text(b.writer, text.substr(0, whole));
}

bool finish_binary(binary_gcode& b, std::string_view note) {
  const bool ended = b.line.empty() || bgcode_write_text(b.writer, b.line);
  return ended && (note.empty() || bgcode_write_note(b.writer, std::string(note) + "\n")) &&
         bgcode_finish(b.writer);
}

std::string binary_failure(const binary_gcode& b) {
  return b.reader.reason.empty() ? b.writer.reason : b.reader.reason;
}

bool read_start(io_handle input, input_start& start) {
  char bytes[binary_signature.size()];
  const std::ptrdiff_t got = read_up_to(input, bytes, sizeof bytes);
  if (got < 0) return false;
  start.binary = std::string_view(bytes, static_cast<std::size_t>(got)) == binary_signature;
  if (can_seek(input)) return seek_to(input, 0);
  start.taken.assign(bytes, static_cast<std::size_t>(got));
  return true;
}

std::string slicer_settings(byte_source source) {
  bgcode_reader reader;
  reader.source = source;
  std::string block;  // header, parameters, data and checksum
  bgcode_part part = bgcode_part::bytes;
  while ((part = bgcode_read(reader)) == bgcode_part::bytes && block.size() <= bgcode_max_block) {
    if (reader.type == slicer_metadata) block += reader.bytes;
  }
  // Sound and whole only once the G-code after it has been read.
  if (part != bgcode_part::text || block.empty()) return {};
  const auto compression = static_cast<std::uint16_t>(bgcode_number(block, 2, 2));
  const std::size_t data_at = bgcode_header_size(compression) + bgcode_parameters_size(0);
  const std::size_t data_end = block.size() - reader.format.checksum * bgcode_checksum_size;
  const std::uint32_t size = bgcode_number(block, 4, 4);
  const std::string_view data = std::string_view(block).substr(data_at, data_end - data_at);
  reader.format.compression = compression;
  reader.format.encoding = 0;
  std::string why;
  if (size > bgcode_max_block || !bgcode_decode_text(data, size, reader, why)) return {};
  return std::string(reader.text);
}
