#include "line_pass.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "line_rules.h"
#include "motion.h"

namespace {

constexpr std::string_view fan_off = "M107";
constexpr std::string_view fan_on_prefix = "M106 S";
constexpr std::string_view binary_signature = "GCDE";
constexpr std::string_view lf = "\n";
constexpr std::string_view crlf = "\r\n";
// Longer than any added line, so making one never asks for memory mid-pass.
constexpr std::size_t added_line_room = 64;
// Of a line too long for the block, this much of its start is kept: enough
// to tell whether its words are too long to read for X and Y.
constexpr std::size_t head_size = max_motion_words + 1;

// A line the pass adds, ready with each line end it may take.
struct added_line {
  std::string with_lf, with_crlf, for_console;
};

// One line held back, as it goes to the file: where it ends in the held
// bytes, and how many of those bytes are its line end.
struct held_line {
  std::size_t end = 0;
  std::size_t line_end_size = 0;
};

// The lines a travel holds cost this much beyond their bytes, so that a
// travel of many empty lines is bounded too.
constexpr std::size_t held_line_cost = sizeof(held_line);

// A travel this much shorter than the length asked for counts as that long:
// "G0 X2.3" from X0.3 is 2 mm, though its double is a hair less.
constexpr double length_tolerance = 1e-6;

// A travel so far: none, one too short for fan lines as yet, or one that has
// its "M107" written and waits only for its last travel move.
enum class travel_phase { none, short_so_far, long_enough };

struct travel {
  travel_phase phase = travel_phase::none;
  double length = 0;  // millimetres
  // The line ends of its first and last travel moves, for its fan lines.
  std::string_view first_end, last_end;
  // Lines held back: while the travel is short so far, all of them from its
  // first travel move on; after that, those since its last travel move, which
  // go after its fan-on line if no travel move follows them.
  std::string bytes;
  std::vector<held_line> lines;
  std::size_t moved = 0;  // held lines up to its last travel move
};

// What the rules make of a line.
enum class placement { as_is, bracketed, held };

// What the rules need to know of a line.
struct line_facts {
  bool travel = false;
  bool sets_fan = false;
  line_motion motion;
};

struct pass_state {
  pass_files files{};
  pass_options options;
  bool echo = true;  // false once the console has failed
  bool seekable = false;
  bool reads_words = false;
  bool keeps_fan = false;
  bool reads_fan = false;
  bool joins = false;  // travels share their fan lines
  // Unhandled input bytes are [begin, end) of `block`; `end_offset` is the
  // input offset just past them.
  std::vector<char> block;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::int64_t end_offset = 0;
  bool at_eof = false;
  // Without the echo: the block offsets of the next travel marker and the
  // next ';' (`end` when there is none), each found once for all the lines
  // before it; npos until looked for since the block last moved.
  std::size_t next_marker = std::string_view::npos;
  std::size_t next_comment = std::string_view::npos;
  // A last line without a line feed ends like the line before it.
  std::string_view last_line_end = lf;
  added_line fan_off_line, fan_on_line;
  line_words words;
  fan_state fan;
  nozzle at;
  travel t;
  // The start of a line longer than the block, for its X and Y.
  std::string head;
  // A line whose line end must change is joined here, for the file and for
  // the console.
  std::string file_line, console_line;
  // Without the echo, the file is written from here; lines that go on as
  // they stand in the block gather first as one run of its bytes, copied
  // here at once when anything else comes or the block moves.
  std::vector<char> out;
  std::size_t out_size = 0;
  std::string_view run;
  std::int64_t written = 0;  // bytes written to the file
  // A line too long for the block, from an input that cannot be read twice,
  // is held here; `piece` carries a long line from its source to the files.
  io_handle spool = no_file;
  std::vector<char> piece;
};

void make_added(added_line& line, std::string_view text, std::string_view more = {}) {
  line.with_lf.assign(text).append(more).append(lf);
  line.with_crlf.assign(text).append(more).append(crlf);
  line.for_console.assign(text).append(more).append(console_line_end());
}

std::string_view join(std::string& into, std::string_view text, std::string_view line_end) {
  into.assign(text).append(line_end);
  return into;
}

bool flush(pass_state& s) {
  const bool written = write_all(s.files.output, s.out.data(), s.out_size);
  s.out_size = 0;
  return written;
}

bool put(pass_state& s, std::string_view bytes);

bool flush_run(pass_state& s) {
  const std::string_view run = s.run;
  s.run = {};
  return run.empty() || put(s, run);
}

// Without the echo: the bytes join the others for one large write.
bool put(pass_state& s, std::string_view bytes) {
  if (!flush_run(s)) return false;
  if (bytes.size() > s.out.size() - s.out_size && !flush(s)) return false;
  if (bytes.size() > s.out.size()) return write_all(s.files.output, bytes.data(), bytes.size());
  std::memcpy(s.out.data() + s.out_size, bytes.data(), bytes.size());
  s.out_size += bytes.size();
  return true;
}

// Without the echo: bytes of the block that go on as they stand.
bool put_in_block(pass_state& s, std::string_view bytes) {
  if (!s.run.empty() && bytes.data() != s.run.data() + s.run.size() && !flush_run(s)) return false;
  s.run =
      std::string_view(s.run.empty() ? bytes.data() : s.run.data(), s.run.size() + bytes.size());
  return true;
}

// Part of a line: to the console, then to the file.
bool emit_piece(pass_state& s, std::string_view bytes, std::string_view console_bytes) {
  if (!s.options.echo) return put(s, bytes);
  if (s.echo) s.echo = write_all(s.files.console, console_bytes.data(), console_bytes.size());
  if (!write_all(s.files.output, bytes.data(), bytes.size())) return false;
  s.written += static_cast<std::int64_t>(bytes.size());
  return true;
}

// The end of a line: each write carries a whole line end, so a stop between
// lines never leaves half of one.
bool emit(pass_state& s, std::string_view bytes, std::string_view console_bytes) {
  if (!emit_piece(s, bytes, console_bytes)) return false;
  if (s.options.echo) mark_whole(s.written);
  return true;
}

// Emits `text` with `line_end`. When `joined`, the line end follows the text
// in memory (a line as it stands in the block), and the file takes those
// bytes as they are, as does the console when its line end is the same.
bool emit_line(pass_state& s, std::string_view text, std::string_view line_end, bool joined) {
  const std::string_view bytes = joined
                                     ? std::string_view(text.data(), text.size() + line_end.size())
                                     : join(s.file_line, text, line_end);
  if (!s.options.echo) return joined ? put_in_block(s, bytes) : put(s, bytes);
  const std::string_view console_end = console_line_end();
  const std::string_view console_bytes =
      joined && line_end == console_end ? bytes : join(s.console_line, text, console_end);
  return emit(s, bytes, console_bytes);
}

bool emit_added(pass_state& s, const added_line& line, std::string_view line_end) {
  return emit(s, line_end == crlf ? line.with_crlf : line.with_lf, line.for_console);
}

// Readies the word reader for a new line.
void start_line(pass_state& s) {
  if (!s.reads_words) return;
  s.words = line_words();
  s.words.want_g1 = s.options.g1_travel;
  s.words.want_fan = s.reads_fan;
}

// Follows the fan through a line whose words have been read.
void follow_fan(pass_state& s) {
  if (follow_fan(s.fan, s.words)) make_added(s.fan_on_line, fan_on_prefix, s.fan.speed);
}

// Whether a travel move gets fan lines: with keep, only while the fan is on.
// The fan is followed through the line first, so that a travel move restores
// the speed the print set last, this line included.
bool takes_fan_lines(const pass_state& s, bool travel) {
  return travel && (!s.keeps_fan || s.fan.on);
}

// Sends on the first `count` held lines and lets them go.
bool emit_held(pass_state& s, std::size_t count) {
  travel& t = s.t;
  if (count == 0) return true;
  const std::size_t size = t.lines[count - 1].end;
  bool written = true;
  if (!s.options.echo) {
    written = put(s, std::string_view(t.bytes.data(), size));
  } else {
    for (std::size_t i = 0, start = 0; i < count && written; start = t.lines[i++].end) {
      const std::size_t text_end = t.lines[i].end - t.lines[i].line_end_size;
      written =
          emit_line(s, std::string_view(t.bytes.data() + start, text_end - start),
                    std::string_view(t.bytes.data() + text_end, t.lines[i].line_end_size), true);
    }
  }
  t.bytes.erase(0, size);
  t.lines.erase(t.lines.begin(), t.lines.begin() + static_cast<std::ptrdiff_t>(count));
  for (held_line& line : t.lines) line.end -= size;
  t.moved -= std::min(t.moved, count);
  return written;
}

// Whether a line of `size` bytes, line end included, may be held.
bool fits(const travel& t, std::int64_t size) {
  const auto cost = static_cast<std::int64_t>(t.bytes.size() + t.lines.size() * held_line_cost);
  return size + static_cast<std::int64_t>(held_line_cost) <=
         static_cast<std::int64_t>(max_held_size) - cost;
}

// The travel is long enough for its fan lines: its "M107" goes out, and the
// lines up to its last travel move after it.
bool go_long(pass_state& s) {
  s.t.phase = travel_phase::long_enough;
  return emit_added(s, s.fan_off_line, s.t.first_end) && emit_held(s, s.t.moved);
}

// Ends the travel: one too short gets no fan lines at all; one long enough
// gets its fan-on line after its last travel move, before the lines after it.
bool end_travel(pass_state& s) {
  const travel_phase phase = s.t.phase;
  s.t.phase = travel_phase::none;
  if (phase == travel_phase::none) return true;
  return (phase != travel_phase::long_enough || emit_added(s, s.fan_on_line, s.t.last_end)) &&
         emit_held(s, s.t.lines.size());
}

bool join_travel_move(pass_state& s, const line_motion& motion, std::string_view line_end,
                      std::int64_t size, placement& where) {
  travel& t = s.t;
  if (t.phase == travel_phase::none) {
    t.phase = travel_phase::short_so_far;
    t.length = 0;
    t.first_end = line_end;
  }
  t.length += motion.distance;
  t.last_end = line_end;
  // A move to or from where the nozzle is not known makes the travel long.
  if (t.phase == travel_phase::short_so_far &&
      (!motion.known || t.length >= s.options.min_travel - length_tolerance || !fits(t, size)) &&
      !go_long(s)) {
    return false;
  }
  if (t.phase == travel_phase::long_enough) return emit_held(s, t.lines.size());
  where = placement::held;
  t.moved = t.lines.size() + 1;  // this line, once held
  return true;
}

// A line inside a travel that is not a travel move waits with the travel,
// unless holding it would pass the bound: the travel then ends before it.
bool join_other_line(pass_state& s, std::int64_t size, placement& where) {
  if (s.t.phase == travel_phase::none) return true;
  // A travel too big to hold counts as long: its lines up to its last travel
  // move go out, and those after it may still wait.
  if (s.t.phase == travel_phase::short_so_far && !fits(s.t, size) && !go_long(s)) return false;
  if (fits(s.t, size)) {
    where = placement::held;
    return true;
  }
  return end_travel(s);
}

// Decides what becomes of a line of `size` bytes, line end included, after
// sending on whatever must go before it.
bool place(pass_state& s, const line_facts& facts, std::string_view line_end, std::int64_t size,
           placement& where) {
  where = placement::as_is;
  const bool ends_travel = facts.sets_fan || (facts.motion.moves_xy && !facts.travel);
  if (s.joins && ends_travel && !end_travel(s)) return false;
  // The fan is followed through the line before its own fan lines, so that a
  // travel move restores the speed the print set last, this line included.
  if (facts.sets_fan && s.keeps_fan) follow_fan(s);
  const bool takes = takes_fan_lines(s, facts.travel);
  if (!s.joins) {
    where = takes ? placement::bracketed : placement::as_is;
    return true;
  }
  return takes ? join_travel_move(s, facts.motion, line_end, size, where)
               : join_other_line(s, size, where);
}

void hold(travel& t, std::string_view text, std::string_view line_end) {
  t.bytes.append(text).append(line_end);
  t.lines.push_back({t.bytes.size(), line_end.size()});
}

// Follows the nozzle through the words of a line (the part before its
// comment), of which at least the first max_motion_words + 1 are held.
line_motion motion_of(pass_state& s, std::string_view words) {
  if (!s.joins) return {};
  const bool cut = words.size() > max_motion_words;
  return follow_motion(s.at, words.substr(0, max_motion_words), cut);
}

bool emit_bracketed(pass_state& s, std::string_view text, std::string_view line_end, bool joined) {
  const std::string_view words = words_of(text);
  line_facts facts;
  facts.travel = is_travel_move(text) || (s.options.g1_travel && is_g1_travel(words));
  if (s.reads_fan && may_set_fan(text)) {
    start_line(s);
    read_words(s.words, text);
    end_words(s.words);
    facts.sets_fan = sets_fan(s.words);
  }
  facts.motion = motion_of(s, words);
  s.last_line_end = line_end;
  placement where = placement::as_is;
  if (!place(s, facts, line_end, static_cast<std::int64_t>(text.size() + line_end.size()), where)) {
    return false;
  }
  if (where == placement::held) {
    hold(s.t, text, line_end);
    return true;
  }
  const bool bracket = where == placement::bracketed;
  return (!bracket || emit_added(s, s.fan_off_line, line_end)) &&
         emit_line(s, text, line_end, joined) &&
         (!bracket || emit_added(s, s.fan_on_line, line_end));
}

// Reads more input behind the unhandled bytes, moving them to the front of
// the block first; the run must have been put out, as its bytes move.
bool fill(pass_state& s) {
  s.next_marker = s.next_comment = std::string_view::npos;
  if (s.begin > 0) {
    std::memmove(s.block.data(), s.block.data() + s.begin, s.end - s.begin);
    s.end -= s.begin;
    s.begin = 0;
  }
  const std::ptrdiff_t count =
      read_some(s.files.input, s.block.data() + s.end, s.block.size() - s.end);
  if (count < 0) return false;
  s.at_eof = count == 0;
  s.end += static_cast<std::size_t>(count);
  s.end_offset += count;
  return true;
}

struct long_line {
  std::int64_t start = 0;      // input offset of its first byte
  std::int64_t text_size = 0;  // without its line end
  std::string_view line_end;   // empty when the input ends first
  bool marker = false;
};

// Readies the spool for a new line: opened once, emptied for each line.
bool reset_spool(pass_state& s) {
  if (s.spool == no_file) s.spool = open_spool();
  return s.spool != no_file && cut_back(s.spool, 0) && seek_to(s.spool, 0);
}

// Scans a line that does not fit in the block, from `begin` on, for its end,
// the marker and its words, reading on through the input; an input that
// cannot be read twice is copied to the spool on the way. The last bytes of
// each chunk stay in the block for the next, so a marker or a CR LF split
// between two reads is still seen. Leaves `begin` just past the line.
pass_result scan_long_line(pass_state& s, long_line& line) {
  constexpr std::size_t overlap = 2;  // a marker's length, less one
  if (!s.seekable && !reset_spool(s)) return pass_result::spool_failed;
  line.start = s.end_offset - static_cast<std::int64_t>(s.end - s.begin);
  start_line(s);
  s.head.clear();
  // Input offsets up to which the text is in the spool, and read for words.
  std::int64_t spooled = line.start;
  std::int64_t worded = line.start;
  for (;;) {
    const std::string_view chunk(s.block.data() + s.begin, s.end - s.begin);
    const std::int64_t chunk_offset = s.end_offset - static_cast<std::int64_t>(chunk.size());
    const std::size_t feed = chunk.find('\n');
    const std::string_view text = chunk.substr(0, feed);
    line.marker = line.marker || is_travel_move(text);
    // A CR at the end may be half of a line end: its words wait for what
    // follows it.
    const bool open_cr = !text.empty() && text.back() == '\r' && !(s.at_eof && feed == text.npos);
    const std::size_t words_end = text.size() - (open_cr ? 1 : 0);
    const auto words_begin = static_cast<std::size_t>(worded - chunk_offset);
    if (s.reads_words && words_end > words_begin) {
      read_words(s.words, text.substr(words_begin, words_end - words_begin));
    }
    worded = std::max(worded, chunk_offset + static_cast<std::int64_t>(words_end));
    const auto head_end =
        std::min<std::int64_t>(chunk_offset + static_cast<std::int64_t>(text.size()),
                               line.start + static_cast<std::int64_t>(head_size));
    const auto head_begin = static_cast<std::int64_t>(s.head.size()) + line.start;
    if (head_end > head_begin) {
      s.head.append(text.data() + (head_begin - chunk_offset),
                    static_cast<std::size_t>(head_end - head_begin));
    }
    const auto spool_begin = static_cast<std::size_t>(spooled - chunk_offset);
    if (!s.seekable && !write_all(s.spool, text.data() + spool_begin, text.size() - spool_begin)) {
      return pass_result::spool_failed;
    }
    spooled = chunk_offset + static_cast<std::int64_t>(text.size());
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && chunk[feed - 1] == '\r';
      line.line_end = cr ? crlf : lf;
      line.text_size = chunk_offset + static_cast<std::int64_t>(feed) - line.start - (cr ? 1 : 0);
      s.begin += feed + 1;
      return pass_result::complete;
    }
    if (s.at_eof) {
      line.text_size = s.end_offset - line.start;
      s.begin = s.end;
      return pass_result::complete;
    }
    s.begin = s.end - std::min(overlap, chunk.size());
    if (!fill(s)) return pass_result::read_failed;
  }
}

