"""Helpers for the AsyncRateLimiter and asyncio-bridge tests.

Every test runs its coroutine on a loop of its own (`run`), with an
exception handler that records whatever the loop would otherwise report:
a completion that raised "invalid state", a callback that failed. A test
fails when anything was recorded, unless it asked for the records.

The limiter's work runs on background threads, so effects that a test did
not await (the give-back of a cancelled wait, a release never awaited)
land a little later; `settled_remaining` waits for them with a generous
deadline instead of a fixed sleep, and then checks that they stay put.

As in conftest, time limits here are hang guards (a worker hands work back
within milliseconds; the guards are seconds), never a measure of speed.
"""

import asyncio
import concurrent.futures
import contextvars
import importlib.machinery
import importlib.util
import os
import sys
import tempfile
import threading
import time

import pytest

from conftest import IS_PYPY, ratevane, run_python

HAS_FAULTS = hasattr(ratevane, "_arm_fault")
needs_faults = pytest.mark.skipif(not HAS_FAULTS, reason="needs a build with fault injection")

WORKER_THREAD_NAME = "ratevane-worker"
WORKER_COUNT_VAR = "RATEVANE_WORKER_THREADS"

# A window limit no test can use up.
HUGE = 10**12


# --- running coroutines --------------------------------------------------------


class LoopRun:
    """A fresh event loop whose exception handler records what it is given."""

    def __init__(self, loop_factory=None):
        self.loop = (loop_factory or asyncio.new_event_loop)()
        self.loop_errors = []
        self.loop.set_exception_handler(lambda loop, context: self.loop_errors.append(context))

    def run(self, coro, timeout=30.0):
        try:
            return self.loop.run_until_complete(asyncio.wait_for(coro, timeout))
        finally:
            self._close()

    def _close(self):
        pending = [t for t in asyncio.all_tasks(self.loop) if not t.done()]
        for task in pending:
            task.cancel()
        if pending:
            self.loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
        self.loop.close()


def run(coro, timeout=30.0, loop_factory=None, allow_loop_errors=False):
    """Run `coro` to its end on a new loop and return its result. Fails the
    test if the loop's exception handler was called (unless allowed)."""
    runner = LoopRun(loop_factory)
    result = runner.run(coro, timeout)
    if not allow_loop_errors:
        assert runner.loop_errors == [], describe_loop_errors(runner.loop_errors)
    return result


def describe_loop_errors(errors):
    return "the event loop reported:\n" + "\n".join(
        f"  {c.get('message')!r}: {c.get('exception')!r}" for c in errors
    )


def asyncio_test(fn=None, *, timeout=30.0):
    """Decorator: the test is an `async def` run on its own loop by `run`."""

    def wrap(f):
        import functools

        @functools.wraps(f)
        def test(*args, **kwargs):
            return run(f(*args, **kwargs), timeout=timeout)

        return test

    return wrap(fn) if fn is not None else wrap


# --- wall-clock intervals ------------------------------------------------------


def seconds_left(period=1.0):
    return period - (time.time() % period)


async def fresh_second(latest=0.3):
    """Sleep until just after the next whole wall-clock second (the limiter
    counts in epoch-aligned seconds of time.time()'s clock). A sleep that
    overshoots past `latest` into the new second waits for the next one."""
    while True:
        await asyncio.sleep(seconds_left() + 0.002)
        if time.time() % 1.0 < latest:
            return time.time()


async def room_in_minute(room=10.0):
    """Make sure at least `room` seconds are left in the current minute, so a
    minute window does not roll over during the test."""
    while seconds_left(60.0) < room:
        await asyncio.sleep(seconds_left(60.0) + 0.01)


def next_whole_second(t):
    return float(int(t) + 1)


# --- limiter state -------------------------------------------------------------


async def settled_remaining(limiter, expected, timeout=5.0, stable=0.15):
    """Poll get_remaining() until the entries named in `expected` equal it
    (background work of cancelled or unawaited calls lands shortly after),
    then check that they stay so for `stable` seconds. Returns those
    entries as last seen; the caller asserts on them, so a value that never
    settles fails with a readable diff."""

    async def current():
        remaining = await limiter.get_remaining()
        return {key: remaining.get(key) for key in expected}

    deadline = time.monotonic() + timeout
    seen = await current()
    while seen != expected and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
        seen = await current()
    if seen == expected:
        await asyncio.sleep(stable)
        seen = await current()
    return seen


