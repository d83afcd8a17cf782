"""ratevane_redis against a real redis-server: the classes' calls, shared
counts across processes and threads, leases, the server's clock, Ctrl-C,
asyncio coalescing and cancellation, and key expiry."""

import asyncio
import gc
import math
import signal
import struct
import time

import pytest

from conftest import (HUGE, ensure_room, finish_python, seconds_left, start_python,
                      wait_for_fresh_second)
from redis_support import (Proxy, budget_name, keys_of, leases_held, own_server,  # noqa: F401
                           redis, redis_server, window_count)

import ratevane
import ratevane_redis
from ratevane_redis._wire import acquire_reply


def evalsha_calls(client):
    return client.info("commandstats").get("cmdstat_evalsha", {}).get("calls", 0)


# --- construction -------------------------------------------------------------------

WINDOW_ERRORS = [dict(), dict(sec=0), dict(sec_window=5), dict(sec=1, max_burst=0),
                 dict(sec=1.5), dict(sec=-1), dict(sec=1, blocking=1),
                 dict(day=1, day_window=2**60), dict(min=1, min_window=0)]


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_constructor_errors(redis_server, kind):
    cls = ratevane_redis.RateLimiter if kind == "sync" else ratevane_redis.AsyncRateLimiter

    # On Python 3.9 an asyncio client takes the current event loop when it is
    # made, so it is made in one (the test never uses it to talk).
    async def clients():
        return redis_server.client(), redis_server.async_client()

    sync_client, async_client = asyncio.run(clients())
    client, other = (sync_client, async_client) if kind == "sync" else (async_client, sync_client)
    # The window arguments fail exactly as the native class fails.
    for kw in WINDOW_ERRORS:
        with pytest.raises(Exception) as native:
            ratevane.RateLimiter(**kw)
        with pytest.raises(type(native.value)) as ours:
            cls(client, "n", **kw)
        assert str(ours.value) == str(native.value), kw
    for bad_client in (None, object(), other):
        with pytest.raises(TypeError, match="needs a redis"):
            cls(bad_client, "n", sec=1)
    for name, error in [(b"n", TypeError), (None, TypeError), ("", ValueError),
                        ("a{b", ValueError), ("a}b", ValueError)]:
        with pytest.raises(error, match="name"):
            cls(client, name, sec=1)
    for lease, error in [(0, ValueError), (-1.0, ValueError), (math.nan, ValueError),
                         (math.inf, ValueError), (86400.5, ValueError), (1e15, ValueError),
                         ("1", TypeError), (True, TypeError)]:
        with pytest.raises(error, match="lease"):
            cls(client, "n", sec=1, lease=lease)
    # The native class counts further than a shared budget, whose numbers
    # are exact only up to 2**53: beyond that, a clear refusal.
    for kw, message in [(dict(sec=2**53 + 1), "sec must be at most 2**53 in a shared budget"),
                        (dict(sec=1, max_burst=2**53 + 1),
                         "max_burst must be at most 2**53 in a shared budget"),
                        (dict(min=1, min_window=2**53 // 60 + 1),
                         "min_window makes the minute window longer than 2**53 seconds, "
                         "more than a shared budget counts exactly")]:
        with pytest.raises(ValueError) as refused:
            cls(client, "n", **kw)
        assert str(refused.value) == message
    cls(client, "n", sec=2**53, max_burst=2**53, sec_window=2**53, lease=86400)
    for reserve, error in [(-0.1, ValueError), (math.nan, ValueError), (math.inf, ValueError),
                           ("0.1", TypeError), (True, TypeError)]:
        with pytest.raises(error, match="reserve must be a"):
            cls(client, "n", sec=1, reserve=reserve)
    cls(client, "n", sec=1, reserve=0)


def test_the_script_checks_everything_before_it_writes(redis_server):
    # Redis keeps a script's writes made before a later command fails, so
    # a configuration the script refuses must leave nothing behind. (The
    # classes never send one; another client of the same keys might.)
    client = redis_server.client()
    ensure_room(5, 3600)
    name = budget_name()
    good = ratevane_redis.RateLimiter(client, name, hour=HUGE, max_burst=1)
    rid = good._core.wire.request_id()

    def op(letter, *numbers):
        return letter + struct.pack(f"<{len(numbers)}d", *numbers)

    for bad in ([op(b"a", 1, 1e18, 3600, HUGE), rid],       # a lease of 30 million years
                [op(b"a", 1, 1000, 3600, 2.0**54), rid],     # a limit past exact
                [op(b"a", 1, 1000, 0.5, HUGE), rid],         # a window of half a second
                [op(b"a", 1.5, 1000, 3600, HUGE), rid],
                [op(b"a", 1, 1000, 3600, HUGE), rid, 1024],  # more permits than one ask
                [b"x1e18", rid], [b"n0", rid]):
        with pytest.raises(redis.exceptions.ResponseError, match="^ratevane_redis: bad "):
            good._env.call(bad)
    assert keys_of(client, name) == []
    assert good.acquire() is True
    assert good.get_remaining() == {"hour": HUGE - 1, "burst": 0}
    good.release()


def test_exact_numbers_and_the_latest_reopening(redis_server):
    client = redis_server.client()
    ensure_room(5, 3600)  # one hour and one day interval throughout
    # Two very long windows of neighbouring lengths count apart.
    name = budget_name()
    first = ratevane_redis.RateLimiter(client, name, sec=1, sec_window=10**14, blocking=False)
    second = ratevane_redis.RateLimiter(client, name, sec=1, sec_window=10**14 + 1,
                                        blocking=False)
    assert [first.acquire(), second.acquire(), first.acquire()] == [True, True, False]
    assert window_count(client, name, 10**14) == window_count(client, name, 10**14 + 1) == 1
    # Limits up to 2**53 count exactly.
    top = ratevane_redis.RateLimiter(client, budget_name(), hour=2**53, day=2**53 - 1,
                                     max_burst=2**53)
    assert top.acquire() is True
    assert top.get_remaining() == {"hour": 2**53 - 1, "day": 2**53 - 2, "burst": 2**53 - 1}
    top.release()

    # An acquire refused by two full windows waits for the later reopening
    # (the minute's), since the first to reopen frees nothing on its own;
    # wait_time() names the first full window's (the second's).
    ensure_room(5, 60)
    wait_for_fresh_second()
    both = ratevane_redis.RateLimiter(client, budget_name(), sec=1, min=1)
    assert both.acquire() is True
    wire = both._core.wire
    granted, _, wait = acquire_reply(both._env.call(wire.acquire_args(wire.request_id(), 1)))
    assert granted == 0
    assert wait >= seconds_left(60) - 0.01  # the reply came first: it can only be longer
    assert both.wait_time() <= 1.0


# --- asyncio (the calls and limits under one name: test_redis_conformance.py) -------------


def test_async_calls_coalescing_and_exact_counts(redis_server):
    async def main():
        name = budget_name()
        # 200 acquires at once on a pool of 10 connections share round trips:
        # exactly the limit is granted, in far fewer script calls.
        pool = redis.asyncio.BlockingConnectionPool(port=redis_server.port, max_connections=10,
                                                    timeout=None)
        small = redis.asyncio.Redis(connection_pool=pool)
        limiter = ratevane_redis.AsyncRateLimiter(small, name, hour=150, blocking=False)
        before = evalsha_calls(redis_server.client())
        results = await asyncio.gather(*(limiter.acquire() for _ in range(200)))
        calls = evalsha_calls(redis_server.client()) - before
        assert results.count(True) == 150 and results.count(False) == 50
        assert calls <= 20, calls  # one call per batch; a batch is whoever waits meanwhile
        assert await limiter.get_remaining() == {"hour": 0}
        assert 0.001 <= await limiter.wait_time() <= 3600
        with pytest.raises(ValueError, match="^Failed to acquire permit$"):
            async with limiter:
                pytest.fail("the body ran")
        await small.aclose()

        # The default pool, blocking, with a burst cap and async with.
        client = redis_server.async_client()
        shared = ratevane_redis.AsyncRateLimiter(client, budget_name(), hour=HUGE, max_burst=7)
        inside = peak = 0

        async def job():
            nonlocal inside, peak
            async with shared as bound:
                assert bound is None
                inside += 1
                peak = max(peak, inside)
                await asyncio.sleep(0.005)
                inside -= 1

        await asyncio.gather(*(job() for _ in range(200)))
        assert peak == 7  # 200 jobs of 5 ms always fill the cap
        assert (await shared.get_remaining())["burst"] == 7
        await client.aclose()

    ensure_room(30, 3600)
    asyncio.run(main())


def test_async_blocking_waits_for_the_reopening_second(redis_server):
    async def main():
        client = redis_server.async_client()
        limiter = ratevane_redis.AsyncRateLimiter(client, budget_name(), sec=5)
        ensure_room(0.6)
        start = time.time()
        times = []

        async def one():
            await limiter.acquire()
            times.append(time.time())

        await asyncio.gather(*(one() for _ in range(12)))
        await client.aclose()
        # The server's clock is this machine's clock: 5 grants in the first
        # second, the next 5 not before the next whole second, the last 2
        # not before the one after.
        times.sort()
        first = math.floor(start)
        assert times[4] < first + 1 <= times[5]
        assert times[9] < first + 2 <= times[10]

    asyncio.run(main())


def test_async_waiters_that_give_up_leave_at_once(redis_server):
    # (Cancels mid-call are cases of test_redis_conformance.py and
    # test_redis_edges.py.)
    async def main():
        client = redis_server.async_client()
        # Waiters that give up while a window is full leave at once: none
        # is kept, however many time out.
        ensure_room(10, 60)  # the minute stays full throughout
        full = ratevane_redis.AsyncRateLimiter(client, budget_name(), min=1)
        assert await full.acquire() is True
        for _ in range(20):
            outcomes = await asyncio.gather(
                *(asyncio.wait_for(full.acquire(), 0.01) for _ in range(200)),
                return_exceptions=True)
            assert all(isinstance(o, asyncio.TimeoutError) for o in outcomes)
            assert len(full._cell[0].waiters) == 0
        await client.aclose()

    asyncio.run(main())


# --- several processes ------------------------------------------------------------

COUNT_CHILD = """
import threading, redis, ratevane_redis
limiter = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, sec={huge}, min={huge},
                                     hour=100, day={huge}, blocking=False)
granted = []
def work():
    granted.append(sum(limiter.acquire() for _ in range(15)))
threads = [threading.Thread(target=work) for _ in range(3)]
for t in threads: t.start()
for t in threads: t.join()
print(sum(granted))
"""

BURST_CHILD = """
import threading, redis, ratevane_redis
limiter = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, sec={huge}, max_burst=3)
counter = redis.Redis(port={port})
seen = []
def work():
    for _ in range(8):
        with limiter:
            seen.append(counter.incr({key!r}))
            time.sleep(0.01)
            counter.decr({key!r})
import time
threads = [threading.Thread(target=work) for _ in range(3)]
for t in threads: t.start()
for t in threads: t.join()
print(max(seen), len(seen))
"""


def run_children(code, n=4, timeout=120):
    procs = [start_python(code) for _ in range(n)]
    results = [finish_python(p, timeout) for p in procs]
    for r in results:
        assert r.returncode == 0, r.stderr
    return [r.stdout.split() for r in results]


def test_exact_count_across_processes_and_threads(redis_server):
    ensure_room(60, 3600)  # 4 processes start within seconds; the hour must not roll
    name = budget_name()
    outs = run_children(COUNT_CHILD.format(port=redis_server.port, name=name, huge=HUGE))
    # 180 attempts against a limit of 100: exactly 100 granted, 0 over, 0 under.
    assert sum(int(o[0]) for o in outs) == 100
    assert window_count(redis_server.client(), name, 3600) == 100
    assert window_count(redis_server.client(), name, 86400) == 100


def test_burst_cap_across_processes(redis_server):
    name = budget_name()
    key = "independent-counter-" + name
    outs = run_children(BURST_CHILD.format(port=redis_server.port, name=name, huge=HUGE,
                                           key=key))
    peaks = [int(o[0]) for o in outs]
    assert sum(int(o[1]) for o in outs) == 96
    # Never more than 3 held at once; and 12 threads holding 10 ms each do
    # fill the cap, so a cap that grants too little fails here too.
    assert max(peaks) == 3
    assert leases_held(redis_server.client(), name) == 0


CLOCK_CHILD = """
import time
real_time = time.time
real_ns = time.time_ns
OFF = 2 * 3600 + 17.3      # two hours (and some seconds, so no window lines up)
time.time = lambda: real_time() + OFF
time.time_ns = lambda: real_ns() + int(OFF * 1e9)
import redis, ratevane_redis
limiter = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, min=5, blocking=False)
got = [limiter.acquire() for _ in range(4)]
print(got.count(True), limiter.wait_time(), real_time())
"""


def test_client_clock_two_hours_off_counts_in_the_same_windows(redis_server):
    ensure_room(20, 60)  # the child must start and finish inside this minute
    name = budget_name()
    mine = ratevane_redis.RateLimiter(redis_server.client(), name, min=5, blocking=False)
    assert [mine.acquire() for _ in range(3)] == [True] * 3
    r = finish_python(start_python(CLOCK_CHILD.format(port=redis_server.port, name=name)), 60)
    assert r.returncode == 0, r.stderr
    granted, wait, at = r.stdout.split()
    assert int(granted) == 2  # the same minute's counter, not one of its own
    # The minute reopens at the server's next whole minute (this machine's
    # clock), however far off the child's clock is.
    assert abs(float(wait) - (60 - float(at) % 60)) < 0.2


HOLDER = """
import time, redis, ratevane_redis
limiter = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, sec={huge},
                                     max_burst=1, lease={lease})
limiter.acquire()
print("held", flush=True)
time.sleep(120)
"""


# The holder renews every third of a lease, so a renewal may come up to two
# thirds of a lease (0.8 s) late, on a machine busy with other suites, before
# a live holder could lose its permit.
LEASE = 1.2


def test_live_holder_keeps_its_permit_and_a_killed_one_loses_it(redis_server):
    name = budget_name()
    client = redis_server.client()
    child = start_python(HOLDER.format(port=redis_server.port, name=name, huge=HUGE, lease=LEASE))
    try:
        assert child.stdout.readline().strip() == "held"
        probe = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1, blocking=False)
        end = time.monotonic() + 3 * LEASE
        while time.monotonic() < end:
            assert probe.acquire() is False
            time.sleep(0.1)
        child.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        waiter = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1)
        assert waiter.acquire() is True
        # The lease runs out at most one lease after the kill (the last
        # renewal came before it), and the waiter wakes at the expiry the
        # server reported: one lease, plus a generous second for a busy
        # machine.
        assert time.monotonic() - killed < LEASE + 1.0
    finally:
        child.kill()
        child.communicate()


