#include "command_line.h"

#include "line_rules.h"
#include "motion.h"

namespace {

using kind = run_request::kind;

constexpr std::string_view speed_option = "--speed";
constexpr std::string_view min_travel_option = "--min-travel";

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

// True when `arg` is `name`, with its value in the next argument, or
// `name=value`. `value` is then the value, or nullptr when none follows.
bool is_option(const std::string& arg, std::string_view name, int argc, native_char** argv, int& i,
               const native_char*& value) {
  const bool separate = arg == name;
  if (!separate && (arg.size() <= name.size() || arg.compare(0, name.size(), name) != 0 ||
                    arg[name.size()] != '=')) {
    return false;
  }
  if (!separate) {
    value = argv[i] + name.size() + 1;
  } else {
    value = i + 1 < argc ? argv[++i] : nullptr;
  }
  return true;
}

// A plain decimal number of millimetres, 0 or more: "0", "2", "12.5".
bool is_valid_length(std::string_view text) {
  double value = 0;
  return !text.empty() && text[0] != '-' && text[0] != '+' && read_decimal(text, value);
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
    const native_char* value = nullptr;
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
    } else if (is_option(arg, speed_option, argc, argv, i, value)) {
      if (value == nullptr) return mistake("--speed needs a value");
      request.speed = ascii(value);
      has_speed = true;
      if (!is_valid_speed(request.speed)) {
        return mistake("invalid speed '" + display_path(value) +
                       "': give a number from 0 to 255, or keep");
      }
    } else if (is_option(arg, min_travel_option, argc, argv, i, value)) {
      if (value == nullptr) return mistake("--min-travel needs a value");
      request.min_travel = ascii(value);
      if (!is_valid_length(request.min_travel)) {
        return mistake("invalid length '" + display_path(value) +
                       "': give millimetres, such as 2 or 12.5");
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

pass_options pass_options_for(const run_request& request, std::string_view speed) {
  pass_options options;
  options.speed = speed;
  options.g1_travel = request.g1_travel;
  if (!request.min_travel.empty()) read_decimal(request.min_travel, options.min_travel);
  return options;
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
  --min-travel MM
               one fan pair for each travel (the travel moves with nothing
               between them that moves the nozzle in X or Y or sets the fan),
               and none for a travel shorter than MM millimetres
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