// Sends `size` bytes of `source` from `offset` on to the console and the
// file, a piece at a time, or holds them for the travel.
pass_result copy_text(pass_state& s, io_handle source, std::int64_t offset, std::int64_t size,
                      bool held) {
  if (!seek_to(source, offset)) return pass_result::read_failed;
  while (size > 0) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(size, static_cast<std::int64_t>(s.piece.size())));
    const std::ptrdiff_t count = read_again(source, s.piece.data(), want);
    if (count < 0) return pass_result::read_failed;
    const std::string_view bytes(s.piece.data(), static_cast<std::size_t>(count));
    if (held) {
      s.t.bytes.append(bytes);
    } else if (!emit_piece(s, bytes, bytes)) {
      return pass_result::write_failed;
    }
    size -= count;
  }
  return pass_result::complete;
}

// Emits a line longer than the block: scanned first for its end and what the
// rules need, then read again (from the input, or from the spool) and sent on
// in pieces, so memory stays one block whatever the line's length.
pass_result emit_long_line(pass_state& s) {
  if (!flush_run(s)) return pass_result::write_failed;
  long_line line;
  const pass_result scanned = scan_long_line(s, line);
  if (scanned != pass_result::complete) return scanned;
  end_words(s.words);
  line_facts facts;
  facts.travel = line.marker || is_g1_travel(s.words);
  facts.sets_fan = s.reads_fan && sets_fan(s.words);
  s.head.resize(static_cast<std::size_t>(
      std::min<std::int64_t>(line.text_size, static_cast<std::int64_t>(s.head.size()))));
  facts.motion = motion_of(s, words_of(s.head));
  const std::string_view line_end = line.line_end.empty() ? s.last_line_end : line.line_end;
  s.last_line_end = line_end;
  placement where = placement::as_is;
  if (!place(s, facts, line_end, line.text_size + static_cast<std::int64_t>(line_end.size()),
             where)) {
    return pass_result::write_failed;
  }
  const bool held = where == placement::held;
  const bool bracket = where == placement::bracketed;
  if (bracket && !emit_added(s, s.fan_off_line, line_end)) return pass_result::write_failed;
  const pass_result copied = s.seekable
                                 ? copy_text(s, s.files.input, line.start, line.text_size, held)
                                 : copy_text(s, s.spool, 0, line.text_size, held);
  if (copied != pass_result::complete) return copied;
  if (held) {
    hold(s.t, {}, line_end);
  } else if (!emit_line(s, {}, line_end, false)) {
    return pass_result::write_failed;
  }
  if (bracket && !emit_added(s, s.fan_on_line, line_end)) return pass_result::write_failed;
  // Reading goes on behind the bytes the block still holds.
  if (s.seekable && !seek_to(s.files.input, s.end_offset)) return pass_result::read_failed;
  return pass_result::complete;
}

