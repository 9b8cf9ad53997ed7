// Binary G-code both ways: the slicer's files read to its own reader's text,
// text written in every form reads back as printers get it, damaged files are
// refused with their reason and no text, and any bytes are read safely, in
// pieces of any size (with TARVIX_LIBFUZZER, the libFuzzer target of that).
#include "bgcode/bgcode.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "bgcode/binary_gcode.h"
#include "bgcode/heatshrink.h"
#include "bgcode/meatpack.h"
#include "check.h"
#include "pass/line_pass.h"

namespace {

// Where a file's blocks lie, for the checks that damage a block and seal it.
std::uint64_t number_at(const std::string& file, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(file[at + i]);
  return value;
}

/// Where the block at `at` ends, before its checksum.
std::uint64_t block_end(const std::string& file, std::uint64_t at) {
  const bool compressed = number_at(file, at + 2, 2) != 0;
  return at + (compressed ? 12 : 8) + (number_at(file, at, 2) == 5 ? 6 : 2) +
         number_at(file, at + (compressed ? 8 : 4), 4);
}

/// Where each block starts, as far as block headers can be read.
std::vector<std::size_t> block_starts(const std::string& file) {
  std::vector<std::size_t> starts;
  const std::uint64_t checksum = file.size() >= 10 && file[8] == 1 ? 4 : 0;
  for (std::uint64_t at = 10; at + 12 <= file.size(); at = block_end(file, at) + checksum) {
    starts.push_back(at);
  }
  return starts;
}

/// Gives block `index` (from 0) the checksum that fits it, if the file holds one.
void reseal(std::string& file, std::size_t index) {
  const std::vector<std::size_t> starts = block_starts(file);
  if (index >= starts.size()) return;
  const std::size_t at = starts[index];
  const std::uint64_t end = block_end(file, at);
  if (end + 4 > file.size()) return;
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(file.data() + at), static_cast<uInt>(end - at));
  for (int i = 0; i < 4; ++i) file[end + i] = static_cast<char>(crc >> (8 * i));
}

std::string source_file(const std::string& name) {
  std::ostringstream bytes;
  bytes << std::ifstream(std::string(TARVIX_SOURCE_DIR) + "/" + name, std::ios::binary).rdbuf();
  return bytes.str();
}

std::string corpus(const std::string& config) {
  return source_file("tests/bgcode_corpus/prusa_nut_big." + config + ".bgcode");
}

// Printers' own reader, beside the source tree where it is at hand: a fault
// our reader shares with our writer shows only there. It checks the blocks
// and gives all of `text` in a file of a print's lines (it rewrites others,
// and may fail on random bytes), else its size, or, in MeatPack, where it
// puts blanks into G commands' words, no more than sound blocks.
const std::string reference_tool = std::string(TARVIX_SOURCE_DIR) + "/../shared/bgcode/bgctool";
enum class asked { blocks, size, text };
#ifdef _WIN32
bool reference_reads(const std::string&, std::string_view, asked = asked::text) { return true; }
#else
std::string run_reference(const std::string& verb, const std::string& file) {
  std::string in = temporary_folder() + "/tarvix_bgcode_test_XXXXXX";
  close_file(mkstemp(in.data()));
  const std::string out = in + ".out";
  std::ofstream(in, std::ios::binary) << file;
  const std::string command = "'" + reference_tool + "' " + verb + " '" + in + "' " +
                              (verb == "verify" ? "> '" + out + "'" : "'" + out + "' >/dev/null");
  const bool ran = std::system(command.c_str()) == 0;
  std::ostringstream got;
  got << std::ifstream(out, std::ios::binary).rdbuf();
  std::remove(in.c_str());
  std::remove(out.c_str());
  return ran ? got.str() : "failed";
}

bool reference_reads(const std::string& file, std::string_view text, asked what = asked::text) {
  // Said once, when it is not there.
  static const bool present =
      std::ifstream(reference_tool).good() ||
      std::printf("bgcode: no reference decoder beside the source tree: not asked\n") < 0;
  if (!present) return true;
  const std::string checked = run_reference("verify", file);
  const std::string size = "total decoded " + std::to_string(text.size()) + " bytes";
  if (checked.find("result: OK") == checked.npos ||
      (what != asked::blocks && checked.find(size) == checked.npos)) {
    return false;
  }
  if (what != asked::text) return true;
  // It gives the metadata as comments around the G-code, and no empty line.
  const auto lines = [](std::string_view all) {
    std::string kept;
    for (const char c : all) {
      if (c != '\n' || (!kept.empty() && kept.back() != '\n')) kept += c;
    }
    return kept;
  };
  return lines(run_reference("to-ascii", file)).find(lines(text)) != std::string::npos;
}
#endif

