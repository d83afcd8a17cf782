"""Reference-leak check for Debian's debug CPython (python3.11-dbg).

Needs the extension built for the debug interpreter with the test-only fault
points:

    meson setup /tmp/mbdbg -Dpython=python3.11-dbg -Dfault_injection=true
    ninja -C /tmp/mbdbg
    PYTHONPATH=/tmp/mbdbg/src python3.11-dbg tests/python/refleak_check.py

Every public operation (constructors that succeed and that fail with each
message, every method of both classes, granted / refused / interrupted /
cancelled paths, `with` and `async with`) runs N times to warm up; then
sys.gettotalrefcount() is read around a batch of 2N more calls and around a
batch of 4N after it, each reading taken with the background work finished
and after gc.collect(). A leak grows with the number of calls: an operation
fails when both batches gained references and the 4N batch gained more than
a small constant plus what the 2N batch gained.

Prints one line per operation; exits 1 when anything leaks, 2 when it cannot
run. Not a pytest module: its name has no test_ prefix, so pytest does not
collect it.
"""

import _thread
import asyncio
import gc
import os
import sys
import threading
import time

if not hasattr(sys, "gettotalrefcount"):
    print("refleak_check: needs a debug build of CPython (python3.11-dbg)", file=sys.stderr)
    sys.exit(2)

import ratevane  # noqa: E402

if not hasattr(ratevane, "_arm_fault"):
    print("refleak_check: needs the extension built with -Dfault_injection=true",
          file=sys.stderr)
    sys.exit(2)

RateLimiter = ratevane.RateLimiter
AsyncRateLimiter = ratevane.AsyncRateLimiter
HUGE = 10**15
# One permit per window of a thousand days: once taken, refused for months.
ONCE = {"day": 1, "day_window": 1000}
SLACK = 10  # references a warm interpreter may still move by (seen: none)


# --- helpers -------------------------------------------------------------------


