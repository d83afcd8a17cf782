#include "engine/sleep.hpp"

#include <algorithm>

#include "os/os.hpp"

namespace ratevane {

bool SlicedSleeper::sleep_slice(int64_t ns) {
  os::sleep_ns(ns);
  return false;
}

bool SlicedSleeper::sleep(uint64_t ms, std::atomic<bool>& interrupted) {
  const int64_t start = clock_.now_ns();
  const int64_t duration = static_cast<int64_t>(std::min<uint64_t>(ms, INT64_MAX / 1'000'000)) * 1'000'000;
  for (;;) {
    // The elapsed test comes first: a zero sleep returns at once without
    // looking at the flag.
    const int64_t elapsed = clock_.now_ns() - start;
    if (elapsed >= duration) return false;
    if (interrupted.load(std::memory_order_acquire)) return true;
    const int64_t slice = std::min(duration - elapsed, kSliceNs);
    const bool woken = sleep_slice(slice);
    since_check_ += slice;
    if (since_check_ >= kSignalCheckNs) {
      since_check_ = 0;
      if (signal_check_failed()) {
        interrupted.store(true, std::memory_order_release);
        return true;
      }
    }
    if (woken) return false;
  }
}

}  // namespace ratevane
