// ratevane's initialisation entry: creates the module once per process,
// registers both classes and lists them in __all__. Nothing else starts:
// no thread, no timer, no executor.
#include "bridge/py_callbacks.hpp"
#include "host/entry.hpp"
#include "host/signals.hpp"
#include "limiters/async_rate_limiter.hpp"
#include "limiters/rate_limiter.hpp"
#include "modules/fork.hpp"

#ifdef RATEVANE_FAULT_INJECTION
#include <cctype>
#include <cstring>
#include <iterator>
#include <string_view>

#include "engine/fault.hpp"
#endif

namespace ratevane::modules {

using host::checked;
using host::entry;
using host::fail;
using host::HostError;
using host::Ref;
using host::Result;

namespace {

#ifdef RATEVANE_FAULT_INJECTION
// Test builds only: _arm_fault(point, count) makes the named point fail its
// next `count` passes. Points: "wall_clock" (a ledger step; poisons the
// core), "task_work" (a background task), "conversion" (a result becoming a
// host object), "leak" (release() keeps a new float alive for good),
// "fork_handlers" (the next forks run without the module's fork handlers),
// "use_after_free" (release() reads a heap cell it has just freed),
// "native_leak" (release() allocates a heap cell and forgets it).
PyObject* arm_fault(PyObject*, PyObject* args) {
  return entry([&]() -> Result<Ref> {
    const char* name;
    int count;
    if (!PyArg_ParseTuple(args, "si", &name, &count)) return HostError::fetch();
    static const char* const points[] = {"wall_clock",    "task_work",      "conversion", "leak",
                                         "fork_handlers", "use_after_free", "native_leak"};
    static_assert(std::size(points) == static_cast<std::size_t>(fault::Point::count_));
    for (int i = 0; i < static_cast<int>(fault::Point::count_); ++i) {
      if (std::strcmp(points[i], name) == 0) {
        fault::armed(static_cast<fault::Point>(i)).store(count);
        return Ref::borrow(Py_None);
      }
    }
    return HostError(ErrorType::value_error, std::string("unknown fault point ") + name);
  });
}

PyMethodDef test_methods[] = {
    {"_arm_fault", arm_fault, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#define RATEVANE_MODULE_METHODS test_methods

// Test builds only: _build_info tells the tests how the module was built,
// {"sanitizers": ["address", "undefined"]} under the sanitizers.
Result<bool> add_build_info(PyObject* module) {
  // The build's b_sanitize as Meson printed it: "none", "address,undefined"
  // or "['address', 'undefined']".
  Ref names = checked(PyList_New(0));
  const std::string_view all = RATEVANE_SANITIZERS;
  std::size_t i = 0;
  while (i < all.size()) {
    const std::size_t start = i;
    while (i < all.size() && (std::islower(static_cast<unsigned char>(all[i])) || all[i] == '_')) {
      ++i;
    }
    const std::string_view word = all.substr(start, i - start);
    if (word.empty()) {
      ++i;
      continue;
    }
    if (word == "none") continue;
    Ref name = checked(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
    if (PyList_Append(names.get(), name.get()) != 0) return HostError::fetch();
  }
  Ref info = checked(PyDict_New());
  if (PyDict_SetItemString(info.get(), "sanitizers", names.get()) != 0) return HostError::fetch();
  if (PyObject_SetAttrString(module, "_build_info", info.get()) != 0) return HostError::fetch();
  return true;
}
#else
#define RATEVANE_MODULE_METHODS nullptr
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ratevane", "", 0, RATEVANE_MODULE_METHODS, nullptr, nullptr, nullptr,
    nullptr,
};

PyObject* module_cell = nullptr;  // guarded by the interpreter lock; never emptied

PyModuleDef bridge_module_def = {
    PyModuleDef_HEAD_INIT, "awaitable_bridge", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* bridge_module_cell = nullptr;

}  // namespace

Result<bool> add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return HostError::fetch();
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return HostError::fetch();
  }
  Ref text = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) != 0) {
    PyErr_Clear();
    fail("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, value) != 0) return HostError::fetch();
  return true;
}

// Runs the module initialisation steps with a module definition, its cell
// and a registration of its attributes.
template <class Register>
PyObject* init_module(PyModuleDef* def, PyObject** cell, Register&& register_all) {
  return entry([&]() -> Result<Ref> {
    if (*cell != nullptr) return Ref::borrow(*cell);
    Ref module = Ref::steal(PyModule_Create2(def, 3));
    if (!module) return HostError::fetch();
    // Some hosts read an empty m_doc as "no doc"; the module's doc is the
    // empty string all the same.
    Ref doc = checked(PyUnicode_FromString(def->m_doc));
    if (PyObject_SetAttrString(module.get(), "__doc__", doc.get()) != 0) return HostError::fetch();
    if (Result<bool> r = register_all(module.get()); !r) return std::move(r.error());
    if (*cell == nullptr) *cell = module.release();
    return Ref::borrow(*cell);
  });
}

}  // namespace ratevane::modules

using namespace ratevane;

PyMODINIT_FUNC PyInit_ratevane() {
  return modules::init_module(&modules::module_def, &modules::module_cell,
                           [](PyObject* module) -> host::Result<bool> {
                             host::prepare_signal_check();
                             if (!host::register_exit_hook()) return host::HostError::fetch();
                             if (!modules::register_fork_handlers()) {
                               return host::HostError(ErrorType::runtime_error,
                                                      "cannot register the fork handlers");
                             }
                             using Factory = host::Result<PyTypeObject*> (*)();
                             const std::pair<const char*, Factory> classes[] = {
                                 {"RateLimiter", rate_limiter_type},
                                 {"AsyncRateLimiter", async_rate_limiter_type},
                             };
#ifdef RATEVANE_FAULT_INJECTION
                             if (auto r = modules::add_build_info(module); !r) {
                               return std::move(r.error());
                             }
#endif
                             for (const auto& [name, factory] : classes) {
                               host::Result<PyTypeObject*> type = factory();
                               if (!type) return std::move(type.error());
                               auto r = modules::add_to_module(
                                   module, name, reinterpret_cast<PyObject*>(*type));
                               if (!r) return std::move(r.error());
                             }
                             return true;
                           });
}

// The auxiliary module of the asyncio bridge. The file is imported as
// ratevane; this entry runs only when the same file is loaded under the
// name awaitable_bridge.
PyMODINIT_FUNC PyInit_awaitable_bridge() {
  return modules::init_module(&modules::bridge_module_def, &modules::bridge_module_cell,
                           [](PyObject* module) -> host::Result<bool> {
                             return modules::add_to_module(module, "TaskFailure",
                                                        bridge::task_failure_type());
                           });
}
