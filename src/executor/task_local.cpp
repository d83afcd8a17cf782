#include "executor/task_local.hpp"

namespace ratevane::exec {

namespace {
thread_local void* current_value = nullptr;
}

TaskLocalScope::TaskLocalScope(void* value) noexcept : previous_(current_value) {
  current_value = value;
}

TaskLocalScope::~TaskLocalScope() { current_value = previous_; }

void* current_task_value() noexcept { return current_value; }

}  // namespace ratevane::exec
