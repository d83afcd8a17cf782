// Wakers: how anything, on any thread, makes a suspended task runnable.
//
// A task body is polled with a `Context`; when it answers `Poll::pending`
// it must first have stored a copy of the context's waker wherever the event
// it waits for will happen (a timer, a join state, a cancel signal). Firing
// that waker later schedules the task again.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace ratevane::exec {

enum class Poll { ready, pending };

// Something a waker can wake: in the executor that is a task record, in
// tests it may be a plain flag. Reference counted intrusively so a waker
// copy is one atomic increment.
class Wakeable {
 public:
  Wakeable() = default;
  Wakeable(const Wakeable&) = delete;
  Wakeable& operator=(const Wakeable&) = delete;

  void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

  // Dropping the last reference destroys the object, and with a task record
  // that may run the destructor of a task body that never finished. So a
  // reference must not be released while holding a lock that such a
  // destructor could take (the timer lock, a join lock, a signal lock).
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Must be safe from any thread, and must not block beyond a short
  // critical section.
  virtual void wake_up() noexcept = 0;

 protected:
  virtual ~Wakeable() = default;

 private:
  std::atomic<std::size_t> refs_{1};
};

class Waker {
 public:
  Waker() noexcept = default;
  // Takes over one reference the caller already holds.
  static Waker adopt(Wakeable* target) noexcept { return Waker(target); }
  // Adds a reference of its own.
  static Waker share(Wakeable* target) noexcept {
    if (target) target->add_ref();
    return Waker(target);
  }

  Waker(const Waker& other) noexcept : target_(other.target_) {
    if (target_) target_->add_ref();
  }
  Waker(Waker&& other) noexcept : target_(std::exchange(other.target_, nullptr)) {}
  Waker& operator=(Waker other) noexcept {
    std::swap(target_, other.target_);
    return *this;
  }
  ~Waker() {
    if (target_) target_->release();
  }

  // Safe from any thread; an empty waker does nothing.
  void wake() const noexcept {
    if (target_) target_->wake_up();
  }

  // True when both wake the same target: lets a pollable skip replacing a
  // stored waker (and the atomic traffic that costs) on every poll.
  bool will_wake(const Waker& other) const noexcept { return target_ == other.target_; }

  explicit operator bool() const noexcept { return target_ != nullptr; }

 private:
  explicit Waker(Wakeable* target) noexcept : target_(target) {}
  Wakeable* target_ = nullptr;
};

// What a task body is given each time it is polled.
class Context {
 public:
  explicit Context(const Waker& waker) noexcept : waker_(waker) {}
  const Waker& waker() const noexcept { return waker_; }

 private:
  const Waker& waker_;
};

}  // namespace ratevane::exec
