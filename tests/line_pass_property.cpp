// The line pass against a plain model of it on any bytes, from a file and a
// pipe, with each option, at block sizes small enough that every line, marker,
// word and CR LF meets a block boundary: the fuzz seeds named on the command
// line and inputs drawn from a fixed seed (TARVIX_LIBFUZZER: the fuzz target).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "pass/line_pass.h"

namespace {

io_handle file_holding(const std::string& bytes, bool through_pipe) {
  if (!through_pipe) return spool_holding(bytes);
  int ends[2];
  if (pipe(ends) != 0 || !write_all(ends[1], bytes.data(), bytes.size())) std::abort();
  close(ends[1]);
  return ends[0];
}

// The words before any ';', split at blanks and tabs.
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text.substr(0, text.find(';')) + ' ') {
    if (c != ' ' && c != '\t') word += c;
    if ((c == ' ' || c == '\t') && !word.empty()) words.push_back(std::move(word)), word.clear();
  }
  return words;
}

bool is_zero(const std::string& word) {  // the value after the letter
  const std::string value = word.substr(word[1] == '+' || word[1] == '-' ? 2 : 1);
  const std::size_t dot = value.find('.');
  return value.find_first_not_of("0.") == std::string::npos && value.find('0') != value.npos &&
         (dot == value.npos || value.find('.', dot + 1) == value.npos);
}

bool has(const std::vector<std::string>& words, const std::string& letters, bool nonzero) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (letters.find(words[i][0]) != letters.npos && (!nonzero || !is_zero(words[i]))) return true;
  }
  return false;
}

// Where the nozzle is in X and Y (0 and 1), the plain way.
struct place {
  double at[2] = {0, 0};
  bool known[2] = {false, false};
  bool relative = false, inches = false;
};

bool number(const std::string& text, double& value) {
  const std::size_t body = text.find_first_not_of("+-") == 1 ? 1 : 0;
  if (text.size() > 32 || text.find_first_not_of("+-.0123456789") != std::string::npos ||
      text.find_first_of("+-", body) != std::string::npos ||
      std::count(text.begin(), text.end(), '.') > 1 ||
      text.find_first_of("0123456789") == std::string::npos) {
    return false;
  }
  value = std::strtod(text.c_str(), nullptr);
  return true;
}

struct line {
  std::string text, end;
  bool travel = false, ends_travel = false, fan_on = false, known = true;
  double distance = 0;
  std::string fan;
};

// Follows the nozzle through a line's words, the part before ";"; true when the line moves it in X
// or Y, or may: a G command it cannot read or does not know, G28, a first word cut at 256.
bool follow(place& p, const std::vector<std::string>& words, const std::string& part, line& l) {
  const std::size_t size = part.size(), first = part.find_first_not_of(" \t");
  if (size > 256 && (first >= 256 || part.find_first_of(" \t", first) >= 256)) {
    p.known[0] = p.known[1] = false;
    return true;
  }
  const std::string g = words.empty() ? "" : words[0];
  const int n = g.size() >= 2 && g.size() <= 4 && g[0] == 'G' &&
                        g.find_first_not_of("0123456789", 1) == std::string::npos
                    ? std::stoi(g.substr(1))
                    : -1;
  if (g.empty() || (g[0] != 'G' && g[0] != 'g') || n == 4 || n == 10 || n == 11) return false;
  if (n == 20 || n == 21 || n == 90 || n == 91) {
    (n < 90 ? p.inches : p.relative) = n == 20 || n == 91;
    return false;
  }
  double to[2] = {p.at[0], p.at[1]};
  bool named[2] = {false, false}, readable = size <= 256;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const int axis = std::string("XYxy").find(words[i][0]);
    if (axis >= 2) readable = false;
    if (axis < 0 || axis >= 2) continue;
    double value = 0;
    readable = readable && !named[axis] && number(words[i].substr(1), value);
    named[axis] = true;
    to[axis] = (p.relative && n <= 3 ? p.at[axis] : 0) + value * (p.inches ? 25.4 : 1);
  }
  const double from[2] = {p.at[0], p.at[1]};
  for (int axis = 0; axis < 2; ++axis) {
    const bool set = readable && named[axis] && (n <= 3 || n == 92) && n >= 0;
    if (set) p.at[axis] = to[axis];
    if (set && !(p.relative && n <= 3)) p.known[axis] = true;
    const bool homed = n == 28 && (named[axis] || !(named[0] || named[1]));
    // Homing needs no value: G28 X forgets X alone.
    if ((!readable && (n != 28 || size > 256)) || n < 0 || homed || (n > 3 && n != 28 && n != 92) ||
        (n == 92 && words.size() == 1)) {
      p.known[axis] = false;
    }
  }
  const double dx = p.at[0] - from[0], dy = p.at[1] - from[1];
  l.distance = n >= 0 && n <= 3 ? std::sqrt(dx * dx + dy * dy) : 0;
  if (size > 256 || n < 0 || n == 28 || (n > 3 && n != 92)) return true;
  return n <= 3 && (named[0] || named[1] || n >= 2 || !readable);
}

