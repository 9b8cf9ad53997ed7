#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system/failure.h"
#include "system/file_io.h"
#include "system/posix_files.h"
#include "system/stop_guard.h"

namespace {

int console = STDOUT_FILENO;
mode_t process_umask = 022;

bool is_null_device(const struct stat& info) {
  struct stat null_info {};
  return S_ISCHR(info.st_mode) && stat("/dev/null", &null_info) == 0 &&
         info.st_rdev == null_info.st_rdev;
}

// A G-code file may come as a regular file, through a pipe, or as the null
// device (an empty file). Other devices are refused: /dev/zero or a disk
// would never end, or never end well.
bool is_readable_kind(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return refused(std::strerror(EISDIR));
  return S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) || is_null_device(info) ||
         refused(reason::not_a_file);
}

// The files are opened non-blocking so that a FIFO or a device cannot hang
// the open (but for an input FIFO); reads and writes then block as usual.
bool make_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) || failed();
}

io_handle refuse(int fd) {
  close(fd);
  return no_file;
}

sigset_t mask_before_hold;

void on_stop(int signal_number) {
  act_on_guard();
  // Every other signal is blocked while this runs, the same one too: a
  // second stop waits. The first now ends the process as it would have.
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
}

// Every catchable signal whose default action ends the process, but SIGPIPE
// and SIGXFSZ, which the tool ignores.
constexpr int stop_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGPROF, SIGVTALRM, SIGPOLL, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

void catch_stop(int signal_number) {
  struct sigaction stop {};
  stop.sa_handler = on_stop;
  sigfillset(&stop.sa_mask);
  struct sigaction old {};
  // Only the default is replaced: a stop the caller chose to ignore (nohup, a
  // background job) stays ignored, and a runtime checker keeps its handler.
  if (sigaction(signal_number, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
      old.sa_handler == SIG_DFL) {
    sigaction(signal_number, &stop, nullptr);
  }
}

// A console or pipe handed over non-blocking is only empty, or only full:
// wait until it is ready.
void wait_until_ready(int fd, short event) {
  pollfd ready{fd, event, 0};
  poll(&ready, 1, -1);
}

}  // namespace

bool get_info(int fd, struct stat& info) { return fstat(fd, &info) == 0 || failed(); }

bool is_same_inode(const struct stat& info, const struct stat& other) {
  return info.st_dev == other.st_dev && info.st_ino == other.st_ino;
}

bool is_same_file(const struct stat& info, int other) {
  struct stat other_info {};
  return fstat(other, &other_info) == 0 && is_same_inode(info, other_info);
}

bool is_not_input(const struct stat& info, io_handle input) {
  return !is_same_file(info, static_cast<int>(input)) || refused(reason::is_input);
}

bool lock(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  return errno == EWOULDBLOCK ? refused(reason::locked) : failed();
}

mode_t new_file_mode() { return 0666 & ~process_umask; }

bool remove_now(const native_char* path) { return unlink(path) == 0; }

bool cut_now(io_handle file, std::int64_t size) {
  return ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0;
}

void hold_stops() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &mask_before_hold);
}

void let_stops() { sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr); }

std::string_view console_line_end() { return "\n"; }

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (const int signal_number : stop_signals) catch_stop(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    catch_stop(signal_number);
  }
  process_umask = umask(0);
  umask(process_umask);
  // open() returns the lowest free descriptor, so each closed standard
  // descriptor gets the null device in turn.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

io_handle console_output() { return console; }

io_handle console_errors() { return STDERR_FILENO; }

io_handle console_input() { return STDIN_FILENO; }

bool is_terminal(io_handle file) { return isatty(static_cast<int>(file)) == 1; }

bool is_console_file(const native_path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && is_same_file(info, STDOUT_FILENO);
}

void silence_console() { console = -1; }

unsigned long last_system_error() { return static_cast<unsigned long>(errno); }

std::string system_error_text(unsigned long code) { return std::strerror(static_cast<int>(code)); }

unsigned long out_of_memory_error() { return ENOMEM; }

io_handle open_input(const native_path& path) {
  // A FIFO is opened as cat opens it: the open waits for a writer, as a read
  // before one came would find the end at once. Anything else is opened
  // non-blocking, so that a device cannot hang the open; should the path
  // become a device in between, the open may wait, and it is refused after.
  struct stat seen {};
  const int wait = stat(path.c_str(), &seen) == 0 && S_ISFIFO(seen.st_mode) ? 0 : O_NONBLOCK;
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDONLY | wait | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return failed_open();
  struct stat info {};
  if (!get_info(fd, info) || !is_readable_kind(info) || !make_blocking(fd)) {
    return refuse(fd);
  }
  return fd;
}

