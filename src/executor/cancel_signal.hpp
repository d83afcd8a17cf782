// A one-shot cancellation channel carrying no data, between exactly one
// sender and one receiver that may live on different threads.
//
// States: armed -> fired (the sender fired) or closed (the sender was dropped
// without firing, or the receiver was dropped). Once fired or closed it
// never changes again. Neither side ever waits for the other beyond a
// critical section of a few instructions.
#pragma once

#include <memory>
#include <utility>

#include "executor/waker.hpp"

namespace ratevane::exec {

namespace detail {
struct CancelBlock;
}

class CancelSender;
class CancelReceiver;

std::pair<CancelSender, CancelReceiver> make_cancel_signal();

class CancelSender {
 public:
  CancelSender() noexcept = default;
  CancelSender(CancelSender&&) noexcept = default;
  CancelSender& operator=(CancelSender&& other) noexcept;
  CancelSender(const CancelSender&) = delete;
  CancelSender& operator=(const CancelSender&) = delete;
  // Closes the signal without firing, waking a waiting receiver.
  ~CancelSender();

  // Fires the signal and gives up the sender (it is empty afterwards), waking
  // a waiting receiver. No effect if the receiver is already gone. Firing an
  // empty sender throws std::logic_error.
  void fire();

  explicit operator bool() const noexcept { return block_ != nullptr; }

 private:
  friend std::pair<CancelSender, CancelReceiver> make_cancel_signal();
  explicit CancelSender(std::shared_ptr<detail::CancelBlock> block) noexcept
      : block_(std::move(block)) {}
  void settle(bool fired) noexcept;

  std::shared_ptr<detail::CancelBlock> block_;
};

class CancelReceiver {
 public:
  enum class State { fired, closed, not_yet };

  CancelReceiver() noexcept = default;
  CancelReceiver(CancelReceiver&&) noexcept = default;
  CancelReceiver& operator=(CancelReceiver&& other) noexcept;
  CancelReceiver(const CancelReceiver&) = delete;
  CancelReceiver& operator=(const CancelReceiver&) = delete;
  // Closes the signal; a later fire does nothing.
  ~CancelReceiver();

  // fired or closed once settled (for good); otherwise not_yet, and `waker`
  // is stored (replacing an earlier one) to be woken when the signal fires
  // or the sender is dropped. Polling an empty receiver throws
  // std::logic_error.
  State poll(const Waker& waker);

  explicit operator bool() const noexcept { return block_ != nullptr; }

 private:
  friend std::pair<CancelSender, CancelReceiver> make_cancel_signal();
  explicit CancelReceiver(std::shared_ptr<detail::CancelBlock> block) noexcept
      : block_(std::move(block)) {}
  void close() noexcept;

  std::shared_ptr<detail::CancelBlock> block_;
};

}  // namespace ratevane::exec
