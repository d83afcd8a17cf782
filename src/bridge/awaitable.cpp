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
#include <mutex>
#include <vector>

#include "bridge/grant_future.hpp"
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
  PyObject* set_result = PyUnicode_InternFromString("set_result");
  PyObject* set_exception = PyUnicode_InternFromString("set_exception");
  PyObject* call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  // The one keyword of call_soon_threadsafe: context=None, so the
  // completion runs in the loop's default context.
  PyObject* context_keyword = Py_BuildValue("(s)", "context");
  // What a grant resolves to; one object for the process.
  PyObject* empty_tuple = PyTuple_New(0);

  bool ok() const {
    return create_future && add_done_callback && set_result && set_exception &&
           call_soon_threadsafe && context_keyword && empty_tuple;
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
    case WorkValue::Kind::empty_tuple: return Ref::borrow(names().empty_tuple);
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
  Ref completor = new_checked_completor(std::move(permit));
  // loop.call_soon_threadsafe(completor, future, complete, value, context=None)
  PyObject* const args[] = {loop, completor.get(), future, complete.get(), value.get(), Py_None};
  Ref done = Ref::steal(
      PyObject_VectorcallMethod(n.call_soon_threadsafe, args, 5, n.context_keyword));
  return static_cast<bool>(done);
}

// What a finished task leaves to deliver: its future, its loop and context,
// and the outcome.
struct Delivery {
  LooseRef future;
  LoopContext loop_context;
  WorkOutcome outcome;
};

// Reports the abnormal failure being handled (inside a catch handler).
void report_failure() {
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

// Lock held. The cancelled check, the conversion and the scheduling of the
// completion, in that order. Throws on an abnormal failure.
void deliver_locked(Delivery& d) {
  if (cancelled_or_print(d.future.get())) {
    d.outcome = WorkOutcome{};  // a grant's burst permit goes back here
    return;
  }
  bool is_error = false;
  Ref value;
  if (Error* error = std::get_if<Error>(&d.outcome.result)) {
    is_error = true;
    value = HostError(std::move(*error)).into_exception();
  } else {
    value = to_host(std::get<WorkValue>(d.outcome.result));
  }
  if (!deliver(d.loop_context.event_loop.get(), d.future.get(), is_error, std::move(value),
               std::move(d.outcome.permit))) {
    PyErr_PrintEx(1);  // e.g. the loop was closed: the future stays pending
  }
}

// Lock held, inside the catch handler of an abnormal failure: the future
// gets a TaskFailure unless it was cancelled.
void deliver_failure_locked(Delivery& d) {
  d.outcome = WorkOutcome{};
  report_failure();
  if (!d.future || cancelled_or_print(d.future.get())) return;
  Ref message = host::to_str(kTaskFailureMessage);
  Ref failure =
      host::checked(PyObject_CallFunctionObjArgs(task_failure_type(), message.get(), nullptr));
  if (!deliver(d.loop_context.event_loop.get(), d.future.get(), true, std::move(failure),
               BurstPermit{})) {
    PyErr_PrintEx(1);
  }
}

// Lock held: the references go at once instead of through the deferred list.
void drop_locked(Delivery& d) {
  d.future = LooseRef();
  d.loop_context = LoopContext{};
  d.outcome = WorkOutcome{};
}

// Outcomes ready at about the same moment (many waiters of a window that
// reopens, many tasks finishing together) are delivered under one taking of
// the interpreter lock: the first worker to find no delivery under way
// delivers everything queued until the queue is empty; the others hand
// their delivery over and go on. Each delivery keeps its own order of
// effects. Taking the lock costs far more than a delivery when the loop
// thread is busy, and on PyPy a thread waiting for it looks again only every
// 100 us.
class DeliveryQueue {
 public:
  // Runs without the interpreter lock, on a worker thread.
  void submit(Delivery delivery) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      pending_.push_back(std::move(delivery));
      if (draining_) return;
      draining_ = true;
    }
    std::vector<Delivery> batch;
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        batch.swap(pending_);
        if (batch.empty()) {
          draining_ = false;
          return;
        }
      }
      try {
        host::AcquireLock lock(host::ThreadKind::worker);
        for (Delivery& d : batch) {
          deliver_one(d);
          drop_locked(d);
        }
      } catch (const host::InterpreterExiting&) {
        // Nothing can be delivered any more: the references go to the
        // deferred list, a granted burst permit back to its limiter.
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.clear();
        draining_ = false;
        return;
      }
      batch.clear();
    }
  }

  // Around fork() (see modules/fork.cpp).
  void hold_for_fork() noexcept { mutex_.lock(); }
  void let_go_after_fork(bool in_child) noexcept {
    if (in_child) {
      // The queued outcomes are the parent's to deliver. They are kept
      // aside, never delivered nor dropped: dropping would give references
      // up and permits back for futures and waiters of the parent's loops.
      // Moving a delivery touches no host object.
      for (Delivery& d : pending_) left_behind_.push_back(std::move(d));
      pending_.clear();
      draining_ = false;
    }
    mutex_.unlock();
  }

 private:
  // Lock held. An abnormal failure ends this delivery alone.
  static void deliver_one(Delivery& d) {
    try {
      deliver_locked(d);
    } catch (...) {
      try {
        deliver_failure_locked(d);
      } catch (...) {
        PyErr_Clear();
        std::fputs("ratevane: a background task's failure could not be delivered\n", stderr);
      }
    }
  }

  // Never held while the interpreter lock is taken; only the deferred
  // list's lock is taken inside it (references dropped at exit).
  std::mutex mutex_;
  std::vector<Delivery> pending_;
  bool draining_ = false;
  std::vector<Delivery> left_behind_;  // in a forked child: the parent's
};

