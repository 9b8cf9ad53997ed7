// Where the nozzle goes, followed through a print line by line as the
// printer's firmware follows it, so that the tool can tell how far a travel
// takes it and, when asked, how long it takes.
#pragma once

#include <cstddef>
#include <string_view>

#include "gcode/move_words.h"

/// The longest words part of a line, before its comment, that is read for
/// the axes: no real move comes near it, and a line read in pieces keeps no
/// more of its start than this.
constexpr std::size_t max_motion_words = 256;

/// How the print has the machine accelerate: M204 P (moves that extrude),
/// T (moves that do not), R (retractions), each 0 while not set (S sets P
/// and T), and M205 J (below 0 while not set). `readable` is false once
/// one could not be read.
struct print_limits {
  double print = 0;
  double travel = 0;
  double retract = 0;
  double junction_deviation = -1;
  bool readable = true;
};

/// The time a line takes, as follow_motion finds it with `times`: whether it
/// takes any (a move along any axis, a dwell, or a command whose time cannot
/// be known); how far it goes along X, Y, Z and E, at what feed rate (mm/s),
/// or, a dwell, for how many seconds it waits; `timed` is false when the time
/// it takes cannot be known.
struct motion_time {
  bool takes_time = false;
  double delta[axis_f] = {};
  double feed = 0;
  bool dwells = false;
  double dwell = 0;
  bool timed = true;
};

/// The nozzle as far as the print has told it so far. At the start of a
/// print no position is known; moves are absolute and in millimetres. Z, E,
/// the feed rate and the limits are followed only with `times`.
struct nozzle {
  double at[axis_f] = {};  // X, Y, Z and E
  bool known[axis_f] = {};
  double feed = 0;  // the last F, in millimetres a second
  bool feed_known = false;
  bool relative = false;    // G91
  bool inches = false;      // G20
  bool e_relative = false;  // M83, or G91
  bool times = false;
  print_limits limits;
  motion_time last;  // of the line followed last, with `times`
};

/// What one line does to the nozzle.
struct line_motion {
  /// A move in X or Y, or one that may be: a G0 to G3 with an X or a Y word
  /// (or an x or a y), any arc, a G28, or a G command the tool cannot read
  /// or does not know.
  bool moves_xy = false;
  /// How far the move takes the nozzle in X and Y, in a straight line, in
  /// millimetres.
  double distance = 0;
  /// Where the nozzle is in X and Y, before the line and after it, is
  /// known, so `distance` is.
  bool known = true;
};

/// Follows `at` through the words of one line, the part before its ";"
/// comment. `cut`: the words go on past `words`, which holds only their
/// start (more than max_motion_words), so a G command's axes cannot be read
/// and become unknown.
line_motion follow_motion(nozzle& at, std::string_view words, bool cut);

/// What the first word of a line's words says of how it may move the nozzle:
/// not at all; as a move (G0 to G3) that may join a run of absolute moves
/// read back from its end with follow_back (in absolute mode, and with words
/// that are not cut); or otherwise, to be followed with follow_motion. Words
/// longer than max_motion_words whose first word reaches the cut are read
/// as follow_motion reads them: as a command that may move anywhere.
enum class move_kind { none, in_run, other };
move_kind kind_of_any_move(const nozzle& at, std::string_view words);
inline move_kind kind_of_move(const nozzle& at, std::string_view words) {
  // Most lines of a print are "G1 X.. Y.. E..": told at a glance.
  const std::size_t size = words.size();
  if (size > 2 && words[0] == 'G' && words[1] >= '0' && words[1] <= '3' &&
      (words[2] == ' ' || words[2] == '\t')) {
    return !at.relative && size <= max_motion_words ? move_kind::in_run : move_kind::other;
  }
  return kind_of_any_move(at, words);
}

/// For a move that kind_of_move puts in a run: whether it moves the nozzle
/// in X or Y, as follow_motion would say, without reading its numbers.
bool run_move_moves_xy(std::string_view words);

/// The axes that later moves of a run have set, while the run is read back.
struct settled_axes {
  bool axes[axis_count] = {};
};

/// Follows `at` through one move of a run of absolute moves, read from the
/// last move back: where a run leaves the nozzle depends only on its last
/// moves, so that a print's long runs of extrusions need not all be read.
/// The move sets only the axes no later move has set. True once X and Y are
/// set; with `times`, Z, E and F may still wait (see settled).
bool follow_back(nozzle& at, settled_axes& settled, std::string_view words);

/// True when every axis that `at` follows has been set.
bool settled(const nozzle& at, const settled_axes& axes);
