"""Resident memory stays flat under PyPy over a million synchronous calls
and a hundred thousand awaited ones.

PyPy has no reference total to read: an object the module forgets to give
back stays alive in its C-API layer for good, so a leak shows as resident
memory that grows with the number of calls. Each workload runs in a fresh
interpreter (the heap that earlier tests leave behind moves on its own):
first a warm-up (JIT, heap size, the worker pool), then the resident size
is read after gc.collect() before and after the measured run.
"""

import json

import pytest

from conftest import IS_PYPY, run_python

pytestmark = pytest.mark.skipif(not IS_PYPY, reason="resident-memory check for PyPy only")

SYNC_CALLS = 1_000_000
AWAITED_CALLS = 100_000
# In a fresh PyPy process the resident size grows in steps of 1-2 MB for
# about the first 450,000 awaited calls (JIT code and native heaps: the
# garbage-collected heap stays at 10-11 MB meanwhile), then stays flat
# (seen: one more 2 MB step in 1.5 million calls). Warm up past that.
AWAITED_WARM_UP = 500_000
# A leaked object per call costs a hundred bytes or more, so even the
# 100,000 awaited calls would leak 10 MB or more.
ALLOWED_GROWTH_MB = 6.0

# Run with KIND, CALLS and WARM_UP set by a first line.
CHILD = r"""
import asyncio, gc, json, os, time
import ratevane

HUGE = 10**15


def resident():
    for _ in range(3):
        gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sync_run():
    limiter = ratevane.RateLimiter(sec=HUGE, min=HUGE, max_burst=HUGE, blocking=False)
    acquire, release = limiter.acquire, limiter.release
    get_remaining, wait_time = limiter.get_remaining, limiter.wait_time

    def run(calls):
        for _ in range(calls // 4):
            acquire()
            get_remaining()
            wait_time()
            release()
        assert limiter.get_remaining()["burst"] == HUGE

    return run


def measure(run):
    run(WARM_UP)
    before = resident()
    started = time.monotonic()
    run(CALLS)
    took = time.monotonic() - started
    return {"growth": resident() - before, "took": took}


async def measure_awaited(tasks=50):
    # Concurrent tasks: a lone task would mostly wait for thread switches.
    # One event loop throughout: a loop per batch would measure the loops.
    limiter = ratevane.AsyncRateLimiter(sec=HUGE, max_burst=HUGE)

    async def pairs(n):
        for _ in range(n):
            assert await limiter.acquire() == ()
            assert await limiter.release() == ()

    async def run(calls):
        await asyncio.gather(*(pairs(calls // (2 * tasks)) for _ in range(tasks)))
        assert (await limiter.get_remaining())["burst"] == HUGE

    await run(WARM_UP)
    before = resident()
    started = time.monotonic()
    await run(CALLS)
    took = time.monotonic() - started
    return {"growth": resident() - before, "took": took}


if KIND == "sync":
    out = measure(sync_run())
else:
    out = asyncio.run(measure_awaited())
print(json.dumps(out))
"""


def run_workload(kind, calls, warm_up):
    code = f"KIND, CALLS, WARM_UP = {kind!r}, {calls}, {warm_up}\n" + CHILD
    proc = run_python(code, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    growth_mb = out["growth"] / 1024 / 1024
    return growth_mb, out["took"]


def describe(what, calls, growth_mb, took):
    return (f"{what}: {calls} calls in {took:.1f} s, resident memory "
            f"{'+' if growth_mb >= 0 else '-'}{abs(growth_mb):.2f} MB "
            f"(allowed {ALLOWED_GROWTH_MB} MB)")


def test_sync_calls_keep_memory_flat():
    growth_mb, took = run_workload("sync", SYNC_CALLS, SYNC_CALLS // 5)
    line = describe("RateLimiter", SYNC_CALLS, growth_mb, took)
    print("\n" + line)
    assert growth_mb < ALLOWED_GROWTH_MB, line


def test_awaited_calls_keep_memory_flat():
    growth_mb, took = run_workload("awaited", AWAITED_CALLS, AWAITED_WARM_UP)
    line = describe("AsyncRateLimiter (awaited)", AWAITED_CALLS, growth_mb, took)
    print("\n" + line)
    assert growth_mb < ALLOWED_GROWTH_MB, line
