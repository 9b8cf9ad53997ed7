#include "gcode/travel_time.h"

#include <algorithm>
#include <cmath>

namespace {

/// Shorter moves count as no move: far below a motor step, and far enough
/// above zero that a speed reached over one is never zero.
constexpr double min_length = 1e-9;

/// False for NaN too.
bool within(double value, double low, double high) { return value >= low && value <= high; }

bool sane(const travel_move& move) {
  const double limit = max_travel_value;
  return within(move.feed, min_travel_rate, limit) && within(move.accel, min_travel_rate, limit) &&
         within(move.dx, -limit, limit) && within(move.dy, -limit, limit) &&
         within(move.dz, -limit, limit) && within(move.de, -limit, limit);
}

// Junction deviation: the corner is taken as a circle tangent to both moves,
// passing `deviation` from the corner, at the speed whose centripetal
// acceleration is the move's own (v² = a·R). With θ the angle between the
// two lines at the corner, the circle's centre lies R / sin(θ/2) from it, so
// R = deviation · sin(θ/2) / (1 − sin(θ/2)). Straight on, θ = 180° and the
// circle has no bound; back the way it came, θ = 0 and the nozzle stops.
// Both moves' feed rates bound the speed too.
double corner_speed2(const travel_clock& clock, const double (&after)[3], const held_move& move) {
  const double* before = clock.direction;
  const double cosine = before[0] * after[0] + before[1] * after[1] + before[2] * after[2];
  const double half_sine = std::sqrt(std::max(0.0, (1 + cosine) / 2));  // sin(θ/2)
  const double feed = std::min(move.feed, clock.moves.back().feed);
  if (half_sine > 1 - 1e-12) return feed * feed;
  const double given = clock.junction_deviation;
  const double deviation = within(given, 0, max_travel_value) ? given
                           : given > 0                        ? max_travel_value
                                                              : 0;
  const double radius = deviation * half_sine / (1 - half_sine);
  return std::min(feed * feed, move.accel * radius);
}

// Speeds up from `start2` and slows down to `end2` (squares, each reachable
// from the other over the move) at the move's acceleration: a trapezoid,
// or a triangle when the move is too short to reach its feed rate.
// The square of the fastest the move goes between those ends.
double peak2_of(const held_move& move, double start2, double end2) {
  return std::min(move.feed * move.feed, move.accel * move.length + (start2 + end2) / 2);
}

double move_seconds(const held_move& move, double start2, double end2) {
  const double peak2 = peak2_of(move, start2, end2);
  const double peak = std::sqrt(peak2);
  const double ramps = (2 * peak2 - start2 - end2) / (2 * move.accel);
  const double cruise = std::max(0.0, move.length - ramps);
  return (2 * peak - std::sqrt(start2) - std::sqrt(end2)) / move.accel + cruise / peak;
}

}  // namespace

void reserve_travel(travel_clock& clock, std::size_t capacity) {
  clock.moves.reserve(capacity);
  clock.capacity = capacity;
}

bool add_travel_move(travel_clock& clock, const travel_move& move) {
  if (!sane(move)) return false;
  const double xyz = std::sqrt(move.dx * move.dx + move.dy * move.dy + move.dz * move.dz);
  const bool in_space = xyz >= min_length;
  const double length = in_space ? xyz : std::fabs(move.de);
  if (length < min_length) return true;
  if (clock.moves.size() >= clock.capacity) return false;
  held_move held;
  held.length = length;
  held.feed = move.feed;
  held.accel = move.accel;
  const bool in_xy = in_space && (move.dx != 0 || move.dy != 0);
  const double direction[3] = {move.dx / length, move.dy / length, move.dz / length};
  if (in_xy && clock.joins) held.max_entry2 = corner_speed2(clock, direction, held);
  clock.moves.push_back(held);
  clock.joins = in_xy;
  std::copy(direction, direction + 3, clock.direction);
  return true;
}

bool add_travel_dwell(travel_clock& clock, double seconds) {
  if (!within(seconds, 0, max_travel_value)) return false;
  clock.dwell_seconds += seconds;
  clock.joins = false;
  return true;
}

// Why adding a move never lowers the time while the move added accelerates
// no harder than the moves since the last stop: the stops (the ends of moves
// in Z or E only, dwells, reversals) part the travel into runs planned on
// their own, and the move joins the last run only. Say that run, planned
// alone, ends at rest at distance L; planned with the move, it reaches the
// move at speed V. The plan alone is the fastest that keeps every limit and
// is at rest at L. So is the plan with the move capped by b(s), the speed
// from which braking stops at L; the cap costs time only on the stretch where
// the plan is above b, and there (v² ≤ V² + b², the plan slowing no harder
// than it may) at most V / a, a the least acceleration on that stretch. The
// move itself must come down from V to rest, which takes at least V / a' at
// its acceleration a'. With a' ≤ a the move adds at least what the run
// saves. Otherwise it can save more: 1 mm at 100 mm/s² alone takes 0.2 s,
// but followed by 1 mm straight on at 10000 mm/s² (feed rates 200 mm/s) the
// two take about 0.16 s.
double travel_seconds(travel_clock& clock) {
  std::vector<held_move>& moves = clock.moves;
  double end2 = 0;  // at rest at the end
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    move->entry2 = std::min(move->max_entry2, end2 + 2 * move->accel * move->length);
    end2 = move->entry2;
  }
  double seconds = clock.dwell_seconds;
  double start2 = 0;  // at rest at the start
  for (std::size_t i = 0; i < moves.size(); ++i) {
    const double next2 = i + 1 < moves.size() ? moves[i + 1].entry2 : 0;
    end2 = std::min(next2, start2 + 2 * moves[i].accel * moves[i].length);
    moves[i].start2 = start2;
    moves[i].end2 = end2;
    moves[i].seconds = move_seconds(moves[i], start2, end2);
    seconds += moves[i].seconds;
    start2 = end2;
  }
  return seconds;
}

double distance_at(const held_move& move, double seconds) {
  const double a = move.accel;
  const double start = std::sqrt(move.start2);
  const double end = std::sqrt(move.end2);
  const double peak = std::sqrt(peak2_of(move, move.start2, move.end2));
  const double speeding = (peak - start) / a;
  const double braking_from = move.seconds - (peak - end) / a;
  if (seconds <= speeding) return start * seconds + a * seconds * seconds / 2;
  const double speeded = (peak * peak - move.start2) / (2 * a);
  if (seconds <= braking_from) return speeded + peak * (seconds - speeding);
  const double braking = std::min(seconds, move.seconds) - braking_from;
  const double cruised = peak * (braking_from - speeding);
  return std::min(move.length, speeded + cruised + peak * braking - a * braking * braking / 2);
}

void clear_travel(travel_clock& clock) {
  clock.moves.clear();
  clock.dwell_seconds = 0;
  clock.joins = false;
}
