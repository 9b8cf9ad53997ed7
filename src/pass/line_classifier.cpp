#include "pass/line_classifier.h"

#include <algorithm>

#include "pass/line_ends.h"

namespace {

// Of a line too long to hold, this much of its start is kept: enough to tell
// whether its words are too long to read for X and Y.
constexpr std::size_t head_size = max_motion_words + 1;

void start_words(line_classifier& c) {
  c.words = line_words();
  c.words.want_g1 = c.g1_travel;
  c.words.want_fan = c.reads_fan;
  c.words.part_fan = c.part_fan;
  c.words.bare_is_part = c.bare_is_part;
}

// The acceleration firmware moves a move at: M204 P for one that extrudes,
// T (else P) for one that does not, R for a retraction, which otherwise runs
// at its feed rate from the start.
double acceleration_of(const line_classifier& c, const motion_time& m) {
  const print_limits& limits = c.at.limits;
  const bool xyz = m.delta[axis_x] != 0 || m.delta[axis_y] != 0 || m.delta[axis_z] != 0;
  const double print = limits.print > 0 ? limits.print : c.acceleration;
  if (!xyz) return limits.retract > 0 ? limits.retract : max_travel_value;
  if (m.delta[axis_e] != 0) return print;
  return limits.travel > 0 ? limits.travel : print;
}

// The time of the line followed last, in the classifier's own room; none
// where travels are not timed.
const line_time* time_of(line_classifier& c) {
  if (!c.at.times) return nullptr;
  const motion_time& m = c.at.last;
  line_time& time = c.time;
  time = line_time();
  if (!m.takes_time) return &time;
  if (!m.timed || !c.at.limits.readable) {
    time.what = line_time::kind::unknown;
  } else if (m.dwells) {
    time.what = line_time::kind::dwell;
    time.seconds = m.dwell;
  } else {
    time.what = line_time::kind::move;
    time.move = {m.delta[axis_x], m.delta[axis_y], m.delta[axis_z],
                 m.delta[axis_e], m.feed,          acceleration_of(c, m)};
    const double given = c.at.limits.junction_deviation;
    time.junction_deviation = given >= 0 ? given : default_junction_deviation;
    time.relative = c.at.relative;
    time.inches = c.at.inches;
  }
  return &time;
}

// Follows the nozzle through the words of a line (the part before its
// comment), of which at least the first max_motion_words + 1 are held.
line_motion motion_of(line_classifier& c, std::string_view words) {
  if (!c.follows_nozzle) return {};
  const bool cut = words.size() > max_motion_words;
  return follow_motion(c.at, words.substr(0, max_motion_words), cut);
}

void read_fan(line_classifier& c, line_facts& facts) {
  facts.sets_fan = c.reads_fan && sets_fan(c.words);
  if (facts.sets_fan) facts.fan = fan_setting_of(c.words);
}

// Where a change note's words first stand in `text`, or npos: found by
// their first lower-case v ("travel"), which is rare in G-code.
std::size_t find_note(std::string_view text) {
  const std::size_t key = note_words.find('v');
  for (std::size_t at = text.find('v', key); at != std::string_view::npos;
       at = text.find('v', at + 1)) {
    if (text.compare(at - key, note_words.size(), note_words) == 0) return at - key;
  }
  return std::string_view::npos;
}

// Where the next of what `find` finds stands in `lines` from `from` on, or
// the end of `lines`; remembered in `found` for the lines before it.
std::size_t next_of(const char*& found, std::string_view lines,
                    std::size_t (*find)(std::string_view), std::size_t from) {
  if (found == nullptr || found < lines.data() + from) {
    const std::string_view rest = lines.substr(from);
    found = lines.data() + from + std::min(find(rest), rest.size());
  }
  return static_cast<std::size_t>(found - lines.data());
}

std::size_t find_comment(std::string_view text) { return text.find(';'); }

// Where the line that holds a change note's words starts among the first
// `before` bytes of `lines`, or `before`. Looked for a stretch at a time
// ahead of the lines about to go as they are, so that the search reads
// bytes the marker's search is about to read too, and each once.
std::size_t note_line(bulk_marks& marks, std::string_view lines, std::size_t before) {
  constexpr std::size_t stretch = 8 * 1024;
  if (marks.note_line == nullptr) {
    const char* const from = std::max(lines.data(), marks.no_note_before);
    const auto start = static_cast<std::size_t>(from - lines.data());
    if (start >= before) return before;
    // To a line's end, so that no note is cut in two.
    std::size_t end = std::min(lines.size(), start + stretch);
    end = std::max(before, lines.rfind('\n', end - 1) + 1);
    const std::size_t at = find_note(lines.substr(start, end - start));
    marks.no_note_before = lines.data() + end;
    if (at != std::string_view::npos) {
      marks.note_line = lines.data() + lines.rfind('\n', start + at) + 1;  // npos + 1 is 0
    }
  }
  if (marks.note_line == nullptr || marks.note_line < lines.data()) return before;
  return std::min(before, static_cast<std::size_t>(marks.note_line - lines.data()));
}

// The words of the line that ends just before `end` in `lines`.
std::string_view words_before(std::string_view lines, std::size_t end) {
  const std::size_t start = end < 2 ? 0 : lines.rfind('\n', end - 2) + 1;
  return words_of(lines.substr(start, text_end(lines, start, end - 1) - start));
}

// Whether the byte at `at` in `run` starts an axis word of a move: before
// the line's comment, after a blank, on a line that is a move.
bool starts_move_word(const line_classifier& c, std::string_view run, std::size_t at,
                      std::string_view& words) {
  const std::size_t start = run.rfind('\n', at) + 1;  // npos + 1 is 0
  const std::size_t feed = run.find('\n', at);
  words = words_of(run.substr(start, text_end(run, start, feed) - start));
  return at > start && at < start + words.size() && is_blank(run[at - 1]) &&
         kind_of_move(c.at, words) != move_kind::none;
}

// Sets Z, E and F, where the moves read back from the end of a run left them
// unset, from the last move of the rest of the run that names each: found by
// its letter alone, from the end back a window at a time, so that a run is
// not read move by move for a Z set once a layer.
void settle_back(line_classifier& c, bulk_marks& marks, const settled_axes& set,
                 std::string_view run, std::string_view lines) {
  constexpr std::size_t window = 512;
  for (int axis = axis_z; axis < axis_count; ++axis) {
    if (set.axes[axis]) continue;
    const char letter = "ZEF"[axis - axis_z];
    // Most runs hold no Z or F at all: the next of each in the block is
    // looked for once for all the runs before it.
    const char*& next = marks.next_letter[axis - axis_z];
    if (next == nullptr || next < run.data()) {
      const std::size_t from = static_cast<std::size_t>(run.data() - lines.data());
      next = lines.data() + std::min(lines.find(letter, from), lines.size());
    }
    if (next >= run.data() + run.size()) continue;
    std::string_view last;
    for (std::size_t end = run.size(); end > 0 && last.empty();) {
      const std::size_t start = end > window ? end - window : 0;
      for (std::size_t at = run.find(letter, start); at < end; at = run.find(letter, at + 1)) {
        std::string_view words;
        if (starts_move_word(c, run, at, words)) last = words;
      }
      end = start;
    }
    if (last.empty()) continue;
    settled_axes only;
    for (bool& axis_settled : only.axes) axis_settled = true;
    only.axes[axis] = false;
    follow_back(c.at, only, last);
  }
}

// Follows the nozzle through the run of absolute moves in `lines` from
// `begin` to `end`, from its last move back as far as it must.
void follow_run(line_classifier& c, bulk_marks& marks, std::string_view lines, std::size_t begin,
                std::size_t end) {
  settled_axes set;
  std::size_t line_end = end;
  while (line_end > begin) {
    const std::string_view words = words_before(lines, line_end);
    line_end = static_cast<std::size_t>(words.data() - lines.data());
    if (kind_of_move(c.at, words) != move_kind::none && follow_back(c.at, set, words)) break;
  }
  if (c.at.times && !settled(c.at, set)) {
    settle_back(c, marks, set, lines.substr(begin, line_end - begin), lines);
  }
}

}  // namespace