io_handle open_output(const native_path& path, io_handle input) {
  // Nothing is emptied here: not before the same-file check, so the input is
  // never at risk, and not before the pass, so a run stopped or refused
  // before then leaves an older copy as it was.
  return with_stops_held([&]() -> io_handle {
    constexpr int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path.c_str(), flags | O_EXCL, 0666);
    const bool created = fd != -1;
    if (!created && errno == EEXIST) fd = open(path.c_str(), flags, 0666);
    if (fd == -1) return failed_open();
    struct stat info {};
    // A device is never locked: a lock on /dev/null would hold every run on
    // the machine that writes there.
    if (!get_info(fd, info) || !is_not_input(info, input) || (S_ISREG(info.st_mode) && !lock(fd)) ||
        !make_blocking(fd)) {
      return refuse(fd);
    }
    guard(fd, path, created ? stop_action::cut_back_or_remove : stop_action::cut_back);
    return fd;
  });
}

bool empty_file(io_handle file) {
  struct stat info {};
  const int fd = static_cast<int>(file);
  return get_info(fd, info) && (info.st_size == 0 || !S_ISREG(info.st_mode) || cut_back(file, 0));
}

bool cut_back(io_handle file, std::int64_t size) { return cut_now(file, size) || failed(); }

native_path resolve_path(const native_path& path) {
  // Link by link, so that a path stays as short, and relative, as given, and
  // a link to a file yet to be made leads where that file will be.
  native_path resolved = path;
  for (int links = 0; links < 40; ++links) {
    struct stat info {};
    char target[PATH_MAX];
    if (lstat(resolved.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    const ssize_t size = readlink(resolved.c_str(), target, sizeof target);
    if (size <= 0 || size == static_cast<ssize_t>(sizeof target)) break;
    const std::size_t slash = target[0] == '/' ? 0 : resolved.rfind('/') + 1;  // npos + 1 is 0
    resolved = resolved.substr(0, slash).append(target, static_cast<std::size_t>(size));
  }
  return resolved;
}

native_path temporary_folder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && *folder != 0 ? folder : "/tmp";
}

io_handle open_spool() {
  const native_path folder = temporary_folder();
  const int unnamed = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (unnamed != -1) return unnamed;
  // Where the folder takes no unnamed file (an older kernel or file system),
  // a stop waits while the file has its name, so it never finds one.
  native_path name = folder + "/tarvix-XXXXXX";
  return with_stops_held([&]() -> io_handle {
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd == -1) return failed_open();
    if (unlink(name.c_str()) == 0) return fd;
    close(fd);  // a spool that keeps its name would keep the line too
    return failed_open();
  });
}

bool can_seek(io_handle file) {
  struct stat info {};
  return fstat(static_cast<int>(file), &info) == 0 && S_ISREG(info.st_mode);
}

bool identify_file(io_handle file, file_identity& identity) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  identity = {info.st_dev, info.st_ino};
  return true;
}

bool identify_link(const native_path& path, file_identity& identity) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
  identity = {info.st_dev, info.st_ino};
  return true;
}

std::int64_t file_size(io_handle file) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) == 0) return info.st_size;
  failed();
  return -1;
}

bool seek_to(io_handle file, std::int64_t offset) {
  return lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) == offset || failed();
}

std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size) {
  for (;;) {
    const ssize_t count = read(static_cast<int>(file), data, size);
    if (count >= 0) return count;
    if (errno == EAGAIN) {
      wait_until_ready(static_cast<int>(file), POLLIN);
    } else if (errno != EINTR) {
      failed();
      return -1;
    }
  }
}

bool write_all(io_handle file, const char* data, std::size_t size) {
  if (file == no_file) return false;
  while (size > 0) {
    const ssize_t count = write(static_cast<int>(file), data, size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) {
      wait_until_ready(static_cast<int>(file), POLLOUT);
      continue;
    }
    if (count <= 0) return failed();
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool close_file(io_handle file) { return close(static_cast<int>(file)) == 0 || failed(); }

std::string display_path(const native_path& path) { return path; }
