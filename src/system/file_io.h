// The few file and console calls the tool needs, on the platform's own API:
// bytes in, bytes out, no buffering of our own and no line-end translation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

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
/// caught (on Windows Ctrl-C, Ctrl-Break or a closed console window) first
/// does what abandon_output does, then ends the process as it would have;
/// further stops wait meanwhile. A signal the caller ignores stays ignored.
void prepare_process();

/// True when standard output writes into the file at `path`, as in
/// `tarvix a.gcode >> a.gcode`.
bool is_console_file(const native_path& path);

/// Sends nothing more to standard output.
void silence_console();

/// The console's standard output, or no_file once silenced.
io_handle console_output();

/// The console's standard error, for the messages of a run from a script.
io_handle console_errors();

/// The console's standard input.
io_handle console_input();

/// True when `file` is a terminal (on Windows a console), where someone
/// types and can be asked again.
bool is_terminal(io_handle file);

/// Why the last open, read, seek, write, close or replace failed, in words
/// for the user: the system's own message, or the tool's words where the
/// system has none, or the tool's reason for refusing.
std::string failure_reason();

/// Records that memory ran out, as the reason failure_reason gives.
void note_out_of_memory();

/// Opens `path` for reading. Regular files, pipes and the null device are
/// accepted; directories and other devices are refused. A FIFO is waited on
/// until a writer opens it, as cat does; a stop ends the wait, with nothing
/// yet to leave behind. Returns no_file on failure.
io_handle open_input(const native_path& path);

/// Opens `path` for writing, creating it, and locks it against other runs
/// when it is a regular file; an older copy is left as it is. Refuses
/// (no_file) when it cannot be opened, is locked by another run, or is the
/// same file as `input`, so the tool never truncates its own input. Never
/// waits for a FIFO reader. Guards the copy from the moment it is opened
/// (see abandon_output): a copy the run created goes while it holds no whole
/// line, an older one is cut back to its whole lines once the pass begins.
io_handle open_output(const native_path& path, io_handle input);

/// Empties `file` unless it is empty already: emptying a new file is not
/// free, as some file systems then flush the whole file when it is closed.
bool empty_file(io_handle file);

/// Cuts `file` back to its first `size` bytes.
bool cut_back(io_handle file, std::int64_t size);

/// `path`, or the file a symbolic link there leads to, so that replacing it
/// replaces the link's target and keeps the link.
native_path resolve_path(const native_path& path);

/// For a run from a script that writes a copy beside `input`: locks the
/// input against another such run, so that two never race for one copy. A
/// pipe is not locked.
bool lock_input(io_handle input);

/// For a run that replaces the file at `path`: opens it, when there is one,
/// and locks it against other runs (`lock` stays no_file when there is
/// none). Refuses a file that is not a regular file, one the user may not
/// write, one that another run is writing, and the input itself unless
/// `may_be_input`.
bool lock_destination(const native_path& path, io_handle input, bool may_be_input, io_handle& lock);

/// For a run that replaces the file at `path`: false, refused, when `path`
/// names something other than a regular file, which may not be replaced,
/// looked at before it is opened, as opening a FIFO waits for its writer.
bool may_replace(const native_path& path);

/// For a run that replaces the file it reads, once lock_destination has
/// locked `lock` at `path`: true when `lock` is the very file `input` and
/// still the one at `path`. Refuses ("it was changed during the run") when
/// something, another run or an editor's save, has put another file there
/// since the input was opened: writing over it would lose that file.
bool is_still_input(const native_path& path, io_handle lock, io_handle input);

/// Creates a new file beside `path`, named after it with `.tarvix-` and a few
/// random characters added (its name cut short where the whole would be too
/// long), with the permissions and owner of `like`, the file it will
/// replace, or those of a new file when `like` is no_file; `like` as it is
/// now is what replace_file will replace. Its name goes to `temp_path`.
/// Guards it from the moment it exists: abandon_output or a stop removes it.
io_handle open_temp_beside(const native_path& path, io_handle like, native_path& temp_path);

/// Flushes `temp` to the disk, closes it and renames it to `path`, so that
/// `path` holds either what it held or all of the new. With `replace`,
/// `path` is the locked file found there when the run began, and it is
/// replaced only while it is still the file open_temp_beside was given,
/// unchanged: an editor's save meanwhile is kept and refuses the run ("it
/// was changed during the run"). Without, there was none, and one that has
/// appeared since (another run's) is left alone.
bool replace_file(io_handle temp, const native_path& temp_path, const native_path& path,
                  bool replace);

/// Records that the guarded file holds whole lines up to `size` bytes: the
/// pass has begun. Cheap enough to call for every line.
void mark_whole(std::int64_t size);

/// Does to the guarded file what a stop would, for a run that failed.
void abandon_output();

/// Ends the guard: a stop then leaves the file as it is. The file's handle
/// stays open.
void release_output();

/// The temporary folder: TMPDIR, or /tmp; on Windows the user's.
native_path temporary_folder();

/// Opens a new file in the temporary folder for reading and writing, gone
/// once closed. A stop at any moment leaves nothing of it behind: the file
/// never has a name where the system allows that, and otherwise a stop waits
/// until its name is gone.
io_handle open_spool();

/// True when `file` can be read again after a seek (a regular file).
bool can_seek(io_handle file);

/// What tells a file from every other, whatever path named it: its volume
/// and its number there.
using file_identity = std::pair<std::uint64_t, std::uint64_t>;

/// The identity of `file` when it is a regular file; false otherwise (a
/// pipe, a device), or when it cannot be had.
bool identify_file(io_handle file, file_identity& identity);

/// The identity of the symbolic link (on Windows, the reparse point) that
/// `path` names itself; false when it names none.
bool identify_link(const native_path& path, file_identity& identity);

/// The size in bytes of a seekable file, or -1 when it cannot be had.
std::int64_t file_size(io_handle file);

/// Moves the read position of a seekable file to `offset` from its start.
bool seek_to(io_handle file, std::int64_t offset);

/// Reads up to `size` bytes. Returns the count, 0 at end of input, -1 on
/// error. A non-blocking input with nothing to read yet is waited for.
std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size);

/// Writes all `size` bytes with as few calls as the platform allows (one,
/// for a file or a pipe). A non-blocking console that is full is waited
/// for. False on any failure, and at once for no_file.
bool write_all(io_handle file, const char* data, std::size_t size);

/// Closes `file`. False when the close reports a failure, such as a delayed
/// write error.
bool close_file(io_handle file);

/// `path` as UTF-8 text for the console: unchanged bytes on POSIX.
std::string display_path(const native_path& path);
