#include "host/convert.hpp"

namespace ratevane::host {

Ref to_host(const Remaining& remaining) {
  Ref dict = checked(PyDict_New());
  for (const auto& [name, left] : remaining) {
    Ref key = checked(PyUnicode_FromString(name));
    Ref value = checked(PyLong_FromUnsignedLongLong(left));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) api_call_failed();
  }
  return dict;
}

}  // namespace ratevane::host
