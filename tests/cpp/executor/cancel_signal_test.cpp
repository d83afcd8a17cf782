#include "executor/cancel_signal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

#include "executor/executor.hpp"
#include "test_support.hpp"

namespace ratevane::exec {
namespace {

using namespace std::chrono_literals;
using State = CancelReceiver::State;
using testing::Notifier;

TEST(CancelSignal, FireWakesTheWaitingReceiverAndStays) {
  auto [tx, rx] = make_cancel_signal();
  Notifier* n = nullptr;
  Waker w = Notifier::make(n);
  EXPECT_EQ(rx.poll(w), State::not_yet);
  EXPECT_EQ(n->wakes(), 0);
  tx.fire();
  EXPECT_FALSE(tx);
  EXPECT_EQ(n->wakes(), 1);
  EXPECT_EQ(rx.poll(w), State::fired);
  EXPECT_EQ(rx.poll(w), State::fired);
  EXPECT_EQ(n->wakes(), 1);
}

TEST(CancelSignal, FireBeforeAnyPollIsSeen) {
  auto [tx, rx] = make_cancel_signal();
  tx.fire();
  Notifier* n = nullptr;
  Waker w = Notifier::make(n);
  EXPECT_EQ(rx.poll(w), State::fired);
  EXPECT_EQ(n->wakes(), 0);
}

TEST(CancelSignal, DroppingTheSenderClosesAndWakes) {
  auto [tx, rx] = make_cancel_signal();
  Notifier* n = nullptr;
  Waker w = Notifier::make(n);
  EXPECT_EQ(rx.poll(w), State::not_yet);
  { CancelSender gone = std::move(tx); }
  EXPECT_EQ(n->wakes(), 1);
  EXPECT_EQ(rx.poll(w), State::closed);
  EXPECT_EQ(rx.poll(w), State::closed);
}

TEST(CancelSignal, MoveAssigningOverASenderClosesTheOldSignal) {
  auto [tx, rx] = make_cancel_signal();
  auto [tx2, rx2] = make_cancel_signal();
  Notifier* n = nullptr;
  Waker w = Notifier::make(n);
  tx = std::move(tx2);
  EXPECT_EQ(rx.poll(w), State::closed);
  EXPECT_EQ(rx2.poll(w), State::not_yet);
  tx.fire();
  EXPECT_EQ(rx2.poll(w), State::fired);
}

TEST(CancelSignal, FireAfterTheReceiverIsGoneDoesNothing) {
  auto [tx, rx] = make_cancel_signal();
  { CancelReceiver gone = std::move(rx); }
  EXPECT_NO_THROW(tx.fire());
}

TEST(CancelSignal, FiresOnlyOnce) {
  auto [tx, rx] = make_cancel_signal();
  tx.fire();
  EXPECT_THROW(tx.fire(), std::logic_error);
  CancelReceiver empty;
  Notifier* n = nullptr;
  Waker w = Notifier::make(n);
  EXPECT_THROW(empty.poll(w), std::logic_error);
}

TEST(CancelSignal, OnlyTheLatestWakerIsWoken) {
  auto [tx, rx] = make_cancel_signal();
  Notifier *a = nullptr, *b = nullptr;
  Waker wa = Notifier::make(a), wb = Notifier::make(b);
  EXPECT_EQ(rx.poll(wa), State::not_yet);
  EXPECT_EQ(rx.poll(wb), State::not_yet);
  tx.fire();
  EXPECT_EQ(a->wakes(), 0);
  EXPECT_EQ(b->wakes(), 1);
}

// The settling side (fire or sender drop) races with a receiver that polls
// and then sleeps on its waker: every round must end with the receiver
// seeing the settled state, i.e. no wake-up is lost, and that state never
// changes afterwards.
TEST(CancelSignal, SettleVersusPollStress) {
  constexpr int kRounds = 5000;
  struct Round {
    CancelSender tx;
    int spin = 0;
    bool fire = true;
  };
  std::atomic<Round*> armed{nullptr};
  std::atomic<int> settled{0};
  testing::HelperThread settler([&](std::atomic<bool>& quit) {
    int done = 0;
    while (!quit.load()) {
      Round* r = armed.exchange(nullptr);
      if (!r) {
        std::this_thread::yield();
        continue;
      }
      testing::spin(r->spin);
      if (r->fire) {
        r->tx.fire();
      } else {
        CancelSender gone = std::move(r->tx);
      }
      settled.store(++done);
    }
  });
  std::mt19937 rng(5);
  for (int i = 0; i < kRounds; ++i) {
    auto [tx, rx] = make_cancel_signal();
    Round round{std::move(tx), static_cast<int>(rng() % 2000), rng() % 2 == 0};
    Notifier* n = nullptr;
    Waker w = Notifier::make(n);
    armed.store(&round);
    State s;
    for (;;) {
      const int seen = n->wakes();
      s = rx.poll(w);
      if (s != State::not_yet) break;
      ASSERT_TRUE(n->wait_past(seen, 10'000ms)) << "lost wake-up in round " << i;
    }
    EXPECT_EQ(s, round.fire ? State::fired : State::closed);
    while (settled.load() != i + 1) std::this_thread::yield();
    EXPECT_EQ(rx.poll(w), s);
  }
}

// Both ends dropped or fired at once from two threads; only memory safety is
// at stake here, so this is mostly for the sanitizer builds.
TEST(CancelSignal, BothEndsGoAtOnceStress) {
  constexpr int kRounds = 5000;
  std::atomic<CancelReceiver*> armed{nullptr};
  std::atomic<int> done{0};
  testing::HelperThread other([&](std::atomic<bool>& quit) {
    int n = 0;
    while (!quit.load()) {
      CancelReceiver* rx = armed.exchange(nullptr);
      if (!rx) {
        std::this_thread::yield();
        continue;
      }
      { CancelReceiver gone = std::move(*rx); }
      done.store(++n);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    auto [tx, rx] = make_cancel_signal();
    armed.store(&rx);
    if (i % 2) {
      tx.fire();
    } else {
      CancelSender gone = std::move(tx);
    }
    while (done.load() != i + 1) std::this_thread::yield();
  }
}

TEST(CancelSignal, FiringWakesATaskSuspendedOnIt) {
  auto [tx, rx] = make_cancel_signal();
  std::atomic<int> polls{0};
  JoinHandle h = spawn(body_from([&polls, rx = std::move(rx)](Context& cx) mutable {
    polls.fetch_add(1);
    return rx.poll(cx.waker()) == State::fired ? Poll::ready : Poll::pending;
  }));
  ASSERT_TRUE(testing::eventually([&] { return polls.load() >= 1; }));
  tx.fire();
  TaskOutcome out;
  ASSERT_TRUE(testing::join(h, out));
  EXPECT_EQ(out.kind, TaskOutcome::Kind::finished);
}

}  // namespace
}  // namespace ratevane::exec
