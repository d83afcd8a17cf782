// ratevane_shm.AsyncRateLimiter: the host budget for asyncio code, through
// the same bridge and executor as the in-process AsyncRateLimiter. Each
// call hands the work to the executor and returns the future at once; a
// waiting acquire suspends on executor timers, with the in-process class's
// steps, and a burst wait also on the budget's release watch, so that a
// give-back in any process ends it at once.
#include <chrono>

#include "bridge/awaitable.hpp"
#include "executor/sleep.hpp"
#include "host/entry.hpp"
#include "host/types.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/once_work.hpp"
#include "shm/release_watch.hpp"
#include "shm/shm_classes.hpp"
#include "shm/shm_object.hpp"

namespace ratevane::shm {
namespace {

using bridge::Work;
using bridge::WorkOutcome;
using bridge::WorkValue;
using host::Ref;
using host::Result;

constexpr const char* kName = "AsyncRateLimiter";

extern host::TypeCell type_cell;

Result<host::SharedBorrow<ShmObject>> borrow(PyObject* self) {
  return host::SharedBorrow<ShmObject>::take(self, type_cell.ready(), kName);
}

WorkValue value_of(WorkValue::Kind kind) {
  WorkValue v;
  v.kind = kind;
  return v;
}

// A grant, with its burst permit handed back if the grant never reaches
// the caller (the future was cancelled meanwhile).
void settle_grant(const ShmContents& share, WorkOutcome& out) {
  out.result = value_of(WorkValue::Kind::empty_tuple);
  if (share.limiter->max_burst()) {
    out.permit = BurstPermit(share.limiter, [](void* limiter) {
      static_cast<SharedLimiter*>(limiter)->give_back();
    });
  }
}

// acquire and __aenter__: the waiting form, or one try when the limiter
// does not block; `enter` makes a refusal an error.
class AcquireWork final : public Work {
 public:
  AcquireWork(ShmContents share, bool enter)
      : share_(std::move(share)), wait_(*share_.limiter, *share_.interrupted), enter_(enter) {}

  bool takes_permits() const override { return share_.limiter->max_burst().has_value(); }

  bool poll(exec::Context& cx, WorkOutcome& out) override {
    if (!share_.blocking) {
      SharedTake take = share_.limiter->take();
      if (take.kind == SharedTake::Kind::granted) {
        settle_grant(share_, out);
      } else if (take.kind == SharedTake::Kind::failed) {
        out.result = std::move(*take.error);
      } else if (enter_) {
        out.result = Error{ErrorType::value_error, "Failed to acquire permit"};
      } else {
        out.result = value_of(WorkValue::Kind::none);
      }
      return true;
    }
    for (;;) {
      if (sleep_) {
        const bool released = release_ && release_->poll(cx) == exec::Poll::ready;
        if (!released && sleep_->poll(cx) == exec::Poll::pending) return false;
        sleep_.reset();
        release_.reset();
        wait_.slept();
      }
      SharedPermitWait::Step step = wait_.next();
      switch (step.kind) {
        case SharedPermitWait::Kind::granted: settle_grant(share_, out); return true;
        case SharedPermitWait::Kind::interrupted: out.result = interrupted_error(); return true;
        case SharedPermitWait::Kind::failed: out.result = std::move(*step.error); return true;
        case SharedPermitWait::Kind::sleep:
          sleep_.emplace(std::chrono::milliseconds(step.sleep_ms));
          if (step.burst) release_.emplace(share_.limiter->shared_budget(), step.released_seen);
          break;
      }
    }
  }

 private:
  ShmContents share_;  // declared first: the wait refers into it
  SharedPermitWait wait_;
  std::optional<exec::Sleep> sleep_;
  std::optional<ReleaseWait> release_;  // beside sleep_ in a burst wait
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
  return call(self, true, [](const ShmContents& c) -> std::unique_ptr<Work> {
    return std::make_unique<AcquireWork>(c, false);
  });
}

PyObject* aenter(PyObject* self, PyObject*) {
  return call(self, true, [](const ShmContents& c) -> std::unique_ptr<Work> {
    return std::make_unique<AcquireWork>(c, true);
  });
}

WorkOutcome::Result give_back(SharedLimiter& limiter, WorkValue::Kind result) {
  limiter.give_back();
  return value_of(result);
}

PyObject* release(PyObject* self, PyObject*) {
  return call(self, false, [](const ShmContents& c) {
    return once(c, [](const ShmContents& s) { return give_back(*s.limiter, WorkValue::Kind::empty_tuple); });
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return call(self, false, [](const ShmContents& c) {
    return once(c, [](const ShmContents& s) -> WorkOutcome::Result {
      WorkValue v = value_of(WorkValue::Kind::remaining);
      v.remaining = s.limiter->remaining();
      return v;
    });
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return call(self, false, [](const ShmContents& c) {
    return once(c, [](const ShmContents& s) -> WorkOutcome::Result {
      WorkValue v = value_of(WorkValue::Kind::seconds);
      v.seconds = s.limiter->time_until_next_window();
      return v;
    });
  });
}

PyObject* aexit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    const host::ArgSpec spec{kName, "__aexit__", kExitParams, 3, 3};
    PyObject* slots[3];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    return start(self, false, [](const ShmContents& c) {
      return once(c, [](const ShmContents& s) { return give_back(*s.limiter, WorkValue::Kind::false_); });
    });
  });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_shm_limiter(type, args, kwargs, kName);
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

const host::TypeDef type_def{kName, kShmSignature, sizeof(ShmObject), methods,
                             construct, delete_shm_limiter, nullptr};
host::TypeCell type_cell(type_def);

}  // namespace

Result<PyTypeObject*> shm_async_rate_limiter_type() { return type_cell.get(); }

}  // namespace ratevane::shm
