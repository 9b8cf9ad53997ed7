// Binary G-code in the pass: the text of its G-code blocks is what the line
// reader reads, the blocks around them go to the result as they are, and
// the text the pass writes goes into fresh G-code blocks in the input's
// form, so that every rule works on binary G-code as on text.
#pragma once

#include <string>
#include <string_view>

#include "bgcode/bgcode.h"
#include "system/byte_source.h"

/// Slicers write binary G-code with this at its start.
constexpr std::string_view binary_signature = "GCDE";

struct binary_gcode {
  io_handle* input = nullptr;
  /// What the line reader read of the input before it knew it was binary,
  /// and what of it is still to be read.
  std::string taken_bytes;
  std::string_view taken;
  bgcode_reader reader;
  bgcode_writer writer;
  std::size_t text_at = 0;  // how much of the reader's text is handed on
  std::string line;         // a line the pass has begun to write
};

/// Starts reading `input`, of which `taken` was read already, and writing
/// `output`.
void start_binary(binary_gcode& binary, io_handle& input, std::string_view taken, io_handle output);

/// The decoded text, as a source that is read once; the blocks before the
/// G-code go to the result as the text is read.
byte_source binary_text(binary_gcode& binary);

/// Takes the text the pass writes, whole lines or not.
bool write_binary_text(void* binary, std::string_view text);

/// Writes the text held, `note` (a line, or nothing when empty) in a block
/// of its own that keeps it, and what ends the file.
bool finish_binary(binary_gcode& binary, std::string_view note);

/// Why reading or writing failed, where the tool has the words: empty when
/// the system's reason stands.
std::string binary_failure(const binary_gcode& binary);

/// What the start of an input says: whether it is binary G-code, and for a
/// pipe, which cannot go back, the bytes read to tell, for the pass.
struct input_start {
  bool binary = false;
  std::string taken;
};

/// Reads the start of `input` to tell whether it is binary G-code, and
/// leaves a file at its start. False when a read or the seek back fails.
bool read_start(io_handle input, input_start& start);

/// The text of the slicer metadata block of the binary G-code `source`
/// gives, read up to its first G-code block: "gcode_flavor=marlin2" and
/// the like, one setting a line. Empty where there is none or the file is
/// unsound, which the pass then says.
std::string slicer_settings(byte_source source);
