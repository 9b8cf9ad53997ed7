// How long a travel takes, planned as printer firmware plans its moves: each
// move speeds up and slows down at its own acceleration, no faster than its
// feed rate; a corner is taken as fast as junction deviation allows; the
// whole travel starts and ends at rest. Pure: no I/O, and no memory is asked
// for once the room for a travel is reserved.
#pragma once

#include <cstddef>
#include <vector>

/// The junction deviation firmware takes unless the print sets another, in
/// millimetres.
constexpr double default_junction_deviation = 0.013;

/// No real print comes near these: a move is refused unless its feed rate
/// and acceleration lie from min_travel_rate to max_travel_value (mm/s and
/// mm/s²) and each displacement is at most max_travel_value mm either way; a
/// dwell, unless it lies from 0 to max_travel_value seconds. So every time
/// the clock gives is a finite number.
constexpr double min_travel_rate = 1e-6;
constexpr double max_travel_value = 1e9;

/// One move of a travel: how far it goes along each axis, in millimetres,
/// with its feed rate (mm/s) and acceleration (mm/s²).
struct travel_move {
  double dx = 0;
  double dy = 0;
  double dz = 0;
  double de = 0;
  double feed = 0;
  double accel = 0;
};

/// A move as the clock holds it: the clock's own.
struct held_move {
  double length = 0;  // along X, Y and Z; along E for a move in E only
  double feed = 0;
  double accel = 0;
  double max_entry2 = 0;  // the square of the fastest it may start at
  double entry2 = 0;      // the square of its start speed, planned back from the end
  // As travel_seconds last planned it: the squares of its start and end
  // speeds, and its seconds.
  double start2 = 0;
  double end2 = 0;
  double seconds = 0;
};

/// The moves of one travel, held to be timed.
struct travel_clock {
  /// As the print sets it; below zero (or NaN) counts as zero, above
  /// max_travel_value as that.
  double junction_deviation = default_junction_deviation;

  // The clock's own.
  std::vector<held_move> moves;
  std::size_t capacity = 0;
  double dwell_seconds = 0;
  bool joins = false;        // the last move is in X or Y, and nothing has stopped it since
  double direction[3] = {};  // that move's, as a unit vector in X, Y and Z
};

/// Reserves room for `capacity` moves, once, before the pass: adding a move
/// never asks for memory. Throws std::bad_alloc when the room cannot be had.
void reserve_travel(travel_clock& clock, std::size_t capacity);

/// Adds the next move of the travel. A move with an X or Y part goes the
/// straight line in X, Y and Z at its feed rate; one in Z only goes its Z,
/// one in E only (a retraction) its E. The corner between two moves in X or
/// Y is taken at the acceleration of the move after it. Any move in Z or E
/// only, or a dwell, stops the nozzle before and after it. A move with no
/// length (under a nanometre) takes no time and is not held: firmware drops
/// it, so it stops nothing. False, and the travel as it was, when the move
/// is refused (see max_travel_value) or the reserved room is full: the
/// travel can no longer be timed, and counts as long.
bool add_travel_move(travel_clock& clock, const travel_move& move);

/// Adds a dwell (G4) of `seconds`, at rest. False, and the travel as it was,
/// when `seconds` is refused (see max_travel_value).
bool add_travel_dwell(travel_clock& clock, double seconds);

/// The seconds the travel so far takes; one pass back over its moves and one
/// forward, each O(n). Adding a move never lowers it while every move in X
/// or Y since the last stop has an acceleration at least that of the move
/// added (see travel_time.cpp); it may when a later move accelerates harder.
double travel_seconds(travel_clock& clock);

/// How far a move planned by travel_seconds has gone `seconds` after its
/// start, in millimetres along it.
double distance_at(const held_move& move, double seconds);

/// Empties the clock for the next travel, keeping its room and its junction
/// deviation.
void clear_travel(travel_clock& clock);
