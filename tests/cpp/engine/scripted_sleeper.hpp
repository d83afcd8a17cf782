// A sliced sleeper on hand-driven clocks: it records every sleep asked for,
// every slice and every signal check, and can be told to make a check fail
// (as a pending interrupt key would) or to oversleep each slice.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "engine/sleep.hpp"
#include "fake_clock.hpp"

namespace ratevane::testing {

class ScriptedSleeper final : public SlicedSleeper {
 public:
  // `wall`, when given, moves on with every slice too (for whole waits,
  // whose windows follow the wall clock).
  explicit ScriptedSleeper(FakeMonotonicClock& clock, FakeWallClock* wall = nullptr)
      : SlicedSleeper(clock), clock_(clock), wall_(wall) {}

  std::vector<uint64_t> calls;        // the length of every sleep asked for, in ms
  std::vector<int64_t> slices;        // requested slice lengths in ns, over all calls
  std::vector<std::size_t> checks;    // slices slept over all calls (from 1) at each signal check
  std::size_t fail_check = 0;         // the n-th check (from 1) reports an error; 0: none
  int64_t oversleep_ns = 0;           // each slice lasts this much longer than asked
  std::function<void(std::size_t)> after_slice;  // with the slice number in this call

  bool sleep(uint64_t ms, std::atomic<bool>& interrupted) override {
    calls.push_back(ms);
    if (calls.size() > 100'000) throw std::logic_error("the wait never ends");
    call_start_ = slices.size();
    return SlicedSleeper::sleep(ms, interrupted);
  }

 protected:
  bool sleep_slice(int64_t ns) override {
    slices.push_back(ns);
    clock_.advance(ns + oversleep_ns);
    if (wall_) wall_->advance(ns + oversleep_ns);
    if (after_slice) after_slice(slices.size() - call_start_);
    return false;
  }
  bool signal_check_failed() override {
    checks.push_back(slices.size());
    return checks.size() == fail_check;
  }

 private:
  FakeMonotonicClock& clock_;
  FakeWallClock* wall_;
  std::size_t call_start_ = 0;
};

inline int64_t total_ns(const std::vector<int64_t>& slices) {
  return std::accumulate(slices.begin(), slices.end(), int64_t{0});
}

}  // namespace ratevane::testing
