#include "motion.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

constexpr double mm_per_inch = 25.4;

/// Longer numbers are no coordinate a print holds; refusing them also keeps
/// every value read far from the limits of a double.
constexpr std::size_t max_number_size = 32;

// A table, as this is asked of nearly every byte of a print's moves.
constexpr auto blanks = [] {
  std::array<bool, 256> table{};
  table[' '] = table['\t'] = true;
  return table;
}();

bool is_blank(char c) { return blanks[static_cast<unsigned char>(c)]; }

// Takes the next word off the front of `words`.
std::string_view next_word(std::string_view& words) {
  std::size_t start = 0;
  while (start < words.size() && is_blank(words[start])) ++start;
  std::size_t end = start;
  while (end < words.size() && !is_blank(words[end])) ++end;
  const std::string_view word = words.substr(start, end - start);
  words.remove_prefix(end);
  return word;
}

// The number of a G word ("G1", "G01", "G28"); -1 for any other word, so that
// a command the tool does not know counts as one that may move anywhere.
int g_number(std::string_view word) {
  if (word.size() < 2 || word.size() > 4 || word[0] != 'G') return -1;
  int number = 0;
  for (const char c : word.substr(1)) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

// What the words after a command say of X and Y, in millimetres.
struct axis_words {
  bool x = false;  // named
  bool y = false;
  double x_value = 0;
  double y_value = 0;
  bool readable = true;  // each named at most once, with a number
  bool any = false;      // any word at all
};

// Reads a number from `from` on, as far as it has a sign, digits and a
// point, leaving `from` past it. False without a digit.
bool read_number(const char*& from, const char* end, double& value) {
  // A copy, which the compiler may keep in a register: a char may alias
  // the pointer `from` refers to.
  const char* next = from;
  const bool negative = next != end && *next == '-';
  next += next != end && (*next == '-' || *next == '+') ? 1 : 0;
  const char* const digits_start = next;
  const char* point = nullptr;
  std::uint64_t mantissa = 0;
  for (; next != end; ++next) {
    const auto digit = static_cast<unsigned>(static_cast<unsigned char>(*next)) - '0';
    if (digit < 10) {
      mantissa = mantissa * 10 + digit;
    } else if (*next == '.' && point == nullptr) {
      point = next;
    } else {
      break;
    }
  }
  const auto digits = next - digits_start - (point != nullptr ? 1 : 0);
  const auto fraction = point != nullptr ? next - point - 1 : 0;
  const bool too_long = next - from > static_cast<std::ptrdiff_t>(max_number_size);
  from = next;
  if (digits == 0 || too_long) return false;
  // A mantissa that a double holds exactly, divided by an exact power of ten,
  // gives the nearest double, as the slower general reading does.
  static constexpr double powers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (digits <= 15) {
    value = static_cast<double>(mantissa) / powers[fraction];
  } else if (std::from_chars(digits_start, next, value).ec != std::errc()) {
    return false;
  }
  if (negative) value = -value;
  return true;
}

// Reads the words once, a byte at a time: nearly every line of a print is a
// move, so this is the tool's inner loop. Without `values` it only tells
// whether an axis is named, which is all some questions need.
template <bool values>
axis_words read_axes(std::string_view words, bool inches) {
  axis_words axes;
  const char* next = words.data();
  const char* const end = next + words.size();
  for (;;) {
    while (next != end && is_blank(*next)) ++next;
    if (next == end) return axes;
    axes.any = true;
    const char letter = *next++;
    if (letter == 'X' || letter == 'Y') {
      bool& named = letter == 'X' ? axes.x : axes.y;
      double& value = letter == 'X' ? axes.x_value : axes.y_value;
      if (values) {
        axes.readable = axes.readable && !named && read_number(next, end, value) &&
                        (next == end || is_blank(*next));
        if (inches) value *= mm_per_inch;
      }
      named = true;
      if (!values) return axes;
    } else if (letter == 'x' || letter == 'y') {
      axes.readable = false;  // firmware may read these as X and Y
    }
    while (next != end && !is_blank(*next)) ++next;
  }
}

bool moves_xy(const axis_words& axes, bool arc) { return axes.x || axes.y || arc; }

void forget(nozzle& at, bool x, bool y) {
  at.x_known = at.x_known && !x;
  at.y_known = at.y_known && !y;
}

void move_axis(double& at, bool& known, bool named, double value, bool relative) {
  if (!named) return;
  if (relative) {
    at += value;  // an unknown axis stays unknown
  } else {
    at = value;
    known = true;
  }
}

line_motion move(nozzle& at, const axis_words& axes, bool arc) {
  const nozzle from = at;
  if (axes.readable) {
    move_axis(at.x, at.x_known, axes.x, axes.x_value, at.relative);
    move_axis(at.y, at.y_known, axes.y, axes.y_value, at.relative);
  } else {
    forget(at, true, true);
  }
  line_motion motion;
  motion.moves_xy = moves_xy(axes, arc);
  const double dx = at.x - from.x;
  const double dy = at.y - from.y;
  motion.distance = std::sqrt(dx * dx + dy * dy);
  return motion;
}

// G92 names where the nozzle is now; without any word, firmwares differ on
// what it does.
void set_position(nozzle& at, const axis_words& axes) {
  if (!axes.readable || !axes.any) return forget(at, true, true);
  move_axis(at.x, at.x_known, axes.x, axes.x_value, false);
  move_axis(at.y, at.y_known, axes.y, axes.y_value, false);
}

// Follows `at` through one line; says nothing yet of what is known.
line_motion step(nozzle& at, std::string_view words, bool cut) {
  std::string_view rest = words;
  const std::string_view command = next_word(rest);
  // Of words cut short, a first word that reaches the cut may be anything.
  const bool readable = !cut || !rest.empty();
  if (readable && (command.empty() || (command[0] != 'G' && command[0] != 'g'))) return {};
  const int g = readable ? g_number(command) : -1;
  switch (g) {
    case 4:   // dwell
    case 10:  // retract
    case 11:  // unretract
      return {};
    case 20:
    case 21:
      at.inches = g == 20;
      return {};
    case 90:
    case 91:
      at.relative = g == 91;
      return {};
    default:
      break;
  }
  // A command the tool cannot read or does not know may move the nozzle
  // anywhere, so it ends a travel too.
  line_motion unknown;
  unknown.moves_xy = true;
  if (cut) {
    forget(at, true, true);
    return unknown;
  }
  const axis_words axes = read_axes<true>(rest, at.inches);
  switch (g) {
    case 0:
    case 1:
    case 2:
    case 3:
      return move(at, axes, g >= 2);
    case 28:  // homes the axes it names, or all of them (G28 Z may move X and Y too)
      forget(at, axes.x || !(axes.x || axes.y), axes.y || !(axes.x || axes.y));
      return unknown;
    case 92:
      set_position(at, axes);
      return {};
    default:  // may move anywhere
      forget(at, true, true);
      return unknown;
  }
}

}  // namespace

