// The interpreter lock at the border: the per-thread lock-depth counter,
// letting the lock go around blocking work, taking it on a thread that may
// not hold it, and the deferred releases of references given up without it.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/python.hpp"
#include "os/os.hpp"

namespace ratevane::host {

// How many nested entries or acquisitions of this module hold the lock on
// this thread. 0: the module has not taken the lock here (or let it go).
// Read on every host call, hence the fastest access model the platform has.
inline thread_local intptr_t lock_depth RATEVANE_FAST_TLS = 0;

inline bool lock_held() { return lock_depth > 0; }

// References given up on threads without the lock wait here until the next
// entry or acquisition on any thread. The flag makes the common case (the
// list is empty) one relaxed load.
extern std::atomic<bool> releases_pending;
void apply_pending_releases_slow();
inline void apply_pending_releases() {
  if (releases_pending.load(std::memory_order_relaxed)) apply_pending_releases_slow();
}

// Gives up one reference: at once with the lock, else queued.
void drop_ref(PyObject* object);

// Around fork(): the deferred list's lock is held across it and let go in
// both processes, so the child's copy of the list is whole and unlocked.
// The child also forgets the workers that were inside a lock acquisition:
// they stayed in the parent, and the exit hook must not wait for them.
void hold_pending_releases_for_fork() noexcept;
void let_go_pending_releases_after_fork(bool in_child) noexcept;

// A host entry point's scope: the host called us with the lock held.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope() { --lock_depth; }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Lets the interpreter lock go for the scope; other host threads run. The
// work inside touches host objects only through AcquireLock. The lock is
// taken back on every way out, exceptions included.
class ReleaseLock {
 public:
  ReleaseLock() : saved_depth_(lock_depth) {
    lock_depth = 0;
    state_ = PyEval_SaveThread();
  }
  ~ReleaseLock() {
    PyEval_RestoreThread(state_);
    lock_depth = saved_depth_;
    apply_pending_releases();
  }
  ReleaseLock(const ReleaseLock&) = delete;
  ReleaseLock& operator=(const ReleaseLock&) = delete;

 private:
  intptr_t saved_depth_;
  PyThreadState* state_;
};

// Takes the lock on a thread that may or may not hold it already (worker
// threads, or a sleeping acquire that checks for signals).
enum class ThreadKind : unsigned char {
  any,
  // A long-lived thread of our own (an executor worker): the host's state
  // for it is made once and kept instead of being built and torn down at
  // every acquisition, and the acquisition is refused once the interpreter
  // has begun to exit.
  worker,
};

// Thrown on a worker that asks for the lock after the interpreter began to
// exit: an interpreter that finalises ends such a thread from inside its
// lock acquisition, which C++ code must never let happen.
struct InterpreterExiting {};

class AcquireLock {
 public:
  explicit AcquireLock(ThreadKind kind = ThreadKind::any);
  ~AcquireLock();
  AcquireLock(const AcquireLock&) = delete;
  AcquireLock& operator=(const AcquireLock&) = delete;

 private:
  bool ensured_ = false;
  bool counted_ = false;
  PyGILState_STATE state_{};
};

// Registers the exit hook that lets workers finish any lock acquisition in
// progress and refuses later ones (lock held; module initialisation).
// Returns false with the host error set on failure.
bool register_exit_hook();

// Ends the process: an abnormal failure escaped every place that could
// report it.
[[noreturn]] void fatal(const char* message) noexcept;

}  // namespace ratevane::host
