#include "pass/travel_planner.h"

#include <algorithm>

#include "gcode/move_words.h"

namespace {

// A travel this much shorter than the length asked for counts as that long:
// "G0 X2.3" from X0.3 is 2 mm, though its double is a hair less. The same
// for seconds.
constexpr double length_tolerance = 1e-6;
constexpr double time_tolerance = 1e-9;

// Follows the print's own fan, for keep: after a travel move the fan goes
// back to the speed the print set last.
void follow_fan(travel_planner& p, const fan_setting& fan) {
  if (fan.on == p.fan_on && fan.speed == p.fan_speed) return;
  p.fan_on = fan.on;
  p.fan_speed.assign(fan.speed);
  const double level = fan_level(p.dialect, p.fan_speed);
  p.slowed = p.travel_level <= 0 || level < 0 || level > p.travel_level;
  make_added(p.fan_on_line, fan_on_prefix(p.dialect), p.fan_speed);
}

// Sends on the first `count` held lines and lets them go.
bool write_held(travel_planner& p, line_writer& w, std::size_t count) {
  if (count == 0) return true;
  const bool written = write_lines(w, p.held, p.held_lines.data(), count);
  const std::size_t size = p.held_lines[count - 1].end;
  p.held.erase(0, size);
  p.held_lines.erase(p.held_lines.begin(),
                     p.held_lines.begin() + static_cast<std::ptrdiff_t>(count));
  for (line_span& line : p.held_lines) line.end -= size;
  p.moved -= std::min(p.moved, count);
  return written;
}

// Whether a line of `size` bytes, line end included, may be held.
bool fits(const travel_planner& p, std::int64_t size) {
  const auto cost = static_cast<std::int64_t>(p.held.size() + p.held_lines.size() * held_line_cost);
  return size + static_cast<std::int64_t>(held_line_cost) <=
         static_cast<std::int64_t>(max_held_size) - cost;
}

// The travel is long enough for its fan lines: its "M107" goes out, and the
// lines up to its last travel move after it.
bool go_long(travel_planner& p, line_writer& w) {
  p.phase = travel_phase::long_enough;
  return write_added(w, p.fan_off_line, p.first_end) && write_held(p, w, p.moved);
}

// The seconds a line that is not a travel move takes, on its own: each
// such line stops the nozzle before and after it.
void time_other_line(travel_planner& p, const line_time& time) {
  if (time.what == line_time::kind::unknown) p.pending_untimed = true;
  if (time.what == line_time::kind::dwell) p.pending += time.seconds;
  if (time.what != line_time::kind::move) return;
  clear_travel(p.one_move);
  p.pending_untimed = p.pending_untimed || !add_travel_move(p.one_move, time.move);
  p.pending += travel_seconds(p.one_move);
}

// Adds a travel move, and the lines since the last, to the clock. A travel
// move that does not move (a comment that holds the marker) only takes its
// own time, if any, with them.
void time_travel_move(travel_planner& p, const line_time& time) {
  const bool moves = time.what == line_time::kind::move;
  if (!moves) time_other_line(p, time);
  if (p.pending > 0 || p.pending_untimed) {
    p.untimed = p.untimed || p.pending_untimed || !add_travel_dwell(p.clock, p.pending);
    p.pending = 0;
    p.pending_untimed = false;
  }
  if (moves) p.untimed = p.untimed || !add_travel_move(p.clock, time.move);
  p.clock_changed = true;
}

// Whether the travel so far is long enough for its fan lines. Its time is
// asked for when its moves have doubled, and at its end: adding a move does
// not make a travel faster.
bool long_enough(travel_planner& p, bool at_end) {
  if (p.min_seconds < 0) return p.length >= p.min_travel - length_tolerance;
  const std::size_t moves = p.clock.moves.size();
  if (p.untimed) return true;
  if (!at_end && (moves & (moves - 1)) != 0) return false;
  if (p.clock_changed) p.seconds = travel_seconds(p.clock);
  p.clock_changed = false;
  return p.seconds >= p.min_seconds - time_tolerance;
}

bool join_travel_move(travel_planner& p, line_writer& w, const line_facts& facts,
                      std::string_view line_end, std::int64_t size) {
  if (p.phase == travel_phase::none) {
    p.phase = travel_phase::short_so_far;
    p.length = 0;
    p.first_end = line_end;
    clear_travel(p.clock);
    if (facts.time != nullptr) p.clock.junction_deviation = facts.time->junction_deviation;
    p.pending = 0;
    p.pending_untimed = p.untimed = false;
  }
  p.length += facts.motion.distance;
  p.last_end = line_end;
  if (p.min_seconds >= 0 && facts.time != nullptr) time_travel_move(p, *facts.time);
  // A move to or from where the nozzle is not known makes the travel long.
  if (p.phase == travel_phase::short_so_far &&
      (!facts.motion.known || long_enough(p, false) || !fits(p, size)) && !go_long(p, w)) {
    return false;
  }
  if (p.phase == travel_phase::long_enough) return write_held(p, w, p.held_lines.size());
  p.where = placement::held;
  p.moved = p.held_lines.size() + 1;  // this line, once held
  return true;
}

// A line inside a travel that is not a travel move waits with the travel,
// unless holding it would pass the bound: the travel then ends before it.
bool join_other_line(travel_planner& p, line_writer& w, const line_facts& facts,
                     std::int64_t size) {
  if (p.phase == travel_phase::none) return true;
  if (p.min_seconds >= 0 && facts.time != nullptr) time_other_line(p, *facts.time);
  // A travel too big to hold counts as long: its lines up to its last travel
  // move go out, and those after it may still wait.
  if (p.phase == travel_phase::short_so_far && !fits(p, size) && !go_long(p, w)) return false;
  if (fits(p, size)) {
    p.where = placement::held;
    return true;
  }
  return end_travel(p, w);
}

// Decides where a line of `size` bytes, line end included, goes, after
// sending on whatever must go before it.
bool place(travel_planner& p, line_writer& w, const line_facts& facts, std::string_view line_end,
           std::int64_t size) {
  p.where = placement::as_is;
  if (p.joins && ends_travel(facts) && !end_travel(p, w)) return false;
  // The fan is followed through the line before its own fan lines, so that a
  // travel move restores the speed the print set last, this line included.
  if (facts.sets_fan && p.keeps_fan) follow_fan(p, facts.fan);
  // With keep, a travel move gets fan lines only while the fan is on, and
  // faster than it runs during travels.
  const bool takes = facts.travel && (!p.keeps_fan || (p.fan_on && p.slowed));
  if (!p.joins) {
    p.where = takes ? placement::bracketed : placement::as_is;
    return true;
  }
  return takes ? join_travel_move(p, w, facts, line_end, size) : join_other_line(p, w, facts, size);
}

void close_held_line(travel_planner& p, std::string_view line_end) {
  p.held.append(line_end);
  p.held_lines.push_back({p.held.size(), line_end.size()});
}

}  // namespace

