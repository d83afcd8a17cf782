#include "executor/worker_config.hpp"

#include <limits>
#include <string>

#include "executor/executor_error.hpp"
#include "os/os.hpp"

namespace ratevane::exec::detail {

std::optional<std::size_t> parse_positive_count(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::size_t decide_worker_count(const char* override_text, unsigned hardware) {
  if (override_text == nullptr) return hardware == 0 ? 1 : hardware;
  if (auto n = parse_positive_count(override_text)) return *n;
  throw ExecutorError(std::string("building the executor failed: ") + kWorkerThreadsVar +
                      " must be a positive integer, not \"" + override_text + "\"");
}

void name_worker_thread(std::thread& thread) noexcept {
  static_assert(sizeof(kWorkerThreadName) <= 16, "Linux thread names hold 15 characters");
  os::name_thread(thread, kWorkerThreadName);
}

}  // namespace ratevane::exec::detail
