// How many workers the executor gets, and what they are called.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <thread>

namespace ratevane::exec {

// Environment variable that overrides the worker count. It must hold a
// positive decimal integer; anything else makes building the executor fail.
inline constexpr char kWorkerThreadsVar[] = "RATEVANE_WORKER_THREADS";
// Name of every worker thread (15 characters: the most a Linux thread name
// holds), as shown in /proc/<pid>/task/<tid>/comm, top and gdb.
inline constexpr char kWorkerThreadName[] = "ratevane-worker";

namespace detail {

// A positive decimal integer made of ASCII digits only (no sign, no blanks,
// nothing after), that fits in size_t; otherwise nothing.
std::optional<std::size_t> parse_positive_count(std::string_view text) noexcept;

// The worker count: the override when `override_text` is not null, else
// `hardware` (the processor count the platform reports; 0 means unknown and
// counts as 1). A bad override throws ExecutorError naming the variable and
// the offending value.
std::size_t decide_worker_count(const char* override_text, unsigned hardware);

// Gives `thread` the worker name. Done by the thread that starts the worker,
// so the name is in place before the executor is handed out; failing to set
// it is harmless.
void name_worker_thread(std::thread& thread) noexcept;

}  // namespace detail
}  // namespace ratevane::exec