// The block offset of the next `what` from `from` on, or `end`.
template <typename text>
std::size_t next_of(const pass_state& s, std::size_t& found, text what, std::size_t from) {
  if (found == std::string_view::npos || found < from) {
    const std::string_view rest(s.block.data() + from, s.end - from);
    found = from + std::min(rest.find(what), rest.size());
  }
  return found;
}

// The words (the part before any ";") of the line in `lines` from `start` to
// its line feed at `feed`; a CR before the line feed is part of the line end.
std::string_view words_between(std::string_view lines, std::size_t start, std::size_t feed) {
  const std::size_t text_end = feed > start && lines[feed - 1] == '\r' ? feed - 1 : feed;
  return words_of(lines.substr(start, text_end - start));
}

// The words of the line that ends just before `end` in `lines`.
std::string_view words_before(std::string_view lines, std::size_t end) {
  return words_between(lines, end < 2 ? 0 : lines.rfind('\n', end - 2) + 1, end - 1);
}

// Follows the nozzle through the run of absolute moves in `lines` from
// `begin` to `end`, from its last move back as far as it must.
void follow_run(pass_state& s, std::string_view lines, std::size_t begin, std::size_t end) {
  settled_axes settled;
  for (std::size_t line_end = end; line_end > begin;) {
    const std::string_view words = words_before(lines, line_end);
    if (kind_of_move(s.at, words) != move_kind::none && follow_back(s.at, settled, words)) return;
    line_end = static_cast<std::size_t>(words.data() - lines.data());
  }
}

