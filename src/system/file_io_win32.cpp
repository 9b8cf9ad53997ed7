#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "system/failure.h"
#include "system/file_io.h"
#include "system/stop_guard.h"
#include "system/win32_files.h"

namespace {

io_handle refuse(HANDLE handle, const char* why) {
  refused(why);
  return drop(handle);
}

bool silenced = false;

UINT console_code_page = 0;

void restore_code_page() { SetConsoleOutputCP(console_code_page); }

// A stop is handled on a thread of its own, so writes to the guarded file
// hold `copy_lock`, and the handler takes it for good before it acts. The
// files are shared for deletion, so removing one needs no handle closed.
SRWLOCK copy_lock = SRWLOCK_INIT;

BOOL WINAPI on_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  hold_stops();  // for good: no write follows
  act_on_guard();
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

HANDLE as_handle(io_handle file) { return reinterpret_cast<HANDLE>(file); }

io_handle from_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<io_handle>(handle);
}

// Closes a handle the tool will not use, keeping the reason already noted.
io_handle drop(HANDLE handle) {
  CloseHandle(handle);
  return no_file;
}

bool is_same_index(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool same_file(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION info_a{};
  BY_HANDLE_FILE_INFORMATION info_b{};
  return GetFileInformationByHandle(a, &info_a) && GetFileInformationByHandle(b, &info_b) &&
         is_same_index(info_a, info_b);
}

bool get_info(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(file, &info) || failed();
}

bool path_info(const native_path& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failed();
  const bool known = get_info(file, info);
  CloseHandle(file);
  return known;
}

// Runs of the tool lock one byte far past any end of file, so the lock
// never stands in the way of a read or a write.
bool lock(HANDLE handle) {
  OVERLAPPED far_past_the_end{};
  far_past_the_end.Offset = 0xFFFFFFFE;
  far_past_the_end.OffsetHigh = 0x7FFFFFFF;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &far_past_the_end) ||
         refused(reason::locked);
}

bool remove_now(const native_char* path) { return DeleteFileW(path); }

bool cut_now(io_handle file, std::int64_t size) {
  LARGE_INTEGER distance{};
  distance.QuadPart = size;
  return SetFilePointerEx(as_handle(file), distance, nullptr, FILE_BEGIN) &&
         SetEndOfFile(as_handle(file));
}

void hold_stops() { AcquireSRWLockExclusive(&copy_lock); }

void let_stops() { ReleaseSRWLockExclusive(&copy_lock); }

std::string_view console_line_end() { return "\r\n"; }

void prepare_process() {
  // Paths are printed back as UTF-8; the console's own code page is put back
  // at exit so the shell that started the tool is left as it was.
  console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0 && SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_code_page);
  SetConsoleCtrlHandler(on_stop, TRUE);
}

io_handle console_output() {
  return silenced ? no_file : from_handle(GetStdHandle(STD_OUTPUT_HANDLE));
}

io_handle console_errors() { return from_handle(GetStdHandle(STD_ERROR_HANDLE)); }

io_handle console_input() { return from_handle(GetStdHandle(STD_INPUT_HANDLE)); }

bool is_terminal(io_handle file) {
  DWORD mode = 0;
  return GetConsoleMode(as_handle(file), &mode);
}

bool is_console_file(const native_path& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool same = same_file(file, GetStdHandle(STD_OUTPUT_HANDLE));
  CloseHandle(file);
  return same;
}

void silence_console() { silenced = true; }

unsigned long last_system_error() { return GetLastError(); }

std::string system_error_text(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  native_path words = size > 0 ? native_path(text, size) : L"error " + std::to_wstring(code);
  LocalFree(text);
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' ||
                            words.back() == L'.' || words.back() == L' ')) {
    words.pop_back();
  }
  return display_path(words);
}

unsigned long out_of_memory_error() { return ERROR_NOT_ENOUGH_MEMORY; }

io_handle open_input(const native_path& path) {
  // A directory cannot be opened this way, and devices (CON, COM1, NUL) are
  // refused: only files on disk and pipes are read.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return failed_open();
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) return refuse(handle, reason::not_a_file);
  return from_handle(handle);
}