class Quiet:
    """Standard error to /dev/null for the duration: every injected fault is
    reported there, once per call."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        sys.stderr.flush()
        os.dup2(self.saved, 2)
        os.close(self.saved)
        return False


def expect(exc_type, message, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type as exc:
        if message is not None and str(exc) != message:
            raise AssertionError(f"{exc_type.__name__}: {exc!r} != {message!r}") from None
        return
    raise AssertionError(f"no {exc_type.__name__} ({message!r})")


async def expect_async(exc_type, message, awaitable):
    try:
        await awaitable
    except exc_type as exc:
        if message is not None and str(exc) != message:
            raise AssertionError(f"{exc_type.__name__}: {exc!r} != {message!r}") from None
        return
    raise AssertionError(f"no {exc_type.__name__} ({message!r})")


def expect_internal_error(fn):
    try:
        fn()
    except BaseException as exc:  # noqa: B902 - InternalError is no Exception
        if type(exc).__name__ != "InternalError" or str(exc) != "injected fault":
            raise
        return
    raise AssertionError("no InternalError")


def is_task_failure(exc):
    return type(exc).__name__ == "TaskFailure" and type(exc).__module__ == "awaitable_bridge"


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexTypeError:
    def __index__(self):
        raise TypeError("no index") from ValueError("the cause")


class IndexValueError:
    def __index__(self):
        raise ValueError("bad index")


def _numpy_like(name, with_bool, answer=True):
    ns = {"__module__": "numpy"}
    if with_bool:
        ns["__bool__"] = lambda self: answer
    return type(name, (), ns)


NumpyTrue = _numpy_like("bool_", True, True)
NumpyNoBool = _numpy_like("bool", False)
NumpyWrong = _numpy_like("bool_", True, 1)


# --- synchronous operations ------------------------------------------------------

CONSTRUCT_ERRORS = [
    (ValueError, "Rate limit for second must be greater than 0", {"sec": 0}),
    (ValueError, "Rate limit for minute must be greater than 0", {"min": 0}),
    (ValueError, "Rate limit for hour must be greater than 0", {"hour": 0}),
    (ValueError, "Rate limit for day must be greater than 0", {"day": 0}),
    (ValueError, "sec_window must be greater than 0", {"sec": 1, "sec_window": 0}),
    (ValueError, "min_window must be greater than 0", {"min": 1, "min_window": 0}),
    (ValueError, "hour_window must be greater than 0", {"hour": 1, "hour_window": 0}),
    (ValueError, "day_window must be greater than 0", {"day": 1, "day_window": 0}),
    (ValueError, "min_window is too large", {"min": 1, "min_window": 2**63}),
    (ValueError, "hour_window is too large", {"hour": 1, "hour_window": 2**63}),
    (ValueError, "day_window is too large", {"day": 1, "day_window": 2**63}),
    (ValueError, "At least one rate limit must be specified", {}),
    (ValueError, "max_burst must be greater than 0", {"sec": 1, "max_burst": 0}),
    (TypeError, "argument 'sec': 'float' object cannot be interpreted as an integer",
     {"sec": 1.5}),
    (TypeError, "argument 'blocking': 'int' object cannot be converted to 'PyBool'",
     {"sec": 1, "blocking": 1}),
    (TypeError, "argument 'hour': no index", {"hour": IndexTypeError()}),
    (ValueError, "bad index", {"day": IndexValueError()}),
    (OverflowError, None, {"sec": -1}),
    (OverflowError, None, {"max_burst": 2**64}),
]


def construct_ok(cls):
    def op():
        cls(5, 10, 20, 30, 2, 3, 4, 5, False, 7)
        cls(sec=Indexable(3), min=True, blocking=NumpyTrue(), max_burst=2**64 - 1)
    return op


def construct_errors(cls):
    name = cls.__name__
    extraction = [
        (f"{name}.__new__() takes from 0 to 10 positional arguments but 11 were given",
         tuple(range(11)), {}),
        (f"{name}.__new__() got an unexpected keyword argument 'secs'", (), {"secs": 1}),
        (f"{name}.__new__() got multiple values for argument 'sec'", (1,), {"sec": 1}),
    ]
    numpy = [
        ("argument 'blocking': object of type '<class 'numpy.bool'>' does not define a "
         "'__bool__' conversion", NumpyNoBool()),
        ("argument 'blocking': __bool__ should return bool, returned int", NumpyWrong()),
    ]

    def op():
        for exc_type, message, kwargs in CONSTRUCT_ERRORS:
            expect(exc_type, message, cls, **kwargs)
        for message, args, kwargs in extraction:
            expect(TypeError, message, cls, *args, **kwargs)
        for message, value in numpy:
            expect(TypeError, message, cls, sec=1, blocking=value)
    return op


def sync_ops():
    free = RateLimiter(sec=HUGE, blocking=False)
    free_blocking = RateLimiter(sec=HUGE, max_burst=HUGE)
    full = RateLimiter(**ONCE, blocking=False, max_burst=5)
    full.acquire()  # refused from now on
    burst = RateLimiter(sec=HUGE, max_burst=1, blocking=False)

    def acquire_granted():
        assert free.acquire() is True
        assert free_blocking.acquire() is True
        free_blocking.release()

    def acquire_refused():
        assert full.acquire() is False
        assert burst.acquire() is True
        assert burst.acquire() is False  # the burst bound refuses
        burst.release()

    def release():
        free_blocking.release()  # unmatched: ignored
        burst.release()

    def get_remaining():
        free.get_remaining()
        free_blocking.get_remaining()
        full.get_remaining()

    def wait_time():
        free.wait_time()  # None
        full.wait_time()  # a float

    def with_block():
        with free_blocking:
            pass
        with free:
            pass

    def with_refused():
        expect(ValueError, "Failed to acquire permit", full.__enter__)

    def exit_errors():
        expect(TypeError,
               "RateLimiter.__exit__() missing 3 required positional arguments: '_exc_type', "
               "'_exc_value', and '_traceback'", free.__exit__)
        expect(TypeError, "RateLimiter.__exit__() takes 3 positional arguments but 4 were given",
               free.__exit__, 1, 2, 3, 4)
        expect(TypeError, "RateLimiter.__exit__() got an unexpected keyword argument 'tb'",
               free.__exit__, None, None, None, tb=1)
        assert free.__exit__(None, _exc_value=None, _traceback=None) is False

    poisoned = RateLimiter(sec=HUGE, max_burst=3)

    def poisoned_core():
        # A fresh limiter whose ledger step fails: the core is poisoned.
        fresh = RateLimiter(sec=HUGE, max_burst=3)
        ratevane._arm_fault("wall_clock", 1)
        with Quiet():
            expect_internal_error(fresh.acquire)  # the faulting call itself
        expect(KeyboardInterrupt, "Operation interrupted", fresh.acquire)
        assert fresh.get_remaining() == {"burst": 3}
        assert fresh.wait_time() is None
        fresh.release()

    def poisoned_forever():
        expect(KeyboardInterrupt, "Operation interrupted", poisoned.acquire)
        expect(KeyboardInterrupt, "Operation interrupted", poisoned.__enter__)
        poisoned.get_remaining()
        poisoned.wait_time()
        poisoned.release()

    ratevane._arm_fault("wall_clock", 1)
    with Quiet():
        expect_internal_error(poisoned.acquire)

    def conversion_fault():
        ratevane._arm_fault("conversion", 1)
        with Quiet():
            expect_internal_error(free.get_remaining)

    return [
        ("RateLimiter() granted", construct_ok(RateLimiter), 1),
        ("RateLimiter() each error", construct_errors(RateLimiter), 1),
        ("acquire granted", acquire_granted, 1),
        ("acquire refused", acquire_refused, 1),
        ("release", release, 1),
        ("get_remaining", get_remaining, 1),
        ("wait_time", wait_time, 1),
        ("with granted", with_block, 1),
        ("with refused", with_refused, 1),
        ("__exit__ arguments", exit_errors, 1),
        ("acquire poisoning the core", poisoned_core, 1),
        ("poisoned core, every method", poisoned_forever, 1),
        ("conversion fault (InternalError)", conversion_fault, 1),
    ]


class Interrupter:
    """A helper thread that, on request, simulates the interrupt key while
    the main thread waits for a burst permit, then frees the permit: the
    wait ends and its final signal check turns it into "Operation
    interrupted" (setting the limiter's interrupted flag)."""

    def __init__(self):
        self.limiter = RateLimiter(sec=HUGE, max_burst=1)
        self.go = threading.Event()
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            self.go.wait()
            self.go.clear()
            if self.stop:
                return
            time.sleep(0.02)  # the main thread is waiting by now
            _thread.interrupt_main()
            self.limiter.release()

    def op(self):
        assert self.limiter.acquire() is True  # holds the only burst permit
        self.go.set()
        try:
            self.limiter.acquire()
        except KeyboardInterrupt as exc:
            # The simulated key may land before the call starts (then it is
            # Python's own KeyboardInterrupt): either is fine here, but the
            # permit must be free afterwards either way.
            if exc.args:
                assert exc.args == ("Operation interrupted",), exc.args
        else:
            raise AssertionError("the wait was not interrupted")
        # A guard against a hang: the helper's release follows its interrupt
        # at once (the debug interpreter is slow, but not seconds slow).
        deadline = time.monotonic() + 10
        while self.limiter.get_remaining()["burst"] != 1:
            assert time.monotonic() < deadline, self.limiter.get_remaining()
            time.sleep(0.001)

    def close(self):
        self.stop = True
        self.go.set()
        self.thread.join()


