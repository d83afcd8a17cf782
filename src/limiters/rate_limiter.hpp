// RateLimiter: the limiter for threaded code.
#pragma once

#include "host/errors.hpp"

namespace ratevane {

// The class object, created on first need (interpreter lock held).
host::Result<PyTypeObject*> rate_limiter_type();

}  // namespace ratevane
