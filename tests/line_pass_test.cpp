// Unit tests of the line pass, run on in-memory files.
#include "line_pass.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_view_literals;

io_handle memory_file(const std::string& contents = "") {
  const int fd = memfd_create("tarvix-test", 0);
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(write_all(fd, contents.data(), contents.size()));
  EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

// A pipe already holding `contents` and closed behind it: input that cannot seek.
io_handle pipe_file(const std::string& contents) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  EXPECT_LT(contents.size(), 60000u);  // fits the pipe, so no reader is needed
  EXPECT_TRUE(write_all(ends[1], contents.data(), contents.size()));
  close(ends[1]);
  return ends[0];
}

std::string contents_of(io_handle file) {
  std::string text;
  char chunk[4096];
  lseek(static_cast<int>(file), 0, SEEK_SET);
  for (std::ptrdiff_t n; (n = read_some(file, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  return text;
}

struct pass_output {
  pass_result result;
  std::string file;
  std::string console;
};

pass_output run_pass(io_handle input, const std::string& speed = "200",
                     std::size_t block_size = default_block_size) {
  const io_handle output = memory_file();
  const io_handle console = memory_file();
  const pass_result result = run_line_pass({input, output, console}, speed, block_size);
  pass_output out{result, contents_of(output), contents_of(console)};
  close(static_cast<int>(input));
  close(static_cast<int>(output));
  close(static_cast<int>(console));
  return out;
}

pass_output run_pass(const std::string& input, const std::string& speed = "200",
                     std::size_t block_size = default_block_size) {
  return run_pass(memory_file(input), speed, block_size);
}

std::string without_cr(std::string text) {
  std::string kept;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) kept += text[i];
  }
  return kept;
}

struct pass_case {
  const char* name;
  std::string input;
  std::string file;
};

TEST(LinePass, BracketsExactlyTheLinesHoldingTheMarker) {
  const pass_case cases[] = {
      {"plain travel", "G0 X5\n", "M107\nG0 X5\nM106 S200\n"},
      {"marker mid-line", "N10 G0 X1\n", "M107\nN10 G0 X1\nM106 S200\n"},
      {"marker in a comment", "; G0 X0 here\n", "M107\n; G0 X0 here\nM106 S200\n"},
      {"marker ends the line", "X G0 \n", "M107\nX G0 \nM106 S200\n"},
      {"G0 alone", "G0\n", "G0\n"},
      {"G00", "G00 X5\n", "G00 X5\n"},
      {"lower case", "g0 x5\n", "g0 x5\n"},
      {"tab after G0", "G0\tX5\n", "G0\tX5\n"},
      {"two moves in a row", "G0 X1\nG0 X2\n", "M107\nG0 X1\nM106 S200\nM107\nG0 X2\nM106 S200\n"},
      {"other lines untouched", "G28\n\n  G1 X1 E2  \n", "G28\n\n  G1 X1 E2  \n"},
  };
  for (const pass_case& c : cases) {
    const pass_output out = run_pass(c.input);
    EXPECT_EQ(out.result, pass_result::complete) << c.name;
    EXPECT_EQ(out.file, c.file) << c.name;
    EXPECT_EQ(out.console, c.file) << c.name;
  }
}

TEST(LinePass, KeepsEachLinesOwnLineEndInTheFile) {
  const pass_case cases[] = {
      {"empty file", "", ""},
      {"no phantom line after a final line feed", "G1\n", "G1\n"},
      {"last line without line feed", "G1\nG2", "G1\nG2\n"},
      {"only line without line feed", "G0 X1", "M107\nG0 X1\nM106 S200\n"},
      {"CRLF stays CRLF", "G1\r\nG0 X1\r\n", "G1\r\nM107\r\nG0 X1\r\nM106 S200\r\n"},
      {"CR before LF is not part of the text", "G0\r\n", "G0\r\n"},
      {"last line takes the CRLF before it", "G1\r\nG0 X1", "G1\r\nM107\r\nG0 X1\r\nM106 S200\r\n"},
      {"mixed ends, each line its own", "G0 X1\r\nG0 X2\n",
       "M107\r\nG0 X1\r\nM106 S200\r\nM107\nG0 X2\nM106 S200\n"},
      {"lone CR, NUL and 0x1A are copied",
       std::string("a\rb\0c\x1a"
                   "d\nG0 \x1a\n"sv),
       std::string("a\rb\0c\x1a"
                   "d\nM107\nG0 \x1a\nM106 S200\n"sv)},
      {"empty lines and a blank CRLF line", "\n\r\n\n", "\n\r\n\n"},
  };
  for (const pass_case& c : cases) {
    const pass_output out = run_pass(c.input);
    EXPECT_EQ(out.result, pass_result::complete) << c.name;
    EXPECT_EQ(out.file, c.file) << c.name;
    EXPECT_EQ(out.console, without_cr(c.file)) << c.name;
  }
}

// Lines that straddle or overflow the block take the scan-and-reread path on
// a seekable input and the growing path on a pipe; both must give the bytes
// a large block gives.
TEST(LinePass, LongLinesGiveTheSameBytesAsShortOnes) {
  std::vector<std::string> inputs;
  for (std::size_t pad = 0; pad < 12; ++pad) {
    const std::string before(pad, 'x');
    inputs.push_back(before + "G0 " + std::string(11 - pad, 'y') + "\n");
    inputs.push_back(before + "G0 " + std::string(11 - pad, 'y') + "\r\nG1\r\nG0 X");
    inputs.push_back(before + "G0" + "\n" + before + "G0\r\n");
    inputs.push_back(before + "\r\r\n" + before + "G0 ");
    inputs.push_back("G1\r\n" + before + "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
  }
  for (const std::string& input : inputs) {
    const pass_output expected = run_pass(input);
    for (const std::size_t block :
         {min_block_size, std::size_t{5}, std::size_t{7}, std::size_t{16}}) {
      for (const bool seekable : {true, false}) {
        const pass_output out =
            run_pass(seekable ? memory_file(input) : pipe_file(input), "200", block);
        EXPECT_EQ(out.result, pass_result::complete) << input << " block " << block;
        EXPECT_EQ(out.file, expected.file) << input << " block " << block << " seek " << seekable;
        EXPECT_EQ(out.console, expected.console) << input << " block " << block;
      }
    }
  }
}

TEST(LinePass, StopsAtTheFirstFailedWrite) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  for (const std::size_t block : {default_block_size, std::size_t{4}}) {
    const io_handle input = memory_file("G1 X1 Y1\nG0 X2\n");
    const io_handle console = memory_file();
    EXPECT_EQ(run_line_pass({input, full, console}, "200", block), pass_result::write_failed);
    // Echoed, then refused by the file: the pass read no further.
    const std::string echoed = contents_of(console);
    EXPECT_EQ(echoed.substr(0, 2), "G1");
    EXPECT_EQ(echoed.find("G0"), std::string::npos);
    close(static_cast<int>(input));
    close(static_cast<int>(console));
  }
  close(full);
}

TEST(LinePass, ReportsAFailedRead) {
  const int directory = open(".", O_RDONLY);
  ASSERT_GE(directory, 0);
  EXPECT_EQ(run_pass(directory).result, pass_result::read_failed);
}

TEST(SpeedCheck, AcceptsOnlyDecimalNumbersFrom0To255) {
  const char* valid[] = {"0",
                         "200",
                         "080",
                         "255",
                         "127.5",
                         "0.5",
                         "255.000",
                         "000000000000255",
                         "254.99999999999999999999"};
  const char* invalid[] = {
      "",     "fast", "-1", "256",   "255.01", "1e2", "12.",
      ".5",   "S200", "+5", "1.2.3", " 5",     "5 ",  "99999999999999999999999999",
      "1000", "٣"};
  for (const char* speed : valid) EXPECT_TRUE(is_valid_speed(speed)) << speed;
  for (const char* speed : invalid) EXPECT_FALSE(is_valid_speed(speed)) << speed;
}

}  // namespace