// How many bytes of whole lines from `begin` on the rules leave as they are:
// the lines before the first that holds the marker, that the G1 rule takes
// for a travel move, or that may set the fan. Outside a travel, the moves
// among them only move the nozzle, which is followed here.
std::size_t plain_lines(pass_state& s, std::string_view lines) {
  const std::size_t marker = next_of(s, s.next_marker, travel_marker, s.begin) - s.begin;
  const std::size_t before = marker >= lines.size() ? lines.size() : lines.rfind('\n', marker) + 1;
  if (!s.reads_words) return before;
  std::size_t plain = 0;
  std::size_t run = std::string_view::npos;  // where a run of absolute moves began
  while (plain < before) {
    const std::size_t feed = lines.find('\n', plain);
    const std::size_t text_end = feed > plain && lines[feed - 1] == '\r' ? feed - 1 : feed;
    const std::size_t comment = next_of(s, s.next_comment, ';', s.begin + plain) - s.begin;
    const std::string_view words(lines.data() + plain, std::min(comment, text_end) - plain);
    if ((s.options.g1_travel && is_g1_travel(words)) || (s.reads_fan && may_set_fan(words))) break;
    const move_kind kind = s.joins ? kind_of_move(s.at, words) : move_kind::none;
    if (kind == move_kind::in_run) {
      run = std::min(run, plain);
    } else if (kind == move_kind::other) {
      if (run < plain) follow_run(s, lines, run, plain);
      run = std::string_view::npos;
      motion_of(s, words);
    }
    plain = feed + 1;
  }
  if (run < plain) follow_run(s, lines, run, plain);
  return plain;
}

