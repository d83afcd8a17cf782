// The executor's record of one task: its body, its run state and its join
// state. Internal to the executor; users see `JoinHandle` and `Waker`.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "executor/task.hpp"
#include "executor/waker.hpp"

namespace ratevane::exec::detail {

class Scheduler;

class TaskRecord final : public Wakeable {
 public:
  // The whole run state is this one atomic, so that "woken while running"
  // can never be lost nor counted twice:
  //   idle      suspended, in no queue; a wake moves it to scheduled and
  //             queues it (the only way into the queue besides a requeue)
  //   scheduled in the run queue; wakes change nothing
  //   running   a worker is polling it; a wake moves it to notified
  //   notified  running, and woken meanwhile; after this poll it is queued
  //             again instead of parked, so it runs exactly once more
  //   finished  the body is gone; wakes change nothing
  enum class State : std::uint8_t { idle, scheduled, running, notified, finished };
  enum class RunResult { parked, requeue, finished };

  // Starts scheduled with one reference, which the caller owns.
  TaskRecord(Scheduler& scheduler, std::unique_ptr<TaskBody> body) noexcept;

  void wake_up() noexcept override;

  // Polls the body once. Only a worker that took the record out of the run
  // queue calls this. On `requeue` the record is already marked scheduled
  // and the caller must put it back in the queue.
  RunResult run() noexcept;
  // Ends a queued task without running it (only when a scheduler is torn
  // down with work still queued).
  void stop() noexcept;

  // Join side: ready with the outcome once the task has ended; otherwise
  // stores `waker` (replacing the previous one) to be woken at the end.
  // The outcome is handed out once; polling again after that is a misuse.
  Poll poll_join(const Waker& waker, TaskOutcome& out);
  bool has_ended() const;

  State state() const noexcept { return state_.load(std::memory_order_acquire); }

  // Run-queue link; guarded by the scheduler's lock.
  TaskRecord* next_in_queue = nullptr;

 private:
  ~TaskRecord() override = default;
  void end(TaskOutcome outcome) noexcept;

  Scheduler& scheduler_;
  std::atomic<State> state_{State::scheduled};
  // Touched only by the worker running the task.
  std::unique_ptr<TaskBody> body_;

  mutable std::mutex join_mu_;
  bool ended_ = false;
  bool outcome_taken_ = false;
  TaskOutcome outcome_;
  Waker joiner_;
};

}  // namespace ratevane::exec::detail
