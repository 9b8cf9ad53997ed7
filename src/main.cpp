// The console run: the dialogue with the user around one line pass.
#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

#include "file_io.h"
#include "line_pass.h"

namespace {

constexpr std::string_view separator = "-------------------------------------------";

/// Writes `text` to the console, with or without a line end. The console is
/// only an echo, so a failure here changes nothing.
void say(std::string_view text, bool line_end = true) {
  std::string line(text);
  if (line_end) line.append(console_line_end());
  write_all(console_output(), line.data(), line.size());
}

void show_banner() {
  say("Tarvix Version " TARVIX_VERSION);
  say("Made by the Tarvix developers");
  say("Released 2026-12-06. All rights reserved.");
  say("");
  say("Usage: Tarvix <gcode file>");
}

/// The input path with "_tormel.gcode" appended, so the copy lies beside it.
native_path make_output_path(const native_path& input_path) {
  static constexpr native_char suffix[] = {'_', 't', 'o', 'r', 'm', 'e', 'l',
                                           '.', 'g', 'c', 'o', 'd', 'e', '\0'};
  return input_path + suffix;
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
  say(separator);
  const pass_result result = run_line_pass({input, output, console_output()}, speed);
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
  // The whitespace after the token stays unread: the final read takes it.
  std::string speed;
  std::cin >> speed;
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

int run(int argc, native_char** argv) {
  prepare_console();
  show_banner();
  int status = 0;
  if (argc >= 2 && argv[1][0] != 0) status = process_file(argv[1]);
  // Without a file this keeps a console window opened for the run until the
  // usage has been read; after a speed, the Enter typed with it answers.
  std::cin.get();
  return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return run(argc, argv); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