// The pass the plain way: lines end at LF, a CR before it belongs to the line
// end, and a last line without LF ends like the one before it (or with LF).
// Each line ends with its own line end, or with `line_end` when one is given.
std::string model(const std::string& input, const std::string& line_end, const pass_options& o) {
  const bool keep = o.speed == "keep";
  std::string out, end = "\n", fan = keep ? "" : std::string(o.speed);
  bool fan_on = !keep;
  place nozzle;
  std::vector<line> lines;
  for (std::size_t start = 0; start < input.size();) {
    const std::size_t feed = std::min(input.find('\n', start), input.size());
    std::string text = input.substr(start, feed - start);
    if (feed < input.size()) end = text.empty() || text.back() != '\r' ? "\n" : "\r\n";
    if (feed < input.size() && end.size() == 2) text.pop_back();
    const auto words = words_of(text);
    const std::string first = words.empty() ? "" : words[0];
    const bool travel =
        text.find("G0 ") != std::string::npos ||
        (o.g1_travel && first == "G1" && has(words, "XY", false) && !has(words, "E", true));
    line& l = lines.emplace_back();
    const bool sets_fan = (first == "M106" || first == "M107") && !has(words, "P", true);
    if (keep && sets_fan) {
      std::string speed = "S255";
      for (std::size_t i = words.size(); i-- > 1;) speed = words[i][0] == 'S' ? words[i] : speed;
      fan_on = first == "M106" && !is_zero(speed) && speed.size() <= 33;
      fan = fan_on ? speed.substr(1) : "";
    }
    const place before = nozzle;
    const bool moves = follow(nozzle, words, text.substr(0, text.find(';')), l);
    l.known = before.known[0] && before.known[1] && nozzle.known[0] && nozzle.known[1];
    l.text = text, l.end = line_end.empty() ? end : line_end, l.fan = fan, l.fan_on = fan_on;
    l.travel = travel && fan_on;
    l.ends_travel = sets_fan || (moves && !travel);
    start = feed + 1;
  }
  // A travel runs from a travel move to the last before a line that ends it.
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t last = i;
    double length = 0;
    bool known = true;
    for (std::size_t j = i;
         j < lines.size() && lines[i].travel && (j == i || !lines[j].ends_travel); ++j) {
      if (lines[j].travel) last = j, length += lines[j].distance, known = known && lines[j].known;
      if (o.min_travel < 0) break;
    }
    const bool fan_lines = lines[i].travel && (!known || length >= o.min_travel - 1e-6);
    if (fan_lines) out += "M107" + lines[i].end;
    for (; i <= last; ++i) out += lines[i].text + lines[i].end;
    if (fan_lines) out += "M106 S" + lines[last].fan + lines[last].end;
  }
  return out;
}

