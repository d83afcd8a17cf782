#include "host/convert.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include "engine/fault.hpp"
#endif

namespace ratevane::host {

Ref to_host(const Remaining& remaining) {
#ifdef RATEVANE_FAULT_INJECTION
  fault::maybe_fail(fault::Point::conversion);
#endif
  Ref dict = checked(PyDict_New());
  for (const auto& [name, left] : remaining) {
    Ref key = checked(PyUnicode_FromString(name));
    Ref value = checked(PyLong_FromUnsignedLongLong(left));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) api_call_failed();
  }
  return dict;
}

}  // namespace ratevane::host
