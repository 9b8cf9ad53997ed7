#include "run/command_line.h"

#include <algorithm>

#include "gcode/fan_dialect.h"
#include "gcode/line_rules.h"
#include "gcode/motion.h"

namespace {

using kind = run_request::kind;

// A plain decimal number, 0 or more: "0", "2", "12.5".
bool read_plain(std::string_view text, double& value) {
  return !text.empty() && text[0] != '-' && text[0] != '+' && read_decimal(text, value);
}

// The least a travel must be for its fan lines: millimetres ("2", "12.5mm")
// or seconds ("0.5s"); the other stays below 0.
bool read_min_travel(std::string_view text, double& millimetres, double& seconds) {
  const bool in_seconds = text.size() > 1 && text.back() == 's' && text[text.size() - 2] != 'm';
  const std::size_t unit = in_seconds                                                ? 1
                           : text.size() > 2 && text.substr(text.size() - 2) == "mm" ? 2
                                                                                     : 0;
  return read_plain(text.substr(0, text.size() - unit), in_seconds ? seconds : millimetres);
}

bool is_valid_min_travel(std::string_view text) {
  double millimetres = -1;
  double seconds = -1;
  return read_min_travel(text, millimetres, seconds);
}

bool is_valid_acceleration(std::string_view text) {
  double value = 0;
  return read_plain(text, value) && value > 0;
}

// Seconds, "0.3s" or "0.3": a fan needs under a second to spin up, and a
// lead of more than a few only moves the fan-on line to the travel's start.
constexpr double max_fan_lead = 10;

bool read_fan_lead(std::string_view text, double& seconds) {
  if (!text.empty() && text.back() == 's') text.remove_suffix(1);
  return read_plain(text, seconds) && seconds <= max_fan_lead;
}

bool is_valid_fan_lead(std::string_view text) {
  double seconds = 0;
  return read_fan_lead(text, seconds);
}

bool is_valid_firmware(std::string_view text) {
  firmware named = firmware::marlin;
  return read_firmware(text, named);
}

// Firmware numbers its fans from 0; a printer has a few.
constexpr int max_fan = 15;

bool is_valid_fan(std::string_view text) {
  return !text.empty() && text.size() <= 2 &&
         text.find_first_not_of("0123456789") == std::string_view::npos &&
         std::stoi(std::string(text)) <= max_fan;
}

bool is_valid_travel_speed(std::string_view text) {
  return text != keep_speed && is_valid_speed(text);
}

// One option: its name, and for one that takes a value, the value's name in
// the help, where it goes, how it is checked and what a refusal says.
struct option {
  std::string_view name;
  kind what = kind::mistake;  // help and version end the reading at once
  bool run_options::*flag = nullptr;
  std::string run_options::*value = nullptr;
  std::string_view value_name;
  bool (*valid)(std::string_view) = nullptr;
  std::string_view refused, advice;
  bool in_note = false;  // shapes the result, so the note names it
  std::string_view help;
};

const option options[] = {
    {"--speed", kind::mistake, nullptr, &run_options::speed, "S", is_valid_speed, "invalid speed",
     "give a number from 0 to 255, or keep", true,
     "the fan speed: a number from 0 to 255, or keep (the speed\n"
     "the print itself set last). The run then asks nothing,\n"
     "prints only its result, and writes the result whole or not\n"
     "at all."},
    {"--in-place",
     kind::mistake,
     &run_options::in_place,
     nullptr,
     {},
     nullptr,
     {},
     {},
     false,
     "replace the file itself, not a copy beside it (with --speed)"},
    {"--g1-travel",
     kind::mistake,
     &run_options::g1_travel,
     nullptr,
     {},
     nullptr,
     {},
     {},
     true,
     "also take G1 moves with X or Y and no extrusion for travel\n"
     "moves, as most slicers write them"},
    {"--min-travel", kind::mistake, nullptr, &run_options::min_travel, "MM|Ns", is_valid_min_travel,
     "invalid length", "give millimetres or seconds, such as 2, 12.5mm or 0.5s", true,
     "one fan pair for each travel (the travel moves with nothing\n"
     "between them that moves the nozzle in X or Y or sets the fan),\n"
     "and none for a travel shorter than MM millimetres or, as 0.5s,\n"
     "one that lasts less than N seconds as firmware plans its moves"},
    {"--acceleration", kind::mistake, nullptr, &run_options::acceleration, "A",
     is_valid_acceleration, "invalid acceleration", "give mm/s^2, such as 1000", true,
     "for --min-travel in seconds: the acceleration in mm/s^2 where the\n"
     "print sets none with M204 (1000)"},
    {"--firmware", kind::mistake, nullptr, &run_options::firmware, "NAME", is_valid_firmware,
     "unknown firmware", "give marlin, klipper, reprapfirmware (or rrf) or bambu", true,
     "the printer's firmware, for how the fan lines say it: marlin\n"
     "and klipper M107, reprapfirmware and bambu M106 S0. Without\n"
     "it, the print's own settings tell; marlin where they do not"},
    {"--fan", kind::mistake, nullptr, &run_options::fan, "N", is_valid_fan, "invalid fan",
     "give a whole number from 0 to 15", true,
     "the part-cooling fan is fan N: the fan lines name it (P N),\n"
     "and keep follows its commands only"},
    {"--travel-speed", kind::mistake, nullptr, &run_options::travel_speed, "S",
     is_valid_travel_speed, "invalid speed", "give a number from 0 to 255", true,
     "during a travel the fan slows to S (0 to 255) instead of\n"
     "stopping; with keep, no fan lines where the print's fan runs\n"
     "no faster"},
    {"--fan-lead", kind::mistake, nullptr, &run_options::fan_lead, "T", is_valid_fan_lead,
     "invalid lead", "give seconds from 0 to 10, such as 0.3s", true,
     "start the fan T seconds before each travel ends (0.3s), as\n"
     "firmware plans the moves, splitting a move where the time falls;\n"
     "a travel shorter than T (and --min-travel in seconds) gets no\n"
     "fan lines"},
    {"--help", kind::help, nullptr, nullptr, {}, nullptr, {}, {}, false, "show this text"},
    {"--version", kind::version, nullptr, nullptr, {}, nullptr, {}, {}, false, "show the version"},
};

constexpr std::string_view options_end = "--";

// What the copy beside a file adds to its name, in the dialogue and without
// --in-place.
constexpr std::string_view output_suffix = "_tormel.gcode";
constexpr std::string_view binary_output_suffix = "_tormel.bgcode";

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

// The option `arg` names, alone or as `name=value`; null for none.
const option* find_option(std::string_view arg) {
  for (const option& o : options) {
    const bool joined = o.value != nullptr && arg.size() > o.name.size() &&
                        arg.substr(0, o.name.size()) == o.name && arg[o.name.size()] == '=';
    if (arg == o.name || joined) return &o;
  }
  return nullptr;
}

// Takes the value of `o` from `name=value` or from the next argument, and
// checks it; an empty result when it is taken.
std::string take_value(const option& o, const std::string& arg, int argc, native_char** argv,
                       int& i, run_options& into) {
  const native_char* value = nullptr;
  if (arg.size() > o.name.size()) {
    value = argv[i] + o.name.size() + 1;
  } else if (i + 1 < argc) {
    value = argv[++i];
  }
  if (value == nullptr) return std::string(o.name) + " needs a value";
  into.*o.value = ascii(value);
  if (o.valid(into.*o.value)) return {};
  return std::string(o.refused) + " '" + display_path(value) + "': " + std::string(o.advice);
}

// A dialogue ignores what follows its file, as it always has; an option
// after the file makes the whole a command line, read as if it came first.
bool has_option_after_file(int argc, native_char** argv) {
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '-') return true;
  }
  return false;
}

