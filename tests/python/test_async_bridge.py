"""The asyncio bridge under AsyncRateLimiter: the executor's worker threads,
delivery of outcomes to the loop, the loop-side callback objects, the
auxiliary module `awaitable_bridge`, and what happens when the loop goes
away or the loop's own methods fail.

Whatever needs a process of its own (the executor not created yet, the
worker-count variable, a loop closed under a running task, the
interpreter's exit) runs in a child interpreter.
"""

import asyncio
import json
import os
import signal
import textwrap

import pytest

from async_support import (
    HUGE,
    WORKER_COUNT_SOURCE,
    WORKER_COUNT_VAR,
    RecordingFuture,
    RecordingLoop,
    asyncio_test,
    completion_var,
    load_bridge_module,
    needs_faults,
    room_in_minute,
    run,
    run_children,
    settled_remaining,
)
from conftest import ratevane, run_python

AsyncRateLimiter = ratevane.AsyncRateLimiter


def child(body):
    """Source of a child process: imports, the worker-thread count, then
    `body`; the child prints one JSON line that the test reads back."""
    return (
        "import asyncio, json, os, sys, time\nimport ratevane\n"
        + WORKER_COUNT_SOURCE
        + textwrap.dedent(body)
    )


def last_json(result):
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


# --- the executor's worker threads --------------------------------------------------

NO_EXECUTOR_UNTIL_A_TASK_STARTS = """
def wait_for_workers(n, timeout=5.0):
    # Workers are named as they start, within milliseconds; the 5 s are a
    # guard. The 0.2 s after it only give a surplus worker time to show.
    deadline = time.monotonic() + timeout
    while worker_thread_count() < n and time.monotonic() < deadline:
        time.sleep(0.01)
    return worker_thread_count()

seen = {"after_import": worker_thread_count()}
lim = ratevane.AsyncRateLimiter(sec=5, max_burst=2)
sync = ratevane.RateLimiter(sec=5, max_burst=2)
with sync:
    sync.get_remaining()
    sync.wait_time()
seen["after_blocking_class"] = worker_thread_count()
errors = []
for call in (lim.acquire, lim.release, lim.get_remaining, lim.wait_time, lim.__aenter__,
             lambda: lim.__aexit__(None, None, None)):
    try:
        call()
    except RuntimeError as e:
        errors.append(str(e))
seen["errors"] = errors
seen["after_refused_calls"] = worker_thread_count()

async def main():
    return await lim.get_remaining()

seen["remaining"] = asyncio.run(main())
seen["bridge_imported"] = "awaitable_bridge" in sys.modules
seen["after_first_task"] = wait_for_workers(os.cpu_count())
time.sleep(0.2)
seen["settled"] = worker_thread_count()
print(json.dumps(seen), flush=True)
os._exit(0)  # the interpreter's own exit is another test's business
"""


def test_executor_starts_with_the_first_task_and_not_before():
    seen = last_json(run_python(child(NO_EXECUTOR_UNTIL_A_TASK_STARTS)))
    assert seen["after_import"] == 0
    assert seen["after_blocking_class"] == 0
    assert len(seen["errors"]) == 6
    assert all("no running event loop" in e for e in seen["errors"])
    # The refused calls started nothing and counted nothing.
    assert seen["after_refused_calls"] == 0
    assert seen["remaining"] == {"second": 5, "burst": 2}
    # The limiter makes TaskFailure itself; it never imports the module.
    assert seen["bridge_imported"] is False
    # Without the variable: one worker per logical processor.
    assert seen["after_first_task"] == os.cpu_count()
    assert seen["settled"] == os.cpu_count()


WORKER_COUNT_CHILD = """
async def main():
    lim = ratevane.AsyncRateLimiter(sec=HUGE)
    return await lim.acquire()

before = worker_thread_count()
granted = asyncio.run(main())
deadline = time.monotonic() + 5  # a guard, as in wait_for_workers above
while worker_thread_count() < EXPECTED and time.monotonic() < deadline:
    time.sleep(0.01)
time.sleep(0.2)  # time for a surplus worker to show
print(json.dumps({"before": before, "after": worker_thread_count(), "granted": granted}), flush=True)
os._exit(0)
"""


@pytest.mark.parametrize("count", [1, 2, 3])
def test_worker_count_variable_sets_the_number_of_workers(count):
    code = child(WORKER_COUNT_CHILD.replace("EXPECTED", str(count)).replace("HUGE", str(HUGE)))
    seen = last_json(run_python(code, env={WORKER_COUNT_VAR: str(count)}))
    assert seen == {"before": 0, "after": count, "granted": []}


