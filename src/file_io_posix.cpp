#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "file_io.h"

namespace {

bool is_null_device(const struct stat& info) {
  struct stat null_info {};
  return S_ISCHR(info.st_mode) && stat("/dev/null", &null_info) == 0 &&
         info.st_rdev == null_info.st_rdev;
}

// A G-code file may come as a regular file, through a pipe, or as the null
// device (an empty file). Other devices are refused: /dev/zero or a disk
// would never end, or never end well.
bool is_readable_kind(const struct stat& info) {
  return S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) || is_null_device(info);
}

// The files are opened non-blocking so that a FIFO or a device cannot hang
// the open; reads and writes then block as usual.
bool make_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool is_same_file(const struct stat& info, int other) {
  struct stat other_info {};
  return fstat(other, &other_info) == 0 && info.st_dev == other_info.st_dev &&
         info.st_ino == other_info.st_ino;
}

io_handle refuse(int fd) {
  close(fd);
  return no_file;
}

}  // namespace

std::string_view console_line_end() { return "\n"; }

void prepare_console() {
  std::signal(SIGPIPE, SIG_IGN);
  // open() returns the lowest free descriptor, so each closed standard
  // descriptor gets the null device in turn.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

io_handle console_output() { return STDOUT_FILENO; }

io_handle open_input(const native_path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return no_file;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !is_readable_kind(info) || !make_blocking(fd)) {
    return refuse(fd);
  }
  return fd;
}

io_handle open_output(const native_path& path, io_handle input) {
  // Truncating only after the same-file check leaves no moment in which the
  // input could be emptied.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd == -1) return no_file;
  struct stat info {};
  if (fstat(fd, &info) != 0 || is_same_file(info, static_cast<int>(input))) return refuse(fd);
  if (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) return refuse(fd);
  if (!make_blocking(fd)) return refuse(fd);
  return fd;
}

bool can_seek(io_handle file) {
  struct stat info {};
  return fstat(static_cast<int>(file), &info) == 0 && S_ISREG(info.st_mode);
}

bool seek_to(io_handle file, std::int64_t offset) {
  return lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) == offset;
}

std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size) {
  for (;;) {
    const ssize_t count = read(static_cast<int>(file), data, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

bool write_all(io_handle file, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = write(static_cast<int>(file), data, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool close_file(io_handle file) { return close(static_cast<int>(file)) == 0; }

std::string display_path(const native_path& path) { return path; }
