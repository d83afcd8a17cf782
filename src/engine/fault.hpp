// Test-only fault injection. Compiled in only with -Dfault_injection=true;
// a release build carries none of it.
#pragma once

#include <atomic>
#include <stdexcept>

namespace ratevane::fault {

enum class Point : int {
  wall_clock,      // a wall-clock read inside a ledger step (poisons the core)
  task_work,       // the body of a background task
  conversion,      // converting a result to a host object
  leak,            // release(): keeps one new host object alive for good
  fork_handlers,   // a fork: runs without the module's fork handlers
  use_after_free,  // release(): reads a heap cell it has just freed
  native_leak,     // release(): allocates a heap cell and forgets it
  count_,
};

// Armed points go off the next `n` times they are reached.
inline std::atomic<int>& armed(Point p) {
  static std::atomic<int> slots[static_cast<int>(Point::count_)];
  return slots[static_cast<int>(p)];
}

// Whether the point goes off on this pass (using up one of its count).
inline bool goes_off(Point p) {
  auto& slot = armed(p);
  int n = slot.load(std::memory_order_relaxed);
  while (n > 0) {
    if (slot.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

inline void maybe_fail(Point p) {
  if (goes_off(p)) throw std::runtime_error("injected fault");
}

}  // namespace ratevane::fault
