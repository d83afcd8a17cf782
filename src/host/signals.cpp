#include "host/signals.hpp"

namespace ratevane::host {
namespace {

#ifdef PYPY_VERSION
// A Python function that does nothing: calling it lets the interpreter run
// its pending signal handlers, whose exception comes back from the call.
// Made at module initialisation: made later, a pending signal would
// interrupt the making itself.
PyObject* probe = nullptr;  // filled once under the interpreter lock

PyObject* signal_probe() {
  if (probe == nullptr) {
    Ref globals = checked(PyDict_New());
    Ref builtins = checked(PyImport_ImportModule("builtins"));
    if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) {
      api_call_failed();
    }
    probe = PyRun_String("lambda: None", Py_eval_input, globals.get(), globals.get());
    if (probe == nullptr) api_call_failed();
  }
  return probe;
}
#endif

}  // namespace

void prepare_signal_check() {
#ifdef PYPY_VERSION
  signal_probe();
#endif
}

bool signal_check_failed([[maybe_unused]] bool thorough) {
#ifdef PYPY_VERSION
  if (!thorough) return false;
  Ref result = Ref::steal(PyObject_CallNoArgs(signal_probe()));
  if (result) return false;
#else
  if (PyErr_CheckSignals() != -1) return false;
#endif
  HostError discarded = HostError::fetch();
  (void)discarded;
  return true;
}

}  // namespace ratevane::host
