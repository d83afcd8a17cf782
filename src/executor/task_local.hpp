// The current-task slot: one pointer per thread, set while a task body that
// installed a value runs on that thread.
#pragma once

namespace ratevane::exec {

// Installs `value` in the calling thread's slot for the scope's lifetime and
// restores what was there before, also when the scope is left by an
// exception. A task installs it around each of its own resumptions, so the
// value is seen by whichever worker happens to resume the task and never
// leaks into the next task that worker runs. Scopes must nest (destroyed in
// reverse order, on the thread that made them).
class TaskLocalScope {
 public:
  explicit TaskLocalScope(void* value) noexcept;
  ~TaskLocalScope();
  TaskLocalScope(const TaskLocalScope&) = delete;
  TaskLocalScope& operator=(const TaskLocalScope&) = delete;

 private:
  void* previous_;
};

// The calling thread's slot; nullptr when no scope is active.
void* current_task_value() noexcept;

}  // namespace ratevane::exec