BAD_WORKER_COUNT_CHILD = """
def describe(e):
    t = type(e)
    return {"module": t.__module__, "name": t.__name__, "text": str(e),
            "exception": isinstance(e, Exception)}

async def main():
    lim = ratevane.AsyncRateLimiter(sec=5)
    failures = []
    for call in [lim.acquire, lim.release, lim.get_remaining, lim.wait_time,
                 lim.__aenter__, lambda: lim.__aexit__(None, None, None)] * 2:
        try:
            future = call()
        except BaseException as e:
            failures.append(describe(e))
        else:
            failures.append({"returned": repr(future)})
            future.cancel()
    return failures

failures = asyncio.run(main())
# A day window: a second window could roll over between the two calls on a
# slow machine.
sync = ratevane.RateLimiter(day=5)
sync.acquire()
print(json.dumps({"failures": failures, "workers": worker_thread_count(),
                  "sync": sync.get_remaining()}), flush=True)
os._exit(0)
"""


@pytest.mark.parametrize("value", ["0", "abc", "-2", "3x"])
def test_bad_worker_count_makes_every_awaitable_call_fail(value):
    result = run_python(child(BAD_WORKER_COUNT_CHILD), env={WORKER_COUNT_VAR: value})
    seen = last_json(result)
    assert len(seen["failures"]) == 12
    for failure in seen["failures"]:
        assert failure.get("module") == "ratevane" and failure.get("name") == "InternalError", failure
        # An abnormal failure: a BaseException that ordinary handlers miss.
        assert failure["exception"] is False
        assert failure["text"].startswith("building the executor failed"), failure
    # The first says why: the variable and its value.
    first = seen["failures"][0]["text"]
    assert WORKER_COUNT_VAR in first
    assert value in first.split(WORKER_COUNT_VAR, 1)[1], first
    assert seen["workers"] == 0
    # The blocking class never needs the executor.
    assert seen["sync"] == {"day": 4}


# --- delivery ---------------------------------------------------------------------------

LOOP_CLOSED_UNDER_A_TASK = """
class Tee:
    # Keeps what goes to stderr, so that the child waits for the error
    # itself rather than for a fixed time.
    def __init__(self, real):
        self.real = real
        self.parts = []

    def write(self, text):
        self.parts.append(text)
        return self.real.write(text)

    def __getattr__(self, name):
        return getattr(self.real, name)

sys.stderr = Tee(sys.stderr)
lim = ratevane.AsyncRateLimiter(sec=1)
loop = asyncio.new_event_loop()

async def start():
    # 0.6-0.75 s into a second, so that the waiter waits 0.25-0.4 s.
    while not 0.6 < time.time() % 1.0 < 0.75:
        await asyncio.sleep(0.01)
    started = time.time()
    await lim.acquire()
    return started, lim.acquire()

started, future = loop.run_until_complete(start())
loop.stop()
loop.close()
if int(time.time()) != int(started):
    # A stall carried the first grant or the waiter into the next second,
    # where the waiter may be granted (and delivered) before the close.
    print(json.dumps({"straddled": True}), flush=True)
    os._exit(0)
print("loop closed", flush=True)
# The waiter is granted at the next whole second, under 0.4 s away, and
# cannot deliver; the guard of 10 s is for a hang.
deadline = time.monotonic() + 10
while "Event loop is closed" not in "".join(sys.stderr.parts) and time.monotonic() < deadline:
    time.sleep(0.01)
seen = "Event loop is closed" in "".join(sys.stderr.parts)
print(json.dumps({"seen": seen, "done": future.done()}), flush=True)
"""


def test_closing_the_loop_under_a_running_task_prints_the_scheduling_error():
    for _ in range(3):  # a child that stalled across a second says so
        result = run_python(child(LOOP_CLOSED_UNDER_A_TASK))
        assert result.returncode == 0, result.stdout + result.stderr
        if last_json(result) != {"straddled": True}:
            break
    assert last_json(result) == {"seen": True, "done": False}
    # The error of call_soon_threadsafe, printed on stderr once the waiter
    # was granted (after "loop closed" reached stdout).
    assert "RuntimeError" in result.stderr and "Event loop is closed" in result.stderr
    assert "Fatal" not in result.stderr and "Segmentation" not in result.stderr


EXIT_RIGHT_AFTER_AWAITING = """
async def main():
    lim = ratevane.AsyncRateLimiter(sec=HUGE)
    for _ in range(3):
        await lim.acquire()
        await lim.get_remaining()

asyncio.run(main())
print("end", flush=True)
"""


