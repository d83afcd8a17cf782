// Argument extraction and parameter conversion at the border.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "host/errors.hpp"

namespace ratevane::host {

// One callable's parameters: all positional-or-keyword, the first
// `required` of them required.
struct ArgSpec {
  const char* owner;     // e.g. "RateLimiter"
  const char* function;  // e.g. "__new__"
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

// Matches the positional tuple and the keyword dict (or null) to the
// parameters; each slot ends up a borrowed object or null (not given).
Result<bool> extract_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                          PyObject** slots);

// Integer or None (or not given) as an optional unsigned 64-bit number.
Result<std::optional<uint64_t>> to_optional_u64(PyObject* slot, const char* name);

// A bool, with a default for a parameter that was not given.
Result<bool> to_bool(PyObject* slot, bool fallback, const char* name);

// The qualified name of an object's type.
std::string type_qualname(PyObject* object);

}  // namespace ratevane::host
