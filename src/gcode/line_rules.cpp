#include "gcode/line_rules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t max_speed_size = 8;

// A P word whose value is no fan number: it names no fan this tool knows.
constexpr int not_a_fan = -2;

// A table, as this is asked of nearly every byte of a print.
constexpr auto word_ends = [] {
  std::array<bool, 256> ends{};
  ends[' '] = ends['\t'] = ends[';'] = true;
  return ends;
}();

bool is_word_end(char c) { return word_ends[static_cast<unsigned char>(c)]; }

void read_zero(zero_value& value, char c) {
  const bool sign = (c == '+' || c == '-') && value.size == 0;
  const bool dot = c == '.' && !value.dot;
  value.digit = value.digit || c == '0';
  value.dot = value.dot || dot;
  value.may_be = value.may_be && (sign || dot || c == '0');
  ++value.size;
}

bool is_zero(const zero_value& value) { return value.may_be && value.digit; }

void start_word(line_words& w, char c) {
  ++w.words;
  w.word_size = 1;
  w.letter = c;
  w.value = zero_value();
  w.fan_number = -1;
  if (w.words == 1) w.first_word[w.first_size++] = c;
}

// Whether the characters of the word being read matter, or only its end.
bool reads_characters(const line_words& w) {
  return w.words == 1 || w.letter == 'E' || w.letter == 'P' || w.letter == 'S';
}

// As soon as a value cannot be a zero, an extrusion settles the line. A P
// word's digits make the fan's number; anything else in it names no fan
// this tool knows.
void read_value(line_words& w, char c) {
  using command = line_words::command;
  read_zero(w.value, c);
  if (!w.value.may_be && w.first == command::g1 && w.letter == 'E') {
    w.extrudes = true;
    w.done = true;
  }
  if (w.letter == 'P' && w.fan_number != not_a_fan) {
    const bool digit = c >= '0' && c <= '9' && w.fan_number < 1000;
    w.fan_number = digit ? std::max(w.fan_number, 0) * 10 + (c - '0') : not_a_fan;
  }
}

void continue_word(line_words& w, char c) {
  if (w.words == 1) {
    if (w.first_size < sizeof w.first_word) w.first_word[w.first_size++] = c;
  } else {
    read_value(w, c);
    const bool first_speed =
        w.first == line_words::command::m106 && w.letter == 'S' && !w.has_speed;
    if (first_speed && w.speed_size < max_fan_speed_size) w.speed[w.speed_size++] = c;
    if (first_speed && w.word_size > max_fan_speed_size) w.speed_too_long = true;
  }
  ++w.word_size;
}

// Where the first word from `from` on that begins with `letter` stands in
// `words` (which begin with a blank); npos when there is none.
std::size_t find_word(std::string_view words, char letter, std::size_t from) {
  for (std::size_t at = words.find(letter, from); at != std::string_view::npos;
       at = words.find(letter, at + 1)) {
    if (at > 0 && is_blank(words[at - 1])) return at;
  }
  return std::string_view::npos;
}

bool has_nonzero_value(std::string_view words, std::size_t letter_at) {
  zero_value value;
  for (std::size_t next = letter_at + 1;
       next < words.size() && !is_blank(words[next]) && value.may_be; ++next) {
    read_zero(value, words[next]);
  }
  return !is_zero(value);
}

line_words::command first_command(const line_words& w) {
  using command = line_words::command;
  const std::string_view word(w.first_word, w.first_size);
  if (w.want_g1 && word == "G1") return command::g1;
  if (w.want_fan && word == "M106") return command::m106;
  if (w.want_fan && word == "M107") return command::m107;
  return command::unknown;
}

void end_word(line_words& w) {
  using command = line_words::command;
  const bool zero = is_zero(w.value);
  if (w.words == 1) {
    w.first = first_command(w);
    w.done = w.first == command::unknown;
  } else if (w.first == command::g1) {
    w.moves_xy = w.moves_xy || w.letter == 'X' || w.letter == 'Y';
    w.extrudes = w.letter == 'E' && !zero;
  } else if (w.letter == 'P') {
    w.names_fan = true;
    w.other_fan = (zero ? 0 : w.fan_number) != w.part_fan;
  } else if (w.letter == 'S' && !w.has_speed) {
    w.has_speed = true;
    w.speed_is_zero = zero;
  }
  w.done = w.done || w.extrudes || w.other_fan;
  w.word_size = 0;
}

}  // namespace

