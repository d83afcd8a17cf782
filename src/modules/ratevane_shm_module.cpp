// The initialisation entry of ratevane_shm: the two host-budget classes and
// remove(). Like ratevane, it starts nothing at import.
#include <string>

#include "engine/shared_ledger.hpp"
#include "host/convert.hpp"
#include "host/entry.hpp"
#include "host/signals.hpp"
#include "modules/fork.hpp"
#include "os/shm.hpp"
#include "shm/shm_classes.hpp"
#include "shm/shm_object.hpp"

namespace ratevane::shm {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

// remove(name): removes the budget's mapping. Processes that use it keep
// counting in their mapping; the next limiter of that name makes a new one.
// True when there was one to remove.
PyObject* remove(PyObject*, PyObject* arg) {
  return host::entry([&]() -> Result<Ref> {
    if (!PyUnicode_Check(arg)) {
      return HostError(ErrorType::type_error, "argument 'name': '" + host::type_qualname(arg) +
                                                  "' object cannot be converted to 'PyString'");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
    if (text == nullptr) return HostError::fetch();
    const std::string name(text, static_cast<std::size_t>(size));
    if (auto bad = check_budget_name(name)) return HostError(std::move(*bad));
    const std::string object = budget_object_name(name);
    const int removed = os::remove_shared_region(object);
    if (removed < 0) {
      return budget_error(BudgetError{Error{ErrorType::value_error,
                                            "cannot remove shared budget '" + name + "'"},
                                      errno, os::shared_region_path(object)});
    }
    return host::to_host(removed == 1);
  });
}

PyMethodDef functions[] = {
    {"remove", remove, METH_O, "remove(name)\n--\n\n"},
#ifdef RATEVANE_FAULT_INJECTION
    {"_arm_step_pause", arm_step_pause, METH_VARARGS, nullptr},
    {"_put_holder", put_holder, METH_VARARGS, nullptr},
    {"_set_burst_step", set_burst_step, METH_VARARGS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ratevane_shm", "", 0, functions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_cell = nullptr;  // guarded by the interpreter lock; never emptied

Result<bool> add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  Ref text = host::checked(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) != 0) return HostError::fetch();
  if (PyObject_SetAttrString(module, name, value) != 0) return HostError::fetch();
  return true;
}

Result<bool> register_all(PyObject* module) {
  host::prepare_signal_check();
  if (!host::register_exit_hook()) return HostError::fetch();
  if (!modules::register_fork_handlers()) {
    return HostError(ErrorType::runtime_error, "cannot register the fork handlers");
  }
  Ref doc = host::checked(PyUnicode_FromString(""));
  if (PyObject_SetAttrString(module, "__doc__", doc.get()) != 0) return HostError::fetch();
  Ref all = host::checked(PyList_New(0));
  if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return HostError::fetch();
  using Factory = Result<PyTypeObject*> (*)();
  const std::pair<const char*, Factory> classes[] = {
      {"RateLimiter", shm_rate_limiter_type},
      {"AsyncRateLimiter", shm_async_rate_limiter_type},
  };
  for (const auto& [name, factory] : classes) {
    Result<PyTypeObject*> type = factory();
    if (!type) return std::move(type.error());
    if (auto r = add(module, all.get(), name, reinterpret_cast<PyObject*>(*type)); !r) return r;
  }
  Ref remove_function = Ref::steal(PyObject_GetAttrString(module, "remove"));
  if (!remove_function) return HostError::fetch();
  return add(module, all.get(), "remove", remove_function.get());
}

}  // namespace
}  // namespace ratevane::shm

using namespace ratevane;

PyMODINIT_FUNC PyInit_ratevane_shm() {
  return host::entry([&]() -> host::Result<host::Ref> {
    if (shm::module_cell != nullptr) return host::Ref::borrow(shm::module_cell);
    host::Ref module = host::Ref::steal(PyModule_Create2(&shm::module_def, 3));
    if (!module) return host::HostError::fetch();
    if (auto r = shm::register_all(module.get()); !r) return std::move(r.error());
    if (shm::module_cell == nullptr) shm::module_cell = module.release();
    return host::Ref::borrow(shm::module_cell);
  });
}
