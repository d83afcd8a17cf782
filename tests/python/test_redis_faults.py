"""ratevane_redis when things go wrong, made for real: a reply lost after the
script ran, the server stopped and started again, its script cache
flushed; and a 3-master Redis Cluster."""

import asyncio
import threading
import time

import pytest

from conftest import HUGE, ensure_room
from redis_support import (SCRIPT_CALL, AsyncRetry, Proxy, budget_name, fast_retry,  # noqa: F401
                           leases_held, numsub, own_server, redis, redis_cluster, redis_server,
                           wait_until, window_count)

import ratevane_redis


def test_a_reply_lost_after_the_script_ran_counts_once(redis_server):
    ensure_room(30, 3600)
    direct = redis_server.client()
    proxy = Proxy(redis_server.port)
    name = budget_name()
    # The client's own retry (one, at once) sends the acquire again.
    limiter = ratevane_redis.RateLimiter(redis.Redis(port=proxy.port, retry=fast_retry()), name,
                                         hour=HUGE, max_burst=5)
    limiter.get_remaining()  # connected, script loaded
    proxy.drop_next_reply(after=SCRIPT_CALL)
    assert limiter.acquire() is True
    assert proxy.dropped == 1
    assert window_count(direct, name, 3600) == 1
    assert leases_held(direct, name) == 1
    limiter.release()
    assert leases_held(direct, name) == 0

    kept = []  # alive after its loop: its permits stay held

    async def main():
        client = redis.asyncio.Redis(port=proxy.port, retry=fast_retry(kind=AsyncRetry))
        alimiter = ratevane_redis.AsyncRateLimiter(client, name, hour=HUGE, max_burst=5)
        kept.append(alimiter)
        await alimiter.get_remaining()
        proxy.drop_next_reply(after=SCRIPT_CALL)
        assert await asyncio.gather(*(alimiter.acquire() for _ in range(3))) == [True] * 3
        await client.aclose()

    asyncio.run(main())
    assert proxy.dropped == 2
    assert window_count(direct, name, 3600) == 4
    assert leases_held(direct, name) == 3
    proxy.close()


def test_a_late_reply_hands_its_lease_back_at_once(redis_server):
    # One reply comes back after the client's socket timeout (and the
    # client does not retry): the script has run and granted, the client
    # sees only its own TimeoutError. The grant goes back as the error is
    # raised, not when the lease ends.
    direct = redis_server.client()
    proxy = Proxy(redis_server.port)
    lease = 8.0

    def handed_back(name, since):
        """None while the grant is still out within the second allowed:
        the hand-back is two script calls on a sound connection, a second
        is many times what they take; a lease left to run out takes eight."""
        if leases_held(direct, name) == 0 and window_count(direct, name, 1) == 0:
            # The refund found the grant (it marks a grant it gives back):
            # the script did grant before the client gave up.
            return any(m.endswith(b"!") for m in direct.zrange(f"ratevane:{{{name}}}:req", 0, -1))
        return False if time.monotonic() - since > 1.0 else None

    name = budget_name()
    late = ratevane_redis.RateLimiter(
        redis.Redis(port=proxy.port, socket_timeout=0.3, retry=fast_retry(0)), name,
        sec=HUGE, max_burst=1, lease=lease)
    late.get_remaining()  # connected, script loaded
    proxy.hold_next_reply(0.5)
    with pytest.raises(redis.exceptions.TimeoutError):
        late.acquire()
    since = time.monotonic()
    while (back := handed_back(name, since)) is None:
        time.sleep(0.02)
    assert back

    async def main():
        name = budget_name()
        client = redis.asyncio.Redis(port=proxy.port, socket_timeout=0.3,
                                     retry=fast_retry(0, kind=AsyncRetry))
        alate = ratevane_redis.AsyncRateLimiter(client, name, sec=HUGE, max_burst=1, lease=lease)
        await alate.get_remaining()
        proxy.hold_next_reply(0.5)
        with pytest.raises(redis.exceptions.TimeoutError):
            await alate.acquire()
        since = time.monotonic()
        while (back := handed_back(name, since)) is None:
            await asyncio.sleep(0.02)  # the cancel is sent by a task of this loop
        assert back
        await client.aclose()

    asyncio.run(main())
    proxy.close()


def test_a_replay_counts_once_after_thousands_of_other_grants(redis_server):
    # Request ids are kept by time (a minute at least), not by number: a
    # client's retry may come seconds late, whatever the rate meanwhile.
    ensure_room(30, 3600)
    direct = redis_server.client()
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(direct, name, hour=HUGE)
    wire = limiter._core.wire
    replayed = wire.acquire_args(wire.request_id(), 1)
    assert limiter._env.call(replayed) == 1
    for _ in range(5000):
        limiter.acquire()
    assert limiter._env.call(replayed) == 1  # its first answer, not counted again
    assert window_count(direct, name, 3600) == 5001
    assert direct.pttl(f"ratevane:{{{name}}}:req") > 59000


