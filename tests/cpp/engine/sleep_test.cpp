// The blocking wait's sleep on a hand-driven monotonic clock: slices of at
// most 10 ms, the interrupt flag looked at before each slice (but not for a
// zero sleep), and a signal check at every 500 ms slept within one call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "engine/sleep.hpp"
#include "fake_clock.hpp"

namespace ratevane {
namespace {

using testing::FakeMonotonicClock;
using testing::kNsPerMs;

class ScriptedSleeper final : public SlicedSleeper {
 public:
  explicit ScriptedSleeper(FakeMonotonicClock& clock) : SlicedSleeper(clock), clock_(clock) {}

  std::vector<int64_t> slices;        // requested slice lengths in ns, over all calls
  std::vector<std::size_t> checks;    // slices slept in the current call at each signal check
  std::size_t fail_check = 0;         // the n-th check (from 1) reports an error; 0: none
  int64_t oversleep_ns = 0;           // each slice lasts this much longer than asked
  std::function<void(std::size_t)> after_slice;  // with the slice number in this call

  bool sleep_call(uint64_t ms, std::atomic<bool>& interrupted) {
    call_start_ = slices.size();
    return sleep(ms, interrupted);
  }

 protected:
  void sleep_slice(int64_t ns) override {
    slices.push_back(ns);
    clock_.advance(ns + oversleep_ns);
    if (after_slice) after_slice(slices.size() - call_start_);
  }
  bool signal_check_failed() override {
    checks.push_back(slices.size() - call_start_);
    return checks.size() == fail_check;
  }

 private:
  FakeMonotonicClock& clock_;
  std::size_t call_start_ = 0;
};

struct SleepCase {
  const char* label;
  uint64_t ms;
  bool flag_before = false;
  std::size_t flag_after_slice = 0;  // another waiter sets the flag after this slice
  std::size_t fail_check = 0;
  int64_t oversleep_ms = 0;
  // expected
  bool interrupted = false;
  std::size_t slices = 0;
  int64_t slept_ms = 0;  // sum of the slices asked for
  std::vector<std::size_t> checks = {};
};

void PrintTo(const SleepCase& c, std::ostream* os) { *os << c.label; }

class Sliced : public ::testing::TestWithParam<SleepCase> {};

TEST_P(Sliced, SleepsInShortSlicesAndChecksSignalsEvery500ms) {
  const SleepCase& c = GetParam();
  FakeMonotonicClock clock;
  ScriptedSleeper sleeper(clock);
  sleeper.fail_check = c.fail_check;
  sleeper.oversleep_ns = c.oversleep_ms * kNsPerMs;
  std::atomic<bool> flag{c.flag_before};
  sleeper.after_slice = [&](std::size_t n) {
    if (n == c.flag_after_slice) flag = true;
  };

  EXPECT_EQ(sleeper.sleep_call(c.ms, flag), c.interrupted);
  EXPECT_EQ(sleeper.slices.size(), c.slices);
  EXPECT_EQ(std::accumulate(sleeper.slices.begin(), sleeper.slices.end(), int64_t{0}),
            c.slept_ms * kNsPerMs);
  // The slices asked for, on the hand-driven clock: no machine's timing
  // enters, so the 10 ms is the design's bound, exact on every machine.
  for (int64_t s : sleeper.slices) {
    EXPECT_GT(s, 0);
    EXPECT_LE(s, 10 * kNsPerMs);
  }
  EXPECT_EQ(sleeper.checks, c.checks);
  EXPECT_EQ(flag.load(), c.flag_before || c.flag_after_slice != 0 || c.interrupted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sliced,
    ::testing::Values(
        SleepCase{.label = "25ms", .ms = 25, .slices = 3, .slept_ms = 25},
        SleepCase{.label = "zero_returns_without_looking_at_the_flag", .ms = 0,
                  .flag_before = true},
        SleepCase{.label = "flag_seen_before_the_first_slice", .ms = 5, .flag_before = true,
                  .interrupted = true},
        SleepCase{.label = "flag_seen_before_the_next_slice", .ms = 100, .flag_after_slice = 2,
                  .interrupted = true, .slices = 2, .slept_ms = 20},
        SleepCase{.label = "flag_after_the_last_slice_is_not_seen", .ms = 30,
                  .flag_after_slice = 3, .slices = 3, .slept_ms = 30},
        SleepCase{.label = "499ms_no_check", .ms = 499, .slices = 50, .slept_ms = 499},
        SleepCase{.label = "500ms_one_check", .ms = 500, .slices = 50, .slept_ms = 500,
                  .checks = {50}},
        SleepCase{.label = "1000ms_two_checks", .ms = 1000, .slices = 100, .slept_ms = 1000,
                  .checks = {50, 100}},
        SleepCase{.label = "1200ms", .ms = 1200, .slices = 120, .slept_ms = 1200,
                  .checks = {50, 100}},
        SleepCase{.label = "failed_check_interrupts", .ms = 1000, .fail_check = 1,
                  .interrupted = true, .slices = 50, .slept_ms = 500, .checks = {50}},
        SleepCase{.label = "second_check_fails", .ms = 1000, .fail_check = 2,
                  .interrupted = true, .slices = 100, .slept_ms = 1000, .checks = {50, 100}},
        // The length follows the monotonic clock, not the number of slices.
        SleepCase{.label = "oversleeping_slices", .ms = 100, .oversleep_ms = 5, .slices = 7,
                  .slept_ms = 70}),
    [](const ::testing::TestParamInfo<SleepCase>& info) { return std::string(info.param.label); });

TEST(SlicedSleeperCalls, SleptTimeForSignalChecksStartsAgainWithEveryCall) {
  FakeMonotonicClock clock;
  ScriptedSleeper sleeper(clock);
  std::atomic<bool> flag{false};
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(sleeper.sleep_call(400, flag));
  EXPECT_TRUE(sleeper.checks.empty()) << "1200 ms over three calls, under 500 ms in each";
  EXPECT_FALSE(sleeper.sleep_call(700, flag));
  EXPECT_EQ(sleeper.checks, (std::vector<std::size_t>{50}));
}

TEST(SlicedSleeperCalls, RealSleepLastsAtLeastTheDuration) {
  struct Quiet final : SlicedSleeper {
    int checks = 0;
    bool signal_check_failed() override {
      ++checks;
      return false;
    }
  } sleeper;
  std::atomic<bool> flag{false};
  const MonotonicClock& mono = system_monotonic_clock();
  const int64_t start = mono.now_ns();
  EXPECT_FALSE(sleeper.sleep(25, flag));
  // Never early, on any machine; how late is no concern of this test.
  EXPECT_GE(mono.now_ns() - start, 25 * kNsPerMs);
  EXPECT_EQ(sleeper.checks, 0);
}

}  // namespace
}  // namespace ratevane