void prepare_classifier(line_classifier& c, bool g1_travel, bool reads_fan, bool follows_nozzle,
                        double acceleration) {
  c.g1_travel = g1_travel;
  c.reads_fan = reads_fan;
  c.follows_nozzle = follows_nozzle;
  c.acceleration = acceleration;
  c.at.times = acceleration > 0;
  c.head.reserve(head_size);
}

line_facts classify(line_classifier& c, std::string_view text) {
  line_facts facts;
  const std::string_view words = words_of(text);
  facts.travel = is_travel_move(text) || (c.g1_travel && is_g1_travel(words));
  if (c.reads_fan && may_set_fan(text)) {
    start_words(c);
    read_words(c.words, text);
    end_words(c.words);
    read_fan(c, facts);
  }
  facts.motion = motion_of(c, words);
  facts.time = time_of(c);
  facts.note = c.finds_notes && is_note_line(text);
  return facts;
}

void start_long(line_classifier& c) {
  start_words(c);
  c.marker = false;
  c.tail_size = 0;
  c.head.clear();
}

void classify_piece(line_classifier& c, std::string_view piece) {
  // A marker split between this piece and the last.
  char seam[2 * sizeof c.tail];
  const std::size_t from_piece = std::min(piece.size(), sizeof c.tail);
  std::copy(c.tail, c.tail + c.tail_size, seam);
  std::copy(piece.begin(), piece.begin() + from_piece, seam + c.tail_size);
  const std::string_view joined(seam, c.tail_size + from_piece);
  c.marker = c.marker || is_travel_move(joined) || is_travel_move(piece);
  const std::string_view last = piece.size() >= sizeof c.tail ? piece : joined;
  c.tail_size = std::min(last.size(), sizeof c.tail);
  std::copy(last.end() - c.tail_size, last.end(), c.tail);
  if (c.g1_travel || c.reads_fan) read_words(c.words, piece);
  c.head.append(piece.substr(0, head_size - c.head.size()));
}

