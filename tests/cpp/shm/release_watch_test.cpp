// The release watch over a real mapping: a give-back on another thread
// wakes the waits still registered and no dropped one, the watch's thread
// ends once nobody waits, and registrations, drops and give-backs racing
// each other (under ThreadSanitizer too) leave no wait unwoken.
#include "shm/release_watch.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../executor/test_support.hpp"
#include "os/shm.hpp"

namespace ratevane::shm {
namespace {

using namespace std::chrono_literals;
using exec::Context;
using exec::Poll;
using exec::Waker;
using exec::testing::Notifier;

// Far longer than any wake-up takes; only a missing wake-up reaches it.
constexpr auto kPatience = 10s;

class ReleaseWatchTest : public ::testing::Test {
 protected:
  ReleaseWatchTest() : name_("gtest-watch-" + std::to_string(getpid())) {
    os::remove_shared_region(budget_object_name(name_));
    auto budget = SharedBudget::open(name_);
    EXPECT_TRUE(budget.has_value());
    const WindowSpec spec{"sec", 1'000'000'000'000, 1};
    auto bound = SharedLimiter::bind(*budget, &spec, 1, uint64_t{1});
    EXPECT_TRUE(bound.has_value());
    limiter_ = *bound;
  }
  ~ReleaseWatchTest() override { os::remove_shared_region(budget_object_name(name_)); }

  static Poll poll(ReleaseWait& wait, const Waker& waker) {
    Context cx(waker);
    return wait.poll(cx);
  }

  static bool threads_end() {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (release_watch_threads() != 0) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::string name_;
  std::shared_ptr<SharedLimiter> limiter_;
};

TEST_F(ReleaseWatchTest, AGiveBackWakesTheWaitsStillRegisteredAndNoOthers) {
  ASSERT_EQ(limiter_->take().kind, SharedTake::Kind::granted);  // the one burst permit
  const SharedTake refused = limiter_->take();
  ASSERT_EQ(refused.kind, SharedTake::Kind::burst_full);
  const uint32_t seen = refused.released_seen;
  Notifier* kept_n;
  Notifier* dropped_n;
  Waker kept_w = Notifier::make(kept_n);
  Waker dropped_w = Notifier::make(dropped_n);
  ReleaseWait kept(limiter_->shared_budget(), seen);
  std::optional<ReleaseWait> dropped(std::in_place, limiter_->shared_budget(), seen);
  EXPECT_EQ(poll(kept, kept_w), Poll::pending);
  EXPECT_EQ(poll(*dropped, dropped_w), Poll::pending);
  EXPECT_EQ(poll(kept, kept_w), Poll::pending);  // polled again: still one registration
  EXPECT_EQ(release_watch_threads(), 1u);
  dropped.reset();

  std::thread([&] { limiter_->give_back(); }).join();
  ASSERT_TRUE(kept_n->wait_past(0, kPatience));
  EXPECT_EQ(poll(kept, kept_w), Poll::ready);
  EXPECT_FALSE(dropped_n->wait_past(0, 0ms));
  EXPECT_EQ(limiter_->take().kind, SharedTake::Kind::granted);
  EXPECT_TRUE(threads_end());
}

TEST_F(ReleaseWatchTest, RacingWaitsDropsAndGiveBacksLeaveNoWaitUnwoken) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<bool> stop{false};
  std::thread giver([&] {
    while (!stop.load()) {
      if (limiter_->take().kind == SharedTake::Kind::granted) limiter_->give_back();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> waiters;
  std::atomic<int> unwoken{0};
  for (int t = 0; t < kThreads; ++t) {
    waiters.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const uint32_t seen = limiter_->budget().layout().released.load();
        Notifier* n;
        Waker w = Notifier::make(n);
        ReleaseWait wait(limiter_->shared_budget(), seen);
        if (poll(wait, w) == Poll::ready) continue;
        if ((round + t) % 3 == 0) continue;  // dropped while registered
        if (!n->wait_past(0, kPatience) || poll(wait, w) != Poll::ready) ++unwoken;
      }
    });
  }
  for (auto& w : waiters) w.join();
  stop = true;
  giver.join();
  EXPECT_EQ(unwoken.load(), 0);
  EXPECT_TRUE(threads_end());
}

}  // namespace
}  // namespace ratevane::shm
