// Where the fan lines go: around each travel move, or with --min-travel
// around each travel long enough, whose lines are held until its length is
// known. Decided from the classifier's facts alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gcode/fan_dialect.h"
#include "gcode/split_move.h"
#include "pass/line_classifier.h"
#include "pass/line_writer.h"

/// The most a travel holds back while its length is not yet known, in bytes
/// of its lines; a travel that would hold more counts as long enough.
constexpr std::size_t max_held_size = 1 << 20;

/// The lines a travel holds cost this much beyond their bytes, so that a
/// travel of many empty lines is bounded too.
constexpr std::size_t held_line_cost = sizeof(line_span);

/// A travel so far: none, one too short for fan lines as yet, or one that
/// has its "M107" written and waits only for its last travel move.
enum class travel_phase { none, short_so_far, long_enough };

/// Where a line goes.
enum class placement { as_is, bracketed, held };

/// What the fan lead needs of a held line: its move in the travel's clock,
/// or the seconds it takes on its own, and the move's shape for a split.
struct held_time {
  std::ptrdiff_t move = -1;
  double seconds = 0;
  move_shape shape;
};

struct travel_planner {
  bool keeps_fan = false;   // the fan goes back to the print's own speed
  bool joins = false;       // travels share their fan lines
  double min_travel = -1;   // millimetres
  double min_seconds = -1;  // at 0 or more, travels are measured in seconds
  bool fan_on = false;      // as the print set it, with keep
  std::string fan_speed;
  fan_dialect dialect;
  /// How fast the fan runs during a travel, from 0 to 255: with keep, a
  /// travel gets no fan lines while the print's fan runs no faster.
  double travel_level = 0;
  bool slowed = true;  // the print's fan runs faster than that
  added_line fan_off_line, fan_on_line;
  // The travel so far, its length, and its moves for its time: those up to
  // its last travel move in `clock`; the seconds of those since, each of
  // which stops the nozzle, in `pending`. `untimed`: some time cannot be
  // known.
  travel_phase phase = travel_phase::none;
  double length = 0;
  travel_clock clock, one_move;
  double pending = 0;
  bool pending_untimed = false;
  bool untimed = false;
  double seconds = 0;  // of the clock, when last asked for
  bool clock_changed = false;
  // The line ends of its first and last travel moves, for its fan lines.
  std::string_view first_end, last_end;
  // Lines held back: while the travel is short so far, all of them from its
  // first travel move on; after that, those since its last travel move,
  // which go after its fan-on line if no travel move follows them.
  std::string held;
  std::vector<line_span> held_lines;
  std::size_t moved = 0;  // held lines up to its last travel move
  /// At 0 or more: the fan-on line goes where this many seconds of a travel
  /// remain, and a travel holds all its lines until it ends, in the bound.
  double lead = -1;
  std::vector<held_time> held_times;    // one for each held line, with a lead
  held_time line;                       // of the line being placed
  std::string first_part, second_part;  // of a move split for the lead
  // Where the line being passed goes.
  placement where = placement::as_is;
};

/// Readies the planner and takes its memory. `speed` is the fan-on speed,
/// or keep_speed, and `dialect` how the fan lines say it; with neither
/// `min_travel` (millimetres) nor `min_seconds` at 0 or more, every travel
/// move is bracketed. A `lead` at 0 or more puts each fan-on line that many
/// seconds before its travel ends, and leaves a travel shorter than the
/// lead and its minimum without fan lines.
void prepare_planner(travel_planner& planner, std::string_view speed, const fan_dialect& dialect,
                     double min_travel, double min_seconds = -1, double lead = -1);

/// True while a travel has lines to come.
bool in_travel(const travel_planner& planner);

/// True when a line with these facts ends the travel before it: it moves
/// the nozzle in X or Y and is no travel move, or it sets the fan.
bool ends_travel(const line_facts& facts);

/// Passes a whole line on: whatever must go before it, then the line, or it
/// is held. `joined`: its line end follows its text in memory.
bool pass_line(travel_planner& planner, line_writer& writer, const line_facts& facts,
               std::string_view text, std::string_view line_end, bool joined);

/// A line passed on in pieces: begin_line with its facts and its size (line
/// end included), then its text a piece at a time, then end_line.
bool begin_line(travel_planner& planner, line_writer& writer, const line_facts& facts,
                std::string_view line_end, std::int64_t size);
bool pass_piece(travel_planner& planner, line_writer& writer, std::string_view piece);
bool end_line(travel_planner& planner, line_writer& writer, std::string_view line_end);

/// Ends the travel, at the end of the input.
bool end_travel(travel_planner& planner, line_writer& writer);
