// The future of an acquire that may take a burst permit.
//
// asyncio may cancel the task awaiting a future after the future got its
// result and before the task resumed: a time-out falling due in the same
// turn of the loop as the completion (asyncio.timeout, and wait_for from
// 3.12 on, cancel the awaiting task itself), or any task.cancel() in that
// gap. The task then raises CancelledError and never sees the grant, so a
// burst permit that nobody holds would stay counted for good. Here the
// grant's permit waits on the future (its `_grant`, the completion that
// set the result) until the awaiter takes the result: when the await ends
// by an exception thrown in instead (the cancel) or by the coroutine being
// closed, the permit goes back, and result() answers None from then on,
// as for a permit never granted, so a cancellation handler that releases
// what result() says was granted does not release twice. A result taken
// any other way (result(), a done callback, gather) leaves the permit with
// the caller.
#pragma once

#include "host/errors.hpp"

namespace ratevane::bridge {

// Lock held, for all three.
// A new pending GrantFuture (a subclass of asyncio.Future) of `loop`.
host::Result<host::Ref> new_grant_future(PyObject* loop);
// Whether `future` is one.
bool is_grant_future(PyObject* future);
// `holder` (with a give_back() method) keeps the permit of the grant just
// set as `future`'s result, for its awaiter.
host::Result<host::Ref> keep_grant(PyObject* future, PyObject* holder);

}  // namespace ratevane::bridge