io_handle open_output(const native_path& path, io_handle input) {
  // Not emptied here, as on POSIX. Sharing no writing is the lock against
  // another dialogue; the far lock is the one a run from a script takes.
  hold_stops();
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  if (handle == INVALID_HANDLE_VALUE) {
    failed();
  } else if (same_file(handle, as_handle(input))) {
    handle = as_handle(refuse(handle, reason::is_input));
  } else if (GetFileType(handle) == FILE_TYPE_DISK && !lock(handle)) {
    handle = as_handle(drop(handle));
  } else {
    guard(from_handle(handle), path,
          created ? stop_action::cut_back_or_remove : stop_action::cut_back);
  }
  let_stops();
  return from_handle(handle);
}

bool empty_file(io_handle file) {
  LARGE_INTEGER size{};
  return GetFileType(as_handle(file)) != FILE_TYPE_DISK ||
         ((GetFileSizeEx(as_handle(file), &size) || failed()) &&
          (size.QuadPart == 0 || cut_back(file, 0)));
}

bool cut_back(io_handle file, std::int64_t size) { return cut_now(file, size) || failed(); }

native_path resolve_path(const native_path& path) {
  // A full path, as the replace call wants one.
  native_path full(MAX_PATH, L'\0');
  DWORD size = GetFullPathNameW(path.c_str(), MAX_PATH, full.data(), nullptr);
  if (size >= MAX_PATH) {
    full.resize(size);
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  }
  full.resize(size < full.size() ? size : 0);
  if (full.empty()) full = path;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return full;
  }
  const HANDLE handle =
      CreateFileW(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return full;
  native_path target(MAX_PATH, L'\0');
  size = GetFinalPathNameByHandleW(handle, target.data(), MAX_PATH, 0);
  if (size >= MAX_PATH) {
    target.resize(size);
    size = GetFinalPathNameByHandleW(handle, target.data(), size, 0);
  }
  CloseHandle(handle);
  if (size == 0 || size >= target.size()) return full;
  target.resize(size);
  return target;
}

native_path temporary_folder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD size = GetTempPathW(MAX_PATH + 1, folder);
  return size > 0 && size <= MAX_PATH ? native_path(folder, size) : L".";
}

io_handle open_spool() {
  // Made and marked to go on close in one call, so no stop can come between
  // and leave it behind: a stop's ExitProcess closes it too.
  static UINT count = 0;
  const native_path folder = temporary_folder();
  wchar_t name[MAX_PATH + 1];
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 100 && handle == INVALID_HANDLE_VALUE; ++tries) {
    // A unique number that is not 0 only makes the name.
    const UINT unique = (GetCurrentProcessId() * 7919 + GetTickCount() + ++count) | 1;
    if (GetTempFileNameW(folder.c_str(), L"tvx", unique, name) == 0) break;
    handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) failed();
  return from_handle(handle);
}

bool can_seek(io_handle file) { return GetFileType(as_handle(file)) == FILE_TYPE_DISK; }

bool identify_file(io_handle file, file_identity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!can_seek(file) || !GetFileInformationByHandle(as_handle(file), &info)) return false;
  identity = {info.dwVolumeSerialNumber,
              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return true;
}

bool identify_link(const native_path& path, file_identity& identity) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  const HANDLE link = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) return false;
  const bool known = identify_file(from_handle(link), identity);
  CloseHandle(link);
  return known;
}

std::int64_t file_size(io_handle file) {
  LARGE_INTEGER size{};
  if (GetFileSizeEx(as_handle(file), &size)) return size.QuadPart;
  failed();
  return -1;
}

bool seek_to(io_handle file, std::int64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  return SetFilePointerEx(as_handle(file), distance, nullptr, FILE_BEGIN) || failed();
}

std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size) {
  DWORD count = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(as_handle(file), data, want, &count, nullptr)) return count;
  // A pipe whose writer has closed it has simply ended.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  failed();
  return -1;
}

bool write_all(io_handle file, const char* data, std::size_t size) {
  if (file == no_file) return false;
  const bool to_copy = is_guarded(file);
  if (to_copy) hold_stops();
  bool written = true;
  while (written && size > 0) {
    DWORD count = 0;
    const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    written = WriteFile(as_handle(file), data, want, &count, nullptr) || failed();
    // A full non-blocking pipe takes nothing and says so by success: wait.
    if (written && count == 0) Sleep(1);
    data += count;
    size -= count;
  }
  if (to_copy) let_stops();
  return written;
}

bool close_file(io_handle file) { return CloseHandle(as_handle(file)) || failed(); }

std::string display_path(const native_path& path) {
  const int wide_size = static_cast<int>(path.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_size, text.data(), size, nullptr, nullptr);
  return text;
}
