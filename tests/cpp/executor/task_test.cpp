// Running, waking, failing and joining tasks on the process-wide executor.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "executor/executor.hpp"
#include "test_support.hpp"

namespace ratevane::exec {
namespace {

using namespace std::chrono_literals;
using testing::block_on;
using testing::eventually;
using testing::join;

// A waker published by a task's first run, for other threads to use.
struct PublishedWaker {
  std::mutex mu;
  Waker waker;
  std::atomic<bool> ready{false};

  void publish(const Waker& w) {
    {
      std::lock_guard lk(mu);
      waker = w;
    }
    ready.store(true);
  }
  Waker get() {
    while (!ready.load()) std::this_thread::yield();
    std::lock_guard lk(mu);
    return waker;
  }
};

// Keeps every worker busy until released, so spawned or woken tasks stay
// queued meanwhile.
class Blockers {
 public:
  void occupy_all_workers() {
    const std::size_t n = worker_count();
    for (std::size_t i = 0; i < n; ++i) {
      handles_.push_back(spawn(body_from([this](Context&) {
        started_.fetch_add(1);
        while (!release_.load()) std::this_thread::yield();
        return Poll::ready;
      })));
    }
    ASSERT_TRUE(eventually([&] { return started_.load() == static_cast<int>(n); }));
  }
  void release() {
    release_.store(true);
    for (auto& h : handles_) {
      TaskOutcome out;
      ASSERT_TRUE(join(h, out));
    }
    handles_.clear();
  }
  ~Blockers() { release_.store(true); }

