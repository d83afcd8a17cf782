// Limit configuration: the ten constructor parameters, checked in a fixed
// order, turned into the limiter contents that both limiter classes hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/clock.hpp"
#include "engine/error.hpp"
#include "engine/ledger.hpp"

namespace ratevane {

struct LimiterConfig {
  std::optional<uint64_t> sec, min, hour, day;
  std::optional<uint64_t> sec_window, min_window, hour_window, day_window;
  bool blocking = true;
  std::optional<uint64_t> max_burst;
};

// What a limiter object owns. The core, the burst counter and the interrupt
// flag are each shared: background tasks hold their own references and may
// outlive the object that started them.
struct LimiterContents {
  std::shared_ptr<LimiterCore> core;
  std::shared_ptr<std::atomic<uint64_t>> in_flight;
  std::shared_ptr<std::atomic<bool>> interrupted;
  std::optional<uint64_t> max_burst;
  bool blocking = true;

  BurstBound burst() const { return BurstBound{max_burst, in_flight.get()}; }
};

// Checks the configuration in order (counts of the windows second, minute,
// hour, day with their multipliers; at least one window; max_burst) and
// builds the contents. Failures are ValueError values.
Expected<LimiterContents> build_limiter(const LimiterConfig& config,
                                        const WallClock& clock = system_wall_clock());

}  // namespace ratevane
