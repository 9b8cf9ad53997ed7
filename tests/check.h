// The few lines the tests share: a check that counts what failed and names
// the row, so that a table of cases reads as a table, and files in memory.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "system/file_io.h"

inline int failed_checks = 0;

/// Records a failed check; `row` says which case and what was wanted.
inline void check(bool ok, const std::string& row) {
  if (ok) return;
  ++failed_checks;
  std::fprintf(stderr, "FAIL %s\n", row.c_str());
}

/// The exit status of a unit test, after saying how it went.
inline int test_status(const char* name) {
  std::printf("%s: %s\n", name, failed_checks == 0 ? "passed" : "FAILED");
  return failed_checks == 0 ? 0 : 1;
}

/// A spool file holding `bytes`, read from its start.
inline io_handle spool_holding(std::string_view bytes) {
  const io_handle spool = open_spool();
  if (!write_all(spool, bytes.data(), bytes.size()) || !seek_to(spool, 0)) std::abort();
  return spool;
}

/// All a file holds, read from its start; closes it.
inline std::string contents(io_handle file) {
  std::string bytes, piece(1 << 16, '\0');
  seek_to(file, 0);
  for (std::ptrdiff_t got; (got = read_some(file, piece.data(), piece.size())) > 0;) {
    bytes.append(piece, 0, static_cast<std::size_t>(got));
  }
  close_file(file);
  return bytes;
}
