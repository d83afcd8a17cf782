// Random operation sequences on random limiters, checked step by step
// against a small reference model of the ledger written straight from its
// rules (aligned intervals, all-or-nothing grants, shortest wait among full
// windows, the burst bound). The clock wanders forward, jumps, is set back a
// little, and sometimes starts before the epoch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/config.hpp"
#include "engine/ledger.hpp"
#include "fake_clock.hpp"

namespace ratevane {
namespace {

using testing::FakeWallClock;
using testing::kDay;
using testing::kNsPerMs;
using testing::kNsPerSec;

using i128 = __int128;

struct ModelWindow {
  std::string name;
  uint64_t limit;
  uint64_t length;
  uint64_t count = 0;
  std::optional<uint64_t> start;
};

class Model {
 public:
  Model(std::vector<ModelWindow> windows, std::optional<uint64_t> max_burst)
      : windows_(std::move(windows)), max_burst_(max_burst) {}

  void set_now(int64_t ns) { now_ = ns; }

  Take try_acquire() {
    if (max_burst_) {
      if (in_flight_ >= *max_burst_) return Take::refused;
      ++in_flight_;
    }
    if (take_windows()) return Take::granted;
    give_back_burst();
    return Take::refused;
  }

  bool take_windows() {
    for (std::size_t i = 0; i < windows_.size(); ++i) {
      ModelWindow& w = windows_[i];
      roll(w);
      if (w.count >= w.limit) {
        for (std::size_t j = 0; j < i; ++j) --windows_[j].count;
        return false;
      }
      ++w.count;
    }
    return true;
  }

  void give_back_burst() {
    if (max_burst_ && in_flight_ > 0) --in_flight_;
  }

  std::optional<i128> time_until_ns() {
    std::optional<i128> best;
    const i128 now = std::max<int64_t>(now_, 0);
    for (ModelWindow& w : windows_) {
      roll(w);
      if (w.count < w.limit) continue;
      const i128 end = (i128(*w.start) + w.length) * kNsPerSec;
      const i128 wait = end > now ? end - now : 0;
      if (!best || wait < *best) best = wait;
    }
    if (best && *best < kNsPerMs) best = kNsPerMs;
    return best;
  }

  std::vector<std::pair<std::string, uint64_t>> remaining() {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (ModelWindow& w : windows_) {
      roll(w);
      out.emplace_back(w.name, w.count >= w.limit ? 0 : w.limit - w.count);
    }
    if (max_burst_) {
      out.emplace_back("burst", in_flight_ >= *max_burst_ ? 0 : *max_burst_ - in_flight_);
    }
    return out;
  }

  const std::vector<ModelWindow>& windows() const { return windows_; }
  uint64_t in_flight() const { return in_flight_; }

 private:
  void roll(ModelWindow& w) const {
    const uint64_t now_s = now_ < 0 ? 0 : uint64_t(now_ / kNsPerSec);
    const uint64_t current = now_s / w.length * w.length;
    if (!w.start) {
      w.start = current;
    } else if (*w.start < current) {
      w.start = current;
      w.count = 0;
    }
  }

