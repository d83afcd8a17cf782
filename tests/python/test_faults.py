"""Abnormal failures, injected through the test build's fault points, in both
limiter classes.

- "wall_clock" fails a ledger step while the core lock is held: the call
  fails abnormally and the core is poisoned for good.
- "task_work" fails the body of a background task: the awaitable raises
  awaitable_bridge.TaskFailure, whose text never carries the failure's own.
- "conversion" fails turning get_remaining's result into a dict.

An armed wall-clock fault fires at the next wall-clock read of any limiter
in the process, so those cases run in a child process of their own, where
nothing else can read the clock first.
"""

import asyncio
import json
import textwrap

import pytest

from async_support import (
    HUGE,
    is_internal_error,
    is_task_failure,
    needs_faults,
    outcome,
    room_in_minute,
    run,
    settled_remaining,
)
from conftest import SANITIZERS, ratevane, run_python

pytestmark = needs_faults

AsyncRateLimiter = ratevane.AsyncRateLimiter
POINTS = ("wall_clock", "task_work", "conversion")


@pytest.fixture(autouse=True)
def disarmed():
    for point in POINTS:
        ratevane._arm_fault(point, 0)
    yield
    for point in POINTS:
        ratevane._arm_fault(point, 0)


def check_task_failure(exc):
    assert is_task_failure(exc), repr(exc)
    text = str(exc)
    assert text.endswith("unknown error"), text
    assert "injected" not in text, text


def check_interrupted(exc):
    assert type(exc) is KeyboardInterrupt, repr(exc)
    assert exc.args == ("Operation interrupted",)


# --- a poisoned core -------------------------------------------------------------------

POISON_CHILD = textwrap.dedent(
    """
    import asyncio, json, os, ratevane

    HUGE = 10**12

    def describe(e):
        t = type(e)
        return {"module": t.__module__, "name": t.__name__, "args": list(map(str, e.args)),
                "exception": isinstance(e, Exception)}

    def attempt(fn):
        try:
            return {"returned": repr(fn())}
        except BaseException as e:
            return describe(e)

    async def attempt_async(make):
        try:
            return {"returned": repr(await make())}
        except BaseException as e:
            return describe(e)

    def sync_case(blocking):
        lim = ratevane.RateLimiter(min=HUGE, max_burst=2, blocking=blocking)
        r = {"before": lim.get_remaining()}
        ratevane._arm_fault("wall_clock", 1)
        r["first"] = attempt(lim.acquire)
        r["later"] = [attempt(lim.acquire) for _ in range(3)]
        ran = []
        def block():
            with lim:
                ran.append(True)
        r["with"] = attempt(block)
        r["body_ran"] = bool(ran)
        r["remaining"] = lim.get_remaining()
        r["wait_time"] = lim.wait_time()
        r["release"] = attempt(lim.release)
        r["after_release"] = lim.get_remaining()
        healthy = ratevane.RateLimiter(min=HUGE)
        healthy.acquire()
        r["healthy"] = sorted(healthy.get_remaining())
        return r

    async def async_case(blocking):
        lim = ratevane.AsyncRateLimiter(min=HUGE, max_burst=2, blocking=blocking)
        r = {"before": await lim.get_remaining()}
        ratevane._arm_fault("wall_clock", 1)
        r["first"] = await attempt_async(lim.acquire)
        r["later"] = [await attempt_async(lim.acquire) for _ in range(3)]
        r["aenter"] = await attempt_async(lim.__aenter__)
        ran = []
        async def block():
            async with lim:
                ran.append(True)
        r["with"] = await attempt_async(block)
        r["body_ran"] = bool(ran)
        r["remaining"] = await lim.get_remaining()
        r["wait_time"] = await lim.wait_time()
        r["release"] = await attempt_async(lim.release)
        r["aexit"] = await attempt_async(lambda: lim.__aexit__(None, None, None))
        r["after_release"] = await lim.get_remaining()
        healthy = ratevane.AsyncRateLimiter(min=HUGE)
        await healthy.acquire()
        r["healthy"] = sorted(await healthy.get_remaining())
        return r

    out = {}
    for blocking in (True, False):
        out["RateLimiter-%s" % blocking] = sync_case(blocking)
        out["AsyncRateLimiter-%s" % blocking] = asyncio.run(async_case(blocking))
    print(json.dumps(out), flush=True)
    os._exit(0)  # the interpreter's own exit is another test's business
    """
)


