"""Resident memory stops growing over a long run of calls, synchronous and
awaited, on both interpreters.

An object the module forgets to give back stays alive for good, so a leak
grows the process on every round of calls for as long as it runs. PyPy
also grows for a while on its own: its C-API layer keeps a copy of every
object handed across, and its JIT and heaps settle, over the first few
hundred thousand calls (an asyncio loop takes longer than plain calls),
and where that warm-up ends differs from machine to machine. A reading
before and after one run cannot tell the two apart.

So each workload runs in a fresh interpreter that reports its resident
size after every round of calls, and the check looks at the last rounds
only: it passes as soon as the median growth of the last JUDGED_ROUNDS
rounds is below what a leak adds in every round, and fails when that has
not happened within the workload's rounds. A warm-up stops; a leak goes
on round after round. The median leaves out the odd round in which a heap
grows by a whole block, or gives one back, either way.

The test build's "leak" fault point makes release() keep one new float
alive per call; each check is run with it armed and must catch it.
"""

import sys

import pytest

from async_support import needs_faults
from conftest import SANITIZERS, start_python

# Under the sanitizers, freed memory waits in AddressSanitizer's quarantine
# and its allocator keeps pools of its own, so the resident size says
# nothing about leaks there; that run has LeakSanitizer check the module's
# allocations instead.
pytestmark = [
    pytest.mark.skipif(
        bool(SANITIZERS), reason="resident size under the sanitizers says nothing about leaks"),
    pytest.mark.skipif(not sys.platform.startswith("linux"),
                       reason="the children read their resident size from /proc and glibc"),
]

JUDGED_ROUNDS = 5
# The smallest leak is one object per call of one method. Every host object
# carries a reference count and a type pointer, 16 bytes, and no allocator
# here hands out less (CPython's small-object blocks come in multiples of
# 16 bytes; PyPy adds a malloc'd C copy of 32 bytes or more to the object
# in its own heap). Every method is called once per iteration, so such a
# leak adds at least 16 bytes x iterations in every round; the check allows
# half of that as the judged rounds' median growth. (Measured with the
# fault point: 32 bytes per leaked float on CPython, 70-130 bytes on PyPy.)
SMALLEST_LEAK_BYTES = 16

# Workload: (iterations per round, most rounds). The most rounds are three
# times the longest warm-up seen or more: PyPy's plain calls stopped
# growing within 600,000 iterations, its asyncio loop within 160,000
# (CPython at once).
WORKLOADS = {
    "sync": (100_000, 30),
    "awaited": (20_000, 25),
}

# Run with KIND, ITERATIONS, ROUNDS and LEAK set by a first line. Prints the
# resident size in bytes after each round.
CHILD = r"""
import asyncio, ctypes, faulthandler, gc, os
import ratevane

# A hang guard only: the slowest workload takes well under a minute.
faulthandler.dump_traceback_later(600, exit=True)
HUGE = 10**15
if LEAK:
    ratevane._arm_fault("leak", 2**31 - 1)


libc = ctypes.CDLL("libc.so.6")


def report():
    for _ in range(3):
        gc.collect()
    # What the collections freed goes back to the system, so that the
    # resident size follows what is alive (PyPy's heaps and its C-API
    # copies live in malloc'd memory, whose free pages malloc keeps).
    libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        print(int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), flush=True)


def sync_rounds():
    limiter = ratevane.RateLimiter(sec=HUGE, min=HUGE, max_burst=HUGE, blocking=False)
    acquire, release = limiter.acquire, limiter.release
    get_remaining, wait_time = limiter.get_remaining, limiter.wait_time
    for _ in range(ROUNDS):
        for _ in range(ITERATIONS):
            acquire()
            get_remaining()
            wait_time()
            release()
        assert limiter.get_remaining()["burst"] == HUGE
        report()


async def awaited_rounds(tasks=50):
    # Concurrent tasks: a lone task would mostly wait for thread switches.
    # One event loop throughout: a loop per round would measure the loops.
    limiter = ratevane.AsyncRateLimiter(sec=HUGE, max_burst=HUGE)

    async def pairs(n):
        for _ in range(n):
            assert await limiter.acquire() == ()
            assert await limiter.release() == ()

    for _ in range(ROUNDS):
        await asyncio.gather(*(pairs(ITERATIONS // tasks) for _ in range(tasks)))
        assert (await limiter.get_remaining())["burst"] == HUGE
        report()


if KIND == "sync":
    sync_rounds()
else:
    asyncio.run(awaited_rounds())
"""


def median_growth(sizes):
    steps = sorted(b - a for a, b in zip(sizes[-1 - JUDGED_ROUNDS:], sizes[-JUDGED_ROUNDS:]))
    return steps[len(steps) // 2]


def watch(kind, leak):
    """Run the workload until its last rounds are flat or its rounds run
    out; returns (flat, sizes in MB, what to show on failure)."""
    iterations, rounds = WORKLOADS[kind]
    allowed = SMALLEST_LEAK_BYTES * iterations / 2
    code = f"KIND, ITERATIONS, ROUNDS, LEAK = {kind!r}, {iterations}, {rounds}, {leak}\n" + CHILD
    proc = start_python(code)
    sizes, flat = [], False
    try:
        for line in proc.stdout:
            sizes.append(int(line))
            if len(sizes) > JUDGED_ROUNDS and median_growth(sizes) < allowed:
                flat = True
                break
    finally:
        proc.kill()
        _, err = proc.communicate()
    if not flat:
        assert len(sizes) == rounds, f"the {kind} child failed:\n{err}"
    mb = [s / 2**20 for s in sizes]
    line = (f"{kind}{' with a planted leak' if leak else ''}: resident MB after each round "
            f"of {iterations} iterations: {', '.join(f'{m:.1f}' for m in mb)}; median growth "
            f"of the last {JUDGED_ROUNDS} rounds {median_growth(sizes) / 2**20:+.2f} MB "
            f"(allowed {allowed / 2**20:.2f} MB)")
    return flat, line


@pytest.mark.parametrize("kind", sorted(WORKLOADS))
def test_memory_stops_growing(kind):
    flat, line = watch(kind, leak=False)
    print("\n" + line)
    assert flat, line


@needs_faults
@pytest.mark.parametrize("kind", sorted(WORKLOADS))
def test_a_leak_of_one_float_per_call_is_caught(kind):
    flat, line = watch(kind, leak=True)
    print("\n" + line)
    assert not flat, line
