// Helpers for driving executor pieces from a plain test thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "executor/executor.hpp"

namespace ratevane::exec::testing {

using namespace std::chrono_literals;

// A wake target that a test thread can block on, and that counts wakes.
class Notifier final : public Wakeable {
 public:
  static Waker make(Notifier*& out) {
    out = new Notifier();
    return Waker::adopt(out);
  }

  void wake_up() noexcept override {
    {
      std::lock_guard lk(mu_);
      ++wakes_;
    }
    cv_.notify_all();
  }

  // Waits until the wake count exceeds `seen`; false on timeout.
  bool wait_past(int seen, std::chrono::milliseconds limit) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, limit, [&] { return wakes_ > seen; });
  }

  int wakes() const {
    std::lock_guard lk(mu_);
    return wakes_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int wakes_ = 0;
};

// Polls `f(Context&)` on the calling thread until it is ready, sleeping on
// its waker in between. False if it is still pending after `limit`.
template <class F>
bool block_on(F&& f, std::chrono::milliseconds limit = 20s) {
  Notifier* n = nullptr;
  Waker waker = Notifier::make(n);
  Context cx(waker);
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const int seen = n->wakes();
    if (f(cx) == Poll::ready) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left <= 0ms || !n->wait_past(seen, left)) return false;
  }
}

// Waits for a task's end from the test thread.
inline bool join(JoinHandle& h, TaskOutcome& out, std::chrono::milliseconds limit = 20s) {
  return block_on([&](Context& cx) { return h.poll(cx, out); }, limit);
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// A helper thread that is told to quit and joined however the test ends,
// so a failed assertion reports instead of terminating on a joinable thread.
class HelperThread {
 public:
  template <class F>
  explicit HelperThread(F body) : thread_([this, body]() mutable { body(quit_); }) {}
  ~HelperThread() {
    quit_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// Burns roughly `n` short steps; the fence keeps the loop from being
// optimised away.
inline void spin(int n) {
  for (int k = 0; k < n; ++k) std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Threads of this process carrying the worker name.
inline int count_worker_threads() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == kWorkerThreadName) ++n;
  }
  return n;
}

}  // namespace ratevane::exec::testing
