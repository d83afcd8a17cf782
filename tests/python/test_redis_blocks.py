"""ratevane_redis with reserve=: permits taken ahead in blocks and handed out
in the process, never one too many. Every grant of eight processes is
audited against the one clock of this machine (the server's too); unused
permits go back exactly once, on every road out; a refusal elsewhere gets
them back at once."""

import asyncio
import gc
import os
import random
import struct
import threading
import time

import pytest

from conftest import HUGE, ensure_room, finish_python, start_python, wait_for_fresh_second
from redis_support import (SCRIPT_CALL, Proxy, budget_name, fast_retry, numsub,  # noqa: F401
                           redis, redis_cluster, redis_server, wait_until, window_count)

import ratevane_redis
from ratevane_redis._wire import BLOCK  # noqa: E402

AUDIT_CHILD = """
import asyncio, os, struct, time
real_time = time.time
if {skewed}:
    # This client's wall clock is two hours off: blocks go by the server's
    # clock and the local monotonic one only.
    time.time = lambda: real_time() + 2 * 3600 + 0.37
import redis, redis.asyncio, ratevane_redis
port, name, limit, path = {port}, {name!r}, {limit}, {path!r}
out = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)

def start():
    # Every child starts at the same moment, however long it took to start.
    open(path + ".ready", "w").close()
    while not os.path.exists({go!r}):
        time.sleep(0.005)
    with open({go!r}) as f:
        go, until = map(float, f.read().split())
    while real_time() < go:
        time.sleep(0.001)
    return until

def record(t0):  # the grant fell between t0 and now
    os.write(out, struct.pack("<dd", t0, real_time()))

# In even seconds the demand is light (about half the limit for all eight):
# blocks are still held at the roll. In odd seconds it is far above the
# limit: a permit of the last second's blocks used now would be one too many.
def pause(light):
    return light if int(real_time()) % 2 == 0 else 0.0

kw = dict(sec=limit, hour=10**9, blocking=False, reserve=0.5)
if {asyncio_side}:
    async def main():
        lim = ratevane_redis.AsyncRateLimiter(redis.asyncio.Redis(port=port), name, **kw)
        until = start()
        async def worker():
            while real_time() < until:
                t0 = real_time()
                if await lim.acquire():
                    record(t0)
                else:
                    await asyncio.sleep(0.001)
                await asyncio.sleep(pause(0.16))
        await asyncio.gather(*(worker() for _ in range(4)))
    asyncio.run(main())
else:
    lim = ratevane_redis.RateLimiter(redis.Redis(port=port), name, **kw)
    until = start()
    while real_time() < until:
        t0 = real_time()
        if lim.acquire():
            record(t0)
        else:
            time.sleep(0.001)
        time.sleep(pause(0.04))
"""


def test_eight_processes_never_grant_one_too_many(redis_server, tmp_path):
    # Eight processes at full demand on one budget: four threaded, four
    # asyncio, two of them through a proxy that delays every reply, one with
    # its wall clock two hours off; two are killed -9 at random moments.
    # Each grant is recorded with the interval it certainly fell in (taken
    # between t0 and the record, both on this machine's clock, which is the
    # server's). No second may hold more than its limit.
    limit = 400
    slow = Proxy(redis_server.port)
    slow.hold = 0.004
    name = budget_name()
    go = tmp_path / "go"
    children = []
    for i in range(8):
        port = slow.port if i in (1, 6) else redis_server.port
        code = AUDIT_CHILD.format(port=port, name=name, limit=limit, go=str(go),
                                  path=str(tmp_path / f"grants{i}"),
                                  skewed=i == 2, asyncio_side=i >= 4)
        children.append(start_python(code))
    deadline = time.monotonic() + 60  # a guard: eight interpreters start in seconds
    while not all((tmp_path / f"grants{i}.ready").exists() for i in range(8)):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    begin = int(time.time()) + 1.0
    (tmp_path / "go.tmp").write_text(f"{begin} {begin + 3.2}")
    (tmp_path / "go.tmp").rename(go)
    time.sleep(max(0.0, begin - time.time()))
    victims = random.sample(range(8), 2)
    time.sleep(0.5 + random.random())
    children[victims[0]].kill()
    time.sleep(random.random())
    children[victims[1]].kill()
    for i, child in enumerate(children):
        r = finish_python(child, 60)
        if i not in victims:
            assert r.returncode == 0, r.stderr
    slow.close()

    per_second = {}
    total = 0
    for i in range(8):
        path = tmp_path / f"grants{i}"
        data = path.read_bytes() if path.exists() else b""
        for t0, t1 in struct.iter_unpack("<dd", data):
            total += 1
            if int(t0) == int(t1):
                per_second[int(t0)] = per_second.get(int(t0), 0) + 1
    assert max(per_second.values()) <= limit, per_second
    # The budget was in use: the test sees the grants it audits.
    assert total >= limit, per_second


