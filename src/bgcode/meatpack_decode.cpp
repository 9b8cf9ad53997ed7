#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "bgcode/meatpack.h"
#include "bgcode/meatpack_codes.h"

namespace {

using namespace meatpack;

// Where the reader is in a line, which decides whether a character gets a
// blank put back before it.
enum place : unsigned { line_start, in_line, in_g_command, after_blank_in_g_command };

// Puts one decoded character at `at` as printers get it; returns the place
// after it.
unsigned put(char c, bool blankless, unsigned place, char*& at) {
  if (c == '\n') {
    if (place != line_start) *at++ = '\n';
    return line_start;
  }
  if (place == line_start) {
    *at++ = c;
    return c == 'G' ? in_g_command : in_line;
  }
  if (place == in_g_command && blankless && c >= 'A' && c <= 'Z') *at++ = ' ';
  *at++ = c;
  if (place == in_line) return in_line;
  return c == ' ' ? after_blank_in_g_command : in_g_command;
}

// What a byte gives in one form, from each place: its characters (a packed
// byte's two, with any blanks put back) and the place it leads to. `slow`
// marks a byte the tables cannot say alone: one that may begin a signal, or
// a packed byte with whole bytes after it. Places are bytes of one number, so
// that the next place comes from the byte alone and not from a lookup that
// waits on the place before: the lookups of one byte after another overlap.
// Thirty-two bytes, a power of two, for an index that is a shift.
struct alignas(32) byte_steps {
  char text[4][4];
  std::uint8_t length[4];
  std::uint32_t places;
  bool slow;
};
// Forms: packing (2) or not, and the blank-less form (1) or not.
using step_table = std::array<std::array<byte_steps, 256>, 4>;

step_table make_steps() {
  step_table steps{};
  for (unsigned form = 0; form < 4; ++form) {
    const bool blankless = (form & 1) != 0, packing = (form & 2) != 0;
    for (unsigned byte = 0; byte < 256; ++byte) {
      byte_steps& s = steps[form][byte];
      const unsigned first = byte & 0xF, second = byte >> 4;
      s.slow = packing ? first == whole || second == whole : byte == signal_byte;
      for (unsigned place = 0; place < 4; ++place) {
        char* at = s.text[place];
        unsigned next = place;
        if (!packing) {
          next = put(static_cast<char>(byte), blankless, next, at);
        } else if (!s.slow) {
          next = put(character(first, blankless), blankless, next, at);
          next = put(character(second, blankless), blankless, next, at);
        }
        s.length[place] = static_cast<std::uint8_t>(at - s.text[place]);
        s.places |= next << 8 * place;
      }
    }
  }
  return steps;
}
// Made when first wanted, so that runs on text do not pay for them.
const step_table& decoding_steps() {
  static const step_table steps = make_steps();
  return steps;
}

}  // namespace

bool meatpack_decode(std::string_view data, std::string& room, std::string_view& text) {
  // A byte gives at most two characters, each with a blank put back before
  // it: room for the four that each step copies whatever it gives.
  if (room.size() < 4 * data.size()) room.resize(4 * data.size());
  const step_table& steps = decoding_steps();
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  const auto* const end = in + data.size();
  char* at = room.data();
  bool packing = false, blankless = false;
  unsigned place = line_start;
  const auto step = [&at, &place](const byte_steps& s) {
    std::memcpy(at, s.text[place], 4);
    at += s.length[place];
    place = s.places >> 8 * place & 3;
  };
  while (in != end) {
    // The bytes that the tables can say, in the form they are in.
    const std::array<byte_steps, 256>& form = steps[packing * 2 + blankless];
    while (in != end && !form[*in].slow) step(form[*in++]);
    if (in == end) break;
    // A signal, or a character that does not pack as the byte it is, or a
    // packed byte with whole characters after it, which go as bytes would.
    const std::array<byte_steps, 256>& as_bytes = steps[blankless];
    if (in[0] == signal_byte && end - in >= 2 && in[1] == signal_byte) {
      if (end - in < 3 || !obey(in[2], packing, blankless)) return false;
      in += 3;
    } else if (!packing) {
      step(as_bytes[*in++]);
    } else {
      const unsigned first = *in & 0xF, second = *in >> 4;
      if (end - in - 1 < (first == whole) + (second == whole)) return false;
      ++in;
      const auto unpacked = [&in, blankless](unsigned code) {
        return code == whole ? *in++ : static_cast<unsigned char>(character(code, blankless));
      };
      step(as_bytes[unpacked(first)]);
      step(as_bytes[unpacked(second)]);
    }
  }
  text = std::string_view(room.data(), static_cast<std::size_t>(at - room.data()));
  return true;
}
