#include "system/stop_guard.h"

#include <atomic>
#include <iterator>

namespace {

// The file a stop must leave sound, where it is, what to do with it, and how
// far it holds whole lines (-1 until the pass begins). A stop may read them
// at any moment, in a signal handler or on a thread of its own.
std::atomic<io_handle> guarded_file{no_file};
native_char guarded_path[32768];  // the longest path either system takes
std::atomic<stop_action> guarded_action{stop_action::cut_back};
std::atomic<std::int64_t> whole_size{-1};
static_assert(std::atomic<io_handle>::is_always_lock_free, "read in a signal handler");
static_assert(std::atomic<stop_action>::is_always_lock_free, "read in a signal handler");
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "read in a signal handler");

}  // namespace

void guard(io_handle file, const native_path& path, stop_action action) {
  guarded_file = no_file;
  const std::size_t size = path.size() < std::size(guarded_path) ? path.size() : 0;  // never opened
  path.copy(guarded_path, size);
  guarded_path[size] = 0;
  guarded_action = action;
  whole_size = -1;
  guarded_file = file;
}

void drop_guard() { guarded_file = no_file; }

bool is_guarded(io_handle file) { return file != no_file && file == guarded_file.load(); }

void act_on_guard() {
  const io_handle file = guarded_file.load();
  if (file == no_file) return;
  const std::int64_t whole = whole_size.load(std::memory_order_acquire);
  const stop_action action = guarded_action.load();
  if (action == stop_action::remove || (action == stop_action::cut_back_or_remove && whole <= 0)) {
    remove_now(guarded_path);
  } else if (whole >= 0) {
    cut_now(file, whole);
  }
}

// A release store: no fence on most processors, and a handler on this same
// thread still sees it after the write it follows.
void mark_whole(std::int64_t size) { whole_size.store(size, std::memory_order_release); }

void abandon_output() {
  hold_stops();
  act_on_guard();
  let_stops();
}

void release_output() {
  hold_stops();
  drop_guard();
  let_stops();
}
