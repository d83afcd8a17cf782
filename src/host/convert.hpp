// Module values to host objects (always new references).
#pragma once

#include <optional>

#include "engine/ledger.hpp"
#include "host/errors.hpp"

namespace ratevane::host {

inline Ref to_host(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// A host object's truth: 1, 0, or -1 with the host error set. The bool
// singletons are answered here: on PyPy every C-API call costs a crossing
// into the interpreter, several times the rest of a done-callback's work.
inline int truth(PyObject* object) {
  if (object == Py_True) return 1;
  if (object == Py_False) return 0;
  return PyObject_IsTrue(object);
}

// Seconds as a float, or None when absent.
inline Ref to_host(const std::optional<Duration>& d) {
  if (!d) return none();
  return checked(PyFloat_FromDouble(d->as_seconds()));
}

// Window names (and "burst") to permits left.
Ref to_host(const Remaining& remaining);

}  // namespace ratevane::host
