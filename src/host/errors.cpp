#include "host/errors.hpp"

#include <cstdio>

namespace ratevane::host {
namespace {

constexpr const char* kGenericText = "an internal error occurred in ratevane's native code";

constexpr const char* kInternalErrorDoc =
    "Raised when ratevane's native code fails abnormally (an internal fault,\n"
    "not a reported error such as a bad argument).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it is not caught by ordinary handlers and normally travels all the\n"
    "way up and ends the interpreter.";

PyObject* host_type(ErrorType type) {
  switch (type) {
    case ErrorType::value_error: return PyExc_ValueError;
    case ErrorType::keyboard_interrupt: return PyExc_KeyboardInterrupt;
    case ErrorType::type_error: return PyExc_TypeError;
    case ErrorType::runtime_error: return PyExc_RuntimeError;
    case ErrorType::system_error: return PyExc_SystemError;
    case ErrorType::base_exception: return PyExc_BaseException;
  }
  return PyExc_SystemError;
}

}  // namespace

PyObject* internal_error_type() {
  // Filled once under the interpreter lock; never released.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("ratevane.InternalError", kInternalErrorDoc,
                                     PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Print();
      fatal("ratevane: could not create the InternalError exception type");
    }
  }
  return type;
}

Ref to_str(const std::string& text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string text_of(PyObject* object) {
  Ref s = Ref::steal(PyObject_Str(object));
  if (!s) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return std::string(utf8, static_cast<std::size_t>(n));
}

HostError HostError::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* internal = internal_error_type();  // after the fetch: CPython refuses to build it with an error pending
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return HostError(ErrorType::system_error, "attempted to fetch exception but none was set");
  }
  if (PyErr_GivenExceptionMatches(type, internal)) {
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = value != nullptr ? text_of(value) : kGenericText;
    std::fputs("ratevane: an InternalError came back through Python code;\n"
               "ratevane: its Python traceback follows.\n", stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    fail(text);
  }
  return HostError(FetchedError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
}

void HostError::restore() && {
  if (Error* e = std::get_if<Error>(&v_)) {
    Ref message = to_str(e->message);
    PyErr_SetObject(host_type(e->type), message.get());
    return;
  }
  FetchedError& f = std::get<FetchedError>(v_);
  PyErr_Restore(f.type.release(), f.value.release(), f.traceback.release());
}

Ref HostError::into_exception() && {
  std::move(*this).restore();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (value == nullptr) fail("could not build an exception instance");
  return Ref::steal(value);
}

void fail(const std::string& text, std::source_location where) {
  std::fprintf(stderr, "ratevane: abnormal failure at %s:%u in %s: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(), text.c_str());
  std::fflush(stderr);
  throw AbnormalFailure(text);
}

void api_call_failed(std::source_location where) {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fail("Python API call failed", where);
}

void raise_abnormal(std::exception_ptr failure) {
  std::string text = kGenericText;
  try {
    std::rethrow_exception(failure);
  } catch (const AbnormalFailure& e) {
    text = e.what();  // reported where it was thrown
  } catch (const std::exception& e) {
    if (e.what() != nullptr && *e.what() != '\0') text = e.what();
    std::fprintf(stderr, "ratevane: abnormal failure: %s\n", text.c_str());
  } catch (...) {
    std::fprintf(stderr, "ratevane: abnormal failure: %s\n", text.c_str());
  }
  // Whatever the host had pending is superseded by this failure.
  PyErr_Clear();
  Ref message = to_str(text);
  PyErr_SetObject(internal_error_type(), message.get());
}

}  // namespace ratevane::host
