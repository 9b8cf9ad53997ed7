// Reads any bytes as binary G-code, from a file and through a pipe, and
// checks what the reader makes of them: nothing unsafe, and a file read
// whole, written again in its form, reads back with the same bytes handed on
// and, without MeatPack (which drops comments), the same text. Each input is read as it is and
// again with every block's checksum made to fit, so that damage gets past the checksums. Replays
// the files named on the command line (the seed corpus) and damaged copies of them drawn from a
// fixed seed; with TARVIX_LIBFUZZER it is the libFuzzer target instead.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bgcode.h"
#include "bgcode_blocks.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "bgcode_property: %s\n", what);
  std::abort();
}

int file_holding(const std::string& bytes, bool through_pipe) {
  int ends[2];
  const bool made = through_pipe ? pipe(ends) == 0 && fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) >= 0
                                 : (ends[0] = ends[1] = memfd_create("bgcode", 0)) >= 0;
  if (!made || bytes.size() > 1 << 20 || !write_all(ends[1], bytes.data(), bytes.size())) {
    fail("no file for the input");
  }
  if (through_pipe) close(ends[1]);
  lseek(ends[0], 0, SEEK_SET);  // a pipe has nothing to rewind
  return ends[0];
}

struct reading {
  bool whole = false;
  std::string bytes, text;
  bgcode_format format;
};

reading read_all(const std::string& file, bool through_pipe) {
  reading got;
  bgcode_reader reader;
  io_handle input = file_holding(file, through_pipe);
  reader.source = file_source(input);
  bgcode_part part;
  while ((part = bgcode_read(reader)) == bgcode_part::bytes || part == bgcode_part::text) {
    got.bytes += reader.bytes;
    got.text += reader.text;
  }
  got.whole = part == bgcode_part::end;
  got.format = reader.format;
  if (got.whole != reader.reason.empty()) fail("a reason without a failure, or none with one");
  close(static_cast<int>(input));
  return got;
}

// False when the writer refuses the text (a byte MeatPack cannot hold).
bool write_again(const reading& got, std::string& file) {
  bgcode_writer writer;
  writer.output = memfd_create("again", 0);
  writer.format = got.format;
  const bool written = bgcode_copy(writer, got.bytes) && bgcode_write_text(writer, got.text) &&
                       bgcode_finish(writer);
  file.resize(static_cast<std::size_t>(lseek(writer.output, 0, SEEK_END)));
  if (pread(writer.output, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
    fail("the written file cannot be read");
  }
  close(writer.output);
  return written;
}

void check(std::string file) {
  for (int sealed = 0; sealed < 2; ++sealed) {
    for (std::size_t block = 0; sealed == 1 && block < block_starts(file).size(); ++block) {
      reseal(file, block);
    }
    const reading first = read_all(file, false);
    if (read_all(file, true).text != first.text) fail("a pipe reads otherwise than a file");
    std::string again;
    if (!first.whole || !write_again(first, again)) continue;
    const reading second = read_all(again, false);
    if (!second.whole || second.bytes != first.bytes) fail("written again, it does not read back");
    if (first.format.encoding == 0 && second.text != first.text) fail("the text has changed");
  }
}

}  // namespace

#ifdef TARVIX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  // Copies with a few bytes changed, cut short or grown, in every part of a file.
  std::mt19937 random(20261207);
  std::size_t inputs = 0;
  for (const std::string& seed : seeds) {
    if (!read_all(seed, false).whole) fail("a seed does not read");
    check(seed);
    for (int copy = 0; copy < 200; ++copy, ++inputs) {
      std::string input = seed;
      for (auto changes = 1 + random() % 4; changes > 0; --changes) {
        input[random() % input.size()] = static_cast<char>(random());
      }
      if (copy % 5 == 0) input.resize(random() % input.size());
      if (copy % 7 == 0)
        input.insert(random() % (input.size() + 1), std::string(random() % 9, 'G'));
      check(input);
    }
  }
  std::printf("%zu seeds and %zu damaged copies checked\n", seeds.size(), inputs);
  return seeds.empty() ? 1 : 0;
}
#endif