struct reading {
  std::string bytes, text, reason;
  std::vector<std::string> parts;  // each G-code block's text
  bgcode_format format;
};

// What is left of a file, and the most one read gives, as a pipe may.
using pieces = std::pair<std::string_view, std::size_t>;

byte_source from_pieces(pieces& input) {
  byte_source source;
  source.context = &input;
  source.read = [](void* context, char* data, std::size_t size, bool) {
    auto& [rest, most] = *static_cast<pieces*>(context);
    const std::size_t count = std::min({size, most, rest.size()});
    std::copy_n(rest.data(), count, data);
    rest.remove_prefix(count);
    return static_cast<std::ptrdiff_t>(count);
  };
  return source;
}

// Reads `file` at most `piece` bytes at a time.
reading read_file(std::string_view file, std::size_t piece = std::string_view::npos) {
  reading got;
  bgcode_reader reader;
  pieces input{file, piece};
  reader.source = from_pieces(input);
  bgcode_part part;
  while ((part = bgcode_read(reader)) == bgcode_part::bytes || part == bgcode_part::text) {
    got.bytes += reader.bytes;
    if (part == bgcode_part::text) got.text += reader.text, got.parts.emplace_back(reader.text);
  }
  got.reason = reader.reason;
  got.format = reader.format;
  check(got.reason.empty() == (part == bgcode_part::end), "a reason with a failure, and only then");
  return got;
}

// The slicer settings of a file read five bytes at a time.
std::string settings_of(std::string_view file) {
  pieces input{file, 5};
  return slicer_settings(from_pieces(input));
}

// A file in `format` of `head` (file header and metadata), then `pieces` of
// text and the note; what the writer said when it refused, in `reason`.
std::string write_file(const bgcode_format& format, std::string_view head,
                       const std::vector<std::string_view>& pieces, std::string_view note,
                       std::string* reason = nullptr) {
  bgcode_writer writer;
  writer.output = spool_holding("");
  writer.format = format;
  bool written = bgcode_copy(writer, head);
  for (const std::string_view piece : pieces) written = written && bgcode_write_text(writer, piece);
  written = written && (note.empty() || bgcode_write_note(writer, note)) && bgcode_finish(writer);
  if (reason != nullptr) *reason = written ? "" : writer.reason;
  return contents(writer.output);
}

// The text a reader gives back of `text` written with `encoding`.
std::string expected_text(std::string_view text, std::uint16_t encoding) {
  if (encoding == 0) return std::string(text);
  std::string kept;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    if (end != text.npos && !line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != line.npos && line[first] == ';') {
      if (encoding == 2) kept += line + '\n';
      continue;
    }
    if (line.find(';') != line.npos) {
      line.erase(line.find(';'));
      line.erase(line.find_last_not_of(" \t") + 1);
    }
    if (!line.empty()) kept += line + '\n';
  }
  return kept;
}

// Lines of G-code words, comments, blanks and line ends, now and then one
// longer than a block or one of random bytes (but 0xFF, which MeatPack lacks).
std::string random_text(std::mt19937& random) {
  static const char* const words[] = {"G1",   "G0",     "G28",    "G92",      "G3",  " X10.5",
                                      " Y-3", " E.25",  " F1800", " Z",       " I1", " J-1",
                                      " W",   " S0",    "X1",     "E2",       " ",   "\t",
                                      ";c",   " ; c d", "\r",     "\xc3\xa9", "G",   "."};
  std::string text;
  for (int lines = random() % 400; lines-- > 0;) {
    for (int count = random() % 6; count-- > 0;) text += words[random() % std::size(words)];
    if (random() % 30 == 0) text += '\0';
    if (random() % 300 == 0) text += std::string(70000 + random() % 1000, '7');
    for (int count = random() % 50 == 0 ? 5000 : 0; count-- > 0;)
      text += static_cast<char>(random() % 255);
    text += random() % 3 == 0 ? "\r\n" : "\n";
  }
  if (random() % 2 == 0) text += words[random() % std::size(words)];  // no line end
  return text;
}

// `text` in pieces of whole lines.
std::vector<std::string_view> pieces_of(std::string_view text, std::mt19937& random) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    std::size_t end = text.find('\n', random() % 3000);
    end = end == text.npos ? text.size() : end + 1;
    pieces.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return pieces;
}

