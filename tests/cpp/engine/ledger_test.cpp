// The window ledger on a hand-driven wall clock: rollover at aligned
// boundaries, refusal without side effects, the shortest wait, remaining
// permits, a clock set back, the burst bound, clocks near the epoch, and
// the poisoned core.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/config.hpp"
#include "engine/ledger.hpp"
#include "fake_clock.hpp"

namespace ratevane {
namespace {

using testing::at;
using testing::FakeWallClock;
using testing::kDay;
using testing::ms;
using testing::sec;

using RemainingMap = std::map<std::string, uint64_t>;

class Ledger : public ::testing::Test {
 protected:
  LimiterContents make(const LimiterConfig& config) {
    Expected<LimiterContents> built = build_limiter(config, clock_);
    if (!built) throw std::logic_error(built.error().message);
    return std::move(built.value());
  }

  static Take acquire(LimiterContents& l) { return try_acquire(*l.core, l.burst()); }

  static RemainingMap remaining(LimiterContents& l) {
    RemainingMap out;
    for (const auto& [name, left] : remaining_per_window(*l.core, l.burst())) out[name] = left;
    return out;
  }

  // The waiting time in nanoseconds, or absent.
  static std::optional<int64_t> wait_ns(LimiterContents& l) {
    const std::optional<Duration> d = time_until_next_window(*l.core);
    if (!d) return std::nullopt;
    EXPECT_LT(d->nanos, 1'000'000'000u);
    return static_cast<int64_t>(d->seconds) * 1'000'000'000 + d->nanos;
  }

  FakeWallClock clock_;
};

// --- Rollover at the next aligned boundary --------------------------------

struct RolloverCase {
  const char* label;
  LimiterConfig config;
  uint64_t limit;
  int64_t first_grant;  // ns since the epoch
  int64_t reopens;      // start of the next interval, ns since the epoch
};

void PrintTo(const RolloverCase& c, std::ostream* os) { *os << c.label; }

class Rollover : public Ledger, public ::testing::WithParamInterface<RolloverCase> {};

TEST_P(Rollover, WindowReopensAtTheNextAlignedIntervalNotOneLengthAfterTheFirstGrant) {
  const RolloverCase& c = GetParam();
  LimiterContents l = make(c.config);
  const std::string name = l.core->window(0).name;

  clock_.set(c.first_grant);
  for (uint64_t i = 0; i < c.limit; ++i) ASSERT_EQ(acquire(l), Take::granted) << "grant " << i;
  EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_EQ(remaining(l), (RemainingMap{{name, 0}}));
  EXPECT_EQ(wait_ns(l), c.reopens - c.first_grant);

  clock_.set(c.reopens - 1);
  EXPECT_EQ(acquire(l), Take::refused) << "one nanosecond before the boundary";
  EXPECT_EQ(wait_ns(l), ms(1)) << "never below 1 ms";
  EXPECT_EQ(l.core->window(0).count.load(), c.limit);

  clock_.set(c.reopens);
  EXPECT_EQ(remaining(l), (RemainingMap{{name, c.limit}}));
  EXPECT_EQ(l.core->window(0).window_start.load(), static_cast<uint64_t>(c.reopens / sec(1)));
  EXPECT_EQ(wait_ns(l), std::nullopt);
  for (uint64_t i = 0; i < c.limit; ++i) ASSERT_EQ(acquire(l), Take::granted) << "grant " << i;
  EXPECT_EQ(acquire(l), Take::refused);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Rollover,
    ::testing::Values(
        RolloverCase{"second", {.sec = 3}, 3, at(10, 250), at(11)},
        RolloverCase{"second_late_in_interval", {.sec = 1}, 1, at(10, 999), at(11)},
        RolloverCase{"minute_at_next_utc_minute", {.min = 5}, 5, at(125, 700), at(180)},
        RolloverCase{"hour", {.hour = 2}, 2, at(5 * 3600 + 1799), at(6 * 3600)},
        RolloverCase{"day", {.day = 4}, 4, at(86400 - 1, 999), at(86400)},
        RolloverCase{"ten_seconds", {.sec = 2, .sec_window = 10}, 2, at(17, 300), at(20)},
        // 7-second intervals count from the epoch; kDay is 1 past a multiple of 7.
        RolloverCase{"seven_seconds_from_the_epoch", {.sec = 1, .sec_window = 7}, 1, at(3), at(6)},
        // kDay is 120 s past a multiple of 420.
        RolloverCase{"seven_minutes_from_the_epoch", {.min = 2, .min_window = 7}, 2, at(200),
                     at(300)},
        RolloverCase{"two_hours_start_at_even_hours", {.hour = 1, .hour_window = 2}, 1,
                     at(3600 + 10), at(7200)}),
    [](const ::testing::TestParamInfo<RolloverCase>& info) { return std::string(info.param.label); });

// --- Several windows --------------------------------------------------------

TEST_F(Ledger, RefusalByALaterWindowLeavesEarlierCountsUnchanged) {
  LimiterContents l = make({.sec = 10, .min = 2});
  clock_.set(at(30, 100));
  EXPECT_EQ(acquire(l), Take::granted);
  clock_.set(at(30, 600));
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::refused) << "the minute is full though the second has room";
  EXPECT_EQ(l.core->window(0).count.load(), 2u);
  EXPECT_EQ(l.core->window(1).count.load(), 2u);
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 8}, {"minute", 0}}));

  // A new second does not help while the minute is full; the failed attempt
  // rolled the second window but nothing of it stays counted.
  clock_.set(at(31));
  EXPECT_EQ(take_windows(*l.core), Take::refused);
  EXPECT_EQ(l.core->window(0).count.load(), 0u);
  EXPECT_EQ(l.core->window(0).window_start.load(), uint64_t(kDay + 31));

  clock_.set(at(60));
  EXPECT_EQ(take_windows(*l.core), Take::granted);
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 9}, {"minute", 1}}));
}

