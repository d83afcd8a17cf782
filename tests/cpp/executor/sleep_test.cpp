// Sleeps and the timer processing behind them, on the process-wide executor.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "executor/cancel_signal.hpp"
#include "executor/executor.hpp"
#include "executor/scheduler.hpp"
#include "test_support.hpp"

namespace ratevane::exec {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;
using testing::eventually;
using testing::join;

// Makes sure the executor exists, so its origin can be read.
detail::Scheduler& executor() {
  JoinHandle h = spawn(body_from([](Context&) { return Poll::ready; }));
  TaskOutcome out;
  EXPECT_TRUE(join(h, out));
  return detail::scheduler_instance();
}

// Sleeps for `d` and ends, or ends early when its signal fires or closes,
// dropping the sleep unfinished.
struct CancellableSleeper final : TaskBody {
  Sleep sleep;
  CancelReceiver cancel;
  std::atomic<bool>* slept_through;
  CancellableSleeper(nanoseconds d, CancelReceiver rx, std::atomic<bool>* done)
      : sleep(d), cancel(std::move(rx)), slept_through(done) {}
  Poll poll(Context& cx) override {
    if (sleep.poll(cx) == Poll::ready) {
      if (slept_through) slept_through->store(true);
      return Poll::ready;
    }
    return cancel.poll(cx.waker()) == CancelReceiver::State::not_yet ? Poll::pending : Poll::ready;
  }
};

TEST(Sleep, NeverCompletesBeforeItsTick) {
  detail::Scheduler& s = executor();
  constexpr int kTasks = 40, kRounds = 3;
  std::atomic<int> early{0}, completed{0};
  std::vector<JoinHandle> hs;
  std::mt19937 rng(3);
  for (int t = 0; t < kTasks; ++t) {
    std::vector<nanoseconds> ds;
    for (int r = 0; r < kRounds; ++r) ds.push_back(nanoseconds(rng() % 15'000'000));
    hs.push_back(spawn(body_from(
        [&, ds, round = 0, sleep = std::unique_ptr<Sleep>()](Context& cx) mutable {
          for (;;) {
            if (!sleep) sleep = std::make_unique<Sleep>(ds[round]);
            if (sleep->poll(cx) == Poll::pending) return Poll::pending;
            const auto now = Clock::now();
            const Tick tick = s.tick_of(sleep->deadline());
            if (now < sleep->deadline() || now < s.origin() + std::chrono::milliseconds(tick)) {
              early.fetch_add(1);
            }
            completed.fetch_add(1);
            sleep.reset();
            if (++round == kRounds) return Poll::ready;
          }
        })));
  }
  for (auto& h : hs) {
    TaskOutcome out;
    ASSERT_TRUE(join(h, out));
    EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  }
  EXPECT_EQ(completed.load(), kTasks * kRounds);
  EXPECT_EQ(early.load(), 0);
}

// A zero sleep is due at the next tick, at most a millisecond away. The
// bound is three orders of magnitude above that: a runnable worker on a
// loaded two-processor machine under the sanitizers waits tens of
// milliseconds for a processor, not seconds. A zero sleep that is never
// completed ends the join at its 20 s limit.
TEST(Sleep, ZeroSleepCompletesPromptly) {
  executor();
  const auto start = Clock::now();
  JoinHandle h = spawn(body_from([sleep = std::make_unique<Sleep>(0ns)](Context& cx) {
    return sleep->poll(cx);
  }));
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(Sleep, DroppingAnUnfinishedSleepRemovesItsTimer) {
  executor();
  const std::size_t base = pending_timers();
  auto [tx, rx] = make_cancel_signal();
  std::atomic<bool> slept{false};
  JoinHandle h = spawn(std::make_unique<CancellableSleeper>(1h, std::move(rx), &slept));
  ASSERT_TRUE(eventually([&] { return pending_timers() == base + 1; }));
  tx.fire();
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_FALSE(slept.load());
  EXPECT_EQ(pending_timers(), base);
}

TEST(Sleep, DurationBeyondTheClockMeansThirtyYearsAndDropsCleanly) {
  executor();
  const std::size_t base = pending_timers();
  const auto before = Clock::now();
  auto sleeper = std::make_unique<CancellableSleeper>(nanoseconds::max(), CancelReceiver(), nullptr);
  const auto after = Clock::now();
  EXPECT_GE(sleeper->sleep.deadline(), before + kFarFuture);
  EXPECT_LE(sleeper->sleep.deadline(), after + kFarFuture);
  auto [tx, rx] = make_cancel_signal();
  sleeper->cancel = std::move(rx);
  JoinHandle h = spawn(std::move(sleeper));
  ASSERT_TRUE(eventually([&] { return pending_timers() == base + 1; }));
  { CancelSender dropped = std::move(tx); }  // closing also ends the task
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_EQ(pending_timers(), base);
}

// With the timer worker planning to wake in an hour, a shorter sleep must
// make it plan again; otherwise this would wait the hour.
TEST(Sleep, EarlierTimerWakesTheWaitingWorkerToPlanAgain) {
  executor();
  auto [tx, rx] = make_cancel_signal();
  JoinHandle long_sleeper = spawn(std::make_unique<CancellableSleeper>(1h, std::move(rx), nullptr));
  ASSERT_TRUE(eventually([&] { return pending_timers() >= 1; }));
  std::this_thread::sleep_for(20ms);  // let the workers settle into their idle waits
  std::atomic<bool> slept{false};
  auto [tx2, rx2] = make_cancel_signal();
  JoinHandle short_sleeper =
      spawn(std::make_unique<CancellableSleeper>(30ms, std::move(rx2), &slept));
  TaskOutcome out;
  ASSERT_TRUE(join(short_sleeper, out, 10s));
  EXPECT_TRUE(slept.load());
  tx.fire();
  ASSERT_TRUE(join(long_sleeper, out));
}

TEST(Sleep, ManyConcurrentSleepersAllComplete) {
  executor();
  const std::size_t base = pending_timers();
  constexpr int kTasks = 2000;
  std::atomic<int> slept{0};
  std::vector<JoinHandle> hs;
  std::mt19937 rng(11);
  for (int i = 0; i < kTasks; ++i) {
    hs.push_back(spawn(body_from(
        [&slept, sleep = std::make_unique<Sleep>(std::chrono::milliseconds(1 + rng() % 30))](
            Context& cx) {
          if (sleep->poll(cx) == Poll::pending) return Poll::pending;
          slept.fetch_add(1);
          return Poll::ready;
        })));
  }
  for (auto& h : hs) {
    TaskOutcome out;
    ASSERT_TRUE(join(h, out));
  }
  EXPECT_EQ(slept.load(), kTasks);
  EXPECT_EQ(pending_timers(), base);
}

TEST(Sleep, MovedSleepKeepsItsTimer) {
  executor();
  const std::size_t base = pending_timers();
  JoinHandle h = spawn(body_from(
      [first = std::make_unique<Sleep>(20ms), second = std::unique_ptr<Sleep>()](Context& cx) mutable {
        if (!second) {
          if (first->poll(cx) == Poll::ready) return Poll::ready;  // registers
          second = std::make_unique<Sleep>(std::move(*first));
          first.reset();  // the moved-from sleep must not take the timer with it
          return second->poll(cx);
        }
        return second->poll(cx);
      }));
  TaskOutcome out;
  ASSERT_TRUE(join(h, out, 10s));
  EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  EXPECT_EQ(pending_timers(), base);
}

// Sleeps dropped around the moment their timers fire, from plain threads:
// the drop and the firing race on the timer entry. Run under the sanitizers
// this catches any touch of a dropped entry.
TEST(Sleep, DropVersusFireStressFromThreads) {
  executor();
  const std::size_t base = pending_timers();
  constexpr int kThreads = 4, kIterations = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::mt19937 rng(100 + t);
      testing::Notifier* n = nullptr;
      Waker w = testing::Notifier::make(n);
      Context cx(w);
      for (int i = 0; i < kIterations; ++i) {
        Sleep s(nanoseconds(rng() % 2'000'000));
        s.poll(cx);
        const auto until = Clock::now() + nanoseconds(rng() % 2'500'000);
        while (Clock::now() < until) {
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(pending_timers(), base);
}

// The same race inside tasks: a task ends (dropping its sleep) when a signal
// fires around its timer's expiry, so the timer's wake and the task's end
// meet on the same task record.
TEST(Sleep, DropVersusFireStressInTasks) {
  executor();
  const std::size_t base = pending_timers();
  constexpr int kThreads = 4, kIterations = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::mt19937 rng(200 + t);
      for (int i = 0; i < kIterations; ++i) {
        auto [tx, rx] = make_cancel_signal();
        JoinHandle h = spawn(std::make_unique<CancellableSleeper>(
            nanoseconds(rng() % 2'000'000), std::move(rx), nullptr));
        const auto until = Clock::now() + nanoseconds(rng() % 2'500'000);
        while (Clock::now() < until) {
        }
        tx.fire();
        TaskOutcome out;
        if (!join(h, out, 10s) || out.kind != TaskOutcome::Kind::finished) failures.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pending_timers(), base);
}

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Idle workers, one of them waiting for an hour-long timer, must sleep in
// the kernel rather than poll. What a polling worker would burn depends on
// how much of a processor the machine gives it, so the measure is a thread
// of this process that spins beside the workers for the same second: the
// kernel shares the processors evenly between runnable threads, so a
// polling worker would use about as much CPU as the spinner, however loaded
// the machine is. Idle workers use next to nothing; a fifth of the
// spinner's time leaves room for the sanitizers' own threads and for thread
// start and exit, and still fails for a single polling worker.
TEST(Sleep, IdleWorkersUseNoCpu) {
  executor();
  auto [tx, rx] = make_cancel_signal();
  JoinHandle h = spawn(std::make_unique<CancellableSleeper>(1h, std::move(rx), nullptr));
  ASSERT_TRUE(eventually([&] { return pending_timers() >= 1; }));
  std::this_thread::sleep_for(50ms);
  // The spinner's own span lies inside the process's, so nothing the
  // workers use is subtracted with it.
  std::atomic<bool> ready{false}, go{false}, stop{false};
  double spinner = 0;
  std::thread reference([&] {
    ready.store(true);
    while (!go.load()) {
    }
    const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    while (!stop.load(std::memory_order_relaxed)) {
    }
    spinner = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
  });
  while (!ready.load()) std::this_thread::yield();
  const double before = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  go.store(true);
  std::this_thread::sleep_for(1s);
  stop.store(true);
  reference.join();
  const double used = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - before - spinner;
  EXPECT_LT(used * 5, spinner) << "idle executor used " << used << " s of CPU in 1 s, a thread "
                               << "spinning beside it " << spinner << " s";
  tx.fire();
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
}

}  // namespace
}  // namespace ratevane::exec
