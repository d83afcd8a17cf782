// The core locks around fork(): every live core's lock is taken just before
// the fork and let go just after it, in the parent and in the child, so the
// child never inherits a core whose lock belongs to a thread it does not
// have, nor a ledger step caught half-way.
//
// The live cores are listed from construction to destruction; the list is
// touched there and by the fork, never by a ledger step.
#pragma once

#include <cstddef>

namespace ratevane {

class LimiterCore;

struct CoreRegistry {
  static void add(LimiterCore* core) noexcept;
  static void remove(LimiterCore* core) noexcept;

  // Takes the list's lock, then every core lock in list order; nothing else
  // is taken meanwhile. Lock order: the list's lock before any core lock. No
  // thread holds a core lock while it waits for another lock (a ledger step
  // takes no other lock and never waits for the interpreter lock), and a
  // core that is being destroyed leaves the list under the list's lock
  // before its own lock is destroyed; so the sweep always completes.
  static void lock_all() noexcept;
  // Lets go of what lock_all took, in either process after the fork.
  static void unlock_all() noexcept;

  static std::size_t live();  // for tests and benchmarks
};

}  // namespace ratevane
