// Timer arithmetic of the executor clock, as pure functions.
//
// The executor clock counts time since an origin taken when the executor is
// built. Timers are kept in whole milliseconds ("ticks") since that origin.
// Rounding goes in opposite directions on the two sides on purpose: a
// deadline is rounded *up* to its tick and the clock's current tick is
// rounded *down*, so "current tick >= deadline tick" can only hold once the
// deadline itself has passed. That is what makes a sleep never early.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

namespace ratevane::exec {

using Tick = std::uint64_t;

// The two highest tick values are kept free: `kNoTick` marks "no timer
// planned" in the worker that waits for timers, so no real timer may compare
// equal to it (and one more value stays spare).
inline constexpr Tick kNoTick = std::numeric_limits<Tick>::max();
inline constexpr Tick kMaxTick = std::numeric_limits<Tick>::max() - 2;

// What a sleep whose deadline cannot be represented waits for instead:
// thirty years of 365 days.
inline constexpr std::chrono::nanoseconds kFarFuture =
    std::chrono::seconds{946'080'000};

// Deadline of a sleep of `d` started at `now` (both measured from the same
// epoch). A sum past the clock's range becomes `now + kFarFuture`, saturated
// should even that overflow. A negative duration counts as zero.
constexpr std::chrono::nanoseconds deadline_after(std::chrono::nanoseconds now,
                                                  std::chrono::nanoseconds d) {
  using R = std::chrono::nanoseconds::rep;
  constexpr R max = std::numeric_limits<R>::max();
  R n = now.count();
  R dn = d.count() < 0 ? 0 : d.count();
  if (n > 0 && dn > max - n) {
    R far = kFarFuture.count();
    return std::chrono::nanoseconds{far > max - n ? max : n + far};
  }
  return std::chrono::nanoseconds{n + dn};
}

// Caps a millisecond count so it stays clear of the reserved tick values.
constexpr Tick cap_tick(std::uint64_t whole_ms) {
  return whole_ms > kMaxTick ? kMaxTick : whole_ms;
}

// Tick of a deadline `since_origin` after the clock origin: rounded up to
// the next whole millisecond. A deadline before the origin has tick 0.
constexpr Tick deadline_tick(std::chrono::nanoseconds since_origin) {
  if (since_origin.count() <= 0) return 0;
  // Unsigned, so adding the 999,999 ns cannot overflow near the top of the
  // signed range.
  std::uint64_t ns = static_cast<std::uint64_t>(since_origin.count());
  return cap_tick((ns + 999'999u) / 1'000'000u);
}

// The clock's current tick `since_origin` after the origin: truncated.
constexpr Tick current_tick(std::chrono::nanoseconds since_origin) {
  if (since_origin.count() <= 0) return 0;
  return static_cast<std::uint64_t>(since_origin.count()) / 1'000'000u;
}

// A timer is due once the clock has reached its tick; never before.
constexpr bool tick_reached(Tick timer, Tick current) { return current >= timer; }

// Where tick boundaries fall relative to the wall clock: this long after
// each of its whole milliseconds. Limiter windows reopen on whole
// wall-clock seconds, and a wait for that moment sleeps the remaining time
// rounded down to whole milliseconds, which the sleep's tick then rounds up
// again: with boundaries just after the wall clock's milliseconds the tick
// is the first one at or after the reopening, so the waiter wakes right
// after it instead of up to a millisecond early (and then sleeping another
// millisecond). The margin covers the error of pairing a reading of one
// clock with a reading of the other; a reopening less than the margin after
// the sleep's rounded-down end still wakes a millisecond early, as before.
inline constexpr std::chrono::nanoseconds kTickAfterWallMillisecond{5'000};

// How far before a monotonic reading to put the clock origin, given the
// wall clock read at the same moment (time since its epoch), so that tick
// boundaries fall `margin` after the wall clock's whole milliseconds. The
// result is in [0, 1 ms): the origin is never after the reading. The two
// clocks are slewed together, so the alignment holds until the wall clock
// is stepped.
constexpr std::chrono::nanoseconds origin_lead(std::chrono::nanoseconds wall_since_epoch,
                                               std::chrono::nanoseconds margin) {
  constexpr std::chrono::nanoseconds ms{1'000'000};
  std::chrono::nanoseconds into = wall_since_epoch % ms;
  if (into.count() < 0) into += ms;
  std::chrono::nanoseconds lead = into - margin % ms;
  if (lead.count() < 0) lead += ms;
  return lead;
}

}  // namespace ratevane::exec
