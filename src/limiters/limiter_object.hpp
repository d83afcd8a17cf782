// The instance record shared by both limiter classes, and their common
// construction and destruction.
#pragma once

#include "engine/config.hpp"
#include "host/args.hpp"
#include "host/borrow.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane {

struct LimiterObject {
  PyObject_HEAD
  LimiterContents contents;
  host::BorrowCounter borrows;
};

// The ten limit parameters, in signature order.
inline constexpr const char* kLimiterParams[] = {"sec",        "min",        "hour",
                                                 "day",        "sec_window", "min_window",
                                                 "hour_window", "day_window", "blocking",
                                                 "max_burst"};

// Converts the ten extracted parameters (null slots: not given), in
// signature order; the first failure is the one reported.
host::Result<LimiterConfig> convert_config(PyObject* const* slots);

// The constructor entry of both classes: arguments, configuration checks,
// then allocation. `owner` names the class in argument errors.
PyObject* new_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* owner);
// The destructor entry: gives up this object's share of the limiter state
// (background tasks may still hold theirs) and frees the object.
void delete_limiter(PyObject* self);

// Test builds only: while the "leak" fault point is armed, each release()
// of either class keeps one new float alive for good, the smallest leak a
// missing decref makes. The memory checks must catch it.
// The faults that the memory checks must catch, planted in release() of
// both classes: a host object kept alive for good (the memory-growth
// tests), and a read of freed memory and a forgotten allocation of the
// module's own (the sanitizer run).
inline void plant_faults_if_armed() {
#ifdef RATEVANE_FAULT_INJECTION
  if (fault::goes_off(fault::Point::leak)) static_cast<void>(PyFloat_FromDouble(0.5));
  if (fault::goes_off(fault::Point::native_leak)) {
    [[maybe_unused]] static int* volatile forgotten;
    forgotten = new int(7);
    forgotten = nullptr;
  }
  if (fault::goes_off(fault::Point::use_after_free)) {
    auto* cell = new volatile int(1);
    delete cell;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wuse-after-free"  // planted on purpose
    static_cast<void>(*cell);
#pragma GCC diagnostic pop
  }
#endif
}

// The text signature both classes show.
inline constexpr const char* kConstructorSignature =
    "(sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, "
    "hour_window=None, day_window=None, blocking=True, max_burst=None)";

// The three ignored parameters of __exit__ / __aexit__.
inline constexpr const char* kExitParams[] = {"_exc_type", "_exc_value", "_traceback"};

}  // namespace ratevane
