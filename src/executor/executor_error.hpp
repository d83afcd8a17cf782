#pragma once

#include <stdexcept>
#include <string>

namespace ratevane::exec {

// The executor could not be built. Thrown on the thread whose spawn tried to
// build it, and at once on every later attempt in the same process.
class ExecutorError : public std::runtime_error {
 public:
  explicit ExecutorError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace ratevane::exec