class Ticker:
    """A coroutine that notes the wall-clock time of each of its wake-ups:
    proof that the loop kept running other coroutines while an acquire
    waited."""

    def __init__(self, period=0.01):
        self.period = period
        self.stamps = []
        self._task = asyncio.ensure_future(self._run())

    async def _run(self):
        while True:
            await asyncio.sleep(self.period)
            self.stamps.append(time.time())

    async def stop(self):
        """Stops it; returns the times noted."""
        self._task.cancel()
        await asyncio.gather(self._task, return_exceptions=True)
        return self.stamps


# --- exceptions ----------------------------------------------------------------


async def grant_to_a_cancelled_task(limiter, method):
    """A task awaits a waiting acquire (`method`: "acquire" or
    "__aenter__") of a limiter whose only burst permit is held; the permit
    is released, and the grant cancels the task from a callback that runs
    after the future got its result and before the task resumes: the gap a
    time-out falling due in the same turn of the loop hits. Answers the
    future and what the task ended with."""
    assert await limiter.acquire() == ()
    future = getattr(limiter, method)()

    async def awaiter():
        return await future

    task = asyncio.ensure_future(awaiter())
    future.add_done_callback(lambda _: task.cancel())  # runs before the task's wake-up
    await asyncio.sleep(0.05)
    assert not future.done()  # waiting for the held permit
    assert await limiter.release() == ()
    (ended,) = await asyncio.gather(task, return_exceptions=True)
    return future, ended


def is_internal_error(exc):
    """ratevane's abnormal-failure type: ratevane.InternalError, a
    BaseException that is not an Exception (it is not a module attribute)."""
    t = type(exc)
    return (
        t.__module__ == "ratevane"
        and t.__name__ == "InternalError"
        and isinstance(exc, BaseException)
        and not isinstance(exc, Exception)
    )


def is_task_failure(exc):
    t = type(exc)
    return t.__module__ == "awaitable_bridge" and t.__name__ == "TaskFailure" and isinstance(exc, Exception)


async def outcome(awaitable):
    """('ok', value) or ('raised', exception) — BaseExceptions included, so
    that a KeyboardInterrupt from a limiter is inspected, not propagated."""
    try:
        return ("ok", await awaitable)
    except BaseException as e:  # noqa: B902 - the test looks at it
        if isinstance(e, asyncio.CancelledError):
            raise
        return ("raised", e)


# --- the executor's threads ----------------------------------------------------


# How many threads of this process carry the workers' name: on Linux from
# /proc, on Windows from each thread's description (SetThreadDescription's
# text). Source text, so that children started by the tests count the same
# way without importing this module.
WORKER_COUNT_SOURCE = f'''
import glob, sys

def worker_thread_count():
    if sys.platform == "win32":
        return sum(name == {WORKER_THREAD_NAME!r} for name in _windows_thread_names())
    n = 0
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                n += f.read().strip() == {WORKER_THREAD_NAME!r}
        except OSError:  # the thread ended while we looked
            pass
    return n

def _windows_thread_names():
    import ctypes, os
    from ctypes import wintypes

    class ThreadEntry(ctypes.Structure):
        _fields_ = [("size", wintypes.DWORD), ("usage", wintypes.DWORD),
                    ("thread_id", wintypes.DWORD), ("owner_pid", wintypes.DWORD),
                    ("base_priority", wintypes.LONG), ("delta_priority", wintypes.LONG),
                    ("flags", wintypes.DWORD)]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
    kernel32.OpenThread.restype = wintypes.HANDLE
    kernel32.GetThreadDescription.argtypes = [wintypes.HANDLE, ctypes.POINTER(ctypes.c_void_p)]
    kernel32.GetThreadDescription.restype = ctypes.c_long
    kernel32.LocalFree.argtypes = [ctypes.c_void_p]
    snapshot = kernel32.CreateToolhelp32Snapshot(0x4, 0)  # TH32CS_SNAPTHREAD
    if snapshot in (None, wintypes.HANDLE(-1).value):
        raise ctypes.WinError(ctypes.get_last_error())
    names = []
    try:
        entry = ThreadEntry()
        entry.size = ctypes.sizeof(ThreadEntry)
        more = kernel32.Thread32First(snapshot, ctypes.byref(entry))
        while more:
            if entry.owner_pid == os.getpid():
                # THREAD_QUERY_LIMITED_INFORMATION; a thread that ended
                # meanwhile cannot be opened and is not counted.
                thread = kernel32.OpenThread(0x0800, False, entry.thread_id)
                if thread:
                    text = ctypes.c_void_p()
                    if kernel32.GetThreadDescription(thread, ctypes.byref(text)) >= 0 and text:
                        names.append(ctypes.wstring_at(text.value))
                        kernel32.LocalFree(text)
                    kernel32.CloseHandle(thread)
            more = kernel32.Thread32Next(snapshot, ctypes.byref(entry))
    finally:
        kernel32.CloseHandle(snapshot)
    return names
'''
exec(WORKER_COUNT_SOURCE)


