#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "bgcode/meatpack.h"
#include "bgcode/meatpack_codes.h"

namespace {

using namespace meatpack;

// Packed bytes go into `room` past `used`; it grows as lines need room.
struct packer {
  std::string& room;
  std::size_t used = 0;
  bool packing = false;
  bool blankless = false;

  char* reserve(std::size_t size) {
    if (room.size() < used + size) room.resize(std::max(room.size() * 2, used + size));
    return room.data() + used;
  }

  void signal(unsigned char command) {
    char* at = reserve(3);
    at[0] = at[1] = static_cast<char>(signal_byte);
    at[2] = static_cast<char>(command);
    used += 3;
    obey(command, packing, blankless);
  }
};

constexpr unsigned newline_code = 12;
constexpr unsigned char two_line_ends = newline_code << 4 | newline_code;

// Eight bytes as a number, the first the lowest, and four back.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool big_endian = true;
#else
constexpr bool big_endian = false;
#endif
std::uint64_t load_low_first(const unsigned char* from) {
  std::uint64_t word;
  std::memcpy(&word, from, 8);
  return big_endian ? __builtin_bswap64(word) : word;
}
void store_low_first(char* to, std::uint32_t word) {
  if (big_endian) word = __builtin_bswap32(word);
  std::memcpy(to, &word, 4);
}

// Packs the `count` characters, given with their codes, then the line end: a
// line end left without a pair gets a second one, and readers drop the empty
// line. Both must have room for ten more; writes up to four bytes past what
// it puts. Eight codes go into four bytes at once, and a whole character,
// one in a few groups of eight, after its pair's byte.
char* pack_codes(char* at, unsigned char* codes, char* chars, std::size_t count) {
  codes[count] = codes[count + 1] = newline_code;
  chars[count] = chars[count + 1] = '\n';
  count += 2 - count % 2;
  std::memset(codes + count, 0, 8);  // no whole codes past the end
  constexpr std::uint64_t ones = 0x0101010101010101;
  for (std::size_t i = 0; i < count; i += 8) {
    std::uint64_t eight = load_low_first(codes + i);
    const std::uint64_t wholes = (eight + ones) & ones << 4;  // 15 carries into bit 4
    // Each code with the next one's above it, in every other byte.
    eight |= eight >> 4;
    const std::uint64_t four = (eight & 0xFF) | (eight >> 8 & 0xFF00) | (eight >> 16 & 0xFF0000) |
                               (eight >> 24 & 0xFF000000);
    // Each whole character goes after its pair's byte: the bytes up to that
    // one, then the character.
    std::size_t done = 0;  // pairs whose bytes are out
    for (std::uint64_t left = wholes; left != 0; left &= left - 1) {
      const auto code = static_cast<std::size_t>(__builtin_ctzll(left)) / 8;
      store_low_first(at, static_cast<std::uint32_t>(four >> 8 * done));
      at += code / 2 + 1 - done;
      done = code / 2 + 1;
      *at++ = chars[i + code];
    }
    store_low_first(at, static_cast<std::uint32_t>(four >> 8 * done));
    at += std::min<std::size_t>(4, (count - i) / 2) - done;
  }
  return at;
}

// For each form of the words of a G command (see g_letters), what each byte
// is to them: its code in the blank-less form, and whether it is one of the
// letters, a blank, or neither these nor part of a number.
constexpr unsigned letter = 0x10, neither = 0x20, blank = 0x40;
constexpr std::string_view word_letters[] = {"XYZEF", "XYZEFIJ", "XYZ", "XYZE"};

constexpr std::array<code_table, std::size(word_letters)> make_word_kinds() {
  std::array<code_table, std::size(word_letters)> kinds{};
  for (std::size_t set = 0; set < kinds.size(); ++set) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      const bool number = (byte >= '0' && byte <= '9') || byte == '.' || byte == '+' || byte == '-';
      const bool is_letter =
          word_letters[set].find(static_cast<char>(byte)) != word_letters[set].npos;
      kinds[set][byte] = static_cast<unsigned char>(
          codes_of[1][byte] | (is_letter ? letter : 0) | (byte == ' ' ? blank : 0) |
          (!number && !is_letter && byte != ' ' ? neither : 0));
    }
  }
  return kinds;
}
constexpr std::array<code_table, std::size(word_letters)> word_kinds = make_word_kinds();

// Which form of words (an index to word_letters) readers put blanks back
// into in a G command, as slicers write them; -1 for other commands.
int g_letters(std::string_view line, std::size_t& words) {
  unsigned number = 0;
  for (words = 1; words < line.size() && words < 4 && line[words] >= '0' && line[words] <= '9';
       ++words) {
    number = number * 10 + static_cast<unsigned>(line[words] - '0');
  }
  const bool plain =
      words > 1 && (words == 2 || line[1] != '0') && (words == line.size() || line[words] == ' ');
  constexpr unsigned commands[] = {0, 1, 2, 3, 28, 92};
  constexpr int sets[] = {0, 0, 1, 1, 2, 3};
  for (std::size_t i = 0; plain && i < std::size(commands); ++i) {
    if (commands[i] == number) return sets[i];
  }
  return -1;
}