def test_interpreter_exits_cleanly_right_after_awaiting():
    """The interpreter may start its exit while a worker is still winding
    down a delivery (it holds, or is about to let go of, the interpreter
    lock). Several children, since the window is narrow."""
    code = child(EXIT_RIGHT_AFTER_AWAITING.replace("HUGE", str(HUGE)))
    results = run_children(*[(code, None)] * 8)
    bad = [(r.returncode, r.stderr[-500:]) for r in results if r.returncode != 0 or r.stderr]
    assert bad == [], f"{len(bad)} of {len(results)} children ended badly: {bad[0]}"
    assert all(r.stdout == "end\n" for r in results)


@asyncio_test
async def test_awaiting_gives_the_works_error_with_its_own_type_and_message():
    lim = AsyncRateLimiter(sec=HUGE, max_burst=1, blocking=False)
    await lim.acquire()
    with pytest.raises(ValueError) as info:
        await lim.__aenter__()
    assert type(info.value) is ValueError
    assert info.value.args == ("Failed to acquire permit",)


def test_completion_runs_in_the_loops_default_context_not_the_callers():
    """The caller's context is copied at the call, but the completion is
    scheduled with context=None: a context variable set by the caller is
    not visible where the future is completed, by result or by exception."""

    async def main():
        await room_in_minute(3)
        completion_var.set("caller")
        loop = asyncio.get_running_loop()
        lim = AsyncRateLimiter(min=1, blocking=False)  # futures of the loop's create_future
        granted = lim.acquire()
        assert isinstance(granted, RecordingFuture)
        assert await granted == ()
        refused = lim.__aenter__()
        with pytest.raises(ValueError):
            await refused
        return loop, granted, refused

    loop, granted, refused = run(main(), loop_factory=RecordingLoop)
    assert granted.seen == "default"
    assert refused.seen == "default"
    calls = [c for c in loop.threadsafe_calls if c[1] and c[1][0] is granted]
    assert len(calls) == 1
    callback, args, context = calls[0]
    assert context is None
    assert type(callback).__name__ == "CheckedCompletor"
    assert type(callback).__module__ == "builtins"
    assert args[1] == granted.set_result and args[2] == ()


def test_a_signal_does_not_end_a_waiting_acquire():
    """The background tasks never look at host signals: a waiting acquire
    goes on waiting through one, and ends only by its grant."""
    hits = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: hits.append(number))
    try:

        async def main():
            lim = AsyncRateLimiter(sec=HUGE, max_burst=1)
            await lim.acquire()
            waiter = lim.acquire()
            await asyncio.sleep(0.05)
            signal.raise_signal(signal.SIGINT)
            await asyncio.sleep(0.3)
            assert hits == [signal.SIGINT]
            assert not waiter.done()
            await lim.release()
            return await asyncio.wait_for(waiter, 5)

        assert run(main()) == ()
    finally:
        signal.signal(signal.SIGINT, previous)


# --- the loop-side callback objects ---------------------------------------------------


def test_done_callback_and_completor_objects():
    async def main():
        loop = asyncio.get_running_loop()
        lim = AsyncRateLimiter(sec=HUGE)
        future = lim.acquire()
        assert await future == ()
        [done_callback] = [c for c in future.done_callbacks if type(c).__name__ == "PyDoneCallback"]
        [(completor, args, _)] = [c for c in loop.threadsafe_calls if c[1][0] is future]
        return loop, done_callback, completor

    loop, done_callback, completor = run(main(), loop_factory=RecordingLoop)
    assert type(done_callback).__name__ == "PyDoneCallback"
    assert type(done_callback).__module__ == "builtins"
    assert type(completor).__name__ == "CheckedCompletor"
    assert callable(done_callback) and callable(completor)

    # Argument checking, with the messages of every other method.
    with pytest.raises(TypeError) as info:
        done_callback()
    assert str(info.value) == "PyDoneCallback.__call__() missing 1 required positional argument: 'fut'"
    with pytest.raises(TypeError) as info:
        completor(1, 2)
    assert str(info.value) == (
        "CheckedCompletor.__call__() missing 1 required positional argument: 'value'"
    )

    # A completor completes a future that is not cancelled, and leaves a
    # cancelled one alone.
    other = asyncio.new_event_loop()
    try:
        pending = other.create_future()
        cancelled = other.create_future()
        cancelled.cancel()
        calls = []
        assert completor(future=cancelled, complete=calls.append, value=1) is None
        assert calls == []
        assert completor(pending, calls.append, 2) is None
        assert calls == [2]
        # A done-callback given a future that completed normally fires
        # nothing (its signal stays armed until it is released).
        pending.set_result(None)
        assert done_callback(pending) is None
    finally:
        other.close()

    # Exclusive use: a done-callback re-entered from inside its own call
    # (here through the future's cancelled()) refuses the inner call.
    class Reentrant:
        inner = None

        def cancelled(self):
            try:
                done_callback(self)
            except RuntimeError as e:
                self.inner = e
            return False

    fut = Reentrant()
    assert done_callback(fut) is None
    assert type(fut.inner) is RuntimeError and str(fut.inner) == "Already borrowed"

    # cancelled() may answer with any object: its truth decides, and an
    # answer whose truth cannot be read fails the completor's call.
    class Answers:
        def __init__(self, answer):
            self.answer = answer

        def cancelled(self):
            return self.answer

    class NoTruth:
        def __bool__(self):
            raise LookupError("no truth here")

    calls = []
    for answer, completes in ((1, False), ("yes", False), (0, True), ("", True), (None, True)):
        assert completor(Answers(answer), calls.append, answer) is None
        assert (calls[-1:] == [answer]) is completes
        calls.clear()
        assert done_callback(Answers(False if completes else 0)) is None
    with pytest.raises(LookupError, match="no truth here"):
        completor(Answers(NoTruth()), calls.append, 1)
    assert calls == []

    # Keywords, given as an explicit dict too, empty or not.
    assert completor(Answers(False), calls.append, 3, **{}) is None
    assert completor(future=Answers(False), complete=calls.append, **{"value": 4}) is None
    assert done_callback(fut=Answers(False), **{}) is None
    assert calls == [3, 4]
    with pytest.raises(TypeError) as info:
        done_callback(Answers(False), **{"fut": 1})
    assert str(info.value) == "PyDoneCallback.__call__() got multiple values for argument 'fut'"


