#include "engine/clock.hpp"

#include "os/os.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane {
namespace {

class SystemWallClock final : public WallClock {
 public:
  int64_t now_ns() const override {
#ifdef RATEVANE_FAULT_INJECTION
    fault::maybe_fail(fault::Point::wall_clock);
#endif
    return os::wall_clock_ns();
  }
};

class SystemMonotonicClock final : public MonotonicClock {
 public:
  int64_t now_ns() const override { return os::monotonic_ns(); }
};

const SystemWallClock wall_clock;
const SystemMonotonicClock monotonic_clock;

}  // namespace

const WallClock& system_wall_clock() { return wall_clock; }
const MonotonicClock& system_monotonic_clock() { return monotonic_clock; }

}  // namespace ratevane
