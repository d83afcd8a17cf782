// Error values and the small result type the engine and the host border share.
//
// Expected outcomes (refused, interrupted, bad configuration) travel as
// values; only broken invariants are C++ exceptions. An error value is a
// type tag and a text, so any thread can make one without touching the
// interpreter; the border turns it into a host exception when it hands it
// over.
#pragma once

#include <cassert>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace ratevane {

enum class ErrorType : unsigned char {
  value_error,
  keyboard_interrupt,
  type_error,
  runtime_error,
  system_error,
  base_exception,
};

struct Error {
  ErrorType type;
  std::string message;
};

inline constexpr const char* kInterruptedMessage = "Operation interrupted";

inline Error interrupted_error() {
  return Error{ErrorType::keyboard_interrupt, kInterruptedMessage};
}

// A value or an error value. Deliberately small: the engine needs no more
// than "is it a value" and moving the parts out. The host border uses it
// with its own error type, which can also carry a fetched host exception.
template <class T, class E = Error>
class Expected {
 public:
  Expected(T value) : ok_(true) { new (&value_) T(std::move(value)); }
  Expected(E error) : ok_(false) { new (&error_) E(std::move(error)); }
  Expected(Expected&& other) noexcept(std::is_nothrow_move_constructible_v<T>)
      : ok_(other.ok_) {
    if (ok_) new (&value_) T(std::move(other.value_));
    else new (&error_) E(std::move(other.error_));
  }
  Expected(const Expected&) = delete;
  Expected& operator=(const Expected&) = delete;
  Expected& operator=(Expected&&) = delete;
  ~Expected() {
    if (ok_) value_.~T();
    else error_.~E();
  }

  bool has_value() const { return ok_; }
  explicit operator bool() const { return ok_; }
  T& value() { assert(ok_); return value_; }
  const T& value() const { assert(ok_); return value_; }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  E& error() { assert(!ok_); return error_; }
  const E& error() const { assert(!ok_); return error_; }

 private:
  bool ok_;
  union {
    T value_;
    E error_;
  };
};

}  // namespace ratevane
