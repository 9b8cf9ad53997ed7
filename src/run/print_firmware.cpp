#include "run/print_firmware.h"

#include <algorithm>
#include <cstring>

#include "gcode/fan_dialect.h"

namespace {

// Slicers write their settings in a block at the top of a print or at its
// end; either lies within this much of its edge.
constexpr std::size_t settings_room = 256 * 1024;

// The most of a binary pipe held before the pass, for the slicer metadata
// behind its thumbnails.
constexpr std::size_t max_binary_head = 4 * 1024 * 1024;

// The whole lines of `text`, without a first or last line cut off.
std::string_view whole_lines(std::string_view text, bool cut_first, bool cut_last) {
  if (cut_last) text = text.substr(0, text.rfind('\n') + 1);  // npos + 1 is 0
  if (cut_first) text.remove_prefix(std::min(text.find('\n'), text.size()));
  return text;
}

// Reads on to `size` bytes in all, or the input's end.
bool read_on(io_handle input, std::string& taken, std::size_t size) {
  const std::size_t had = taken.size();
  if (had >= size) return true;
  taken.resize(size);
  const std::ptrdiff_t count = read_up_to(input, taken.data() + had, size - had);
  taken.resize(had + static_cast<std::size_t>(std::max<std::ptrdiff_t>(count, 0)));
  return count >= 0;
}

// Reads `size` bytes at `offset`, fewer where the file ends; a file stands
// at its start when it comes here.
bool read_at(io_handle input, std::int64_t offset, std::size_t size, std::string& bytes) {
  bytes.clear();
  return (offset == 0 || seek_to(input, offset)) && read_on(input, bytes, size);
}

bool read_text_file(io_handle input, firmware_clues& clues) {
  const std::int64_t size = file_size(input);
  const auto room = static_cast<std::int64_t>(settings_room);
  const bool two_ends = size > 2 * room;
  std::string bytes;
  if (size < 0 ||
      !read_at(input, 0, two_ends ? settings_room : static_cast<std::size_t>(size), bytes))
    return false;
  read_settings(whole_lines(bytes, false, two_ends), true, clues);
  if (two_ends) {
    if (!read_at(input, size - room, settings_room, bytes)) return false;
    read_settings(whole_lines(bytes, true, false), true, clues);
  }
  return seek_to(input, 0);
}

bool read_text_pipe(io_handle input, std::string& taken, firmware_clues& clues) {
  if (!read_on(input, taken, settings_room)) return false;
  read_settings(whole_lines(taken, false, taken.size() == settings_room), true, clues);
  return true;
}

// A pipe read for binary G-code's metadata, every byte kept for the pass.
struct kept_pipe {
  io_handle input = no_file;
  std::string* taken = nullptr;
  std::size_t at = 0;
  bool failed = false;
};

std::ptrdiff_t read_kept(void* context, char* data, std::size_t size, bool) {
  kept_pipe& pipe = *static_cast<kept_pipe*>(context);
  std::string& taken = *pipe.taken;
  if (pipe.at == taken.size() && taken.size() < max_binary_head) {
    pipe.failed = !read_on(pipe.input, taken, std::min(taken.size() + size, max_binary_head));
  }
  const std::size_t count = std::min(size, taken.size() - pipe.at);
  std::memcpy(data, taken.data() + pipe.at, count);
  pipe.at += count;
  return pipe.failed ? -1 : static_cast<std::ptrdiff_t>(count);
}

bool read_binary(io_handle input, std::string& taken, firmware_clues& clues) {
  if (can_seek(input)) {
    read_settings(slicer_settings(file_source(input)), false, clues);
    return seek_to(input, 0);
  }
  kept_pipe pipe{input, &taken};
  byte_source source;
  source.read = read_kept;
  source.context = &pipe;
  read_settings(slicer_settings(source), false, clues);
  return !pipe.failed;
}

}  // namespace

bool options_for_print(io_handle input, input_start& start, run_options& options) {
  firmware named = firmware::marlin;
  if (!options.firmware.empty()) {
    read_firmware(options.firmware, named);
  } else {
    firmware_clues clues;
    const bool read = start.binary      ? read_binary(input, start.taken, clues)
                      : can_seek(input) ? read_text_file(input, clues)
                                        : read_text_pipe(input, start.taken, clues);
    if (!read) return false;
    named = named_firmware(clues);
  }
  const bool as_marlin = named == firmware::marlin || named == firmware::klipper;
  options.firmware = as_marlin ? std::string() : std::string(firmware_name(named));
  return true;
}
