// Owning handles for host references.
//
// `Ref` is dropped only where the interpreter lock is held. `LooseRef` may
// be dropped anywhere: without the lock its reference goes to the deferred
// release list instead of being touched. Borrowed references are plain
// pointers and are never stored.
#pragma once

#include <cassert>
#include <utility>

#include "host/lock.hpp"

namespace ratevane::host {

template <class Derived>
class RefBase {
 public:
  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller (a new reference for the host).
  PyObject* release() { return std::exchange(p_, nullptr); }

 protected:
  RefBase() = default;
  explicit RefBase(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

class Ref : public RefBase<Ref> {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer (may be null).
  static Ref borrow(PyObject* p) {
    assert(lock_held());
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& other) noexcept : RefBase(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::exchange(p_, other.release()));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p_ != nullptr) {
      assert(lock_held());
      Py_DECREF(p_);
    }
  }
  Ref copy() const { return borrow(p_); }

 private:
  explicit Ref(PyObject* p) : RefBase(p) {}
};

class LooseRef : public RefBase<LooseRef> {
 public:
  LooseRef() = default;
  explicit LooseRef(Ref&& r) : RefBase(r.release()) {}
  LooseRef(LooseRef&& other) noexcept : RefBase(other.release()) {}
  LooseRef& operator=(LooseRef&& other) noexcept {
    LooseRef old;
    old.p_ = std::exchange(p_, other.release());
    return *this;
  }
  LooseRef(const LooseRef&) = delete;
  LooseRef& operator=(const LooseRef&) = delete;
  ~LooseRef() { drop_ref(p_); }
  // Needs the lock.
  LooseRef copy() const { return LooseRef(Ref::borrow(p_)); }
};

}  // namespace ratevane::host
