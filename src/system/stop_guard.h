// The guard that a stop finds: the one file being written that a stop must
// leave sound, and what the stop does with it. For the platform files only;
// mark_whole, abandon_output and release_output in file_io.h are its face
// to the rest of the tool.
#pragma once

#include <cstdint>

#include "system/file_io.h"

/// What a stop does with the guarded file.
enum class stop_action {
  cut_back,            ///< once the pass has begun, cut back to its whole lines
  cut_back_or_remove,  ///< the same, but removed while it holds no whole line
  remove,
};

/// Names the file a stop must leave sound, found at `path`. Nothing here can
/// fail or ask for memory. The caller holds stops meanwhile.
void guard(io_handle file, const native_path& path, stop_action action);

/// Ends the guard; the caller holds stops meanwhile.
void drop_guard();

/// True when `file` is the guarded file.
bool is_guarded(io_handle file);

/// Does to the guarded file what a stop does. Safe in a signal handler: it
/// reads lock-free atomics and makes only the calls below.
void act_on_guard();

// Given by the platform file, each safe to make in a signal handler.

/// Removes the file at `path`; false when that fails, which a stop can only
/// ignore. The reason is not kept: failure_reason stays as it was.
bool remove_now(const native_char* path);

/// Cuts `file` back to `size` bytes; false when that fails, as remove_now.
bool cut_now(io_handle file, std::int64_t size);

/// Makes a stop wait until let_stops: on POSIX signals are blocked, on
/// Windows the stop's thread waits for a lock. Not nested.
void hold_stops();

/// Lets a stop that waited go on.
void let_stops();

/// Runs `step` with stops held: opening a file and guarding it are then one
/// step for a stop, which finds the file either not yet there or guarded.
template <typename step_type>
auto with_stops_held(step_type step) {
  hold_stops();
  const auto result = step();
  let_stops();
  return result;
}
