// AsyncRateLimiter's methods. Each call copies the limiter's shared parts
// into a fresh share, hands the work to the bridge and returns the future
// at once; the work runs on the executor without the interpreter lock, and
// a waiting acquire suspends on executor timers instead of holding a thread.
#include "limiters/async_rate_limiter.hpp"

#include <chrono>

#include "bridge/awaitable.hpp"
#include "engine/permit_wait.hpp"
#include "host/entry.hpp"
#include "host/types.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/once_work.hpp"

namespace ratevane {
namespace {

using bridge::Work;
using bridge::WorkOutcome;
using bridge::WorkValue;
using host::HostError;
using host::Ref;
using host::Result;

constexpr const char* kName = "AsyncRateLimiter";

extern host::TypeCell type_cell;

Result<host::SharedBorrow<LimiterObject>> borrow(PyObject* self) {
  return host::SharedBorrow<LimiterObject>::take(self, type_cell.ready(), kName);
}

// A task's own references to the limiter's shared parts: the task never
// refers to the host object, which may go away while the task runs.
using LimiterShare = LimiterContents;

WorkValue value_of(WorkValue::Kind kind) {
  WorkValue v;
  v.kind = kind;
  return v;
}

void settle_grant(const LimiterShare& share, WorkOutcome& out) {
  out.result = value_of(WorkValue::Kind::empty_tuple);
  out.permit = BurstPermit(share.in_flight, share.max_burst);
}

// acquire and __aenter__: the waiting form, or a single try when the
// limiter does not block. `enter` makes a refusal an error.
class AcquireWork final : public Work {
 public:
  AcquireWork(LimiterShare share, bool enter)
      : share_(std::move(share)),
        wait_(*share_.core, share_.burst(), *share_.interrupted),
        enter_(enter) {}

  bool takes_permits() const override { return share_.max_burst.has_value(); }

  bool poll(exec::Context& cx, WorkOutcome& out) override {
    if (!share_.blocking) {
      switch (try_acquire(*share_.core, share_.burst())) {
        case Take::granted: settle_grant(share_, out); break;
        case Take::refused:
          if (enter_) out.result = Error{ErrorType::value_error, "Failed to acquire permit"};
          else out.result = value_of(WorkValue::Kind::none);
          break;
        case Take::interrupted: out.result = interrupted_error(); break;
      }
      return true;
    }
    for (;;) {
      if (sleep_) {
        if (sleep_->poll(cx) == exec::Poll::pending) return false;
        sleep_.reset();
        wait_.slept();
      }
      const PermitWait::Step step = wait_.next();
      switch (step.kind) {
        case PermitWait::Kind::granted: settle_grant(share_, out); return true;
        case PermitWait::Kind::interrupted: out.result = interrupted_error(); return true;
        case PermitWait::Kind::sleep:
          sleep_.emplace(std::chrono::milliseconds(step.sleep_ms));
          break;
      }
    }
  }

 private:
  LimiterShare share_;  // declared first: the wait refers into it
  PermitWait wait_;     // a wait dropped before its grant gives back its burst permit
  std::optional<exec::Sleep> sleep_;
  bool enter_;
};

template <class MakeWork>
Result<Ref> start(PyObject* self, bool clears_interrupt, MakeWork make_work) {
  return start_work(borrow(self), clears_interrupt, std::move(make_work));
}

template <class MakeWork>
PyObject* call(PyObject* self, bool clears_interrupt, MakeWork make_work) {
  return host::entry([&] { return start(self, clears_interrupt, std::move(make_work)); });
}

PyObject* acquire(PyObject* self, PyObject*) {
  return call(self, true, [](const LimiterContents& c) -> std::unique_ptr<Work> {
    return std::make_unique<AcquireWork>(c, false);
  });
}

PyObject* aenter(PyObject* self, PyObject*) {
  return call(self, true, [](const LimiterContents& c) -> std::unique_ptr<Work> {
    return std::make_unique<AcquireWork>(c, true);
  });
}

PyObject* release(PyObject* self, PyObject*) {
  plant_faults_if_armed();
  return call(self, false, [](const LimiterContents& c) {
    return once(c, [](const LimiterShare& s) -> WorkOutcome::Result {
      give_back_burst(s.burst());
      return value_of(WorkValue::Kind::empty_tuple);
    });
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return call(self, false, [](const LimiterContents& c) {
    return once(c, [](const LimiterShare& s) -> WorkOutcome::Result {
      WorkValue v = value_of(WorkValue::Kind::remaining);
      v.remaining = remaining_per_window(*s.core, s.burst());
      return v;
    });
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return call(self, false, [](const LimiterContents& c) {
    return once(c, [](const LimiterShare& s) -> WorkOutcome::Result {
      WorkValue v = value_of(WorkValue::Kind::seconds);
      v.seconds = time_until_next_window(*s.core);
      return v;
    });
  });
}

PyObject* aexit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    // The arguments are checked before the instance is borrowed.
    const host::ArgSpec spec{kName, "__aexit__", kExitParams, 3, 3};
    PyObject* slots[3];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    return start(self, false, [](const LimiterContents& c) {
      return once(c, [](const LimiterShare& s) -> WorkOutcome::Result {
        give_back_burst(s.burst());
        return value_of(WorkValue::Kind::false_);
      });
    });
  });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_limiter(type, args, kwargs, kName);
}

PyMethodDef methods[] = {
    {"acquire", acquire, METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", release, METH_NOARGS, "release($self)\n--\n\n"},
    {"get_remaining", get_remaining, METH_NOARGS, "get_remaining($self)\n--\n\n"},
    {"wait_time", wait_time, METH_NOARGS, "wait_time($self)\n--\n\n"},
    {"__aenter__", aenter, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(aexit)),
     METH_VARARGS | METH_KEYWORDS, "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const host::TypeDef type_def{kName, kConstructorSignature, sizeof(LimiterObject), methods,
                             construct, delete_limiter, nullptr};
host::TypeCell type_cell(type_def);

}  // namespace

Result<PyTypeObject*> async_rate_limiter_type() { return type_cell.get(); }

}  // namespace ratevane
