// The operating system as the engine, the executor and the border see it.
// This folder is the only place that includes a platform's headers: one
// source per platform (posix.cpp, windows.cpp) behind this interface, and
// the clock reads of POSIX inline (posix_clock.hpp), since the ledger reads
// the wall clock on every call and an extra out-of-line hop there costs
// more than the read itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

// Thread-local variables read on every host call: on ELF the initial-exec
// model makes them one load from the thread pointer instead of a call into
// the dynamic loader (taking a word of the static TLS space the loader
// keeps for loaded modules). COFF has no such model; its thread-local
// variables are reached through the TLS index, which is already direct.
#if defined(__ELF__)
#define RATEVANE_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define RATEVANE_FAST_TLS
#endif

namespace ratevane::os {

// Nanoseconds since the Unix epoch, with the clock's own sub-second
// precision; negative before 1970. It may jump when the clock is set.
int64_t wall_clock_ns() noexcept;

// Nanoseconds from an arbitrary origin fixed at boot; never goes back.
int64_t monotonic_ns() noexcept;

// Sleeps this thread for at least `ns` (nothing for 0 or less). Resolution
// about 1 ms on Windows, finer on Linux. A signal does not cut it short.
void sleep_ns(int64_t ns) noexcept;

// Gives the processor to another ready thread, if there is one.
void yield_processor() noexcept;

// Tells the processor that this thread is spinning, so that a sibling
// hardware thread gets the core and the spin costs less power.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Names a thread for debuggers and process listings. Failing is harmless.
// Linux keeps 15 characters of it.
void name_thread(std::thread& thread, const char* name) noexcept;

// For a thread that completes timed waits: asks the kernel not to defer its
// wake-ups to batch them (Linux lets a timed wait end up to 50 us late by
// default). Nothing to do elsewhere; failing is harmless.
void prefer_prompt_wakeups() noexcept;

// Logical processors this process may use, across all processor groups on
// Windows; 0 when the platform cannot say.
unsigned processor_count() noexcept;

// The environment variable's value as UTF-8, or nothing when it is unset.
// Read at the time of the call (on Windows from the process environment,
// which os.environ updates, not from a copy made at start-up).
std::optional<std::string> environment_variable(const char* name);

// Registers handlers that run around fork() as pthread_atfork runs them.
// Where there is no fork() (Windows) there is nothing to guard, and this
// succeeds without registering. False when the platform refused.
bool register_fork_handlers(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept;

}  // namespace ratevane::os

#if !defined(_WIN32)
#include "os/posix_clock.hpp"
#endif