// Puts the blank-less codes and the characters of the G command `line`, but
// its blanks, into `codes` and `chars` when readers give the line back from
// them: a G command of g_letters, then words that are each a blank, one of
// its letters and a number, maybe empty. That is: a letter exactly where a
// blank came before, and nothing but those, blanks and numbers. Gives how
// many it put, or none when readers would not.
std::size_t bare_g_command(std::string_view line, unsigned char* codes, char* chars) {
  std::size_t at = 0;
  const int set = g_letters(line, at);
  if (set < 0) return 0;
  const code_table& kinds = word_kinds[static_cast<std::size_t>(set)];
  std::size_t count = 0;
  const auto keep = [&](char c, unsigned kind) {
    codes[count] = static_cast<unsigned char>(kind & 0xF);
    chars[count++] = c;
  };
  for (std::size_t i = 0; i < at; ++i)
    keep(line[i], codes_of[1][static_cast<unsigned char>(line[i])]);
  // At a blank: the command or a number has ended there.
  while (at < line.size()) {
    const unsigned kind =
        at + 1 < line.size() ? kinds[static_cast<unsigned char>(line[at + 1])] : 0;
    if ((kind & letter) == 0) return 0;
    keep(line[at + 1], kind);
    for (at += 2; at < line.size(); ++at) {
      const unsigned number = kinds[static_cast<unsigned char>(line[at])];
      if ((number & (letter | neither | blank)) != 0) break;
      keep(line[at], number);
    }
    if (at < line.size() && line[at] != ' ') return 0;
  }
  return count;
}

// The part of a line that the encoding keeps: a whole-line comment, or what
// comes before an end-of-line comment and the blanks before that.
std::string_view kept_part(std::string_view line, bool keep_comment_lines, bool& comment_line) {
  const auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t first = 0;
  while (first < line.size() && is_blank(line[first])) ++first;
  comment_line = first < line.size() && line[first] == ';';
  if (comment_line) return keep_comment_lines ? line : std::string_view();
  std::size_t end = line.find(';');
  if (end == line.npos) return line;
  while (end > 0 && is_blank(line[end - 1])) --end;
  return line.substr(0, end);
}

// Packs a line and its line end (each line starts a byte, as repeated lines
// then pack to repeated bytes, which compress far better): a G command in
// the blank-less form when readers give it back from that, any other line
// as it is, or with `only_blankless` nothing, and false.
bool pack_line(std::string_view line, packer& out, bool only_blankless = false) {
  // Room for the signals and the packed bytes (at most three for two
  // characters, and a few written past), and beyond their reach for the codes
  // and characters.
  const std::size_t size = line.size();
  char* const start = out.reserve(4 * size + 48);
  auto* const codes = reinterpret_cast<unsigned char*>(start + 2 * size + 16);
  char* chars = start + 3 * size + 32;
  std::size_t count = line[0] == 'G' ? bare_g_command(line, codes, chars) : 0;
  const bool bare = count > 0;
  if (!bare && only_blankless) return false;
  const bool blankless = line[0] == 'G' ? bare : out.blankless;
  if (!out.packing) out.signal(packing_on);
  if (blankless != out.blankless) out.signal(blankless ? blankless_on : blankless_off);
  for (std::size_t i = 0; !bare && i < size; ++i, ++count) {
    codes[i] = codes_of[blankless][static_cast<unsigned char>(line[i])];
    chars[i] = line[i];
  }
  char* const at = out.room.data() + out.used;
  out.used += static_cast<std::size_t>(pack_codes(at, codes, chars, count) - at);
  return true;
}

// Printers' own reader decodes a block into room for twice its packed bytes
// and loses characters past that, while blank-less moves pack denser: the
// block is padded with empty lines, which every reader drops, until it is
// at least half its text. Padding follows a line end, with packing on.
void pad_to_half(packer& out, std::size_t decoded) {
  constexpr std::size_t end_signal = 3;
  const auto size = [&out] { return out.used + end_signal; };
  if (decoded <= 2 * size()) return;
  if (!out.packing) out.signal(packing_on);  // which may be padding enough
  const std::size_t pad = decoded > 2 * size() ? (decoded - 2 * size() + 1) / 2 : 0;
  std::memset(out.reserve(pad), two_line_ends, pad);
  out.used += pad;
}

}  // namespace

bool meatpack_encode(std::string_view text, bool keep_comment_lines, std::string& room,
                     std::string_view& packed) {
  if (text.find('\xFF') != text.npos) return false;
  packer out{room};
  out.reserve(text.size() * 3 / 4 + 16);
  out.signal(packing_on);
  out.signal(blankless_on);
  std::size_t decoded = 0;  // the text readers give back
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    if (end != text.npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Most lines are G commands without a comment, which pack as they are.
    if (!line.empty() && pack_line(line, out, true)) {
      decoded += line.size() + 1;
      continue;
    }
    bool comment_line = false;
    line = kept_part(line, keep_comment_lines, comment_line);
    if (line.empty()) continue;
    decoded += line.size() + 1;
    if (!comment_line) {
      pack_line(line, out);
      continue;
    }
    if (out.packing) out.signal(packing_off);
    char* const at = out.reserve(line.size() + 1);
    line.copy(at, line.size());
    at[line.size()] = '\n';
    out.used += line.size() + 1;
  }
  pad_to_half(out, decoded);
  out.signal(reset_all);
  packed = std::string_view(room.data(), out.used);
  return true;
}
