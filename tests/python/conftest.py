"""Test setup: import the extension from the build directory named by
RATEVANE_BUILD (the Makefile sets it), else the installed package."""

import os
import sys
import time

import pytest

_build = os.environ.get("RATEVANE_BUILD")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))

import ratevane  # noqa: E402

IS_PYPY = sys.implementation.name == "pypy"


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


@pytest.fixture
def fresh_second():
    wait_for_fresh_second()


@pytest.fixture(params=["RateLimiter", "AsyncRateLimiter"])
def limiter_class(request):
    return getattr(ratevane, request.param)


def run_python(code, timeout=60, env=None):
    """Run `code` in a fresh interpreter (the same one as the tests) with the
    extension importable; returns the CompletedProcess."""
    import subprocess

    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [p for p in [os.path.join(_build, "src") if _build else None, full_env.get("PYTHONPATH")] if p]
    )
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )
