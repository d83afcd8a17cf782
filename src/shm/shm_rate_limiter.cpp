// ratevane_shm.RateLimiter: the host budget for threaded code. The same
// methods as the in-process class; every step takes the budget's lock,
// which may be held by another process, so each runs with the interpreter
// lock let go.
#include "shm/shm_classes.hpp"

#include <optional>

#include "engine/sleep.hpp"
#include "host/convert.hpp"
#include "host/entry.hpp"
#include "host/signals.hpp"
#include "host/types.hpp"
#include "limiters/limiter_object.hpp"
#include "os/shm.hpp"
#include "shm/shm_object.hpp"

namespace ratevane::shm {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

constexpr const char* kName = "RateLimiter";

extern host::TypeCell type_cell;

Result<host::SharedBorrow<ShmObject>> borrow(PyObject* self) {
  return host::SharedBorrow<ShmObject>::take(self, type_cell.ready(), kName);
}

// Sleeps like the in-process wait (10 ms slices, the interrupt flag, a
// signal check at every 500 ms slept); a burst wait sleeps on the budget's
// wake word instead, so a give-back in any process ends it at once.
class BudgetSleeper final : public SlicedSleeper {
 public:
  void wait_on(std::atomic<uint32_t>* word, uint32_t seen) {
    word_ = word;
    seen_ = seen;
  }
  bool slept() const { return slept_; }
  bool sleep(uint64_t ms, std::atomic<bool>& interrupted) override {
    slept_ = true;
    return SlicedSleeper::sleep(ms, interrupted);
  }

 protected:
  bool sleep_slice(int64_t ns) override {
    if (word_ == nullptr) return SlicedSleeper::sleep_slice(ns);
    return os::wait_on_shared_word(*word_, seen_, ns);
  }
  // Runs without the interpreter lock, on the waiting thread.
  bool signal_check_failed() override {
    host::AcquireLock lock;
    return host::signal_check_failed(true);
  }

 private:
  std::atomic<uint32_t>* word_ = nullptr;
  uint32_t seen_ = 0;
  bool slept_ = false;
};

struct Attempt {
  enum class Kind : unsigned char { granted, refused, interrupted, failed } kind;
  std::optional<Error> error = std::nullopt;
};

// Runs without the interpreter lock.
Attempt wait_for_budget(SharedLimiter& limiter, std::atomic<bool>& interrupted,
                        BudgetSleeper& sleeper) {
  SharedPermitWait wait(limiter, interrupted);
  std::optional<BurstWaiterMark> waiting;
  SharedLayout& layout = limiter.budget().layout();
  for (;;) {
    SharedPermitWait::Step step = wait.next();
    switch (step.kind) {
      case SharedPermitWait::Kind::granted: return {Attempt::Kind::granted};
      case SharedPermitWait::Kind::interrupted: return {Attempt::Kind::interrupted};
      case SharedPermitWait::Kind::failed: return {Attempt::Kind::failed, std::move(step.error)};
      case SharedPermitWait::Kind::sleep: break;
    }
    if (step.burst) {
      // Marked before the sleep compares the word: a give-back after the
      // step changed the word, and one after the mark also wakes.
      if (!waiting) waiting.emplace(layout);
      sleeper.wait_on(&layout.released, step.released_seen);
    } else {
      sleeper.wait_on(nullptr, 0);
    }
    if (sleeper.sleep(step.sleep_ms, interrupted)) return {Attempt::Kind::interrupted};
    wait.slept();
  }
}

Attempt try_once(SharedLimiter& limiter) {
  SharedTake take = limiter.take();
  switch (take.kind) {
    case SharedTake::Kind::granted: return {Attempt::Kind::granted};
    case SharedTake::Kind::failed: return {Attempt::Kind::failed, std::move(take.error)};
    default: return {Attempt::Kind::refused};
  }
}

Attempt attempt(const ShmContents& c) {
  c.interrupted->store(false, std::memory_order_release);
  Attempt result{Attempt::Kind::refused};
  bool waited = false;
  {
    host::ReleaseLock unlocked;
    if (!c.blocking) {
      result = try_once(*c.limiter);
    } else {
      BudgetSleeper sleeper;
      result = wait_for_budget(*c.limiter, *c.interrupted, sleeper);
      waited = sleeper.slept();
    }
  }
  if (host::signal_check_failed(waited)) {
    c.interrupted->store(true, std::memory_order_release);
    if (result.kind == Attempt::Kind::granted) {
      host::ReleaseLock unlocked;
      c.limiter->give_back();
    }
    return {Attempt::Kind::interrupted};
  }
  return result;
}

// Shared ending of acquire and __enter__: `granted` and `refused` are the
// results, a failure its error.
Result<Ref> finish(Attempt a, Ref granted, Result<Ref> refused) {
  switch (a.kind) {
    case Attempt::Kind::granted: return granted;
    case Attempt::Kind::refused: return refused;
    case Attempt::Kind::failed: return HostError(std::move(*a.error));
    case Attempt::Kind::interrupted: break;
  }
  return HostError(interrupted_error());
}

PyObject* acquire(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    return finish(attempt((*b)->contents), host::to_host(true), host::to_host(false));
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    return finish(attempt((*b)->contents), host::none(),
                  HostError(ErrorType::value_error, "Failed to acquire permit"));
  });
}

void give_back(const ShmContents& c) {
  host::ReleaseLock unlocked;
  c.limiter->give_back();
}

PyObject* release(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    give_back((*b)->contents);
    return host::none();
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    const host::ArgSpec spec{kName, "__exit__", kExitParams, 3, 3};
    PyObject* slots[3];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    give_back((*b)->contents);
    return host::to_host(false);
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    Remaining left;
    {
      host::ReleaseLock unlocked;
      left = (*b)->contents.limiter->remaining();
    }
    return host::to_host(left);
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    std::optional<Duration> wait;
    {
      host::ReleaseLock unlocked;
      wait = (*b)->contents.limiter->time_until_next_window();
    }
    return host::to_host(wait);
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
    {"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const host::TypeDef type_def{kName, kShmSignature, sizeof(ShmObject), methods,
                             construct, delete_shm_limiter, nullptr};
host::TypeCell type_cell(type_def);

}  // namespace

Result<PyTypeObject*> shm_rate_limiter_type() { return type_cell.get(); }

}  // namespace ratevane::shm
