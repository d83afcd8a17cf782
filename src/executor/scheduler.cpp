#include "executor/scheduler.hpp"

#include <string>
#include <system_error>
#include <utility>

#include "executor/executor_error.hpp"
#include "executor/task_record.hpp"
#include "executor/worker_config.hpp"
#include "os/os.hpp"

namespace ratevane::exec::detail {

namespace {
// Fired timers are handed out in batches of at most this many per pass, so
// the list of wakers to wake never has to grow while the lock is held.
constexpr std::size_t kDueBatch = 256;

// How long a worker that has just run a task waits for the next one before it
// parks. Long enough to cover a sequential awaitable round trip on a busy
// machine (the next task arrives some tens of microseconds after the last
// one ended), short enough that a process that stops using the limiter has
// its workers parked at once.
constexpr auto kSpinBeforePark = std::chrono::microseconds(200);

// While a worker wakes a batch of fired timers, tasks those wakes make
// runnable are collected here instead of taking the lock one by one, and
// queued together afterwards: a burst of timers due at the same tick would
// otherwise cost one lock round trip (and one worker notification) each.
struct WakeBatch {
  Scheduler* owner;
  std::vector<TaskRecord*>* tasks;
};
thread_local WakeBatch* current_batch = nullptr;
}  // namespace

std::thread launch_std_thread(std::function<void()> run) { return std::thread(std::move(run)); }

namespace {
// The origin: now, moved back by less than a millisecond so that ticks
// follow the wall clock's milliseconds (see origin_lead). The wall clock is
// read between two monotonic readings and the tightest of a few tries is
// kept, so a preemption between the readings cannot skew the pairing.
Scheduler::Clock::time_point aligned_origin() {
  using std::chrono::nanoseconds;
  nanoseconds best_gap = nanoseconds::max();
  Scheduler::Clock::time_point mono;
  nanoseconds wall{};
  for (int i = 0; i < 5; ++i) {
    const auto before = Scheduler::Clock::now();
    const auto w = std::chrono::system_clock::now().time_since_epoch();
    const auto after = Scheduler::Clock::now();
    if (after - before < best_gap) {
      best_gap = after - before;
      mono = before + best_gap / 2;
      wall = std::chrono::duration_cast<nanoseconds>(w);
    }
  }
  return mono - origin_lead(wall, kTickAfterWallMillisecond);
}
}  // namespace

Scheduler::Scheduler(std::size_t workers, const ThreadLauncher& launch)
    : origin_(aligned_origin()), workers_(workers) {
  slots_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    slots_.push_back(std::make_unique<WorkerSlot>());
    slots_.back()->due.reserve(kDueBatch);
    slots_.back()->woken.reserve(kDueBatch);
    slots_.back()->to_notify.reserve(workers);
  }
  idle_.reserve(workers);
  threads_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    WorkerSlot* slot = slots_[i].get();
    try {
      threads_.push_back(launch([this, slot] { worker_main(*slot); }));
      name_worker_thread(threads_.back());
    } catch (const std::system_error& e) {
      stop_and_join();
      throw ExecutorError("building the executor failed: cannot start worker thread " +
                          std::to_string(i + 1) + " of " + std::to_string(workers) + ": " +
                          e.code().message());
    } catch (...) {
      stop_and_join();
      throw;
    }
  }
}

Scheduler::~Scheduler() {
  stop_and_join();
  // Workers are gone, so the queue is ours alone.
  while (TaskRecord* r = pop_task()) {
    r->stop();
    r->release();
  }
}

void Scheduler::stop_and_join() noexcept {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
  }
  for (auto& slot : slots_) slot->cv.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

Tick Scheduler::tick_now() const noexcept { return current_tick(Clock::now() - origin_); }

Tick Scheduler::tick_of(Clock::time_point deadline) const noexcept {
  return deadline_tick(deadline - origin_);
}

std::optional<Scheduler::Clock::time_point> Scheduler::wake_time(Tick tick) const noexcept {
  // Ticks whose instant does not fit the clock (only reachable through the
  // far-future substitute near the end of the clock's range) wait unlimited.
  const auto room = Clock::time_point::max() - origin_;
  if (tick == kNoTick ||
      tick > static_cast<Tick>(std::chrono::duration_cast<std::chrono::milliseconds>(room).count())) {
    return std::nullopt;
  }
  return origin_ + std::chrono::milliseconds(tick);
}

// --- tasks -----------------------------------------------------------------

TaskRecord* Scheduler::start(std::unique_ptr<TaskBody> body) {
  auto* record = new TaskRecord(*this, std::move(body));  // the caller's reference
  record->add_ref();                                      // the queue's reference
  schedule(record);
  return record;
}

