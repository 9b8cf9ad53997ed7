// Putting a result in place on Windows: the locks runs take, the temporary
// file beside the destination, and the replace call, made only while the
// file there is still the one read.
#include <windows.h>

#include <algorithm>
#include <string_view>

#include "system/failure.h"
#include "system/file_io.h"
#include "system/stop_guard.h"
#include "system/win32_files.h"

namespace {

// The file the result replaces, as it was when the result was begun.
BY_HANDLE_FILE_INFORMATION replaced{};

// True when the file at `path` is still that one, unchanged: a save by
// rename brings another file, a save into the file a new time or size.
bool is_replaced_file(const native_path& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  return path_info(path, info) &&
         ((is_same_index(info, replaced) && info.nFileSizeHigh == replaced.nFileSizeHigh &&
           info.nFileSizeLow == replaced.nFileSizeLow &&
           CompareFileTime(&info.ftLastWriteTime, &replaced.ftLastWriteTime) == 0) ||
          refused(reason::changed));
}

void append_hex(native_path& text, unsigned long value) {
  for (int digit = 0; digit < 8; ++digit, value >>= 4) text += L"0123456789abcdef"[value & 15];
}

}  // namespace

bool lock_input(io_handle input) {
  return GetFileType(as_handle(input)) != FILE_TYPE_DISK || lock(as_handle(input));
}

bool lock_destination(const native_path& path, io_handle input, bool may_be_input,
                      io_handle& lock_handle) {
  lock_handle = no_file;
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || failed();
  const bool lockable =
      (GetFileType(handle) == FILE_TYPE_DISK || refused(reason::not_regular)) &&
      (may_be_input || !same_file(handle, as_handle(input)) || refused(reason::is_input)) &&
      lock(handle);
  if (!lockable) {
    drop(handle);
    return false;
  }
  lock_handle = from_handle(handle);
  return true;
}

// Windows has no FIFO to wait on: what is no regular file is refused once
// it is opened.
bool may_replace(const native_path&) { return true; }

bool is_still_input(const native_path& path, io_handle lock, io_handle input) {
  if (lock == no_file) return refused(reason::gone);
  BY_HANDLE_FILE_INFORMATION now_info{};
  BY_HANDLE_FILE_INFORMATION locked{};
  BY_HANDLE_FILE_INFORMATION opened{};
  const bool known = path_info(path, now_info) && get_info(as_handle(lock), locked) &&
                     get_info(as_handle(input), opened);
  return known && ((is_same_index(now_info, locked) && is_same_index(now_info, opened)) ||
                   refused(reason::changed));
}

io_handle open_temp_beside(const native_path& path, io_handle like, native_path& temp_path) {
  static unsigned long count = 0;
  if (like != no_file && !get_info(as_handle(like), replaced)) return no_file;
  constexpr std::size_t longest_name = 255;
  constexpr std::wstring_view suffix = L".tarvix-";
  const std::size_t name = path.find_last_of(L"\\/") + 1;  // npos + 1 is 0
  const std::size_t kept = std::min(path.size() - name, longest_name - suffix.size() - 8);
  HANDLE handle = INVALID_HANDLE_VALUE;
  temp_path.reserve(path.size() + 16);  // no memory is asked for while the lock is held
  hold_stops();
  for (int tries = 0; tries < 100 && handle == INVALID_HANDLE_VALUE; ++tries) {
    temp_path.assign(path, 0, name + kept).append(suffix);
    append_hex(temp_path, GetCurrentProcessId() * 7919 + GetTickCount() + ++count);
    handle = CreateFileW(temp_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    failed();
  } else {
    guard(from_handle(handle), temp_path, stop_action::remove);
  }
  let_stops();
  return from_handle(handle);
}

bool replace_file(io_handle temp, const native_path& temp_path, const native_path& path,
                  bool replace) {
  const bool flushed = FlushFileBuffers(as_handle(temp)) || failed();
  const bool closed = CloseHandle(as_handle(temp)) || failed();
  if (!flushed || !closed) return false;
  // The replace call keeps the older file's attributes and permissions. It
  // cannot replace only a given file, so the file there is checked just
  // before it.
  if (replace) {
    if (!is_replaced_file(path)) return false;
    return ReplaceFileW(path.c_str(), temp_path.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                        nullptr, nullptr) ||
           failed();
  }
  if (MoveFileExW(temp_path.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? refused(reason::appeared)
                                                                     : failed();
}
