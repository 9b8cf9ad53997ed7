// What the command line asks for.
#pragma once

#include <string>
#include <string_view>

#include "file_io.h"
#include "line_pass.h"

/// A run as the command line asks for it.
struct run_request {
  enum class kind { dialogue, script, help, version, mistake };
  kind what = kind::dialogue;
  /// The G-code file; empty when none was given (the dialogue then shows
  /// its usage).
  native_path path;
  /// From --speed, which makes the run a script's: no questions, no echo.
  std::string speed;
  bool in_place = false;
  bool g1_travel = false;
  /// From --min-travel, as given; empty without it.
  std::string min_travel;
  /// What is wrong with the command line, for kind::mistake.
  std::string mistake;
};

/// Reads `tarvix [options] [--] <gcode file>`, or the file first with
/// options after it. When the first argument does not begin with "-" and
/// none after it does, the run is the dialogue and further arguments are
/// ignored, as they always were.
run_request read_command_line(int argc, native_char** argv);

/// What the pass is to do for `request`, with the fan at `speed`.
pass_options pass_options_for(const run_request& request, std::string_view speed);

/// What `tarvix --help` prints.
std::string_view help_text();

/// The input path with "_tormel.gcode" appended, so the copy lies beside it.
native_path make_output_path(const native_path& input_path);
