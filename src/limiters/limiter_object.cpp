#include "limiters/limiter_object.hpp"

#include <new>

#include "host/entry.hpp"
#include "host/types.hpp"

namespace ratevane {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

Result<LimiterConfig> convert_args(PyObject* args, PyObject* kwargs, const char* owner) {
  const host::ArgSpec spec{owner, "__new__", kLimiterParams, 10, 0};
  PyObject* slots[10];
  if (auto r = host::extract_args(spec, args, kwargs, slots); !r) return std::move(r.error());
  return convert_config(slots);
}

}  // namespace

Result<LimiterConfig> convert_config(PyObject* const* slots) {
  // Converted in positional order; the first failure is the one reported.
  LimiterConfig config;
  std::optional<uint64_t>* integers[] = {&config.sec,        &config.min,        &config.hour,
                                         &config.day,        &config.sec_window, &config.min_window,
                                         &config.hour_window, &config.day_window};
  for (std::size_t i = 0; i < 8; ++i) {
    auto r = host::to_optional_u64(slots[i], kLimiterParams[i]);
    if (!r) return std::move(r.error());
    *integers[i] = *r;
  }
  auto blocking = host::to_bool(slots[8], true, kLimiterParams[8]);
  if (!blocking) return std::move(blocking.error());
  config.blocking = *blocking;
  auto max_burst = host::to_optional_u64(slots[9], kLimiterParams[9]);
  if (!max_burst) return std::move(max_burst.error());
  config.max_burst = *max_burst;
  return config;
}

PyObject* new_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* owner) {
  return host::entry([&]() -> Result<Ref> {
    Result<LimiterConfig> config = convert_args(args, kwargs, owner);
    if (!config) return std::move(config.error());
    Expected<LimiterContents> contents = build_limiter(*config);
    if (!contents) return HostError(std::move(contents.error()));

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return HostError::fetch();  // the contents go with this scope
    auto* record = reinterpret_cast<LimiterObject*>(self);
    new (&record->contents) LimiterContents(std::move(*contents));
    new (&record->borrows) host::BorrowCounter(0);
    return Ref::steal(self);
  });
}

void delete_limiter(PyObject* self) {
  host::entry_unraisable(self, [&] {
    auto* record = reinterpret_cast<LimiterObject*>(self);
    record->contents.~LimiterContents();
    record->borrows.~atomic();
    host::free_instance(self);
  });
}

}  // namespace ratevane
