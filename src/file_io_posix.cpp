#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// The copy a stop must leave whole, and how far it is whole.
std::atomic<int> guarded_copy{-1};
std::atomic<std::int64_t> whole_size{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "used in a signal handler");

void on_stop(int signal_number) {
  const int copy = guarded_copy.load();
  if (copy != -1) cut_back(copy, whole_size.load());
  // The handler has been reset to the default, which now ends the process.
  raise(signal_number);
}

}  // namespace

std::string_view console_line_end() { return "\n"; }

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = on_stop;
  stop.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (const int signal_number :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF}) {
    struct sigaction old {};
    // A stop the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(signal_number, &stop, nullptr);
    }
  }
  // open() returns the lowest free descriptor, so each closed standard
  // descriptor gets the null device in turn.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

io_handle console_output() { return STDOUT_FILENO; }

bool is_console_file(const native_path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && is_same_file(info, STDOUT_FILENO);
}

void silence_console() {
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null != -1 && dup2(null, STDOUT_FILENO) != -1) close(null);
}

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
  // Nothing is emptied here: not before the same-file check, so the input is
  // never at risk, and not before the pass, so a run stopped or refused
  // before then leaves an older copy as it was.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd == -1) return no_file;
  struct stat info {};
  if (fstat(fd, &info) != 0 || is_same_file(info, static_cast<int>(input)) ||
      flock(fd, LOCK_EX | LOCK_NB) != 0 || !make_blocking(fd)) {
    return refuse(fd);
  }
  return fd;
}

bool empty_file(io_handle file) {
  struct stat info {};
  const int fd = static_cast<int>(file);
  return fstat(fd, &info) == 0 &&
         (info.st_size == 0 || !S_ISREG(info.st_mode) || ftruncate(fd, 0) == 0);
}

bool cut_back(io_handle file, std::int64_t size) {
  return ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0;
}

void guard_copy(io_handle file) {
  guarded_copy = -1;  // never a copy with another's size
  whole_size = 0;
  guarded_copy = static_cast<int>(file);
}

void mark_whole(std::int64_t size) { whole_size = size; }

io_handle open_spool() {
  char name[] = "/tmp/tarvix-XXXXXX";
  const int fd = mkostemp(name, O_CLOEXEC);
  if (fd != -1) unlink(name);
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
    if (count < 0 && errno == EAGAIN) {
      // A non-blocking console (as some front ends hand over) is only full.
      pollfd ready{static_cast<int>(file), POLLOUT, 0};
      poll(&ready, 1, -1);
      continue;
    }
    if (count <= 0) return false;
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool close_file(io_handle file) { return close(static_cast<int>(file)) == 0; }

std::string display_path(const native_path& path) { return path; }