def test_server_stop_start_and_script_flush(own_server):
    ensure_room(30, 3600)
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(own_server.client(), name, hour=HUGE, max_burst=2,
                                         blocking=False)

    async def async_round(expect_error):
        client = own_server.async_client()
        alimiter = ratevane_redis.AsyncRateLimiter(client, name, hour=HUGE, blocking=False)
        try:
            if expect_error:
                with pytest.raises(redis.exceptions.ConnectionError):
                    await alimiter.acquire()
            else:
                assert await alimiter.acquire() is True
        finally:
            await client.aclose()

    assert limiter.acquire() is True
    limiter.release()
    own_server.stop()
    # Fail closed: the client's own error, never a grant without the store.
    for call in (limiter.acquire, limiter.get_remaining, limiter.wait_time):
        with pytest.raises(redis.exceptions.ConnectionError):
            call()
    asyncio.run(async_round(expect_error=True))
    own_server.start()  # same port, empty: no keys and no scripts
    assert limiter.acquire() is True
    assert limiter.get_remaining() == {"hour": HUGE - 1, "burst": 1}
    limiter.release()
    own_server.client().script_flush()
    assert limiter.acquire() is True
    asyncio.run(async_round(expect_error=False))
    assert window_count(own_server.client(), name, 3600) == 3


def test_cluster(redis_cluster, monkeypatch):
    # No fallback poll within the test, and leases that outlast it: a
    # waiter that gets its permit was woken by a release message, and the
    # time bounds below are hang guards.
    monkeypatch.setattr(ratevane_redis._core, "FALLBACK_POLL", 600.0)
    ensure_room(30, 3600)
    first = redis_cluster[0]
    cluster = redis.cluster.RedisCluster(host="127.0.0.1", port=first.port)
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(cluster, name, hour=5, max_burst=1, blocking=False,
                                         lease=600)
    assert limiter.acquire() is True
    assert limiter.acquire() is False  # the burst cap
    # A blocking waiter, woken by the release through the cluster's PUBLISH.
    waiter = ratevane_redis.RateLimiter(cluster, name, hour=5, max_burst=1, lease=600)
    got = []
    thread = threading.Thread(target=lambda: got.append(waiter.acquire()))
    thread.start()
    time.sleep(0.3)
    released = time.monotonic()
    limiter.release()
    thread.join(10)
    assert got == [True] and time.monotonic() - released < 10
    waiter.release()
    cluster.script_flush()  # on every master
    assert [limiter.acquire() and (limiter.release() or True) for _ in range(4)] == \
        [True, True, True, False]
    assert limiter.get_remaining() == {"hour": 0, "burst": 1}
    # All of the budget's keys (the request ids and the hour window; no
    # lease is held) live on one node.
    per_node = [len(n.client().keys(f"ratevane:{{{name}}}:*")) for n in redis_cluster]
    assert sorted(per_node) == [0, 0, 2]
    cluster.close()

    async def main():
        aclient = redis.asyncio.cluster.RedisCluster(host="127.0.0.1", port=first.port)
        aname = budget_name()
        alimiter = ratevane_redis.AsyncRateLimiter(aclient, aname, hour=20, max_burst=4,
                                                   lease=600)
        inside = peak = 0

        async def job():
            nonlocal inside, peak
            async with alimiter:
                inside += 1
                peak = max(peak, inside)
                await asyncio.sleep(0.02)
                inside -= 1

        start = time.monotonic()
        await asyncio.gather(*(job() for _ in range(20)))
        # Five rounds of four, each started by release messages.
        assert peak == 4 and time.monotonic() - start < 30
        assert await alimiter.get_remaining() == {"hour": 0, "burst": 4}
        assert 0.001 <= await alimiter.wait_time() <= 3600
        await aclient.aclose()

    asyncio.run(main())


def test_waiters_share_one_subscriber_which_survives_a_restart(own_server, monkeypatch):
    # No fallback poll and no lease expiry within the test: a waiter that
    # gets its permit was woken by a release message.
    monkeypatch.setattr(ratevane_redis._core, "FALLBACK_POLL", 600.0)
    ensure_room(60, 3600)
    name = budget_name()
    channel = f"ratevane:{{{name}}}:free"
    client = own_server.client()
    holder = ratevane_redis.RateLimiter(client, name, hour=HUGE, max_burst=1, lease=1200)
    waiter = ratevane_redis.RateLimiter(own_server.client(), name, hour=HUGE, max_burst=1,
                                        lease=1200)

    def wait_for_permits(threads):
        got = []
        workers = [threading.Thread(target=lambda: got.append(waiter.acquire()))
                   for _ in range(threads)]
        for w in workers:
            w.start()
        wait_until(lambda: numsub(client, channel) >= 1)
        time.sleep(0.3)  # all in the wait by now (a round trip each to get there)
        # One connection for all of the object's waiters, not one each.
        assert numsub(client, channel) == 1
        holder.release()
        for n in range(threads):  # each release wakes the next one
            wait_until(lambda: len(got) == n + 1, 30)
            waiter.release()
        for w in workers:
            w.join()
        assert got == [True] * threads

    assert holder.acquire()
    wait_for_permits(6)
    own_server.stop()
    own_server.start()  # empty: the holder's lease is gone with the data
    assert holder.acquire()
    # The same subscriber, connected again, wakes the waiters.
    wait_for_permits(2)
    assert numsub(client, channel) == 1
