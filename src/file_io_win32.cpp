#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "file_io.h"

namespace {

HANDLE as_handle(io_handle file) { return reinterpret_cast<HANDLE>(file); }

io_handle from_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<io_handle>(handle);
}

bool same_file(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION info_a{};
  BY_HANDLE_FILE_INFORMATION info_b{};
  return GetFileInformationByHandle(a, &info_a) && GetFileInformationByHandle(b, &info_b) &&
         info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
         info_a.nFileIndexHigh == info_b.nFileIndexHigh &&
         info_a.nFileIndexLow == info_b.nFileIndexLow;
}

io_handle refuse(HANDLE handle) {
  CloseHandle(handle);
  return no_file;
}

UINT console_code_page = 0;

void restore_code_page() { SetConsoleOutputCP(console_code_page); }

// The copy a stop must leave whole, and how far it is whole. A stop is
// handled on a thread of its own, so writes to the copy hold `copy_lock`,
// and the handler takes it for good before it cuts the copy back.
std::atomic<io_handle> guarded_copy{no_file};
std::atomic<std::int64_t> whole_size{0};
SRWLOCK copy_lock = SRWLOCK_INIT;

BOOL WINAPI on_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (guarded_copy.load() != no_file) {
    AcquireSRWLockExclusive(&copy_lock);  // held for good: no write follows
    const io_handle copy = guarded_copy.load();
    if (copy != no_file) cut_back(copy, whole_size.load());
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

std::string_view console_line_end() { return "\r\n"; }

void prepare_process() {
  // Paths are printed back as UTF-8; the console's own code page is put back
  // at exit so the shell that started the tool is left as it was.
  console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0 && SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_code_page);
  SetConsoleCtrlHandler(on_stop, TRUE);
}

io_handle console_output() { return from_handle(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool is_console_file(const native_path& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool same = same_file(file, GetStdHandle(STD_OUTPUT_HANDLE));
  CloseHandle(file);
  return same;
}

void silence_console() {
  const HANDLE null = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (null != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, null);
}

io_handle open_input(const native_path& path) {
  // A directory cannot be opened this way, and devices (CON, COM1, NUL) are
  // refused: only files on disk and pipes are read.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return no_file;
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) return refuse(handle);
  return from_handle(handle);
}

io_handle open_output(const native_path& path, io_handle input) {
  // Not emptied here, as on POSIX. Sharing only reading is the lock: another
  // run cannot open the copy for writing while this one has it.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return no_file;
  if (same_file(handle, as_handle(input))) return refuse(handle);
  return from_handle(handle);
}

bool empty_file(io_handle file) {
  LARGE_INTEGER size{};
  return GetFileType(as_handle(file)) != FILE_TYPE_DISK ||
         (GetFileSizeEx(as_handle(file), &size) && (size.QuadPart == 0 || cut_back(file, 0)));
}

bool cut_back(io_handle file, std::int64_t size) {
  return seek_to(file, size) && SetEndOfFile(as_handle(file));
}

void guard_copy(io_handle file) {
  guarded_copy = no_file;  // never a copy with another's size
  whole_size = 0;
  guarded_copy = file;
}

void mark_whole(std::int64_t size) { whole_size = size; }

io_handle open_spool() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"tvx", 0, name) == 0) {
    return no_file;
  }
  const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) DeleteFileW(name);
  return from_handle(handle);
}

bool can_seek(io_handle file) { return GetFileType(as_handle(file)) == FILE_TYPE_DISK; }

bool seek_to(io_handle file, std::int64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  return SetFilePointerEx(as_handle(file), distance, nullptr, FILE_BEGIN);
}

std::ptrdiff_t read_some(io_handle file, char* data, std::size_t size) {
  DWORD count = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(as_handle(file), data, want, &count, nullptr)) return count;
  // A pipe whose writer has closed it has simply ended.
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool write_all(io_handle file, const char* data, std::size_t size) {
  const bool to_copy = file == guarded_copy.load();
  if (to_copy) AcquireSRWLockExclusive(&copy_lock);
  bool written = true;
  while (written && size > 0) {
    DWORD count = 0;
    const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    written = WriteFile(as_handle(file), data, want, &count, nullptr);
    // A full non-blocking pipe takes nothing and says so by success: wait.
    if (written && count == 0) Sleep(1);
    data += count;
    size -= count;
  }
  if (to_copy) ReleaseSRWLockExclusive(&copy_lock);
  return written;
}

bool close_file(io_handle file) { return CloseHandle(as_handle(file)); }

std::string display_path(const native_path& path) {
  const int wide_size = static_cast<int>(path.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_size, text.data(), size, nullptr, nullptr);
  return text;
}
