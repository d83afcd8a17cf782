// The host entry wrapper: every function the interpreter calls runs its body
// through `entry`, the one place where abnormal failures are caught.
#pragma once

#include <exception>

#include "host/errors.hpp"
#include "host/lock.hpp"

namespace ratevane::host {

// Turns a caught abnormal failure into the host's pending exception; a
// failure while doing so ends the process.
inline void raise_caught_abnormal() noexcept {
  try {
    raise_abnormal(std::current_exception());
  } catch (...) {
    fatal("ratevane: an abnormal failure could not be reported; the process ends");
  }
}

// Runs `body` (returning Result<Ref>) as a host entry point: a new
// reference on success, null with the host exception set otherwise.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  EntryScope scope;
  try {
    Result<Ref> result = body();
    if (result) return result->release();
    std::move(result.error()).restore();
  } catch (...) {
    raise_caught_abnormal();
  }
  return nullptr;
}

// The destructor's form: nothing can be returned, so an abnormal failure
// goes to the host's unraisable-error hook with the object as context.
template <class Body>
void entry_unraisable(PyObject* context, Body&& body) noexcept {
  EntryScope scope;
  try {
    body();
  } catch (...) {
    raise_caught_abnormal();
    PyErr_WriteUnraisable(context);
  }
}

}  // namespace ratevane::host
