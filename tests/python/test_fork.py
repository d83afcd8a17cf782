"""Forked children: limiters keep working in the child, whatever the parent
was doing at the fork, and the parent is unaffected.

Every fork happens in a fresh interpreter (run_python), never in the test
process: a forked copy of pytest would run the rest of the session."""

import json
import os
import subprocess
import sys

import pytest

from async_support import needs_faults
from conftest import _child_env, run_python

STRESS = os.path.join(os.path.dirname(__file__), "fork_stress.py")

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="this platform has no fork()")

# In the sanitizer run, LeakSanitizer stays off in these processes: a
# forked child cannot stop the threads it did not inherit (the parent's
# worker threads, caught mid-task), so it cannot see what their stacks
# point to, and reports those objects as leaked.
NO_LEAK_CHECK = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")}

# Setup shared by the children's scripts: limiters of one 1000-day window
# (so no count rolls over during a test), used before the fork; the
# awaitable use starts the executor's worker threads in the parent.
PRELUDE = """
import asyncio, json, os, sys
import ratevane

sync = ratevane.RateLimiter(day=1000, day_window=1000, max_burst=5)
alim = ratevane.AsyncRateLimiter(day=1000, day_window=1000)

async def take(limiter):
    return await asyncio.wait_for(limiter.acquire(), 5)

async def child_awaits():
    fresh = ratevane.AsyncRateLimiter(day=10, day_window=1000)
    got = [await take(alim), await take(fresh), await take(fresh)]
    return got, await alim.get_remaining(), await fresh.get_remaining()

for _ in range(3):
    sync.acquire()
asyncio.run(take(alim))
"""


def test_a_forked_child_uses_limiters_from_before_and_after_the_fork():
    # The child exits through the interpreter's normal exit, so a hook there
    # that waited for the parent's worker threads would show as a hang.
    code = PRELUDE + """
pid = os.fork()
if pid == 0:
    inherited = sync.get_remaining()
    sync.release()
    granted = [sync.acquire(), sync.acquire()]
    got, alim_left, fresh_left = asyncio.run(child_awaits())
    print(json.dumps([inherited, granted, sync.get_remaining(), got, alim_left, fresh_left]))
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print(json.dumps([os.waitstatus_to_exitcode(status), sync.get_remaining(),
                  asyncio.run(take(alim))]))
"""
    proc = run_python(code, timeout=60, env=NO_LEAK_CHECK)
    assert proc.returncode == 0, proc.stderr
    child_line, parent_line = proc.stdout.splitlines()
    inherited, granted, after, got, alim_left, fresh_left = json.loads(child_line)
    # The child's copy: counts and held burst permits as they were at the fork.
    assert inherited == {"day": 997, "burst": 2}
    assert granted == [True, True]
    assert after == {"day": 995, "burst": 1}
    assert got == [[], [], []]
    assert alim_left == {"day": 998}
    assert fresh_left == {"day": 8}
    status, parent_left, parent_got = json.loads(parent_line)
    assert status == 0
    # The child's grants were its own.
    assert parent_left == {"day": 997, "burst": 2}
    assert parent_got == []


def test_a_fork_pool_of_four_runs_every_job():
    code = PRELUDE + """
import multiprocessing

def job(i):
    sync.acquire()
    sync.release()
    got, _, fresh_left = asyncio.run(child_awaits())
    return got, fresh_left

with multiprocessing.get_context("fork").Pool(4) as pool:
    print(json.dumps(pool.map_async(job, range(12)).get(timeout=30)))
"""
    proc = run_python(code, timeout=90, env=NO_LEAK_CHECK)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [[[[], [], []], {"day": 8}]] * 12


def run_stress(*args):
    proc = subprocess.run(
        [sys.executable, STRESS, *map(str, args)],
        capture_output=True, text=True, timeout=240, env=_child_env(NO_LEAK_CHECK),
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_no_forked_child_hangs_however_busy_the_parent():
    assert run_stress(200) == {"forked": 200, "hung": 0, "parent_ok": True}


@needs_faults
def test_without_the_fork_handlers_the_children_hang():
    # The planted fault behind the test above: with the handlers off, the
    # child believes the parent's worker threads are its own.
    report = run_stress(4, "--without-handlers")
    assert report["forked"] == 4 and report["hung"] > 0 and report["parent_ok"]
