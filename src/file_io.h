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

/// Makes the console safe to write to, once at start-up: a reader that goes
/// away must not kill the process, and a closed standard stream must not lend
/// its number to a file the tool opens later.
void prepare_console();

/// The console's standard output.
io_handle console_output();

/// Opens `path` for reading. Regular files, pipes and the null device are
/// accepted; directories and other devices are refused. A FIFO is opened
/// without waiting for a writer. Returns no_file on failure.
io_handle open_input(const native_path& path);

/// Opens `path` for writing, creating it or emptying it. Refuses (no_file)
/// when it cannot be opened, or when it is the same file as `input`, so the
/// tool never truncates its own input. Never waits for a FIFO reader.
io_handle open_output(const native_path& path, io_handle input);

/// True when `file` can be read again after a seek (a regular file).
bool can_seek(io_handle file);

/// Moves the read position of a seekable file to `offset` from its start.
bool seek_to(io_handle file, std::int64_t offset);

/// Reads up to `size` bytes. Returns the count, 0 at end of input, -1 on error.
std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size);

/// Writes all `size` bytes with as few calls as the platform allows (one,
/// for a file or a pipe). False on any failure.
bool write_all(io_handle file, const char* data, std::size_t size);

/// Closes `file`. False when the close reports a failure, such as a delayed
/// write error.
bool close_file(io_handle file);

/// `path` as UTF-8 text for the console: unchanged bytes on POSIX.
std::string display_path(const native_path& path);
