// A small tour of the limit engine on the real clock: three threads ask for
// a permit every 100 ms from one limiter of 5 per second and 12 per minute.
// Once per wall-clock second it prints the grants and refusals of that
// second: 5 a second while the minute has room, then only what is left of
// the minute's 12, then nothing until the next UTC minute starts.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/clock.hpp"
#include "engine/config.hpp"
#include "engine/ledger.hpp"

namespace {

using namespace ratevane;

constexpr int kThreads = 3;
constexpr int kSeconds = 5;

// The clock reading of the thread's last ledger step, so that each outcome
// is put in the second the ledger itself saw.
thread_local int64_t t_step_ns = 0;

class StepClock final : public WallClock {
 public:
  int64_t now_ns() const override { return t_step_ns = system_wall_clock().now_ns(); }
};

struct Tally {
  int granted = 0;
  int refused = 0;
};

int64_t wall_seconds() { return system_wall_clock().now_ns() / 1'000'000'000; }

void sleep_until_second(int64_t s, std::chrono::milliseconds past = std::chrono::milliseconds(0)) {
  const int64_t target = s * 1'000'000'000 + past.count() * 1'000'000;
  const int64_t now = system_wall_clock().now_ns();
  if (target > now) std::this_thread::sleep_for(std::chrono::nanoseconds(target - now));
}

}  // namespace

int main() {
  StepClock clock;
  LimiterConfig config;
  config.sec = 5;
  config.min = 12;
  Expected<LimiterContents> built = build_limiter(config, clock);
  if (!built) {
    std::fprintf(stderr, "%s\n", built.error().message.c_str());
    return 1;
  }
  LimiterContents& limiter = built.value();

  std::mutex mutex;
  std::map<int64_t, Tally> tallies;  // by wall-clock second
  std::atomic<bool> stop{false};

  const int64_t first = wall_seconds() + 1;
  std::printf("limit: 5 per second, 12 per minute; %d threads, one try every 100 ms each\n",
              kThreads);
  sleep_until_second(first);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Spread the threads over the 100 ms period.
      std::this_thread::sleep_for(std::chrono::milliseconds(33 * t));
      while (!stop.load()) {
        const bool granted = try_acquire(*limiter.core, limiter.burst()) == Take::granted;
        {
          std::lock_guard<std::mutex> lock(mutex);
          Tally& tally = tallies[t_step_ns / 1'000'000'000];
          (granted ? tally.granted : tally.refused)++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }

  for (int64_t s = first; s < first + kSeconds; ++s) {
    sleep_until_second(s + 1, std::chrono::milliseconds(20));
    Tally tally;
    {
      std::lock_guard<std::mutex> lock(mutex);
      tally = tallies[s];
    }
    std::string left;
    for (const auto& [name, n] : remaining_per_window(*limiter.core, limiter.burst())) {
      left += std::string(left.empty() ? "" : ", ") + name + " " + std::to_string(n);
    }
    const std::optional<Duration> wait = time_until_next_window(*limiter.core);
    char wait_text[32] = "none";
    if (wait) std::snprintf(wait_text, sizeof wait_text, "%.3f s", wait->as_seconds());
    std::printf("second %lld (:%02lld of the minute): granted %d, refused %2d | now left: %s | "
                "next window in: %s\n",
                static_cast<long long>(s - first + 1), static_cast<long long>(s % 60),
                tally.granted, tally.refused, left.c_str(), wait_text);
    std::fflush(stdout);
  }
  stop = true;
  for (std::thread& th : threads) th.join();
  return 0;
}
