#include "gcode/split_move.h"

#include <cmath>
#include <cstdio>

#include "gcode/line_rules.h"
#include "gcode/move_words.h"

namespace {

constexpr int max_decimals = 3;
constexpr double millimetres_an_inch = 25.4;

int decimals_of(std::string_view number) {
  const std::size_t dot = number.find('.');
  return dot == std::string_view::npos ? 0 : static_cast<int>(number.size() - dot - 1);
}

// `value` with `decimals` decimals, never "-0".
void append_number(std::string& to, double value, int decimals) {
  char text[64];
  const double unit = std::pow(10.0, -decimals);
  if (std::fabs(value) < unit / 2) value = 0;
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  to += text;
}

// One axis word of each part: to the point, and in relative mode the rest.
void split_axis(char letter, std::string_view number, double value, double delta,
                const move_shape& shape, double fraction, std::string& first, std::string& second) {
  const int decimals = decimals_of(number);
  const int written = decimals < max_decimals ? decimals : max_decimals;
  first.append(" ").append(1, letter);
  if (!shape.relative) {
    const double unit = shape.inches ? millimetres_an_inch : 1;
    append_number(first, value - (1 - fraction) * delta / unit, written);
    return;
  }
  // In whole steps of the move's last decimal, so that the parts add up.
  const double step = std::pow(10.0, -decimals);
  const double coarse = std::pow(10.0, decimals - written);
  const double whole = std::round(value / step);
  const double part = std::round(whole * fraction / coarse) * coarse;
  append_number(first, part * step, written);
  second.append(" ").append(1, letter);
  append_number(second, (whole - part) * step, decimals);
}

}  // namespace

bool split_move(std::string_view words, const move_shape& shape, double fraction,
                std::string& first, std::string& second) {
  first.clear();
  second.clear();
  std::string_view rest = words;
  const std::string_view command = next_word(rest);
  const int number = g_number(command);
  if (number != 0 && number != 1) return false;
  first.assign(command);
  second.assign(command);
  bool in_xy = false;
  bool named[4] = {};  // X, Y, Z, F
  for (std::string_view word = next_word(rest); !word.empty(); word = next_word(rest)) {
    const char letter = word[0];
    const std::string_view text = word.substr(1);
    double value = 0;
    const std::size_t axis = std::string_view("XYZF").find(letter);
    if (axis == std::string_view::npos || named[axis] || !read_decimal(text, value)) {
      first.clear();
      second.clear();
      return false;
    }
    named[axis] = true;
    in_xy = in_xy || axis < 2;
    if (letter == 'F') {
      first.append(" ").append(word);
      second.append(" ").append(word);
    } else {
      split_axis(letter, text, value, shape.delta[axis], shape, fraction, first, second);
    }
  }
  if (!shape.relative) second.clear();
  if (!in_xy) first.clear(), second.clear();
  return in_xy;
}
