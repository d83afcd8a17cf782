// The bridge's small host classes and its exception type:
// - PyDoneCallback: registered on each future; fires the cancellation
//   signal when asyncio reports the future cancelled.
// - CheckedCompletor: scheduled on the loop thread to complete a future,
//   checking right before that it was not cancelled meanwhile.
// - TaskFailure (awaitable_bridge.TaskFailure): what a future gets when its
//   background task failed abnormally.
#pragma once

#include "executor/cancel_signal.hpp"
#include "engine/burst_permit.hpp"
#include "host/errors.hpp"

namespace ratevane::bridge {

// Lock held, for all three.
host::Ref new_done_callback(exec::CancelSender sender);
host::Ref new_checked_completor(BurstPermit permit);
PyObject* task_failure_type();
// future.cancelled(); an error is printed (with the host's last-exception
// variables set) and answers false.
bool cancelled_or_print(PyObject* future);

}  // namespace ratevane::bridge
