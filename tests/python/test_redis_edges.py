"""ratevane_redis at its edges, through the public API only, on real
servers: a block whose request or reply is lost, waiters that give up while
their call is in flight, leases and reserves at their bounds, a limiter
that outlives its loop, is used from another loop or from a forked child,
closing while threads or tasks wait, a release that fails, the expiry of
every key a refund writes, and a server that refuses a command the script
needs."""

import asyncio
import concurrent.futures
import math
import threading
import time

import pytest

from conftest import HUGE, ensure_room, finish_python, start_python
from redis_support import (SCRIPT_CALL, AsyncRetry, Proxy, budget_name, fast_retry,  # noqa: F401
                           keys_of, leases_held, own_server, redis, redis_server, wait_until,
                           window_count)

import ratevane_redis


class LoopThread:
    """An event loop running in a thread of its own, as a server's would."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def submit(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.loop)

    def run(self, coro, timeout=30):  # a guard: every call here takes milliseconds
        return self.submit(coro).result(timeout)

    def close(self):
        async def cancel_the_rest():
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        try:
            self.run(cancel_the_rest(), 5)  # a guard
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


def outcome(wait):
    """What a call came to: its result, or its error's type and message."""
    try:
        return wait()
    except concurrent.futures.TimeoutError:
        return "still waiting"
    except Exception as error:
        return f"{type(error).__name__}: {error}"


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_lost_block_goes_back_and_a_late_one_grants_nothing(redis_server, kind):
    # Two ways a block's answer is lost. Its reply is dropped after the
    # script ran; or its request is held on the way for longer than the
    # client waits, so the refund that follows the client's TimeoutError
    # reaches the server first and the block lands after it. Either way,
    # once the limiter is closed and its loop has ended, the hour has
    # counted exactly the permits that were granted. Each way has a proxy
    # of its own, so that nothing the first limiter still sends is caught
    # by the second one's fault.
    ensure_room(10, 3600)
    direct = redis_server.client()
    kw = dict(hour=HUGE, reserve=10.0)

    def lose(proxy, arm, make, acquire, close):
        name = budget_name()
        # No retry: the lost answer reaches the limiter as the client's
        # error. The socket timeout is far above a round trip here (under a
        # millisecond) and far below the 1 s the late request is held.
        lim = make(dict(port=proxy.port, socket_timeout=0.3), name)
        granted = failures = 0
        for attempt in range(2):
            if attempt:
                arm(proxy)
            for _ in range(200):
                try:
                    granted += acquire(lim)
                except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError):
                    failures += 1
        close(lim)
        return name, granted, failures

    ways = [lambda proxy: proxy.drop_next_reply(after=SCRIPT_CALL),
            lambda proxy: proxy.hold_next_request(1.0, SCRIPT_CALL)]
    proxies = [Proxy(redis_server.port) for _ in ways]
    outcomes = []
    for proxy, arm in zip(proxies, ways):
        if kind == "sync":
            outcomes.append(lose(proxy, arm,
                                 lambda ckw, name: ratevane_redis.RateLimiter(
                                     redis.Redis(retry=fast_retry(0), **ckw), name, **kw),
                                 lambda lim: lim.acquire(), lambda lim: lim.close()))
            continue
        loop = LoopThread()

        async def make(ckw, name):
            return ratevane_redis.AsyncRateLimiter(
                redis.asyncio.Redis(retry=fast_retry(0, AsyncRetry), **ckw), name, **kw)

        outcomes.append(lose(proxy, arm, lambda ckw, name: loop.run(make(ckw, name)),
                             lambda lim: loop.run(lim.acquire()),
                             lambda lim: loop.run(lim.aclose())))
        loop.close()
    # The late request has reached the server by now (held 1 s).
    wait_until(lambda: proxies[1].requests_held == 1, 5)
    assert [p.dropped for p in proxies] == [1, 0]
    # The refund of a lost block runs beside the caller: it lands within a
    # round trip or two.
    settle(lambda: [window_count(direct, name, 3600) for name, _, _ in outcomes],
           [granted for _, granted, _ in outcomes], 2)
    assert [(failures, window_count(direct, name, 3600) - granted)
            for name, granted, failures in outcomes] == [(1, 0), (1, 0)]
    for proxy in proxies:
        proxy.close()


