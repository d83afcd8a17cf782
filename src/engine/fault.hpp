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
  count_,
};

// Armed points fail the next `n` times they are reached.
inline std::atomic<int>& armed(Point p) {
  static std::atomic<int> slots[static_cast<int>(Point::count_)];
  return slots[static_cast<int>(p)];
}

inline void maybe_fail(Point p) {
  auto& slot = armed(p);
  int n = slot.load(std::memory_order_relaxed);
  while (n > 0) {
    if (slot.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
      throw std::runtime_error("injected fault");
    }
  }
}

}  // namespace ratevane::fault
