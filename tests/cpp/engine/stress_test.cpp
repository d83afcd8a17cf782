// Many threads against one limiter on the real clock. Each grant is put in
// the interval of the clock reading its own ledger step made (a wrapping
// clock keeps the last reading per thread), not of a reading taken after the
// call, which could already be in the next interval.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "engine/config.hpp"
#include "engine/ledger.hpp"
#include "engine/permit_wait.hpp"
#include "engine/sleep.hpp"

namespace ratevane {
namespace {

constexpr int kThreads = 8;

thread_local int64_t t_last_read_ns = 0;

class RecordingClock final : public WallClock {
 public:
  int64_t now_ns() const override {
    const int64_t ns = system_wall_clock().now_ns();
    t_last_read_ns = ns;
    return ns;
  }
};

int64_t seconds_of(int64_t ns) { return ns / 1'000'000'000; }

LimiterContents make(const LimiterConfig& config, const WallClock& clock) {
  Expected<LimiterContents> built = build_limiter(config, clock);
  EXPECT_TRUE(built.has_value());
  return std::move(built.value());
}

struct ThreadLog {
  std::vector<int64_t> grants;  // wall-clock seconds of each grant's step
  int64_t first_read = INT64_MAX;
  int64_t last_read = INT64_MIN;
  uint64_t refusals = 0;
};

// Runs `body` on kThreads threads that all start together and stop after
// `run_for`; `body` returns false to stop its thread early.
template <class Body>
std::vector<ThreadLog> hammer(std::chrono::milliseconds run_for, Body body) {
  std::vector<ThreadLog> logs(kThreads);
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ThreadLog& log = logs[t];
      log.grants.reserve(1 << 16);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      while (!stop.load(std::memory_order_relaxed)) {
        const Take take = body();
        log.first_read = std::min(log.first_read, t_last_read_ns);
        log.last_read = std::max(log.last_read, t_last_read_ns);
        if (take == Take::granted) log.grants.push_back(seconds_of(t_last_read_ns));
        else if (take == Take::refused) ++log.refusals;
        else ADD_FAILURE() << "interrupted";
      }
    });
  }
  go.store(true, std::memory_order_release);
  std::this_thread::sleep_for(run_for);
  stop = true;
  for (std::thread& th : threads) th.join();
  return logs;
}

std::map<int64_t, uint64_t> per_interval(const std::vector<ThreadLog>& logs, int64_t length) {
  std::map<int64_t, uint64_t> out;
  for (const ThreadLog& log : logs) {
    for (int64_t s : log.grants) ++out[s - s % length];
  }
  return out;
}

TEST(Stress, GrantsPerSecondNeverExceedTheLimitAndReachItInCoveredSeconds) {
  constexpr uint64_t kLimit = 20'000;
  RecordingClock clock;
  // The minute window never fills; it checks that every grant counted there
  // once as well.
  LimiterContents l = make({.sec = kLimit, .min = 1'000'000'000}, clock);

  // A reader beside the hammering threads, as get_remaining and wait_time
  // calls would be.
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading.load(std::memory_order_relaxed)) {
      for (const auto& [name, left] : remaining_per_window(*l.core, l.burst())) {
        if (name[0] == 's') {
          EXPECT_LE(left, kLimit);
        }
      }
      const std::optional<Duration> wait = time_until_next_window(*l.core);
      if (wait) {
        EXPECT_LE(*wait, (Duration{1, 0}));
      }
      std::this_thread::yield();
    }
  });
  const std::vector<ThreadLog> logs =
      hammer(std::chrono::milliseconds(2200), [&] { return try_acquire(*l.core, l.burst()); });
  reading = false;
  reader.join();

  // The seconds that lie wholly between the first and the last step of the
  // run were hammered throughout (by eight threads, some of them always on
  // a processor).
  int64_t covered_from = INT64_MAX, covered_to = INT64_MIN;
  for (const ThreadLog& log : logs) {
    covered_from = std::min(covered_from, seconds_of(log.first_read) + 1);
    covered_to = std::max(covered_to, seconds_of(log.last_read) - 1);
  }
  const std::map<int64_t, uint64_t> seconds = per_interval(logs, 1);
  int full = 0;
  for (const auto& [s, grants] : seconds) {
    EXPECT_LE(grants, kLimit) << "second " << s;
    if (s >= covered_from && s <= covered_to) {
      EXPECT_EQ(grants, kLimit) << "second " << s << " was hammered throughout";
      ++full;
    }
  }
  EXPECT_GE(full, 1) << "a 2.2 s run covers at least one whole second";

  // The windows' own counts agree with the grants of their current interval.
  const WindowLimit& second = l.core->window(0);
  const WindowLimit& minute = l.core->window(1);
  auto count_in = [](const std::map<int64_t, uint64_t>& m, uint64_t start) {
    auto it = m.find(static_cast<int64_t>(start));
    return it == m.end() ? uint64_t{0} : it->second;
  };
  EXPECT_EQ(second.count.load(), count_in(seconds, second.window_start.load()));
  EXPECT_EQ(minute.count.load(), count_in(per_interval(logs, 60), minute.window_start.load()));
}

