// Noticing the host's pending signals (the interrupt key).
#pragma once

#include "host/errors.hpp"

namespace ratevane::host {

// Runs the host's pending signal handlers (lock held). True when one raised;
// its exception is fetched and discarded, for the caller reports its own
// "Operation interrupted".
//
// `thorough`: the caller has waited, so a signal may well have arrived. On
// PyPy the C-level check does nothing at all; pending handlers run only when
// Python code runs, so the thorough check calls a trivial Python function
// (about a microsecond). The quick check on PyPy is then free, and a signal
// that lands during a call that never waited is raised by the interpreter
// itself right after the call returns.
bool signal_check_failed(bool thorough);

// Makes what the check needs (lock held; at module initialisation).
void prepare_signal_check();

}  // namespace ratevane::host