@pytest.mark.parametrize("reserve", [0.0, 10.0])
def test_waiters_that_give_up_mid_call_leave_their_grants(redis_server, reserve):
    # Fifty tasks wait on one limiter; the one script call asking for all
    # of them is held at the proxy for 0.4 s. Meanwhile five are cancelled
    # and five time out. The forty left get their permits; the ten given up
    # are not counted at the server (handed to the next waiter, kept in the
    # block and refunded at close, or handed back). With max_burst, no
    # lease stays held.
    ensure_room(5, 60)
    direct = redis_server.client()
    proxy = Proxy(redis_server.port)

    async def round_of_fifty(name, **kw):
        client = redis.asyncio.Redis(port=proxy.port, retry=fast_retry(kind=AsyncRetry))
        lim = ratevane_redis.AsyncRateLimiter(client, name, min=1000, **kw)
        await lim.get_remaining()  # connected, script loaded
        proxy.hold = 0.4
        timed = [asyncio.ensure_future(asyncio.wait_for(lim.acquire(), 0.1)) for _ in range(5)]
        cancelled = [asyncio.ensure_future(lim.acquire()) for _ in range(5)]
        rest = [asyncio.ensure_future(lim.acquire()) for _ in range(40)]
        await asyncio.sleep(0.1)  # the call is in flight: its reply comes at 0.4 s
        for task in cancelled:
            task.cancel()
        outcomes = await asyncio.gather(*timed, *cancelled, *rest, return_exceptions=True)
        proxy.hold = 0.0
        held = None
        if kw.get("max_burst"):
            # Handed back by a task of this loop within a round trip or two.
            deadline = time.monotonic() + 2
            while leases_held(direct, name) != 40 and time.monotonic() < deadline:
                await asyncio.sleep(0.02)
            held = leases_held(direct, name)
            for _ in range(40):
                await lim.release()
        await lim.aclose()
        await client.aclose()
        return [type(o).__name__ for o in outcomes[:10]], outcomes[10:], held

    name = budget_name()
    given_up, granted, _ = asyncio.run(round_of_fifty(name, reserve=reserve))
    assert given_up == ["TimeoutError"] * 5 + ["CancelledError"] * 5
    assert granted == [True] * 40
    assert window_count(direct, name, 60) == 40
    if not reserve:
        name = budget_name()
        given_up, granted, held = asyncio.run(round_of_fifty(name, max_burst=100))
        assert given_up == ["TimeoutError"] * 5 + ["CancelledError"] * 5
        assert granted == [True] * 40
        assert held == 40
        assert leases_held(direct, name) == 0
    proxy.close()


LEASE_BOUNDS = "lease must be a number of seconds from 1 to 86400 (a day)"
RESERVE_BOUNDS = "reserve must be a number of seconds from 0 to 86400 (a day)"


def test_lease_and_reserve_bounds(redis_server):
    # A lease is renewed every third of it: under a second, one slow round
    # trip or a paused process lets it run out while held. A reserve beyond
    # a day is a block for longer than the longest window it can serve.
    def check(cls, c):
        for lease in (0.002, 0.999, 0, -1, 86400.5, math.inf, math.nan):
            with pytest.raises(ValueError, match=r"^" + re_escape(LEASE_BOUNDS) + "$"):
                cls(c, budget_name(), sec=10, max_burst=1, lease=lease)
        with pytest.raises(TypeError, match="^lease must be a number of seconds, not str$"):
            cls(c, budget_name(), sec=10, max_burst=1, lease="5")
        for reserve in (86400.5, 1e308, math.inf, math.nan, -1):
            with pytest.raises(ValueError, match=r"^" + re_escape(RESERVE_BOUNDS) + "$"):
                cls(c, budget_name(), sec=10, reserve=reserve)
        cls(c, budget_name(), sec=10, reserve=86400)  # a day is allowed

    client = redis_server.client()
    check(ratevane_redis.RateLimiter, client)

    async def in_a_loop():  # redis-py's asyncio client wants one on Python 3.9
        aclient = redis_server.async_client()
        check(ratevane_redis.AsyncRateLimiter, aclient)
        await aclient.aclose()

    asyncio.run(in_a_loop())

    # lease=1 works: held, refused to a second holder, freed.
    name = budget_name()
    holder = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1, lease=1)
    other = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1, blocking=False)
    assert holder.acquire()
    assert other.acquire() is False
    holder.release()
    assert other.acquire()
    other.release()


