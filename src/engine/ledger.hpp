// The window ledger: fixed, clock-aligned windows with permit counters, and
// the burst bound beside them.
//
// A window of length L seconds covers the wall-clock interval that starts at
// a multiple of L counted from the Unix epoch; at most `limit` permits are
// taken inside one interval. A permit is granted only when every window has
// room and then counts in every window at once; permits never go back to a
// window, whose count returns to 0 only when it rolls into a newer interval.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "engine/clock.hpp"
#include "engine/error.hpp"

namespace ratevane {

// A waiting time: whole seconds and the nanoseconds past them.
struct Duration {
  uint64_t seconds = 0;
  uint32_t nanos = 0;

  // Saturates at the largest value rather than wrapping.
  uint64_t whole_ms() const;
  double as_seconds() const {
    return static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9;
  }
  friend bool operator==(const Duration&, const Duration&) = default;
  friend auto operator<=>(const Duration&, const Duration&) = default;
};

// Marks a window that has not fixed its first interval yet. It is not 0,
// because an interval may genuinely start at Unix time 0 (a clock before the
// epoch, or a window longer than the time since 1970), and such a window must
// still reset when it rolls over.
inline constexpr uint64_t kNotStarted = UINT64_MAX;

struct WindowLimit {
  const char* name = nullptr;  // "second", "minute", "hour" or "day"
  uint64_t limit = 0;           // at least 1
  uint64_t window_seconds = 0;  // at least 1
  // Only ever touched with the core lock held; atomics all the same, so a
  // reader that bypasses the lock (none does today) would see whole values.
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> window_start{kNotStarted};
};

struct WindowSpec {
  const char* name;
  uint64_t limit;
  uint64_t window_seconds;
};

inline constexpr std::size_t kMaxWindows = 4;

// The lock-guarded ledger of one limiter: a mutex, the poisoned flag and the
// configured windows in the order second, minute, hour, day. The windows are
// fixed at construction.
class LimiterCore {
 public:
  // A core is listed among the live cores from construction to
  // destruction, so that a fork can find every core lock (fork_locks.hpp).
  LimiterCore(const WindowSpec* specs, std::size_t n,
              const WallClock& clock = system_wall_clock());
  ~LimiterCore();
  LimiterCore(const LimiterCore&) = delete;
  LimiterCore& operator=(const LimiterCore&) = delete;

  std::size_t size() const { return size_; }
  const WindowLimit& window(std::size_t i) const { return windows_[i]; }
  WindowLimit& window(std::size_t i) { return windows_[i]; }
  bool poisoned() const;
  const WallClock& clock() const { return *clock_; }

 private:
  friend class CoreLock;
  friend struct CoreRegistry;
  mutable std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  std::size_t size_ = 0;
  std::array<WindowLimit, kMaxWindows> windows_;
  const WallClock* clock_;
  // Links of the list of live cores; guarded by the registry's lock.
  LimiterCore* live_prev_ = nullptr;
  LimiterCore* live_next_ = nullptr;
};

// Holds the core lock for one ledger step. If the step unwinds with an
// exception (an abnormal failure: a broken invariant, an injected fault),
// the core is marked poisoned before the lock is let go, so no call site has
// to remember to do it.
class CoreLock {
 public:
  explicit CoreLock(LimiterCore& core)
      : core_(core), exceptions_(std::uncaught_exceptions()) {
    core_.mutex_.lock();
  }
  ~CoreLock() {
    if (std::uncaught_exceptions() > exceptions_) core_.poisoned_ = true;
    core_.mutex_.unlock();
  }
  CoreLock(const CoreLock&) = delete;
  CoreLock& operator=(const CoreLock&) = delete;
  bool poisoned() const { return core_.poisoned_; }

 private:
  LimiterCore& core_;
  int exceptions_;
};

// The burst bound: an optional maximum and the shared count of permits held.
struct BurstBound {
  std::optional<uint64_t> max_burst;
  std::atomic<uint64_t>* in_flight;  // never null
};

enum class Take : unsigned char { granted, refused, interrupted };

// Brings one window to the interval that contains `now_seconds`. Caller
// holds the core lock.
void roll_window(WindowLimit& w, uint64_t now_seconds);

// The window step with the lock held: roll and count every window in order;
// at the first full window, undo this call's increments and stop (later
// windows are neither rolled nor tested).
bool take_windows_locked(LimiterCore& core, const CoreLock& lock);

// Counts one permit in every window; refused when some window is full
// (nothing stays counted); interrupted when the core is poisoned.
Take take_windows(LimiterCore& core);

bool take_burst(const BurstBound& burst);
// Hands one burst permit back. A give-back with none held leaves the count
// at 0: a stray release must never make the limiter refuse for ever.
void give_back_burst(const BurstBound& burst);

// The non-waiting grant: a burst permit, then the windows. The burst permit
// stays taken on a grant (until release) and is given back otherwise.
Take try_acquire(LimiterCore& core, const BurstBound& burst);

// Time from `now` to the end of the interval of `length` seconds that
// starts at `start` (0 when it has ended).
Duration until_interval_end(uint64_t start, uint64_t length, WallTime now);

// Time until the first full window reopens (never below 1 ms); absent when
// no window is full or the core is poisoned.
std::optional<Duration> time_until_next_window(LimiterCore& core);

// Permits left per window, plus "burst" when a bound is set. A poisoned
// core yields only the "burst" entry. Fixed capacity: no allocation.
struct Remaining {
  std::array<std::pair<const char*, uint64_t>, kMaxWindows + 1> entries;
  std::size_t size = 0;
  const std::pair<const char*, uint64_t>* begin() const { return entries.data(); }
  const std::pair<const char*, uint64_t>* end() const { return entries.data() + size; }
};
Remaining remaining_per_window(LimiterCore& core, const BurstBound& burst);

}  // namespace ratevane
