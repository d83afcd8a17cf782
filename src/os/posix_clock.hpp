// The POSIX clock reads, inline (see os.hpp). Included by os.hpp only.
#pragma once

#include <time.h>

namespace ratevane::os {

namespace detail {
inline int64_t read_clock(clockid_t id) noexcept {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
}  // namespace detail

inline int64_t wall_clock_ns() noexcept { return detail::read_clock(CLOCK_REALTIME); }
inline int64_t monotonic_ns() noexcept { return detail::read_clock(CLOCK_MONOTONIC); }

}  // namespace ratevane::os