  std::vector<ModelWindow> windows_;
  std::optional<uint64_t> max_burst_;
  uint64_t in_flight_ = 0;
  int64_t now_ = 0;
};

std::string describe(const LimiterConfig& c) {
  std::ostringstream os;
  auto put = [&](const char* name, const std::optional<uint64_t>& v) {
    if (v) os << name << "=" << *v << " ";
  };
  put("sec", c.sec);
  put("min", c.min);
  put("hour", c.hour);
  put("day", c.day);
  put("sec_window", c.sec_window);
  put("min_window", c.min_window);
  put("hour_window", c.hour_window);
  put("day_window", c.day_window);
  put("max_burst", c.max_burst);
  return os.str();
}

void run_sequence(uint64_t seed, int ops) {
  std::mt19937_64 rng(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };

  // A random configuration; the model gets its windows from the same rules.
  struct Slot {
    const char* name;
    uint64_t unit;
    std::optional<uint64_t> LimiterConfig::*count;
    std::optional<uint64_t> LimiterConfig::*factor;
  };
  const Slot slots[] = {
      {"second", 1, &LimiterConfig::sec, &LimiterConfig::sec_window},
      {"minute", 60, &LimiterConfig::min, &LimiterConfig::min_window},
      {"hour", 3600, &LimiterConfig::hour, &LimiterConfig::hour_window},
      {"day", 86400, &LimiterConfig::day, &LimiterConfig::day_window},
  };
  LimiterConfig config;
  std::vector<ModelWindow> windows;
  for (const Slot& s : slots) {
    const bool wanted = chance(0.5) || (windows.empty() && s.unit == 86400);
    if (!wanted) continue;
    const uint64_t limit = uint64_t(pick(1, 4));
    uint64_t length = s.unit;
    config.*s.count = limit;
    if (chance(0.3)) {
      const uint64_t factor = chance(0.1) ? uint64_t{1} << 40 : uint64_t(pick(1, 3));
      config.*s.factor = factor;
      length = factor * s.unit;
    }
    windows.push_back({s.name, limit, length});
  }
  if (chance(0.5)) config.max_burst = uint64_t(pick(1, 3));
  SCOPED_TRACE(::testing::Message() << "seed " << seed << ": " << describe(config));

  FakeWallClock clock;
  Expected<LimiterContents> built = build_limiter(config, clock);
  ASSERT_TRUE(built.has_value());
  LimiterContents& l = built.value();
  Model model(std::move(windows), config.max_burst);

  int64_t now = chance(0.1) ? pick(-3 * kNsPerSec, 0)
                            : (kDay + pick(0, 86399)) * kNsPerSec + pick(0, kNsPerSec - 1);
  clock.set(now);
  model.set_now(now);
  for (int op = 0; op < ops; ++op) {
    SCOPED_TRACE(::testing::Message() << "op " << op << " at " << now << " ns");
    const int64_t roll = pick(0, 99);
    if (roll < 35) {
      now += pick(0, 400) * kNsPerMs + pick(0, 999);
    } else if (roll < 40) {
      now += pick(500, 3000) * kNsPerMs;
    } else if (roll < 42) {
      now += pick(1, 120) * kNsPerSec;
    } else if (roll < 45) {
      now -= pick(1, 2000) * kNsPerMs;  // the clock is set back a little
    } else if (roll < 46) {
      now = (now / (3600 * kNsPerSec) + 1) * 3600 * kNsPerSec - pick(0, 2) * kNsPerMs;
    } else if (roll < 75) {
      ASSERT_EQ(try_acquire(*l.core, l.burst()), model.try_acquire());
    } else if (roll < 80) {
      ASSERT_EQ(take_windows(*l.core), model.take_windows() ? Take::granted : Take::refused);
    } else if (roll < 86) {
      give_back_burst(l.burst());
      model.give_back_burst();
    } else if (roll < 93) {
      std::vector<std::pair<std::string, uint64_t>> got;
      for (const auto& [name, left] : remaining_per_window(*l.core, l.burst())) {
        got.emplace_back(name, left);
      }
      ASSERT_EQ(got, model.remaining());
    } else {
      const std::optional<Duration> got = time_until_next_window(*l.core);
      const std::optional<i128> want = model.time_until_ns();
      ASSERT_EQ(got.has_value(), want.has_value());
      if (got) {
        ASSERT_LT(got->nanos, 1'000'000'000u);
        ASSERT_TRUE(i128(got->seconds) * kNsPerSec + got->nanos == *want)
            << "got " << got->seconds << " s " << got->nanos << " ns";
      }
    }
    clock.set(now);
    model.set_now(now);

    ASSERT_EQ(l.in_flight->load(), model.in_flight());
    for (std::size_t i = 0; i < model.windows().size(); ++i) {
      const ModelWindow& w = model.windows()[i];
      ASSERT_EQ(l.core->window(i).count.load(), w.count) << w.name;
      ASSERT_EQ(l.core->window(i).window_start.load(), w.start.value_or(kNotStarted)) << w.name;
    }
  }
}

TEST(LedgerModel, RandomSequencesMatchTheReferenceModel) {
  for (uint64_t seed = 1; seed <= 400; ++seed) {
    run_sequence(seed, 400);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace ratevane
