#include "command_line.h"

#include "line_rules.h"

namespace {

using kind = run_request::kind;

constexpr std::string_view speed_option = "--speed";

// Options are ASCII; any other character becomes '?', which no option or
// speed holds.
std::string ascii(const native_char* text) {
  std::string result;
  for (; *text != 0; ++text) {
    const auto code = static_cast<unsigned long>(*text);
    result += code < 0x80 ? static_cast<char>(code) : '?';
  }
  return result;
}

run_request mistake(std::string what) {
  run_request request;
  request.what = kind::mistake;
  request.mistake = std::move(what);
  return request;
}

run_request just(kind what) {
  run_request request;
  request.what = what;
  return request;
}

// A dialogue ignores what follows its file, as it always has; an option
// after the file makes the whole a command line, read as if it came first.
bool has_option_after_file(int argc, native_char** argv) {
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '-') return true;
  }
  return false;
}

}  // namespace

run_request read_command_line(int argc, native_char** argv) {
  run_request request;
  if (argc < 2 || (argv[1][0] != '-' && !has_option_after_file(argc, argv))) {
    if (argc >= 2) request.path = argv[1];
    return request;
  }
  bool options_end = false;
  bool has_file = false;
  bool has_speed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = ascii(argv[i]);
    if (options_end || arg.empty() || arg[0] != '-') {
      if (has_file) return mistake("one G-code file at a time");
      has_file = true;
      request.path = argv[i];
    } else if (arg == "--") {
      options_end = true;
    } else if (arg == "--help" || arg == "--version") {
      return just(arg == "--help" ? kind::help : kind::version);
    } else if (arg == "--in-place") {
      request.in_place = true;
    } else if (arg == "--g1-travel") {
      request.g1_travel = true;
    } else if (arg == speed_option || arg.rfind("--speed=", 0) == 0) {
      const bool separate = arg == speed_option;
      if (separate && i + 1 == argc) return mistake("--speed needs a value");
      const native_char* value = separate ? argv[++i] : argv[i] + speed_option.size() + 1;
      request.speed = ascii(value);
      has_speed = true;
      if (!is_valid_speed(request.speed)) {
        return mistake("invalid speed '" + display_path(value) +
                       "': give a number from 0 to 255, or keep");
      }
    } else {
      return mistake("unknown option '" + display_path(argv[i]) + "'");
    }
  }
  if (request.path.empty()) return mistake("no G-code file given");
  if (request.in_place && !has_speed) return mistake("--in-place needs --speed");
  request.what = has_speed ? kind::script : kind::dialogue;
  return request;
}

std::string_view help_text() {
  return R"(Usage: tarvix [options] [--] <gcode file>
       tarvix <gcode file> [options]

Puts every travel move of a G-code file between M107 (fan off) and
M106 S<speed> (fan on). Without --speed it asks for the speed, echoes every
line it writes, and writes the copy to <gcode file>_tormel.gcode. With
--speed it ends the result with a comment that says so, and leaves a file
that ends with such a comment as it is ("Already changed").

Options:
  --speed S    the fan speed: a number from 0 to 255, or keep (the speed
               the print itself set last). The run then asks nothing,
               prints only its result, and writes the result whole or not
               at all.
  --in-place   replace the file itself, not a copy beside it (with --speed)
  --g1-travel  also take G1 moves with X or Y and no extrusion for travel
               moves, as most slicers write them
  --help       show this text
  --version    show the version
  --           end of the options, for a file whose name begins with -

Exit status: 0 written, or already changed; 1 the run failed, and says
why; 2 a mistake on the command line.
)";
}

native_path make_output_path(const native_path& input_path) {
  constexpr std::string_view suffix = "_tormel.gcode";
  return input_path + native_path(suffix.begin(), suffix.end());
}
