// Which lines are travel moves, and what the print itself does with its fan.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

/// The speed word that means: after a travel move, the fan goes back to the
/// speed the print itself last set.
constexpr std::string_view keep_speed = "keep";

/// True when `speed` may follow "M106 S": a plain decimal fan speed from 0 to
/// 255 ("200", "080", "127.5") of at most 8 characters, or keep_speed.
/// Printer firmware reads anything else as full speed or stops with an
/// error, so nothing else may reach an "M106 S" line.
bool is_valid_speed(std::string_view speed);

/// Every change note, the comment that ends a result from the command line,
/// starts with this; the pass looks for its words.
constexpr std::string_view note_start = "; fan off during travel moves: tarvix";
constexpr std::string_view note_words = note_start.substr(2);

/// True for the blanks that separate words: blank and tab. A table, as this
/// is asked of nearly every byte of a print's moves.
inline constexpr auto blank_table = [] {
  std::array<bool, 256> table{};
  table[' '] = table['\t'] = true;
  return table;
}();
inline bool is_blank(char c) { return blank_table[static_cast<unsigned char>(c)]; }

/// White space around a change note: a blank, a tab, a line end, a form feed.
inline bool is_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

/// True when `line`, a line's text, is a change note standing as a line of
/// its own, white space around it allowed. "...: tarvix-old" is no note.
bool is_note_line(std::string_view line);

/// A line that holds this anywhere is a travel move; case matters.
constexpr std::string_view travel_marker = "G0 ";

/// Where the travel-move marker first stands in `text`, or npos.
std::size_t find_travel_marker(std::string_view text);

/// True when `line` holds the travel-move marker.
inline bool is_travel_move(std::string_view line) {
  return find_travel_marker(line) != std::string_view::npos;
}

/// The longest fan speed value kept from an "M106 S" line; a print's own
/// speed is a few characters.
constexpr std::size_t max_fan_speed_size = 32;

/// Follows, a character at a time, whether a number is a zero: a sign, zeros
/// and at most one point, with one zero at least ("0", "-0.0", "0.").
struct zero_value {
  bool may_be = true;
  bool digit = false;
  bool dot = false;
  std::size_t size = 0;
};

/// What the words of one line say, read a piece at a time so that a line of
/// any length is read once, in little memory. Only the part before a ";"
/// comment counts; words are separated by blanks and tabs.
struct line_words {
  /// Which first words are worth reading on: "G1" for the G1 travel rule,
  /// "M106" and "M107" for following the fan.
  bool want_g1 = false;
  bool want_fan = false;
  /// The part-cooling fan: its number in a P word, and whether a fan
  /// command without one sets it.
  int part_fan = 0;
  bool bare_is_part = true;

  enum class command { unknown, g1, m106, m107 };
  command first = command::unknown;
  bool moves_xy = false;   // an X or a Y word
  bool extrudes = false;   // an E word whose value is not zero
  bool names_fan = false;  // a P word
  bool other_fan = false;  // a P word for a fan other than part_fan
  bool has_speed = false;  // an S word (the first one counts)
  bool speed_is_zero = false;
  bool speed_too_long = false;
  char speed[max_fan_speed_size] = {};  // its value as written
  std::size_t speed_size = 0;

  // Where the reader stands.
  bool done = false;  // the rest of the line cannot change the answer
  std::size_t words = 0;
  std::size_t word_size = 0;  // 0: between words
  char letter = 0;
  zero_value value;
  int fan_number = -1;      // of a P word so far: -1 before its digits
  char first_word[5] = {};  // enough to tell the commands apart
  std::size_t first_size = 0;
};

/// Reads the next piece of the line.
void read_words(line_words& words, std::string_view piece);

/// Ends the line: the last word counts from here.
void end_words(line_words& words);

/// The words of a line held whole: the part before its ";" comment.
std::string_view words_of(std::string_view line);

/// True when the words of a line held whole are a G1 move with X or Y and
/// no extrusion: "G1 X134.6 Y136.9 F18000", "G1 X65.2 Y75.9 E0 F9000".
/// Quicker than reading them with read_words, on the G1 lines that make up
/// most of a print.
bool is_g1_travel(std::string_view words);

/// The same for a line read with read_words and want_g1.
bool is_g1_travel(const line_words& words);

/// False when the first word of `line` cannot be M106 or M107, so that it
/// need not be read for the fan.
bool may_set_fan(std::string_view line);

/// True when a line read with want_fan sets the part-cooling fan: M106 or
/// M107 with part_fan's P word, or without one where that sets it.
bool sets_fan(const line_words& words);

/// What a line that sets the part-cooling fan sets it to.
struct fan_setting {
  bool on = false;
  std::string_view speed;  // as the print wrote it, when on; a view of the words read
};

/// The setting of a line read with want_fan that sets_fan. A speed too long
/// to keep counts as off, so that travel moves after it are left as the
/// print has them.
fan_setting fan_setting_of(const line_words& words);