// A run from the command line on `input`, text or binary, `block` bytes at a time.
std::string pass_over(std::string_view input, std::size_t block = default_block_size) {
  const io_handle in = spool_holding(input);
  const io_handle out = spool_holding("");
  pass_options options;
  options.speed = "keep";
  options.g1_travel = true;
  options.min_seconds = 0.5;
  options.echo = false;
  options.reads_binary = true;
  options.block_size = block;
  options.last_line = "; fan off during travel moves: tarvix --speed keep";
  pass_report report;
  const bool passed = run_line_pass({in, out, no_file}, options, &report) == pass_result::complete;
  close_file(in);
  return passed ? contents(out) : "failed: " + report.reason;
}

void check_slicer_files() {
  // The text's size and CRC32; whether what the writer makes of the text is
  // the very file, and the size it made when this was written: 1 % more at most.
  const struct reference {
    const char* config;
    std::size_t size;
    std::uint32_t crc;
    bool same_file;
    std::size_t again_size;
  } references[] = {{"none-none", 79457, 0x458a3ff8, true, 82340},
                    {"deflate-none", 79457, 0x458a3ff8, true, 21169},
                    {"hs11_4-none", 79457, 0x458a3ff8, false, 32339},
                    {"hs12_4-meatpack", 74156, 0xdcd15233, false, 24448},
                    {"hs12_4-meatpackcomments", 79209, 0x273d9521, false, 25862}};
  for (const auto& row : references) {
    const std::string file = corpus(row.config);
    const reading got = read_file(file);
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(got.text.data()),
                           static_cast<uInt>(got.text.size()));
    check(got.reason.empty() && got.text.size() == row.size && crc == row.crc &&
              got.bytes == file.substr(0, got.bytes.size()) && read_file(file, 5).text == got.text,
          std::string(row.config) + ": the slicer's text " + got.reason);
    check(settings_of(file).find("\ngcode_flavor=reprap\n") != std::string::npos,
          std::string(row.config) + ": its slicer settings");
    const std::string again = write_file(got.format, got.bytes, {got.text}, "");
    check(read_file(again).text == got.text && (!row.same_file || again == file) &&
              again.size() <= row.again_size + row.again_size / 100 &&
              reference_reads(again, got.text),
          std::string(row.config) + ": written again");
    // The pass on the binary file gives the file's own blocks, and in its
    // G-code what it gives of the text.
    const std::string changed_file = pass_over(file, row.size % 2 == 0 ? 7 : default_block_size);
    const reading changed = read_file(changed_file);
    check(changed.bytes == got.bytes && changed.text == pass_over(got.text) &&
              changed.format.compression == got.format.compression &&
              reference_reads(changed_file, changed.text),
          std::string(row.config) + ": changed as its text " + changed.reason);
  }
}

// A file whose first G-code block is plain and the rest MeatPack, as the format's
// tools make it: the plain block's comments stay, written after MeatPack is read.
void check_mixed_encodings() {
  const reading nut = read_file(corpus("none-none"));
  const std::size_t half = nut.text.rfind('\n', 30000) + 1;
  const std::string meatpack = write_file({1, 0, 1}, nut.bytes, {nut.text.substr(half)}, "");
  const std::string file = write_file(nut.format, nut.bytes, {nut.text.substr(0, half)}, "") +
                           meatpack.substr(nut.bytes.size());
  const std::string changed = pass_over(file);
  const std::string changed_text = read_file(changed).text;
  check(changed_text == pass_over(read_file(file).text) && reference_reads(changed, changed_text),
        "blocks of two encodings");
}

void check_round_trips() {
  std::mt19937 random(7);
  const std::string nut_head = read_file(corpus("none-none")).bytes;
  const std::string bare_head = std::string("GCDE\1\0\0\0\0\0", 10);  // no checksums, no metadata
  std::vector<std::string> texts = {source_file("examples/square.gcode"), ""};
  for (int i = 0; i < 12; ++i) texts.push_back(random_text(random));
  const std::string note = "; fan off during travel moves: tarvix --speed 200\n";
  for (std::uint16_t compression = 0; compression < 4; ++compression) {
    for (std::uint16_t encoding = 0; encoding < 3; ++encoding) {
      for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        const std::string& head = random() % 2 == 0 ? nut_head : bare_head;
        const bgcode_format format{static_cast<std::uint16_t>(head[8]), compression, encoding};
        const std::string file = write_file(format, head, pieces_of(text, random), note);
        const reading got = read_file(file);
        bool blocks_fit = got.parts.back() == note;
        for (const std::string& part : got.parts) {
          blocks_fit = blocks_fit &&
                       (part.size() <= bgcode_block_text || part.find('\n') + 1 == part.size());
        }
        // Printers' reader takes no file without metadata.
        const asked what = i == 0 ? asked::text : encoding == 0 ? asked::size : asked::blocks;
        check(got.reason.empty() && got.bytes == head && blocks_fit &&
                  got.text == expected_text(text, encoding) + note &&
                  (head != nut_head || reference_reads(file, got.text, what)),
              "round trip " + std::to_string(compression) + "/" + std::to_string(encoding) +
                  " of " + std::to_string(text.size()) + " bytes " + got.reason);
      }
    }
  }
}

