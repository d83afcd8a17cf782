// The awaitable bridge: limiter work started on the background executor and
// handed back to asyncio as a future of the running event loop.
#pragma once

#include <memory>
#include <optional>
#include <variant>

#include "executor/executor.hpp"
#include "engine/burst_permit.hpp"
#include "engine/error.hpp"
#include "engine/ledger.hpp"
#include "host/errors.hpp"

namespace ratevane::bridge {

// What a piece of work resolves to, held without any host object so that it
// is made without the interpreter lock; turned into a host object on
// delivery.
struct WorkValue {
  enum class Kind : unsigned char { empty_tuple, none, false_, remaining, seconds };
  Kind kind = Kind::none;
  Remaining remaining{};
  std::optional<Duration> seconds;
};

struct WorkOutcome {
  using Result = std::variant<WorkValue, Error>;
  Result result;
  // The burst permit of a grant, given back if the grant never reaches the
  // caller.
  BurstPermit permit;
};

// A piece of limiter work, polled on executor threads without the
// interpreter lock.
class Work {
 public:
  virtual ~Work() = default;
  // True when finished, with `out` set; false when suspended (a waker was
  // stored for the resumption).
  virtual bool poll(exec::Context& cx, WorkOutcome& out) = 0;
  // Whether a grant of this work may take a burst permit: its future is
  // then a GrantFuture (bridge/grant_future.hpp), which hands the permit
  // back when the awaiting task is cancelled after the grant.
  virtual bool takes_permits() const { return false; }
};

// Binds `work` to the running event loop of the calling thread and starts
// it at once on the executor; returns the future (lock held). On failure the
// work is released without having run.
host::Result<host::Ref> make_awaitable(std::unique_ptr<Work> work);

// Around fork(): the queue of outcomes waiting for delivery is held across
// it. The parent lets it go as it was; the child starts with an empty queue
// and nobody delivering, since the worker that was delivering, and the
// tasks whose outcomes were queued, stayed in the parent.
void hold_deliveries_for_fork() noexcept;
void let_go_deliveries_after_fork(bool in_child) noexcept;

}  // namespace ratevane::bridge
