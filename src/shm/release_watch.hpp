// How an asyncio burst wait hears a give-back made in any process.
//
// A task cannot sleep on the budget's wake word itself: that would hold an
// executor worker for as long as the wait lasts. So one thread per budget
// with waiting tasks in this process sleeps on the word for all of them and
// wakes their tasks when it changes, within a futex wake-up of the give-back
// on Linux (Windows polls the word). The thread starts with the first
// waiting task and ends about a second after the last one is gone.
//
// The waits keep their backoff timer beside the watch: a holder that died
// gives nothing back, and only a new try clears its permits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "executor/waker.hpp"
#include "engine/shared_ledger.hpp"

namespace ratevane::shm {

// Ready once the budget's wake word no longer holds `seen` (the value the
// refused step read before it looked at the cap). A poll that finds the
// word unchanged registers the task's waker with the budget's watch,
// starting its thread when it has none; dropping the wait unregisters it.
// When no thread can be started the wait stays pending and the backoff
// timer beside it ends the sleep.
class ReleaseWait {
 public:
  ReleaseWait(std::shared_ptr<SharedBudget> budget, uint32_t seen)
      : budget_(std::move(budget)), seen_(seen) {}
  ~ReleaseWait();
  ReleaseWait(const ReleaseWait&) = delete;
  ReleaseWait& operator=(const ReleaseWait&) = delete;

  exec::Poll poll(exec::Context& cx);

 private:
  std::shared_ptr<SharedBudget> budget_;
  uint32_t seen_;
  uint64_t id_ = 0;  // the registration, 0 while there is none
};

// The watch threads running in this process (for tests).
std::size_t release_watch_threads();

}  // namespace ratevane::shm
