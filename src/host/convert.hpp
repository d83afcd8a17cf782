// Module values to host objects (always new references).
#pragma once

#include <optional>

#include "engine/ledger.hpp"
#include "host/errors.hpp"

namespace ratevane::host {

inline Ref to_host(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// Seconds as a float, or None when absent.
inline Ref to_host(const std::optional<Duration>& d) {
  if (!d) return none();
  return checked(PyFloat_FromDouble(d->as_seconds()));
}

// Window names (and "burst") to permits left.
Ref to_host(const Remaining& remaining);

}  // namespace ratevane::host
