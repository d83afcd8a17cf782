#include "executor/ticks.hpp"

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

// Pure arithmetic on the readings listed: no clock is read, so the range
// checked (the lead is in [0, 1 ms), as origin_lead promises) is the same on
// every machine.
TEST(Ticks, OriginLeadPutsTickBoundariesJustAfterWallMilliseconds) {
  constexpr nanoseconds margin = 5us;
  for (nanoseconds wall : {nanoseconds(1'700'000'000'000'000'000), 1'700'000'000'000'004'999ns,
                           1'700'000'000'000'005'000ns, 1'700'000'000'000'999'999ns,
                           1'700'000'000'123'456'789ns, 0ns, 3ns}) {
    const nanoseconds lead = origin_lead(wall, margin);
    EXPECT_GE(lead, 0ns);
    EXPECT_LT(lead, 1ms);
    // The origin, in wall-clock terms, is `margin` past a whole millisecond,
    // and so is every tick boundary after it.
    EXPECT_EQ(((wall - lead) % 1ms + 1ms) % 1ms, margin) << wall.count();
  }
}

// A wait for a window that reopens at the next whole second of the wall
// clock, as the limiter makes it: the remaining time rounded down to whole
// milliseconds, then the sleep's deadline rounded up to its tick. With the
// aligned origin the tick is the reopening itself (plus the margin), unless
// the remainder's sub-millisecond part is within the margin of a whole
// millisecond.
TEST(Ticks, AlignedWaitForAWholeSecondEndsJustAfterIt) {
  constexpr nanoseconds margin = kTickAfterWallMillisecond;
  const nanoseconds mono_at_start = 123'456'789'012ns;  // any monotonic reading
  const nanoseconds wall_at_start = 1'700'000'000'987'654'321ns;
  const nanoseconds origin = mono_at_start - origin_lead(wall_at_start, margin);
  int early = 0, checked = 0;
  for (nanoseconds later = 0ns; later < 3s; later += 777'777ns) {
    const nanoseconds wall = wall_at_start + later, mono = mono_at_start + later;
    const nanoseconds reopens = (wall / 1s + 1) * 1s;
    const nanoseconds remaining = reopens - wall;
    const auto sleep = std::chrono::floor<std::chrono::milliseconds>(remaining);
    const Tick tick = deadline_tick(deadline_after(mono, sleep) - origin);
    const nanoseconds tick_wall = wall + (origin + tick * 1ms - mono);
    ++checked;
    if (remaining % 1ms >= 1ms - margin) {
      ++early;
      EXPECT_EQ(tick_wall, reopens - 1ms + margin);
    } else {
      EXPECT_EQ(tick_wall, reopens + margin) << later.count();
    }
  }
  // Rare: about margin / 1 ms of the cases. The readings are made up, not
  // taken from a clock, so the count is the same on every machine.
  EXPECT_LT(early * 50, checked);
}

}  // namespace
}  // namespace ratevane::exec
