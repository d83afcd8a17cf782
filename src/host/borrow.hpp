// Borrowing an instance for the length of one method call. Shared borrows
// are counted (several threads may be inside methods of one instance while
// acquire has let the interpreter lock go); the all-ones value marks
// exclusive use.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/args.hpp"
#include "host/errors.hpp"

namespace ratevane::host {

using BorrowCounter = std::atomic<uintptr_t>;
inline constexpr uintptr_t kExclusive = UINTPTR_MAX;

// Checks that `self` is an instance of `cls` (the host's method descriptors
// normally refuse other objects before we see them).
inline Result<bool> check_instance(PyObject* self, PyTypeObject* cls, const char* cls_name) {
  if (Py_TYPE(self) == cls || PyType_IsSubtype(Py_TYPE(self), cls)) return true;
  return HostError(ErrorType::type_error,
                   "'" + type_qualname(self) + "' object cannot be converted to '" + cls_name + "'");
}

// Holds a shared borrow and a reference to the instance until destroyed.
template <class Record>
class SharedBorrow {
 public:
  static Result<SharedBorrow> take(PyObject* self, PyTypeObject* cls, const char* cls_name) {
    if (Result<bool> ok = check_instance(self, cls, cls_name); !ok) return std::move(ok.error());
    Record* record = reinterpret_cast<Record*>(self);
    uintptr_t n = record->borrows.load(std::memory_order_relaxed);
    do {
      if (n == kExclusive) return HostError(ErrorType::runtime_error, "Already mutably borrowed");
    } while (!record->borrows.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed));
    Py_INCREF(self);
    return SharedBorrow(record);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (record_ == nullptr) return;
    record_->borrows.fetch_sub(1, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(record_));
  }
  Record* operator->() const { return record_; }
  Record& operator*() const { return *record_; }

 private:
  explicit SharedBorrow(Record* record) : record_(record) {}
  Record* record_;
};

// Exclusive use: only from a borrow counter of 0.
template <class Record>
class ExclusiveBorrow {
 public:
  static Result<ExclusiveBorrow> take(PyObject* self, PyTypeObject* cls, const char* cls_name) {
    if (Result<bool> ok = check_instance(self, cls, cls_name); !ok) return std::move(ok.error());
    Record* record = reinterpret_cast<Record*>(self);
    uintptr_t expected = 0;
    if (!record->borrows.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
      return HostError(ErrorType::runtime_error, "Already borrowed");
    }
    Py_INCREF(self);
    return ExclusiveBorrow(record);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
      : record_(std::exchange(other.record_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (record_ == nullptr) return;
    record_->borrows.store(0, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(record_));
  }
  Record* operator->() const { return record_; }
  Record& operator*() const { return *record_; }

 private:
  explicit ExclusiveBorrow(Record* record) : record_(record) {}
  Record* record_;
};

}  // namespace ratevane::host
