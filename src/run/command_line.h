// What the command line asks for. Each option is defined once, in one table
// that gives the parser, the help text and the note a result ends with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pass/line_pass.h"
#include "system/file_io.h"

/// What the user asks of a run, kept apart from what the run does.
struct run_options {
  /// From --speed, which makes the run a script's: no questions, no echo.
  std::string speed;
  bool in_place = false;
  bool g1_travel = false;
  /// From --min-travel and --acceleration, as given; empty without them.
  std::string min_travel;
  std::string acceleration;
  /// From --firmware, --fan and --travel-speed, as given. A run from the
  /// command line puts the print's own firmware in `firmware` where none
  /// is given, and names it there only where its lines are not Marlin's.
  std::string firmware;
  std::string fan;
  std::string travel_speed;
  /// From --fan-lead, as given.
  std::string fan_lead;
};

/// A run as the command line asks for it.
struct run_request {
  enum class kind { dialogue, script, help, version, mistake };
  kind what = kind::dialogue;
  /// The G-code file, the first one named; empty when none was given (the
  /// dialogue then shows its usage). The dialogue takes this one alone.
  native_path path;
  /// Every file named with options, in order: a run from a script changes
  /// each in turn.
  std::vector<native_path> paths;
  run_options options;
  /// What is wrong with the command line, for kind::mistake.
  std::string mistake;
};

/// Reads `tarvix [options] [--] <gcode file>...`, options and files in any
/// order; an option given twice takes its last value. When the first
/// argument does not begin with "-" and none after it does, the run is the
/// dialogue and further arguments are ignored, as they always were.
run_request read_command_line(int argc, native_char** argv);

/// What the pass is to do for `options`, with the fan at `speed`.
pass_options pass_options_for(const run_options& options, std::string_view speed);

/// The options that shaped a result, as its note names them, in the order
/// of the table: " --speed 200 --g1-travel".
std::string noted_options(const run_options& options);

/// What `tarvix --help` prints.
std::string help_text();

/// The input path with "_tormel.gcode" appended, so the copy lies beside it;
/// "_tormel.bgcode" for binary G-code.
native_path make_output_path(const native_path& input_path, bool binary = false);

/// True for a path that make_output_path gives: a copy the dialogue, or for
/// binary G-code an earlier run, may have made.
bool is_output_path(const native_path& path);