@pytest.fixture(scope="module")
def poisoned():
    if not hasattr(ratevane, "_arm_fault"):
        pytest.skip("needs a build with fault injection")
    result = run_python(POISON_CHILD)
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1]), result.stderr


INTERRUPTED = {"module": "builtins", "name": "KeyboardInterrupt", "args": ["Operation interrupted"],
               "exception": False}


@pytest.mark.parametrize("blocking", [True, False], ids=["blocking", "nonblocking"])
def test_wall_clock_fault_poisons_a_blocking_class_core(poisoned, blocking):
    seen, stderr = poisoned
    r = seen[f"RateLimiter-{blocking}"]
    assert r["before"] == {"minute": HUGE, "burst": 2}
    first = r["first"]
    assert (first["module"], first["name"], first["exception"]) == ("ratevane", "InternalError", False)
    # For ever after: the interruption, from acquire and from `with`.
    assert r["later"] == [INTERRUPTED] * 3
    assert r["with"] == INTERRUPTED and r["body_ran"] is False
    # Only the burst entry is left; no burst permit was lost on the way.
    assert r["remaining"] == {"burst": 2}
    assert r["wait_time"] is None
    assert r["release"] == {"returned": "None"}
    assert r["after_release"] == {"burst": 2}
    # Another limiter has its own core.
    assert r["healthy"] == ["minute"]
    assert "abnormal failure" in stderr


@pytest.mark.parametrize("blocking", [True, False], ids=["blocking", "nonblocking"])
def test_wall_clock_fault_poisons_an_awaitable_class_core(poisoned, blocking):
    seen, stderr = poisoned
    r = seen[f"AsyncRateLimiter-{blocking}"]
    assert r["before"] == {"minute": HUGE, "burst": 2}
    first = r["first"]
    assert (first["module"], first["name"], first["exception"]) == (
        "awaitable_bridge", "TaskFailure", True)
    assert first["args"][0].endswith("unknown error") and "injected" not in first["args"][0]
    assert r["later"] == [INTERRUPTED] * 3
    assert r["aenter"] == INTERRUPTED
    assert r["with"] == INTERRUPTED and r["body_ran"] is False
    assert r["remaining"] == {"burst": 2}
    assert r["wait_time"] is None
    assert r["release"] == {"returned": "()"}
    assert r["aexit"] == {"returned": "False"}
    assert r["after_release"] == {"burst": 2}
    assert r["healthy"] == ["minute"]


# --- a failing background task ---------------------------------------------------------

METHODS = {
    "acquire": lambda lim: lim.acquire(),
    "release": lambda lim: lim.release(),
    "get_remaining": lambda lim: lim.get_remaining(),
    "wait_time": lambda lim: lim.wait_time(),
    "__aenter__": lambda lim: lim.__aenter__(),
    "__aexit__": lambda lim: lim.__aexit__(None, None, None),
}


@pytest.mark.parametrize("method", list(METHODS))
def test_task_work_fault_fails_that_awaitable_only(method, capfd):
    async def main():
        await room_in_minute(3)
        lim = AsyncRateLimiter(min=HUGE, max_burst=3)
        await lim.acquire()  # one held, so a failed release would show
        before = await lim.get_remaining()
        ratevane._arm_fault("task_work", 1)
        kind, exc = await outcome(METHODS[method](lim))
        after = await lim.get_remaining()
        # The limiter goes on working.
        granted = await lim.acquire()
        released = await lim.release()
        return before, kind, exc, after, granted, released, await lim.get_remaining()

    before, kind, exc, after, granted, released, last = run(main())
    assert kind == "raised"
    check_task_failure(exc)
    # The task failed before its work ran: nothing changed.
    assert after == before == {"minute": HUGE - 1, "burst": 2}
    assert granted == () and released == ()
    assert last == {"minute": HUGE - 2, "burst": 2}
    err = capfd.readouterr().err
    assert "abnormal failure" in err


