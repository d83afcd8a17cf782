#include "host/args.hpp"

#include <cstring>
#include <string>

namespace ratevane::host {
namespace {

Error type_error(std::string message) { return Error{ErrorType::type_error, std::move(message)}; }

std::string full_name(const ArgSpec& spec) {
  return std::string(spec.owner) + "." + spec.function + "()";
}

std::string quoted_list(const ArgSpec& spec, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < spec.required; ++i) missing += slots[i] == nullptr;
  std::string out;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (seen > 0) {
      if (seen + 1 == missing) out += missing == 2 ? " and " : ", and ";
      else out += ", ";
    }
    out += "'";
    out += spec.names[i];
    out += "'";
    ++seen;
  }
  return out;
}

// A failed conversion with exactly TypeError is renamed after the
// parameter; other errors (OverflowError...) pass unchanged.
HostError rename(HostError error, const char* name) {
  if (Error* e = error.message_error()) {
    if (e->type == ErrorType::type_error) {
      e->message = std::string("argument '") + name + "': " + e->message;
    }
    return error;
  }
  FetchedError& f = *error.fetched();
  if (f.type.get() != PyExc_TypeError) return error;
  PyObject *type = f.type.release(), *value = f.value.release(), *tb = f.traceback.release();
  PyErr_NormalizeException(&type, &value, &tb);
  Ref old_type = Ref::steal(type), old_value = Ref::steal(value), old_tb = Ref::steal(tb);
  const std::string text = old_value ? text_of(old_value.get()) : std::string();
  Ref message = to_str(std::string("argument '") + name + "': " + text);
  Ref renamed = checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (old_value) {
    if (PyObject* cause = PyException_GetCause(old_value.get())) {
      PyException_SetCause(renamed.get(), cause);  // steals the new reference
    }
  }
  return HostError(FetchedError{Ref::borrow(PyExc_TypeError), std::move(renamed), Ref()});
}

Result<std::optional<uint64_t>> convert_u64(PyObject* slot) {
  if (slot == nullptr || slot == Py_None) return std::optional<uint64_t>();
  unsigned long long value;
  if (PyType_GetFlags(Py_TYPE(slot)) & Py_TPFLAGS_LONG_SUBCLASS) {
    value = PyLong_AsUnsignedLongLong(slot);
  } else {
    Ref index = Ref::steal(PyNumber_Index(slot));
    if (!index) return HostError::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is both the error marker and the valid value 2**64 - 1.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return HostError::fetch();
  }
  return std::optional<uint64_t>(value);
}

// A type's name attribute (__name__, __qualname__) as text; empty if it
// has none that is text. The stable ABI has no tp_name field to read.
std::string type_attribute(PyObject* type, const char* attribute) {
  Ref name = Ref::steal(PyObject_GetAttrString(type, attribute));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) return utf8;
  }
  PyErr_Clear();
  return std::string();
}

bool is_numpy_bool(PyTypeObject* type) {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  const std::string base = type_attribute(reinterpret_cast<PyObject*>(type), "__name__");
  return base == "bool_" || base == "bool";
}

Result<bool> convert_bool(PyObject* slot, bool fallback) {
  if (slot == nullptr) return fallback;
  if (PyBool_Check(slot)) return slot == Py_True;
  PyTypeObject* type = Py_TYPE(slot);
  if (is_numpy_bool(type)) {
    Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
    if (!method) {
      PyErr_Clear();
      return HostError(type_error("object of type '" + text_of(reinterpret_cast<PyObject*>(type)) +
                                  "' does not define a '__bool__' conversion"));
    }
    Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), slot, nullptr));
    if (!answer) return HostError::fetch();
    if (!PyBool_Check(answer.get())) {
      return HostError(type_error("__bool__ should return bool, returned " +
                                  type_qualname(answer.get())));
    }
    return answer.get() == Py_True;
  }
  return HostError(type_error("'" + type_qualname(slot) + "' object cannot be converted to 'PyBool'"));
}

}  // namespace

std::string type_qualname(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  std::string name = type_attribute(type, "__qualname__");
  return name.empty() ? type_attribute(type, "__name__") : name;
}

Result<bool> extract_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                          PyObject** slots) {
  for (std::size_t i = 0; i < spec.count; ++i) slots[i] = nullptr;
  const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  const std::size_t n = static_cast<std::size_t>(given);
  if (n > spec.count) {
    const char* verb = n == 1 ? "was" : "were";
    std::string message = full_name(spec);
    if (spec.required != spec.count) {
      message += " takes from " + std::to_string(spec.required) + " to " +
                 std::to_string(spec.count) + " positional arguments but " + std::to_string(n) +
                 " " + verb + " given";
    } else {
      message += " takes " + std::to_string(spec.count) + " positional arguments but " +
                 std::to_string(n) + " " + verb + " given";
    }
    return HostError(type_error(std::move(message)));
  }
  for (std::size_t i = 0; i < n; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));

  // PyPy hands every call from Python an empty keyword dict; walking it
  // (PyDict_Next copies its keys first) would cost more than the rest of a
  // done-callback's call.
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        return HostError(type_error(full_name(spec) + " keywords must be strings"));
      }
      std::size_t i = 0;
      while (i < spec.count && std::strcmp(text, spec.names[i]) != 0) ++i;
      if (i == spec.count) {
        return HostError(type_error(full_name(spec) + " got an unexpected keyword argument '" +
                                    text + "'"));
      }
      if (slots[i] != nullptr) {
        return HostError(type_error(full_name(spec) + " got multiple values for argument '" +
                                    text + "'"));
      }
      slots[i] = value;
    }
  }

  if (n < spec.required) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += slots[i] == nullptr;
    if (missing > 0) {
      return HostError(type_error(full_name(spec) + " missing " + std::to_string(missing) +
                                  " required positional " +
                                  (missing == 1 ? "argument" : "arguments") + ": " +
                                  quoted_list(spec, slots)));
    }
  }
  return true;
}

Result<std::optional<uint64_t>> to_optional_u64(PyObject* slot, const char* name) {
  Result<std::optional<uint64_t>> r = convert_u64(slot);
  if (!r) return rename(std::move(r.error()), name);
  return r;
}

Result<bool> to_bool(PyObject* slot, bool fallback, const char* name) {
  Result<bool> r = convert_bool(slot, fallback);
  if (!r) return rename(std::move(r.error()), name);
  return r;
}

}  // namespace ratevane::host
