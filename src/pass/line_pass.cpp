#include "pass/line_pass.h"

#include <algorithm>

#include "bgcode/binary_gcode.h"
#include "pass/line_classifier.h"
#include "pass/line_writer.h"
#include "pass/travel_planner.h"

namespace {

// The rooms a line goes through, in order.
struct pass {
  io_handle input = no_file;
  std::string_view taken;  // of a pipe, before the pass
  pass_report* report = nullptr;
  binary_gcode binary;
  bool is_binary = false;
  line_reader reader;
  line_classifier classifier;
  bulk_marks marks;
  travel_planner planner;
  line_writer writer;
};

// What was read of a pipe before the pass, then the rest of it.
std::ptrdiff_t read_taken_first(void* context, char* data, std::size_t size, bool) {
  pass& p = *static_cast<pass*>(context);
  if (p.taken.empty()) return read_some(p.input, data, size);
  const std::size_t count = std::min(size, p.taken.size());
  std::copy_n(p.taken.data(), count, data);
  p.taken.remove_prefix(count);
  return static_cast<std::ptrdiff_t>(count);
}

byte_source input_source(pass& p) {
  if (p.taken.empty()) return file_source(p.input);
  byte_source source;
  source.read = read_taken_first;
  source.context = &p;
  return source;
}

// Takes all the memory the pass needs, so that running out of it never
// costs an older copy.
void prepare(pass& p, const pass_files& files, const pass_options& options, pass_report* report) {
  p.input = files.input;
  p.taken = files.taken;
  p.report = report;
  prepare_reader(p.reader, input_source(p), options.block_size);
  prepare_planner(p.planner, options.speed, options.dialect, options.min_travel,
                  options.min_seconds, options.fan_lead);
  const bool joins = p.planner.joins;
  prepare_classifier(p.classifier, options.g1_travel, joins || p.planner.keeps_fan, joins,
                     p.planner.min_seconds >= 0 ? options.acceleration : 0);
  p.classifier.finds_notes = report != nullptr;
  p.classifier.part_fan = part_fan(options.dialect);
  p.classifier.bare_is_part = p.classifier.part_fan == default_fan(options.dialect.name);
  // A held line can be longer than the block, and is joined to its line end
  // for the console.
  const std::size_t block = p.reader.block.size();
  prepare_writer(p.writer, files.output, files.console, options.echo, block,
                 joins ? std::max(block, max_held_size) : block);
}

// Without the echo, the whole lines before the next one a rule may change
// go on at once, as they are. A travel ends first where it ends at an
// absolute move, which then goes on with the moves after it.
bool pass_plain_lines(pass& p) {
  const std::string_view lines = whole_lines(p.reader);
  if (in_travel(p.planner)) {
    line_facts facts;
    if (!glance_run_move(p.classifier, p.marks, lines, facts) || !ends_travel(facts)) return true;
    if (!end_travel(p.planner, p.writer)) return false;
  }
  const std::size_t plain = plain_lines(p.classifier, p.marks, lines);
  if (plain == 0) return true;
  write_plain(p.writer, lines.substr(0, plain));
  skip_lines(p.reader, plain);
  return true;
}

// A line too long for the block: scanned first for what the rules need,
// then read again and passed on in pieces, so memory stays one block
// whatever the line's length.
pass_result pass_long_line(pass& p) {
  read_result read = start_long_line(p.reader);
  std::string_view piece;
  start_long(p.classifier);
  while (read == read_result::more && (read = next_piece(p.reader, piece)) == read_result::more) {
    classify_piece(p.classifier, piece);
  }
  p.marks = {};
  if (read == read_result::read_failed) return pass_result::read_failed;
  if (read == read_result::spool_failed) return pass_result::spool_failed;
  const std::string_view line_end = long_line_end(p.reader);
  const std::int64_t size = p.reader.long_size + static_cast<std::int64_t>(line_end.size());
  if (!begin_line(p.planner, p.writer, end_long(p.classifier), line_end, size)) {
    return pass_result::write_failed;
  }
  read = start_reread(p.reader);
  while (read == read_result::more && (read = next_reread(p.reader, piece)) == read_result::more) {
    if (!pass_piece(p.planner, p.writer, piece)) return pass_result::write_failed;
  }
  if (read != read_result::done) return pass_result::read_failed;
  return end_line(p.planner, p.writer, line_end) ? pass_result::complete
                                                 : pass_result::write_failed;
}

// Each line in turn, until the input ends.
pass_result pass_lines(pass& p) {
  for (;;) {
    if (!p.writer.echo && !pass_plain_lines(p)) return pass_result::write_failed;
    std::string_view text, line_end;
    const next_input next = next_line(p.reader, text, line_end);
    if (next == next_input::line || next == next_input::last_line) {
      const line_facts facts = classify(p.classifier, text);
      if (facts.note) {
        p.report->note.assign(text);
        return pass_result::already_changed;
      }
      if (!pass_line(p.planner, p.writer, facts, text, line_end, next == next_input::line)) {
        return pass_result::write_failed;
      }
      if (next == next_input::last_line) return pass_result::complete;
      continue;
    }
    if (next == next_input::end) return pass_result::complete;
    // The block moves: what the writer holds of it goes first.
    if (!flush_run(p.writer)) return pass_result::write_failed;
    if (next == next_input::long_line) {
      const pass_result result = pass_long_line(p);
      if (result != pass_result::complete) return result;
    } else if (!fill(p.reader)) {
      return pass_result::read_failed;
    }
    p.marks = {};
  }
}

// From here on the line reader reads the text of the binary G-code's blocks,
// and the writer writes into fresh ones.
void become_binary(pass& p) {
  p.is_binary = true;
  start_binary(p.binary, p.input, std::string_view(p.reader.block.data(), p.reader.end),
               p.writer.file);
  restart_reader(p.reader, binary_text(p.binary));
  p.writer.sink = write_binary_text;
  p.writer.sink_context = &p.binary;
}

// Ends the result with its last line, if any, and writes what waits.
bool finish_result(pass& p, std::string_view last) {
  if (p.is_binary) return finish(p.writer) && finish_binary(p.binary, last);
  return (last.empty() || write_line(p.writer, last, p.reader.last_line_end, false)) &&
         finish(p.writer);
}

pass_result run_prepared(pass& p, const pass_options& options) {
  if (!empty_file(p.writer.file)) return pass_result::write_failed;
  if (p.writer.echo) mark_whole(0);
  bool binary = false;
  if (options.reads_binary && !begins_with(p.reader, binary_signature, binary)) {
    return pass_result::read_failed;
  }
  if (binary) become_binary(p);
  pass_result result = pass_lines(p);
  if (result == pass_result::complete && !end_travel(p.planner, p.writer)) {
    result = pass_result::write_failed;
  }
  if (result != pass_result::complete) return result;
  return finish_result(p, options.last_line) ? result : pass_result::write_failed;
}

// What went wrong with binary G-code: a block that could not be copied,
// which the writer has the reason for, is a failed write.
pass_result with_binary_reason(pass& p, pass_result result) {
  if (!p.binary.writer.reason.empty()) result = pass_result::write_failed;
  if (p.report != nullptr) p.report->reason = binary_failure(p.binary);
  return result;
}

}  // namespace

pass_result run_line_pass(const pass_files& files, const pass_options& options,
                          pass_report* report) {
  pass p;
  prepare(p, files, options, report);
  pass_result result = run_prepared(p, options);
  if (p.is_binary && result != pass_result::complete) result = with_binary_reason(p, result);
  close_reader(p.reader);
  return result;
}
