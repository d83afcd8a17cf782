// Spawning from many threads, the task-local slot, and starting workers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "executor/executor.hpp"
#include "executor/scheduler.hpp"
#include "test_support.hpp"

namespace ratevane::exec {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::join;

TEST(Spawn, FromManyThreadsAtOnceEveryTaskRunsOnce) {
  constexpr int kThreads = 8, kEach = 5000;
  std::vector<std::atomic<int>> runs(kThreads * kEach);
  std::atomic<int> total{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        std::atomic<int>* slot = &runs[t * kEach + i];
        spawn(body_from([slot, &total](Context&) {
          slot->fetch_add(1);
          total.fetch_add(1);
          return Poll::ready;
        }));  // detached
      }
    });
  }
  go.store(true);
  for (auto& t : threads) t.join();
  ASSERT_TRUE(eventually([&] { return total.load() == kThreads * kEach; }, 30s))
      << total.load() << " of " << kThreads * kEach;
  for (auto& r : runs) ASSERT_EQ(r.load(), 1);
}

// A task queued from a thread that is no worker is handed to the spinning
// worker, or wakes an idle one, or waits for a busy one to look at the queue.
// Two host threads spawn one task at a time, each waiting for its task to
// run and then pausing for a while around the end of a worker's spin, so
// that spawns keep landing on busy, spinning and parking workers. A task
// left queued while every worker sleeps would never run: each wait below
// ends in microseconds or times out.
TEST(Spawn, OneAtATimeFromHostThreadsNoTaskIsStranded) {
  detail::Scheduler s(2);
  constexpr int kEach = 4000;
  std::atomic<bool> stranded{false};
  auto host = [&](unsigned seed) {
    std::atomic<bool> ran{false};
    for (int i = 0; i < kEach && !stranded.load(); ++i) {
      ran.store(false);
      JoinHandle(s.start(body_from([&](Context&) {
        ran.store(true);
        return Poll::ready;
      })));  // detached
      const auto limit = std::chrono::steady_clock::now() + 5s;
      while (!ran.load()) {
        if (std::chrono::steady_clock::now() > limit) {
          stranded.store(true);
          return;
        }
        std::this_thread::yield();
      }
      seed = seed * 1103515245u + 12345u;
      const auto pause = std::chrono::microseconds(150 + (seed >> 16) % 120);
      const auto until = std::chrono::steady_clock::now() + pause;
      while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    }
  };
  std::thread a(host, 1u), b(host, 2u);
  a.join();
  b.join();
  EXPECT_FALSE(stranded.load()) << "a task queued from a host thread never ran";
}

TEST(Spawn, TasksSpawnTasks) {
  constexpr int kDepth = 200;
  std::atomic<int> reached{0};
  struct Chain {
    static std::unique_ptr<TaskBody> make(int left, std::atomic<int>* reached) {
      return body_from([left, reached](Context&) {
        reached->fetch_add(1);
        if (left > 0) spawn(make(left - 1, reached));
        return Poll::ready;
      });
    }
  };
  spawn(Chain::make(kDepth, &reached));
  EXPECT_TRUE(eventually([&] { return reached.load() == kDepth + 1; }));
}

TEST(TaskLocal, ScopesNestAndRestore) {
  int a = 0, b = 0;
  EXPECT_EQ(current_task_value(), nullptr);
  {
    TaskLocalScope outer(&a);
    EXPECT_EQ(current_task_value(), &a);
    {
      TaskLocalScope inner(&b);
      EXPECT_EQ(current_task_value(), &b);
    }
    EXPECT_EQ(current_task_value(), &a);
  }
  EXPECT_EQ(current_task_value(), nullptr);
}

TEST(TaskLocal, RestoredWhenLeftByAnException) {
  int a = 0;
  try {
    TaskLocalScope scope(&a);
    throw std::runtime_error("x");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(current_task_value(), nullptr);
}

// Tasks that install their own value around each resumption see it on
// whichever worker resumes them, and nothing leaks into other tasks.
TEST(TaskLocal, EachResumptionSeesItsOwnTasksValue) {
  constexpr int kTasks = 50, kResumptions = 5;
  std::atomic<int> wrong{0};
  std::vector<JoinHandle> hs;
  std::vector<std::unique_ptr<int>> values;
  for (int i = 0; i < kTasks; ++i) {
    values.push_back(std::make_unique<int>(i));
    int* mine = values.back().get();
    hs.push_back(spawn(body_from(
        [mine, &wrong, round = 0, sleep = std::unique_ptr<Sleep>()](Context& cx) mutable {
          if (current_task_value() != nullptr) wrong.fetch_add(1);
          TaskLocalScope scope(mine);
          for (;;) {
            if (current_task_value() != mine) wrong.fetch_add(1);
            if (!sleep) sleep = std::make_unique<Sleep>(1ms);
            if (sleep->poll(cx) == Poll::pending) return Poll::pending;
            sleep.reset();
            if (++round == kResumptions) return Poll::ready;
          }
        })));
    // Plain tasks in between must see an empty slot.
    hs.push_back(spawn(body_from([&wrong](Context&) {
      if (current_task_value() != nullptr) wrong.fetch_add(1);
      return Poll::ready;
    })));
  }
  for (auto& h : hs) {
    TaskOutcome out;
    ASSERT_TRUE(join(h, out));
  }
  EXPECT_EQ(wrong.load(), 0);
}

// A platform refusing a thread midway: the threads already started are
// stopped and joined, and the error gives the platform's reason.
TEST(Workers, FailedThreadStartStopsTheOthersAndReports) {
  const int before = testing::count_worker_threads();
  int launched = 0;
  detail::ThreadLauncher refuse_third = [&](std::function<void()> run) {
    if (++launched == 3) throw std::system_error(EAGAIN, std::generic_category());
    return std::thread(std::move(run));
  };
  try {
    detail::Scheduler s(4, refuse_third);
    ADD_FAILURE() << "scheduler built despite a failed thread start";
  } catch (const ExecutorError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("building the executor failed"), std::string::npos) << what;
    EXPECT_NE(what.find("thread 3 of 4"), std::string::npos) << what;
    EXPECT_NE(what.find(std::generic_category().message(EAGAIN)), std::string::npos) << what;
  }
  EXPECT_EQ(launched, 3);
  EXPECT_EQ(testing::count_worker_threads(), before);
}

// A scheduler of its own, with one worker: tasks started on it run there,
// and tasks still queued when it is torn down end as stopped.
TEST(Workers, PrivateSchedulerRunsTasksAndStopsQueuedOnes) {
  auto s = std::make_unique<detail::Scheduler>(1);
  std::atomic<bool> started{false}, release{false};
  JoinHandle blocker(s->start(body_from([&](Context&) {
    started.store(true);
    while (!release.load()) std::this_thread::yield();
    return Poll::ready;
  })));
  ASSERT_TRUE(eventually([&] { return started.load(); }));
  std::atomic<bool> ran{false};
  JoinHandle queued(s->start(body_from([&](Context&) {
    ran.store(true);
    return Poll::ready;
  })));
  // Tear down while the worker is busy: the worker sees the stop once the
  // blocker returns, so `queued` never runs.
  std::thread teardown([&] { s.reset(); });
  std::this_thread::sleep_for(20ms);
  release.store(true);
  teardown.join();
  TaskOutcome out;
  ASSERT_TRUE(join(blocker, out));
  EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
  ASSERT_TRUE(join(queued, out));
  if (!ran.load()) {
    EXPECT_EQ(out.kind, TaskOutcome::Kind::stopped);
  }
}

}  // namespace
}  // namespace ratevane::exec
