#include "engine/permit_wait.hpp"

#include <algorithm>

namespace ratevane {

uint64_t short_step_ms(uint64_t pass) {
  return std::min<uint64_t>(uint64_t{10} << std::min<uint64_t>(pass, 6), 100);
}

uint64_t window_step_ms(uint64_t pass, const Duration& until_reopen) {
  const uint64_t ceiling = uint64_t{10} << std::min<uint64_t>(pass, 10);
  return std::min(ceiling, std::min<uint64_t>(until_reopen.whole_ms(), 1000));
}

void PermitWait::abandon() {
  if (holds_burst_) {
    holds_burst_ = false;
    give_back_burst(burst_);
  }
}

PermitWait::Step PermitWait::next() {
  if (interrupted_.load(std::memory_order_acquire)) {
    abandon();
    return {Kind::interrupted, 0};
  }
  if (burst_.max_burst && !holds_burst_) {
    // take_burst retries a lost compare-and-swap without sleeping; it fails
    // only while the bound is reached.
    if (!take_burst(burst_)) return {Kind::sleep, short_step_ms(pass_)};
    holds_burst_ = true;
  }
  {
    CoreLock lock(core_);
    if (lock.poisoned()) {
      abandon();
      return {Kind::interrupted, 0};
    }
    if (take_windows_locked(core_, lock)) {
      holds_burst_ = false;  // the permit now belongs to the caller
      return {Kind::granted, 0};
    }
  }
  const std::optional<Duration> wait = time_until_next_window(core_);
  return {Kind::sleep, wait ? window_step_ms(pass_, *wait) : short_step_ms(pass_)};
}

Take wait_for_permit(LimiterCore& core, const BurstBound& burst,
                     std::atomic<bool>& interrupted, Sleeper& sleeper) {
  PermitWait wait(core, burst, interrupted);
  for (;;) {
    const PermitWait::Step step = wait.next();
    switch (step.kind) {
      case PermitWait::Kind::granted:
        return Take::granted;
      case PermitWait::Kind::interrupted:
        return Take::interrupted;
      case PermitWait::Kind::sleep:
        if (sleeper.sleep(step.sleep_ms, interrupted)) return Take::interrupted;
        wait.slept();
        break;
    }
  }
}

}  // namespace ratevane
