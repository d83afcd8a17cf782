// RateLimiter's methods: thin bodies that borrow the instance, call the
// ledger and convert the result. acquire and __enter__ let the interpreter
// lock go for the whole attempt, so other threads run while one waits.
#include "limiters/rate_limiter.hpp"

#include "engine/permit_wait.hpp"
#include "engine/sleep.hpp"
#include "host/convert.hpp"
#include "host/entry.hpp"
#include "host/signals.hpp"
#include "host/types.hpp"
#include "limiters/limiter_object.hpp"

namespace ratevane {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

constexpr const char* kName = "RateLimiter";

extern host::TypeCell type_cell;

Result<host::SharedBorrow<LimiterObject>> borrow(PyObject* self) {
  return host::SharedBorrow<LimiterObject>::take(self, type_cell.ready(), kName);
}

// The blocking wait's sleeper: it checks for host signals with the lock
// taken just for the check.
class HostSleeper final : public SlicedSleeper {
 public:
  bool sleep(uint64_t ms, std::atomic<bool>& interrupted) override {
    slept_ = true;
    return SlicedSleeper::sleep(ms, interrupted);
  }
  bool slept() const { return slept_; }

 protected:
  // Runs without the interpreter lock, on the waiting thread.
  bool signal_check_failed() override {
    host::AcquireLock lock;
    return host::signal_check_failed(true);
  }

 private:
  bool slept_ = false;
};

// One attempt with the lock let go: granted, refused (non-blocking only) or
// interrupted; then the host's signal check decides the last word.
Take attempt(const LimiterContents& c) {
  c.interrupted->store(false, std::memory_order_release);
  Take take;
  bool waited = false;
  {
    host::ReleaseLock unlocked;
    if (!c.blocking) {
      take = try_acquire(*c.core, c.burst());
    } else {
      // One sleeper for the whole call, so that its signal checks come at
      // every 500 ms slept across all the wait's steps.
      HostSleeper sleeper;
      take = wait_for_permit(*c.core, c.burst(), *c.interrupted, sleeper);
      waited = sleeper.slept();
    }
  }
  if (host::signal_check_failed(waited)) {
    c.interrupted->store(true, std::memory_order_release);
    // The caller sees an exception and will never release this permit.
    if (take == Take::granted) give_back_burst(c.burst());
    return Take::interrupted;
  }
  return take;
}

PyObject* acquire(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    switch (attempt((*b)->contents)) {
      case Take::granted: return host::to_host(true);
      case Take::refused: return host::to_host(false);
      case Take::interrupted: break;
    }
    return HostError(interrupted_error());
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    switch (attempt((*b)->contents)) {
      case Take::granted: return host::none();
      case Take::refused: return HostError(ErrorType::value_error, "Failed to acquire permit");
      case Take::interrupted: break;
    }
    return HostError(interrupted_error());
  });
}

PyObject* release(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    plant_faults_if_armed();
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    give_back_burst((*b)->contents.burst());
    return host::none();
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::entry([&]() -> Result<Ref> {
    // The arguments are checked before the instance is borrowed.
    const host::ArgSpec spec{kName, "__exit__", kExitParams, 3, 3};
    PyObject* slots[3];
    if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    give_back_burst((*b)->contents.burst());
    return host::to_host(false);
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    const LimiterContents& c = (*b)->contents;
    return host::to_host(remaining_per_window(*c.core, c.burst()));
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return host::entry([&]() -> Result<Ref> {
    auto b = borrow(self);
    if (!b) return std::move(b.error());
    return host::to_host(time_until_next_window(*(*b)->contents.core));
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
    {"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const host::TypeDef type_def{kName, kConstructorSignature, sizeof(LimiterObject), methods,
                             construct, delete_limiter, nullptr};
host::TypeCell type_cell(type_def);

}  // namespace

Result<PyTypeObject*> rate_limiter_type() { return type_cell.get(); }

}  // namespace ratevane
