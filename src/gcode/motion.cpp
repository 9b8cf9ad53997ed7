#include "gcode/motion.h"

#include <cmath>

namespace {

constexpr double seconds_per_minute = 60;

void forget(nozzle& at, bool x, bool y) {
  at.known[axis_x] = at.known[axis_x] && !x;
  at.known[axis_y] = at.known[axis_y] && !y;
}

void forget_all(nozzle& at) {
  for (bool& known : at.known) known = false;
}

void move_axis(nozzle& at, int axis, const axis_words& axes, bool relative) {
  if (!axes.named[axis]) return;
  if (relative) {
    at.at[axis] += axes.value[axis];  // an unknown axis stays unknown
  } else {
    at.at[axis] = axes.value[axis];
    at.known[axis] = true;
  }
}

// Z and E follow X and Y, but one unreadable word makes only its own axis
// unknown; so does the feed rate.
void follow_z_e_f(nozzle& at, const axis_words& axes) {
  for (const int axis : {axis_z, axis_e}) {
    if (axes.readable[axis]) {
      move_axis(at, axis, axes, axis == axis_e ? at.e_relative : at.relative);
    } else {
      at.known[axis] = false;
    }
  }
  if (!axes.readable[axis_f]) at.feed_known = false;
  if (axes.readable[axis_f] && axes.named[axis_f]) {
    at.feed = axes.value[axis_f] / seconds_per_minute;
    at.feed_known = true;
  }
}

// How far a move took the nozzle along each axis, and whether the time it
// takes can be known: every axis it names readable, and known before and
// after it unless it moves relative to where it is, a feed rate known and
// above 0, no arc. A lower-case word names an axis that cannot be read.
void time_move(const nozzle& from, const nozzle& at, const axis_words& axes, bool arc,
               motion_time& motion) {
  motion.timed = !arc && at.feed_known && at.feed > 0;
  motion.takes_time = arc;
  for (const int axis : {axis_x, axis_y, axis_z, axis_e}) {
    if (!axes.named[axis] && axes.readable[axis]) continue;
    motion.takes_time = true;
    const bool relative = axis == axis_e ? at.e_relative : at.relative;
    motion.delta[axis] = relative ? axes.value[axis] : at.at[axis] - from.at[axis];
    motion.timed =
        motion.timed && axes.readable[axis] && (relative || (from.known[axis] && at.known[axis]));
  }
  motion.feed = at.feed;
}

line_motion move(nozzle& at, const axis_words& axes, bool arc) {
  const nozzle from = at;
  if (axes.readable[axis_x] && axes.readable[axis_y]) {
    move_axis(at, axis_x, axes, at.relative);
    move_axis(at, axis_y, axes, at.relative);
  } else {
    forget(at, true, true);
  }
  line_motion motion;
  // Words the tool cannot read may move the nozzle too.
  motion.moves_xy = axes.named[axis_x] || axes.named[axis_y] || !axes.readable[axis_x] ||
                    !axes.readable[axis_y] || arc;
  const double dx = at.at[axis_x] - from.at[axis_x];
  const double dy = at.at[axis_y] - from.at[axis_y];
  motion.distance = std::sqrt(dx * dx + dy * dy);
  if (at.times) {
    follow_z_e_f(at, axes);
    time_move(from, at, axes, arc, at.last);
  }
  return motion;
}

// G92 names where the nozzle is now; without any word, firmwares differ on
// what it does.
void set_position(nozzle& at, const axis_words& axes) {
  if (!axes.readable[axis_x] || !axes.readable[axis_y] || !axes.any) return forget_all(at);
  move_axis(at, axis_x, axes, false);
  move_axis(at, axis_y, axes, false);
  for (const int axis : {axis_z, axis_e}) {
    if (axes.readable[axis]) move_axis(at, axis, axes, false);
    if (!axes.readable[axis]) at.known[axis] = false;
  }
}

// G28 homes the axes it names, or all of them (G28 Z may move X and Y too).
void home(nozzle& at, const axis_words& axes) {
  const bool names_xy = axes.named[axis_x] || axes.named[axis_y];
  forget(at, axes.named[axis_x] || !names_xy, axes.named[axis_y] || !names_xy);
  if (axes.named[axis_z] || !names_xy) at.known[axis_z] = false;
}

// A line whose time the tool cannot know.
void untimed(nozzle& at) {
  at.last.takes_time = true;
  at.last.timed = false;
}

// G4 waits P milliseconds or S seconds.
void dwell(std::string_view rest, motion_time& motion) {
  motion.takes_time = motion.dwells = true;
  for (std::string_view word = next_word(rest); !word.empty(); word = next_word(rest)) {
    double value = 0;
    if (word[0] != 'P' && word[0] != 'S') continue;
    motion.timed = motion.timed && read_decimal(word.substr(1), value) && value >= 0;
    motion.dwell = word[0] == 'P' ? value / 1000 : value;
  }
}

// What the print sets of how the machine moves: M82 and M83 the E mode,
// M204 the accelerations, M205 J the junction deviation.
void follow_setting(nozzle& at, std::string_view command, std::string_view rest) {
  if (command == "M82" || command == "M83") at.e_relative = command == "M83";
  if (command != "M204" && command != "M205") return;
  print_limits& limits = at.limits;
  for (std::string_view word = next_word(rest); !word.empty(); word = next_word(rest)) {
    double value = 0;
    const bool readable = read_decimal(word.substr(1), value) && value >= 0;
    double* set[] = {nullptr, nullptr};
    if (command == "M205") {
      set[0] = word[0] == 'J' ? &limits.junction_deviation : nullptr;
    } else if (word[0] == 'S') {
      set[0] = &limits.print;
      set[1] = &limits.travel;
    } else {
      set[0] = word[0] == 'P'   ? &limits.print
               : word[0] == 'T' ? &limits.travel
               : word[0] == 'R' ? &limits.retract
                                : nullptr;
    }
    for (double* limit : set) {
      if (limit != nullptr) *limit = value;
    }
    limits.readable = limits.readable && (set[0] == nullptr || readable);
  }
}

// Follows `at` through one line; says nothing yet of what is known.
line_motion step(nozzle& at, std::string_view words, bool cut) {
  std::string_view rest = words;
  const std::string_view command = next_word(rest);
  // Of words cut short, a first word that reaches the cut may be anything.
  const bool readable = !cut || !rest.empty();
  if (readable && at.times && !command.empty() && command[0] == 'M') {
    follow_setting(at, command, rest);
  }
  if (readable && (command.empty() || (command[0] != 'G' && command[0] != 'g'))) return {};
  const int g = readable ? g_number(command) : -1;
  switch (g) {
    case 4:
      if (at.times) dwell(rest, at.last);
      return {};
    case 10:  // retract, and unretract, as the firmware's settings say
    case 11:
      untimed(at);
      return {};
    case 20:
    case 21:
      at.inches = g == 20;
      return {};
    case 90:
    case 91:
      at.relative = at.e_relative = g == 91;
      return {};
    default:
      break;
  }
  // A command the tool cannot read or does not know may move the nozzle
  // anywhere, so it ends a travel too.
  line_motion unknown;
  unknown.moves_xy = true;
  if (cut) {
    forget_all(at);
    untimed(at);
    return unknown;
  }
  const axis_words axes = read_axes(rest, at.inches, at.times);
  switch (g) {
    case 0:
    case 1:
    case 2:
    case 3:
      return move(at, axes, g >= 2);
    case 28:
      home(at, axes);
      untimed(at);
      return unknown;
    case 92:
      set_position(at, axes);
      return {};
    default:  // may move anywhere
      forget_all(at);
      untimed(at);
      return unknown;
  }
}

}  // namespace

