// Where the nozzle goes in X and Y, followed through a print line by line as
// the printer's firmware follows it, so that the tool can tell how far a
// travel takes it.
#pragma once

#include <cstddef>
#include <string_view>

/// The longest words part of a line, before its comment, that is read for X
/// and Y: no real move comes near it, and a line read in pieces keeps no more
/// of its start than this.
constexpr std::size_t max_motion_words = 256;

/// The nozzle in X and Y as far as the print has told it so far. At the start
/// of a print neither is known; moves are absolute and in millimetres.
struct nozzle {
  double x = 0;
  double y = 0;
  bool x_known = false;
  bool y_known = false;
  bool relative = false;  // G91
  bool inches = false;    // G20
};

/// What one line does to the nozzle.
struct line_motion {
  /// A move in X or Y: a G0 to G3 with an X or a Y word, any arc, a G28, or a
  /// G command the tool cannot read or does not know.
  bool moves_xy = false;
  /// How far the move takes the nozzle, in a straight line, in millimetres.
  double distance = 0;
  /// Where the nozzle is, before the line and after it, is known, so
  /// `distance` is.
  bool known = true;
};

/// Follows `at` through the words of one line, the part before its ";"
/// comment. `cut`: the words go on past `words`, which holds only their
/// start (more than max_motion_words), so a G command's X and Y cannot be
/// read and become unknown.
line_motion follow_motion(nozzle& at, std::string_view words, bool cut);

/// What the first word of a line's words says of how it may move the nozzle:
/// not at all; as a move (G0 to G3) that may join a run of absolute moves
/// read back from its end with follow_back (in absolute mode, and with words
/// that are not cut); or otherwise, to be followed with follow_motion. Words
/// longer than max_motion_words whose first word reaches the cut are read
/// as follow_motion reads them: as a command that may move anywhere.
enum class move_kind { none, in_run, other };
move_kind kind_of_move(const nozzle& at, std::string_view words);

/// For a move that kind_of_move puts in a run: whether it moves the nozzle
/// in X or Y, as follow_motion would say, without reading its numbers.
bool run_move_moves_xy(std::string_view words);

/// The axes that later moves of a run have set, while the run is read back.
struct settled_axes {
  bool x = false;
  bool y = false;
};

/// Follows `at` through one move of a run of absolute moves, read from the
/// last move back: where a run leaves the nozzle depends only on its last
/// moves, so that a print's long runs of extrusions need not all be read.
/// The move sets only the axes no later move has set. True once both are
/// set, when the moves before it need no reading.
bool follow_back(nozzle& at, settled_axes& settled, std::string_view words);

/// Reads a number as firmware writes one in a word: an optional sign, digits
/// with at most one point, one digit at least ("10", "-1.5", ".5", "+3",
/// "10."). False for anything else, exponents included.
bool read_decimal(std::string_view text, double& value);