def settle(read, expected, seconds):
    """Poll until read() gives expected, for `seconds` at most (a guard);
    the caller asserts on what it reads then."""
    deadline = time.monotonic() + seconds
    while read() != expected and time.monotonic() < deadline:
        time.sleep(0.02)


def re_escape(text):
    import re
    return re.escape(text)


def test_a_huge_reserve_never_leaves_a_waiter_pending(redis_server):
    # reserve=1e308 is refused when the limiter is made. Were it accepted,
    # no failure in the serving task may leave an acquire pending: the
    # guard turns a hang into a TimeoutError.
    def sync_attempt():
        lim = ratevane_redis.RateLimiter(redis_server.client(), budget_name(), sec=HUGE,
                                         reserve=1e308)
        return lim.acquire()

    async def async_attempt():
        lim = ratevane_redis.AsyncRateLimiter(redis_server.async_client(), budget_name(),
                                              sec=HUGE, reserve=1e308)
        return await asyncio.wait_for(lim.acquire(), 3)  # a guard: it takes milliseconds

    seen = {"sync": outcome(sync_attempt),
            "async": outcome(lambda: asyncio.run(async_attempt()))}
    refused = "ValueError: " + RESERVE_BOUNDS
    assert seen == {"sync": refused, "async": refused}


ENDS_PROMPTLY = """
import asyncio, time, redis.asyncio, ratevane_redis
alive = []
async def main(name):
    lim = ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port={port}), name,
                                          sec={huge}, reserve=2.0)
    alive.append(lim)  # alive past the loop's end, never closed
    for _ in range(5):
        assert await lim.acquire()
    global returned
    returned = time.monotonic()
ends = []
for i in range(3):
    asyncio.run(main({name!r} + str(i)))
    ends.append(time.monotonic() - returned)
print(max(ends))
"""


def test_asyncio_run_ends_promptly_while_a_block_is_held(redis_server):
    # main() returns right after its first block, while the block's holder
    # is starting. The loop's shutdown cancels the holder, which hands the
    # block back in one round trip or leaves it to its intervals: a
    # millisecond here (the same holder, once subscribed, ends within 1-2
    # ms). Left running, it ends when the block has been idle for
    # 4 x reserve = 8 s. 0.3 s is a hundred times the first and far below
    # the second. Three rounds, the slowest counts.
    code = ENDS_PROMPTLY.format(port=redis_server.port, name=budget_name(), huge=HUGE)
    r = finish_python(start_python(code), 60)  # a guard: the child needs a few seconds
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) < 0.3


def test_one_limiter_one_loop(redis_server):
    ensure_room(5, 60)  # the minute window below stays full for 5 s at least
    home = LoopThread()
    client = redis_server.client()
    seen = {}

    async def make(name=None, **kw):
        return ratevane_redis.AsyncRateLimiter(redis_server.async_client(),
                                               name or budget_name(), **kw)

    # Used from a second loop while its own is open: refused at once (the
    # guard turns a hang into a TimeoutError).
    lim = home.run(make(sec=HUGE))
    assert home.run(lim.acquire())
    start = time.monotonic()
    seen["second loop"] = outcome(lambda: asyncio.run(asyncio.wait_for(lim.acquire(), 3)))
    seen["refused at once"] = time.monotonic() - start < 0.5  # a round trip is a millisecond
    seen["own loop after"] = outcome(lambda: home.run(lim.acquire(), 5))

    # aclose() from another loop wakes the acquires waiting in the limiter's
    # own loop: one for a full minute window, one for a burst permit (held
    # by another object, so closing hands nothing back). A wake-up between
    # threads takes milliseconds; the window would keep the first waiting
    # 5 s at least, and a burst waiter looks again every second.
    minute = home.run(make(min=1))
    assert home.run(minute.acquire())
    burst_name = budget_name()
    holder = ratevane_redis.RateLimiter(client, burst_name, sec=HUGE, max_burst=1)
    assert holder.acquire()
    burst = home.run(make(burst_name, sec=HUGE, max_burst=1))
    waits = {"window": home.submit(minute.acquire()), "burst": home.submit(burst.acquire())}
    time.sleep(0.3)  # both are waiting
    assert not any(w.done() for w in waits.values())
    for lim, (kind, waiter) in zip((minute, burst), waits.items()):
        seen[f"aclose from another loop ({kind})"] = outcome(lambda: asyncio.run(lim.aclose()))
        seen[f"{kind} waiter"] = outcome(lambda: waiter.result(0.5))
    holder.close()
    home.close()

    # Once its loop is closed, the limiter goes on in the next one (its
    # client connects again there).
    made = []

    async def use():
        if not made:
            aclient = redis_server.async_client()
            made.append((aclient, ratevane_redis.AsyncRateLimiter(aclient, budget_name(),
                                                                   sec=HUGE)))
        aclient, seq = made[0]
        granted = await seq.acquire()
        await aclient.aclose()  # its connections belong to this loop
        return granted

    seen["next loops"] = [outcome(lambda: asyncio.run(use())) for _ in range(2)]
    assert seen == {
        "second loop": "RuntimeError: AsyncRateLimiter is in use by another event loop: make "
                       "one limiter and one client per loop",
        "refused at once": True,
        "own loop after": True,
        "aclose from another loop (window)": None,
        "window waiter": "ValueError: limiter is closed",
        "aclose from another loop (burst)": None,
        "burst waiter": "ValueError: limiter is closed",
        "next loops": [True, True],
    }