// One line of the help: the option, then its text from the 16th column.
void add_help(std::string& text, std::string_view label, std::string_view help) {
  constexpr std::size_t column = 15;
  text.append("  ").append(label);
  text.append(label.size() + 2 < column - 1 ? column - 2 - label.size() : 0, ' ');
  if (label.size() + 2 >= column - 1) text.append("\n").append(column, ' ');
  for (std::size_t start = 0; start < help.size();) {
    const std::size_t end = std::min(help.find('\n', start), help.size());
    if (start > 0) text.append(column, ' ');
    text.append(help.substr(start, end - start)).append("\n");
    start = end + 1;
  }
}

}  // namespace

run_request read_command_line(int argc, native_char** argv) {
  run_request request;
  if (argc < 2 || (argv[1][0] != '-' && !has_option_after_file(argc, argv))) {
    if (argc >= 2) request.path = argv[1];
    return request;
  }
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = ascii(argv[i]);
    const option* o = options_ended ? nullptr : find_option(arg);
    if (options_ended || arg.empty() || arg[0] != '-') {
      request.paths.emplace_back(argv[i]);
    } else if (arg == options_end) {
      options_ended = true;
    } else if (o == nullptr) {
      return mistake("unknown option '" + display_path(argv[i]) + "'");
    } else if (o->what != kind::mistake) {
      return just(o->what);
    } else if (o->flag != nullptr) {
      request.options.*o->flag = true;
    } else if (std::string refused = take_value(*o, arg, argc, argv, i, request.options);
               !refused.empty()) {
      return mistake(std::move(refused));
    }
  }
  const bool has_speed = !request.options.speed.empty();
  if (!request.paths.empty()) request.path = request.paths.front();
  if (request.path.empty()) return mistake("no G-code file given");
  if (request.options.in_place && !has_speed) return mistake("--in-place needs --speed");
  request.what = has_speed ? kind::script : kind::dialogue;
  return request;
}

