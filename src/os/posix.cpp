// The operating-system layer on POSIX (Linux is what is built and tested).
#include "os/os.hpp"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace ratevane::os {

void sleep_ns(int64_t ns) noexcept {
  if (ns <= 0) return;
  timespec req{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  // clock_nanosleep reports EINTR through its result, not errno, and leaves
  // what is left in req.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &req) == EINTR) {
  }
}

void yield_processor() noexcept { sched_yield(); }

void name_thread(std::thread& thread, const char* name) noexcept {
#if defined(__linux__)
  pthread_setname_np(thread.native_handle(), name);
#else
  (void)thread;
  (void)name;
#endif
}

void prefer_prompt_wakeups() noexcept {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

unsigned processor_count() noexcept {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

std::optional<std::string> environment_variable(const char* name) {
  // Python's os.environ writes through to the C environment with putenv.
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool register_fork_handlers(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept {
  return pthread_atfork(prepare, in_parent, in_child) == 0;
}

}  // namespace ratevane::os
