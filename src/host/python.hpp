// The one place that includes the interpreter's C API.
//
// The CPython wheels are built for the stable ABI of 3.10 (Meson defines
// Py_LIMITED_API, see src/meson.build); every other build uses the full
// API. What the module uses beyond the limited API of 3.10 is spelled below
// in its terms, under the same names, so the rest of the sources read the
// same in both builds. Each name says from which version the limited API
// has it (CPython's Misc/stable_abi.toml); none of these is on a path where
// a stable-ABI call costs more than a few nanoseconds, apart from the
// vectorcall of call_soon_threadsafe, once per asyncio wake-up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(Py_LIMITED_API)

#include <cstddef>

// Reads of a tuple's and a dict's fields become calls (never in the limited
// API). The arguments are known to be a tuple and a dict.
#define PyTuple_GET_SIZE(tuple) PyTuple_Size(tuple)
#define PyTuple_GET_ITEM(tuple, i) PyTuple_GetItem((tuple), (i))
#define PyDict_GET_SIZE(dict) PyDict_Size(dict)

// In the limited API from 3.13.
#if Py_LIMITED_API + 0 < 0x030D0000
inline const char* PyUnicode_AsUTF8(PyObject* text) {
  return PyUnicode_AsUTF8AndSize(text, nullptr);
}
#endif

// Never in the limited API.
inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
  return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
inline PyObject* PyObject_CallMethodNoArgs(PyObject* self, PyObject* name) {
  return PyObject_CallMethodObjArgs(self, name, nullptr);
}
inline PyObject* PyObject_CallMethodOneArg(PyObject* self, PyObject* name, PyObject* arg) {
  return PyObject_CallMethodObjArgs(self, name, arg, nullptr);
}

// In the limited API from 3.12. The same call through a bound method, an
// argument tuple and a keyword dict: args[0] is the object whose method is
// called, the positional arguments follow, then one value for each name in
// kwnames.
#if Py_LIMITED_API + 0 < 0x030C0000
inline PyObject* PyObject_VectorcallMethod(PyObject* name, PyObject* const* args, size_t nargsf,
                                           PyObject* kwnames) {
  const size_t offset_flag = size_t{1} << (8 * sizeof(size_t) - 1);
  const Py_ssize_t nargs = static_cast<Py_ssize_t>(nargsf & ~offset_flag);
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  PyObject* method = PyObject_GetAttr(args[0], name);
  if (method == nullptr) return nullptr;
  PyObject* positional = PyTuple_New(nargs - 1);
  PyObject* keywords = nkw != 0 ? PyDict_New() : nullptr;
  PyObject* answer = nullptr;
  bool ready = positional != nullptr && (nkw == 0 || keywords != nullptr);
  for (Py_ssize_t i = 1; ready && i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(positional, i - 1, args[i]);  // steals the reference
  }
  for (Py_ssize_t i = 0; ready && i < nkw; ++i) {
    ready = PyDict_SetItem(keywords, PyTuple_GetItem(kwnames, i), args[nargs + i]) == 0;
  }
  if (ready) answer = PyObject_Call(method, positional, keywords);
  Py_XDECREF(keywords);
  Py_XDECREF(positional);
  Py_DECREF(method);
  return answer;
}
#endif

#endif  // Py_LIMITED_API
