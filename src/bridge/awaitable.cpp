// How a piece of work becomes an asyncio future.
//
// One executor task per awaitable runs the work without the interpreter
// lock, watching the cancellation signal that the future's done-callback
// fires. The work is always resumed before the signal is looked at, so a
// resumption that is already due is never lost to a cancellation. When the
// work has an outcome, the task takes the lock, checks that the future was
// not cancelled, converts the outcome and schedules its completion on the
// loop thread with call_soon_threadsafe; the completor checks once more
// right before completing. A failure boundary around all of it turns an
// abnormal end into a TaskFailure on the future.
#include "bridge/awaitable.hpp"

#include <cstdio>

#include "bridge/py_callbacks.hpp"
#include "host/convert.hpp"
#include "host/lock.hpp"
#include "host/ref.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane::bridge {
namespace {

using host::HostError;
using host::LooseRef;
using host::Ref;
using host::Result;

constexpr const char* kTaskFailureMessage =
    "a ratevane background task failed abnormally: unknown error";

// Names and objects looked up once per process (lock held).
struct Names {
  PyObject* create_future = PyUnicode_InternFromString("create_future");
  PyObject* add_done_callback = PyUnicode_InternFromString("add_done_callback");
  PyObject* cancelled = PyUnicode_InternFromString("cancelled");
  PyObject* set_result = PyUnicode_InternFromString("set_result");
  PyObject* set_exception = PyUnicode_InternFromString("set_exception");
  PyObject* call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  // {"context": None}: the completion runs in the loop's default context.
  // Never mutated: a call copies keyword arguments out of it.
  PyObject* context_none = make_context_none();

  static PyObject* make_context_none() {
    PyObject* d = PyDict_New();
    if (d != nullptr && PyDict_SetItemString(d, "context", Py_None) != 0) Py_CLEAR(d);
    return d;
  }
  bool ok() const {
    return create_future && add_done_callback && cancelled && set_result && set_exception &&
           call_soon_threadsafe && context_none;
  }
};

const Names& names() {
  static const Names* cached = nullptr;
  if (cached == nullptr) {
    auto* n = new Names;
    if (!n->ok()) host::api_call_failed();
    cached = n;
  }
  return *cached;
}

// A module attribute, cached for the process once found; a failed import
// or lookup caches nothing.
Result<PyObject*> cached_function(PyObject** cell, const char* module, const char* attribute) {
  if (*cell != nullptr) return *cell;
  Ref mod = Ref::steal(PyImport_ImportModule(module));
  if (!mod) return HostError::fetch();
  PyObject* function = PyObject_GetAttrString(mod.get(), attribute);
  if (function == nullptr) return HostError::fetch();
  *cell = function;
  return function;
}

// The running loop and a copy of the calling context.
struct LoopContext {
  LooseRef event_loop;
  LooseRef context;
};

Result<LoopContext> capture_loop_context() {
  // Inside the watched work of a task (no limiter work does this), the
  // task's own pair is used.
  if (auto* current = static_cast<LoopContext*>(exec::current_task_value())) {
    host::AcquireLock lock;
    return LoopContext{current->event_loop.copy(), current->context.copy()};
  }
  static PyObject* get_running_loop = nullptr;
  static PyObject* copy_context = nullptr;
  Result<PyObject*> get_loop = cached_function(&get_running_loop, "asyncio", "get_running_loop");
  if (!get_loop) return std::move(get_loop.error());
  Ref loop = Ref::steal(PyObject_CallNoArgs(*get_loop));
  if (!loop) return HostError::fetch();
  Result<PyObject*> copy = cached_function(&copy_context, "contextvars", "copy_context");
  if (!copy) return std::move(copy.error());
  Ref context = Ref::steal(PyObject_CallNoArgs(*copy));
  if (!context) return HostError::fetch();
  return LoopContext{LooseRef(std::move(loop)), LooseRef(std::move(context))};
}

Ref to_host(WorkValue& value) {
  switch (value.kind) {
    case WorkValue::Kind::empty_tuple: return host::checked(PyTuple_New(0));
    case WorkValue::Kind::none: return host::none();
    case WorkValue::Kind::false_: return host::to_host(false);
    case WorkValue::Kind::remaining: return host::to_host(value.remaining);
    case WorkValue::Kind::seconds: return host::to_host(value.seconds);
  }
  host::fail("unknown result kind");
}

// Schedules `complete(value)` on the loop thread through a completor that
// checks for cancellation first. False (with the host error pending) when
// it could not be scheduled, e.g. because the loop is closed.
bool deliver(PyObject* loop, PyObject* future, bool is_error, Ref value, BurstPermit permit) {
  const Names& n = names();
  Ref complete = Ref::steal(PyObject_GetAttr(future, is_error ? n.set_exception : n.set_result));
  if (!complete) return false;
  Ref schedule = Ref::steal(PyObject_GetAttr(loop, n.call_soon_threadsafe));
  if (!schedule) return false;
  Ref completor = new_checked_completor(std::move(permit));
  Ref args = host::checked(
      PyTuple_Pack(4, completor.get(), future, complete.get(), value.get()));
  Ref done = Ref::steal(PyObject_Call(schedule.get(), args.get(), n.context_none));
  return static_cast<bool>(done);
}

// future.cancelled(), printing an error and answering false if it raises.
bool cancelled_or_print(PyObject* future) {
  Ref answer = Ref::steal(PyObject_CallMethodObjArgs(future, names().cancelled, nullptr));
  int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
  if (truth < 0) {
    PyErr_PrintEx(1);
    return false;
  }
  return truth == 1;
}

class AwaitableTask final : public exec::TaskBody {
 public:
  AwaitableTask(std::unique_ptr<Work> work, LoopContext loop_context,
                exec::CancelReceiver receiver, LooseRef future)
      : work_(std::move(work)),
        loop_context_(std::move(loop_context)),
        receiver_(std::move(receiver)),
        future_(std::move(future)) {}