def test_cancelled_check_that_raises_off_the_loop_is_printed_and_delivery_goes_on(capfd):
    class Loop(RecordingLoop):
        cancelled_raises_off_loop = True

    async def main():
        lim = AsyncRateLimiter(sec=HUGE)
        future = lim.acquire()
        return future, await asyncio.wait_for(future, 10)

    future, result = run(main(), loop_factory=Loop)
    assert result == ()
    assert future.asked_off_loop >= 1
    err = capfd.readouterr().err
    assert "LookupError" in err and "cancelled() refused by the test" in err


@pytest.mark.parametrize("failing", ["fail_create_future", "fail_add_done_callback"])
def test_a_loop_method_that_raises_fails_the_call_and_starts_nothing(failing):
    async def main():
        await room_in_minute(3)
        loop = asyncio.get_running_loop()
        # Without max_burst: every method's future comes from the loop's
        # create_future (with it, an acquire's is a GrantFuture).
        lim = AsyncRateLimiter(min=1, blocking=False)
        # Only around the calls: asyncio itself makes futures and adds
        # done-callbacks to them.
        setattr(loop, failing, True)
        try:
            for call in (lim.acquire, lim.release, lim.get_remaining, lim.__aenter__):
                with pytest.raises(LookupError):
                    call()
        finally:
            setattr(loop, failing, False)
        # Nothing was counted.
        return await settled_remaining(lim, {"minute": 1}, stable=0.2)

    assert run(main(), loop_factory=RecordingLoop) == {"minute": 1}


# --- the auxiliary module ----------------------------------------------------------------


def test_awaitable_bridge_module():
    module = load_bridge_module()
    assert module.__name__ == "awaitable_bridge"
    assert module.__all__ == ["TaskFailure"]
    assert module.__doc__ == ""
    failure = module.TaskFailure
    assert isinstance(failure, type)
    assert issubclass(failure, Exception)
    assert failure.__mro__[1] is Exception
    assert failure.__module__ == "awaitable_bridge"
    assert failure.__name__ == "TaskFailure"
    assert failure.__doc__ is None
    e = failure("some text")
    assert e.args == ("some text",)
    # Loading it again gives the same module (one module cell per process).
    assert load_bridge_module().TaskFailure is failure


@needs_faults
def test_task_failure_raised_by_the_limiter_is_the_modules_type():
    async def failing():
        lim = AsyncRateLimiter(sec=HUGE)
        ratevane._arm_fault("task_work", 1)
        try:
            await lim.acquire()
        except Exception as e:  # the failure under test
            return e
        finally:
            ratevane._arm_fault("task_work", 0)

    raised = run(failing())
    module = load_bridge_module()
    assert type(raised).__name__ == "TaskFailure"
    assert type(raised).__module__ == "awaitable_bridge"
    # Same binary, same statics: the very type object, on both interpreters.
    assert type(raised) is module.TaskFailure


def test_the_limiter_does_not_export_task_failure():
    assert "TaskFailure" not in ratevane.__all__
    assert not hasattr(ratevane, "TaskFailure")
