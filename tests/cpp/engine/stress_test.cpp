// Many threads against one limiter on the real clock. Each grant is put in
// the interval of the clock reading its own ledger step made (a wrapping
// clock keeps the last reading per thread), not of a reading taken after the
// call, which could already be in the next interval.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
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
  std::vector<int64_t> grants;      // wall-clock seconds of each grant's step
  std::vector<int64_t> refused_in;  // seconds with a refused step, each once in a row
  uint64_t steps = 0;
};

using std::chrono::milliseconds;

// Runs `body` on kThreads threads that all start together. They stop once
// `at_least` has passed and some step was refused, or after `at_most` (a
// guard, however slow the machine), so what a test learns from refusals
// does not depend on how many steps the machine makes in a fixed time.
template <class Body>
std::vector<ThreadLog> hammer(milliseconds at_least, milliseconds at_most, Body body) {
  std::vector<ThreadLog> logs(kThreads);
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> refused{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ThreadLog& log = logs[t];
      log.grants.reserve(1 << 16);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      while (!stop.load(std::memory_order_relaxed)) {
        const Take take = body();
        ++log.steps;
        if (take == Take::granted) {
          log.grants.push_back(seconds_of(t_last_read_ns));
        } else if (take == Take::refused) {
          const int64_t s = seconds_of(t_last_read_ns);
          if (log.refused_in.empty() || log.refused_in.back() != s) log.refused_in.push_back(s);
          if (!refused.load(std::memory_order_relaxed)) refused.store(true);
        } else {
          ADD_FAILURE() << "interrupted";
        }
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go.store(true, std::memory_order_release);
  std::this_thread::sleep_for(at_least);
  while (!refused.load() && std::chrono::steady_clock::now() - start < at_most) {
    std::this_thread::sleep_for(milliseconds(5));
  }
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

TEST(Stress, GrantsPerSecondNeverExceedTheLimitAndFillTheSecondsThatRefuse) {
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
  // At least 2.2 s, which take in a whole second, and on until a second has
  // filled up. Filling one takes 20,000 steps of a mutex, a clock read and
  // two atomic updates, a microsecond or two each even under
  // ThreadSanitizer: a few percent of what one processor does in a second,
  // so any second the threads hammer fills. The guard of 20 s is for a
  // machine that stalls whole seconds at a time.
  const std::vector<ThreadLog> logs =
      hammer(milliseconds(2200), milliseconds(20'000),
             [&] { return try_acquire(*l.core, l.burst()); });
  reading = false;
  reader.join();

  const std::map<int64_t, uint64_t> seconds = per_interval(logs, 1);
  for (const auto& [s, grants] : seconds) EXPECT_LE(grants, kLimit) << "second " << s;
  // A step refused in a second found that second's window full, so the
  // second holds exactly the limit: a lost or doubly counted permit shows
  // here, whatever the machine's speed.
  std::set<int64_t> refused;
  uint64_t steps = 0;
  for (const ThreadLog& log : logs) {
    refused.insert(log.refused_in.begin(), log.refused_in.end());
    steps += log.steps;
  }
  ASSERT_FALSE(refused.empty()) << "no second filled up in " << steps << " steps";
  for (int64_t s : refused) {
    auto it = seconds.find(s);
    EXPECT_EQ(it == seconds.end() ? 0u : it->second, kLimit)
        << "second " << s << " refused a step before it was full";
  }
  std::printf("stress: %llu steps by %d threads, %zu seconds filled up\n",
              static_cast<unsigned long long>(steps), kThreads, refused.size());

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
  // Until the minute is full (5,000 grants, however long they take), and at
  // least 500 ms, so that many steps are refused by the minute window after
  // their increment of the second window. The guard of 20 s gives each
  // grant 4 ms.
  const std::vector<ThreadLog> logs = hammer(milliseconds(500), milliseconds(20'000),
                                             [&] { return try_acquire(*l.core, l.burst()); });

  const std::map<int64_t, uint64_t> minutes = per_interval(logs, 60);
  for (const auto& [m, grants] : minutes) EXPECT_LE(grants, kMinuteLimit) << "minute " << m;
  std::set<int64_t> refused;
  for (const ThreadLog& log : logs) {
    for (int64_t s : log.refused_in) refused.insert(s - s % 60);
  }
  ASSERT_FALSE(refused.empty()) << "the minute never filled up";
  for (int64_t m : refused) {
    auto it = minutes.find(m);
    EXPECT_EQ(it == minutes.end() ? 0u : it->second, kMinuteLimit)
        << "minute " << m << " refused a step before it was full";
  }

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
  // A fixed 500 ms (the burst bound refuses at once, which ends nothing).
  const std::vector<ThreadLog> logs = hammer(milliseconds(500), milliseconds(500), [&] {
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