def test_every_key_a_refund_writes_expires(redis_server):
    # A block is held while the budget's hash expires (at the end of its
    # second plus 1 s): the loop is busy, so nothing hands it back sooner.
    # Closing then refunds it to intervals that are over. Every key of the
    # budget has an expiry afterwards, or is gone.
    direct = redis_server.client()
    name = budget_name()
    state = f"ratevane:{{{name}}}:w"

    async def main():
        lim = ratevane_redis.AsyncRateLimiter(redis_server.async_client(), name, sec=HUGE,
                                              reserve=10.0)
        for _ in range(50):
            assert await lim.acquire()
        assert window_count(direct, name, 1) > 50  # a block is held
        # Blocking the loop on purpose: about 1-2 s.
        deadline = time.monotonic() + 5  # a guard
        while direct.exists(state):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        await lim.aclose()

    asyncio.run(main())
    ttls = {k: direct.pttl(k) for k in keys_of(direct, name)}
    assert all(t > 0 for t in ttls.values()), ttls


FORKED_ASYNC = """
import asyncio, os, sys, threading, time, redis, redis.asyncio, ratevane_redis
port, name, huge = {port}, {name!r}, {huge}
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
on_loop = lambda coro: asyncio.run_coroutine_threadsafe(coro, loop).result(30)

async def make(suffix=""):
    return ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port=port), name + suffix,
                                           sec=huge, max_burst=1, blocking=False)

lim = on_loop(make())
assert on_loop(lim.acquire())

async def child():
    out = []
    for call in (lim.acquire, lim.get_remaining, lim.wait_time):
        start = time.monotonic()
        try:
            await asyncio.wait_for(call(), 3)  # a guard
            out.append(("no error", "", 0))
        except BaseException as e:
            out.append((type(e).__name__, str(e), round(time.monotonic() - start, 1)))
    await lim.release()  # the parent's permit: not the child's to hand back
    mine = await make()
    out.append(await mine.acquire())  # False: the parent still holds the one permit
    out.append(await (await make("x")).acquire())
    return out

pid = os.fork()
if pid == 0:
    try:
        print(repr(asyncio.run(child())), flush=True)
    finally:
        os._exit(0)
os.waitpid(pid, 0)
"""


def test_a_forked_child_makes_its_own_async_limiter(redis_server):
    name = budget_name()
    r = finish_python(start_python(FORKED_ASYNC.format(port=redis_server.port, name=name,
                                                       huge=HUGE)), 60)
    assert r.returncode == 0, r.stderr
    refused = ("RuntimeError", "this AsyncRateLimiter was used before a fork: a forked child "
               "makes its own client and limiter", 0.0)
    # Refused at once (0.0 s to a tenth), three times; the parent's permit
    # stays the parent's; the child's own limiter works.
    assert eval(r.stdout) == [refused] * 3 + [False, True]


