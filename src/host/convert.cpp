#include "host/convert.hpp"

#include <cstring>

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane::host {
namespace {

// The dict keys, made once: building a str per key per call is most of the
// cost of get_remaining on PyPy.
PyObject* key_for(const char* name) {
  static const char* const names[] = {"second", "minute", "hour", "day", "burst"};
  static PyObject* keys[5] = {};  // filled under the interpreter lock, never released
  for (int i = 0; i < 5; ++i) {
    if (std::strcmp(names[i], name) != 0) continue;
    if (keys[i] == nullptr) keys[i] = checked(PyUnicode_InternFromString(name)).release();
    return keys[i];
  }
  fail(std::string("unknown window name ") + name);
}

}  // namespace

Ref to_host(const Remaining& remaining) {
#ifdef RATEVANE_FAULT_INJECTION
  fault::maybe_fail(fault::Point::conversion);
#endif
  Ref dict = checked(PyDict_New());
  for (const auto& [name, left] : remaining) {
    Ref value = checked(PyLong_FromUnsignedLongLong(left));
    if (PyDict_SetItem(dict.get(), key_for(name), value.get()) != 0) api_call_failed();
  }
  return dict;
}

}  // namespace ratevane::host
