// A travel move cut in two, so that a line can stand at a point inside it.
#pragma once

#include <string>
#include <string_view>

/// A move as the nozzle makes it: how far it goes along X, Y and Z, in
/// millimetres, and the modes its numbers are read in.
struct move_shape {
  double delta[3] = {};
  bool relative = false;  // G91
  bool inches = false;    // G20
};

/// The two parts of the move whose words (before any comment) are `words`,
/// parted at `fraction` of its way: `first` goes to that point, with the
/// same command, X, Y and Z (those the move names) written with the move's
/// own number of decimals and no more than three, and its F where it has
/// one. In absolute mode the second part is the move itself (`second`
/// empty); in relative mode it is the rest of the way, to the move's own
/// decimals, so that the two make the move. False, with neither, for
/// anything but a G0 or G1 with X or Y and nothing but X, Y, Z and F words
/// whose numbers can be read.
bool split_move(std::string_view words, const move_shape& shape, double fraction,
                std::string& first, std::string& second);
