// Clocks the engine reads. The windows follow the wall clock; the lengths of
// sleeps follow the monotonic clock. Both are interfaces so that tests drive
// time by hand (and inject faults through a clock that throws).
#pragma once

#include <cstdint>

namespace ratevane {

class WallClock {
 public:
  virtual ~WallClock() = default;
  // Nanoseconds since the Unix epoch; negative before 1970.
  virtual int64_t now_ns() const = 0;
};

class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  virtual int64_t now_ns() const = 0;
};

// The operating system's clocks (process-wide, stateless).
const WallClock& system_wall_clock();
const MonotonicClock& system_monotonic_clock();

// Splits a wall-clock reading into whole Unix seconds and the nanoseconds
// past them. A reading before the epoch has no Unix-seconds value; it reads
// as 0 seconds, so every window stays in its first interval until the clock
// passes the epoch.
struct WallTime {
  uint64_t seconds;
  uint32_t nanos;
};

inline WallTime split_wall_time(int64_t ns) {
  if (ns < 0) return WallTime{0, 0};
  return WallTime{static_cast<uint64_t>(ns / 1'000'000'000),
                  static_cast<uint32_t>(ns % 1'000'000'000)};
}

}  // namespace ratevane
