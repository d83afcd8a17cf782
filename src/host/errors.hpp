// Error values at the border, abnormal failures, and the exception type
// that carries an abnormal failure to the host.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <variant>

#include "engine/error.hpp"
#include "host/ref.hpp"

namespace ratevane::host {

// An exception fetched from the host after a failed call.
struct FetchedError {
  Ref type, value, traceback;
};

// What a body returns on failure: a type and a text (made on any thread,
// turned into a host exception only when handed over), or a fetched host
// exception.
class HostError {
 public:
  HostError(Error e) : v_(std::move(e)) {}
  HostError(ErrorType type, std::string message) : v_(Error{type, std::move(message)}) {}
  HostError(FetchedError e) : v_(std::move(e)) {}

  // Takes the host's pending exception (lock held). When none is pending the
  // error is SystemError "attempted to fetch exception but none was set".
  // An abnormal-failure exception coming back through the host is announced
  // on the standard error stream and thrown again as an abnormal failure.
  static HostError fetch();

  // Hands the error to the host as its pending exception (lock held).
  void restore() &&;
  // The exception instance, normalised (lock held).
  Ref into_exception() &&;

  Error* message_error() { return std::get_if<Error>(&v_); }
  FetchedError* fetched() { return std::get_if<FetchedError>(&v_); }

 private:
  std::variant<Error, FetchedError> v_;
};

template <class T>
using Result = Expected<T, HostError>;

// A failure the code did not foresee. Thrown as a C++ exception, caught at
// exactly one place per host entry and turned into the abnormal-failure
// exception there.
class AbnormalFailure : public std::exception {
 public:
  explicit AbnormalFailure(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Reports an abnormal failure with its source location on the standard
// error stream and throws it.
[[noreturn]] void fail(const std::string& text,
                       std::source_location where = std::source_location::current());

// A host constructor (of a str, int, tuple...) returned null: print the
// host's error and fail with "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// Checks a new reference from a host constructor.
inline Ref checked(PyObject* p, std::source_location where = std::source_location::current()) {
  if (p == nullptr) api_call_failed(where);
  return Ref::steal(p);
}

// The abnormal-failure exception type (ratevane.InternalError), created on
// first need. Lock held.
PyObject* internal_error_type();

// Sets the host exception for an abnormal failure caught at an entry point
// (lock held). Must not be called outside a catch handler.
void raise_abnormal(std::exception_ptr failure);

// A host string from UTF-8 text.
Ref to_str(const std::string& text);

// The text form (str) of a host object, or a placeholder when even that
// fails.
std::string text_of(PyObject* object);

}  // namespace ratevane::host