line_facts end_long(line_classifier& c) {
  end_words(c.words);
  line_facts facts;
  facts.travel = c.marker || is_g1_travel(c.words);
  read_fan(c, facts);
  facts.motion = motion_of(c, words_of(c.head));
  facts.time = time_of(c);
  return facts;
}

bool glance_run_move(line_classifier& c, bulk_marks& marks, std::string_view lines,
                     line_facts& facts) {
  const std::size_t feed = lines.find('\n');
  if (feed == std::string_view::npos) return false;
  const std::size_t comment = next_of(marks.comment, lines, find_comment, 0);
  const std::string_view words = lines.substr(0, std::min(comment, text_end(lines, 0, feed)));
  if (kind_of_move(c.at, words) != move_kind::in_run) return false;
  facts = line_facts();
  facts.travel = next_of(marks.marker, lines, find_travel_marker, 0) < feed ||
                 (c.g1_travel && is_g1_travel(words));
  facts.motion.moves_xy = !facts.travel && run_move_moves_xy(words);
  return true;
}

std::size_t plain_lines(line_classifier& c, bulk_marks& marks, std::string_view lines) {
  const std::size_t marker = next_of(marks.marker, lines, find_travel_marker, 0);
  std::size_t before = marker >= lines.size() ? lines.size() : lines.rfind('\n', marker) + 1;
  if (c.finds_notes) before = note_line(marks, lines, before);
  if (!c.g1_travel && !c.reads_fan && !c.follows_nozzle) return before;
  std::size_t plain = 0;
  std::size_t run = std::string_view::npos;  // where a run of absolute moves began
  while (plain < before) {
    const std::size_t feed = lines.find('\n', plain);
    const std::size_t comment = next_of(marks.comment, lines, find_comment, plain);
    const std::string_view words(lines.data() + plain,
                                 std::min(comment, text_end(lines, plain, feed)) - plain);
    if ((c.g1_travel && is_g1_travel(words)) || (c.reads_fan && may_set_fan(words))) break;
    const move_kind kind = c.follows_nozzle ? kind_of_move(c.at, words) : move_kind::none;
    if (kind == move_kind::in_run) {
      run = std::min(run, plain);
    } else if (kind == move_kind::other) {
      if (run < plain) follow_run(c, marks, lines, run, plain);
      run = std::string_view::npos;
      motion_of(c, words);
    }
    plain = feed + 1;
  }
  if (run < plain) follow_run(c, marks, lines, run, plain);
  return plain;
}
