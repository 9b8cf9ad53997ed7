// The words of a G-code line as firmware reads them: its command, and the
// numbers its axis words give.
#pragma once

#include <cstddef>
#include <string_view>

/// Longer numbers are no coordinate a print holds; refusing them also keeps
/// every value read far from the limits of a double.
constexpr std::size_t max_number_size = 32;

/// Takes the next word off the front of `words`.
std::string_view next_word(std::string_view& words);

/// The number of a G word ("G1", "G01", "G28"); -1 for any other word, so
/// that a command the tool does not know counts as one that may move
/// anywhere.
int g_number(std::string_view word);

/// Reads a number as firmware writes one in a word: an optional sign, digits
/// with at most one point, one digit at least ("10", "-1.5", ".5", "+3",
/// "10."), at most max_number_size characters. False for anything else,
/// exponents included.
bool read_decimal(std::string_view text, double& value);

/// The axis words a move may have, in the order of axis_words' arrays.
enum axis { axis_x, axis_y, axis_z, axis_e, axis_f, axis_count };

/// What the words after a command say of each axis: whether it is named,
/// its value (in millimetres, or millimetres a minute for F), and whether
/// it can be read: named once, with a number, in capitals.
struct axis_words {
  bool named[axis_count] = {};
  double value[axis_count] = {};
  bool readable[axis_count] = {true, true, true, true, true};
  bool any = false;  // any word at all
};

/// Reads the axis words; Z, E and F only with `all`, as only the time a
/// move takes needs them. In inches, values are made millimetres.
axis_words read_axes(std::string_view words, bool inches, bool all);

/// Whether the words name X or Y, or have a word that firmware may read as
/// one (a lower-case x or y), read no further than that.
bool may_name_xy(std::string_view words);
