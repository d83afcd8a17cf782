#include "executor/cancel_signal.hpp"

#include "executor/executor.hpp"

#include <mutex>
#include <stdexcept>

namespace ratevane::exec {

namespace detail {
// Shared by the two ends. The mutex is held only to read or change `state`
// and swap the stored waker; wakers are woken and dropped after it is let go,
// since waking schedules a task and dropping may destroy one.
struct CancelBlock {
  // The fork generation the signal was made in. In a child forked since,
  // the task at the other end stayed in the parent, and a worker of the
  // parent may have held `mu` at the fork: such a signal is given up
  // without touching it.
  const unsigned generation = fork_generation();
  std::mutex mu;
  CancelReceiver::State state = CancelReceiver::State::not_yet;
  Waker receiver_waker;
};
}  // namespace detail

std::pair<CancelSender, CancelReceiver> make_cancel_signal() {
  auto block = std::make_shared<detail::CancelBlock>();
  return {CancelSender(block), CancelReceiver(block)};
}

// --- sender ----------------------------------------------------------------

void CancelSender::settle(bool fired) noexcept {
  if (!block_) return;
  if (block_->generation != fork_generation()) {
    block_.reset();
    return;
  }
  Waker waiting;
  {
    std::lock_guard lk(block_->mu);
    if (block_->state == CancelReceiver::State::not_yet) {
      block_->state = fired ? CancelReceiver::State::fired : CancelReceiver::State::closed;
      waiting = std::move(block_->receiver_waker);
    }
  }
  waiting.wake();
  block_.reset();
}

CancelSender& CancelSender::operator=(CancelSender&& other) noexcept {
  if (this != &other) {
    settle(false);
    block_ = std::move(other.block_);
  }
  return *this;
}

CancelSender::~CancelSender() { settle(false); }

void CancelSender::fire() {
  if (!block_) throw std::logic_error("fired an empty cancel sender");
  settle(true);
}

// --- receiver --------------------------------------------------------------

void CancelReceiver::close() noexcept {
  if (!block_) return;
  if (block_->generation != fork_generation()) {
    block_.reset();
    return;
  }
  Waker stale;
  {
    std::lock_guard lk(block_->mu);
    if (block_->state == State::not_yet) block_->state = State::closed;
    stale = std::move(block_->receiver_waker);
  }
  block_.reset();
}

CancelReceiver& CancelReceiver::operator=(CancelReceiver&& other) noexcept {
  if (this != &other) {
    close();
    block_ = std::move(other.block_);
  }
  return *this;
}

CancelReceiver::~CancelReceiver() { close(); }

CancelReceiver::State CancelReceiver::poll(const Waker& waker) {
  if (!block_) throw std::logic_error("polled an empty cancel receiver");
  Waker replaced;
  std::lock_guard lk(block_->mu);
  // Storing the waker and reading the state under one lock is what the
  // "register, then check again" rule asks for: a fire either happened
  // before (we see it) or happens after (it finds our waker).
  if (block_->state != State::not_yet) return block_->state;
  if (!block_->receiver_waker.will_wake(waker)) {
    replaced = std::exchange(block_->receiver_waker, waker);
  }
  return State::not_yet;
}

}  // namespace ratevane::exec