TEST_F(Ledger, FullFirstWindowStopsTheStepBeforeLaterWindows) {
  // A 120-second "second" window that is full, in front of a minute window.
  LimiterContents l = make({.sec = 1, .min = 5, .hour = 5, .sec_window = 120});
  clock_.set(at(59));
  ASSERT_EQ(acquire(l), Take::granted);
  const uint64_t minute_start = l.core->window(1).window_start.load();
  ASSERT_EQ(minute_start, uint64_t(kDay));

  // At 61 s the minute window would roll if it were touched; it is not.
  clock_.set(at(61));
  EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_EQ(take_windows(*l.core), Take::refused);
  EXPECT_EQ(l.core->window(1).window_start.load(), minute_start);
  EXPECT_EQ(l.core->window(1).count.load(), 1u);
  EXPECT_EQ(l.core->window(2).count.load(), 1u);

  // Reading the remaining permits rolls every window.
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 0}, {"minute", 5}, {"hour", 4}}));
  EXPECT_EQ(l.core->window(1).window_start.load(), uint64_t(kDay + 60));
}

TEST_F(Ledger, FullFirstWindowLeavesUnstartedLaterWindowsUnstarted) {
  // The first window is made full by hand before any step has run, so that
  // "not rolled" is visible as the unstarted marker.
  WindowSpec specs[] = {{"second", 1, 1}, {"minute", 5, 60}, {"day", 5, 86400}};
  LimiterCore core(specs, 3, clock_);
  clock_.set(at(10, 500));
  core.window(0).window_start = uint64_t(kDay + 10);
  core.window(0).count = 1;

  EXPECT_EQ(take_windows(core), Take::refused);
  EXPECT_EQ(core.window(0).count.load(), 1u);
  EXPECT_EQ(core.window(1).window_start.load(), kNotStarted);
  EXPECT_EQ(core.window(2).window_start.load(), kNotStarted);
  EXPECT_EQ(core.window(1).count.load(), 0u);

  // Asking for the waiting time rolls all of them (and counts nothing).
  EXPECT_EQ(time_until_next_window(core), (Duration{0, 500'000'000}));
  EXPECT_EQ(core.window(1).window_start.load(), uint64_t(kDay));
  EXPECT_EQ(core.window(2).window_start.load(), uint64_t(kDay));
  EXPECT_EQ(core.window(1).count.load(), 0u);
}

// --- Waiting time ---------------------------------------------------------

struct WaitCase {
  const char* label;
  LimiterConfig config;
  int64_t grants_at;
  int grants;
  int64_t asked_at;
  std::optional<int64_t> wait;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.label; }

