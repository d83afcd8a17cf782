// The instance record of both host-budget classes, and their common
// construction and destruction.
#pragma once

#include <atomic>
#include <memory>

#include "engine/shared_ledger.hpp"
#include "host/borrow.hpp"
#include "host/errors.hpp"

namespace ratevane::shm {

// What an object owns: its view of the budget (shared with the background
// tasks it starts, which may outlive it), the interrupt flag of its
// waiters, and whether it waits.
struct ShmContents {
  std::shared_ptr<SharedLimiter> limiter;
  std::shared_ptr<std::atomic<bool>> interrupted;
  bool blocking = true;
};

struct ShmObject {
  PyObject_HEAD
  ShmContents contents;
  host::BorrowCounter borrows;
};

// The constructor entry of both classes: the name and the ten limits, the
// in-process classes' checks, then the budget's mapping.
PyObject* new_shm_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                          const char* owner);
void delete_shm_limiter(PyObject* self);

// A budget that could not be opened as a host error: OSError (with the
// errno's subclass) for a failed system call, else ValueError.
host::HostError budget_error(BudgetError&& e);

inline constexpr const char* kShmSignature =
    "(name, sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, "
    "hour_window=None, day_window=None, blocking=True, max_burst=None)";

// Test builds: the hooks the tests reach through the module.
#ifdef RATEVANE_FAULT_INJECTION
PyObject* arm_step_pause(PyObject* module, PyObject* args);
PyObject* put_holder(PyObject* module, PyObject* args);
PyObject* set_burst_step(PyObject* module, PyObject* args);
#endif

}  // namespace ratevane::shm
