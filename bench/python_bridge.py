"""The awaitable bridge's design written in plain Python: the yardstick for
what the native bridge's round trip should cost.

`acquire()` makes the same host calls the native bridge makes for one
awaitable, in the same order: the running loop, a copy of the context, a
future on the loop and a done-callback on it; the grant then runs on a
worker thread (a counter under a lock, as cheap as a granted acquire), which
checks that the future was not cancelled and schedules a completor with
`call_soon_threadsafe(..., context=None)`; the completor checks `cancelled()`
once more before `set_result(())`. The done-callback checks `cancelled()`,
as the native one does.

`complete_at` is the same hand-over for many waiters at once: one thread
completing a list of futures at a given moment, as a window that reopens
completes its waiters. Only the benchmark uses this module.
"""

import asyncio
import contextvars
import os
import queue
import threading
import time


def _completor(future, complete, value):
    if not future.cancelled():
        complete(value)


def _deliver(loop, future):
    """On a worker: the cancelled check, then the completor scheduled on the
    loop."""
    if future.cancelled():
        return
    try:
        loop.call_soon_threadsafe(_completor, future, future.set_result, (), context=None)
    except RuntimeError:
        pass  # the loop was closed


class _DoneCallback:
    """Marks its future's work cancelled (a plain attribute: the worker
    reads it without a lock, as the native signal is read without the
    interpreter lock)."""

    __slots__ = ("fired",)

    def __init__(self):
        self.fired = False

    def __call__(self, fut):
        if fut.cancelled():
            self.fired = True


class PythonBridgeLimiter:
    """Grants every acquire; `workers` threads, one queue."""

    def __init__(self, workers=None):
        self._jobs = queue.SimpleQueue()
        self._lock = threading.Lock()
        self.granted = 0
        for _ in range(workers or os.cpu_count() or 1):
            threading.Thread(target=self._work, daemon=True).start()

    def acquire(self):
        loop = asyncio.get_running_loop()
        context = contextvars.copy_context()
        future, callback = _watched_future(loop)
        self._jobs.put((loop, context, future, callback))
        return future

    def _work(self):
        jobs = self._jobs
        while True:
            loop, _context, future, callback = jobs.get()
            if callback.fired:
                continue
            with self._lock:
                self.granted += 1
            _deliver(loop, future)


def complete_at(loop, futures, when):
    """Starts a thread that sleeps until the wall-clock time `when` and then
    completes every one of `futures` as the bridge's delivery does: a
    `cancelled()` check, then `call_soon_threadsafe` of the completor with
    the future's `set_result`, one after the other from that one thread.
    Returns the thread."""

    def deliver():
        time.sleep(max(0.0, when - time.time()))
        for future in futures:
            _deliver(loop, future)

    thread = threading.Thread(target=deliver, daemon=True)
    thread.start()
    return thread


def _watched_future(loop):
    future = loop.create_future()
    callback = _DoneCallback()
    future.add_done_callback(callback)
    return future, callback


def waiting_future(loop):
    """A future with the bridge's done-callback on it, as `acquire()` makes
    one."""
    return _watched_future(loop)[0]
