// The handle `spawn` returns: waiting for a task's end from another task.
#pragma once

#include "executor/task.hpp"
#include "executor/waker.hpp"

namespace ratevane::exec {

namespace detail {
class TaskRecord;
}

// Move-only. Dropping it detaches the task, which still runs to its end.
class JoinHandle {
 public:
  JoinHandle() noexcept = default;
  // Takes over one reference to `record`.
  explicit JoinHandle(detail::TaskRecord* record) noexcept : record_(record) {}
  JoinHandle(JoinHandle&& other) noexcept;
  JoinHandle& operator=(JoinHandle&& other) noexcept;
  JoinHandle(const JoinHandle&) = delete;
  JoinHandle& operator=(const JoinHandle&) = delete;
  ~JoinHandle();

  // Pending until the task has ended, with the context's waker stored to be
  // woken then; afterwards ready, with the outcome moved into `out`. The
  // outcome is handed out once: polling again after ready throws
  // std::logic_error, as does polling an empty handle.
  Poll poll(Context& cx, TaskOutcome& out);

  // Whether the task has ended (its body is already destroyed).
  bool is_finished() const;
  explicit operator bool() const noexcept { return record_ != nullptr; }

 private:
  detail::TaskRecord* record_ = nullptr;
};

}  // namespace ratevane::exec
