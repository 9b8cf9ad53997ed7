#include "pass/travel_planner.h"

#include <algorithm>

#include "gcode/move_words.h"
#include "pass/line_ends.h"

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

// Lets the first `count` held lines go.
void let_go(travel_planner& p, std::size_t count) {
  const std::size_t size = p.held_lines[count - 1].end;
  p.held.erase(0, size);
  p.held_lines.erase(p.held_lines.begin(),
                     p.held_lines.begin() + static_cast<std::ptrdiff_t>(count));
  for (line_span& line : p.held_lines) line.end -= size;
  p.moved -= std::min(p.moved, count);
  if (p.lead >= 0) {
    p.held_times.erase(p.held_times.begin(),
                       p.held_times.begin() + static_cast<std::ptrdiff_t>(count));
  }
}

// Sends on the first `count` held lines and lets them go.
bool write_held(travel_planner& p, line_writer& w, std::size_t count) {
  if (count == 0) return true;
  const bool written = write_lines(w, p.held, p.held_lines.data(), count);
  let_go(p, count);
  return written;
}

// Whether a line of `size` bytes, line end included, may be held.
bool fits(const travel_planner& p, std::int64_t size) {
  const auto cost = static_cast<std::int64_t>(p.held.size() + p.held_lines.size() * held_line_cost);
  return size + static_cast<std::int64_t>(held_line_cost) <=
         static_cast<std::int64_t>(max_held_size) - cost;
}

// The travel is long enough for its fan lines: its "M107" goes out, and the
// lines up to its last travel move after it, unless a lead holds them.
bool go_long(travel_planner& p, line_writer& w) {
  p.phase = travel_phase::long_enough;
  return write_added(w, p.fan_off_line, p.first_end) && (p.lead >= 0 || write_held(p, w, p.moved));
}

// The seconds a line that is not a travel move takes, on its own: each
// such line stops the nozzle before and after it.
void time_other_line(travel_planner& p, const line_time& time) {
  if (time.what == line_time::kind::unknown) p.pending_untimed = true;
  if (time.what == line_time::kind::dwell) p.line.seconds = time.seconds;
  if (time.what == line_time::kind::move) {
    clear_travel(p.one_move);
    p.pending_untimed = p.pending_untimed || !add_travel_move(p.one_move, time.move);
    p.line.seconds = travel_seconds(p.one_move);
  }
  p.pending += p.line.seconds;
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
  const std::size_t before = p.clock.moves.size();
  if (moves) p.untimed = p.untimed || !add_travel_move(p.clock, time.move);
  if (p.clock.moves.size() > before) p.line.move = static_cast<std::ptrdiff_t>(before);
  p.line.shape = {{time.move.dx, time.move.dy, time.move.dz}, time.relative, time.inches};
  p.clock_changed = true;
}

// Whether the travel so far is long enough for its fan lines. Its time is
// asked for when its moves have doubled, and at its end: adding a move does
// not make a travel faster.
bool long_enough(travel_planner& p, bool at_end) {
  const bool long_way = p.min_travel < 0 || p.length >= p.min_travel - length_tolerance;
  if (p.min_seconds < 0 || !long_way) return long_way;
  const std::size_t moves = p.clock.moves.size();
  if (p.untimed) return true;
  if (!at_end && (moves & (moves - 1)) != 0) return false;
  if (p.clock_changed) p.seconds = travel_seconds(p.clock);
  p.clock_changed = false;
  return p.seconds >= p.min_seconds - time_tolerance;
}

// Where the lead puts the fan-on line among the held lines: before line
// `line`, or after it, or, `split`, inside it at `fraction` of its way
// where it can be split (else as `after` says).
struct lead_point {
  std::size_t line = 0;
  bool after = false;
  bool split = false;
  double fraction = 0;
};

// The seconds a held line takes, as the travel's clock last planned it.
double seconds_of(const travel_planner& p, const held_time& time) {
  return time.move >= 0 ? p.clock.moves[static_cast<std::size_t>(time.move)].seconds : time.seconds;
}

// Goes back from the travel's last travel move until `lead` seconds are
// left behind. A move in X or Y is split where that falls inside it, but
// not within a tenth of its time from either end; otherwise the line goes
// before or after the line it falls in, whichever is nearer in time.
lead_point find_lead(travel_planner& p) {
  if (p.clock_changed) p.seconds = travel_seconds(p.clock);
  p.clock_changed = false;
  double left = p.lead;
  for (std::size_t i = p.moved; i-- > 0;) {
    const held_time& time = p.held_times[i];
    const double seconds = seconds_of(p, time);
    if (seconds < left) {
      left -= seconds;
      continue;
    }
    const double from_start = seconds - left;
    lead_point at{i, from_start >= left};
    if (time.move >= 0 && from_start > seconds / 10 && left > seconds / 10) {
      const held_move& move = p.clock.moves[static_cast<std::size_t>(time.move)];
      at.split = true;
      at.fraction = distance_at(move, from_start) / move.length;
    }
    return at;
  }
  return {};
}

