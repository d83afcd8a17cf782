// Hand-driven clocks for the engine tests: time moves only when a test says
// so, and a read can be made to fail (an abnormal failure inside a ledger
// step) or to see the clock jump.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

#include "engine/clock.hpp"

namespace ratevane::testing {

inline constexpr int64_t kNsPerMs = 1'000'000;
inline constexpr int64_t kNsPerSec = 1'000'000'000;

// 2023-11-15T00:00:00Z: the start of a UTC day, so also the start of a UTC
// minute, hour and even hour. Tests place the clock relative to it.
inline constexpr int64_t kDay = 1'700'006'400;

inline constexpr int64_t sec(int64_t s) { return s * kNsPerSec; }
inline constexpr int64_t ms(int64_t m) { return m * kNsPerMs; }
// kDay + s seconds + m milliseconds, in nanoseconds since the epoch.
inline constexpr int64_t at(int64_t s, int64_t m = 0) { return sec(kDay + s) + ms(m); }

class FakeWallClock final : public WallClock {
 public:
  explicit FakeWallClock(int64_t ns = at(0)) : now_(ns) {}

  int64_t now_ns() const override {
    const uint64_t n = reads_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (fail_on_read_.load(std::memory_order_relaxed) == n) {
      throw std::runtime_error("wall clock failed");
    }
    if (before_read_) before_read_(n);
    return now_.load(std::memory_order_relaxed);
  }

  void set(int64_t ns) { now_.store(ns, std::memory_order_relaxed); }
  void advance(int64_t ns) { now_.fetch_add(ns, std::memory_order_relaxed); }
  int64_t now() const { return now_.load(std::memory_order_relaxed); }
  uint64_t reads() const { return reads_.load(std::memory_order_relaxed); }

  // The next read throws, as an internal fault inside a ledger step would.
  void fail_next_read() { fail_read_after(0); }
  // Lets `k` more reads through, then the one after them throws.
  void fail_read_after(uint64_t k) { fail_on_read_.store(reads() + k + 1, std::memory_order_relaxed); }
  // Runs before every read with the read's number (1 = first read ever);
  // it may move the clock. Single-threaded tests only.
  void on_read(std::function<void(uint64_t)> hook) { before_read_ = std::move(hook); }

 private:
  std::atomic<int64_t> now_;
  mutable std::atomic<uint64_t> reads_{0};
  std::atomic<uint64_t> fail_on_read_{0};
  std::function<void(uint64_t)> before_read_;
};

class FakeMonotonicClock final : public MonotonicClock {
 public:
  int64_t now_ns() const override { return now_.load(std::memory_order_relaxed); }
  void advance(int64_t ns) { now_.fetch_add(ns, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> now_{123 * kNsPerSec};  // any origin: only differences count
};

}  // namespace ratevane::testing