void check(const std::string& input, const pass_options& options, bool through_pipe) {
  const io_handle in = file_holding(input, through_pipe);
  const io_handle out = file_holding("", false);
  const io_handle echo = file_holding("", false);
  const bool complete = run_line_pass({in, out, echo}, options) == pass_result::complete;
  close_file(in);
  const std::string echoed =
      options.echo ? model(input, std::string(console_line_end()), options) : "";
  if (!complete || contents(out) != model(input, "", options) || contents(echo) != echoed) {
    std::fprintf(stderr, "wrong pass with %zu-byte blocks from a %s on %zu bytes (%s%s%s, %g)\n",
                 options.block_size, through_pipe ? "pipe" : "file", input.size(),
                 options.g1_travel ? "G1, " : "", std::string(options.speed).c_str(),
                 options.echo ? ", echo" : "", options.min_travel);
    std::abort();
  }
}

// The text lines of `bytes`, without their line ends or any CR at their
// end: the last line's CR becomes its line end when a line follows it.
std::vector<std::string> text_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = std::min(bytes.find('\n', start), bytes.size());
    const std::size_t next = end + 1;
    while (end > start && bytes[end - 1] == '\r') --end;
    lines.push_back(bytes.substr(start, end - start));
    start = next;
  }
  return lines;
}

// With a fan lead, the result less its fan lines, each split move joined
// back, is the input: a first part stands before a fan-on line, and in
// relative mode the rest after it, whose numbers add up to the move's.
void check_lead(const std::string& input, pass_options options) {
  const int in = file_holding(input, false), out = file_holding("", false);
  options.fan_lead = 0.05 + (input.size() % 3) * 0.2;
  options.echo = false;
  if (run_line_pass({in, out, no_file}, options) != pass_result::complete) std::abort();
  close(in);
  const std::vector<std::string> given = text_lines(input), got = text_lines(contents(out));
  const auto fan = [](const std::string& l) { return l == "M107" || l.rfind("M106 S", 0) == 0; };
  std::size_t i = 0;
  for (std::size_t j = 0; j < got.size(); ++j) {
    if (i < given.size() && got[j] == given[i]) {
      ++i;
    } else if (!fan(got[j]) && i < given.size() && j + 2 < got.size() && fan(got[j + 1])) {
      const bool relative = got[j + 2] != given[i];
      const std::vector<std::string> whole = words_of(given[i]), first = words_of(got[j]);
      const std::vector<std::string> rest = words_of(got[j + (relative ? 2 : 0)]);
      bool adds_up = whole.size() == first.size() && rest.size() == whole.size();
      for (std::size_t w = 0; adds_up && w < whole.size(); ++w) {
        const bool axis = relative && w > 0 && whole[w][0] != 'F';
        adds_up = whole[w][0] == first[w][0] &&
                  (!axis || std::fabs(std::strtod(first[w].substr(1).c_str(), nullptr) +
                                      std::strtod(rest[w].substr(1).c_str(), nullptr) -
                                      std::strtod(whole[w].substr(1).c_str(), nullptr)) < 1e-9);
      }
      if (!adds_up) break;
      j += relative ? 2 : 1;  // the fan-on line, and the rest in relative mode
      i += relative;
    } else if (!fan(got[j])) {
      break;
    }
  }
  if (i != given.size()) {
    std::fprintf(stderr, "with a lead the result is not the input, at its line %zu:\n%s\n", i,
                 input.c_str());
    std::abort();
  }
}

// The options the first byte of a fuzz input or a seed asks for.
pass_options options_for(unsigned char bits, std::size_t block) {
  pass_options options;
  options.speed = bits & 1 ? "keep" : "200";
  options.g1_travel = bits & 2;
  options.echo = !(bits & 4);
  const double lengths[] = {0, 0.5, 1, 2, 3, 5, 10, 1000};
  options.min_travel = bits & 8 ? lengths[bits >> 5] : -1;
  options.block_size = block;
  return options;
}

}  // namespace

// The first byte chooses the block size (0: the default) and, with its top
// bit, a pipe; the second the options; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 2 || ((data[0] & 0x80) && size > 60000)) return 0;  // a pipe holds 64 KiB
  const std::size_t block = data[0] & 0x7f;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
  check(input, options_for(data[1], block == 0 ? default_block_size : block), data[0] & 0x80);
  check_lead(input, options_for(data[1], default_block_size));
  return 0;
}

