// The pieces of the awaitable classes' methods that do not depend on where
// the budget lives: work that finishes at its first resumption, and the
// call-time steps every method shares.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "bridge/awaitable.hpp"

namespace ratevane {

// Work that runs `f` on its own copy of the limiter's shared parts once.
template <class Share, class F>
class OnceWork final : public bridge::Work {
 public:
  OnceWork(Share share, F f) : share_(std::move(share)), f_(std::move(f)) {}
  bool poll(exec::Context&, bridge::WorkOutcome& out) override {
    out.result = f_(share_);
    return true;
  }

 private:
  Share share_;
  F f_;
};

template <class Share, class F>
std::unique_ptr<bridge::Work> once(const Share& c, F f) {
  return std::make_unique<OnceWork<Share, F>>(c, std::move(f));
}

// The call-time steps: the borrow taken, the interrupt flag cleared (by
// acquire and __aenter__), the work built and handed to the bridge.
template <class Borrow, class MakeWork>
host::Result<host::Ref> start_work(Borrow b, bool clears_interrupt, MakeWork make_work) {
  if (!b) return std::move(b.error());
  const auto& c = (*b)->contents;
  if (clears_interrupt) c.interrupted->exchange(false, std::memory_order_acq_rel);
  return bridge::make_awaitable(make_work(c));
}

}  // namespace ratevane
