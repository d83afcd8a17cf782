// The shared ledger over real mappings, with forked children as the other
// processes: counts add up exactly across processes, a lock whose owner died
// is taken over, the permits of a dead holder come back, a give-back in one
// process wakes a waiter in another. (Names, layouts and the tables'
// limits are checked from Python, where their messages are seen.)
#include "engine/shared_ledger.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_clock.hpp"
#include "os/shm.hpp"

namespace ratevane {
namespace {

using testing::at;
using testing::FakeWallClock;

class SharedLedgerTest : public ::testing::Test {
 protected:
  SharedLedgerTest() : name_("gtest-" + std::to_string(getpid()) + "-" + std::to_string(next_++)) {
    os::remove_shared_region(budget_object_name(name_));
  }
  ~SharedLedgerTest() override { os::remove_shared_region(budget_object_name(name_)); }

  std::shared_ptr<SharedLimiter> limiter(std::vector<WindowSpec> specs,
                                         std::optional<uint64_t> max_burst = std::nullopt) {
    auto budget = SharedBudget::open(name_);
    EXPECT_TRUE(budget.has_value());
    auto bound = SharedLimiter::bind(*budget, specs.data(), specs.size(), max_burst, clock_);
    EXPECT_TRUE(bound.has_value());
    return *bound;
  }

  // Runs `body` in a forked child; its return value is the exit status.
  static pid_t child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
  }
  static int status_of(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string name_;
  FakeWallClock clock_{at(0)};
  static inline int next_ = 0;
};

using Kind = SharedTake::Kind;

TEST_F(SharedLedgerTest, CountersAreSharedByLengthAndComparedWithEachLimit) {
  auto tight = limiter({{"second", 2, 1}, {"minute", 100, 60}});
  auto loose = limiter({{"second", 5, 1}});
  EXPECT_EQ(tight->take().kind, Kind::granted);
  EXPECT_EQ(loose->take().kind, Kind::granted);
  EXPECT_EQ(tight->take().kind, Kind::window_full);  // 2 in this second already
  EXPECT_EQ(loose->take().kind, Kind::granted);
  const Remaining left = tight->remaining();
  EXPECT_EQ(left.entries[0].second, 0u);
  EXPECT_EQ(left.entries[1].second, 99u);  // refusals count nowhere
  EXPECT_EQ(tight->time_until_next_window(), (Duration{1, 0}));
  clock_.set(at(1, 250));
  EXPECT_EQ(tight->take().kind, Kind::granted);
  EXPECT_EQ(tight->time_until_next_window(), std::nullopt);
}

TEST_F(SharedLedgerTest, ExactAcrossProcesses) {
  auto shared = limiter({{"second", 500, 1}});
  int counts[2];
  ASSERT_EQ(pipe(counts), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < 4; ++i) {
    pids.push_back(child([&] {
      int granted = 0;
      for (int n = 0; n < 400; ++n) granted += shared->take().kind == Kind::granted;
      return write(counts[1], &granted, sizeof granted) == sizeof granted ? 0 : 1;
    }));
  }
  int total = 0;
  for (pid_t pid : pids) {
    int granted = 0;
    ASSERT_EQ(read(counts[0], &granted, sizeof granted), static_cast<ssize_t>(sizeof granted));
    total += granted;
    EXPECT_EQ(status_of(pid), 0);
  }
  close(counts[0]);
  close(counts[1]);
  EXPECT_EQ(total, 500);  // 1600 asked in one second of the fake clock
  EXPECT_EQ(shared->take().kind, Kind::window_full);
}

TEST_F(SharedLedgerTest, ALockWhoseOwnerDiedIsTakenOver) {
  auto shared = limiter({{"second", 5, 1}});
  const pid_t pid = child([&] {
    new BudgetLock(shared->budget());  // never let go
    return 0;
  });
  ASSERT_EQ(status_of(pid), 0);
  BudgetLock lock(shared->budget());
  EXPECT_TRUE(lock.owner_died());
}

TEST_F(SharedLedgerTest, ADeadHoldersPermitsComeBackWhenTheCapIsFull) {
  auto shared = limiter({{"second", 1000, 1}}, 3);
  const pid_t pid = child([&] {
    return shared->take().kind == Kind::granted && shared->take().kind == Kind::granted ? 0 : 1;
  });
  ASSERT_EQ(status_of(pid), 0);
  EXPECT_EQ(shared->remaining().entries[1].second, 1u);  // still counted
  EXPECT_EQ(shared->take().kind, Kind::granted);
  EXPECT_EQ(shared->take().kind, Kind::granted);         // the cap was full: cleared
  EXPECT_EQ(shared->take().kind, Kind::granted);
  EXPECT_EQ(shared->take().kind, Kind::burst_full);      // this process is alive
  shared->give_back();
  EXPECT_EQ(shared->take().kind, Kind::granted);
}

TEST_F(SharedLedgerTest, AGiveBackWakesAWaiterInAnotherProcess) {
  auto shared = limiter({{"second", 1000, 1}}, 1);
  ASSERT_EQ(shared->take().kind, Kind::granted);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = child([&] {
    SharedTake refused = shared->take();
    if (refused.kind != Kind::burst_full) return 1;
    BurstWaiterMark waiting(shared->budget().layout());
    if (write(ready[1], "w", 1) != 1) return 2;
    // Far longer than the parent's give-back takes; a wake ends it.
    if (!os::wait_on_shared_word(shared->budget().layout().released, refused.released_seen,
                                 30'000'000'000)) {
      return 3;
    }
    return shared->take().kind == Kind::granted ? 0 : 4;
  });
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  shared->give_back();
  EXPECT_EQ(status_of(pid), 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace ratevane
