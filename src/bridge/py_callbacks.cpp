#include "bridge/py_callbacks.hpp"

#include <new>
#include <optional>

#include "bridge/grant_future.hpp"
#include "host/args.hpp"
#include "host/borrow.hpp"
#include "host/convert.hpp"
#include "host/entry.hpp"
#include "host/types.hpp"

namespace ratevane::bridge {

namespace {

// future.cancelled(): 1, 0, or -1 with the host error set.
int ask_cancelled(PyObject* future) {
  static PyObject* name = PyUnicode_InternFromString("cancelled");
  host::Ref answer = host::Ref::steal(PyObject_CallMethodNoArgs(future, name));
  return answer ? host::truth(answer.get()) : -1;
}

}  // namespace

// future.cancelled(); an error is printed and answers false.
bool cancelled_or_print(PyObject* future) {
  const int truth = ask_cancelled(future);
  if (truth < 0) {
    PyErr_PrintEx(1);
    return false;
  }
  return truth == 1;
}

namespace {

using host::HostError;
using host::Ref;
using host::Result;

struct DoneCallbackObject {
  PyObject_HEAD
  std::optional<exec::CancelSender> sender;  // present until it fires
  host::BorrowCounter borrows;
};

struct CompletorObject {
  PyObject_HEAD
  // The grant's burst permit, if the value is one: given back if the
  // completion never happens. Once the result is set on a GrantFuture it
  // waits here for the awaiter instead (`kept`), given back only through
  // give_back(), and the caller's if this object simply goes.
  BurstPermit permit;
  bool kept;
  host::BorrowCounter borrows;
};

extern host::TypeCell done_callback_cell;
extern host::TypeCell completor_cell;

PyTypeObject* ready_type(host::TypeCell& cell, const char* name) {
  Result<PyTypeObject*> type = cell.get();
  if (type) return *type;
  std::move(type.error()).restore();
  PyErr_PrintEx(0);
  host::fail(std::string("failed to create type object for ") + name);
}

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    static const char* const params[] = {"fut"};
    const host::ArgSpec spec{"PyDoneCallback", "__call__", params, 1, 1};
    PyObject* slots[1];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    auto b = host::ExclusiveBorrow<DoneCallbackObject>::take(
        self, done_callback_cell.ready(), "PyDoneCallback");
    if (!b) return std::move(b.error());
    if (cancelled_or_print(slots[0])) {
      DoneCallbackObject& record = **b;
      if (!record.sender) host::fail("the cancellation signal has already fired");
      exec::CancelSender sender = std::move(*record.sender);
      record.sender.reset();
      sender.fire();  // wakes the task if it is suspended
    }
    return Ref::borrow(Py_None);
  });
}

PyObject* completor_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    static const char* const params[] = {"future", "complete", "value"};
    const host::ArgSpec spec{"CheckedCompletor", "__call__", params, 3, 3};
    PyObject* slots[3];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    auto b = host::SharedBorrow<CompletorObject>::take(self, completor_cell.ready(),
                                                       "CheckedCompletor");
    if (!b) return std::move(b.error());
    // Runs once, on the loop thread: the permit is taken out so that every
    // way out of this call settles it.
    BurstPermit permit = std::move((*b)->permit);
    const int truth = ask_cancelled(slots[0]);
    if (truth < 0) return HostError::fetch();
    // A future cancelled after the task scheduled this completion: nothing
    // to complete, and a granted burst permit goes back to the limiter.
    if (truth == 1) return Ref::borrow(Py_None);
    Ref done = Ref::steal(PyObject_CallOneArg(slots[1], slots[2]));
    if (!done) return HostError::fetch();
    if (!permit.armed() || !is_grant_future(slots[0])) {
      permit.claim();
      return Ref::borrow(Py_None);
    }
    (*b)->permit = std::move(permit);
    (*b)->kept = true;
    return keep_grant(slots[0], self);
  });
}

// GrantFuture's await, when its task is cancelled after the grant: the
// permit goes back, once.
PyObject* completor_give_back(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = host::SharedBorrow<CompletorObject>::take(self, completor_cell.ready(),
                                                       "CheckedCompletor");
    if (!b) return std::move(b.error());
    if ((*b)->kept) (*b)->permit.give_back();
    return Ref::borrow(Py_None);
  });
}

PyMethodDef completor_methods[] = {
    {"give_back", completor_give_back, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void delete_completor(PyObject* self) {
  host::entry_unraisable(self, [&] {
    auto* record = reinterpret_cast<CompletorObject*>(self);
    if (record->kept) record->permit.claim();  // not given back by the await: the caller's
    record->~CompletorObject();
    host::free_instance(self);
  });
}

template <class Record>
void delete_record(PyObject* self) {
  host::entry_unraisable(self, [&] {
    reinterpret_cast<Record*>(self)->~Record();
    host::free_instance(self);
  });
}

const host::TypeDef done_callback_def{"PyDoneCallback", nullptr, sizeof(DoneCallbackObject),
                                      nullptr, nullptr, delete_record<DoneCallbackObject>,
                                      done_callback_call};
const host::TypeDef completor_def{"CheckedCompletor", nullptr, sizeof(CompletorObject),
                                  completor_methods, nullptr, delete_completor, completor_call};
host::TypeCell done_callback_cell(done_callback_def);
host::TypeCell completor_cell(completor_def);

}  // namespace

Ref new_done_callback(exec::CancelSender sender) {
  PyTypeObject* type = ready_type(done_callback_cell, "PyDoneCallback");
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) host::api_call_failed();
  auto* record = reinterpret_cast<DoneCallbackObject*>(self);
  new (&record->sender) std::optional<exec::CancelSender>(std::move(sender));
  new (&record->borrows) host::BorrowCounter(0);
  return Ref::steal(self);
}

Ref new_checked_completor(BurstPermit permit) {
  PyTypeObject* type = ready_type(completor_cell, "CheckedCompletor");
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) host::api_call_failed();
  auto* record = reinterpret_cast<CompletorObject*>(self);
  new (&record->permit) BurstPermit(std::move(permit));
  record->kept = false;
  new (&record->borrows) host::BorrowCounter(0);
  return Ref::steal(self);
}

PyObject* task_failure_type() {
  static PyObject* type = nullptr;  // filled once under the interpreter lock
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("awaitable_bridge.TaskFailure", nullptr, PyExc_Exception,
                                     nullptr);
    if (type == nullptr) host::api_call_failed();
  }
  return type;
}

}  // namespace ratevane::bridge
