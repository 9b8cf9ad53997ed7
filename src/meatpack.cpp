#include "meatpack.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr unsigned char signal_byte = 0xFF;
constexpr unsigned char packing_on = 0xFB;
constexpr unsigned char packing_off = 0xFA;
constexpr unsigned char reset_all = 0xF9;
constexpr unsigned char blankless_on = 0xF7;
constexpr unsigned char blankless_off = 0xF6;

/// The four bits that say a whole byte follows the pair.
constexpr unsigned whole = 0xF;

// The characters of codes 0 to 14; in the blank-less form code 11 is 'E'.
constexpr std::string_view characters = "0123456789. \nGX";
constexpr unsigned blank_code = 11;

char character(unsigned code, bool blankless) {
  return code == blank_code && blankless ? 'E' : characters[code];
}

// Each byte's code in the normal and the blank-less form.
std::array<std::array<unsigned char, 256>, 2> make_codes() {
  std::array<std::array<unsigned char, 256>, 2> codes{};
  for (int blankless = 0; blankless < 2; ++blankless) {
    codes[blankless].fill(whole);
    for (unsigned code = 0; code < characters.size(); ++code) {
      codes[blankless][static_cast<unsigned char>(character(code, blankless))] = code;
    }
  }
  return codes;
}
const std::array<std::array<unsigned char, 256>, 2> codes = make_codes();

// Which bytes are two codes of digits or points, the same in both forms.
std::array<bool, 256> make_number_pairs() {
  std::array<bool, 256> pairs{};
  for (unsigned byte = 0; byte < 256; ++byte) pairs[byte] = (byte & 0xF) <= 10 && byte >> 4 <= 10;
  return pairs;
}
const std::array<bool, 256> is_number_pair = make_number_pairs();

// Puts decoded characters into the text as printers get them.
struct unpacker {
  char* at;
  bool blankless = false;
  bool line_start = true;
  bool g_line = false;
  char last = '\n';

  void put(char c) {
    if (c == '\n') {
      if (!line_start) *at++ = '\n';
      line_start = true;
      return;
    }
    if (line_start) {
      g_line = c == 'G';
      line_start = false;
    } else if (blankless && g_line && c >= 'A' && c <= 'Z' && last != ' ') {
      *at++ = ' ';
    }
    *at++ = c;
    last = c;
  }
};

bool obey(unsigned char command, bool& packing, bool& blankless) {
  switch (command) {
    case packing_on:
      packing = true;
      return true;
    case packing_off:
      packing = false;
      return true;
    case reset_all:
      packing = blankless = false;
      return true;
    case blankless_on:
      blankless = true;
      return true;
    case blankless_off:
      blankless = false;
      return true;
    default:
      return false;
  }
}

// Packed bytes go into `out` past `used`; it grows as lines need room.
struct packer {
  std::string& out;
  std::size_t used = 0;
  bool packing = false;
  bool blankless = false;

  char* room(std::size_t size) {
    if (out.size() < used + size) out.resize(std::max(out.size() * 2, used + size));
    return out.data() + used;
  }

  void signal(unsigned char command) {
    char* at = room(3);
    at[0] = at[1] = static_cast<char>(signal_byte);
    at[2] = static_cast<char>(command);
    used += 3;
    obey(command, packing, blankless);
  }
};

