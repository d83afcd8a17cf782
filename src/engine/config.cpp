#include "engine/config.hpp"

#include <array>
#include <string>

namespace ratevane {
namespace {

struct WindowParams {
  const char* name;        // window name in messages and in get_remaining
  const char* multiplier;  // parameter name of the multiplier
  uint64_t unit;           // seconds
  const std::optional<uint64_t>& count;
  const std::optional<uint64_t>& factor;
};

Error value_error(std::string message) { return Error{ErrorType::value_error, std::move(message)}; }

}  // namespace

Expected<LimiterContents> build_limiter(const LimiterConfig& config, const WallClock& clock) {
  const std::array<WindowParams, kMaxWindows> params{{
      {"second", "sec_window", 1, config.sec, config.sec_window},
      {"minute", "min_window", 60, config.min, config.min_window},
      {"hour", "hour_window", 3600, config.hour, config.hour_window},
      {"day", "day_window", 86400, config.day, config.day_window},
  }};

  std::array<WindowSpec, kMaxWindows> specs{};
  std::size_t n = 0;
  for (const WindowParams& p : params) {
    if (!p.count) continue;  // a multiplier without its count has no effect
    if (*p.count == 0) {
      return value_error(std::string("Rate limit for ") + p.name + " must be greater than 0");
    }
    uint64_t length = p.unit;
    if (p.factor) {
      // A window must be at least one second long, and its length must fit
      // in 64 bits: a wrapped length would align to nonsense.
      if (*p.factor == 0) return value_error(std::string(p.multiplier) + " must be greater than 0");
      if (__builtin_mul_overflow(*p.factor, p.unit, &length)) {
        return value_error(std::string(p.multiplier) + " is too large");
      }
    }
    specs[n++] = WindowSpec{p.name, *p.count, length};
  }
  if (n == 0) return value_error("At least one rate limit must be specified");
  if (config.max_burst && *config.max_burst == 0) {
    return value_error("max_burst must be greater than 0");
  }

  LimiterContents contents;
  contents.core = std::make_shared<LimiterCore>(specs.data(), n, clock);
  contents.in_flight = std::make_shared<std::atomic<uint64_t>>(0);
  contents.interrupted = std::make_shared<std::atomic<bool>>(false);
  contents.max_burst = config.max_burst;
  contents.blocking = config.blocking;
  return contents;
}

}  // namespace ratevane
