// The blocking wait's sleep: short slices so that another waiter's
// interruption is seen within about 10 ms, and a check of the host's pending
// signals at every 500 ms slept. One sleeper serves one blocking call and
// counts the time slept since its last check over all the call's sleeps: the
// steps of a wait are mostly far shorter than 500 ms (a burst wait's are at
// most 100 ms), and a sum that started again with every sleep would let such
// a wait go on for ever without looking at the interrupt key.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/clock.hpp"
#include "engine/permit_wait.hpp"

namespace ratevane {

inline constexpr int64_t kSliceNs = 10'000'000;          // longest slice
inline constexpr int64_t kSignalCheckNs = 500'000'000;   // slept time between signal checks

class SlicedSleeper : public Sleeper {
 public:
  explicit SlicedSleeper(const MonotonicClock& clock = system_monotonic_clock()) : clock_(clock) {}

  // Sleeps `ms` in slices of at most 10 ms. Returns true (interrupted) when
  // the flag is found set before a slice, or when a signal check made at a
  // 500 ms mark fails; the latter sets the flag for every other waiter. The
  // marks fall at every 500 ms slept by this sleeper, whichever sleep they
  // land in.
  bool sleep(uint64_t ms, std::atomic<bool>& interrupted) override;

 protected:
  // Sleeps one slice; true when a wake-up ends the whole sleep early (a
  // sleeper that waits on something; the plain one never does).
  virtual bool sleep_slice(int64_t ns);
  // Runs the host's pending signal handlers; true when one reported an
  // error. Implementations take the interpreter lock themselves.
  virtual bool signal_check_failed() = 0;

 private:
  const MonotonicClock& clock_;
  int64_t since_check_ = 0;  // slices slept since the last signal check, in ns
};

}  // namespace ratevane