 private:
  std::atomic<int> started_{0};
  std::atomic<bool> release_{false};
  std::vector<JoinHandle> handles_;
};

std::string thread_name() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(Task, RunsOnANamedWorkerNotOnTheSpawningThread) {
  std::string seen_name;
  std::thread::id seen_id;
  JoinHandle h = spawn(body_from([&](Context&) {
    seen_name = thread_name();
    seen_id = std::this_thread::get_id();
    return Poll::ready;
  }));
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  EXPECT_FALSE(out.payload);
  EXPECT_EQ(seen_name, kWorkerThreadName);
  EXPECT_NE(seen_id, std::this_thread::get_id());
  EXPECT_TRUE(executor_built());
  EXPECT_GE(worker_count(), 1u);
}

TEST(Task, JoinOfAFailedTaskYieldsItsPayload) {
  JoinHandle h = spawn(body_from([](Context&) -> Poll { throw std::runtime_error("boom"); }));
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  ASSERT_EQ(out.kind, TaskOutcome::Kind::failed);
  ASSERT_TRUE(out.payload);
  try {
    std::rethrow_exception(out.payload);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
}

TEST(Task, FailuresEndOnlyTheirOwnTasks) {
  constexpr int kEach = 50;
  std::atomic<int> done{0};
  std::vector<JoinHandle> failing, fine;
  for (int i = 0; i < kEach; ++i) {
    failing.push_back(spawn(body_from([i](Context&) -> Poll {
      throw std::runtime_error("failure " + std::to_string(i));
    })));
    fine.push_back(spawn(body_from([&done](Context&) {
      done.fetch_add(1);
      return Poll::ready;
    })));
  }
  for (int i = 0; i < kEach; ++i) {
    TaskOutcome out;
    ASSERT_TRUE(join(failing[i], out));
    ASSERT_EQ(out.kind, TaskOutcome::Kind::failed);
    try {
      std::rethrow_exception(out.payload);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "failure " + std::to_string(i));
    }
    ASSERT_TRUE(join(fine[i], out));
    EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  }
  EXPECT_EQ(done.load(), kEach);
  // Every worker is still there and still runs tasks.
  std::atomic<int> later{0};
  std::vector<JoinHandle> more;
  for (std::size_t i = 0; i < 4 * worker_count(); ++i) {
    more.push_back(spawn(body_from([&later](Context&) {
      later.fetch_add(1);
      return Poll::ready;
    })));
  }
  for (auto& h : more) {
    TaskOutcome out;
    ASSERT_TRUE(join(h, out));
  }
  EXPECT_EQ(later.load(), static_cast<int>(4 * worker_count()));
  EXPECT_EQ(testing::count_worker_threads(), static_cast<int>(worker_count()));
}

// The body's destructor has run by the time a joiner sees the outcome,
// whether the task finished or failed.
struct DestructionProbe final : TaskBody {
  std::atomic<bool>* destroyed;
  bool fail;
  DestructionProbe(std::atomic<bool>* d, bool f) : destroyed(d), fail(f) {}
  ~DestructionProbe() override { destroyed->store(true); }
  Poll poll(Context&) override {
    if (fail) throw std::logic_error("probe");
    return Poll::ready;
  }
};

TEST(Task, BodyIsDestroyedWhenTheTaskEnds) {
  for (bool fail : {false, true}) {
    std::atomic<bool> destroyed{false};
    JoinHandle h = spawn(std::make_unique<DestructionProbe>(&destroyed, fail));
    TaskOutcome out;
    ASSERT_TRUE(join(h, out));
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(out.kind, fail ? TaskOutcome::Kind::failed : TaskOutcome::Kind::finished);
    EXPECT_TRUE(h.is_finished());
  }
}

TEST(Task, OutcomeIsHandedOutOnce) {
  JoinHandle h = spawn(body_from([](Context&) { return Poll::ready; }));
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_THROW(join(h, out), std::logic_error);
  JoinHandle empty;
  EXPECT_THROW(join(empty, out), std::logic_error);
}

TEST(Task, OneTaskAwaitsAnother) {
  std::atomic<bool> inner_may_end{false};
  PublishedWaker inner_waker;
  JoinHandle inner = spawn(body_from([&](Context& cx) -> Poll {
    if (!inner_may_end.load()) {
      inner_waker.publish(cx.waker());
      return Poll::pending;
    }
    throw std::runtime_error("inner failed");
  }));
  std::atomic<int> outer_polls{0};
  std::atomic<bool> outer_saw_failure{false};
  JoinHandle outer = spawn(body_from(
      [&, inner = std::move(inner), seen = TaskOutcome{}](Context& cx) mutable {
        outer_polls.fetch_add(1);
        if (inner.poll(cx, seen) == Poll::pending) return Poll::pending;
        bool right = false;
        try {
          if (seen.payload) std::rethrow_exception(seen.payload);
        } catch (const std::runtime_error& e) {
          right = std::string(e.what()) == "inner failed";
        }
        outer_saw_failure.store(seen.kind == TaskOutcome::Kind::failed && right);
        return Poll::ready;
      }));
  Waker w = inner_waker.get();
  ASSERT_TRUE(eventually([&] { return outer_polls.load() >= 1; }));
  EXPECT_FALSE(outer.is_finished());
  inner_may_end.store(true);
  w.wake();
  TaskOutcome out;
  ASSERT_TRUE(join(outer, out));
  EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  EXPECT_TRUE(outer_saw_failure.load());
}

TEST(Task, DetachedTaskStillRunsToItsEnd) {
  auto ran = std::make_shared<std::atomic<int>>(0);
  {
    JoinHandle h = spawn(body_from([ran](Context&) {
      ran->fetch_add(1);
      return Poll::ready;
    }));
  }
  EXPECT_TRUE(eventually([&] { return ran->load() == 1; }));
}

TEST(Task, WokenWhileRunningRunsExactlyOnceMore) {
  std::atomic<int> runs{0};
  std::atomic<bool> go{false}, finish{false};
  PublishedWaker pw;
  JoinHandle h = spawn(body_from([&](Context& cx) {
    const int r = runs.fetch_add(1) + 1;
    if (r == 1) {
      pw.publish(cx.waker());
      while (!go.load()) std::this_thread::yield();  // hold the run open
      return Poll::pending;
    }
    return finish.load() ? Poll::ready : Poll::pending;
  }));
  Waker w = pw.get();
  for (int i = 0; i < 5; ++i) w.wake();  // all while the first run is going on
  go.store(true);
  ASSERT_TRUE(eventually([&] { return runs.load() == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs.load(), 2);
  finish.store(true);
  w.wake();
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_EQ(runs.load(), 3);
}

TEST(Task, WakingAScheduledTaskAddsNoRun) {
  std::atomic<int> runs{0};
  std::atomic<bool> finish{false};
  PublishedWaker pw;
  JoinHandle h = spawn(body_from([&](Context& cx) {
    if (runs.fetch_add(1) == 0) pw.publish(cx.waker());
    return finish.load() ? Poll::ready : Poll::pending;
  }));
  Waker w = pw.get();
  Blockers blockers;
  // Once every worker runs a blocker, the first run has surely parked.
  blockers.occupy_all_workers();
  EXPECT_EQ(runs.load(), 1);
  for (int i = 0; i < 5; ++i) w.wake();  // the first schedules, the rest find it scheduled
  blockers.release();
  ASSERT_TRUE(eventually([&] { return runs.load() == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs.load(), 2);
  finish.store(true);
  w.wake();
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
  EXPECT_EQ(runs.load(), 3);
}

// One wake (odd iterations: two, from two threads) races with the end of the
// first run, many times over: whichever way each race goes, the task runs
// exactly twice (no wake lost, none counted twice) and never in two places
// at once. The first run lingers for
// a random while or until it sees the test start waking, so many wakes land
// just as the run ends.
TEST(Task, WakeVersusEndOfRunStress) {
  constexpr int kIterations = 3000;
  struct Shared {
    std::atomic<int> runs{0};
    std::atomic<bool> proceed{false};
    std::atomic<bool> in_poll{false};
    std::atomic<bool> overlap{false};
    PublishedWaker waker;
    int linger = 0;
  };
  std::atomic<Shared*> armed{nullptr};
  std::atomic<int> helper_done{0};
  testing::HelperThread helper([&](std::atomic<bool>& quit) {
    int handled = 0;
    while (!quit.load()) {
      Shared* s = armed.exchange(nullptr);
      if (!s) {
        std::this_thread::yield();
        continue;
      }
      s->waker.get().wake();
      helper_done.store(++handled);
    }
  });
  std::mt19937 rng(7);
  int woken_mid_run = 0;
  for (int i = 0; i < kIterations; ++i) {
    auto s = std::make_shared<Shared>();
    s->linger = static_cast<int>(rng() % 50'000);
    JoinHandle h = spawn(body_from([s](Context& cx) {
      if (s->in_poll.exchange(true)) s->overlap.store(true);
      s->runs.fetch_add(1);
      Poll result = Poll::ready;
      if (!s->proceed.load()) {
        s->waker.publish(cx.waker());
        for (int k = 0; k < s->linger && !s->proceed.load(); ++k) {
        }
        result = Poll::pending;
      }
      s->in_poll.store(false);
      return result;
    }));
    Waker w = s->waker.get();
    const bool two_wakers = i % 2 == 1;
    s->proceed.store(true);
    if (two_wakers) armed.store(s.get());
    w.wake();
    if (s->in_poll.load()) ++woken_mid_run;
    TaskOutcome out;
    ASSERT_TRUE(join(h, out, 10s)) << "lost wake-up at iteration " << i;
    if (two_wakers) {
      ASSERT_TRUE(eventually([&] { return helper_done.load() == (i + 1) / 2; }));
    }
    ASSERT_EQ(s->runs.load(), 2) << "iteration " << i;
    ASSERT_FALSE(s->overlap.load());
  }
  std::printf("woken while the first run was still going: %d of %d\n", woken_mid_run, kIterations);
}

// Several threads wake one task as fast as they can while it keeps
// re-polling: every request is eventually seen, and no two polls overlap.
TEST(Task, ManyWakersLoseNothing) {
  constexpr int kThreads = 4, kWakesEach = 20'000;
  std::atomic<int> requests{0}, seen{0}, runs{0};
  std::atomic<bool> in_poll{false}, overlap{false}, finish{false};
  PublishedWaker pw;
  JoinHandle h = spawn(body_from([&](Context& cx) {
    if (in_poll.exchange(true)) overlap.store(true);
    if (runs.fetch_add(1) == 0) pw.publish(cx.waker());
    seen.store(requests.load());
    in_poll.store(false);
    return finish.load() ? Poll::ready : Poll::pending;
  }));
  Waker w = pw.get();
  std::vector<std::thread> wakers;
  for (int t = 0; t < kThreads; ++t) {
    wakers.emplace_back([&, w] {
      for (int i = 0; i < kWakesEach; ++i) {
        requests.fetch_add(1);
        w.wake();
      }
    });
  }
  for (auto& t : wakers) t.join();
  EXPECT_TRUE(eventually([&] { return seen.load() == kThreads * kWakesEach; }))
      << "seen " << seen.load();
  EXPECT_FALSE(overlap.load());
  EXPECT_LE(runs.load(), kThreads * kWakesEach + 1);
  finish.store(true);
  w.wake();
  TaskOutcome out;
  ASSERT_TRUE(join(h, out));
}

}  // namespace
}  // namespace ratevane::exec
