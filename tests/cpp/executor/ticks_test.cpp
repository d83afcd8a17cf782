#include "bridge/ticks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace ratevane::exec {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

TEST(Ticks, DeadlineInsideAMillisecondRoundsUp) {
  EXPECT_EQ(deadline_tick(11'700us), 12u);
  EXPECT_EQ(deadline_tick(11'000'001ns), 12u);
}

TEST(Ticks, DeadlineOnAWholeMillisecondKeepsIt) {
  EXPECT_EQ(deadline_tick(12ms), 12u);
  EXPECT_EQ(deadline_tick(12'000'000ns), 12u);
}

TEST(Ticks, SleepNotYetDueOneNanosecondBeforeItsTick) {
  const Tick t = deadline_tick(11'700us);
  EXPECT_FALSE(tick_reached(t, current_tick(11'999'999ns)));
  EXPECT_TRUE(tick_reached(t, current_tick(12ms)));
  const Tick exact = deadline_tick(12ms);
  EXPECT_FALSE(tick_reached(exact, current_tick(11'999'999ns)));
  EXPECT_TRUE(tick_reached(exact, current_tick(12ms)));
}

TEST(Ticks, ZeroSleepStartedMidMillisecondWaitsForTheNextOne) {
  const nanoseconds started = 10'300us;
  const Tick t = deadline_tick(deadline_after(started, 0ns));
  EXPECT_EQ(t, 11u);
  EXPECT_FALSE(tick_reached(t, current_tick(started)));
  EXPECT_FALSE(tick_reached(t, current_tick(10'999'999ns)));
  EXPECT_TRUE(tick_reached(t, current_tick(11ms)));
}

TEST(Ticks, ZeroSleepOnAWholeMillisecondIsDueAtOnce) {
  const Tick t = deadline_tick(deadline_after(10ms, 0ns));
  EXPECT_EQ(t, 10u);
  EXPECT_TRUE(tick_reached(t, current_tick(10ms)));
}

TEST(Ticks, CurrentTickTruncates) {
  EXPECT_EQ(current_tick(0ns), 0u);
  EXPECT_EQ(current_tick(999'999ns), 0u);
  EXPECT_EQ(current_tick(1ms), 1u);
  EXPECT_EQ(current_tick(10'300us), 10u);
  EXPECT_EQ(current_tick(-5ms), 0u);
}

TEST(Ticks, DeadlineBeforeOriginIsTickZero) {
  EXPECT_EQ(deadline_tick(0ns), 0u);
  EXPECT_EQ(deadline_tick(-3ms), 0u);
  EXPECT_TRUE(tick_reached(deadline_tick(-3ms), current_tick(0ns)));
}

TEST(Ticks, DurationBeyondTheClockRangeBecomesThirtyYears) {
  const nanoseconds now = 5s;
  EXPECT_EQ(deadline_after(now, nanoseconds::max()), now + 946'080'000s);
  EXPECT_EQ(deadline_after(now, nanoseconds::max() - now + 1ns), now + 946'080'000s);
  // The largest duration that still fits is taken as it is.
  EXPECT_EQ(deadline_after(now, nanoseconds::max() - now), nanoseconds::max());
  EXPECT_EQ(kFarFuture, std::chrono::hours(24) * 365 * 30);
}

TEST(Ticks, ThirtyYearsSubstituteSaturatesAtTheEndOfTheClock) {
  const nanoseconds late = nanoseconds::max() - 10s;
  EXPECT_EQ(deadline_after(late, nanoseconds::max()), nanoseconds::max());
}

TEST(Ticks, NegativeDurationCountsAsZero) {
  EXPECT_EQ(deadline_after(7ms, -3ms), 7ms);
  EXPECT_EQ(deadline_after(7ms, nanoseconds::min()), 7ms);
}

TEST(Ticks, TicksAreCappedBelowTheReservedValues) {
  constexpr Tick max = std::numeric_limits<Tick>::max();
  EXPECT_EQ(kMaxTick, max - 2);
  EXPECT_EQ(cap_tick(max), max - 2);
  EXPECT_EQ(cap_tick(max - 1), max - 2);
  EXPECT_EQ(cap_tick(max - 2), max - 2);
  EXPECT_EQ(cap_tick(max - 3), max - 3);
  EXPECT_LT(kMaxTick, kNoTick);
}

TEST(Ticks, LargestDeadlineRoundsUpWithoutOverflow) {
  const Tick t = deadline_tick(nanoseconds::max());
  const auto max_ns = static_cast<std::uint64_t>(nanoseconds::max().count());
  EXPECT_EQ(t, max_ns / 1'000'000u + 1);
  EXPECT_LE(t, kMaxTick);
}

TEST(Ticks, ThirtyYearSleepHasAFiniteTickInsideTheRange) {
  const nanoseconds now = 1h;
  const Tick t = deadline_tick(deadline_after(now, nanoseconds::max()));
  EXPECT_EQ(t, static_cast<Tick>((1h + 946'080'000s) / 1ms));
}

}  // namespace
}  // namespace ratevane::exec
