// Sleeping inside a task.
#pragma once

#include <chrono>
#include <memory>

#include "executor/waker.hpp"

namespace ratevane::exec {

namespace detail {
struct TimerEntry;
class Scheduler;
}  // namespace detail

// A pollable that completes once the executor's timer processing has seen the
// clock reach the sleep's tick: its deadline rounded up to the next whole
// millisecond since the executor's clock origin. Never early.
//
// The deadline is fixed at construction (monotonic clock now plus the
// duration; a duration past the clock's range means thirty years, a negative
// one means zero). The tick is taken at the first poll, when the timer is
// registered with the current waker; later polls only update the waker. A
// sleep whose tick has already been reached completes at that poll without
// registering. Destroying a sleep whose timer is still pending removes the
// timer in O(log n).
class Sleep {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Sleep(std::chrono::nanoseconds duration);
  Sleep(Sleep&& other) noexcept;
  Sleep& operator=(Sleep&& other) noexcept;
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep();

  // May build the process-wide executor if no task has been spawned yet
  // (and so throw ExecutorError), and may throw std::bad_alloc.
  Poll poll(Context& cx);

  Clock::time_point deadline() const noexcept { return deadline_; }

 private:
  void cancel() noexcept;

  Clock::time_point deadline_;
  // Allocated at the first registration, so the heap's pointer to it stays
  // valid when the sleep itself is moved.
  std::unique_ptr<detail::TimerEntry> entry_;
  detail::Scheduler* scheduler_ = nullptr;
  bool elapsed_ = false;
};

}  // namespace ratevane::exec
