// Traces of the waiting acquisition on a hand-driven clock: a recording
// sleeper notes every sleep and moves the wall clock on by it, so the exact
// sequence of sleeps (burst back-off, window steps bounded by the time until
// reopening) is checked without any real waiting. Last, the same waits
// slept by the blocking class's sliced sleeper on the hand-driven clocks:
// where its signal checks fall over a whole wait.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/config.hpp"
#include "engine/ledger.hpp"
#include "engine/permit_wait.hpp"
#include "fake_clock.hpp"
#include "scripted_sleeper.hpp"

namespace ratevane {
namespace {

using testing::at;
using testing::FakeMonotonicClock;
using testing::FakeWallClock;
using testing::kDay;
using testing::kNsPerMs;
using testing::ms;
using testing::ScriptedSleeper;
using testing::total_ns;

using Sleeps = std::vector<uint64_t>;
using Checks = std::vector<std::size_t>;

Sleeps operator+(Sleeps a, const Sleeps& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Sleeps repeat(uint64_t ms, std::size_t n) { return Sleeps(n, ms); }

class RecordingSleeper final : public Sleeper {
 public:
  explicit RecordingSleeper(FakeWallClock& clock) : clock_(clock) {}

  bool sleep(uint64_t ms, std::atomic<bool>& interrupted) override {
    sleeps.push_back(ms);
    if (sleeps.size() > 100'000) throw std::logic_error("the wait never ends");
    clock_.advance(static_cast<int64_t>(ms) * kNsPerMs);
    return after_sleep ? after_sleep(sleeps.size(), interrupted) : false;
  }

  Sleeps sleeps;
  // Runs after the n-th sleep (n from 1); returns whether that sleep reports
  // an interruption.
  std::function<bool(std::size_t n, std::atomic<bool>& interrupted)> after_sleep;

 private:
  FakeWallClock& clock_;
};

class Wait : public ::testing::Test {
 protected:
  LimiterContents make(const LimiterConfig& config) {
    Expected<LimiterContents> built = build_limiter(config, clock_);
    if (!built) throw std::logic_error(built.error().message);
    return std::move(built.value());
  }
  Take wait(LimiterContents& l) {
    return wait_for_permit(*l.core, l.burst(), *l.interrupted, sleeper_);
  }

  FakeWallClock clock_;
  RecordingSleeper sleeper_{clock_};
};

TEST(WaitSteps, ShortAndWindowSteps) {
  const Sleeps short_steps{10, 20, 40, 80, 100, 100, 100};
  for (uint64_t n = 0; n < short_steps.size(); ++n) EXPECT_EQ(short_step_ms(n), short_steps[n]);
  EXPECT_EQ(short_step_ms(UINT64_MAX), 100u);

  struct Row {
    uint64_t pass;
    Duration until;
    uint64_t ms;
  };
  const Row rows[] = {
      {0, {5, 0}, 10},          {6, {5, 0}, 640},        {7, {5, 0}, 1000},
      {UINT64_MAX, {5, 0}, 1000}, {3, {0, 35'900'000}, 35}, {2, {0, 1'000'000}, 1},
      {20, {0, 999'999'999}, 999}, {9, {UINT64_MAX, 0}, 1000},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(window_step_ms(r.pass, r.until), r.ms) << "pass " << r.pass;
  }
}

TEST_F(Wait, BurstWaitBacksOffTo100msUntilReleased) {
  LimiterContents l = make({.sec = 1'000'000, .max_burst = 1});
  clock_.set(at(3));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  sleeper_.after_sleep = [&](std::size_t n, std::atomic<bool>&) {
    if (n == 8) give_back_burst(l.burst());
    return false;
  };
  EXPECT_EQ(wait(l), Take::granted);
  EXPECT_EQ(sleeper_.sleeps, (Sleeps{10, 20, 40, 80, 100, 100, 100, 100}));
  EXPECT_EQ(l.in_flight->load(), 1u) << "the waiter holds the burst permit now";
  EXPECT_EQ(l.core->window(0).count.load(), 2u);
}

TEST_F(Wait, PassCountCarriesFromBurstWaitIntoWindowWait) {
  LimiterContents l = make({.sec = 1, .max_burst = 1});
  clock_.set(at(3, 100));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  sleeper_.after_sleep = [&](std::size_t n, std::atomic<bool>&) {
    if (n == 3) give_back_burst(l.burst());
    return false;
  };
  EXPECT_EQ(wait(l), Take::granted);
  // Burst: 10, 20, 40 (to 3.170 s). Window, from pass 3: ceilings 80, 160,
  // 320, then 640 cut to the 270 ms left in the second.
  EXPECT_EQ(sleeper_.sleeps, (Sleeps{10, 20, 40, 80, 160, 320, 270}));
  EXPECT_EQ(clock_.now(), at(4));
  EXPECT_EQ(l.in_flight->load(), 1u);
}

struct WindowTrace {
  const char* label;
  int64_t start;  // ns since the epoch; the second and minute windows get one grant there
  Sleeps sleeps;
};

void PrintTo(const WindowTrace& c, std::ostream* os) { *os << c.label; }

class WindowWait : public Wait, public ::testing::WithParamInterface<WindowTrace> {};

TEST_P(WindowWait, SleepsAreBoundedByTheReopeningAndBySecond) {
  const WindowTrace& c = GetParam();
  LimiterContents l = make({.sec = 1, .min = 1});
  clock_.set(c.start);
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  EXPECT_EQ(wait(l), Take::granted);
  EXPECT_EQ(sleeper_.sleeps, c.sleeps);
  // Granted at the first instant of the next minute, not later.
  EXPECT_GE(clock_.now(), at(60));
  EXPECT_LT(clock_.now(), at(60) + ms(1));
  EXPECT_EQ(l.core->window(1).window_start.load(), uint64_t(kDay + 60));
  EXPECT_EQ(l.core->window(1).count.load(), 1u);
  EXPECT_EQ(l.core->window(0).count.load(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Traces, WindowWait,
    ::testing::Values(
        // Second full for 800 ms: doubling steps, the seventh cut to what is
        // left; then the minute is still full and the steps are 1 s.
        WindowTrace{"from_10_2s", at(10, 200),
                    Sleeps{10, 20, 40, 80, 160, 320, 170} + repeat(1000, 49)},
        // Half a millisecond off the grid: whole milliseconds are rounded
        // down, and a wait under 1 ms still sleeps 1 ms.
        WindowTrace{"off_the_millisecond_grid", at(10, 200) + 500'000,
                    Sleeps{10, 20, 40, 80, 160, 320, 169, 1} + repeat(1000, 48) + Sleeps{999, 1}},
        // 5 ms before the second turns: the step ceiling keeps growing with
        // the pass count while the minute is waited for.
        WindowTrace{"from_58_995s", at(58, 995), Sleeps{5, 20, 40, 80, 160, 320, 380}}),
    [](const ::testing::TestParamInfo<WindowTrace>& info) { return std::string(info.param.label); });

TEST_F(Wait, ShortStepWhenTheWindowsRolledBeforeTheWaitingTimeWasAsked) {
  LimiterContents l = make({.sec = 1});
  clock_.set(at(3, 100));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  uint64_t jump_at_read = 0;
  clock_.on_read([&](uint64_t n) {
    if (n == jump_at_read) clock_.set(at(4));
  });
  sleeper_.after_sleep = [&](std::size_t n, std::atomic<bool>&) {
    // On the fifth pass the refused window step reads the clock once, then
    // the query reads it once more: the second has turned in between.
    if (n == 4) jump_at_read = clock_.reads() + 2;
    return false;
  };
  EXPECT_EQ(wait(l), Take::granted);
  // The window ceiling of pass 4 would be 160 ms; with no waiting time known
  // the short step of pass 4 (100 ms) is slept instead.
  EXPECT_EQ(sleeper_.sleeps, (Sleeps{10, 20, 40, 80, 100}));
  EXPECT_EQ(clock_.now(), at(4, 100));
}

// --- Interruptions ----------------------------------------------------------

struct InterruptCase {
  const char* label;
  bool window_phase;     // false: waiting for a burst permit
  bool flag_before;      // the flag is set before the call
  std::size_t at_sleep;  // after this sleep ...
  bool reported;         // ... the sleep reports it (else another waiter set the flag)
  Sleeps sleeps;
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.label; }

class Interrupt : public Wait, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(Interrupt, EndsTheWaitAndGivesBackTheBurstPermitItTook) {
  const InterruptCase& c = GetParam();
  // One permit is held elsewhere: in the window phase the second is full and
  // the waiter holds a second burst permit; in the burst phase it holds none.
  LimiterContents l = make({.sec = 1, .max_burst = c.window_phase ? 2u : 1u});
  clock_.set(at(3, 100));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  l.interrupted->store(c.flag_before);
  std::vector<uint64_t> held_while_sleeping;
  sleeper_.after_sleep = [&](std::size_t n, std::atomic<bool>& flag) {
    held_while_sleeping.push_back(l.in_flight->load());
    if (n != c.at_sleep) return false;
    if (c.reported) return true;
    flag.store(true);
    return false;
  };
  const uint64_t reads = clock_.reads();

  EXPECT_EQ(wait(l), Take::interrupted);
  EXPECT_EQ(sleeper_.sleeps, c.sleeps);
  for (uint64_t held : held_while_sleeping) EXPECT_EQ(held, c.window_phase ? 2u : 1u);
  EXPECT_EQ(l.in_flight->load(), 1u);
  EXPECT_EQ(l.core->window(0).count.load(), 1u) << "nothing of the wait stays counted";
  if (c.flag_before) {
    EXPECT_EQ(clock_.reads(), reads) << "a set flag ends the wait before any step";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Interrupt,
    ::testing::Values(
        InterruptCase{"flag_already_set", true, true, 0, false, {}},
        InterruptCase{"other_waiter_during_window_wait", true, false, 2, false, {10, 20}},
        InterruptCase{"sleep_reports_during_window_wait", true, false, 3, true, {10, 20, 40}},
        InterruptCase{"other_waiter_during_burst_wait", false, false, 5, false,
                      {10, 20, 40, 80, 100}},
        InterruptCase{"sleep_reports_during_burst_wait", false, false, 1, true, {10}}),
    [](const ::testing::TestParamInfo<InterruptCase>& info) { return std::string(info.param.label); });

// --- Signal checks across the whole wait ------------------------------------
// The passes sleep as the blocking class sleeps: one sliced sleeper for the
// whole call, its slices moving the wall clock too.

class SlicedWait : public Wait {
 protected:
  Take wait_in_slices(LimiterContents& l) {
    return wait_for_permit(*l.core, l.burst(), *l.interrupted, sliced_);
  }

  FakeMonotonicClock mono_;
  ScriptedSleeper sliced_{mono_, &clock_};
};

TEST_F(SlicedWait, BurstWaitNobodyEndsIsCheckedEvery500ms) {
  LimiterContents l = make({.sec = 1'000'000, .max_burst = 1});
  clock_.set(at(3));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  sliced_.fail_check = 3;

  EXPECT_EQ(wait_in_slices(l), Take::interrupted);
  // Steps of 10, 20, 40, 80, then 100 ms, none long enough for a check of
  // its own: the checks come at 500, 1000 and 1500 ms slept, the third in
  // the middle of the fourteenth 100 ms step.
  EXPECT_EQ(sliced_.calls, (Sleeps{10, 20, 40, 80} + repeat(100, 14)));
  EXPECT_EQ(sliced_.checks, (Checks{50, 100, 150}));
  EXPECT_EQ(total_ns(sliced_.slices), 1500 * kNsPerMs);
  EXPECT_TRUE(l.interrupted->load());
  EXPECT_EQ(l.in_flight->load(), 1u) << "no burst permit taken";
  EXPECT_EQ(l.core->window(0).count.load(), 1u) << "nothing counted";
}

TEST_F(SlicedWait, WindowWaitIsCheckedBeforeItsStepsGrowPast500ms) {
  LimiterContents l = make({.sec = 1, .min = 1, .max_burst = 2});
  clock_.set(at(10, 200));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  sliced_.fail_check = 1;

  EXPECT_EQ(wait_in_slices(l), Take::interrupted);
  // The mark falls 190 ms into the 320 ms step, long before the first step
  // of 500 ms or more.
  EXPECT_EQ(sliced_.calls, Sleeps({10, 20, 40, 80, 160, 320}));
  EXPECT_EQ(sliced_.checks, (Checks{50}));
  EXPECT_EQ(clock_.now(), at(10, 700));
  EXPECT_EQ(l.in_flight->load(), 1u) << "the burst permit the wait took went back";
  EXPECT_EQ(l.core->window(0).count.load(), 1u);
  EXPECT_EQ(l.core->window(1).count.load(), 1u);
}

TEST_F(SlicedWait, WaitEndingBefore500msMakesNoCheck) {
  LimiterContents l = make({.sec = 1, .max_burst = 2});
  clock_.set(at(3, 700));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  sliced_.fail_check = 1;  // would end the wait, were a check made

  EXPECT_EQ(wait_in_slices(l), Take::granted);
  EXPECT_EQ(sliced_.calls, Sleeps({10, 20, 40, 80, 150}));
  EXPECT_TRUE(sliced_.checks.empty());
  EXPECT_FALSE(l.interrupted->load());
  EXPECT_EQ(l.in_flight->load(), 2u);
  EXPECT_EQ(l.core->window(0).count.load(), 1u) << "counted in the new second";
}

// --- Poisoned core ----------------------------------------------------------

enum class Poison { before_the_wait, by_another_caller, in_own_window_step, in_own_query };

class PoisonedWait : public Wait, public ::testing::WithParamInterface<Poison> {};

TEST_P(PoisonedWait, GivesBackTheBurstPermit) {
  LimiterContents l = make({.sec = 1, .max_burst = 2});
  clock_.set(at(3, 100));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  const Poison how = GetParam();
  if (how == Poison::before_the_wait) {
    clock_.fail_next_read();
    EXPECT_THROW(take_windows(*l.core), std::runtime_error);
  }
  sleeper_.after_sleep = [&](std::size_t n, std::atomic<bool>&) {
    EXPECT_EQ(l.in_flight->load(), 2u);
    if (n != 2) return false;
    switch (how) {
      case Poison::by_another_caller:
        clock_.fail_next_read();
        EXPECT_THROW(remaining_per_window(*l.core, l.burst()), std::runtime_error);
        break;
      case Poison::in_own_window_step:
        clock_.fail_next_read();
        break;
      case Poison::in_own_query:
        clock_.fail_read_after(1);
        break;
      case Poison::before_the_wait:
        break;
    }
    return false;
  };

  if (how == Poison::in_own_window_step || how == Poison::in_own_query) {
    EXPECT_THROW(wait(l), std::runtime_error);
  } else {
    EXPECT_EQ(wait(l), Take::interrupted);
  }
  EXPECT_TRUE(l.core->poisoned());
  EXPECT_EQ(l.in_flight->load(), 1u);
  EXPECT_EQ(sleeper_.sleeps.size(), how == Poison::before_the_wait ? 0u : 2u);
  EXPECT_EQ(wait(l), Take::interrupted) << "every later wait ends at once";
  EXPECT_EQ(l.in_flight->load(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PoisonedWait,
                         ::testing::Values(Poison::before_the_wait, Poison::by_another_caller,
                                           Poison::in_own_window_step, Poison::in_own_query),
                         [](const ::testing::TestParamInfo<Poison>& info) {
                           switch (info.param) {
                             case Poison::before_the_wait: return "before_the_wait";
                             case Poison::by_another_caller: return "by_another_caller";
                             case Poison::in_own_window_step: return "in_own_window_step";
                             case Poison::in_own_query: return "in_own_query";
                           }
                           return "unknown";
                         });

// --- The wait as a state machine (how the awaitable class drives it) ----------

TEST_F(Wait, DroppedWaitGivesBackItsBurstPermitExactlyOnce) {
  LimiterContents l = make({.sec = 1, .max_burst = 3});
  clock_.set(at(3, 100));
  ASSERT_EQ(try_acquire(*l.core, l.burst()), Take::granted);
  {
    PermitWait w(*l.core, l.burst(), *l.interrupted);
    PermitWait::Step step = w.next();
    EXPECT_EQ(step.kind, PermitWait::Kind::sleep);
    EXPECT_EQ(step.sleep_ms, 10u);
    EXPECT_TRUE(w.holds_burst());
    EXPECT_EQ(l.in_flight->load(), 2u);
    w.slept();
    step = w.next();
    EXPECT_EQ(step.sleep_ms, 20u);
    EXPECT_EQ(l.in_flight->load(), 2u) << "the permit is kept over later passes";
    w.abandon();
    EXPECT_EQ(l.in_flight->load(), 1u);
  }
  EXPECT_EQ(l.in_flight->load(), 1u);
  {
    PermitWait w(*l.core, l.burst(), *l.interrupted);
    EXPECT_EQ(w.next().kind, PermitWait::Kind::sleep);
    EXPECT_EQ(l.in_flight->load(), 2u);
  }
  EXPECT_EQ(l.in_flight->load(), 1u) << "a cancelled wait hands its permit back";
  clock_.set(at(4));
  {
    PermitWait w(*l.core, l.burst(), *l.interrupted);
    EXPECT_EQ(w.next().kind, PermitWait::Kind::granted);
    EXPECT_FALSE(w.holds_burst());
  }
  EXPECT_EQ(l.in_flight->load(), 2u) << "a granted permit belongs to the caller";
}

}  // namespace
}  // namespace ratevane
