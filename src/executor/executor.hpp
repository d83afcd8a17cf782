// The background executor: one process-wide pool of worker threads, built by
// the first spawn of the process and never shut down.
//
// This header is the executor's whole public surface; it pulls in the
// pieces a task needs (wakers, join handles, sleeps, the task-local slot).
#pragma once

#include <cstddef>
#include <memory>

#include "executor/executor_error.hpp"
#include "executor/join_handle.hpp"
#include "executor/sleep.hpp"
#include "executor/task.hpp"
#include "executor/task_local.hpp"
#include "executor/waker.hpp"
#include "executor/worker_config.hpp"

namespace ratevane::exec {

// Starts `body` on the process-wide executor. Callable from any thread; hands
// the task over and returns without waiting for it or for a worker. The
// first call of the process builds the executor on the calling thread
// (worker count from RATEVANE_WORKER_THREADS or the processor count), and
// throws ExecutorError if that fails; so does every later call then.
// If spawn throws, `body` is destroyed without having run.
JoinHandle spawn(std::unique_ptr<TaskBody> body);

// In a child process just made by fork(), on its only thread: forgets the
// parent's executor, whose worker threads the child does not have. The
// copied scheduler is never run, waited on or notified again (tasks of the
// parent that are woken in the child stay unrun), and the next spawn builds
// a fresh executor. Takes no lock, calls nothing of the interpreter.
void forget_executor_in_child() noexcept;

// Counts the forks this process descends from; cancel signals made before
// the last fork settle without their lock, which a thread of the parent may
// have held at the fork.
unsigned fork_generation() noexcept;

// Observers, mainly for tests and diagnostics. None of them builds the
// executor.
bool executor_built() noexcept;
std::size_t worker_count() noexcept;    // 0 before the executor is built
std::size_t pending_timers();           // registered, not yet fired sleeps

}  // namespace ratevane::exec