# --- asynchronous operations -----------------------------------------------------


def async_ops():
    free = AsyncRateLimiter(sec=HUGE, blocking=False)
    free_burst = AsyncRateLimiter(sec=HUGE, max_burst=HUGE)
    full = AsyncRateLimiter(**ONCE, blocking=False)
    waiting = AsyncRateLimiter(**ONCE, max_burst=2)  # blocking, window full
    burst = AsyncRateLimiter(sec=HUGE, max_burst=1, blocking=False)
    poisoned = AsyncRateLimiter(sec=HUGE, max_burst=3)
    held = AsyncRateLimiter(sec=HUGE, max_burst=1)

    async def awaiting(future):
        return await future

    async def setup():
        await full.acquire()
        await waiting.acquire()  # holds one of the two burst permits
        await held.acquire()  # its only permit: an acquire waits for a release
        ratevane._arm_fault("wall_clock", 1)
        with Quiet():
            try:
                await poisoned.acquire()  # the faulting call itself: TaskFailure
            except Exception as exc:  # noqa: B902
                assert is_task_failure(exc), exc

    async def acquire_granted():
        assert await free.acquire() == ()
        assert await free_burst.acquire() == ()
        assert await free_burst.release() == ()

    async def acquire_refused():
        assert await full.acquire() is None
        assert await burst.acquire() == ()
        assert await burst.acquire() is None
        await burst.release()

    async def methods():
        await free.get_remaining()
        await free_burst.get_remaining()
        await free.wait_time()
        await full.wait_time()
        await free_burst.release()

    async def never_awaited():
        # The work runs even when nobody awaits the future.
        fut = free.get_remaining()
        del fut
        await asyncio.sleep(0.002)

    async def async_with():
        async with free_burst as bound:
            assert bound == ()
        async with free:
            pass

    async def async_with_refused():
        await expect_async(ValueError, "Failed to acquire permit", full.__aenter__())

    async def aexit_errors():
        expect(TypeError,
               "AsyncRateLimiter.__aexit__() missing 3 required positional arguments: "
               "'_exc_type', '_exc_value', and '_traceback'", free.__aexit__)
        expect(TypeError, "AsyncRateLimiter.__aexit__() got multiple values for argument "
               "'_exc_type'", free.__aexit__, None, None, None, _exc_type=None)
        assert await free.__aexit__(None, None, None) is False

    async def cancelled():
        fut = waiting.acquire()  # waits on the full window, holding a permit
        await asyncio.sleep(0.005)
        fut.cancel()
        await expect_async(asyncio.CancelledError, None, fut)
        try:
            await asyncio.wait_for(waiting.acquire(), 0.002)
        except asyncio.TimeoutError:
            pass
        # Background work finished: both waits handed their permit back (a
        # worker does it within milliseconds; 10 s is a guard).
        deadline = time.monotonic() + 10
        while (await waiting.get_remaining())["burst"] != 1:
            assert time.monotonic() < deadline
            await asyncio.sleep(0.001)

    async def grant_to_a_cancelled_task():
        # The grant cancels its awaiting task before the task resumes: the
        # permit goes back through the future's await.
        fut = held.acquire()
        task = asyncio.ensure_future(awaiting(fut))
        fut.add_done_callback(lambda _: task.cancel())
        await asyncio.sleep(0.002)
        await held.release()
        await expect_async(asyncio.CancelledError, None, task)
        assert fut.result() is None
        assert await held.acquire() == ()  # held again, as before

    async def interrupted():
        await expect_async(KeyboardInterrupt, "Operation interrupted", poisoned.acquire())
        await expect_async(KeyboardInterrupt, "Operation interrupted", poisoned.__aenter__())
        await poisoned.get_remaining()
        await poisoned.release()

    async def task_failure():
        ratevane._arm_fault("task_work", 1)
        with Quiet():
            try:
                await free.acquire()
            except Exception as exc:  # noqa: B902
                assert is_task_failure(exc), exc
            else:
                raise AssertionError("no TaskFailure")

    async def conversion_fault():
        ratevane._arm_fault("conversion", 1)
        with Quiet():
            try:
                await free.get_remaining()
            except Exception as exc:  # noqa: B902
                assert is_task_failure(exc), exc
            else:
                raise AssertionError("no TaskFailure")

    def no_running_loop():
        for method in (free.acquire, free.release, free.get_remaining, free.wait_time,
                       free.__aenter__):
            expect(RuntimeError, "no running event loop", method)

    return setup, [
        ("AsyncRateLimiter() granted", construct_ok(AsyncRateLimiter), 1),
        ("AsyncRateLimiter() each error", construct_errors(AsyncRateLimiter), 1),
        ("async: no running loop", no_running_loop, 1),
        ("async: acquire granted", acquire_granted, 4),
        ("async: acquire refused", acquire_refused, 4),
        ("async: get_remaining, wait_time, release", methods, 4),
        ("async: future never awaited", never_awaited, 8),
        ("async with granted", async_with, 4),
        ("async with refused", async_with_refused, 4),
        ("async: __aexit__ arguments", aexit_errors, 4),
        ("async: cancelled waits", cancelled, 16),
        ("async: a grant to a task being cancelled", grant_to_a_cancelled_task, 16),
        ("async: interrupted (poisoned core)", interrupted, 4),
        ("async: TaskFailure", task_failure, 4),
        ("async: conversion fault (TaskFailure)", conversion_fault, 4),
    ]


