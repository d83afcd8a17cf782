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

void hold_pending_releases_for_fork() noexcept { pending_mutex().lock(); }

EntryScope::EntryScope() {
  if (lock_depth < 0) fatal("ratevane: the interpreter was entered where its use is forbidden");
  ++lock_depth;
  apply_pending_releases();
}

namespace {

// Workers inside, or about to enter, a lock acquisition.
std::atomic<int> worker_entries{0};
std::atomic<bool> interpreter_exiting{false};

}  // namespace

void let_go_pending_releases_after_fork(bool in_child) noexcept {
  pending_mutex().unlock();
  if (in_child) worker_entries.store(0, std::memory_order_relaxed);
}

AcquireLock::AcquireLock(ThreadKind kind) {
  if (lock_depth >= 1) {
    ++lock_depth;
    apply_pending_releases();
    return;
  }
  static const bool initialised = Py_IsInitialized() != 0;
  if (!initialised) fatal("ratevane: the Python interpreter is not initialised");
  if (kind == ThreadKind::worker) {
    // Counted before the flag is read: the exit hook sets the flag, then
    // waits for the count to drain, so no worker is left inside.
    worker_entries.fetch_add(1, std::memory_order_seq_cst);
    if (interpreter_exiting.load(std::memory_order_seq_cst)) {
      worker_entries.fetch_sub(1, std::memory_order_seq_cst);
      throw InterpreterExiting{};
    }
    counted_ = true;
  }
  thread_local bool state_kept = false;
  if (kind == ThreadKind::worker && !state_kept) {
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

AcquireLock::~AcquireLock() {
  --lock_depth;
  if (ensured_) PyGILState_Release(state_);
  if (counted_) worker_entries.fetch_sub(1, std::memory_order_seq_cst);
}

namespace {

// Runs first thing when the interpreter exits (an atexit hook), with the
// lock held: from now on workers do not ask for the lock, and the ones
// already asking get it (the lock is let go here) and finish.
PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  EntryScope scope;
  interpreter_exiting.store(true, std::memory_order_seq_cst);
  if (worker_entries.load(std::memory_order_seq_cst) != 0) {
    ReleaseLock unlocked;
    for (int i = 0; i < 2000 && worker_entries.load(std::memory_order_seq_cst) != 0; ++i) {
      os::sleep_ns(1'000'000);
    }
  }
  Py_INCREF(Py_None);
  return Py_None;
}

PyMethodDef exit_hook_def = {"_ratevane_exit", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

bool register_exit_hook() {
  PyObject* atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return false;
  PyObject* hook = PyCFunction_New(&exit_hook_def, nullptr);
  PyObject* done = hook != nullptr
                       ? PyObject_CallMethod(atexit, "register", "O", hook)
                       : nullptr;
  Py_XDECREF(hook);
  Py_DECREF(atexit);
  if (done == nullptr) return false;
  Py_DECREF(done);
  return true;
}

void fatal(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace ratevane::host
