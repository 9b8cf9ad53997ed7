#include "gcode/move_words.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "gcode/line_rules.h"

namespace {

constexpr double mm_per_inch = 25.4;

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

// The axis a letter names, in capitals or, for a word firmware may read the
// same way, in lower case; axis_count for none. Z, E and F only with `all`.
template <bool all>
int axis_of(char letter, bool& lower) {
  lower = letter >= 'a';
  switch (letter) {
    case 'X':
    case 'x':
      return axis_x;
    case 'Y':
    case 'y':
      return axis_y;
    case 'Z':
    case 'z':
      return all ? axis_z : axis_count;
    case 'E':
    case 'e':
      return all ? axis_e : axis_count;
    case 'F':
    case 'f':
      return all ? axis_f : axis_count;
    default:
      return axis_count;
  }
}

// Reads the words once, a byte at a time: nearly every line of a print is a
// move, so this is the tool's inner loop. Without `values` it only tells
// whether X or Y is named, or may be.
template <bool values, bool all>
axis_words read_words(std::string_view words, bool inches) {
  axis_words axes;
  const char* next = words.data();
  const char* const end = next + words.size();
  for (;;) {
    while (next != end && is_blank(*next)) ++next;
    if (next == end) return axes;
    axes.any = true;
    bool lower = false;
    const int a = axis_of<all>(*next++, lower);
    if (a < axis_count && lower) {
      axes.readable[a] = false;  // firmware may read it as the capital
      if (!values && a <= axis_y) return axes;
    } else if (a < axis_count) {
      if (!values && a <= axis_y) {
        axes.named[a] = true;
        return axes;
      }
      double& value = axes.value[a];
      axes.readable[a] = axes.readable[a] && !axes.named[a] && read_number(next, end, value) &&
                         (next == end || is_blank(*next));
      if (inches) value *= mm_per_inch;
      axes.named[a] = true;
    }
    while (next != end && !is_blank(*next)) ++next;
  }
}

}  // namespace

std::string_view next_word(std::string_view& words) {
  std::size_t start = 0;
  while (start < words.size() && is_blank(words[start])) ++start;
  std::size_t end = start;
  while (end < words.size() && !is_blank(words[end])) ++end;
  const std::string_view word = words.substr(start, end - start);
  words.remove_prefix(end);
  return word;
}

int g_number(std::string_view word) {
  if (word.size() < 2 || word.size() > 4 || word[0] != 'G') return -1;
  int number = 0;
  for (const char c : word.substr(1)) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

bool read_decimal(std::string_view text, double& value) {
  const char* next = text.data();
  const char* const end = next + text.size();
  return read_number(next, end, value) && next == end;
}

axis_words read_axes(std::string_view words, bool inches, bool all) {
  return all ? read_words<true, true>(words, inches) : read_words<true, false>(words, inches);
}

bool may_name_xy(std::string_view words) {
  const axis_words axes = read_words<false, false>(words, false);
  return axes.named[axis_x] || axes.named[axis_y] || !axes.readable[axis_x] ||
         !axes.readable[axis_y];
}
