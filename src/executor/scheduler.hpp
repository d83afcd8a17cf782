// The worker pool: run queue, idle workers and timers, under one lock.
//
// Workers take tasks from one FIFO queue. An idle worker blocks on its own
// condition variable; at most one idle worker at a time, the timer worker,
// waits with a time limit (the earliest pending tick) and the others wait
// without one, so idle workers cost no CPU and a timer tick wakes one thread,
// not all of them. There is no timer thread: due timers are completed by
// whichever worker passes through its loop next, busy or idle.
//
// A worker that has just finished a task first spins for a short while
// (kSpinBeforePark) before it parks, and the next task queued meanwhile is
// handed to it through a flag instead of a condition variable. An awaitable's
// round trip is dominated by thread wake-ups otherwise: waking a parked
// worker costs a futex call on the calling host thread and, on a loaded
// machine, often a preemption of that thread while it still holds the
// interpreter lock, so the worker then waits for the lock (on PyPy in steps
// of 100 us). At most one worker spins at a time, it yields the processor
// between checks, and only after having run a task: idle workers cost no
// CPU.
//
// Lock rules, which every function below keeps:
//   * no task body is polled, and no waker woken, while `mu_` is held;
//   * no waker is dropped while `mu_` is held either, because dropping the
//     last reference to a task destroys its body, whose destructor may
//     cancel a timer and so take `mu_` again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "executor/task.hpp"
#include "executor/ticks.hpp"
#include "executor/timer_heap.hpp"
#include "executor/waker.hpp"

namespace ratevane::exec::detail {

class TaskRecord;

// A registered sleep, owned by the sleep. Its fields are guarded by the
// scheduler's lock once the entry has been offered to it, except that
// `fired` may also be read without the lock: it is set last, after the
// scheduler has let go of the entry for good, so a sleep that sees it set
// may destroy the entry at once.
struct TimerEntry : TimerNode {
  Waker waker;
  std::atomic<bool> fired{false};
};

// Starts one worker thread; replaceable so tests can make a start fail.
using ThreadLauncher = std::function<std::thread(std::function<void()>)>;
std::thread launch_std_thread(std::function<void()> run);

class Scheduler {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes the clock origin, then starts all `workers` threads. If one cannot
  // be started, those already running are stopped and joined and
  // ExecutorError is thrown with the platform's reason.
  explicit Scheduler(std::size_t workers, const ThreadLauncher& launch = launch_std_thread);
  // Stops and joins the workers, and ends still-queued tasks as stopped. The
  // process-wide scheduler is never destroyed; tests that make their own
  // must let every task end (or drop every waker) first.
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Creates a task and queues it. Returns the record with one reference for
  // the caller (the join handle). Never waits for a worker.
  TaskRecord* start(std::unique_ptr<TaskBody> body);
  // Queues a record that is in the scheduled state; takes over one reference.
  void schedule(TaskRecord* record) noexcept;

  // True once the timer's tick has been reached: at once, if it already has
  // when first offered; otherwise it is registered (or its waker updated)
  // and the waker fires when a worker sees the tick reached.
  bool poll_timer(TimerEntry& entry, Clock::time_point deadline, const Waker& waker);
  // Takes a still-pending timer out of the heap. Safe against a concurrent
  // firing: afterwards the scheduler holds no pointer into `entry`.
  void cancel_timer(TimerEntry& entry) noexcept;

  std::size_t pending_timers() const;
  std::size_t worker_count() const noexcept { return workers_; }

  // In a forked child: this scheduler's workers stayed in the parent. From
  // now on nothing is queued, registered or cancelled here, and no lock or
  // condition variable of it is touched: a worker of the parent may have
  // held the lock, or waited on a condition variable, at the fork.
  // `older` is an executor abandoned by an earlier fork, kept listed here.
  void abandon(Scheduler* older) noexcept {
    older_abandoned_ = older;
    abandoned_.store(true, std::memory_order_relaxed);
  }
  Clock::time_point origin() const noexcept { return origin_; }
  Tick tick_now() const noexcept;
  Tick tick_of(Clock::time_point deadline) const noexcept;

 private:
  struct WorkerSlot {
    std::condition_variable cv;
    bool notified = false;  // picked to run a task; guarded by mu_
    // Set, under mu_, by whoever queued a task while this worker spun; the
    // spinning worker reads it without the lock.
    std::atomic<bool> claimed{false};
    std::vector<Waker> due;  // fired wakers, woken after unlocking
    std::vector<TaskRecord*> woken;  // tasks those wakers made runnable
    std::vector<WorkerSlot*> to_notify;
  };

  void worker_main(WorkerSlot& me);
  bool fire_due_timers(std::unique_lock<std::mutex>& lk, WorkerSlot& me);
  void wake_fired(std::unique_lock<std::mutex>& lk, WorkerSlot& me);
  void idle_wait(std::unique_lock<std::mutex>& lk, WorkerSlot& me);
  bool spin_for_task(std::unique_lock<std::mutex>& lk, WorkerSlot& me);
  void run_task(TaskRecord* record) noexcept;
  void stop_and_join() noexcept;

  // Helpers that need mu_ held. Each returns the worker to notify once the
  // lock is let go, or nullptr.
  void push_task(TaskRecord* record) noexcept;
  TaskRecord* pop_task() noexcept;
  WorkerSlot* pick_worker_for_task() noexcept;
  WorkerSlot* pick_idle_for_task() noexcept;
  WorkerSlot* timer_added(Tick tick) noexcept;
  WorkerSlot* keep_timer_worker() noexcept;
  std::optional<Clock::time_point> wake_time(Tick tick) const noexcept;

  const Clock::time_point origin_;
  const std::size_t workers_;

  mutable std::mutex mu_;
  TaskRecord* queue_head_ = nullptr;
  TaskRecord* queue_tail_ = nullptr;
  TimerHeap timers_;
  // Idle workers, most recently idle last.
  std::vector<WorkerSlot*> idle_;
  // The worker spinning for a task before it parks, if any.
  WorkerSlot* spinner_ = nullptr;
  // The idle worker that waits for the earliest timer, and the tick it
  // plans to wake at (kNoTick: no limit).
  WorkerSlot* timer_worker_ = nullptr;
  Tick planned_tick_ = kNoTick;
  bool stopping_ = false;
  // Set only in a forked child, by its only thread, before anything else
  // runs there: read without the lock.
  std::atomic<bool> abandoned_{false};
  Scheduler* older_abandoned_ = nullptr;

  std::vector<std::unique_ptr<WorkerSlot>> slots_;
  std::vector<std::thread> threads_;
};

// The process-wide scheduler, built by the first call (see executor.cpp).
Scheduler& scheduler_instance();
// The process-wide scheduler if it has been built, else nullptr.
Scheduler* scheduler_if_built() noexcept;

}  // namespace ratevane::exec::detail
