// Noticing the host's pending signals (the interrupt key).
#pragma once

#include "host/errors.hpp"

namespace ratevane::host {

// Runs the host's pending signal handlers (lock held). True when one raised;
// its exception is fetched and discarded, for the caller reports its own
// "Operation interrupted".
inline bool signal_check_failed() {
  if (PyErr_CheckSignals() != -1) return false;
  HostError discarded = HostError::fetch();
  (void)discarded;
  return true;
}

}  // namespace ratevane::host
