// The two classes of ratevane_shm.
#pragma once

#include "host/errors.hpp"

namespace ratevane::shm {

// The class objects, created on first need (interpreter lock held).
host::Result<PyTypeObject*> shm_rate_limiter_type();
host::Result<PyTypeObject*> shm_async_rate_limiter_type();

}  // namespace ratevane::shm