// Whether the next whole line is an absolute move in X or Y that is no
// travel move, which ends a travel and then goes on like any such move.
bool ends_travel_as_plain_line(pass_state& s) {
  const std::string_view held(s.block.data() + s.begin, s.end - s.begin);
  const std::size_t feed = held.find('\n');
  if (feed == std::string_view::npos ||
      next_of(s, s.next_marker, travel_marker, s.begin) - s.begin < feed) {
    return false;
  }
  const std::string_view words = words_between(held, 0, feed);
  return kind_of_move(s.at, words) == move_kind::in_run &&
         !(s.options.g1_travel && is_g1_travel(words)) && moves_in_xy(words);
}

// Without the echo, a line the rules leave as it is needs nothing more: the
// whole lines before the next one they change go on at once, as they are.
bool put_plain_lines(pass_state& s) {
  if (s.t.phase != travel_phase::none) {
    if (!ends_travel_as_plain_line(s)) return true;  // the travel's lines wait
    if (!end_travel(s)) return false;
  }
  const std::string_view held(s.block.data() + s.begin, s.end - s.begin);
  const std::string_view lines = held.substr(0, held.rfind('\n') + 1);
  const std::size_t plain = plain_lines(s, lines);
  if (plain == 0) return true;
  s.last_line_end = plain > 1 && lines[plain - 2] == '\r' ? crlf : lf;
  s.begin += plain;
  return put_in_block(s, lines.substr(0, plain));
}

