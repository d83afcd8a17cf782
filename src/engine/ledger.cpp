#include "engine/ledger.hpp"

#include "engine/fork_locks.hpp"

#include <algorithm>

namespace ratevane {

uint64_t Duration::whole_ms() const {
  uint64_t ms;
  if (__builtin_mul_overflow(seconds, uint64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, uint64_t{nanos / 1'000'000}, &ms)) {
    return UINT64_MAX;
  }
  return ms;
}

LimiterCore::LimiterCore(const WindowSpec* specs, std::size_t n, const WallClock& clock)
    : size_(std::min(n, kMaxWindows)), clock_(&clock) {
  for (std::size_t i = 0; i < size_; ++i) {
    windows_[i].name = specs[i].name;
    windows_[i].limit = specs[i].limit;
    windows_[i].window_seconds = specs[i].window_seconds;
  }
  CoreRegistry::add(this);
}

LimiterCore::~LimiterCore() { CoreRegistry::remove(this); }

bool LimiterCore::poisoned() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return poisoned_;
}

namespace {

// One wall-clock read per ledger step, taken with the lock held: every
// window of the step sees the same instant.
WallTime now_locked(const LimiterCore& core) {
  return split_wall_time(core.clock().now_ns());
}

}  // namespace

void roll_window(WindowLimit& w, uint64_t now_seconds) {
  const uint64_t current = now_seconds - now_seconds % w.window_seconds;
  uint64_t start = w.window_start.load(std::memory_order_relaxed);
  if (start == kNotStarted) {
    w.window_start.compare_exchange_strong(start, current, std::memory_order_relaxed);
  } else if (start < current) {
    // A clock set back leaves the stored start alone (start >= current), so
    // the count is not reset until the clock passes into a newer interval.
    if (w.window_start.compare_exchange_strong(start, current, std::memory_order_relaxed)) {
      w.count.store(0, std::memory_order_relaxed);
    }
  }
}

namespace {

// Count one permit in `w` unless it is full.
bool increment_unless_full(WindowLimit& w) {
  uint64_t c = w.count.load(std::memory_order_relaxed);
  do {
    if (c >= w.limit) return false;
  } while (!w.count.compare_exchange_weak(c, c + 1, std::memory_order_relaxed));
  return true;
}

}  // namespace

bool take_windows_locked(LimiterCore& core, const CoreLock&) {
  const uint64_t now = now_locked(core).seconds;
  for (std::size_t i = 0; i < core.size(); ++i) {
    WindowLimit& w = core.window(i);
    roll_window(w, now);
    if (!increment_unless_full(w)) {
      for (std::size_t j = 0; j < i; ++j) {
        core.window(j).count.fetch_sub(1, std::memory_order_relaxed);
      }
      return false;
    }
  }
  return true;
}

Take take_windows(LimiterCore& core) {
  CoreLock lock(core);
  if (lock.poisoned()) return Take::interrupted;
  return take_windows_locked(core, lock) ? Take::granted : Take::refused;
}

bool take_burst(const BurstBound& burst) {
  if (!burst.max_burst) return true;
  const uint64_t max = *burst.max_burst;
  uint64_t held = burst.in_flight->load(std::memory_order_relaxed);
  do {
    if (held >= max) return false;
  } while (!burst.in_flight->compare_exchange_weak(held, held + 1, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed));
  return true;
}

void give_back_burst(const BurstBound& burst) {
  if (!burst.max_burst) return;
  uint64_t held = burst.in_flight->load(std::memory_order_relaxed);
  do {
    if (held == 0) return;
  } while (!burst.in_flight->compare_exchange_weak(held, held - 1, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed));
}

Take try_acquire(LimiterCore& core, const BurstBound& burst) {
  if (!take_burst(burst)) return Take::refused;
  bool granted;
  {
    CoreLock lock(core);
    if (lock.poisoned()) {
      give_back_burst(burst);
      return Take::interrupted;
    }
    try {
      granted = take_windows_locked(core, lock);
    } catch (...) {
      // The core is poisoned by the lock guard; the burst permit this call
      // took must not stay counted.
      give_back_burst(burst);
      throw;
    }
    if (!granted) give_back_burst(burst);
  }
  return granted ? Take::granted : Take::refused;
}

Duration until_interval_end(uint64_t start, uint64_t length, WallTime now) {
  // The end of the interval saturates: a window longer than the years left
  // in 64 bits never wraps into the past.
  uint64_t end;
  if (__builtin_add_overflow(start, length, &end)) end = UINT64_MAX;
  Duration wait{};
  if (end > now.seconds) {
    wait.seconds = end - now.seconds;
    if (now.nanos > 0) {
      wait.seconds -= 1;
      wait.nanos = 1'000'000'000 - now.nanos;
    }
  }
  return wait;
}

std::optional<Duration> time_until_next_window(LimiterCore& core) {
  CoreLock lock(core);
  if (lock.poisoned()) return std::nullopt;
  const WallTime now = now_locked(core);
  std::optional<Duration> best;
  for (std::size_t i = 0; i < core.size(); ++i) {
    WindowLimit& w = core.window(i);
    roll_window(w, now.seconds);
    if (w.count.load(std::memory_order_relaxed) < w.limit) continue;
    const Duration wait =
        until_interval_end(w.window_start.load(std::memory_order_relaxed), w.window_seconds, now);
    if (!best || wait < *best) best = wait;
  }
  if (best && *best <= Duration{0, 1'000'000}) best = Duration{0, 1'000'000};
  return best;
}

Remaining remaining_per_window(LimiterCore& core, const BurstBound& burst) {
  Remaining out;
  {
    CoreLock lock(core);
    if (!lock.poisoned()) {
      const uint64_t now = now_locked(core).seconds;
      for (std::size_t i = 0; i < core.size(); ++i) {
        WindowLimit& w = core.window(i);
        roll_window(w, now);
        const uint64_t c = w.count.load(std::memory_order_relaxed);
        out.entries[out.size++] = {w.name, c >= w.limit ? 0 : w.limit - c};
      }
    }
  }
  if (burst.max_burst) {
    const uint64_t held = burst.in_flight->load(std::memory_order_relaxed);
    out.entries[out.size++] = {"burst", held >= *burst.max_burst ? 0 : *burst.max_burst - held};
  }
  return out;
}

}  // namespace ratevane