# --- measuring ---------------------------------------------------------------------


def main():
    n = int(os.environ.get("RATEVANE_REFLEAK_N", "200"))
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def settle():
        # Let background tasks deliver (their futures resolve on this loop)
        # and the executor drop its references, then collect.
        for _ in range(3):
            loop.run_until_complete(asyncio.sleep(0.01))
            gc.collect()

    def run(fn, times):
        if asyncio.iscoroutinefunction(fn):
            async def batch():
                for _ in range(times):
                    await fn()
            loop.run_until_complete(batch())
        else:
            for _ in range(times):
                fn()

    def measure(fn, times):
        settle()
        before = sys.gettotalrefcount()
        run(fn, times)
        settle()
        # Less one: the int that holds `before` is a reference of its own.
        return sys.gettotalrefcount() - before - 1

    setup, aops = async_ops()
    loop.run_until_complete(setup())
    interrupter = Interrupter()
    ops = sync_ops() + [("acquire interrupted by the key", interrupter.op, 0.1)] + aops

    leaks = []
    print(f"refleak_check: N={n} ({sys.version.split()[0]}, {ratevane.__file__})")
    for name, fn, cost in ops:
        # Slow operations (waits, cancellations) run fewer times.
        k = max(5, int(n / cost)) if cost >= 1 else max(5, int(n * cost))
        run(fn, k)
        small = measure(fn, 2 * k)
        large = measure(fn, 4 * k)
        leaked = small > 0 and large > 0 and large > small + SLACK
        leaked = leaked or large > 2 * k  # half a reference per call or more
        status = "LEAK" if leaked else "ok"
        print(f"  {status:4} {name:42} warm-up {k:5}: +{small} over {2 * k}, "
              f"+{large} over {4 * k}")
        if leaked:
            leaks.append(name)
    interrupter.close()
    settle()
    loop.close()

    if leaks:
        print(f"refleak_check: references leak in: {', '.join(leaks)}")
        return 1
    print(f"refleak_check: {len(ops)} operations, no reference grows with the number of calls")
    return 0


if __name__ == "__main__":
    status = main()
    sys.stdout.flush()
    sys.exit(status)