def run_children(*jobs, timeout=60):
    """Run several `(code, env)` children at once; returns their
    CompletedProcess objects in order."""
    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        futures = [pool.submit(run_python, code, timeout, env) for code, env in jobs]
        return [f.result() for f in futures]


# --- the auxiliary module ------------------------------------------------------


def load_bridge_module():
    """The module `awaitable_bridge`, initialised from the extension binary
    by its own entry point, from the very binary already mapped as
    ratevane (so it shares that binary's TaskFailure type object).

    CPython loads by path and name, so ratevane's own file works. PyPy
    caches extension modules by path and would hand back ratevane itself;
    a symbolic link under the new name is a new path for the host but the
    same mapped library for the dynamic loader."""
    name = "awaitable_bridge"
    if not IS_PYPY:
        path = ratevane.__file__
    else:
        directory = tempfile.mkdtemp(prefix="ratevane-bridge-")
        path = os.path.join(directory, name + importlib.machinery.EXTENSION_SUFFIXES[0])
        os.symlink(ratevane.__file__, path)
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    location = importlib.util.spec_from_file_location(name, path, loader=loader)
    had = name in sys.modules
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    if not had:  # the host files it there; leave the process as it was
        sys.modules.pop(name, None)
    if IS_PYPY:  # the library stays mapped; the link is no longer needed
        os.unlink(path)
        os.rmdir(directory)
    return module


# --- observing the bridge from the loop's side ------------------------------

completion_var = contextvars.ContextVar("ratevane_test_completion_var", default="default")


class RecordingFuture(asyncio.Future):
    """A future that records the value of `completion_var` in the context its
    completion runs in, the done-callbacks it is given, and whether it was
    asked `cancelled()` off the loop thread. With `cancelled_raises_off_loop`
    set, that question raises there (and only there)."""

    seen = None
    cancelled_raises_off_loop = False
    fail_add_done_callback = False

    def __init__(self, *, loop):
        super().__init__(loop=loop)
        self.done_callbacks = []
        self.loop_thread = threading.get_ident()
        self.asked_off_loop = 0

    def set_result(self, result):
        self.seen = completion_var.get()
        super().set_result(result)

    def set_exception(self, exception):
        self.seen = completion_var.get()
        super().set_exception(exception)

    def add_done_callback(self, fn, *, context=None):
        if self.fail_add_done_callback:
            raise LookupError("add_done_callback refused by the test")
        self.done_callbacks.append(fn)
        return super().add_done_callback(fn, context=context)

    def cancelled(self):
        if threading.get_ident() != self.loop_thread:
            self.asked_off_loop += 1
            if self.cancelled_raises_off_loop:
                raise LookupError("cancelled() refused by the test")
        return super().cancelled()


class RecordingLoop(asyncio.SelectorEventLoop):
    """A loop that hands out RecordingFutures (configured by the attributes
    below) and records what other threads schedule on it."""

    fail_create_future = False
    cancelled_raises_off_loop = False
    fail_add_done_callback = False

    def __init__(self):
        super().__init__()
        self.threadsafe_calls = []
        self.futures = []

    def create_future(self):
        if self.fail_create_future:
            raise LookupError("create_future refused by the test")
        future = RecordingFuture(loop=self)
        future.cancelled_raises_off_loop = self.cancelled_raises_off_loop
        future.fail_add_done_callback = self.fail_add_done_callback
        self.futures.append(future)
        return future

    def call_soon_threadsafe(self, callback, *args, context=None):
        self.threadsafe_calls.append((callback, args, context))
        return super().call_soon_threadsafe(callback, *args, context=context)
