// Behaviour of the very first spawn of a process. Each case runs in a child
// process of its own (gtest's threadsafe death-test style re-executes this
// binary), because the executor is built once per process and the override
// is read only then.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "executor/executor.hpp"
#include "test_support.hpp"

namespace ratevane::exec {
namespace {

using testing::count_worker_threads;

// In the child: report a broken expectation on stderr and exit non-zero.
void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "child check failed: %s\n", what);
    std::fflush(stderr);
    _exit(1);
  }
}

bool spawn_and_join() {
  JoinHandle h = spawn(body_from([](Context&) { return Poll::ready; }));
  TaskOutcome out;
  return testing::join(h, out) && out.kind == TaskOutcome::Kind::finished;
}

// Returns the error text, or "" if spawn succeeded.
std::string spawn_error() {
  try {
    spawn(body_from([](Context&) { return Poll::ready; }));
  } catch (const ExecutorError& e) {
    return e.what();
  }
  return "";
}

class FreshProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FreshProcess, NoWorkersBeforeTheFirstSpawnThenTheOverrideCount) {
  EXPECT_EXIT(
      {
        setenv(kWorkerThreadsVar, "2", 1);
        require(!executor_built(), "executor built before any spawn");
        require(count_worker_threads() == 0, "worker threads before any spawn");
        require(worker_count() == 0, "worker count before any spawn");
        require(spawn_and_join(), "first task did not finish");
        require(count_worker_threads() == 2, "not two named worker threads");
        require(worker_count() == 2, "worker count is not 2");
        require(spawn_and_join(), "second task did not finish");
        require(count_worker_threads() == 2, "workers added by a later spawn");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, WithoutOverrideOneWorkerPerProcessor) {
  EXPECT_EXIT(
      {
        unsetenv(kWorkerThreadsVar);
        require(spawn_and_join(), "task did not finish");
        unsigned hw = std::thread::hardware_concurrency();
        const int expected = hw == 0 ? 1 : static_cast<int>(hw);
        require(count_worker_threads() == expected, "worker count is not the processor count");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Many threads race to make the first spawn: one builds, the others wait
// for it, and exactly one executor exists afterwards.
TEST_F(FreshProcess, ConcurrentFirstSpawnsBuildOneExecutor) {
  EXPECT_EXIT(
      {
        setenv(kWorkerThreadsVar, "2", 1);
        std::atomic<bool> go{false};
        std::atomic<int> ok{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
          threads.emplace_back([&] {
            while (!go.load()) {
            }
            if (spawn_and_join()) ok.fetch_add(1);
          });
        }
        go.store(true);
        for (auto& t : threads) t.join();
        require(ok.load() == 8, "not every first spawn succeeded");
        require(count_worker_threads() == 2, "more than one executor was built");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

void expect_bad_override_fails_for_good(const char* value) {
  setenv(kWorkerThreadsVar, value, 1);
  const std::string first = spawn_error();
  require(!first.empty(), "spawn succeeded with a bad override");
  require(first.find("building the executor failed") != std::string::npos, "text lacks the failure");
  require(first.find(kWorkerThreadsVar) != std::string::npos, "text lacks the variable");
  require(first.find(std::string("\"") + value + "\"") != std::string::npos, "text lacks the value");
  // Once broken, always broken: even with a good override now.
  setenv(kWorkerThreadsVar, "2", 1);
  for (int i = 0; i < 3; ++i) {
    const std::string later = spawn_error();
    require(!later.empty(), "a later spawn succeeded after a failed build");
    require(later.find("building the executor failed") != std::string::npos,
            "later text lacks the failure");
  }
  require(!executor_built(), "executor built after a failure");
  require(count_worker_threads() == 0, "worker threads left after a failure");
  _exit(0);
}

TEST_F(FreshProcess, OverrideZeroFailsNowAndLater) {
  EXPECT_EXIT(expect_bad_override_fails_for_good("0"), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, NonNumericOverrideFailsNowAndLater) {
  EXPECT_EXIT(expect_bad_override_fails_for_good("many"), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, TrailingJunkOverrideFailsNowAndLater) {
  EXPECT_EXIT(expect_bad_override_fails_for_good("2x"), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, NegativeOverrideFailsNowAndLater) {
  EXPECT_EXIT(expect_bad_override_fails_for_good("-2"), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, EmptyOverrideFailsNowAndLater) {
  EXPECT_EXIT(expect_bad_override_fails_for_good(""), ::testing::ExitedWithCode(0), "");
}

// Callers racing into a failing build all get the error, whether they built
// or waited for the builder.
TEST_F(FreshProcess, ConcurrentFirstSpawnsAllFailWithABadOverride) {
  EXPECT_EXIT(
      {
        setenv(kWorkerThreadsVar, "0", 1);
        std::atomic<bool> go{false};
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
          threads.emplace_back([&] {
            while (!go.load()) {
            }
            if (!spawn_error().empty()) failed.fetch_add(1);
          });
        }
        go.store(true);
        for (auto& t : threads) t.join();
        require(failed.load() == 8, "a spawn succeeded or did not fail");
        require(!executor_built(), "executor built");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ratevane::exec
