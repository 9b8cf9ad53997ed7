// What a line is, for the rules: a travel move, a fan command, a move in X
// or Y, or none of these. One classifier answers for short lines, for long
// lines read in pieces, and for the bulk copy's runs of lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "gcode/line_rules.h"
#include "gcode/motion.h"
#include "gcode/travel_time.h"

/// The time a line takes, where travels are measured in seconds: none; a
/// move, with the acceleration and junction deviation in force for it; a
/// dwell of `seconds`; or a time that cannot be known.
struct line_time {
  enum class kind { none, move, dwell, unknown };
  kind what = kind::none;
  travel_move move;
  double junction_deviation = default_junction_deviation;
  double seconds = 0;
  bool relative = false;  // the modes a move's numbers are read in: G91
  bool inches = false;    // and G20
};

/// What the rules need to know of a line.
struct line_facts {
  bool travel = false;    // a travel move, by the marker or the G1 rule
  bool sets_fan = false;  // sets the part-cooling fan, to `fan`
  fan_setting fan;
  line_motion motion;               // only where the nozzle is followed
  const line_time* time = nullptr;  // only where travels are timed
  bool note = false;                // this tool's change note, where looked for
};

/// What the classifier reads, and what it has read so far.
struct line_classifier {
  bool g1_travel = false;       // the G1 rule is in force
  bool reads_fan = false;       // fan commands matter
  bool follows_nozzle = false;  // X and Y matter
  double acceleration = 0;      // mm/s², where the print sets none; 0: not timed
  bool finds_notes = false;     // change notes matter
  int part_fan = 0;             // the P word of the part-cooling fan
  bool bare_is_part = true;     // a fan command without P sets that fan
  nozzle at;
  line_time time;  // of the line classified last
  line_words words;
  // A long line so far: whether it holds the marker, its last bytes for a
  // marker split between two pieces, and its start for its X and Y.
  bool marker = false;
  char tail[2] = {};
  std::size_t tail_size = 0;
  std::string head;
};

/// Readies a classifier; its memory is taken here. An `acceleration` above 0
/// times the moves too, with that acceleration where the print sets none.
void prepare_classifier(line_classifier& classifier, bool g1_travel, bool reads_fan,
                        bool follows_nozzle, double acceleration = 0);

/// The facts of a line held whole (its text, without its line end).
line_facts classify(line_classifier& classifier, std::string_view text);

/// A line too long to hold: start_long, then each piece of its text in
/// order, then end_long for its facts, the same as classify would give.
void start_long(line_classifier& classifier);
void classify_piece(line_classifier& classifier, std::string_view piece);
line_facts end_long(line_classifier& classifier);

/// Where the bulk copy found the next marker and the next ";" in the block,
/// so that each is looked for once for all the lines before it. Cleared
/// whenever the block moves.
struct bulk_marks {
  const char* marker = nullptr;
  const char* comment = nullptr;
  const char* no_note_before = nullptr;
  const char* note_line = nullptr;
  const char* next_letter[3] = {};  // Z, E, F, where travels are timed
};

/// True when the first line of `lines` is an absolute move that the bulk copy
/// may follow back with the moves after it, as one run; `facts` then say
/// what it is, all but where it takes the nozzle (and whether a travel move
/// moves in X or Y).
bool glance_run_move(line_classifier& classifier, bulk_marks& marks, std::string_view lines,
                     line_facts& facts);

/// How many bytes of whole lines at the start of `lines` no rule can change
/// as they stand: the lines before the first travel move, the first line
/// that may set the fan, and the first that may be a change note. The
/// nozzle is followed through them.
/// For use between travels, where a move only moves the nozzle.
std::size_t plain_lines(line_classifier& classifier, bulk_marks& marks, std::string_view lines);