class WaitTime : public Ledger, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTime, IsTheShortestAmongFullWindows) {
  const WaitCase& c = GetParam();
  LimiterContents l = make(c.config);
  clock_.set(c.grants_at);
  for (int i = 0; i < c.grants; ++i) ASSERT_EQ(acquire(l), Take::granted);
  clock_.set(c.asked_at);
  EXPECT_EQ(wait_ns(l), c.wait);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitTime,
    ::testing::Values(
        WaitCase{"unused", {.sec = 1}, at(0), 0, at(0), std::nullopt},
        WaitCase{"room_left", {.sec = 2, .min = 3}, at(5), 1, at(5), std::nullopt},
        WaitCase{"second_full", {.sec = 1}, at(5, 600), 1, at(5, 600), ms(400)},
        WaitCase{"second_full_at_its_start", {.sec = 1}, at(5), 1, at(5), sec(1)},
        WaitCase{"just_over_a_millisecond", {.sec = 1}, at(5), 1, at(5, 998) + 1,
                 ms(2) - 1},
        WaitCase{"exactly_a_millisecond", {.sec = 1}, at(5), 1, at(5, 999), ms(1)},
        WaitCase{"under_a_millisecond_reads_as_one", {.sec = 1}, at(5), 1, at(6) - 1, ms(1)},
        WaitCase{"rolled_over_when_asked", {.sec = 1}, at(5), 1, at(6), std::nullopt},
        WaitCase{"shortest_of_second_and_minute", {.sec = 1, .min = 1}, at(29, 600), 1,
                 at(29, 600), ms(400)},
        WaitCase{"only_full_windows_count", {.sec = 2, .min = 1}, at(29, 600), 1, at(29, 600),
                 ms(30'400)},
        // A 120 s "second" window ends after the minute window: the later,
        // shorter wait wins whatever the list order.
        WaitCase{"shortest_not_first", {.sec = 1, .min = 1, .sec_window = 120}, at(10), 1,
                 at(10), sec(50)},
        WaitCase{"minute_still_full_after_second_rolls", {.sec = 1, .min = 1}, at(10, 200), 1,
                 at(11), sec(49)}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.label); });

TEST_F(Ledger, VeryLongWindowGivesAFiniteWaitWithoutWrapping) {
  // 2^40 days: the interval containing today started at the epoch and ends
  // about 3 billion years from now.
  constexpr uint64_t kLength = uint64_t{86400} << 40;
  LimiterContents l = make({.day = 1, .day_window = uint64_t{1} << 40});
  clock_.set(at(5, 250));
  ASSERT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.core->window(0).window_start.load(), 0u);
  const std::optional<Duration> d = time_until_next_window(*l.core);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, (Duration{kLength - uint64_t(kDay) - 6, 750'000'000}));
  EXPECT_EQ(d->whole_ms(), UINT64_MAX) << "milliseconds saturate";
  EXPECT_GT(d->as_seconds(), 9e16);
}

TEST_F(Ledger, LongestAcceptedWindowsGiveFiniteWaits) {
  struct Row {
    LimiterConfig config;
    uint64_t length;
  };
  const Row rows[] = {
      {{.sec = 1, .sec_window = UINT64_MAX}, UINT64_MAX},
      {{.day = 1, .day_window = UINT64_MAX / 86400}, UINT64_MAX / 86400 * 86400},
  };
  for (const Row& row : rows) {
    LimiterContents l = make(row.config);
    clock_.set(at(0, 1));
    ASSERT_EQ(acquire(l), Take::granted);
    EXPECT_EQ(time_until_next_window(*l.core), (Duration{row.length - kDay - 1, 999'000'000}))
        << row.length;
    clock_.set(INT64_MAX);
    EXPECT_EQ(acquire(l), Take::refused) << "still the first interval at the clock's end";
  }
}

// --- Remaining permits ------------------------------------------------------

TEST_F(Ledger, RemainingPerWindowAndBurst) {
  LimiterContents a = make({.sec = 5});
  LimiterContents b = make({.sec = 5, .min = 100, .max_burst = 2});
  clock_.set(at(42, 100));
  EXPECT_EQ(remaining(a), (RemainingMap{{"second", 5}}));
  EXPECT_EQ(remaining(b), (RemainingMap{{"second", 5}, {"minute", 100}, {"burst", 2}}));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(acquire(a), Take::granted);
    ASSERT_EQ(acquire(b), Take::granted);
  }
  EXPECT_EQ(remaining(a), (RemainingMap{{"second", 3}}));
  EXPECT_EQ(remaining(b), (RemainingMap{{"second", 3}, {"minute", 98}, {"burst", 0}}));
  give_back_burst(b.burst());
  EXPECT_EQ(remaining(b), (RemainingMap{{"second", 3}, {"minute", 98}, {"burst", 1}}));

  // Entries come in list order, "burst" last.
  std::vector<std::string> names;
  for (const auto& entry : remaining_per_window(*b.core, b.burst())) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::string>{"second", "minute", "burst"}));

  clock_.set(at(43));
  EXPECT_EQ(remaining(b), (RemainingMap{{"second", 5}, {"minute", 98}, {"burst", 1}}));
  clock_.set(at(60));
  EXPECT_EQ(remaining(b), (RemainingMap{{"second", 5}, {"minute", 100}, {"burst", 1}}));
}