def test_close_wakes_threads_waiting_in_acquire(redis_server):
    # One thread waits for a full minute window, one for a burst permit
    # held by another object. close() wakes both with the error; a
    # wake-up between threads takes milliseconds, and without it the first
    # would wait 5 s at least, the second for good.
    ensure_room(5, 60)
    client = redis_server.client()
    minute = ratevane_redis.RateLimiter(client, budget_name(), min=1)
    assert minute.acquire()
    name = budget_name()
    holder = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1)
    assert holder.acquire()
    burst = ratevane_redis.RateLimiter(client, name, sec=HUGE, max_burst=1)
    outcomes = {}

    def wait(lim, key):
        try:
            outcomes[key] = lim.acquire()
        except ValueError as error:
            outcomes[key] = str(error)

    threads = [threading.Thread(target=wait, args=(lim, key), daemon=True)
               for lim, key in ((minute, "window"), (burst, "burst"))]
    for t in threads:
        t.start()
    time.sleep(0.3)  # both are waiting
    assert not outcomes
    minute.close()
    burst.close()
    for t in threads:
        t.join(0.5)
    holder.close()
    assert outcomes == {"window": "limiter is closed", "burst": "limiter is closed"}


def test_a_failed_release_keeps_the_lease_renewed(redis_server):
    # A release is lost on its way (the client waits 0.4 s for a reply,
    # longer than the third of a lease between renewals, then gives up):
    # the permit is still held at the server, and the holder renews it until
    # a release gets through. After three leases, a permit nobody renewed
    # would long be free. The release is sent within a millisecond or so of
    # the grant, long before the first renewal (a third of a second after
    # it), so the request lost is the release.
    direct = redis_server.client()
    proxy = Proxy(redis_server.port)
    home = LoopThread()
    names = {"sync": budget_name(), "async": budget_name()}
    ckw = dict(port=proxy.port, socket_timeout=0.4)
    sync_lim = ratevane_redis.RateLimiter(redis.Redis(retry=fast_retry(0), **ckw),
                                          names["sync"], sec=HUGE, max_burst=1, lease=1)

    async def make():
        return ratevane_redis.AsyncRateLimiter(
            redis.asyncio.Redis(retry=fast_retry(0, AsyncRetry), **ckw), names["async"],
            sec=HUGE, max_burst=1, lease=1)

    async def hold_and_lose():
        assert await async_lim.acquire()
        proxy.lose_next_request(SCRIPT_CALL)
        await async_lim.release()

    async_lim = home.run(make())
    sync_lim.get_remaining()  # connected, script loaded
    home.run(async_lim.get_remaining())
    lost = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError)
    assert sync_lim.acquire()
    proxy.lose_next_request(SCRIPT_CALL)
    with pytest.raises(lost):
        sync_lim.release()
    with pytest.raises(lost):
        home.run(hold_and_lose())
    time.sleep(3.0)
    others = {kind: ratevane_redis.RateLimiter(direct, name, sec=HUGE, max_burst=1,
                                               blocking=False)
              for kind, name in names.items()}
    assert {kind: other.acquire() for kind, other in others.items()} == {
        "sync": False, "async": False}
    sync_lim.release()
    home.run(async_lim.release())
    assert {kind: other.acquire() for kind, other in others.items()} == {
        "sync": True, "async": True}
    for other in others.values():
        other.close()
    sync_lim.close()
    home.run(async_lim.aclose())
    home.close()
    proxy.close()


REFUSED = "^ratevane_redis: the server refused a command of the budget script"


def test_a_command_refused_inside_the_script_is_named(own_server):
    # Managed services refuse some commands inside scripts; an ACL user
    # denied TIME gets the same kind of refusal here.
    admin = own_server.client()
    admin.execute_command("ACL", "SETUSER", "limited", "on", ">secret", "~*", "&*", "+@all",
                          "-time")
    kw = dict(port=own_server.port, username="limited", password="secret")
    lim = ratevane_redis.RateLimiter(redis.Redis(**kw), budget_name(), sec=10)
    with pytest.raises(redis.exceptions.ResponseError, match=REFUSED) as sync_error:
        lim.acquire()

    async def main():
        client = redis.asyncio.Redis(**kw)
        alim = ratevane_redis.AsyncRateLimiter(client, budget_name(), sec=10)
        try:
            with pytest.raises(redis.exceptions.ResponseError, match=REFUSED) as error:
                await asyncio.wait_for(alim.acquire(), 5)  # a guard
            return error
        finally:
            await client.aclose()

    async_error = asyncio.run(main())
    # The server's own words are kept.
    for error in (sync_error, async_error):
        assert "The user executing the script can't run this command" in str(error.value)