bool is_valid_speed(std::string_view speed) {
  if (speed == keep_speed) return true;
  constexpr std::string_view digits = "0123456789";
  const std::size_t dot = speed.find('.');
  const std::string_view whole = speed.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : speed.substr(dot + 1);
  if (speed.size() > max_speed_size || whole.empty() ||
      whole.find_first_not_of(digits) != std::string_view::npos) {
    return false;
  }
  if (dot != std::string_view::npos &&
      (fraction.empty() || fraction.find_first_not_of(digits) != std::string_view::npos)) {
    return false;
  }
  const int value = std::stoi(std::string(whole));
  return value < 255 || (value == 255 && fraction.find_first_not_of('0') == std::string_view::npos);
}

bool is_note_line(std::string_view line) {
  while (!line.empty() && is_white_space(line.front())) line.remove_prefix(1);
  const std::size_t size = note_start.size();
  return line.size() > size && line.substr(0, size) == note_start && line[size] == ' ';
}

std::size_t find_travel_marker(std::string_view text) {
  // Its first byte by the fast byte search, the other two compared here: a
  // call to compare them would cost more than the search, once a line.
  static_assert(travel_marker.size() == 3);
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* at = begin; end - at >= 3; ++at) {
    at = static_cast<const char*>(std::memchr(at, travel_marker[0], end - at - 2));
    if (at == nullptr) break;
    if (at[1] == travel_marker[1] && at[2] == travel_marker[2]) {
      return static_cast<std::size_t>(at - begin);
    }
  }
  return std::string_view::npos;
}

void read_words(line_words& words, std::string_view piece) {
  const char* next = piece.data();
  const char* const end = next + piece.size();
  while (next != end && !words.done) {
    if (words.word_size == 0) {
      while (next != end && is_blank(*next)) ++next;
      if (next == end) return;
      if (*next == ';') return end_words(words);
      start_word(words, *next++);
    }
    const char* const rest = next;
    if (reads_characters(words)) {
      while (next != end && !is_word_end(*next) && !words.done) continue_word(words, *next++);
    } else {
      while (next != end && !is_word_end(*next)) ++next;
      words.word_size += static_cast<std::size_t>(next - rest);
    }
    if (next != end && !words.done) end_word(words);
  }
}

std::string_view words_of(std::string_view line) { return line.substr(0, line.find(';')); }

bool is_g1_travel(std::string_view words) {
  std::size_t start = 0;
  while (start < words.size() && is_blank(words[start])) ++start;
  if (words.size() - start < 2 || words[start] != 'G' || words[start + 1] != '1' ||
      (words.size() > start + 2 && !is_blank(words[start + 2]))) {
    return false;
  }
  // The E, X and Y words, found directly, settle it.
  const std::string_view rest = words.substr(start + 2);
  constexpr std::size_t none = std::string_view::npos;
  // Slicers write the E word last: looked for from the end.
  for (std::size_t e = rest.rfind('E'); e != none && e > 0; e = rest.rfind('E', e - 1)) {
    if (is_blank(rest[e - 1]) && has_nonzero_value(rest, e)) return false;
  }
  return find_word(rest, 'X', 0) != none || find_word(rest, 'Y', 0) != none;
}

bool may_set_fan(std::string_view line) {
  std::size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  return start < line.size() && line[start] == 'M';
}

void end_words(line_words& words) {
  if (!words.done && words.word_size > 0) end_word(words);
  words.done = true;
}

bool is_g1_travel(const line_words& words) {
  return words.first == line_words::command::g1 && words.moves_xy && !words.extrudes;
}

bool sets_fan(const line_words& words) {
  using command = line_words::command;
  return !words.other_fan && (words.names_fan || words.bare_is_part) &&
         (words.first == command::m106 || words.first == command::m107);
}

fan_setting fan_setting_of(const line_words& words) {
  fan_setting setting;
  setting.on = words.first == line_words::command::m106 &&
               !(words.has_speed && (words.speed_is_zero || words.speed_too_long));
  if (setting.on) {
    setting.speed = words.has_speed ? std::string_view(words.speed, words.speed_size) : "255";
  }
  return setting;
}
