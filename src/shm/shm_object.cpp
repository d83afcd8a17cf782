#include "shm/shm_object.hpp"

#include <new>
#include <optional>

#include "engine/config.hpp"
#include "host/entry.hpp"
#include "host/types.hpp"
#include "limiters/limiter_object.hpp"

namespace ratevane::shm {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

struct ShmConfig {
  std::string name;
  LimiterConfig limits;
};

Result<std::string> to_name(PyObject* slot) {
  if (!PyUnicode_Check(slot)) {
    return HostError(ErrorType::type_error,
                     "argument 'name': '" + host::type_qualname(slot) +
                         "' object cannot be converted to 'PyString'");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(slot, &size);
  if (text == nullptr) return HostError::fetch();
  return std::string(text, static_cast<std::size_t>(size));
}

Result<ShmConfig> convert_args(PyObject* args, PyObject* kwargs, const char* owner) {
  const char* names[11] = {"name"};
  for (std::size_t i = 0; i < 10; ++i) names[i + 1] = kLimiterParams[i];
  const host::ArgSpec spec{owner, "__new__", names, 11, 1};
  PyObject* slots[11];
  if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
  Result<std::string> name = to_name(slots[0]);
  if (!name) return std::move(name.error());
  Result<LimiterConfig> limits = convert_config(slots + 1);
  if (!limits) return std::move(limits.error());
  return ShmConfig{std::move(*name), *limits};
}

// The budget opened and bound, without the interpreter lock: opening may
// wait for another process's maker, and binding takes the budget's lock.
Expected<ShmContents, HostError> open_budget(const ShmConfig& config) {
  // The in-process classes' checks and messages, then the windows they
  // chose, in their order.
  Expected<LimiterContents> checked = build_limiter(config.limits);
  if (!checked) return HostError(std::move(checked.error()));
  const LimiterCore& core = *checked->core;
  WindowSpec specs[kMaxWindows];
  for (std::size_t i = 0; i < core.size(); ++i) {
    specs[i] = WindowSpec{core.window(i).name, core.window(i).limit, core.window(i).window_seconds};
  }
  if (auto bad = check_budget_name(config.name)) return HostError(std::move(*bad));
  std::optional<Expected<std::shared_ptr<SharedBudget>, BudgetError>> budget;
  std::optional<Expected<std::shared_ptr<SharedLimiter>>> limiter;
  {
    host::ReleaseLock unlocked;
    budget.emplace(SharedBudget::open(config.name));
    if (*budget) {
      limiter.emplace(SharedLimiter::bind(**budget, specs, core.size(), config.limits.max_burst));
    }
  }
  if (!*budget) return budget_error(std::move(budget->error()));
  if (!*limiter) return HostError(std::move(limiter->error()));
  return ShmContents{std::move(**limiter), std::make_shared<std::atomic<bool>>(false),
                     config.limits.blocking};
}

}  // namespace

HostError budget_error(BudgetError&& e) {
  if (e.error_number == 0) return HostError(std::move(e.error));
  // OSError(errno, text, filename) becomes the errno's own subclass
  // (PermissionError, FileExistsError, ...).
  Ref text = host::checked(PyUnicode_FromString(e.error.message.c_str()));
  Ref path = host::checked(PyUnicode_FromString(e.path.c_str()));
  Ref args = host::checked(Py_BuildValue("(iOO)", e.error_number, text.get(), path.get()));
  PyErr_SetObject(PyExc_OSError, args.get());
  return HostError::fetch();
}

PyObject* new_shm_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                          const char* owner) {
  return host::entry([&]() -> Result<Ref> {
    Result<ShmConfig> config = convert_args(args, kwargs, owner);
    if (!config) return std::move(config.error());
    Expected<ShmContents, HostError> contents = open_budget(*config);
    if (!contents) return std::move(contents.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return HostError::fetch();
    auto* record = reinterpret_cast<ShmObject*>(self);
    new (&record->contents) ShmContents(std::move(*contents));
    new (&record->borrows) host::BorrowCounter(0);
    return Ref::steal(self);
  });
}

void delete_shm_limiter(PyObject* self) {
  host::entry_unraisable(self, [&] {
    auto* record = reinterpret_cast<ShmObject*>(self);
    record->contents.~ShmContents();
    record->borrows.~atomic();
    host::free_instance(self);
  });
}

}  // namespace ratevane::shm
