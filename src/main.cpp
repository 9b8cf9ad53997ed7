// The console run: the dialogue with the user around one line pass.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "file_io.h"
#include "line_pass.h"

namespace {

constexpr std::string_view separator = "-------------------------------------------";

/// Writes `text` to the console, with or without a line end. The console is
/// only an echo, so a failure here changes nothing. Nothing is allocated, so
/// it can still say that memory ran out.
void say(std::string_view text, bool line_end = true) {
  write_all(console_output(), text.data(), text.size());
  if (line_end) write_all(console_output(), console_line_end().data(), console_line_end().size());
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

/// True when `speed` is a plain decimal fan speed from 0 to 255 ("200",
/// "080", "127.5"), at most max_speed_size characters long. Printer firmware
/// reads anything else as full speed or stops with an error, so nothing else
/// may reach an "M106 S" line.
bool is_valid_speed(std::string_view speed) {
  constexpr std::string_view digits = "0123456789";
  const std::size_t dot = speed.find('.');
  const std::string_view whole = speed.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : speed.substr(dot + 1);
  if (speed.size() > max_speed_size || whole.empty() ||
      whole.find_first_not_of(digits) != std::string_view::npos) {
    return false;
  }
  if (dot != std::string_view::npos &&
      (fraction.empty() || fraction.find_first_not_of(digits) != std::string_view::npos)) {
    return false;
  }
  const int value = std::stoi(std::string(whole));
  return value < 255 || (value == 255 && fraction.find_first_not_of('0') == std::string_view::npos);
}

/// Reads the speed: blanks before it are skipped, and the character after it
/// stays unread, for the final key read.
std::string read_speed() {
  for (int blanks = 0; blanks < max_blanks && std::isspace(std::cin.peek()); ++blanks) {
    std::cin.get();
  }
  std::string speed;
  std::cin >> std::noskipws >> std::setw(max_speed_size + 1) >> speed;
  return speed;
}

/// The input path with "_tormel.gcode" appended, so the copy lies beside it.
native_path make_output_path(const native_path& input_path) {
  constexpr std::string_view suffix = "_tormel.gcode";
  return input_path + native_path(suffix.begin(), suffix.end());
}

/// Opens the output, runs the pass and reports; returns the exit status.
int write_copy(io_handle input, const native_path& input_path, std::string_view speed) {
  const native_path output_path = make_output_path(input_path);
  const io_handle output = open_output(output_path, input);
  if (output == no_file) {
    say("Unable to open file to write");
    return 1;
  }
  say("Analyzing ...");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  // An older copy is emptied only now, so a stop during the pause keeps it.
  const bool emptied = empty_file(output);
  say(separator);
  const pass_result result =
      emptied ? run_line_pass({input, output, console_output()}, speed) : pass_result::write_failed;
  say(separator);
  const bool closed = close_file(output);
  if (result == pass_result::read_failed) {
    say("Unable to read from file");
    return 1;
  }
  if (result == pass_result::write_failed || !closed) {
    say("Unable to write to file");
    return 1;
  }
  say("Written to File: " + display_path(output_path));
  return 0;
}

/// Asks for the speed and processes the file at `input_path`; returns the
/// exit status. Every file it opens is closed when it returns.
int process_file(const native_path& input_path) {
  say("Enter Speed:", false);
  const std::string speed = read_speed();
  if (!is_valid_speed(speed)) {
    say("Invalid speed: enter a number from 0 to 255");
    return 1;
  }
  const io_handle input = open_input(input_path);
  if (input == no_file) {
    say("Unable to open file to read");
    return 1;
  }
  say("Reading File: " + display_path(input_path));
  const int status = write_copy(input, input_path, speed);
  close_file(input);  // nothing was written to it, so nothing can be lost
  return status;
}

/// The run after start-up; returns the exit status.
int run_dialogue(int argc, native_char** argv) {
  const bool file_given = argc >= 2 && argv[1][0] != 0;
  // A console that writes into the input or the copy (`tarvix a.gcode >>
  // a.gcode`) would feed the echo back into the pass or tear the copy: the
  // tool treats it as a console that went away, before writing to it.
  if (file_given && (is_console_file(argv[1]) || is_console_file(make_output_path(argv[1])))) {
    silence_console();
  }
  show_banner();
  return file_given ? process_file(argv[1]) : 0;
}

int run(int argc, native_char** argv) {
  prepare_process();
  // Standard input is read a character at a time, so the tool takes nothing
  // past the character after the speed from a pipe that others read too.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  int status = 1;
  try {
    status = run_dialogue(argc, argv);
  } catch (const std::bad_alloc&) {
    say("Out of memory");
  }
  // Without a file this keeps a console window opened for the run until the
  // usage has been read; after a speed, the Enter typed with it answers.
  std::cin.clear();
  std::cin.get();
  return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return run(argc, argv); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
