#include "gcode/fan_dialect.h"

#include <algorithm>
#include <cstdio>

#include "gcode/line_rules.h"
#include "gcode/move_words.h"

namespace {

struct firmware_entry {
  std::string_view name;
  firmware which;
};

// The names --firmware takes, each firmware's own name first.
constexpr firmware_entry firmwares[] = {{"marlin", firmware::marlin},
                                        {"klipper", firmware::klipper},
                                        {"reprapfirmware", firmware::reprapfirmware},
                                        {"bambu", firmware::bambu},
                                        {"rrf", firmware::reprapfirmware}};

// Marlin and Klipper stop a fan with M107; RepRapFirmware has deprecated it,
// and Bambu printers are never sent it by their own slicer.
bool stops_with_m107(firmware which) {
  return which == firmware::marlin || which == firmware::klipper;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_white_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
  return text;
}

// One settings line: its key and value, around `separator`.
bool read_setting(std::string_view line, bool comment, char separator, std::string_view& key,
                  std::string_view& value) {
  line = trimmed(line);
  if (comment) {
    if (line.empty() || line.front() != ';') return false;
    line.remove_prefix(1);
  }
  const std::size_t at = line.find(separator);
  if (at == std::string_view::npos) return false;
  key = trimmed(line.substr(0, at));
  value = trimmed(line.substr(at + 1));
  return true;
}

// What one line says, if anything. PrusaSlicer's "reprap", "marlin" and
// "marlin2", and every flavour not named here, write as Marlin does.
void read_setting_line(std::string_view line, bool comments, firmware_clues& clues) {
  std::string_view key, value;
  if (read_setting(line, comments, '=', key, value) && key == "gcode_flavor") {
    clues.named = true;
    clues.flavour = value == "klipper"          ? firmware::klipper
                    : value == "reprapfirmware" ? firmware::reprapfirmware
                                                : firmware::marlin;
  } else if (read_setting(line, comments, '=', key, value) && key == "printer_model") {
    clues.bambu = clues.bambu || value.substr(0, 9) == "Bambu Lab";
  } else if (comments && read_setting(line, comments, ':', key, value) && key == "FLAVOR") {
    clues.named = true;
    clues.flavour = value == "RepRap" ? firmware::reprapfirmware : firmware::marlin;
  }
}

}  // namespace

bool read_firmware(std::string_view name, firmware& named) {
  for (const firmware_entry& entry : firmwares) {
    if (entry.name == name) {
      named = entry.which;
      return true;
    }
  }
  return false;
}

std::string_view firmware_name(firmware which) {
  for (const firmware_entry& entry : firmwares) {
    if (entry.which == which) return entry.name;
  }
  return {};
}

int default_fan(firmware which) { return which == firmware::bambu ? 1 : 0; }

std::string fan_off_line(const fan_dialect& d) {
  double slowed = 0;
  if (!d.travel_speed.empty() && read_decimal(d.travel_speed, slowed) && slowed > 0) {
    return fan_on_prefix(d) + written_speed(d, d.travel_speed);
  }
  if (!stops_with_m107(d.name)) return fan_on_prefix(d) + "0";
  return d.fan >= 0 ? "M107 P" + std::to_string(d.fan) : "M107";
}

std::string fan_on_prefix(const fan_dialect& d) {
  return d.fan >= 0 ? "M106 P" + std::to_string(d.fan) + " S" : "M106 S";
}

std::string written_speed(const fan_dialect& d, std::string_view speed) {
  double value = 0;
  if (d.name != firmware::reprapfirmware || !read_decimal(speed, value) || value <= 0 ||
      value > 1) {
    return std::string(speed);
  }
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, "%.4f", value / 255);
  return fraction;
}

double fan_level(const fan_dialect& d, std::string_view speed) {
  double value = 0;
  if (!read_decimal(speed, value)) return -1;
  return d.name == firmware::reprapfirmware && value <= 1 ? value * 255 : value;
}

void read_settings(std::string_view text, bool comments, firmware_clues& clues) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    read_setting_line(text.substr(start, end - start), comments, clues);
    start = end + 1;
  }
}

firmware named_firmware(const firmware_clues& clues) {
  if (clues.bambu) return firmware::bambu;
  return clues.named ? clues.flavour : firmware::marlin;
}