void prepare_planner(travel_planner& p, std::string_view speed, const fan_dialect& dialect,
                     double min_travel, double min_seconds) {
  p.keeps_fan = speed == keep_speed;
  p.joins = min_travel >= 0 || min_seconds >= 0;
  p.min_travel = min_travel;
  p.min_seconds = min_seconds;
  if (min_seconds >= 0) {
    reserve_travel(p.clock, max_held_size / held_line_cost);
    reserve_travel(p.one_move, 1);
  }
  p.fan_on = !p.keeps_fan;
  p.fan_speed.reserve(max_fan_speed_size);
  if (p.joins) {
    p.held.reserve(max_held_size);
    p.held_lines.reserve(max_held_size / held_line_cost);
  }
  p.dialect = dialect;
  if (!dialect.travel_speed.empty()) read_decimal(dialect.travel_speed, p.travel_level);
  make_added(p.fan_off_line, fan_off_line(dialect));
  make_added(p.fan_on_line, fan_on_prefix(dialect),
             p.keeps_fan ? std::string() : written_speed(dialect, speed));
}

bool in_travel(const travel_planner& p) { return p.phase != travel_phase::none; }

bool ends_travel(const line_facts& facts) {
  return facts.sets_fan || (facts.motion.moves_xy && !facts.travel);
}

bool pass_line(travel_planner& p, line_writer& w, const line_facts& facts, std::string_view text,
               std::string_view line_end, bool joined) {
  if (!place(p, w, facts, line_end, static_cast<std::int64_t>(text.size() + line_end.size()))) {
    return false;
  }
  if (p.where == placement::held) {
    p.held.append(text);
    close_held_line(p, line_end);
    return true;
  }
  const bool bracket = p.where == placement::bracketed;
  return (!bracket || write_added(w, p.fan_off_line, line_end)) &&
         write_line(w, text, line_end, joined) &&
         (!bracket || write_added(w, p.fan_on_line, line_end));
}

bool begin_line(travel_planner& p, line_writer& w, const line_facts& facts,
                std::string_view line_end, std::int64_t size) {
  return place(p, w, facts, line_end, size) &&
         (p.where != placement::bracketed || write_added(w, p.fan_off_line, line_end));
}

bool pass_piece(travel_planner& p, line_writer& w, std::string_view piece) {
  if (p.where != placement::held) return write_piece(w, piece);
  p.held.append(piece);
  return true;
}

bool end_line(travel_planner& p, line_writer& w, std::string_view line_end) {
  if (p.where == placement::held) {
    close_held_line(p, line_end);
    return true;
  }
  return write_line(w, {}, line_end, false) &&
         (p.where != placement::bracketed || write_added(w, p.fan_on_line, line_end));
}

bool end_travel(travel_planner& p, line_writer& w) {
  // Its time, asked for now, may make a travel long only at its end.
  if (p.phase == travel_phase::short_so_far && p.min_seconds >= 0 && long_enough(p, true) &&
      !go_long(p, w)) {
    return false;
  }
  const travel_phase phase = p.phase;
  p.phase = travel_phase::none;
  if (phase == travel_phase::none) return true;
  return (phase != travel_phase::long_enough || write_added(w, p.fan_on_line, p.last_end)) &&
         write_held(p, w, p.held_lines.size());
}