def state(client, name):
    return {k.decode(): int(v) for k, v in client.hgetall(f"ratevane:{{{name}}}:w").items()}


def test_unused_permits_go_back_once_on_every_road_out(redis_server):
    client = redis_server.client()
    ensure_room(20, 3600)  # one hour interval throughout

    # Idle: the block goes back to both windows within its own second.
    name = budget_name()
    wait_for_fresh_second()
    idle = ratevane_redis.RateLimiter(client, name, sec=HUGE, hour=HUGE, reserve=0.05)
    assert all(idle.acquire() for _ in range(50))
    assert state(client, name)["c1"] > 50  # taken ahead
    wait_until(lambda: state(client, name)["c1"] == 50, 0.6)  # idle 0.2 s, then one call
    assert state(client, name)["c3600"] == 50

    # Past its interval: the hour gets the unused permits back.
    name = budget_name()
    wait_for_fresh_second()
    rolled = ratevane_redis.RateLimiter(client, name, sec=HUGE, hour=HUGE, reserve=10.0)
    assert all(rolled.acquire() for _ in range(50))
    charged = state(client, name)["c1"]
    assert charged > 50
    wait_until(lambda: state(client, name)["c3600"] == 50, 2.0)
    # The block is given up a little before the server's second surely ends
    # (by the call's round trip and a guard): a refund that lands in that
    # moment gives the second its permits back too.
    assert state(client, name)["c1"] in (charged, 50)

    # close(), collection, a forked child and interpreter exit: each
    # object hands back what it took and did not use, and a child hands
    # back none of its parent's block. At the end the hour has counted
    # exactly the permits granted.
    name = budget_name()
    kw = dict(hour=HUGE, reserve=10.0)
    closing = ratevane_redis.RateLimiter(client, name, **kw)
    dropped = ratevane_redis.RateLimiter(client, name, **kw)
    for _ in range(40):
        closing.acquire()
        dropped.acquire()
    before_fork = state(client, name)["c3600"]
    assert before_fork > 80
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            mine = ratevane_redis.RateLimiter(client, name, **kw)
            for _ in range(30):
                mine.acquire()
            counted = state(client, name)["c3600"]
            closing.acquire()  # the parent's block is not the child's: a call of its own
            code = 2 if state(client, name)["c3600"] == counted else 0
        except BaseException:
            code = 1
        os._exit(code)  # no exit handlers: its blocks are lost to their intervals
    assert os.waitpid(pid, 0)[1] == 0
    child_charged = state(client, name)["c3600"] - before_fork
    closing.close()
    del dropped
    gc.collect()
    CHILD = """
import redis, ratevane_redis
lim = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, hour={huge}, reserve=10.0)
for _ in range(25):
    lim.acquire()
"""
    r = finish_python(start_python(CHILD.format(port=redis_server.port, name=name, huge=HUGE)),
                      60)
    assert r.returncode == 0, r.stderr
    # The fork child's 31 grants and its unused blocks (it skipped its exit
    # handlers) stay charged; everything else came back.
    wait_until(lambda: state(client, name)["c3600"] <= 80 + child_charged + 25, 1.0)
    assert state(client, name)["c3600"] == 80 + child_charged + 25


