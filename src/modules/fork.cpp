// The fork handlers. They run inside fork() on the forking thread, which
// holds the interpreter lock, and call nothing of the interpreter.
//
// Lock order, outermost first, the same in every handler:
//   1. the list of live cores, then each core lock in list order;
//   2. the delivery queue's lock;
//   3. the deferred-release list's lock.
// Why the sweep cannot deadlock: a thread that holds one of these locks
// never waits for the interpreter lock while holding it (ledger steps,
// queueing a delivery and queueing a release take no other lock than the
// ones below them here; deliveries are made after the queue's lock is let
// go), and no thread takes them in another order (the delivery queue drops
// references, and so takes the deferred list's lock, inside its own; nothing
// takes a core lock or the list of cores inside either). So each holder
// finishes its short step without needing anything the forking thread has.
//
// The executor needs no lock here: the child forgets it (its workers stayed
// in the parent) and builds a fresh one on first use, and the parent's
// executor is not touched in the parent at all.
#include "modules/fork.hpp"

#include "bridge/awaitable.hpp"
#include "engine/fork_locks.hpp"
#include "executor/executor.hpp"
#include "host/lock.hpp"
#include "os/os.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane::modules {

namespace {

// Test builds: a fork that the "fork_handlers" fault point catches runs
// without the handlers, as if the module had none. Per thread, since two
// threads may fork at once.
thread_local bool skipped = false;

void prepare() noexcept {
#ifdef RATEVANE_FAULT_INJECTION
  skipped = fault::goes_off(fault::Point::fork_handlers);
  if (skipped) return;
#endif
  CoreRegistry::lock_all();
  bridge::hold_deliveries_for_fork();
  host::hold_pending_releases_for_fork();
}

void after(bool in_child) noexcept {
  if (skipped) {
    skipped = false;
    return;
  }
  host::let_go_pending_releases_after_fork(in_child);
  bridge::let_go_deliveries_after_fork(in_child);
  CoreRegistry::unlock_all();
  if (in_child) exec::forget_executor_in_child();
}

void in_parent() noexcept { after(false); }
void in_child() noexcept { after(true); }

}  // namespace

bool register_fork_handlers() noexcept {
  static bool registered = false;  // guarded by the interpreter lock
  if (registered) return true;
  if (!os::register_fork_handlers(prepare, in_parent, in_child)) return false;
  registered = true;
  return true;
}

}  // namespace ratevane::modules