#ifndef TARVIX_LIBFUZZER
namespace {

// The words of a table written as one text, each apart from the next by "|".
std::vector<std::string> words_of_table(const std::string& table) {
  std::vector<std::string> words;
  std::istringstream in(table);
  for (std::string word; std::getline(in, word, '|');) words.push_back(word);
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  // Long lines from a pipe go through spool files, none of which may stay.
  char spool_folder[] = "/tmp/line_pass_property-XXXXXX";
  if (mkdtemp(spool_folder) == nullptr || setenv("TMPDIR", spool_folder, 1) != 0) std::abort();
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    inputs.back().resize(std::max<std::size_t>(inputs.back().size(), 2));
  }
  // Words, separators, comments and line ends at random, a stray byte now and then.
  std::mt19937 random(20261206);
  const std::vector<std::vector<std::string>> parts = {
      words_of_table("G1|G1|G1|G0|M106|M106|M107|G10|G1X1|| G1|M1060| M106|\tM107|G0|G00|G2|G3|G28|"
                     "G90|G91|G92|G20|G21|G4|g1|G29"),
      {" ", " ", "\t", "  ", ";"},
      words_of_table(
          "X1|Y2.5|Z0.4|E0|E0.0|E-0.|+E0|E1|E-0.8|E|E.|F1800|S0|S127.5|S|S00.0|P0|P1|P-0|G0|x|"
          "\r|E0-|X-1.5|X.5|Y+3|X10.|Y1e3|X|x1|Y4|X3|X-|YE1|E.0.|" +
          std::string(1, '\0') + "|S" + std::string(31, '1') + "2|S" + std::string(32, '1') + "3"),
      {"\n", "\r\n", "\n", "\r\n", ""}};
  auto pick = [&](std::size_t kind) { return parts[kind][random() % parts[kind].size()]; };
  while (inputs.size() < 300) {
    std::string& input = inputs.emplace_back(2, static_cast<char>(inputs.size()));
    for (auto lines = random() % 24; lines > 0; --lines) {
      input += pick(0);
      for (auto words = random() % 5; words > 0; --words) input += pick(1) + pick(2);
      input += pick(3);
    }
  }
  // Prints on a small grid, for travels whose lengths meet the thresholds
  // exactly (3, 4, 5), with all that may join, end or go round them.
  std::vector<std::string> moves = words_of_table(
      "G0 X%d Y%d|G0 X%d|G1 X%d Y%d E1|G1 E-1|G0 Z1|G1 X%d Y%d|M106 S1%d|M107|G91|G90|G92 X%d Y%d|"
      "G20|G21|G28 X|G3 X%d Y%d I1|;G0 X%d|G1 Y%d F1800|G0 X%d Y%d ; G0 X%d Y%d|G92|G0 X%d.5 Y-%d|"
      "G1 X.%d Y%d E1|G1 X%d X%d|G0 x%d|G1 X%d E1|G1X%dY%dE1");
  moves.push_back("G1" + std::string(255, ' ') + "Y%d");
  moves.push_back(std::string(255, ' ') + "G1 X%d E1");
  while (inputs.size() < 450) {
    std::string& input = inputs.emplace_back(2, static_cast<char>(8 | (random() & 0xf7)));
    for (auto lines = random() % 30; lines > 0; --lines) {
      char text[320];
      std::snprintf(text, sizeof text, moves[random() % moves.size()].c_str(),
                    static_cast<int>(random() % 6), static_cast<int>(random() % 6));
      input += text + std::string(random() % 4 ? "\n" : "\r\n");
    }
  }
  for (const std::string& input : inputs) {  // the fuzzer's first two bytes, then the file
    for (std::size_t block = min_block_size; block <= 41; ++block) {
      const std::size_t size = block == 41 ? default_block_size : block;  // whole runs of lines
      check(input.substr(2), options_for(input[1], size), false);
      check(input.substr(2), options_for(input[1], size), true);
    }
    check_lead(input.substr(2), options_for(input[1], default_block_size));
  }
  if (rmdir(spool_folder) != 0) {
    std::fprintf(stderr, "spool files left in %s\n", spool_folder);
    return 1;
  }
  std::printf("%zu inputs passed at block sizes %zu to 40 and %zu, from a file and a pipe\n",
              inputs.size(), min_block_size, default_block_size);
}
#endif
