#include "meatpack.h"

#include <array>

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

struct packer {
  std::string& out;
  bool packing = false;
  bool blankless = false;
  int held = -1;  // a character waiting for the other half of its byte

  void put(char c) {
    if (held < 0) {
      held = static_cast<unsigned char>(c);
      return;
    }
    const unsigned first = codes[blankless][held];
    const unsigned second = codes[blankless][static_cast<unsigned char>(c)];
    out.push_back(static_cast<char>(first | second << 4));
    if (first == whole) out.push_back(static_cast<char>(held));
    if (second == whole) out.push_back(c);
    held = -1;
  }

  // What waits at the end of a line is its line end: a second one pairs it,
  // and readers drop the empty line that makes.
  void flush() {
    if (held >= 0) put('\n');
  }

  // Signals stand between whole bytes.
  void signal(unsigned char command) {
    flush();
    out.push_back(static_cast<char>(signal_byte));
    out.push_back(static_cast<char>(signal_byte));
    out.push_back(static_cast<char>(command));
    obey(command, packing, blankless);
  }
};

// The words that readers put blanks back before, by G command, as slicers
// write them.
struct command_words {
  std::string_view number, letters;
};
constexpr command_words g_words[] = {{"0", "XYZEF"},   {"1", "XYZEF"}, {"2", "XYZEFIJ"},
                                     {"3", "XYZEFIJ"}, {"28", "XYZ"},  {"92", "XYZE"}};

// True when readers give `line` back from it without its blanks: a G command
// of g_words, then words that are each a blank, one of its letters and a
// number, maybe empty.
bool blanks_come_back(std::string_view line) {
  const std::size_t words = line.find(' ');
  std::string_view letters;
  for (const command_words& command : g_words) {
    if (line.substr(1, words - 1) == command.number) letters = command.letters;
  }
  if (line[0] != 'G' || letters.empty()) return false;
  for (std::size_t at = words; at < line.size();) {
    if (line[at] != ' ' || at + 1 == line.size() || letters.find(line[at + 1]) == letters.npos) {
      return false;
    }
    at = line.find_first_not_of("0123456789.+-", at + 2);
  }
  return true;
}

// The part of a line that the encoding keeps: a whole-line comment, or what
// comes before an end-of-line comment and the blanks before that.
std::string_view kept_part(std::string_view line, bool keep_comment_lines, bool& comment_line) {
  const std::size_t first = line.find_first_not_of(" \t");
  comment_line = first != line.npos && line[first] == ';';
  if (comment_line) return keep_comment_lines ? line : std::string_view();
  const std::size_t comment = line.find(';');
  if (comment == line.npos) return line;
  return line.substr(0, line.find_last_not_of(" \t", comment - 1) + 1);
}

void pack_line(std::string_view line, packer& out) {
  if (!out.packing) out.signal(packing_on);
  const bool blankless = line[0] != 'G' ? out.blankless : blanks_come_back(line);
  if (blankless != out.blankless) out.signal(blankless ? blankless_on : blankless_off);
  for (const char c : line) {
    if (c != ' ' || line[0] != 'G' || !blankless) out.put(c);
  }
  // Each line starts a byte, as repeated lines then pack to repeated bytes,
  // which compress far better.
  out.put('\n');
  out.flush();
}

}  // namespace

bool meatpack_decode(std::string_view data, std::string& text) {
  const std::size_t start = text.size();
  // A byte gives at most two characters, each with a blank put back before it.
  text.resize(start + 4 * data.size());
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  const auto* const end = in + data.size();
  unpacker out{text.data() + start};
  bool packing = false, whole_data = true;
  while (whole_data && in != end) {
    if (in[0] == signal_byte && end - in >= 2 && in[1] == signal_byte) {
      whole_data = end - in >= 3 && obey(in[2], packing, out.blankless);
      in += whole_data ? 3 : 0;
    } else if (!packing) {
      out.put(static_cast<char>(*in++));
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
  text.resize(whole_data ? static_cast<std::size_t>(out.at - text.data()) : start);
  return whole_data;
}

bool meatpack_encode(std::string_view text, bool keep_comment_lines, std::string& out) {
  if (text.find('\xFF') != text.npos) return false;
  out.reserve(out.size() + text.size() * 3 / 4 + 16);
  packer packed{out};
  packed.signal(packing_on);
  packed.signal(blankless_on);
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    bool comment_line = false;
    line = kept_part(line, keep_comment_lines, comment_line);
    if (line.empty()) continue;
    if (!comment_line) {
      pack_line(line, packed);
      continue;
    }
    if (packed.packing) packed.signal(packing_off);
    out.append(line).push_back('\n');
  }
  packed.signal(reset_all);
  return true;
}