DeliveryQueue& deliveries() {
  static auto* queue = new DeliveryQueue;  // lives until the process ends
  return *queue;
}

}  // namespace

void hold_deliveries_for_fork() noexcept { deliveries().hold_for_fork(); }

void let_go_deliveries_after_fork(bool in_child) noexcept {
  deliveries().let_go_after_fork(in_child);
}

namespace {

class AwaitableTask final : public exec::TaskBody {
 public:
  AwaitableTask(std::unique_ptr<Work> work, LoopContext loop_context,
                exec::CancelReceiver receiver, LooseRef future)
      : work_(std::move(work)),
        receiver_(std::move(receiver)),
        delivery_{std::move(future), std::move(loop_context), WorkOutcome{}} {}

  // Runs without the interpreter lock, on a worker thread.
  exec::Poll poll(exec::Context& cx) override {
    try {
      if (!run_watched(cx)) return exec::Poll::pending;
      // The work goes first: a dropped wait removes its timer and gives back
      // a burst permit it took.
      work_.reset();
      deliveries().submit(std::move(delivery_));
    } catch (const host::InterpreterExiting&) {
      // Nothing can be delivered any more; the references go to the
      // deferred list with the task.
    } catch (...) {
      work_.reset();
      try {
        host::AcquireLock lock(host::ThreadKind::worker);
        deliver_failure_locked(delivery_);
        drop_locked(delivery_);
      } catch (const host::InterpreterExiting&) {
      }
    }
    return exec::Poll::ready;
  }

 private:
  bool run_watched(exec::Context& cx) {
    {
      exec::TaskLocalScope scope(&delivery_.loop_context);
#ifdef RATEVANE_FAULT_INJECTION
      fault::maybe_fail(fault::Point::task_work);
#endif
      if (work_->poll(cx, delivery_.outcome)) return true;
    }
    if (!watching_) return false;
    switch (receiver_.poll(cx.waker())) {
      case exec::CancelReceiver::State::fired:
        // The future is cancelled: this placeholder is dropped by the
        // cancelled check and never delivered.
        watching_ = false;
        delivery_.outcome.result = Error{ErrorType::base_exception, "unreachable"};
        return true;
      case exec::CancelReceiver::State::closed:
        watching_ = false;  // the future completed otherwise; keep working
        return false;
      case exec::CancelReceiver::State::not_yet:
        return false;
    }
    return false;
  }

  std::unique_ptr<Work> work_;
  exec::CancelReceiver receiver_;
  Delivery delivery_;
  bool watching_ = true;
};

}  // namespace

Result<Ref> make_awaitable(std::unique_ptr<Work> work) {
  Result<LoopContext> loop_context = capture_loop_context();
  if (!loop_context) return std::move(loop_context.error());
  const Names& n = names();
  auto [sender, receiver] = exec::make_cancel_signal();
  Ref future;
  if (work->takes_permits()) {
    Result<Ref> made = new_grant_future(loop_context->event_loop.get());
    if (!made) return std::move(made.error());
    future = std::move(*made);
  } else {
    future = Ref::steal(
        PyObject_CallMethodNoArgs(loop_context->event_loop.get(), n.create_future));
    if (!future) return HostError::fetch();
  }
  Ref callback = new_done_callback(std::move(sender));
  Ref added = Ref::steal(
      PyObject_CallMethodOneArg(future.get(), n.add_done_callback, callback.get()));
  if (!added) return HostError::fetch();
  // The task's references are taken here, on the calling thread that holds
  // the lock already, so the task needs the lock only once, to deliver.
  exec::spawn(std::make_unique<AwaitableTask>(std::move(work), std::move(*loop_context),
                                              std::move(receiver), LooseRef(future.copy())));
  return future;
}

}  // namespace ratevane::bridge