// Adds `delta` to the `size`-byte number at `offset` in block `block` (from 0), sealed again.
void add_to(std::string& file, std::size_t block, std::size_t offset, std::uint32_t delta,
            int size) {
  const std::size_t at = block_starts(file)[block] + offset;
  const std::uint64_t value = number_at(file, at, size) + delta;
  for (int i = 0; i < size; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
  reseal(file, block);
}

void check_damaged_files() {
  struct damage {
    const char* base;
    void (*fault)(std::string&);
    const char* reason;
  };
  // Block 5 (4 from 0) is the first G-code block: in the MeatPack files its
  // sizes are at 4 and 8 and its encoding at 12; without compression, its
  // size at 4 and its encoding at 8.
  const char* const mp = "hs12_4-meatpackcomments";
  const damage damages[] = {
      {mp, [](std::string& f) { f[block_starts(f)[4] + 20] ^= 1; }, "bad checksum in block 5"},
      {mp, [](std::string& f) { f.resize(block_starts(f)[4] + 20); }, "the file ends in block 5"},
      {mp, [](std::string& f) { f.resize(7); }, "the file ends inside its header"},
      {mp, [](std::string& f) { f.resize(block_starts(f)[4]); }, "no G-code in the file"},
      {mp, [](std::string& f) { add_to(f, 4, 8, 1, 4); },
       "decompressed size does not match in block 5"},
      {mp, [](std::string& f) { add_to(f, 4, 4, -1, 4); },
       "decompressed size does not match in block 5"},
      {mp, [](std::string& f) { add_to(f, 4, 4, 0x7fff0000, 4); },
       "more than 1 MiB of G-code in block 5"},
      {mp, [](std::string& f) { add_to(f, 4, 0, 8, 2); }, "unknown block type 9 in block 5"},
      {mp, [](std::string& f) { add_to(f, 4, 2, 1, 2); }, "unknown compression 4 in block 5"},
      {mp, [](std::string& f) { add_to(f, 4, 12, 1, 2); }, "unknown encoding 3 in block 5"},
      {mp, [](std::string& f) { add_to(f, 0, 0, 2, 2); }, "block 2 out of order"},
      {mp, [](std::string& f) { add_to(f, 2, 0, -1, 2); },
       "block 3 out of order"},  // printer metadata twice
      {mp, [](std::string& f) { f[0] = 'X'; }, "not binary G-code"},
      {mp, [](std::string& f) { f[4] = 2; }, "unknown binary G-code version 2"},
      {mp, [](std::string& f) { f[8] = 2; }, "unknown checksum type 2"},
      // Fuzz seeds as they are: Heatshrink referring back before the start, or past the size.
      {"heatshrink_reference_before_the_start", nullptr,
       "decompressed size does not match in block 1"},
      {"heatshrink_reference_past_the_end", nullptr, "decompressed size does not match in block 1"},
      {"deflate-none", [](std::string& f) { f[block_starts(f)[4] + 20] ^= 1, reseal(f, 4); },
       "decompressed size does not match in block 5"},
      {"none-none",
       [](std::string& f) {
         f.replace(block_starts(f)[4] + 10, 3, "\xff\xff\x01");
         add_to(f, 4, 8, 1, 2);
       },
       "bad MeatPack data in block 5"},
  };
  for (const damage& row : damages) {
    std::string file = row.fault == nullptr
                           ? source_file(std::string("tests/bgcode_corpus/") + row.base)
                           : corpus(row.base);
    if (row.fault != nullptr) row.fault(file);
    const reading got = read_file(file);
    check(got.reason == row.reason && got.text.empty(),
          std::string(row.reason) + ": " + got.reason);
  }
}

// Text the writer refuses, with its reason.
void check_refused_text() {
  std::string reason;
  write_file({1, 3, 1}, "GCDE\1\0\0\0\1\0", {"G1 X1\n; \xff\n"}, "", &reason);
  check(reason == "a byte 0xFF in the text, which MeatPack cannot hold", "0xFF: " + reason);
  write_file({1, 1, 0}, "GCDE\1\0\0\0\1\0", {std::string(bgcode_max_block, '1') + "\n"}, "",
             &reason);
  check(reason == "a line too long for one block of binary G-code", "a long line: " + reason);
}

// MeatPack as other writers may pack it, where decoding leaves its table:
// signals, bytes not packed, whole characters that are a blank or a line end.
void check_meatpack_cases() {
  const struct {
    std::string data;
    const char* text;  // none: refused
  } cases[] = {
      {"\xff\xff\xf7G1X10Y2\n", "G1 X10 Y2\n"},
      {"\n\nM1\n\n", "M1\n"},
      {"M\xff\x01\n", "M\xff\x01\n"},
      {"\xff\xff\xfb\xff\xff\xf7\x1d\xff Y\xc2", "G1 Y2\n"},
      {"\xff\xff\xfb\x1d\xff\xff\xf7\x1e\xcc", "G1 X1\n"},  // blank-less from mid-line
      {"\xff\xff\xfb\x1d\x2f\n\xcc", "G1\n2\n"},
      {"\xff\xff\xfb\x1f", nullptr},
      {"\xff\xff\xf7\xff\xff\xf9G1X1\n", "G1X1\n"},  // a reset ends the blank-less form
      {std::string("\xff\xff\x00", 3), nullptr},
  };
  for (const auto& row : cases) {
    std::string room;
    std::string_view text;
    const bool decoded = meatpack_decode(row.data, room, text);
    check(decoded == (row.text != nullptr) && (!decoded || text == row.text),
          "MeatPack " + std::string(row.text == nullptr ? "refused" : row.text) + ": " +
              std::string(text));
  }
}

// Heatshrink's tables kept from block to block, also when their numbers are
// about to run out.
void check_heatshrink_tables() {
  const std::string text = read_file(corpus("none-none")).text.substr(0, 60000);
  heatshrink_tables tables;
  std::string room, back;
  for (const std::uint32_t base :
       {0u, 0u, 0xFFFFFFFF - 70000, 0u}) {  // 0: as the block before left it
    if (base != 0) tables.base = base;
    const std::string_view data = heatshrink_encode(text, 12, tables, room);
    check(heatshrink_decode(data, 12, text.size(), back) &&
              back.compare(0, text.size(), text) == 0 && data.size() < text.size() / 2,
          "Heatshrink block from " + std::to_string(base));
  }
}

}  // namespace