void Scheduler::schedule(TaskRecord* record) noexcept {
  // A task of the parent woken in a forked child stays unrun; its queue
  // reference is never given back, so the record stays intact too.
  if (abandoned_.load(std::memory_order_relaxed)) return;
  if (WakeBatch* batch = current_batch;
      batch && batch->owner == this && batch->tasks->size() < batch->tasks->capacity()) {
    batch->tasks->push_back(record);  // within capacity: cannot throw
    return;
  }
  WorkerSlot* wake = nullptr;
  {
    std::lock_guard lk(mu_);
    push_task(record);
    wake = pick_worker_for_task();
  }
  // Notified after unlocking, so the woken worker does not at once block on
  // the lock we still hold. The slot outlives this: workers never go away
  // while the scheduler exists.
  if (wake) wake->cv.notify_one();
}

void Scheduler::push_task(TaskRecord* record) noexcept {
  record->next_in_queue = nullptr;
  if (queue_tail_) {
    queue_tail_->next_in_queue = record;
  } else {
    queue_head_ = record;
  }
  queue_tail_ = record;
}

TaskRecord* Scheduler::pop_task() noexcept {
  TaskRecord* r = queue_head_;
  if (r) {
    queue_head_ = r->next_in_queue;
    if (!queue_head_) queue_tail_ = nullptr;
    r->next_in_queue = nullptr;
  }
  return r;
}

Scheduler::WorkerSlot* Scheduler::pick_worker_for_task() noexcept {
  // A spinning worker takes the task without a wake-up call; it is taken off
  // the spinner role here, so a second task goes to an idle worker.
  if (WorkerSlot* w = std::exchange(spinner_, nullptr)) {
    w->claimed.store(true, std::memory_order_release);
    return nullptr;
  }
  return pick_idle_for_task();
}

Scheduler::WorkerSlot* Scheduler::pick_idle_for_task() noexcept {
  if (idle_.empty()) return nullptr;
  // Prefer a worker that is not the timer worker, so the timer wait goes on
  // undisturbed; take the most recently idle one (warmest cache).
  std::size_t i = idle_.size() - 1;
  if (idle_[i] == timer_worker_ && i > 0) --i;
  WorkerSlot* w = idle_[i];
  idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
  w->notified = true;
  if (w == timer_worker_) {
    timer_worker_ = nullptr;
    planned_tick_ = kNoTick;
  }
  return w;
}

void Scheduler::run_task(TaskRecord* record) noexcept {
  if (record->run() == TaskRecord::RunResult::requeue) {
    schedule(record);  // the queue's reference moves back into the queue
  } else {
    record->release();
  }
}

// --- timers ----------------------------------------------------------------

bool Scheduler::poll_timer(TimerEntry& entry, Clock::time_point deadline, const Waker& waker) {
  if (abandoned_.load(std::memory_order_relaxed)) return false;
  Waker replaced;  // dropped only after the lock is let go
  WorkerSlot* wake = nullptr;
  {
    std::lock_guard lk(mu_);
    if (entry.fired.load(std::memory_order_relaxed)) return true;
    if (!entry.queued()) {
      const Tick tick = tick_of(deadline);
      if (tick_reached(tick, tick_now())) {
        entry.fired.store(true, std::memory_order_release);
        return true;
      }
      entry.tick = tick;
      timers_.push(&entry);
      entry.waker = waker;
      wake = timer_added(tick);
    } else if (!entry.waker.will_wake(waker)) {
      replaced = std::exchange(entry.waker, waker);
    }
  }
  if (wake) wake->cv.notify_one();
  return false;
}

void Scheduler::cancel_timer(TimerEntry& entry) noexcept {
  // The heap may be half-way through a change made by a worker of the
  // parent; it is never read again, so the entry may go without it.
  if (abandoned_.load(std::memory_order_relaxed)) return;
  Waker dropped;
  std::lock_guard lk(mu_);
  if (entry.queued()) {
    // If this was the earliest timer the timer worker wakes at its old plan,
    // finds nothing due and plans again: cheaper than waking it now.
    timers_.remove(&entry);
    dropped = std::move(entry.waker);
  }
  // `lk` is released before `dropped`, which was declared first.
}

std::size_t Scheduler::pending_timers() const {
  std::lock_guard lk(mu_);
  return timers_.size();
}

Scheduler::WorkerSlot* Scheduler::timer_added(Tick tick) noexcept {
  if (timer_worker_) {
    if (tick >= planned_tick_) return nullptr;
    planned_tick_ = tick;  // later registrations need not wake it again
    return timer_worker_;
  }
  // No idle worker waits for timers: either all are busy (each checks the
  // timers between tasks) or the timer worker just left; hand the role on.
  if (idle_.empty()) return nullptr;
  timer_worker_ = idle_.back();
  planned_tick_ = tick;
  return timer_worker_;
}

Scheduler::WorkerSlot* Scheduler::keep_timer_worker() noexcept {
  if (timer_worker_ || timers_.empty() || idle_.empty()) return nullptr;
  timer_worker_ = idle_.back();
  planned_tick_ = timers_.top_tick();
  return timer_worker_;
}

