#include "host/types.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace ratevane::host {
namespace {

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t extra = c < 0x80 ? 0
                              : (c & 0xE0) == 0xC0 ? 1
                              : (c & 0xF0) == 0xE0 ? 2
                              : (c & 0xF8) == 0xF0 ? 3
                                                   : 4;
    if (extra == 4 || i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

bool parse_number(std::string_view s, long* out) {
  if (s.empty()) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool decide_copies_type_names() {
  const std::string_view version = Py_GetVersion();
  if (!valid_utf8(version)) fail("Python version string not UTF-8");
  const std::string_view head = version.substr(0, version.find(' '));
  const std::size_t dot = head.find('.');
  const std::string_view major_text = head.substr(0, dot);
  if (major_text.empty()) fail("Python major version missing");
  if (dot == std::string_view::npos) fail("Python minor version missing");
  std::string_view rest = head.substr(dot + 1);
  const std::string_view minor_text = rest.substr(0, rest.find('.'));
  long major = 0, minor = 0;
  if (!parse_number(major_text, &major)) fail("Python major version not an integer");
  if (!parse_number(minor_text, &minor)) fail("Python minor version missing");
  return major > 3 || (major == 3 && minor >= 11);
}

}  // namespace

bool host_copies_type_names() {
  static int decided = -1;  // guarded by the interpreter lock
  if (decided < 0) decided = decide_copies_type_names() ? 1 : 0;
  return decided == 1;
}

Result<PyTypeObject*> TypeCell::get() {
  if (type_ != nullptr) return type_;
  const bool copies_names = host_copies_type_names();

  // The class doc: name, signature, the separator, and an empty docstring.
  std::string doc;
  if (def_.signature != nullptr) {
    doc = std::string(def_.class_name) + def_.signature + "\n--\n\n";
    if (doc.find('\0') != std::string::npos) {
      return HostError(ErrorType::value_error, "class doc cannot contain nul bytes");
    }
  }
  // Hosts before 3.11 keep pointing at the PyType_Spec name text, so it must
  // outlive the type; later hosts copy it.
  const std::string qualified = std::string("builtins.") + def_.class_name;
  char* name = static_cast<char*>(std::malloc(qualified.size() + 1));
  if (name == nullptr) throw std::bad_alloc();
  std::memcpy(name, qualified.c_str(), qualified.size() + 1);
  // The doc text is copied by the host in every version.
  std::vector<PyType_Slot> slots;
  if (def_.signature != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
  if (def_.tp_new != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(def_.tp_new)});
  if (def_.methods != nullptr) slots.push_back({Py_tp_methods, def_.methods});
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def_.dealloc)});
  if (def_.call != nullptr) slots.push_back({Py_tp_call, reinterpret_cast<void*>(def_.call)});
  slots.push_back({0, nullptr});
  PyType_Spec spec{name, def_.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};

  PyObject* type = PyType_FromSpec(&spec);
  if (copies_names) std::free(name);
  if (type == nullptr) {
    PyObject *cause_type, *cause, *tb;
    PyErr_Fetch(&cause_type, &cause, &tb);
    PyErr_NormalizeException(&cause_type, &cause, &tb);
    Ref message = to_str(std::string("An error occurred while initializing class ") + def_.class_name);
    Ref error = checked(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, message.get(), nullptr));
    if (cause != nullptr) {
      if (tb != nullptr) PyException_SetTraceback(cause, tb);
      PyException_SetCause(error.get(), cause);  // steals
    }
    Py_XDECREF(cause_type);
    Py_XDECREF(tb);
    return HostError(FetchedError{Ref::borrow(PyExc_RuntimeError), std::move(error), Ref()});
  }
  type_ = reinterpret_cast<PyTypeObject*>(type);
  return type_;
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (tp_free == nullptr) fail("PyBaseObject_Type should have tp_free");
  tp_free(self);
#ifndef PYPY_VERSION
  // CPython's generic allocation counts every instance of a heap type as a
  // reference to the type.
  Py_DECREF(type);
#endif
}

}  // namespace ratevane::host
