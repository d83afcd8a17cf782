"""ratevane_redis limiters that end or split: a forked child holds none of
its parent's permits and never hangs; a limiter that is dropped hands back
what it holds, and its background work stops."""

import asyncio
import gc
import time

import pytest

from conftest import HUGE, finish_python, start_python
from redis_support import budget_name, leases_held, redis, redis_server  # noqa: F401

import ratevane_redis

# Each round forks right after a grant, while the new lease thread (or the
# renewing task) is starting and may hold its lock. The child must answer
# within its deadline; it hands back nothing of its parent's, at its calls
# or at its exit.
FORKS = """
import asyncio, os, sys, time, redis, ratevane_redis
port, name, huge = {port}, {name!r}, {huge}

def reap(pid):
    deadline = time.monotonic() + 5  # a child's calls take milliseconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status >> 8
        time.sleep(0.005)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"

outcomes = []
for i in range(8):
    lim = ratevane_redis.RateLimiter(redis.Redis(port=port), name + str(i), sec=huge, max_burst=2)
    lim.acquire()
    pid = os.fork()
    if pid == 0:
        lim.release()  # the parent's permit is not this process's to hand back
        got = lim.acquire()
        lim.release()
        sys.exit(0 if got else 3)
    outcomes.append(reap(pid))
    outcomes.append(lim.get_remaining()["burst"])  # the parent's permit is still held

async def hold(lim):
    assert await lim.acquire()

async def child(lim):
    await lim.release()  # the parent's permit, again
    third = ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port=port), name + "a",
                                            sec=huge, max_burst=1, blocking=False)
    return await third.acquire()

async def parent(lim):
    third = ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port=port), name + "a",
                                            sec=huge, max_burst=1, blocking=False)
    outcomes.append(await third.acquire())
    await lim.release()
    outcomes.append(await third.acquire())

# The parent's loop runs in a thread of its own, as a server's would; the
# fork copies no thread, and the child runs a loop of its own.
import threading
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
on_loop = lambda coro: asyncio.run_coroutine_threadsafe(coro, loop).result(30)

async def make():
    return ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port=port), name + "a",
                                           sec=huge, max_burst=1)

lim = on_loop(make())
on_loop(hold(lim))
pid = os.fork()
if pid == 0:
    sys.exit(0 if asyncio.run(child(lim)) is False else 3)
outcomes.append(reap(pid))
on_loop(parent(lim))
print(outcomes)
"""


def test_forked_children_never_hang_and_hold_none_of_the_parents_permits(redis_server):
    name = budget_name()
    r = finish_python(start_python(FORKS.format(port=redis_server.port, name=name, huge=HUGE)),
                      120)
    assert r.returncode == 0, r.stderr
    assert eval(r.stdout) == [0, 1] * 8 + [0, False, True]


def test_dropped_limiters_hand_back_their_permits(redis_server):
    # (close() is a case of test_redis_conformance.py: no thread or task is
    # left to see there.)
    client = redis_server.client()
    lease = 1.0

    def dropped_sync(name):
        holder = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1, lease=lease)
        assert holder.acquire()
        del holder

    def assert_handed_back_soon(name, since):
        # The holder's thread or task hands the lease back when it sees the
        # limiter gone: long before the lease runs out (it was renewed
        # within the last third of a lease, so it would last beyond 2/3 of
        # one more).
        while leases_held(client, name):
            assert time.monotonic() - since < 2 * lease
            time.sleep(0.02)

    name = budget_name()
    dropped_sync(name)
    start = time.monotonic()
    gc.collect()
    assert_handed_back_soon(name, start)

    async def dropped_async():
        aclient = redis_server.async_client()
        name = budget_name()
        holder = ratevane_redis.AsyncRateLimiter(aclient, name, sec=HUGE, max_burst=1,
                                                 lease=lease)
        assert await holder.acquire()
        await asyncio.sleep(lease)  # renewed at least twice meanwhile
        assert leases_held(client, name) == 1
        del holder
        start = time.monotonic()
        gc.collect()
        while leases_held(client, name):
            assert time.monotonic() - start < 2 * lease
            await asyncio.sleep(0.02)
        await aclient.aclose()

    asyncio.run(dropped_async())