line_motion follow_motion(nozzle& at, std::string_view words, bool cut) {
  const bool known_before = at.known[axis_x] && at.known[axis_y];
  if (at.times) at.last = motion_time();
  line_motion motion = step(at, words, cut);
  motion.known = known_before && at.known[axis_x] && at.known[axis_y];
  return motion;
}

move_kind kind_of_any_move(const nozzle& at, std::string_view words) {
  const std::size_t size = words.size();
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
  return may_name_xy(words) || g >= 2;
}

bool follow_back(nozzle& at, settled_axes& settled, std::string_view words) {
  next_word(words);  // the command
  const axis_words axes = read_axes(words, at.inches, at.times);
  // A move that cannot be read leaves both X and Y unknown, as far as no
  // later move sets them; Z, E and F each only itself.
  const bool xy_readable = axes.readable[axis_x] && axes.readable[axis_y];
  for (int axis = axis_x; axis < (at.times ? axis_count : axis_z); ++axis) {
    const bool readable = axis <= axis_y ? xy_readable : axes.readable[axis];
    if (settled.axes[axis] || (axes.named[axis] == false && readable)) continue;
    settled.axes[axis] = true;
    const double value = axes.value[axis];
    if (axis == axis_f) {
      at.feed = value / seconds_per_minute;
      at.feed_known = readable;
    } else {
      at.at[axis] = value;
      // Relative E is not summed back: its position is not followed.
      at.known[axis] = readable && !(axis == axis_e && at.e_relative);
    }
  }
  return settled.axes[axis_x] && settled.axes[axis_y];
}

bool settled(const nozzle& at, const settled_axes& axes) {
  for (int axis = axis_x; axis < (at.times ? axis_count : axis_z); ++axis) {
    if (!axes.axes[axis]) return false;
  }
  return true;
}
