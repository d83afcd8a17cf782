#include "executor/sleep.hpp"

#include <utility>

#include "executor/scheduler.hpp"
#include "executor/ticks.hpp"

namespace ratevane::exec {

Sleep::Sleep(std::chrono::nanoseconds duration)
    : deadline_(Clock::time_point(deadline_after(Clock::now().time_since_epoch(), duration))) {}

Sleep::Sleep(Sleep&& other) noexcept
    : deadline_(other.deadline_),
      entry_(std::move(other.entry_)),
      scheduler_(std::exchange(other.scheduler_, nullptr)),
      elapsed_(other.elapsed_) {}

Sleep& Sleep::operator=(Sleep&& other) noexcept {
  if (this != &other) {
    cancel();
    deadline_ = other.deadline_;
    entry_ = std::move(other.entry_);
    scheduler_ = std::exchange(other.scheduler_, nullptr);
    elapsed_ = other.elapsed_;
  }
  return *this;
}

Sleep::~Sleep() { cancel(); }

void Sleep::cancel() noexcept {
  // The entry's state belongs to the scheduler's lock, so whether the timer
  // is still pending is asked there: it may be firing right now on a worker.
  if (entry_ && !elapsed_ && !entry_->fired.load(std::memory_order_acquire)) {
    scheduler_->cancel_timer(*entry_);
  }
}

Poll Sleep::poll(Context& cx) {
  if (elapsed_) return Poll::ready;
  if (!entry_) {
    detail::Scheduler& s = detail::scheduler_instance();
    // An already-reached tick needs no lock and no registration.
    if (tick_reached(s.tick_of(deadline_), s.tick_now())) {
      elapsed_ = true;
      return Poll::ready;
    }
    entry_ = std::make_unique<detail::TimerEntry>();
    scheduler_ = &s;
  }
  // Fired already: no need for the scheduler's lock (see TimerEntry).
  if (entry_->fired.load(std::memory_order_acquire) ||
      scheduler_->poll_timer(*entry_, deadline_, cx.waker())) {
    elapsed_ = true;
    return Poll::ready;
  }
  return Poll::pending;
}

}  // namespace ratevane::exec