TEST(Stress, RefusalsByALaterWindowLeaveNothingCounted) {
  constexpr uint64_t kMinuteLimit = 5000;
  RecordingClock clock;
  LimiterContents l = make({.sec = 1'000'000'000, .min = kMinuteLimit}, clock);
  const std::vector<ThreadLog> logs =
      hammer(std::chrono::milliseconds(500), [&] { return try_acquire(*l.core, l.burst()); });

  const std::map<int64_t, uint64_t> minutes = per_interval(logs, 60);
  uint64_t most = 0;
  for (const auto& [m, grants] : minutes) {
    EXPECT_LE(grants, kMinuteLimit) << "minute " << m;
    most = std::max(most, grants);
  }
  EXPECT_EQ(most, kMinuteLimit) << "a minute hammered for 250 ms or more fills up";

  // Every refusal at the minute window undid its increment of the second
  // window, so the second window holds exactly the grants of its second.
  const std::map<int64_t, uint64_t> seconds = per_interval(logs, 1);
  const WindowLimit& second = l.core->window(0);
  auto it = seconds.find(static_cast<int64_t>(second.window_start.load()));
  EXPECT_EQ(second.count.load(), it == seconds.end() ? 0u : it->second);
}

TEST(Stress, BurstBoundHoldsUnderContention) {
  constexpr uint64_t kMaxBurst = 3;
  RecordingClock clock;
  // One interval for ever: the window's count is the number of grants.
  LimiterContents l =
      make({.sec = UINT64_MAX, .sec_window = UINT64_MAX, .max_burst = kMaxBurst}, clock);
  std::atomic<uint64_t> held{0}, most_held{0};
  const std::vector<ThreadLog> logs = hammer(std::chrono::milliseconds(500), [&] {
    const Take take = try_acquire(*l.core, l.burst());
    if (take == Take::granted) {
      const uint64_t now_held = held.fetch_add(1) + 1;
      uint64_t m = most_held.load();
      while (now_held > m && !most_held.compare_exchange_weak(m, now_held)) {
      }
      std::this_thread::yield();
      held.fetch_sub(1);
      give_back_burst(l.burst());
    }
    return take;
  });
  uint64_t grants = 0;
  for (const ThreadLog& log : logs) grants += log.grants.size();
  EXPECT_LE(most_held.load(), kMaxBurst);
  EXPECT_EQ(l.in_flight->load(), 0u);
  EXPECT_EQ(l.core->window(0).count.load(), grants);
}

class NoSignals final : public SlicedSleeper {
  bool signal_check_failed() override { return false; }
};

TEST(Stress, BlockingWaitersShareTheWindowExactly) {
  constexpr uint64_t kLimit = 25;
  constexpr int kWaiters = 4;
  constexpr int kEach = 10;
  RecordingClock clock;
  LimiterContents l = make({.sec = kLimit, .max_burst = 2}, clock);
  std::vector<std::vector<int64_t>> grants(kWaiters);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWaiters; ++t) {
    threads.emplace_back([&, t] {
      NoSignals sleeper;
      for (int i = 0; i < kEach; ++i) {
        ASSERT_EQ(wait_for_permit(*l.core, l.burst(), *l.interrupted, sleeper), Take::granted);
        grants[t].push_back(seconds_of(t_last_read_ns));
        give_back_burst(l.burst());
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::map<int64_t, uint64_t> per_second;
  for (const auto& g : grants) {
    EXPECT_EQ(g.size(), std::size_t(kEach));
    for (int64_t s : g) ++per_second[s];
  }
  for (const auto& [s, n] : per_second) EXPECT_LE(n, kLimit) << "second " << s;
  EXPECT_EQ(l.in_flight->load(), 0u);
}

}  // namespace
}  // namespace ratevane
