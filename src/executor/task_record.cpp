#include "executor/task_record.hpp"

#include <stdexcept>
#include <utility>

#include "executor/scheduler.hpp"

namespace ratevane::exec::detail {

TaskRecord::TaskRecord(Scheduler& scheduler, std::unique_ptr<TaskBody> body) noexcept
    : scheduler_(scheduler), body_(std::move(body)) {}

void TaskRecord::wake_up() noexcept {
  State s = state_.load(std::memory_order_relaxed);
  for (;;) {
    State next = s;
    if (s == State::idle) {
      next = State::scheduled;
    } else if (s == State::running) {
      next = State::notified;
    }
    // Even when nothing changes the state is written back with a
    // read-modify-write. The next run starts with an exchange on this same
    // atomic, so it is ordered after this write, and with it after whatever
    // the waking thread did before waking (e.g. firing a signal). A plain load
    // here would let "I saw it scheduled, nothing to do" race with the start
    // of the run that must see the event.
    if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel,
                                     std::memory_order_relaxed)) {
      break;
    }
  }
  if (s == State::idle) {
    add_ref();  // the run queue's reference
    scheduler_.schedule(this);
  }
}

TaskRecord::RunResult TaskRecord::run() noexcept {
  state_.exchange(State::running, std::memory_order_acq_rel);

  Poll result;
  std::exception_ptr failure;
  {
    Waker self = Waker::share(this);
    Context cx(self);
    try {
      result = body_->poll(cx);
    } catch (...) {
      // Not swallowed: the failure becomes the task's outcome for its joiner.
      failure = std::current_exception();
      result = Poll::ready;
    }
  }

  if (result == Poll::pending) {
    State s = State::running;
    if (state_.compare_exchange_strong(s, State::idle, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return RunResult::parked;
    }
    // Woken during the run: exactly one more run.
    state_.store(State::scheduled, std::memory_order_release);
    return RunResult::requeue;
  }

  state_.store(State::finished, std::memory_order_release);
  // The body goes first, on this worker and outside every executor lock; the
  // joiner then observes the effects of its destructor too.
  body_.reset();
  TaskOutcome outcome;
  if (failure) {
    outcome.kind = TaskOutcome::Kind::failed;
    outcome.payload = std::move(failure);
  } else {
    outcome.kind = TaskOutcome::Kind::finished;
  }
  end(std::move(outcome));
  return RunResult::finished;
}

void TaskRecord::stop() noexcept {
  state_.store(State::finished, std::memory_order_release);
  body_.reset();
  end(TaskOutcome{TaskOutcome::Kind::stopped, nullptr});
}

void TaskRecord::end(TaskOutcome outcome) noexcept {
  Waker joiner;
  {
    std::lock_guard lk(join_mu_);
    ended_ = true;
    outcome_ = std::move(outcome);
    joiner = std::move(joiner_);
  }
  // Woken and dropped outside the join lock: the wake may run arbitrary
  // scheduling code, and the drop may free another task.
  joiner.wake();
}

Poll TaskRecord::poll_join(const Waker& waker, TaskOutcome& out) {
  Waker old;
  {
    std::lock_guard lk(join_mu_);
    if (ended_) {
      if (outcome_taken_) {
        throw std::logic_error("a task's outcome was already taken from its join handle");
      }
      outcome_taken_ = true;
      out = std::move(outcome_);
      return Poll::ready;
    }
    if (!joiner_.will_wake(waker)) {
      old = std::exchange(joiner_, waker);
    }
  }
  return Poll::pending;
}

bool TaskRecord::has_ended() const {
  std::lock_guard lk(join_mu_);
  return ended_;
}

}  // namespace ratevane::exec::detail