  // Runs without the interpreter lock, on a worker thread.
  exec::Poll poll(exec::Context& cx) override {
    try {
      if (!run_watched(cx)) return exec::Poll::pending;
      deliver_outcome();
    } catch (const host::InterpreterExiting&) {
      // Nothing can be delivered any more; the references go to the
      // deferred list with the task.
    } catch (...) {
      try {
        deliver_failure();
      } catch (const host::InterpreterExiting&) {
      }
    }
    return exec::Poll::ready;
  }

 private:
  bool run_watched(exec::Context& cx) {
    {
      exec::TaskLocalScope scope(&loop_context_);
#ifdef RATEVANE_FAULT_INJECTION
      fault::maybe_fail(fault::Point::task_work);
#endif
      if (work_->poll(cx, outcome_)) return true;
    }
    if (!watching_) return false;
    switch (receiver_.poll(cx.waker())) {
      case exec::CancelReceiver::State::fired:
        // The future is cancelled: this placeholder is dropped by the
        // cancelled check and never delivered.
        watching_ = false;
        outcome_.result = Error{ErrorType::base_exception, "unreachable"};
        return true;
      case exec::CancelReceiver::State::closed:
        watching_ = false;  // the future completed otherwise; keep working
        return false;
      case exec::CancelReceiver::State::not_yet:
        return false;
    }
    return false;
  }

  void deliver_outcome() {
    // The work goes first (a dropped wait removes its timer and gives back a
    // burst permit it took), then the lock is taken once for the rest.
    work_.reset();
    host::AcquireLock lock(host::ThreadKind::worker);
    if (cancelled_or_print(future_.get())) {
      outcome_ = WorkOutcome{};  // a grant's burst permit goes back here
      drop_refs();
      return;
    }
    bool is_error = false;
    Ref value;
    if (Error* error = std::get_if<Error>(&outcome_.result)) {
      is_error = true;
      value = HostError(std::move(*error)).into_exception();
    } else {
      value = to_host(std::get<WorkValue>(outcome_.result));
    }
    if (!deliver(loop_context_.event_loop.get(), future_.get(), is_error, std::move(value),
                 std::move(outcome_.permit))) {
      PyErr_PrintEx(1);  // e.g. the loop was closed: the future stays pending
    }
    drop_refs();
  }

  // Runs inside the catch handler of poll.
  void deliver_failure() {
    work_.reset();
    outcome_ = WorkOutcome{};
    host::AcquireLock lock(host::ThreadKind::worker);
    report_failure();
    if (!cancelled_or_print(future_.get())) {
      Ref message = host::to_str(kTaskFailureMessage);
      Ref failure = host::checked(
          PyObject_CallFunctionObjArgs(task_failure_type(), message.get(), nullptr));
      if (!deliver(loop_context_.event_loop.get(), future_.get(), true, std::move(failure),
                   BurstPermit{})) {
        PyErr_PrintEx(1);
      }
    }
    drop_refs();
  }

  static void report_failure() {
    try {
      throw;
    } catch (const host::AbnormalFailure&) {
      // already reported where it was thrown
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ratevane: abnormal failure in a background task: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "ratevane: abnormal failure in a background task\n");
    }
  }

  // Lock held: the references go at once instead of through the deferred
  // list.
  void drop_refs() {
    future_ = LooseRef();
    loop_context_ = LoopContext{};
  }

  std::unique_ptr<Work> work_;
  LoopContext loop_context_;
  exec::CancelReceiver receiver_;
  LooseRef future_;
  WorkOutcome outcome_;
  bool watching_ = true;
};

}  // namespace

Result<Ref> make_awaitable(std::unique_ptr<Work> work) {
  Result<LoopContext> loop_context = capture_loop_context();
  if (!loop_context) return std::move(loop_context.error());
  const Names& n = names();
  auto [sender, receiver] = exec::make_cancel_signal();
  Ref future = Ref::steal(
      PyObject_CallMethodObjArgs(loop_context->event_loop.get(), n.create_future, nullptr));
  if (!future) return HostError::fetch();
  Ref callback = new_done_callback(std::move(sender));
  Ref added = Ref::steal(
      PyObject_CallMethodObjArgs(future.get(), n.add_done_callback, callback.get(), nullptr));
  if (!added) return HostError::fetch();
  // The task's references are taken here, on the calling thread that holds
  // the lock already, so the task needs the lock only once, to deliver.
  exec::spawn(std::make_unique<AwaitableTask>(std::move(work), std::move(*loop_context),
                                              std::move(receiver), LooseRef(future.copy())));
  return future;
}

}  // namespace ratevane::bridge
