// What the POSIX files of the tool share: a file's details, whether two
// are one, and the lock runs take against each other.
#pragma once

#include <sys/stat.h>

#include "system/file_io.h"

/// fstat, with the failure recorded.
bool get_info(int fd, struct stat& info);

bool is_same_inode(const struct stat& info, const struct stat& other);

/// Whether `info` is of the file open as `other`.
bool is_same_file(const struct stat& info, int other);

/// Refuses ("it is the input file itself") a file that is the input.
bool is_not_input(const struct stat& info, io_handle input);

/// Locks `fd` for this run, refusing ("another run is writing it") when
/// another run holds it.
bool lock(int fd);

/// The mode of a new file under the process's umask.
mode_t new_file_mode();
