// libFuzzer target for the line pass. Input layout: one byte choosing the
// block size and whether the input is a pipe, one byte giving the length of
// the speed, the speed, then the file. The oracle checks what the pass
// promises on any bytes, not how it does it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "line_pass.h"

namespace {

struct line {
  std::string text;
  std::string end;
};

// Splits bytes into lines at each LF; a CR before the LF belongs to the line
// end. A last line without LF ends like the one before it, or with LF.
std::vector<line> split_lines(const std::string& bytes) {
  std::vector<line> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t feed = bytes.find('\n', start);
    if (feed == std::string::npos) {
      lines.push_back({bytes.substr(start), lines.empty() ? "\n" : lines.back().end});
      break;
    }
    const bool cr = feed > start && bytes[feed - 1] == '\r';
    lines.push_back({bytes.substr(start, feed - start - cr), cr ? "\r\n" : "\n"});
    start = feed + 1;
  }
  return lines;
}

void check(bool condition) {
  if (!condition) std::abort();
}

int memory_file(const std::string& contents) {
  const int fd = memfd_create("fuzz", 0);
  check(fd >= 0 && write_all(fd, contents.data(), contents.size()) && lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

int pipe_file(const std::string& contents) {
  int ends[2];
  check(pipe(ends) == 0 && write_all(ends[1], contents.data(), contents.size()));
  close(ends[1]);
  return ends[0];
}

std::string read_back(int fd) {
  std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  check(pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  close(fd);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool through_pipe = data[0] & 0x80;
  const std::size_t block = (data[0] & 0x7f) == 0 ? default_block_size : (data[0] & 0x7f);
  std::size_t speed_size = data[1] % 8;
  if (speed_size > size - 2) speed_size = size - 2;
  std::string speed(reinterpret_cast<const char*>(data) + 2, speed_size);
  // A speed is one whitespace-delimited token.
  for (char& c : speed) {
    if (c == ' ' || (c >= '\t' && c <= '\r')) c = '5';
  }
  const std::string input(reinterpret_cast<const char*>(data) + 2 + speed_size,
                          size - 2 - speed_size);
  if (through_pipe && input.size() > 60000) return 0;  // must fit the pipe

  const int in = through_pipe ? pipe_file(input) : memory_file(input);
  const int out = memory_file("");
  const int echo = memory_file("");
  check(run_line_pass({in, out, echo}, speed, block) == pass_result::complete);
  close(in);
  const std::string file = read_back(out);
  const std::string console = read_back(echo);

  // Walking the input: each line holding the marker comes as M107, itself
  // and M106 S<speed>, all three with its line end; any other line alone.
  // The console holds the same lines with the console's own line end.
  std::size_t file_at = 0;
  std::size_t console_at = 0;
  const auto expect = [&](const std::string& text, const std::string& end) {
    const std::string on_file = text + end;
    const std::string on_console = text + std::string(console_line_end());
    check(file.compare(file_at, on_file.size(), on_file) == 0);
    check(console.compare(console_at, on_console.size(), on_console) == 0);
    file_at += on_file.size();
    console_at += on_console.size();
  };
  for (const line& source : split_lines(input)) {
    const bool travel = source.text.find("G0 ") != std::string::npos;
    if (travel) expect("M107", source.end);
    expect(source.text, source.end);
    if (travel) expect("M106 S" + speed, source.end);
  }
  check(file_at == file.size() && console_at == console.size());
  return 0;
}