def test_task_work_fault_in_a_waiting_acquire_gives_its_burst_permit_back():
    async def main():
        await room_in_minute(5)
        lim = AsyncRateLimiter(min=1, max_burst=3)
        await lim.acquire()
        waiter = lim.acquire()
        # The waiter takes a burst permit, then sleeps on the full minute.
        holding = await settled_remaining(lim, {"burst": 1}, stable=0.05)
        ratevane._arm_fault("task_work", 1)  # its next resumption fails
        # That comes within a second (the wait's steps are 1 s at most), well
        # inside the five left in the minute; the 10 s are a guard.
        kind, exc = await outcome(asyncio.wait_for(waiter, 10))
        return holding, kind, exc, await settled_remaining(lim, {"minute": 0, "burst": 2})

    holding, kind, exc, settled = run(main())
    assert holding == {"burst": 1}
    assert kind == "raised"
    check_task_failure(exc)
    assert settled == {"minute": 0, "burst": 2}


def test_task_failure_type():
    async def main():
        lim = AsyncRateLimiter(sec=HUGE)
        ratevane._arm_fault("task_work", 2)
        return (await outcome(lim.acquire()))[1], (await outcome(lim.wait_time()))[1]

    first, second = run(main())
    check_task_failure(first)
    assert type(first) is type(second)
    failure = type(first)
    assert issubclass(failure, Exception)
    assert f"{failure.__module__}.{failure.__qualname__}" == "awaitable_bridge.TaskFailure"
    assert len(first.args) == 1 and first.args[0] == str(first)
    # Ordinary handlers catch it (unlike the synchronous InternalError).
    try:
        raise first
    except Exception:
        pass


# --- a failing conversion ----------------------------------------------------------------


def test_conversion_fault_in_the_blocking_class(capfd):
    lim = ratevane.RateLimiter(hour=HUGE, max_burst=2)
    lim.acquire()
    ratevane._arm_fault("conversion", 1)
    with pytest.raises(BaseException) as info:
        lim.get_remaining()
    assert is_internal_error(info.value), repr(info.value)
    assert "abnormal failure" in capfd.readouterr().err
    # Nothing is poisoned: the next call and everything else works.
    assert lim.get_remaining()["burst"] == 1
    lim.acquire()
    lim.release()
    lim.release()
    assert lim.get_remaining()["burst"] == 2


def test_conversion_fault_in_the_awaitable_class(capfd):
    async def main():
        lim = AsyncRateLimiter(hour=HUGE, max_burst=2)
        await lim.acquire()
        ratevane._arm_fault("conversion", 1)
        kind, exc = await outcome(lim.get_remaining())
        burst = (await lim.get_remaining())["burst"]
        granted = await lim.acquire()
        await lim.release()
        await lim.release()
        return kind, exc, burst, granted, (await lim.get_remaining())["burst"]

    kind, exc, burst, granted, last = run(main())
    assert kind == "raised"
    check_task_failure(exc)
    assert burst == 1 and granted == () and last == 2
    assert "abnormal failure" in capfd.readouterr().err


@pytest.mark.skipif("address" not in SANITIZERS, reason="needs the AddressSanitizer build")
@pytest.mark.parametrize("cls", ["RateLimiter", "AsyncRateLimiter"])
@pytest.mark.parametrize("point, report", [
    ("use_after_free", "AddressSanitizer: heap-use-after-free"),
    # The leak check at exit: the interpreter's own leftovers are
    # suppressed, an allocation of the module's is not.
    ("native_leak", "LeakSanitizer: detected memory leaks"),
])
def test_the_sanitizer_run_catches_planted_memory_faults(cls, point, report):
    # What the sanitizer run is for: a memory fault in the module fails the
    # process with a report naming it, instead of passing unnoticed.
    code = f"""
import asyncio, ratevane
ratevane._arm_fault({point!r}, 1)
limiter = ratevane.{cls}(sec=5)
async def main():
    await limiter.release()
limiter.release() if {cls == "RateLimiter"} else asyncio.run(main())
print("released")
"""
    result = run_python(code)
    assert result.returncode != 0
    assert report in result.stderr and "plant_faults_if_armed" in result.stderr