def test_blocks_and_refunds_are_safe_to_replay(redis_server):
    client = redis_server.client()
    ensure_room(10, 3600)
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(client, name, hour=1000, reserve=1.0)
    b = limiter._core.wire
    call = limiter._env.call
    rid = b.request_id()
    assert call(b.block_args(rid, 100, False))[0] == 100
    assert call(b.block_args(rid, 100, False))[0] == 100  # a replay: the first answer,
    assert window_count(client, name, 3600) == 100  # counted once
    # Its id is kept a minute past the end of its hour, however long the
    # block is held: a refund at the end still finds it.
    hour_end = (int(client.time()[0]) // 3600 + 1) * 3600
    kept = int(client.zscore(f"ratevane:{{{name}}}:req", rid)) // 1024
    assert kept == (hour_end + 60) * 1000
    assert call(b.refund_args(rid, BLOCK, 30)) == 1
    assert call(b.refund_args(rid, BLOCK, 30)) == 0  # a replayed refund gives nothing more
    assert call(b.refund_args(rid, BLOCK)) == 0
    assert window_count(client, name, 3600) == 70
    # A block whose answer was lost goes back whole, and a late copy of it
    # then grants nothing.
    lost = b.request_id()
    assert call(b.block_args(lost, 10, False))[0] == 10
    assert call(b.refund_args(lost, BLOCK)) == 1
    assert call(b.block_args(lost, 10, False))[0] == 0
    assert window_count(client, name, 3600) == 70
    # A refund of more than the block is refused; a block is at most half
    # of what is left, so the last permits go one at a time.
    with pytest.raises(redis.exceptions.ResponseError, match="^ratevane_redis: bad count$"):
        call(b.refund_args(rid, BLOCK, 1000))
    assert call(b.block_args(b.request_id(), 1023, False))[0] == 465  # half of 930
    # Through a proxy that loses the block's reply: the client's own retry
    # gets the same block, counted once. Only a script call's reply is
    # lost: the block holder may still be subscribing when the loss is
    # armed, and a loss that lands on its connection made the block call
    # fail with "Connection closed by server" (8 of 40 runs on PyPy, 6 of
    # 40 with two retries).
    proxy = Proxy(redis_server.port)
    name = budget_name()
    lost_reply = ratevane_redis.RateLimiter(redis.Redis(port=proxy.port, retry=fast_retry()),
                                            name, hour=HUGE, reserve=10.0)
    for _ in range(20):
        lost_reply.acquire()
    proxy.drop_next_reply(after=SCRIPT_CALL)
    for _ in range(200):
        lost_reply.acquire()
    assert proxy.dropped == 1
    lost_reply.close()
    assert window_count(client, name, 3600) == 220
    proxy.close()


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_refusal_gets_the_blocks_back_at_once(redis_server, kind):
    # One object holds most of the minute in blocks; another asks when
    # nothing is left at the server. The refusal presses the holder, whose
    # refund wakes the asker: granted in a few round trips, not at the
    # minute's end.
    ensure_room(12, 60)  # the minute's end is at least 12 s away
    client = redis_server.client()
    name = budget_name()
    if kind == "sync":
        holder = ratevane_redis.RateLimiter(client, name, min=100, reserve=60.0)
        for _ in range(40):
            holder.acquire()
        close = holder.close
    else:
        # The holder's loop runs in a thread of its own, as a server's would.
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()

        def on_loop(coro):
            return asyncio.run_coroutine_threadsafe(coro, loop).result(30)

        async def make():
            return ratevane_redis.AsyncRateLimiter(redis_server.async_client(), name, min=100,
                                                   reserve=60.0)

        holder = on_loop(make())

        async def take():
            for _ in range(40):
                await holder.acquire()

        on_loop(take())

        def close():
            on_loop(holder.aclose())
            loop.call_soon_threadsafe(loop.stop)
    wait_until(lambda: numsub(client, f"ratevane:{{{name}}}:press") >= 1, 5)
    assert window_count(client, name, 60) > 40  # the holder's blocks
    asker = ratevane_redis.RateLimiter(client, name, min=100)
    taken = 0
    start = time.monotonic()
    while taken < 60:  # the server's remainder, then what the holder gives back
        assert asker.acquire()
        taken += 1
    # Round trips and one refund take milliseconds here; the holder polls
    # every 50 ms. Far below the 12 s a wait for the minute would take.
    assert time.monotonic() - start < 2.0
    close()
    assert window_count(client, name, 60) == 100


def test_blocks_in_a_cluster(redis_cluster):
    ensure_room(5, 3600)
    cluster = redis.cluster.RedisCluster(host="127.0.0.1", port=redis_cluster[0].port)
    name = budget_name()
    limiter = ratevane_redis.RateLimiter(cluster, name, hour=HUGE, reserve=10.0)
    assert all(limiter.acquire() for _ in range(500))
    limiter.close()
    assert window_count(cluster, name, 3600) == 500
    cluster.close()


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_served_from_the_block(redis_server, kind):
    client = redis_server.client()
    ensure_room(5, 3600)
    name = budget_name()
    calls = lambda: client.info("commandstats").get("cmdstat_evalsha", {}).get("calls", 0)  # noqa

    async def run(n):
        aclient = redis_server.async_client()
        lim = ratevane_redis.AsyncRateLimiter(aclient, name, hour=HUGE, reserve=10.0)
        granted = [await lim.acquire() for _ in range(n)]
        granted += await asyncio.gather(*(lim.acquire() for _ in range(n)))
        await lim.aclose()
        await aclient.aclose()
        return granted

    before = calls()
    if kind == "sync":
        lim = ratevane_redis.RateLimiter(client, name, hour=HUGE, reserve=10.0)
        granted = [lim.acquire() for _ in range(2000)]
        lim.close()
    else:
        granted = asyncio.run(run(1000))
    # The blocks double while the demand lasts: a few dozen calls, with the
    # refund, for 2,000 grants.
    assert granted == [True] * 2000
    assert calls() - before < 40
    assert window_count(client, name, 3600) == 2000
    # With max_burst every permit is a lease of its own: one call each.
    burst = ratevane_redis.RateLimiter(client, budget_name(), hour=HUGE, max_burst=100,
                                       reserve=10.0)
    before = calls()
    assert all(burst.acquire() for _ in range(50))
    assert calls() - before == 50
    burst.close()
