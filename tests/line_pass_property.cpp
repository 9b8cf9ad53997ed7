// Checks the line pass against a plain model of it on any bytes, from a file
// and through a pipe, at block sizes small enough that every line, marker and
// CR LF meets a block boundary somewhere. Replays the files named on the
// command line (the fuzz seed corpus) and inputs drawn from a fixed seed; with
// TARVIX_LIBFUZZER it is the libFuzzer target instead.
#include <sys/mman.h>
#include <unistd.h>

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

// The pass the plain way: lines end at LF, a CR before it belongs to the line
// end, and a last line without LF ends like the one before it (or with LF).
// Each line ends with its own line end, or with `line_end` when one is given.
std::string model(const std::string& input, const std::string& line_end) {
  std::string out, end = "\n";
  for (std::size_t start = 0; start < input.size();) {
    const std::size_t feed = std::min(input.find('\n', start), input.size());
    std::string text = input.substr(start, feed - start);
    if (feed < input.size()) end = text.empty() || text.back() != '\r' ? "\n" : "\r\n";
    if (feed < input.size() && end.size() == 2) text.pop_back();
    const bool travel = text.find("G0 ") != std::string::npos;
    const std::string& ends_with = line_end.empty() ? end : line_end;
    if (travel) out += "M107" + ends_with;
    out += text + ends_with;
    if (travel) out += "M106 S200" + ends_with;
    start = feed + 1;
  }
  return out;
}

void check(const std::string& input, std::size_t block, bool through_pipe) {
  const int in = file_holding(input, through_pipe);
  const int out = file_holding("", false);
  const int echo = file_holding("", false);
  const bool complete = run_line_pass({in, out, echo}, "200", block) == pass_result::complete;
  close(in);
  if (!complete || contents(out) != model(input, "") ||
      contents(echo) != model(input, std::string(console_line_end()))) {
    std::fprintf(stderr, "wrong pass with %zu-byte blocks from a %s on %zu bytes\n", block,
                 through_pipe ? "pipe" : "file", input.size());
    std::abort();
  }
}

}  // namespace

// The first byte chooses the block size (0: the default) and, with its top
// bit, a pipe; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size == 0 || ((data[0] & 0x80) && size > 60000)) return 0;  // a pipe holds 64 KiB
  const std::size_t block = data[0] & 0x7f;
  check(std::string(reinterpret_cast<const char*>(data) + 1, size - 1),
        block == 0 ? default_block_size : block, data[0] & 0x80);
  return 0;
}

#ifndef TARVIX_LIBFUZZER
int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    inputs.back().erase(0, 1);  // the fuzzer's block size
  }
  std::mt19937 random(20261206);
  const std::string alphabet("G0 G0 \r\n\n\nxM1\0\x1a", 15);
  while (inputs.size() < 300) {
    std::string& input = inputs.emplace_back();
    for (auto n = random() % 200; n > 0; --n) input += alphabet[random() % alphabet.size()];
  }
  for (const std::string& input : inputs) {
    for (std::size_t block = min_block_size; block <= 40; ++block) {
      check(input, block, false);
      check(input, block, true);
    }
  }
  std::printf("%zu inputs passed at block sizes %zu to 40, from a file and a pipe\n", inputs.size(),
              min_block_size);
}
#endif
