// What the Windows files of the tool share: handles as the tool keeps them,
// a file's details, whether two are one, and the lock runs take against
// each other.
#pragma once

#include <windows.h>

#include "system/file_io.h"

HANDLE as_handle(io_handle file);

/// no_file for INVALID_HANDLE_VALUE.
io_handle from_handle(HANDLE handle);

/// Closes a handle the tool will not use, keeping the reason already noted.
io_handle drop(HANDLE handle);

bool is_same_index(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

/// Whether two handles are of one file.
bool same_file(HANDLE a, HANDLE b);

/// GetFileInformationByHandle, with the failure recorded.
bool get_info(HANDLE file, BY_HANDLE_FILE_INFORMATION& info);

/// The same for the file at `path`, opened for its attributes alone.
bool path_info(const native_path& path, BY_HANDLE_FILE_INFORMATION& info);

/// Locks the file for this run, refusing ("another run is writing it") when
/// another run holds it.
bool lock(HANDLE handle);
