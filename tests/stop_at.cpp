// Preloaded into the tool to stop it, or fail a call, at a moment no timing
// could hit. TARVIX_STOP_AT names a call (ftruncate, fsync, rename,
// faccessat, flock, unlink or lseek), and the signal numbered
// TARVIX_STOP_SIGNAL comes just before it is first made, or the file
// TARVIX_SHRINK names is emptied then instead. TARVIX_FAIL_AT names a call
// that fails instead: fsync (EIO), read (EIO where standard input ends), open
// (EOPNOTSUPP for an unnamed file), renameat2 (EINVAL for a swap, as on a
// file system that cannot). TARVIX_PASS=N lets the first N of the named calls
// through. Of lseek, read or unlink named by TARVIX_FAIL_ONE only the one past
// the first TARVIX_PASS fails, with EIO, making the file TARVIX_FAILED_MARK.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Only the tool's calls count, not those of a launcher (valgrind's).
bool names(const char* variable, const char* call) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::strcmp(value, call) == 0 &&
         std::strncmp(program_invocation_short_name, "tarvix", 6) == 0;
}

// Once: what follows a stop (a handler that cuts back) may make the same call.
bool stopped = false;

// Whether the named call is due: past the first TARVIX_PASS of them.
bool due() {
  static int passed = 0;
  const char* pass = std::getenv("TARVIX_PASS");
  return pass == nullptr || passed++ >= std::atoi(pass);
}

template <typename function>
function real(const char* call) {
  const char* shrink = std::getenv("TARVIX_SHRINK");
  if (names("TARVIX_STOP_AT", call) && !stopped && due()) {
    stopped = true;
    if (shrink != nullptr) truncate(shrink, 0);
    if (shrink == nullptr) std::raise(std::atoi(std::getenv("TARVIX_STOP_SIGNAL")));
  }
  return reinterpret_cast<function>(dlsym(RTLD_NEXT, call));
}

int failure(int error) {
  errno = error;
  return -1;
}

bool fails_once(const char* call) {
  static int calls = 0;
  const char* pass = std::getenv("TARVIX_PASS");
  if (!names("TARVIX_FAIL_ONE", call) || calls++ != (pass == nullptr ? 0 : std::atoi(pass))) {
    return false;
  }
  if (const char* mark = std::getenv("TARVIX_FAILED_MARK")) close(creat(mark, 0600));
  return true;
}

}  // namespace

extern "C" int ftruncate(int fd, off_t size) {
  return real<int (*)(int, off_t)>("ftruncate")(fd, size);
}

extern "C" int rename(const char* from, const char* to) {
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to,
                         unsigned flags) {
  if (names("TARVIX_FAIL_AT", "renameat2") && (flags & RENAME_EXCHANGE)) return failure(EINVAL);
  return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      from_folder, from, to_folder, to, flags);
}

extern "C" int flock(int fd, int operation) {
  return real<int (*)(int, int)>("flock")(fd, operation);
}

extern "C" int faccessat(int folder, const char* path, int mode, int flags) {
  return real<int (*)(int, const char*, int, int)>("faccessat")(folder, path, mode, flags);
}

extern "C" int unlink(const char* path) {
  return fails_once("unlink") ? failure(EIO) : real<int (*)(const char*)>("unlink")(path);
}

extern "C" int fsync(int fd) {
  return names("TARVIX_FAIL_AT", "fsync") ? failure(EIO) : real<int (*)(int)>("fsync")(fd);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
  if (fails_once("lseek")) return failure(EIO);
  return real<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
}

extern "C" ssize_t read(int fd, void* data, size_t size) {
  if (fails_once("read")) return failure(EIO);
  const ssize_t count = real<ssize_t (*)(int, void*, size_t)>("read")(fd, data, size);
  return count == 0 && fd == 0 && names("TARVIX_FAIL_AT", "read") ? failure(EIO) : count;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode =
      (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(more, mode_t) : 0;
  va_end(more);
  if ((flags & O_TMPFILE) == O_TMPFILE && names("TARVIX_FAIL_AT", "open")) {
    return failure(EOPNOTSUPP);
  }
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}