// Puts the byte of two characters, and after it those of them that have no code.
char* pair(char* at, const std::array<unsigned char, 256>& code, char first, char second) {
  const unsigned first_code = code[static_cast<unsigned char>(first)];
  const unsigned second_code = code[static_cast<unsigned char>(second)];
  *at++ = static_cast<char>(first_code | second_code << 4);
  if (first_code == whole) *at++ = first;
  if (second_code == whole) *at++ = second;
  return at;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_number_part(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-'; }

constexpr std::uint32_t letter_set(std::string_view letters) {
  std::uint32_t set = 0;
  for (const char letter : letters) set |= std::uint32_t{1} << (letter - 'A');
  return set;
}

// The letters of the words that readers put blanks back before in a G
// command, as slicers write them; none for other commands.
std::uint32_t g_letters(std::string_view line, std::size_t& words) {
  unsigned number = 0;
  for (words = 1; words < line.size() && words < 4 && line[words] >= '0' && line[words] <= '9';
       ++words) {
    number = number * 10 + static_cast<unsigned>(line[words] - '0');
  }
  const bool plain =
      words > 1 && (words == 2 || line[1] != '0') && (words == line.size() || line[words] == ' ');
  if (!plain) return 0;
  switch (number) {
    case 0:
    case 1:
      return letter_set("XYZEF");
    case 2:
    case 3:
      return letter_set("XYZEFIJ");
    case 28:
      return letter_set("XYZ");
    case 92:
      return letter_set("XYZE");
    default:
      return 0;
  }
}

// True when readers give `line` back from it without its blanks: a G command
// of g_letters, then words that are each a blank, one of its letters and a
// number, maybe empty.
bool blanks_come_back(std::string_view line) {
  std::size_t at = 0;
  const std::uint32_t letters = line[0] == 'G' ? g_letters(line, at) : 0;
  if (letters == 0) return false;
  while (at < line.size()) {
    const char letter = at + 1 < line.size() ? line[at + 1] : '\0';
    const bool word =
        line[at] == ' ' && letter >= 'A' && letter <= 'Z' && (letters >> (letter - 'A') & 1) != 0;
    if (!word) return false;
    for (at += 2; at < line.size() && is_number_part(line[at]);) ++at;
  }
  return true;
}

// The part of a line that the encoding keeps: a whole-line comment, or what
// comes before an end-of-line comment and the blanks before that.
std::string_view kept_part(std::string_view line, bool keep_comment_lines, bool& comment_line) {
  std::size_t first = 0;
  while (first < line.size() && is_blank(line[first])) ++first;
  comment_line = first < line.size() && line[first] == ';';
  if (comment_line) return keep_comment_lines ? line : std::string_view();
  std::size_t end = line.find(';');
  if (end == line.npos) return line;
  while (end > 0 && is_blank(line[end - 1])) --end;
  return line.substr(0, end);
}

// Packs a line and its line end. Each line starts a byte, as repeated lines
// then pack to repeated bytes, which compress far better; a line end left
// without a pair gets a second one, and readers drop the empty line.
void pack_line(std::string_view line, packer& out) {
  if (!out.packing) out.signal(packing_on);
  const bool g_line = line[0] == 'G';
  const bool blankless = g_line ? blanks_come_back(line) : out.blankless;
  if (blankless != out.blankless) out.signal(blankless ? blankless_on : blankless_off);
  const bool leave_blanks = g_line && blankless;
  const std::array<unsigned char, 256>& code = codes[blankless];
  char* const start = out.room(line.size() * 2 + 3);
  char* at = start;
  char held = '\0';
  bool holding = false;
  for (const char c : line) {
    if (c == ' ' && leave_blanks) continue;
    if (holding) at = pair(at, code, held, c);
    held = c;
    holding = !holding;
  }
  at = pair(at, code, holding ? held : '\n', '\n');
  out.used += static_cast<std::size_t>(at - start);
}

}  // namespace

bool meatpack_decode(std::string_view data, std::string& room, std::string_view& text) {
  // A byte gives at most two characters, each with a blank put back before it.
  if (room.size() < 4 * data.size()) room.resize(4 * data.size());
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  const auto* const end = in + data.size();
  unpacker out{room.data()};
  bool packing = false, whole_data = true;
  while (whole_data && in != end) {
    if (in[0] == signal_byte && end - in >= 2 && in[1] == signal_byte) {
      whole_data = end - in >= 3 && obey(in[2], packing, out.blankless);
      in += whole_data ? 3 : 0;
    } else if (!packing) {
      out.put(static_cast<char>(*in++));
    } else if (is_number_pair[*in] && !out.line_start) {
      // Most bytes are two digits or points, which need no more care.
      out.at[0] = characters[*in & 0xF];
      out.at[1] = characters[*in >> 4];
      out.at += 2;
      out.last = '0';
      ++in;
    } else {
      const unsigned first = *in & 0xF, second = *in >> 4;
      ++in;
      whole_data = end - in >= (first == whole) + (second == whole);
      if (whole_data) {
        out.put(first == whole ? static_cast<char>(*in++) : character(first, out.blankless));
        out.put(second == whole ? static_cast<char>(*in++) : character(second, out.blankless));
      }
    }
  }
  if (whole_data)
    text = std::string_view(room.data(), static_cast<std::size_t>(out.at - room.data()));
  return whole_data;
}

bool meatpack_encode(std::string_view text, bool keep_comment_lines, std::string& room,
                     std::string_view& packed) {
  if (text.find('\xFF') != text.npos) return false;
  packer out{room};
  out.room(text.size() * 3 / 4 + 16);
  out.signal(packing_on);
  out.signal(blankless_on);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    if (end != text.npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    bool comment_line = false;
    line = kept_part(line, keep_comment_lines, comment_line);
    if (line.empty()) continue;
    if (!comment_line) {
      pack_line(line, out);
      continue;
    }
    if (out.packing) out.signal(packing_off);
    char* const at = out.room(line.size() + 1);
    line.copy(at, line.size());
    at[line.size()] = '\n';
    out.used += line.size() + 1;
  }
  out.signal(reset_all);
  packed = std::string_view(room.data(), out.used);
  return true;
}
