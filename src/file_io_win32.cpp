#include <windows.h>

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

}  // namespace

std::string_view console_line_end() { return "\r\n"; }

void prepare_console() {
  // Paths are printed back as UTF-8; the console's own code page is put back
  // at exit so the shell that started the tool is left as it was.
  console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0 && SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_code_page);
}

io_handle console_output() { return from_handle(GetStdHandle(STD_OUTPUT_HANDLE)); }

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
  // Emptied only after the same-file check, as on POSIX.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return no_file;
  if (same_file(handle, as_handle(input))) return refuse(handle);
  if (GetFileType(handle) == FILE_TYPE_DISK && !SetEndOfFile(handle)) return refuse(handle);
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
  while (size > 0) {
    DWORD count = 0;
    const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!WriteFile(as_handle(file), data, want, &count, nullptr) || count == 0) return false;
    data += count;
    size -= count;
  }
  return true;
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
