"""Test setup: import the extension from the build directory named by
RATEVANE_BUILD (the Makefile sets it), else the installed package.

Helpers for real-clock tests live here too. The limiters count permits in
wall-clock intervals (CLOCK_REALTIME, the clock behind time.time()), so a
test that looks at counts must know that its calls all fell inside one
interval; the helpers either arrange that or check it afterwards.

No check here or in the tests measures speed (bench/ has the figures). The
time limits are hang guards, set far above the waiting a test plans, and
the room asked for before a run is many times what the run needs; each
says why beside it."""

import os
import subprocess
import sys
import threading
import time

import pytest

_build = os.environ.get("RATEVANE_BUILD")
# The pure-Python companion module ratevane_redis, from the source tree
# beside the build (a wheel run imports both from the installation).
_python_src = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "python")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))
    sys.path.insert(0, _python_src)

import ratevane  # noqa: E402

IS_PYPY = sys.implementation.name == "pypy"

# The sanitizers a test build runs under (["address", "undefined"] in the
# sanitizer run); installed and release builds carry no such information.
SANITIZERS = getattr(ratevane, "_build_info", {}).get("sanitizers", [])

# RATEVANE_PLANT_FAULT=use_after_free (a test build's fault point) plants a
# fault for the whole run, to show that the run catches it.
if os.environ.get("RATEVANE_PLANT_FAULT"):
    ratevane._arm_fault(os.environ["RATEVANE_PLANT_FAULT"], 2**31 - 1)

# A window limit far beyond anything a test can use up.
HUGE = 10**12


def wait_for_fresh_second(margin=0.05):
    """Sleep until just after the next whole wall-clock second, so that a
    test has almost a full second before the second window rolls over."""
    now = time.time()
    time.sleep(1.0 - (now % 1.0) + margin * 0.2)
    while time.time() % 1.0 > 0.5:  # a sleep that overshot into the next half
        time.sleep(1.0 - (time.time() % 1.0) + 0.01)


def wait_for_fresh_minute_if_late(room=5.0):
    """Make sure at least `room` seconds remain in the current UTC minute."""
    left = 60.0 - (time.time() % 60.0)
    if left < room:
        time.sleep(left + 0.05)


def seconds_left(period=1.0):
    """Seconds until the current wall-clock interval of `period` seconds
    (aligned to the Unix epoch, as the limiter's windows are) ends."""
    return period - (time.time() % period)


def ensure_room(room, period=1.0):
    """Sleep into the next interval of `period` seconds when less than
    `room` seconds are left in the current one."""
    left = seconds_left(period)
    if left < room:
        time.sleep(left + 0.005)
        while seconds_left(period) < room:  # woke early or overslept badly
            time.sleep(seconds_left(period) + 0.005)


def in_one_interval(fn, period=1.0, room=0.3, attempts=4):
    """Run `fn` (which should build its own limiter) so that it starts and
    ends inside one wall-clock interval of `period` seconds, and return its
    result. Every clock read of the limiter lies between the two reads made
    here, so when those fall in the same interval, so did the limiter's.
    A run that straddles a boundary is thrown away and repeated; waiting is
    needed only when less than `room` seconds are left. The runs are a few
    calls of microseconds each: only a stall of `room` seconds in each of
    the `attempts` tries fails."""
    for _ in range(attempts):
        ensure_room(room, period)
        start = time.time()
        result = fn()
        end = time.time()
        if start // period == end // period:
            return result
    pytest.fail(f"could not run inside one {period}-second interval in {attempts} tries")


def between(value, low, high):
    """Whether `value` lies in [low, high], give or take 10 µs (time.time()'s
    float resolves a quarter of a microsecond today). A time the limiter
    computes from its own clock read lies between the same computation made
    from two reads of time.time() taken around the call: an exact check
    that no machine's speed can break."""
    slack = 1e-5
    return low - slack <= value <= high + slack


class Background:
    """Runs `fn` on a daemon thread and records how it ended: `result` or
    `error`."""

    def __init__(self, fn, name="background"):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn,), name=name, daemon=True)
        self._thread.start()

    def _run(self, fn):
        try:
            self.result = fn()
        except BaseException as e:  # reported to the test, whatever it is
            self.error = e

    def done(self):
        return not self._thread.is_alive()

    def join(self, timeout):
        self._thread.join(timeout)
        return self.done()

    def outcome(self, timeout=5.0):
        """The result, after waiting for the thread; re-raises its error."""
        assert self.join(timeout), f"thread did not finish within {timeout} s"
        if self.error is not None:
            raise self.error
        return self.result


def run_in_parallel(*fns, timeout=30.0):
    """Run independent slow callables on threads at once (to save wall time)
    and return their results in order; the first error is re-raised."""
    jobs = [Background(fn, name=f"parallel-{i}") for i, fn in enumerate(fns)]
    return [job.outcome(timeout) for job in jobs]


@pytest.fixture
def fresh_second():
    wait_for_fresh_second()


@pytest.fixture(params=["RateLimiter", "AsyncRateLimiter"])
def limiter_class(request):
    return getattr(ratevane, request.param)


def _child_env(env=None):
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [p for p in [os.path.join(_build, "src") if _build else None,
                     _python_src if _build else None, full_env.get("PYTHONPATH")] if p]
    )
    if env:
        full_env.update(env)
    return full_env


def run_python(code, timeout=60, env=None):
    """Run `code` in a fresh interpreter (the same one as the tests) with the
    extension importable; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=_child_env(env),
    )


def start_python(code, env=None):
    """Like run_python, but returns the running Popen at once, so that
    several slow children can run side by side."""
    return subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=_child_env(env),
    )


def finish_python(proc, timeout):
    """Collect a child started by start_python; a child still running after
    `timeout` seconds is killed and reported as a test failure."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"child did not finish within {timeout} s\nstdout:\n{out}\nstderr:\n{err}")
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