pass_result run(pass_state& s) {
  for (;;) {
    if (!s.options.echo && !put_plain_lines(s)) return pass_result::write_failed;
    const std::string_view held(s.block.data() + s.begin, s.end - s.begin);
    const std::size_t feed = held.find('\n');
    if (feed != std::string_view::npos) {
      const bool cr = feed > 0 && held[feed - 1] == '\r';
      if (!emit_bracketed(s, held.substr(0, feed - (cr ? 1 : 0)), cr ? crlf : lf, true)) {
        return pass_result::write_failed;
      }
      s.begin += feed + 1;
      continue;
    }
    if (s.at_eof) {
      if (held.empty() || emit_bracketed(s, held, s.last_line_end, false)) {
        return pass_result::complete;
      }
      return pass_result::write_failed;
    }
    if (s.begin == 0 && s.end == s.block.size()) {
      const pass_result result = emit_long_line(s);
      if (result != pass_result::complete) return result;
      continue;
    }
    if (!flush_run(s)) return pass_result::write_failed;
    if (!fill(s)) return pass_result::read_failed;
  }
}

// Slicers write binary G-code with this signature at its start; fan lines
// put among its compressed blocks would destroy the print.
pass_result check_not_binary(pass_state& s) {
  while (s.end < binary_signature.size() && !s.at_eof) {
    if (!fill(s)) return pass_result::read_failed;
  }
  const std::string_view start(s.block.data(), s.end);
  return start.substr(0, binary_signature.size()) == binary_signature ? pass_result::binary_input
                                                                      : pass_result::complete;
}

