// What a command line asks for, each option's form and refusal, the speeds
// taken, and the note that names the options that shaped a result.
#include "run/command_line.h"

#include <string>
#include <vector>

#include "check.h"
#include "gcode/line_rules.h"

namespace {

struct row {
  std::vector<std::string> args;
  std::string wanted;  // as described below
};

std::string bad_length(const std::string& value) {
  return "mistake: invalid length '" + value +
         "': give millimetres or seconds, such as 2, 12.5mm or 0.5s";
}

const row rows[] = {
    {{}, "dialogue ''"},
    {{"a.gcode", "b.gcode"}, "dialogue 'a.gcode'"},
    {{"--g1-travel", "a.gcode", "b.gcode"}, "dialogue 'a.gcode' 'b.gcode' g1"},
    {{"a.gcode", "--min-travel", "0"}, "dialogue 'a.gcode' min=0"},
    {{"--speed", "200", "a.gcode"}, "script 'a.gcode' speed=200"},
    {{"a.gcode", "--in-place", "--speed=keep", "--g1-travel", "--min-travel=12.5"},
     "script 'a.gcode' speed=keep in-place g1 min=12.5"},
    {{"--speed=200", "--", "-a.gcode"}, "script '-a.gcode' speed=200"},
    {{"--speed=200", "--", "a.gcode", "--help"}, "script 'a.gcode' '--help' speed=200"},
    {{"a.gcode", "--version", "--fast"}, "version ''"},
    {{"--help", "a.gcode"}, "help ''"},
    {{"--fast", "a.gcode"}, "mistake: unknown option '--fast'"},
    {{"a.gcode", "-f"}, "mistake: unknown option '-f'"},
    {{"--in-place=1", "a.gcode"}, "mistake: unknown option '--in-place=1'"},
    {{"--speed"}, "mistake: --speed needs a value"},
    {{"a.gcode", "--min-travel"}, "mistake: --min-travel needs a value"},
    {{"--speed=", "a.gcode"}, "mistake: invalid speed '': give a number from 0 to 255, or keep"},
    {{"--speed", "256", "a.gcode"},
     "mistake: invalid speed '256': give a number from 0 to 255, or keep"},
    {{"--speed=200"}, "mistake: no G-code file given"},
    {{"--in-place", "a.gcode"}, "mistake: --in-place needs --speed"},
    {{"--speed=1", "a.gcode", "b.gcode", "--speed", "200"}, "script 'a.gcode' 'b.gcode' speed=200"},
    {{"--min-travel=2mm", "a.gcode"}, "dialogue 'a.gcode' min=2mm"},
    {{"--min-travel=.5s", "--acceleration", "1500.5", "a.gcode"},
     "dialogue 'a.gcode' min=.5s accel=1500.5"},
    {{"--min-travel=2ms", "a.gcode"}, bad_length("2ms")},
    {{"--min-travel=s", "a.gcode"}, bad_length("s")},
    {{"--min-travel=-1s", "a.gcode"}, bad_length("-1s")},
    {{"--acceleration=0", "a.gcode"},
     "mistake: invalid acceleration '0': give mm/s^2, such as 1000"},
    {{"--min-travel", "+2", "a.gcode"}, bad_length("+2")},
    {{"--min-travel=-1", "a.gcode"}, bad_length("-1")},
    {{"--min-travel=1e3", "a.gcode"}, bad_length("1e3")},
    {{"--speed=keep", "--firmware", "rrf", "--fan=15", "--travel-speed", "50.5", "a.gcode"},
     "script 'a.gcode' speed=keep firmware=rrf fan=15 travel=50.5"},
    {{"--fan-lead=0.3s", "a.gcode", "--fan-lead", "10"}, "dialogue 'a.gcode' lead=10"},
    {{"--fan-lead=-0.3", "a.gcode"},
     "mistake: invalid lead '-0.3': give seconds from 0 to 10, such as 0.3s"},
    {{"--fan-lead=s", "a.gcode"},
     "mistake: invalid lead 's': give seconds from 0 to 10, such as 0.3s"},
    {{"--fan-lead=10.5", "a.gcode"},
     "mistake: invalid lead '10.5': give seconds from 0 to 10, such as 0.3s"},
    {{"--firmware=duet", "a.gcode"},
     "mistake: unknown firmware 'duet': give marlin, klipper, reprapfirmware (or rrf) or bambu"},
    {{"--fan=16", "a.gcode"}, "mistake: invalid fan '16': give a whole number from 0 to 15"},
    {{"--fan", "-1", "a.gcode"}, "mistake: invalid fan '-1': give a whole number from 0 to 15"},
    {{"--fan=1.0", "a.gcode"}, "mistake: invalid fan '1.0': give a whole number from 0 to 15"},
    {{"--fan=", "a.gcode"}, "mistake: invalid fan '': give a whole number from 0 to 15"},
    {{"--travel-speed=keep", "a.gcode"},
     "mistake: invalid speed 'keep': give a number from 0 to 255"},
    {{"--travel-speed=256", "a.gcode"},
     "mistake: invalid speed '256': give a number from 0 to 255"},
    {{"--min-travel=" + std::string(31, '0') + "2", "a.gcode"},
     "dialogue 'a.gcode' min=" + std::string(31, '0') + "2"},
    {{"--min-travel=" + std::string(32, '0') + "2", "a.gcode"},
     bad_length(std::string(32, '0') + "2")},
};

std::string describe(const run_request& r) {
  const char* kinds[] = {"dialogue", "script", "help", "version", "mistake"};
  std::string text = kinds[static_cast<int>(r.what)];
  if (r.what == run_request::kind::mistake) return text + ": " + r.mistake;
  text += " '" + display_path(r.path) + "'";
  for (std::size_t i = 1; i < r.paths.size(); ++i) text += " '" + display_path(r.paths[i]) + "'";
  const run_options& o = r.options;
  if (!o.speed.empty()) text += " speed=" + o.speed;
  if (o.in_place) text += " in-place";
  if (o.g1_travel) text += " g1";
  if (!o.min_travel.empty()) text += " min=" + o.min_travel;
  if (!o.acceleration.empty()) text += " accel=" + o.acceleration;
  if (!o.firmware.empty()) text += " firmware=" + o.firmware;
  if (!o.fan.empty()) text += " fan=" + o.fan;
  if (!o.travel_speed.empty()) text += " travel=" + o.travel_speed;
  if (!o.fan_lead.empty()) text += " lead=" + o.fan_lead;
  return text;
}

}  // namespace

