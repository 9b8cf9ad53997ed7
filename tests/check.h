// The few lines the unit tests share: a check that counts what failed and
// names the row, so that a table of cases reads as a table.
#pragma once

#include <cstdio>
#include <string>

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
