#include "host/lock.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace ratevane::host {

std::atomic<bool> releases_pending{false};

namespace {

// Leaf lock: nothing else is taken while it is held, and the references are
// released only after it is let go (a release may run arbitrary finalisers
// that come back here).
std::mutex& pending_mutex() {
  static std::mutex* m = new std::mutex;  // lives until the process ends
  return *m;
}
std::vector<PyObject*>& pending_list() {
  static auto* v = new std::vector<PyObject*>;
  return *v;
}

}  // namespace

void apply_pending_releases_slow() {
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> guard(pending_mutex());
    batch.swap(pending_list());
    releases_pending.store(false, std::memory_order_relaxed);
  }
  for (PyObject* object : batch) Py_DECREF(object);
}

void drop_ref(PyObject* object) {
  if (object == nullptr) return;
  if (lock_held()) {
    Py_DECREF(object);
    return;
  }
  std::lock_guard<std::mutex> guard(pending_mutex());
  pending_list().push_back(object);
  releases_pending.store(true, std::memory_order_relaxed);
}

EntryScope::EntryScope() {
  if (lock_depth < 0) fatal("ratevane: the interpreter was entered where its use is forbidden");
  ++lock_depth;
  apply_pending_releases();
}

AcquireLock::AcquireLock(bool keep_thread_state) {
  if (lock_depth >= 1) {
    ++lock_depth;
    apply_pending_releases();
    return;
  }
  static const bool initialised = Py_IsInitialized() != 0;
  if (!initialised) fatal("ratevane: the Python interpreter is not initialised");
  thread_local bool state_kept = false;
  if (keep_thread_state && !state_kept) {
    // An outer Ensure that is never released keeps the thread's state
    // alive; the lock itself is let go at once. Every later Ensure/Release
    // pair then only takes and lets go of the lock.
    PyGILState_Ensure();
    PyEval_SaveThread();
    state_kept = true;
  }
  state_ = PyGILState_Ensure();
  ensured_ = true;
  ++lock_depth;
  apply_pending_releases();
}

void fatal(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace ratevane::host
