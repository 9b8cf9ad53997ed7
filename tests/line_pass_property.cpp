// Checks the line pass against a plain model of it on any bytes, from a file
// and through a pipe, with each of its options, at block sizes small enough
// that every line, marker, word and CR LF meets a block boundary somewhere.
// Replays the files named on the command line (the fuzz seed corpus) and
// inputs drawn from a fixed seed; with TARVIX_LIBFUZZER it is the libFuzzer
// target instead.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "line_pass.h"

namespace {

int file_holding(const std::string& bytes, bool through_pipe) {
  int ends[2];
  const bool made =
      through_pipe ? pipe(ends) == 0 : (ends[0] = ends[1] = memfd_create("pass", 0)) >= 0;
  if (!made || !write_all(ends[1], bytes.data(), bytes.size())) std::abort();
  if (through_pipe) close(ends[1]);
  lseek(ends[0], 0, SEEK_SET);  // a pipe has nothing to rewind
  return ends[0];
}

std::string contents(int fd) {
  std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
  close(fd);
  return bytes;
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

// The pass the plain way: lines end at LF, a CR before it belongs to the line
// end, and a last line without LF ends like the one before it (or with LF).
// Each line ends with its own line end, or with `line_end` when one is given.
std::string model(const std::string& input, const std::string& line_end, const pass_options& o) {
  const bool keep = o.speed == "keep";
  std::string out, end = "\n", fan = keep ? "" : std::string(o.speed);
  bool fan_on = !keep;
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
    if (keep && (first == "M106" || first == "M107") && !has(words, "P", true)) {
      std::string speed = "S255";
      for (std::size_t i = words.size(); i-- > 1;) speed = words[i][0] == 'S' ? words[i] : speed;
      fan_on = first == "M106" && !is_zero(speed) && speed.size() <= 33;
      fan = fan_on ? speed.substr(1) : "";
    }
    const std::string& ends_with = line_end.empty() ? end : line_end;
    if (travel && fan_on) out += "M107" + ends_with;
    out += text + ends_with;
    if (travel && fan_on) out += "M106 S" + fan + ends_with;
    start = feed + 1;
  }
  return out;
}

void check(const std::string& input, const pass_options& options, bool through_pipe) {
  const int in = file_holding(input, through_pipe);
  const int out = file_holding("", false);
  const int echo = file_holding("", false);
  const bool complete = run_line_pass({in, out, echo}, options) == pass_result::complete;
  close(in);
  const std::string echoed =
      options.echo ? model(input, std::string(console_line_end()), options) : "";
  if (!complete || contents(out) != model(input, "", options) || contents(echo) != echoed) {
    std::fprintf(stderr, "wrong pass with %zu-byte blocks from a %s on %zu bytes (%s%s%s)\n",
                 options.block_size, through_pipe ? "pipe" : "file", input.size(),
                 options.g1_travel ? "G1, " : "", std::string(options.speed).c_str(),
                 options.echo ? ", echo" : "");
    std::abort();
  }
}

// The options the first byte of a fuzz input or a seed asks for.
pass_options options_for(unsigned char bits, std::size_t block) {
  pass_options options;
  options.speed = bits & 1 ? "keep" : "200";
  options.g1_travel = bits & 2;
  options.echo = !(bits & 4);
  options.block_size = block;
  return options;
}

}  // namespace

// The first byte chooses the block size (0: the default) and, with its top
// bit, a pipe; the second the options; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 2 || ((data[0] & 0x80) && size > 60000)) return 0;  // a pipe holds 64 KiB
  const std::size_t block = data[0] & 0x7f;
  check(std::string(reinterpret_cast<const char*>(data) + 2, size - 2),
        options_for(data[1], block == 0 ? default_block_size : block), data[0] & 0x80);
  return 0;
}

#ifndef TARVIX_LIBFUZZER
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
  // Lines of G-code words, their separators, comments and line ends drawn at
  // random, with a stray byte now and then.
  std::mt19937 random(20261206);
  const std::vector<std::vector<std::string>> parts = {
      {"G1", "G1", "G1", "G0", "M106", "M106", "M107", "G10", "G1X1", "", " G1", "M1060", " M106",
       "\tM107"},
      {" ", " ", "\t", "  ", ";"},
      {"X1",
       "Y2.5",
       "Z0.4",
       "E0",
       "E0.0",
       "E-0.",
       "+E0",
       "E1",
       "E-0.8",
       "E",
       "E.",
       "F1800",
       "S0",
       "S127.5",
       "S",
       "S00.0",
       "P0",
       "P1",
       "P-0",
       "G0",
       "x",
       std::string(1, '\0'),
       "\r",
       "E0-",
       "YE1",
       "E.0.",
       "S" + std::string(31, '1') + "2",
       "S" + std::string(32, '1') + "3"},
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
  for (const std::string& input : inputs) {  // the fuzzer's first two bytes, then the file
    for (std::size_t block = min_block_size; block <= 40; ++block) {
      check(input.substr(2), options_for(input[1], block), false);
      check(input.substr(2), options_for(input[1], block), true);
    }
  }
  if (rmdir(spool_folder) != 0) {
    std::fprintf(stderr, "spool files left in %s\n", spool_folder);
    return 1;
  }
  std::printf("%zu inputs passed at block sizes %zu to 40, from a file and a pipe\n", inputs.size(),
              min_block_size);
}
#endif
