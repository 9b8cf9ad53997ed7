// The console run: the dialogue with the user around one line pass, or, when
// the command line gives a speed, the run a slicer or a script asks for.
#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "bgcode/binary_gcode.h"
#include "gcode/line_rules.h"
#include "pass/line_pass.h"
#include "run/command_line.h"
#include "run/messages.h"
#include "run/output_file.h"
#include "run/script_run.h"
#include "system/file_io.h"

namespace {

constexpr std::string_view separator = "-------------------------------------------";

void say(std::string_view text, bool line_end = true) { say_on(console_output(), text, line_end); }

void say_lines(std::string_view text) {
  while (!text.empty()) {
    const std::size_t feed = std::min(text.find('\n'), text.size());
    say(text.substr(0, feed));
    text.remove_prefix(std::min(feed + 1, text.size()));
  }
}

void show_banner() {
  say("Tarvix Version " TARVIX_VERSION);
  say("Made by the Tarvix developers");
  say("Released 2026-12-06. All rights reserved.");
  say("");
  say("Usage: Tarvix <gcode file>");
}

/// The longest speed taken. Printer firmware takes a few digits in an
/// "M106 S" command, and the read stops just past this length, so whatever
/// is typed or piped, the read takes little time and memory.
constexpr std::size_t max_speed_size = 8;

/// The most blanks and line ends skipped before the speed: more than anyone
/// types, and a bound for an input that holds nothing else.
constexpr int max_blanks = 4096;

constexpr int end_of_input = -1;
constexpr int read_error = -2;

/// Reads one character from standard input, a byte at a time, so the tool
/// takes nothing past the character after the speed from a pipe that others
/// read too.
int read_char() {
  char c = 0;
  const std::ptrdiff_t count = read_some(console_input(), &c, 1);
  if (count == 1) return static_cast<unsigned char>(c);
  return count == 0 ? end_of_input : read_error;
}

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

/// Reads the speed: blanks before it are skipped, and the character after it
/// goes to `after`, for the final key read. A read that fails part way gives
/// no speed, never a shortened one.
std::string read_speed(int& after) {
  int c = read_char();
  for (int blanks = 0; blanks < max_blanks && is_space(c); ++blanks) c = read_char();
  std::string speed;
  while (c >= 0 && !is_space(c) && speed.size() <= max_speed_size) {
    speed += static_cast<char>(c);
    c = read_char();
  }
  after = c;
  return c == read_error ? std::string() : speed;
}

/// Opens the output, runs the pass and reports; returns the exit status.
/// Binary G-code is changed as binary, into a copy named for it.
int write_copy(io_handle input, const native_path& input_path, pass_options options) {
  input_start start;
  const bool started = read_start(input, start);  // else a failed read, after the pause as ever
  options.reads_binary = start.binary;
  const native_path output_path = make_output_path(input_path, start.binary);
  output_file output(open_output(output_path, input));
  if (output.file == no_file) {
    say(message::cannot_open_output);
    return 1;
  }
  say("Analyzing ...");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  say(separator);
  const pass_result result =
      started ? run_line_pass({input, output.file, console_output(), start.taken}, options)
              : pass_result::read_failed;
  output.kept = result == pass_result::complete;
  const bool closed = close_output(output);
  say(separator);
  if (result == pass_result::read_failed) {
    say(message::cannot_read);
    return 1;
  }
  if (result != pass_result::complete || !closed) {
    say(message::cannot_write);
    return 1;
  }
  say(std::string(message::written) + display_path(output_path));
  return 0;
}

/// Asks for the speed; empty when it is refused. At a terminal a refused
/// speed is asked for again, the rest of its line dropped, until a valid one
/// or the end of the input; from a pipe or a file nobody could answer.
std::string ask_speed(int& after) {
  const bool again = is_terminal(console_input());
  say("Enter Speed:", false);
  std::string speed = read_speed(after);
  while (!is_valid_speed(speed)) {
    say("Invalid speed: enter a number from 0 to 255, or keep");
    while (again && after >= 0 && after != '\n') after = read_char();
    if (!again || after < 0) return {};
    say("Enter Speed:", false);
    speed = read_speed(after);
  }
  return speed;
}

/// Asks for the speed and processes the file; returns the exit status.
/// Every file it opens is closed when it returns.
int process_file(const run_request& request, int& after_speed) {
  const std::string speed = ask_speed(after_speed);
  if (speed.empty()) return 1;
  const io_handle input = open_input(request.path);
  if (input == no_file) {
    say(message::cannot_open_input);
    return 1;
  }
  say("Reading File: " + display_path(request.path));
  const int status = write_copy(input, request.path, pass_options_for(request.options, speed));
  close_file(input);  // nothing was written to it, so nothing can be lost
  return status;
}

/// The dialogue after start-up; returns the exit status.
int run_dialogue(const run_request& request, int& after_speed) {
  const native_path& path = request.path;
  // A console that writes into the input or the copy (`tarvix a.gcode >>
  // a.gcode`) would feed the echo back into the pass or tear the copy: the
  // tool treats it as a console that went away, before writing to it.
  if (!path.empty() && (is_console_file(path) || is_console_file(make_output_path(path)))) {
    silence_console();
  }
  show_banner();
  return path.empty() ? 0 : process_file(request, after_speed);
}

/// Says that memory ran out, on `console`; the file being written has been
/// left as a stop would leave it as the stack unwound.
int out_of_memory(io_handle console) {
  say_on(console, message::out_of_memory);
  return 1;
}

int dialogue(const run_request& request) {
  int after_speed = end_of_input;
  int status = 1;
  try {
    status = run_dialogue(request, after_speed);
  } catch (const std::bad_alloc&) {
    status = out_of_memory(console_output());
  }
  // Without a file this keeps a console window opened for the run until the
  // usage has been read; after a speed, the Enter typed with it answers.
  if (after_speed < 0) read_char();
  return status;
}

int script(const run_request& request) {
  try {
    return run_script(request);
  } catch (const std::bad_alloc&) {
    // The run says so itself with its path and reason; this is for when
    // even that message finds no memory.
    return out_of_memory(console_errors());
  }
}

int run(int argc, native_char** argv) {
  prepare_process();
  run_request request;
  try {
    request = read_command_line(argc, argv);
  } catch (const std::bad_alloc&) {
    return out_of_memory(console_errors());
  }
  switch (request.what) {
    case run_request::kind::dialogue:
      return dialogue(request);
    case run_request::kind::script:
      return script(request);
    case run_request::kind::help:
      say_lines(help_text());
      return 0;
    case run_request::kind::version:
      say("Tarvix Version " TARVIX_VERSION);
      return 0;
    case run_request::kind::mistake:
      break;
  }
  say_on(console_errors(), "tarvix: " + request.mistake + " (see tarvix --help)");
  return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return run(argc, argv); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