# The burst wait here has no fallback poll: it would sleep until the
# holder's lease runs out (a minute), and the window wait until the next
# minute (at least 20 s away); so an answer within a few seconds of the
# signal is the signal's own.
INTERRUPTED = """
import sys, time, redis, ratevane_redis
ratevane_redis._core.FALLBACK_POLL = 600.0
c = redis.Redis(port={port})
for name, kw in (({window!r}, dict(min=1)), ({burst!r}, dict(sec={huge}, max_burst=1))):
    limiter = ratevane_redis.RateLimiter(c, name, **kw)
    print("waiting", flush=True)
    try:
        limiter.acquire()
        print("granted", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.time(), flush=True)
"""


def test_ctrl_c_stops_a_wait_and_leaves_nothing_held(redis_server):
    ensure_room(20, 60)
    client = redis_server.client()
    window, burst = budget_name(), budget_name()
    assert ratevane_redis.RateLimiter(client, window, min=1).acquire()
    holder = ratevane_redis.RateLimiter(client, burst, sec=HUGE, max_burst=1)
    assert holder.acquire()
    child = start_python(INTERRUPTED.format(port=redis_server.port, window=window, burst=burst,
                                            huge=HUGE))
    try:
        for _ in range(2):
            assert child.stdout.readline().strip() == "waiting"
            time.sleep(0.3)  # in the wait by now (it takes a round trip to get there)
            sent = time.time()
            child.send_signal(signal.SIGINT)
            word, at = child.stdout.readline().split()
            assert word == "interrupted"
            assert float(at) - sent < 5
    finally:
        child.kill()
        child.communicate()
    assert window_count(client, window, 60) == 1
    assert leases_held(client, burst) == 1  # the holder's only


# --- keys ---------------------------------------------------------------------


def test_every_key_expires(redis_server):
    client = redis_server.client()
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=2, lease=1)
    with limiter:
        pass
    assert limiter.acquire()  # held, then dropped with the limiter
    expected = [f"ratevane:{{{name}}}:{k}" for k in ("lease", "req", "w")]
    assert keys_of(client, name) == expected
    # Each key's expiry is bounded: a window's end plus 1 s, the latest
    # lease plus 1 s, the request ids' 60 s plus 1 s.
    bounds = {"lease": 2000, "req": 61000, "w": 2000}
    for key in expected:
        assert 0 < client.pttl(key) <= bounds[key[len(f"ratevane:{{{name}}}:"):]], key
    del limiter
    gc.collect()
    time.sleep(2.1)  # past the window's end + 1 s, and the lease's + 1 s
    assert keys_of(client, name) == [f"ratevane:{{{name}}}:req"]
    assert client.zcard(f"ratevane:{{{name}}}:req") <= 2
