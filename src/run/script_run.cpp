#include "run/script_run.h"

#include <algorithm>
#include <new>
#include <set>
#include <utility>

#include "bgcode/binary_gcode.h"
#include "pass/line_pass.h"
#include "run/change_note.h"
#include "run/messages.h"
#include "run/output_file.h"
#include "run/print_firmware.h"

namespace {

// One line for a slicer to show its user: what failed, where, and why: the
// reason given, or the system's.
int fail(std::string_view what, const native_path& path, std::string_view reason = {}) {
  const std::string why = reason.empty() ? failure_reason() : std::string(reason);
  say_on(console_errors(), std::string(what) + ": " + display_path(path) + " (" + why + ")");
  return 1;
}

// A file this tool has changed is left as it is, so that a slicer or a loop
// that runs twice does no harm; its note says how it was changed.
int already_changed(const native_path& path, std::string_view note) {
  say_on(console_output(), std::string(message::already_changed) + display_path(path) + " (by " +
                               noted_command(note) +
                               "; run it on the slicer's original to change it again)");
  return 0;
}

int report(pass_result result, const native_path& path, const native_path& shown,
           const pass_report& found) {
  switch (result) {
    case pass_result::complete:
      break;
    case pass_result::read_failed:
      return fail(message::cannot_read, path, found.reason);
    case pass_result::write_failed:
      return fail(message::cannot_write, shown, found.reason);
    case pass_result::spool_failed:
      return fail(message::cannot_write, temporary_folder());
    case pass_result::already_changed:
      return already_changed(path, found.note);
  }
  return 0;
}

// Writes the result to `temp` and puts it in place of `destination`.
int write_and_replace(io_handle input, const input_start& start, output_file& temp,
                      const native_path& temp_path, const native_path& destination, bool replace,
                      const native_path& shown, const native_path& path,
                      const run_options& options) {
  const std::string note = change_note(options);
  pass_options pass = pass_options_for(options, options.speed);
  pass.echo = false;
  pass.reads_binary = true;
  pass.last_line = note;
  pass_report found;
  found.note.reserve(2 * note.size());
  const pass_result result = run_line_pass({input, temp.file, no_file, start.taken}, pass, &found);
  if (result != pass_result::complete) return report(result, path, shown, found);
  const io_handle written = temp.file;
  temp.file = no_file;  // closed by the replace, whether it succeeds or not
  if (!replace_file(written, temp_path, destination, replace)) {
    return fail(message::cannot_write, shown);
  }
  temp.kept = true;
  say_on(console_output(), std::string(message::written) + display_path(shown));
  return 0;
}

// Writes beside `destination`, locked (`lock`) when there is one, and puts
// the result in its place.
int write_beside(io_handle input, const input_start& start, io_handle lock,
                 const native_path& destination, const native_path& shown, const native_path& path,
                 const run_options& options) {
  // In place, another run or an editor may have put another file there since
  // the input was opened: this run's result, made from the older file, would
  // then lose it.
  if (options.in_place && !is_still_input(destination, lock, input)) {
    return fail(message::cannot_write, shown);
  }
  native_path temp_path;
  output_file temp(open_temp_beside(destination, lock, temp_path));
  if (temp.file == no_file) return fail(message::cannot_open_output, shown);
  return write_and_replace(input, start, temp, temp_path, destination, lock != no_file, shown, path,
                           options);
}

// Locks the input (for a copy) and the destination, when there is one,
// against other runs, and writes beside the destination.
int replace_destination(io_handle input, const input_start& start, const native_path& path,
                        const run_options& options) {
  const native_path shown = options.in_place ? path : make_output_path(path, start.binary);
  const native_path destination = resolve_path(shown);
  io_handle lock = no_file;
  if ((!options.in_place && !lock_input(input)) ||
      !lock_destination(destination, input, options.in_place, lock)) {
    return fail(message::cannot_open_output, shown);
  }
  const int status = write_beside(input, start, lock, destination, shown, path, options);
  if (lock != no_file) close_file(lock);
  return status;
}

// A file left as it is for a reason other than its note.
int left_as_it_is(const native_path& path, std::string_view why) {
  say_on(console_output(), std::string(message::already_changed) + display_path(path) + " (" +
                               std::string(why) + ")");
  return 0;
}

// The files whose copy a run has written, each with the symbolic link that
// named it, if any: a file named twice, however spelt (`a.gcode`,
// `./a.gcode`, a hard link), is copied once, while a symbolic link to it,
// whose copy lies beside the link, gets its own, and a file saved over it
// meanwhile is new.
using copies_made = std::set<std::pair<file_identity, file_identity>>;

// Writes the result unless this run has already written that copy. In place
// the file's own note tells: by then the path names the result.
int unless_copied(io_handle input, const input_start& start, const native_path& path,
                  const run_options& options, copies_made& copies) {
  std::pair<file_identity, file_identity> copied{};
  if (options.in_place || !identify_file(input, copied.first)) {
    return replace_destination(input, start, path, options);
  }
  identify_link(path, copied.second);
  if (copies.count(copied) != 0) return left_as_it_is(path, "named twice");
  const int status = replace_destination(input, start, path, options);
  if (status == 0) copies.insert(std::move(copied));
  return status;
}

// The end of a text file is read for a note first, which costs nothing on a
// large file; the pass looks for one in the rest, and in all of binary
// G-code, whose last bytes may hold anything when its blocks are unsound.
// The dialogue writes no note: its copy is known by its name.
int unless_changed(io_handle input, const native_path& path, const run_options& options,
                   copies_made& copies) {
  input_start start;
  if (!read_start(input, start)) return fail(message::cannot_read, path);
  std::string note;
  run_options for_print = options;
  switch (start.binary ? note_found::no : find_change_note(input, note)) {
    case note_found::no:
      if (is_output_path(path)) {
        // A binary copy's note is in its blocks, which are not read here.
        return left_as_it_is(
            path, start.binary ? "a copy made by an earlier run" : "a copy made by the dialogue");
      }
      if (!options_for_print(input, start, for_print)) return fail(message::cannot_read, path);
      return unless_copied(input, start, path, for_print, copies);
    case note_found::unreadable:
      return fail(message::cannot_read, path);
    case note_found::yes:
      break;
  }
  return already_changed(path, note);
}

int open_and_replace(const native_path& path, const run_options& options, copies_made& copies) {
  if (options.in_place && !may_replace(resolve_path(path))) {
    return fail(message::cannot_open_output, path);
  }
  const io_handle input = open_input(path);
  if (input == no_file) return fail(message::cannot_open_input, path);
  const int status = unless_changed(input, path, options, copies);
  close_file(input);  // nothing was written to it, so nothing can be lost
  return status;
}

int run_one(const native_path& path, const run_options& options, copies_made& copies) {
  try {
    return open_and_replace(path, options, copies);
  } catch (const std::bad_alloc&) {
    // The stack is unwound, so the result has been abandoned and what the
    // run held is free again for the message.
    note_out_of_memory();
    return fail(message::out_of_memory, path);
  }
}

}  // namespace

int run_script(const run_request& request) {
  copies_made copies;
  int status = 0;
  // A failure is one file's: the others are still changed.
  for (const native_path& path : request.paths) {
    status = std::max(status, run_one(path, request.options, copies));
  }
  return status;
}
