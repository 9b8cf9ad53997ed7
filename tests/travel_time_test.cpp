// The time of a travel: a table of travels timed by hand (acceleration
// 1000 mm/s² and feed rate 100 mm/s unless a row says otherwise).
#include "gcode/travel_time.h"

#include <cmath>
#include <string>
#include <vector>

#include "check.h"

namespace {

struct step {
  travel_move move;
  double dwell = NAN;  // else a dwell of this many seconds instead of the move
};

step go(double dx, double dy, double dz, double de, double feed = 100, double accel = 1000) {
  return {{dx, dy, dz, de, feed, accel}};
}
step x(double dx, double feed = 100) { return go(dx, 0, 0, 0, feed); }
step y(double dy, double accel = 1000) { return go(0, dy, 0, 0, 100, accel); }

struct row {
  const char* name;
  std::vector<step> steps;
  double seconds;
  int refused = 0;
  double deviation = default_junction_deviation;
  std::size_t capacity = 8;
};

// Square corners of 100 mm sides: sin(θ/2) = √½, v² = a·J·√½/(1 − √½) with a
// the acceleration after the corner. A side between rest and v at its own a
// takes (200 − v)/a + (100 − (20000 − v²)/(2·a))/100 s.
const row rows[] = {
    {"a long move is a trapezoid", {x(100)}, 1.1},
    {"a short move is a triangle, 2·√(4/1000)", {x(4)}, 0.1264911064},
    {"moves straight on go as one", {x(2), x(96), x(2)}, 1.1},
    {"a square corner slows, short of a stop (v 5.6022)", {x(100), y(100)}, 2.1891094243},
    {"the print's J, a after (v 15.5377)", {x(100), y(100, 2000)}, 2.1285040506, 0, 0.05},
    {"a reversal stops", {x(10), x(-10)}, 0.4},
    {"a retraction stops both sides", {x(10), go(0, 0, 0, -2, 20), x(10)}, 0.2 + 0.12 + 0.2},
    {"a dwell stops, and adds its time", {x(10), {{}, 0.25}, x(10)}, 0.2 + 0.25 + 0.2},
    {"the feed rate after bounds a corner", {x(50), x(50, 50)}, 0.5625 + 1.025},
    {"the feed rate before bounds a corner", {x(50, 50), x(50)}, 1.025 + 0.5625},
    {"Z counts, a Z hop goes alone", {go(3, 0, 4, 1), go(0, 0, 2, 0, 10, 500)}, 0.3614213562},
    {"a move of no length stops nothing", {x(50), go(0, 0, 0, 0), x(50)}, 1.1},
    {"refused: no feed rate, no acceleration, NaN, a dwell below 0",
     {x(100), go(1, 0, 0, 0, 0), go(1, 0, 0, 0, 100, 0), go(NAN, 0, 0, 0), {{}, -1}},
     1.1,
     4},
    {"past the room reserved", {x(100), x(100)}, 1.1, 1, default_junction_deviation, 1},
};

bool add(travel_clock& clock, const step& s) {
  return std::isnan(s.dwell) ? add_travel_move(clock, s.move) : add_travel_dwell(clock, s.dwell);
}

}  // namespace

int main() {
  travel_clock clock;  // one for all rows, as the planner keeps one: cleared, nothing is left
  for (const row& r : rows) {
    clear_travel(clock);
    reserve_travel(clock, r.capacity);
    clock.junction_deviation = r.deviation;
    int refused = 0;
    for (const step& s : r.steps) refused += add(clock, s) ? 0 : 1;
    const double seconds = travel_seconds(clock);
    check(std::fabs(seconds - r.seconds) < 1e-9 && refused == r.refused,
          std::string(r.name) + ": " + std::to_string(seconds) + " s, " + std::to_string(refused) +
              " refused");
  }
  return test_status("travel_time");
}
