// Test builds only: hooks that reach inside a budget.
//   _arm_step_pause(fd): the next grant of this process, inside its locked
//     step after the first window was counted, writes a byte to fd and
//     never returns (the test kills the process there).
//   _put_holder(name, pid, start_time, held): writes a burst holder entry
//     as a process of that identity would have (a reused process id is a
//     live pid with another start time).
//   _set_burst_step(ms): every step of this process's burst waits sleeps
//     ms (0: the usual 10 to 100 ms), so that a test sees what ends it.
#ifdef RATEVANE_FAULT_INJECTION
#include "engine/shared_ledger.hpp"
#include "host/convert.hpp"
#include "host/entry.hpp"
#include "shm/shm_object.hpp"

namespace ratevane::shm {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

int pause_fd = -1;

void pause_in_step() { os::announce_and_hang(pause_fd); }

}  // namespace

PyObject* arm_step_pause(PyObject*, PyObject* args) {
  return host::entry([&]() -> Result<Ref> {
    if (!PyArg_ParseTuple(args, "i", &pause_fd)) return HostError::fetch();
    shared_step_hook = pause_in_step;
    return host::none();
  });
}

PyObject* put_holder(PyObject*, PyObject* args) {
  return host::entry([&]() -> Result<Ref> {
    const char* name;
    unsigned long long pid, start, held;
    if (!PyArg_ParseTuple(args, "sKKK", &name, &pid, &start, &held)) return HostError::fetch();
    auto budget = SharedBudget::open(name);
    if (!budget) return budget_error(std::move(budget.error()));
    SharedLayout& layout = (*budget)->layout();
    BudgetLock lock(**budget);
    for (SharedHolder& h : layout.holders) {
      if (h.held.load() != 0) continue;
      h.pid.store(pid);
      h.start_time.store(start);
      h.held.store(held);
      return host::none();
    }
    return HostError(ErrorType::value_error, "no free holder entry");
  });
}

PyObject* set_burst_step(PyObject*, PyObject* args) {
  return host::entry([&]() -> Result<Ref> {
    unsigned long long ms;
    if (!PyArg_ParseTuple(args, "K", &ms)) return HostError::fetch();
    shared_burst_step_ms.store(ms, std::memory_order_relaxed);
    return host::none();
  });
}

}  // namespace ratevane::shm
#endif