bool Scheduler::fire_due_timers(std::unique_lock<std::mutex>& lk, WorkerSlot& me) {
  if (timers_.empty()) return false;
  const Tick now = tick_now();
  if (!tick_reached(timers_.top_tick(), now)) return false;
  while (!timers_.empty() && tick_reached(timers_.top_tick(), now) &&
         me.due.size() < me.due.capacity()) {
    auto* entry = static_cast<TimerEntry*>(timers_.pop());
    me.due.push_back(std::move(entry->waker));
    // Last touch of the entry: once `fired` is seen set, its sleep may free it.
    entry->fired.store(true, std::memory_order_release);
  }
  wake_fired(lk, me);
  return true;
}

void Scheduler::wake_fired(std::unique_lock<std::mutex>& lk, WorkerSlot& me) {
  lk.unlock();
  WakeBatch batch{this, &me.woken};
  current_batch = &batch;
  for (const Waker& w : me.due) w.wake();
  current_batch = nullptr;
  me.due.clear();  // may free task records: outside the lock
  lk.lock();
  for (TaskRecord* r : me.woken) push_task(r);
  // This worker takes one of the tasks itself; idle ones get the rest.
  for (std::size_t i = 1; i < me.woken.size(); ++i) {
    if (!spinner_ && idle_.empty()) break;
    if (WorkerSlot* w = pick_worker_for_task()) me.to_notify.push_back(w);
  }
  me.woken.clear();
  if (!me.to_notify.empty()) {
    lk.unlock();
    for (WorkerSlot* w : me.to_notify) w->cv.notify_one();
    me.to_notify.clear();
    lk.lock();
  }
}

// --- workers ---------------------------------------------------------------

void Scheduler::worker_main(WorkerSlot& me) {
  // A late wake-up of the thread that completes sleeps adds straight to
  // every sleep's lateness.
  os::prefer_prompt_wakeups();
  std::unique_lock lk(mu_);
  bool ran_task = false;  // spin before parking only right after a task
  while (!stopping_) {
    if (fire_due_timers(lk, me)) continue;
    if (TaskRecord* record = pop_task()) {
      WorkerSlot* successor = keep_timer_worker();
      lk.unlock();
      if (successor) successor->cv.notify_one();
      run_task(record);
      lk.lock();
      ran_task = true;
      continue;
    }
    if (std::exchange(ran_task, false)) {
      // Claimed: a task is queued for us. Otherwise the loop comes back here
      // with ran_task false, checks timers and the queue once more, parks.
      ran_task = spin_for_task(lk, me);
      continue;
    }
    idle_wait(lk, me);
  }
}

bool Scheduler::spin_for_task(std::unique_lock<std::mutex>& lk, WorkerSlot& me) {
  if (spinner_ || stopping_) return false;  // one spinner is enough
  spinner_ = &me;
  me.claimed.store(false, std::memory_order_relaxed);
  lk.unlock();
  const auto deadline = Clock::now() + kSpinBeforePark;
  for (unsigned i = 1;; ++i) {
    if (me.claimed.load(std::memory_order_acquire)) break;
    if (i % 16 == 0) {
      if (Clock::now() >= deadline) break;
      // The host thread that will queue the next task may share this
      // processor; let it run.
      os::yield_processor();
    }
    os::spin_pause();
  }
  lk.lock();
  // `claimed` is only set under mu_, so this answer is final. A spinner that
  // was not claimed takes itself out of the role (timers registered
  // meanwhile found no idle worker and rely on this worker's next pass).
  if (me.claimed.load(std::memory_order_relaxed)) return true;
  if (spinner_ == &me) spinner_ = nullptr;
  return false;
}

void Scheduler::idle_wait(std::unique_lock<std::mutex>& lk, WorkerSlot& me) {
  me.notified = false;
  idle_.push_back(&me);
  if (!timer_worker_) {
    timer_worker_ = &me;
    planned_tick_ = kNoTick;
  }
  for (;;) {
    // `notified` means a task was queued for us; whoever set it has already
    // taken us off the idle list (and out of the timer role).
    if (stopping_ || me.notified) break;
    if (timer_worker_ == &me) {
      const Tick earliest = timers_.top_tick();
      if (earliest != kNoTick && tick_reached(earliest, tick_now())) break;
      planned_tick_ = earliest;
      if (auto limit = wake_time(earliest)) {
        me.cv.wait_until(lk, *limit);
      } else {
        me.cv.wait(lk);
      }
    } else {
      // Woken either for a task, to take over the timer role, or spuriously;
      // the loop sorts out which.
      me.cv.wait(lk);
    }
  }
  if (!me.notified) {
    for (std::size_t i = 0; i < idle_.size(); ++i) {
      if (idle_[i] == &me) {
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  if (timer_worker_ == &me) {
    timer_worker_ = nullptr;
    planned_tick_ = kNoTick;
  }
}

}  // namespace ratevane::exec::detail
