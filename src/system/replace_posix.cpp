// Putting a result in place on POSIX: the locks runs take, the temporary
// file beside the destination, and the rename that replaces it only while
// it is still the file read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "system/failure.h"
#include "system/file_io.h"
#include "system/posix_files.h"
#include "system/stop_guard.h"

namespace {

// Gives `fd` the owner of `like` (its mode comes with the result, see
// replace_file), or the mode of a new file. An owner that cannot be kept
// refuses the file: replacing it would take it from its owner.
bool like_file(int fd, int like) {
  struct stat info {};
  if (like == -1) return fchmod(fd, new_file_mode()) == 0 || failed();
  if (!get_info(like, info)) return false;
  struct stat own {};
  const bool same_owner =
      get_info(fd, own) && own.st_uid == info.st_uid && own.st_gid == info.st_gid;
  if (!same_owner && fchown(fd, info.st_uid, info.st_gid) != 0) {
    return refused(reason::not_owner);
  }
  return true;
}

// The file the result replaces, as it was when the result was begun.
struct stat replaced {};

// True when the file at `path` is still that one, unchanged: a save by
// rename brings another file, a save into the file a new time or size.
bool is_replaced_file(const native_path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && is_same_inode(info, replaced) &&
         info.st_size == replaced.st_size && info.st_mtim.tv_sec == replaced.st_mtim.tv_sec &&
         info.st_mtim.tv_nsec == replaced.st_mtim.tv_nsec;
}

bool exchange(const native_path& one, const native_path& other) {
  return renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0;
}

// Puts the result `temp_path` (`result`) at `path` only while the file there
// is the one it replaces, unchanged. The two swap names in one step, so no
// save can slip in between a check and the rename; what came out is checked
// after, and swapped back if it is not that file. The caller holds stops: a
// stop would remove what the swap brought out under the result's old name.
bool swap_in(const native_path& temp_path, const native_path& path, const struct stat& result) {
  if (!exchange(temp_path, path)) {
    if (errno != EINVAL && errno != ENOSYS) return failed();
    // A file system that cannot swap: checked just before the rename.
    if (!is_replaced_file(path)) return refused(reason::changed);
    return rename(temp_path.c_str(), path.c_str()) == 0 || failed();
  }
  drop_guard();
  if (is_replaced_file(temp_path)) {
    if (unlink(temp_path.c_str()) == 0) return true;
    // The old file would stay beside the result: it goes back in its place,
    // and the run fails.
    failed();
    if (exchange(temp_path, path)) unlink(temp_path.c_str());
    return false;
  }
  // A save that comes between the two swaps ends up under the result's old
  // name rather than removed with it.
  struct stat back {};
  if (exchange(temp_path, path) && stat(temp_path.c_str(), &back) == 0 &&
      is_same_inode(back, result)) {
    unlink(temp_path.c_str());
  }
  return refused(reason::changed);
}

// Puts the result at `path`, where there was no file when the run began; one
// that has appeared since (another run's) is left alone.
bool put_new(const native_path& temp_path, const native_path& path) {
  int renamed = renameat2(AT_FDCWD, temp_path.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  // A file system that cannot refuse to replace: the file was absent a
  // moment ago.
  if (renamed != 0 && errno == EINVAL) renamed = rename(temp_path.c_str(), path.c_str());
  return renamed == 0 || (errno == EEXIST ? refused(reason::appeared) : failed());
}

// Makes the rename of a file into `path` itself last through a power cut.
void sync_folder(const native_path& path) {
  const std::size_t slash = path.rfind('/');
  const native_path folder = slash == native_path::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool lock_input(io_handle input) {
  struct stat info {};
  const int fd = static_cast<int>(input);
  return get_info(fd, info) && (!S_ISREG(info.st_mode) || lock(fd));
}

bool lock_destination(const native_path& path, io_handle input, bool may_be_input,
                      io_handle& lock_handle) {
  lock_handle = no_file;
  struct stat info {};
  // Looked at before it is opened: opening a device may do something.
  if (stat(path.c_str(), &info) != 0) return errno == ENOENT || failed();
  if (!S_ISREG(info.st_mode)) return refused(reason::not_regular);
  // The folder may let the tool replace a file it may not write: it does not.
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return failed();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return failed();
  if (!get_info(fd, info) || (!S_ISREG(info.st_mode) && !refused(reason::not_regular)) ||
      (!may_be_input && !is_not_input(info, input)) || !lock(fd)) {
    close(fd);
    return false;
  }
  lock_handle = fd;
  return true;
}

bool may_replace(const native_path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return true;  // the open says why
  return S_ISREG(info.st_mode) || refused(reason::not_regular);
}

bool is_still_input(const native_path& path, io_handle lock, io_handle input) {
  if (lock == no_file) return refused(reason::gone);
  struct stat now {};
  struct stat locked {};
  struct stat opened {};
  if (stat(path.c_str(), &now) != 0) return failed();
  return get_info(static_cast<int>(lock), locked) && get_info(static_cast<int>(input), opened) &&
         ((is_same_inode(now, locked) && is_same_inode(now, opened)) || refused(reason::changed));
}

io_handle open_temp_beside(const native_path& path, io_handle like, native_path& temp_path) {
  constexpr std::string_view suffix = ".tarvix-XXXXXX";
  const std::size_t name = path.rfind('/') + 1;  // npos + 1 is 0
  const std::size_t kept = std::min(path.size() - name, NAME_MAX - suffix.size());
  temp_path = path.substr(0, name + kept).append(suffix);
  if (like != no_file && !get_info(static_cast<int>(like), replaced)) return no_file;
  const io_handle temp = with_stops_held([&]() -> io_handle {
    const int fd = mkostemp(temp_path.data(), O_CLOEXEC);
    if (fd == -1) return failed_open();
    guard(fd, temp_path, stop_action::remove);
    return fd;
  });
  if (temp == no_file || like_file(static_cast<int>(temp), static_cast<int>(like))) return temp;
  abandon_output();
  release_output();
  close(static_cast<int>(temp));
  return no_file;
}

bool replace_file(io_handle temp, const native_path& temp_path, const native_path& path,
                  bool replace) {
  const int fd = static_cast<int>(temp);
  struct stat result {};
  // A user's write clears setuid and setgid: the mode is given once the
  // result is written.
  const bool moded = !replace || fchmod(fd, replaced.st_mode & 07777) == 0 || failed();
  const bool synced = moded && get_info(fd, result) && (fsync(fd) == 0 || failed());
  const bool closed = close(fd) == 0 || failed();
  if (!synced || !closed) return false;
  const bool put = replace ? with_stops_held([&] { return swap_in(temp_path, path, result); })
                           : put_new(temp_path, path);
  if (put) sync_folder(path);
  return put;
}