#ifdef TARVIX_LIBFUZZER
namespace {

// Any bytes read as binary G-code, as they are and with every checksum made
// to fit, so that damage gets past them: the same in one piece and in small
// ones; a file read whole, written again in its form, reads back with the
// same bytes and, without MeatPack (which drops comments), the same text.
void check_any_bytes(std::string file) {
  for (int sealed = 0; sealed < 2; ++sealed) {
    for (std::size_t block = 0; sealed == 1 && block < block_starts(file).size(); ++block) {
      reseal(file, block);
    }
    const reading whole = read_file(file);
    check(read_file(file, 1 + file.size() % 7).text == whole.text, "read in pieces otherwise");
    check(whole.parts.size() > 0 || settings_of(file).empty(), "settings of a file without G-code");
    std::string refused;
    const std::string again =
        whole.reason.empty() ? write_file(whole.format, whole.bytes, {whole.text}, "", &refused)
                             : "";
    if (!whole.reason.empty() || !refused.empty()) continue;
    const reading back = read_file(again);
    check(back.bytes == whole.bytes && (whole.format.encoding != 0 || back.text == whole.text),
          "written again, it reads back otherwise: " + back.reason);
    // Kept for a read of the corpus after the fuzzing, two commands a file:
    // what printers' reader takes, written again, it takes too.
    const asked what = whole.format.encoding == 0 ? asked::size : asked::blocks;
    if (std::getenv("TARVIX_READ_BACK") != nullptr && reference_reads(file, whole.text, what)) {
      check(reference_reads(again, back.text, what), "written again, printers' reader refuses it");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_any_bytes(std::string(reinterpret_cast<const char*>(data), size));
  if (failed_checks > 0) std::abort();
  return 0;
}
#else
int main() {
  check_slicer_files();
  check_round_trips();
  check_mixed_encodings();
  check_damaged_files();
  check_refused_text();
  check_meatpack_cases();
  check_heatshrink_tables();
  return test_status("bgcode");
}
#endif
