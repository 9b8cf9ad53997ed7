// How each printer firmware names its part-cooling fan and sets its speed,
// and how a print says which firmware it is for.
#pragma once

#include <string>
#include <string_view>

/// The firmware a result is written for.
enum class firmware { marlin, klipper, reprapfirmware, bambu };

/// The firmware `name` stands for: marlin, klipper, reprapfirmware (or rrf)
/// or bambu. False for any other name.
bool read_firmware(std::string_view name, firmware& named);

/// The name a note gives the firmware.
std::string_view firmware_name(firmware which);

/// The fan lines of a result, as the options ask for them.
struct fan_dialect {
  firmware name = firmware::marlin;
  /// The part-cooling fan, named in the lines; below 0 the firmware's own
  /// part fan, named in none.
  int fan = -1;
  /// The speed the fan slows to during a travel, as given; empty: it stops.
  std::string_view travel_speed;
};

/// The fan a command with no P word addresses: Bambu printers' part fan is
/// fan 1, every other firmware's fan 0.
int default_fan(firmware which);

/// The fan whose commands a print's own speed is taken from.
inline int part_fan(const fan_dialect& dialect) {
  return dialect.fan >= 0 ? dialect.fan : default_fan(dialect.name);
}

/// The line that slows or stops the fan for a travel: "M107", "M107 P1",
/// "M106 S0", "M106 P1 S90".
std::string fan_off_line(const fan_dialect& dialect);

/// What a fan-on line begins with, the speed to follow: "M106 S", "M106 P1 S".
std::string fan_on_prefix(const fan_dialect& dialect);

/// A speed from 0 to 255 as the firmware reads it: RepRapFirmware takes 1
/// or less for a fraction of full speed, so "1" is written "0.0039".
std::string written_speed(const fan_dialect& dialect, std::string_view speed);

/// How fast a speed the print wrote runs the fan, from 0 to 255; on
/// RepRapFirmware 1 or less is a fraction. Below 0 for one it cannot read.
double fan_level(const fan_dialect& dialect, std::string_view speed);

/// What a print's settings say of its firmware, gathered from its lines.
struct firmware_clues {
  bool named = false;  // a flavour line was found
  firmware flavour = firmware::marlin;
  bool bambu = false;  // a Bambu Lab printer, whatever the flavour says
};

/// Reads the settings lines among the whole lines of `text`:
/// "; gcode_flavor = klipper",
/// "; printer_model = Bambu Lab X1 Carbon", ";FLAVOR:RepRap". Binary
/// G-code's metadata writes them without the ";" (`comments` false). A
/// later flavour line counts over an earlier one.
void read_settings(std::string_view text, bool comments, firmware_clues& clues);

/// The firmware the clues name: marlin where they name none.
firmware named_firmware(const firmware_clues& clues);