pass_options pass_options_for(const run_options& options, std::string_view speed) {
  pass_options pass;
  pass.speed = speed;
  pass.g1_travel = options.g1_travel;
  if (!options.min_travel.empty())
    read_min_travel(options.min_travel, pass.min_travel, pass.min_seconds);
  if (!options.acceleration.empty()) read_decimal(options.acceleration, pass.acceleration);
  if (!options.firmware.empty()) read_firmware(options.firmware, pass.dialect.name);
  if (!options.fan.empty()) pass.dialect.fan = std::stoi(options.fan);
  pass.dialect.travel_speed = options.travel_speed;
  if (!options.fan_lead.empty()) read_fan_lead(options.fan_lead, pass.fan_lead);
  return pass;
}

std::string noted_options(const run_options& given) {
  std::string noted;
  for (const option& o : options) {
    if (!o.in_note) continue;
    if (o.flag != nullptr && given.*o.flag) noted.append(" ").append(o.name);
    if (o.value != nullptr && !(given.*o.value).empty()) {
      noted.append(" ").append(o.name).append(" ").append(given.*o.value);
    }
  }
  return noted;
}

std::string help_text() {
  std::string text = R"(Usage: tarvix [options] [--] <gcode file>...
       tarvix <gcode file>... [options]

Puts every travel move of a G-code file between M107 (fan off) and
M106 S<speed> (fan on). Without --speed it asks for the speed, echoes every
line it writes, and writes the copy to <gcode file>_tormel.gcode. With
--speed it changes each file in turn, ends each result with a comment that
says so, and leaves a file that ends with such a comment, or a copy the
dialogue made, as it is ("Already changed"). An option given twice takes
its last value.

Options:
)";
  for (const option& o : options) {
    const std::string label =
        std::string(o.name) + (o.value_name.empty() ? "" : " ") + std::string(o.value_name);
    add_help(text, label, o.help);
  }
  add_help(text, options_end, "end of the options, for a file whose name begins with -");
  return text + R"(
Exit status: 0 written, or already changed; 1 a file failed, and the run
says why; 2 a mistake on the command line.
)";
}

native_path make_output_path(const native_path& input_path, bool binary) {
  const std::string_view suffix = binary ? binary_output_suffix : output_suffix;
  return input_path + native_path(suffix.begin(), suffix.end());
}

bool is_output_path(const native_path& path) {
  const auto ends_with = [&path](std::string_view suffix) {
    return path.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), path.end() - suffix.size());
  };
  return ends_with(output_suffix) || ends_with(binary_output_suffix);
}
