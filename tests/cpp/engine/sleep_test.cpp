// The blocking wait's sleep on a hand-driven monotonic clock: slices of at
// most 10 ms, the interrupt flag looked at before each slice (but not for a
// zero sleep), and a signal check at every 500 ms slept by one sleeper, over
// all its calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/sleep.hpp"
#include "fake_clock.hpp"
#include "scripted_sleeper.hpp"

namespace ratevane {
namespace {

using testing::FakeMonotonicClock;
using testing::kNsPerMs;
using testing::ScriptedSleeper;
using testing::total_ns;

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

  EXPECT_EQ(sleeper.sleep(c.ms, flag), c.interrupted);
  EXPECT_EQ(sleeper.slices.size(), c.slices);
  EXPECT_EQ(total_ns(sleeper.slices), c.slept_ms * kNsPerMs);
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

// One sleeper serves one blocking call through all its sleeps.
class Calls : public ::testing::Test {
 protected:
  FakeMonotonicClock clock_;
  ScriptedSleeper sleeper_{clock_};
  std::atomic<bool> flag_{false};
};

using Checks = std::vector<std::size_t>;

TEST_F(Calls, SleptTimeForSignalChecksCarriesFromCallToCall) {
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(sleeper_.sleep(400, flag_));
  // 1200 ms over three calls: checks at the 500 ms and 1000 ms marks, in the
  // second call's tenth slice and the third call's twentieth.
  EXPECT_EQ(sleeper_.checks, Checks({50, 100}));
  EXPECT_FALSE(sleeper_.sleep(700, flag_));
  EXPECT_EQ(sleeper_.checks, Checks({50, 100, 150}));
  EXPECT_EQ(sleeper_.slices.size(), 190u);
}

TEST_F(Calls, SumStartsAgainAfterACheckWhateverTheStepLengths) {
  // One 7 ms slice per call: the sum reaches 504 ms at the 72nd, and the
  // 4 ms past the mark are not carried over the check.
  for (int i = 0; i < 150; ++i) EXPECT_FALSE(sleeper_.sleep(7, flag_));
  EXPECT_EQ(sleeper_.checks, Checks({72, 144}));
  // Zero sleeps add nothing.
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(sleeper_.sleep(0, flag_));
  EXPECT_EQ(sleeper_.slices.size(), 150u);
  // 42 ms are left from the last six calls; 46 slices of 10 ms reach 502.
  EXPECT_FALSE(sleeper_.sleep(460, flag_));
  EXPECT_EQ(sleeper_.checks, Checks({72, 144, 196}));
}

TEST_F(Calls, FailedCheckInALaterCallInterruptsIt) {
  sleeper_.fail_check = 1;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(sleeper_.sleep(100, flag_));
  EXPECT_TRUE(sleeper_.sleep(100, flag_)) << "the check at 500 ms ends the fifth call";
  EXPECT_TRUE(flag_.load()) << "and tells every other waiter";
  EXPECT_EQ(sleeper_.slices.size(), 50u);
  EXPECT_EQ(sleeper_.checks, Checks({50}));
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