line_motion follow_motion(nozzle& at, std::string_view words, bool cut) {
  const bool known_before = at.x_known && at.y_known;
  line_motion motion = step(at, words, cut);
  motion.known = known_before && at.x_known && at.y_known;
  return motion;
}

move_kind kind_of_move(const nozzle& at, std::string_view words) {
  const std::size_t size = words.size();
  // Most lines of a print are "G1 X.. Y.. E..": told at a glance.
  if (size > 2 && words[0] == 'G' && words[1] >= '0' && words[1] <= '3' && is_blank(words[2])) {
    return !at.relative && size <= max_motion_words ? move_kind::in_run : move_kind::other;
  }
  std::string_view rest = words.substr(0, max_motion_words);
  const std::string_view command = next_word(rest);
  if (size > max_motion_words && rest.empty()) return move_kind::other;
  if (command.empty() || (command[0] != 'G' && command[0] != 'g')) return move_kind::none;
  const int g = g_number(command);
  const bool run = g >= 0 && g <= 3 && !at.relative && size <= max_motion_words;
  return run ? move_kind::in_run : move_kind::other;
}

bool run_move_moves_xy(std::string_view words) {
  const int g = g_number(next_word(words));
  return moves_xy(read_axes<false>(words, false), g >= 2);
}

bool follow_back(nozzle& at, settled_axes& settled, std::string_view words) {
  next_word(words);  // the command
  const axis_words axes = read_axes<true>(words, at.inches);
  // A move that cannot be read leaves both axes unknown, as far as no later
  // move sets them.
  if (!settled.x && (axes.x || !axes.readable)) {
    at.x = axes.x_value;
    at.x_known = axes.readable;
    settled.x = true;
  }
  if (!settled.y && (axes.y || !axes.readable)) {
    at.y = axes.y_value;
    at.y_known = axes.readable;
    settled.y = true;
  }
  return settled.x && settled.y;
}

bool read_decimal(std::string_view text, double& value) {
  const char* next = text.data();
  const char* const end = next + text.size();
  return read_number(next, end, value) && next == end;
}