std::string_view held_line_end(const travel_planner& p, std::size_t line) {
  return p.held_lines[line].line_end_size == crlf.size() ? crlf : lf;
}

// Writes the first part of held line `at`'s move, the fan-on line, and the
// rest of the move. False, writing nothing, where the move cannot be split.
bool write_split(travel_planner& p, line_writer& w, const lead_point& at, bool& written) {
  const std::size_t start = at.line == 0 ? 0 : p.held_lines[at.line - 1].end;
  const line_span& span = p.held_lines[at.line];
  const std::string_view text(p.held.data() + start, span.end - span.line_end_size - start);
  if (!split_move(words_of(text), p.held_times[at.line].shape, at.fraction, p.first_part,
                  p.second_part)) {
    return false;
  }
  const std::string_view line_end = held_line_end(p, at.line);
  written = write_held(p, w, at.line) && write_line(w, p.first_part, line_end, false) &&
            write_added(w, p.fan_on_line, line_end);
  if (p.second_part.empty()) return true;
  written = written && write_line(w, p.second_part, line_end, false);
  let_go(p, 1);
  return true;
}

// Ends a long travel with a lead: its held lines, the fan-on line where the
// lead puts it, and the rest. A travel whose time cannot be known has it
// after its last travel move, as without a lead.
bool write_with_lead(travel_planner& p, line_writer& w) {
  lead_point at = p.untimed ? lead_point{p.moved} : find_lead(p);
  bool written = true;
  if (!at.split || !write_split(p, w, at, written)) {
    const std::string_view line_end = p.untimed ? p.last_end : held_line_end(p, at.line);
    written = write_held(p, w, at.line + at.after) && write_added(w, p.fan_on_line, line_end);
  }
  return written && write_held(p, w, p.held_lines.size());
}

// A long travel with a lead holds its lines to its end. Where the next line
// would pass the bound, the lines before the lead as it stands go out, as
// more of the travel only moves the lead later; where that leaves no room,
// the travel ends there.
bool room_for_lead(travel_planner& p, line_writer& w, std::int64_t size) {
  if (p.lead < 0 || p.phase != travel_phase::long_enough || fits(p, size)) return true;
  if (!p.untimed && !write_held(p, w, find_lead(p).line)) return false;  // those before its line
  return fits(p, size) || end_travel(p, w);
}

bool join_travel_move(travel_planner& p, line_writer& w, const line_facts& facts,
                      std::string_view line_end, std::int64_t size) {
  if (!room_for_lead(p, w, size)) return false;
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
  if (p.phase == travel_phase::long_enough && p.lead < 0) {
    return write_held(p, w, p.held_lines.size());
  }
  p.where = placement::held;
  p.moved = p.held_lines.size() + 1;  // this line, once held
  return true;
}

// A line inside a travel that is not a travel move waits with the travel,
// unless holding it would pass the bound: the travel then ends before it.
bool join_other_line(travel_planner& p, line_writer& w, const line_facts& facts,
                     std::int64_t size) {
  if (!room_for_lead(p, w, size)) return false;
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
  p.line = held_time();
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
  if (p.lead >= 0) p.held_times.push_back(p.line);
}

}  // namespace

void prepare_planner(travel_planner& p, std::string_view speed, const fan_dialect& dialect,
                     double min_travel, double min_seconds, double lead) {
  p.keeps_fan = speed == keep_speed;
  p.joins = min_travel >= 0 || min_seconds >= 0 || lead >= 0;
  p.min_travel = min_travel;
  p.lead = lead;
  p.min_seconds = lead >= 0 ? std::max(min_seconds, 0.0) + lead : min_seconds;
  if (lead >= 0) {
    p.held_times.reserve(max_held_size / held_line_cost);
    p.first_part.reserve(2 * max_motion_words);
    p.second_part.reserve(2 * max_motion_words);
  }
  if (p.min_seconds >= 0) {
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
  if (phase == travel_phase::long_enough && p.lead >= 0) return write_with_lead(p, w);
  return (phase != travel_phase::long_enough || write_added(w, p.fan_on_line, p.last_end)) &&
         write_held(p, w, p.held_lines.size());
}
