// The few file and console calls the tool needs, on the platform's own API:
// bytes in, bytes out, no buffering of our own and no line-end translation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// An open file or console: a descriptor on POSIX, a HANDLE on Windows.
using io_handle = std::intptr_t;

/// The handle of no file: what the open calls return when they fail.
constexpr io_handle no_file = -1;

#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif

/// A path as the platform's file calls take it: UTF-16 on Windows, bytes elsewhere.
using native_path = std::basic_string<native_char>;

/// The line end the console expects: CR LF on Windows, LF elsewhere.
std::string_view console_line_end();

/// Readies the process, once at start-up. A console reader that goes away,
/// or a write past the file size limit, must not kill it: the write fails
/// instead. A closed standard stream must not lend its number to a file the
/// tool opens later. A stop by any signal that ends the process and can be
/// caught, such as Ctrl-C, SIGTERM or SIGHUP (on Windows Ctrl-C, Ctrl-Break
/// or a closed console window), first cuts the copy back to its last whole
/// line (see guard_copy), then ends the process as it would have.
void prepare_process();

/// True when standard output writes into the file at `path`, as in
/// `tarvix a.gcode >> a.gcode`.
bool is_console_file(const native_path& path);

/// Sends all later console output to the null device.
void silence_console();

/// The console's standard output.
io_handle console_output();

/// Opens `path` for reading. Regular files, pipes and the null device are
/// accepted; directories and other devices are refused. A FIFO is opened
/// without waiting for a writer. Returns no_file on failure.
io_handle open_input(const native_path& path);

/// Opens `path` for writing, creating it, and locks it against other runs;
/// an older copy is left as it is. Refuses (no_file) when it cannot be
/// opened, is locked by another run, or is the same file as `input`, so the
/// tool never truncates its own input. Never waits for a FIFO reader.
io_handle open_output(const native_path& path, io_handle input);

/// Empties `file` unless it is empty already: emptying a new file is not
/// free, as some file systems then flush the whole file when it is closed.
bool empty_file(io_handle file);

/// Cuts `file` back to its first `size` bytes.
bool cut_back(io_handle file, std::int64_t size);

/// Names the copy being written, for a stop to cut back (whole up to 0 bytes
/// until mark_whole says more); no_file when no copy is being written.
void guard_copy(io_handle file);

/// Records that the guarded copy holds whole lines up to `size` bytes.
void mark_whole(std::int64_t size);

/// Opens a new temporary file for reading and writing, gone once closed.
io_handle open_spool();

/// True when `file` can be read again after a seek (a regular file).
bool can_seek(io_handle file);

/// Moves the read position of a seekable file to `offset` from its start.
bool seek_to(io_handle file, std::int64_t offset);

/// Reads up to `size` bytes. Returns the count, 0 at end of input, -1 on error.
std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size);

/// Writes all `size` bytes with as few calls as the platform allows (one,
/// for a file or a pipe). A non-blocking console that is full is waited
/// for. False on any failure.
bool write_all(io_handle file, const char* data, std::size_t size);

/// Closes `file`. False when the close reports a failure, such as a delayed
/// write error.
bool close_file(io_handle file);

/// `path` as UTF-8 text for the console: unchanged bytes on POSIX.
std::string display_path(const native_path& path);
