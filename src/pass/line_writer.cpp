#include "pass/line_writer.h"

#include <cstring>

#include "pass/line_ends.h"

namespace {

std::string_view join(std::string& into, std::string_view text, std::string_view line_end) {
  into.assign(text).append(line_end);
  return into;
}

bool write_out(line_writer& w, std::string_view bytes) {
  return w.sink != nullptr ? w.sink(w.sink_context, bytes)
                           : write_all(w.file, bytes.data(), bytes.size());
}

bool flush(line_writer& w) {
  const bool written = write_out(w, std::string_view(w.out.data(), w.out_size));
  w.out_size = 0;
  return written;
}

// Without the echo: the bytes join the others for one large write.
bool put(line_writer& w, std::string_view bytes) {
  if (!flush_run(w)) return false;
  if (bytes.size() > w.out.size() - w.out_size && !flush(w)) return false;
  if (bytes.size() > w.out.size()) return write_out(w, bytes);
  std::memcpy(w.out.data() + w.out_size, bytes.data(), bytes.size());
  w.out_size += bytes.size();
  return true;
}

// Without the echo: bytes of the input block that go on as they stand.
bool put_in_block(line_writer& w, std::string_view bytes) {
  if (!w.run.empty() && bytes.data() != w.run.data() + w.run.size() && !flush_run(w)) {
    return false;
  }
  w.run =
      std::string_view(w.run.empty() ? bytes.data() : w.run.data(), w.run.size() + bytes.size());
  return true;
}

// With the echo: to the console, then to the file.
bool echo_piece(line_writer& w, std::string_view bytes, std::string_view console_bytes) {
  if (w.console_works) {
    w.console_works = write_all(w.console, console_bytes.data(), console_bytes.size());
  }
  if (!write_out(w, bytes)) return false;
  w.written += static_cast<std::int64_t>(bytes.size());
  return true;
}

// The end of a line: each write carries a whole line end, so a stop between
// lines never leaves half of one. Lines that go into blocks are not the
// file's: a stop leaves none of them.
bool echo_line(line_writer& w, std::string_view bytes, std::string_view console_bytes) {
  if (!echo_piece(w, bytes, console_bytes)) return false;
  if (w.sink == nullptr) mark_whole(w.written);
  return true;
}

}  // namespace

void make_added(added_line& line, std::string_view text, std::string_view more) {
  for (std::string* made : {&line.with_lf, &line.with_crlf, &line.for_console}) {
    made->reserve(added_line_room);
  }
  line.with_lf.assign(text).append(more).append(lf);
  line.with_crlf.assign(text).append(more).append(crlf);
  line.for_console.assign(text).append(more).append(console_line_end());
}

void prepare_writer(line_writer& w, io_handle file, io_handle console, bool echo,
                    std::size_t block_size, std::size_t longest) {
  w.file = file;
  w.console = console;
  w.echo = echo;
  w.file_line.reserve(block_size + crlf.size());
  w.console_line.reserve(longest + crlf.size());
  if (!echo) w.out.resize(4 * block_size);
}

bool write_line(line_writer& w, std::string_view text, std::string_view line_end, bool joined) {
  const std::string_view bytes = joined
                                     ? std::string_view(text.data(), text.size() + line_end.size())
                                     : join(w.file_line, text, line_end);
  if (!w.echo) return joined ? put_in_block(w, bytes) : put(w, bytes);
  const std::string_view console_end = console_line_end();
  const std::string_view console_bytes =
      joined && line_end == console_end ? bytes : join(w.console_line, text, console_end);
  return echo_line(w, bytes, console_bytes);
}

bool write_added(line_writer& w, const added_line& line, std::string_view line_end) {
  const std::string_view bytes = line_end == crlf ? line.with_crlf : line.with_lf;
  return w.echo ? echo_line(w, bytes, line.for_console) : put(w, bytes);
}

bool write_lines(line_writer& w, std::string_view bytes, const line_span* lines,
                 std::size_t count) {
  if (count == 0) return true;
  if (!w.echo) return put(w, bytes.substr(0, lines[count - 1].end));
  for (std::size_t i = 0, start = 0; i < count; start = lines[i++].end) {
    const std::size_t text_end = lines[i].end - lines[i].line_end_size;
    if (!write_line(w, bytes.substr(start, text_end - start),
                    bytes.substr(text_end, lines[i].line_end_size), true)) {
      return false;
    }
  }
  return true;
}

bool write_piece(line_writer& w, std::string_view bytes) {
  return w.echo ? echo_piece(w, bytes, bytes) : put(w, bytes);
}

bool write_plain(line_writer& w, std::string_view lines) { return put_in_block(w, lines); }

bool flush_run(line_writer& w) {
  const std::string_view run = w.run;
  w.run = {};
  return run.empty() || put(w, run);
}

bool finish(line_writer& w) { return w.echo || (flush_run(w) && flush(w)); }