// --- Clock set back -----------------------------------------------------------

TEST_F(Ledger, ClockSetBackKeepsTheStoredIntervalUntilANewerOneStarts) {
  LimiterContents l = make({.sec = 2, .min = 3});
  clock_.set(at(70, 500));
  ASSERT_EQ(acquire(l), Take::granted);
  ASSERT_EQ(acquire(l), Take::granted);

  clock_.set(at(69, 500));  // back into the previous second
  EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_EQ(l.core->window(0).window_start.load(), uint64_t(kDay + 70));
  EXPECT_EQ(l.core->window(0).count.load(), 2u);
  EXPECT_EQ(wait_ns(l), ms(1500)) << "measured to the end of the stored interval";

  clock_.set(at(50));  // back into the previous minute as well
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 0}, {"minute", 1}}));
  EXPECT_EQ(l.core->window(1).window_start.load(), uint64_t(kDay + 60));

  clock_.set(at(70, 999));
  EXPECT_EQ(acquire(l), Take::refused);
  clock_.set(at(71));
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::refused) << "the minute is full now";
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 1}, {"minute", 0}}));
}

// --- Burst bound ---------------------------------------------------------------

TEST_F(Ledger, BurstBoundRefusesWithoutTouchingWindows) {
  LimiterContents l = make({.sec = 100, .max_burst = 1});
  clock_.set(at(1));
  ASSERT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.in_flight->load(), 1u);
  const uint64_t reads = clock_.reads();
  EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_FALSE(take_burst(l.burst()));
  EXPECT_EQ(clock_.reads(), reads) << "a burst refusal never reaches the windows";
  EXPECT_EQ(l.core->window(0).count.load(), 1u);
  EXPECT_EQ(l.in_flight->load(), 1u);

  give_back_burst(l.burst());
  EXPECT_EQ(l.in_flight->load(), 0u);
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.core->window(0).count.load(), 2u);
}

TEST_F(Ledger, WindowRefusalGivesTheBurstPermitBack) {
  LimiterContents l = make({.sec = 1, .max_burst = 3});
  clock_.set(at(1));
  ASSERT_EQ(acquire(l), Take::granted);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_EQ(l.in_flight->load(), 1u);
}

TEST_F(Ledger, StrayGiveBackKeepsTheBurstCountAtZero) {
  LimiterContents l = make({.sec = 100, .max_burst = 2});
  clock_.set(at(1));
  for (int i = 0; i < 3; ++i) give_back_burst(l.burst());
  EXPECT_EQ(l.in_flight->load(), 0u);
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::refused) << "the bound is still 2, not 2 plus the stray calls";
  EXPECT_EQ(remaining(l)["burst"], 0u);
}

TEST_F(Ledger, WithoutABoundBurstCallsChangeNothing) {
  LimiterContents l = make({.sec = 2});
  EXPECT_TRUE(take_burst(l.burst()));
  give_back_burst(l.burst());
  give_back_burst(l.burst());
  EXPECT_EQ(l.in_flight->load(), 0u);
  clock_.set(at(1));
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.in_flight->load(), 0u);
  EXPECT_EQ(remaining(l).count("burst"), 0u);
}

// --- Near the epoch -----------------------------------------------------------

TEST_F(Ledger, ClockBeforeTheEpochReadsAsZeroSeconds) {
  LimiterContents l = make({.sec = 1, .min = 2});
  clock_.set(-sec(5));
  ASSERT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.core->window(0).window_start.load(), 0u);
  EXPECT_EQ(l.core->window(1).window_start.load(), 0u);
  clock_.set(-sec(3));
  EXPECT_EQ(acquire(l), Take::refused) << "still the interval that starts at 0";
  EXPECT_EQ(wait_ns(l), sec(1));
  clock_.set(INT64_MIN);
  EXPECT_EQ(acquire(l), Take::refused);

  // The second interval that started at Unix time 0 rolls over like any other.
  clock_.set(sec(1));
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 1}, {"minute", 1}}));
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::refused);
  EXPECT_EQ(remaining(l), (RemainingMap{{"second", 0}, {"minute", 0}}));
  clock_.set(sec(60));
  EXPECT_EQ(acquire(l), Take::granted);
}

