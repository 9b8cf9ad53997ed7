#include "gcode/split_move.h"

#include <cmath>

#include "gcode/line_rules.h"
#include "gcode/move_words.h"

namespace {

constexpr int max_decimals = 3;
constexpr double millimetres_an_inch = 25.4;

// Numbers are cut in whole steps of their last decimal, counted exactly:
// more decimals than this, or more steps, and the move is not split.
constexpr long long powers_of_ten[] = {1,      10,      100,      1000,      10000,
                                       100000, 1000000, 10000000, 100000000, 1000000000};
constexpr int max_exact_decimals = 9;
constexpr double max_steps = 1e15;

int decimals_of(std::string_view number) {
  const std::size_t dot = number.find('.');
  return dot == std::string_view::npos ? 0 : static_cast<int>(number.size() - dot - 1);
}

// `steps` of the `decimals`th decimal, written out: never "-0".
void append_steps(std::string& to, long long steps, int decimals) {
  if (steps < 0) to += '-';
  const long long size = steps < 0 ? -steps : steps;
  const long long unit = powers_of_ten[decimals];
  to += std::to_string(size / unit);
  if (decimals == 0) return;
  char fraction[max_exact_decimals];
  for (long long rest = size % unit, i = decimals; i-- > 0; rest /= 10) {
    fraction[i] = static_cast<char>('0' + rest % 10);
  }
  to.append(1, '.').append(fraction, static_cast<std::size_t>(decimals));
}

// Whether the point, as written, lies apart from the move's start and from
// its end: else the split would only add a move of no length.
struct apart {
  bool from_start = false;
  bool from_end = false;
};

// One axis word of each part: to the point, and in relative mode the rest.
// False for a number too long to count in steps.
bool split_axis(char letter, std::string_view number, double value, double delta,
                const move_shape& shape, double fraction, std::string& first, std::string& second,
                apart& point) {
  const int decimals = decimals_of(number);
  const int written = decimals < max_decimals ? decimals : max_decimals;
  if (decimals > max_exact_decimals ||
      std::fabs(value) * static_cast<double>(powers_of_ten[decimals]) > max_steps) {
    return false;
  }
  first.append(" ").append(1, letter);
  if (!shape.relative) {
    const double unit = shape.inches ? millimetres_an_inch : 1;
    const auto steps = [&](double at) {
      return std::llround(at * static_cast<double>(powers_of_ten[written]));
    };
    const long long to = steps(value - (1 - fraction) * delta / unit);
    point.from_start = point.from_start || to != steps(value - delta / unit);
    point.from_end = point.from_end || to != steps(value);
    append_steps(first, to, written);
    return true;
  }
  const long long coarse = powers_of_ten[decimals - written];
  const long long whole = std::llround(value * static_cast<double>(powers_of_ten[decimals]));
  const long long part = std::llround(static_cast<double>(whole) * fraction / coarse);
  point.from_start = point.from_start || part != 0;
  point.from_end = point.from_end || whole != part * coarse;
  append_steps(first, part, written);
  second.append(" ").append(1, letter);
  append_steps(second, whole - part * coarse, decimals);
  return true;
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
  apart point;
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
    } else if (!split_axis(letter, text, value, shape.delta[axis], shape, fraction, first, second,
                           point)) {
      first.clear();
      second.clear();
      return false;
    }
  }
  if (!shape.relative) second.clear();
  const bool splits = in_xy && point.from_start && point.from_end;
  if (!splits) first.clear(), second.clear();
  return splits;
}
