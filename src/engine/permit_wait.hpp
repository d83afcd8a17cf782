// The waiting acquisition shared by both limiter classes, as a state machine
// that never sleeps itself: each call of `next` runs one pass and answers
// granted, interrupted, or how long to sleep before the next pass. The
// blocking class sleeps on its thread between passes; the awaitable class
// suspends its task on a timer.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/ledger.hpp"

namespace ratevane {

// Sleep while waiting for a burst permit, or when no waiting time is known:
// 10, 20, 40, 80, then 100 ms.
uint64_t short_step_ms(uint64_t pass);
// Sleep while a window is full: 10 × 2^min(pass, 10) ms, but never past the
// first full window's reopening and never more than 1000 ms.
uint64_t window_step_ms(uint64_t pass, const Duration& until_reopen);

class PermitWait {
 public:
  enum class Kind : unsigned char { granted, interrupted, sleep };
  struct Step {
    Kind kind;
    uint64_t sleep_ms;
  };

  PermitWait(LimiterCore& core, const BurstBound& burst, std::atomic<bool>& interrupted)
      : core_(core), burst_(burst), interrupted_(interrupted) {}
  PermitWait(const PermitWait&) = delete;
  PermitWait& operator=(const PermitWait&) = delete;
  // A wait dropped before its grant (an interrupted sleep, a cancelled task)
  // gives back the burst permit it took, exactly once.
  ~PermitWait() { abandon(); }

  // One pass: the interrupt test, the burst permit, the window step. After a
  // grant the burst permit belongs to the caller (until release); after an
  // interruption it has been given back.
  Step next();
  // Called after each sleep between passes.
  void slept() {
    if (pass_ != UINT64_MAX) ++pass_;
  }
  // Gives back the burst permit this wait holds, if any.
  void abandon();

  uint64_t pass() const { return pass_; }
  bool holds_burst() const { return holds_burst_; }

 private:
  LimiterCore& core_;
  BurstBound burst_;
  std::atomic<bool>& interrupted_;
  uint64_t pass_ = 0;
  bool holds_burst_ = false;
};

// How the blocking wait sleeps between passes. Returns true when the sleep
// was interrupted.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual bool sleep(uint64_t ms, std::atomic<bool>& interrupted) = 0;
};

// The blocking form: passes and sleeps until a grant or an interruption.
// Never refuses.
Take wait_for_permit(LimiterCore& core, const BurstBound& burst,
                     std::atomic<bool>& interrupted, Sleeper& sleeper);

}  // namespace ratevane