TEST_F(Ledger, IntervalStartingAtTheEpochResetsOnRollover) {
  LimiterContents l = make({.sec = 1, .hour = 3});
  clock_.set(ms(300));
  ASSERT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(acquire(l), Take::refused);
  clock_.set(sec(1));
  EXPECT_EQ(acquire(l), Take::granted);
  EXPECT_EQ(l.core->window(0).window_start.load(), 1u);
  EXPECT_EQ(l.core->window(1).window_start.load(), 0u);
  EXPECT_EQ(l.core->window(1).count.load(), 2u);
}

// --- Poisoned core --------------------------------------------------------------

enum class FaultyOp { take_windows, try_acquire, time_until, remaining };

class Poisoning : public Ledger, public ::testing::WithParamInterface<FaultyOp> {};

TEST_P(Poisoning, FaultUnderTheCoreLockPoisonsTheCoreForGood) {
  LimiterContents l = make({.sec = 2, .min = 10, .max_burst = 3});
  clock_.set(at(20, 100));
  ASSERT_EQ(acquire(l), Take::granted);  // one burst permit stays held
  ASSERT_EQ(l.in_flight->load(), 1u);

  clock_.set(at(21));
  clock_.fail_next_read();
  switch (GetParam()) {
    case FaultyOp::take_windows:
      EXPECT_THROW(take_windows(*l.core), std::runtime_error);
      break;
    case FaultyOp::try_acquire:
      EXPECT_THROW(acquire(l), std::runtime_error);
      break;
    case FaultyOp::time_until:
      EXPECT_THROW(time_until_next_window(*l.core), std::runtime_error);
      break;
    case FaultyOp::remaining:
      EXPECT_THROW(remaining_per_window(*l.core, l.burst()), std::runtime_error);
      break;
  }
  EXPECT_TRUE(l.core->poisoned());
  EXPECT_EQ(l.in_flight->load(), 1u) << "the failing call's own burst permit went back";

  // The counts and starts stay as the fault left them.
  const uint64_t reads = clock_.reads();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(acquire(l), Take::interrupted);
    EXPECT_EQ(take_windows(*l.core), Take::interrupted);
    EXPECT_EQ(time_until_next_window(*l.core), std::nullopt);
    EXPECT_EQ(remaining(l), (RemainingMap{{"burst", 2}}));
  }
  EXPECT_EQ(l.in_flight->load(), 1u) << "refused calls give their burst permit back";
  EXPECT_EQ(clock_.reads(), reads) << "a poisoned core is not stepped any more";
  EXPECT_EQ(l.core->window(0).count.load(), 1u);
  EXPECT_EQ(l.core->window(0).window_start.load(), uint64_t(kDay + 20));

  // The lock was let go: other operations do not block.
  give_back_burst(l.burst());
  EXPECT_EQ(l.in_flight->load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ops, Poisoning,
                         ::testing::Values(FaultyOp::take_windows, FaultyOp::try_acquire,
                                           FaultyOp::time_until, FaultyOp::remaining),
                         [](const ::testing::TestParamInfo<FaultyOp>& info) {
                           switch (info.param) {
                             case FaultyOp::take_windows: return "take_windows";
                             case FaultyOp::try_acquire: return "try_acquire";
                             case FaultyOp::time_until: return "time_until_next_window";
                             case FaultyOp::remaining: return "remaining_per_window";
                           }
                           return "unknown";
                         });

TEST_F(Ledger, PoisonedCoreWithoutBurstBoundReportsNoEntries) {
  LimiterContents l = make({.hour = 2});
  clock_.fail_next_read();
  EXPECT_THROW(acquire(l), std::runtime_error);
  EXPECT_EQ(remaining(l), RemainingMap{});
  EXPECT_EQ(acquire(l), Take::interrupted);
}

TEST_F(Ledger, FaultOutsideTheLockDoesNotPoison) {
  LimiterContents l = make({.sec = 1});
  clock_.set(at(1));
  // An exception already in flight when the lock is taken (a step run from a
  // destructor during unwinding) is not a fault of that step.
  struct StepInDestructor {
    LimiterCore* core;
    ~StepInDestructor() { EXPECT_EQ(take_windows(*core), Take::granted); }
  };
  EXPECT_THROW(
      {
        StepInDestructor s{l.core.get()};
        throw std::runtime_error("unrelated");
      },
      std::runtime_error);
  EXPECT_FALSE(l.core->poisoned());
}

}  // namespace
}  // namespace ratevane
