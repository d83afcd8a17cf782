#include "engine/clock.hpp"

#include <time.h>

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane {
namespace {

int64_t read(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

class SystemWallClock final : public WallClock {
 public:
  int64_t now_ns() const override {
#ifdef RATEVANE_FAULT_INJECTION
    fault::maybe_fail(fault::Point::wall_clock);
#endif
    return read(CLOCK_REALTIME);
  }
};

class SystemMonotonicClock final : public MonotonicClock {
 public:
  int64_t now_ns() const override { return read(CLOCK_MONOTONIC); }
};

const SystemWallClock wall_clock;
const SystemMonotonicClock monotonic_clock;

}  // namespace

const WallClock& system_wall_clock() { return wall_clock; }
const MonotonicClock& system_monotonic_clock() { return monotonic_clock; }

}  // namespace ratevane