int main() {
  for (const row& r : rows) {
    std::vector<native_path> args{native_path(1, 't')};
    for (const std::string& arg : r.args) args.emplace_back(arg.begin(), arg.end());
    std::vector<native_char*> argv;
    for (native_path& arg : args) argv.push_back(arg.data());
    const std::string got = describe(read_command_line(static_cast<int>(argv.size()), argv.data()));
    check(got == r.wanted, "got " + got + ", wanted " + r.wanted);
  }
  run_options all;
  all.speed = "keep";
  all.in_place = all.g1_travel = true;
  all.min_travel = "0.5s";
  all.acceleration = "800";
  all.firmware = "bambu";
  all.fan = "2";
  all.travel_speed = "50";
  check(noted_options(all) ==
            " --speed keep --g1-travel --min-travel 0.5s --acceleration 800"
            " --firmware bambu --fan 2 --travel-speed 50",
        "the note's options");
  for (const char* speed :
       {"fast", "-1", "256", "255.5", "1e2", "S200", "12.", "000000255", "", " 200", "keep "}) {
    check(!is_valid_speed(speed), std::string("refuses speed '") + speed + "'");
  }
  for (const char* speed : {"0", "255", "255.000", "127.5", "080", "00000255", "keep"}) {
    check(is_valid_speed(speed), std::string("takes speed '") + speed + "'");
  }
  return test_status("command_line");
}