// Takes all the memory the pass needs, so that running out of it never
// costs an older copy.
void prepare(pass_state& s, const pass_files& files, const pass_options& options) {
  s.files = files;
  s.options = options;
  s.keeps_fan = options.speed == keep_speed;
  s.joins = options.min_travel >= 0;
  s.reads_fan = s.keeps_fan || s.joins;
  s.reads_words = options.g1_travel || s.reads_fan;
  const std::size_t block_size = std::max(options.block_size, min_block_size);
  s.block.resize(block_size);
  s.piece.resize(block_size);
  // A held line can be longer than the block, and is joined to its line end
  // for the console.
  const std::size_t longest = s.joins ? std::max(block_size, max_held_size) : block_size;
  s.file_line.reserve(block_size + crlf.size());
  s.console_line.reserve(longest + crlf.size());
  if (s.joins) {
    s.t.bytes.reserve(max_held_size);
    s.t.lines.reserve(max_held_size / held_line_cost);
    s.head.reserve(head_size);
  }
  if (!options.echo) s.out.resize(4 * block_size);
  for (added_line* line : {&s.fan_off_line, &s.fan_on_line}) {
    for (std::string* text : {&line->with_lf, &line->with_crlf, &line->for_console}) {
      text->reserve(added_line_room);
    }
  }
  make_added(s.fan_off_line, fan_off);
  make_added(s.fan_on_line, fan_on_prefix, s.keeps_fan ? std::string_view() : options.speed);
  s.seekable = can_seek(files.input);
}

pass_result run_prepared(pass_state& s) {
  if (!empty_file(s.files.output)) return pass_result::write_failed;
  if (s.options.echo) mark_whole(0);
  if (s.options.refuse_binary) {
    const pass_result checked = check_not_binary(s);
    if (checked != pass_result::complete) return checked;
  }
  pass_result result = run(s);
  if (result == pass_result::complete && !end_travel(s)) result = pass_result::write_failed;
  if (result != pass_result::complete) return result;
  const std::string_view last = s.options.last_line;
  if (!last.empty() && !emit_line(s, last, s.last_line_end, false)) {
    return pass_result::write_failed;
  }
  if (s.options.echo) return result;
  return flush_run(s) && flush(s) ? result : pass_result::write_failed;
}

}  // namespace

pass_result run_line_pass(const pass_files& files, const pass_options& options) {
  pass_state s;
  prepare(s, files, options);
  const pass_result result = run_prepared(s);
  if (s.spool != no_file) close_file(s.spool);
  return result;
}
