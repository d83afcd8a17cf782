"""What the README promises of ratevane_redis, case by case, run on both
classes against the model of the script, on a fake clock, with faults made
at chosen calls (conformance_support.py). The real-server tests keep what
needs a server: processes, kill -9, the proxy, the cluster and the audit."""

import asyncio
import gc

import pytest

from conformance_support import Clock, Driver, Peer, Store, driver  # noqa: F401

redis = pytest.importorskip("redis")

HUGE = 10**9


def test_grants_refusals_and_the_latest_reopening(driver):
    clock = driver.clock
    refusing = driver("w", sec=1, min=2, blocking=False)
    assert [refusing.acquire(), refusing.acquire()] == [True, False]
    # A blocking acquire sleeps exactly until the reopening the script
    # named: the second's first (0.75 s on: the clock starts a quarter into
    # a second and a minute), then, with both full, the later one: the
    # minute's, since the second's alone frees nothing.
    waiting = driver("w", sec=1, min=2)
    start = clock.now()
    assert waiting.acquire() is True
    assert clock.now() - start == pytest.approx(0.75, abs=1e-6)
    assert waiting.acquire() is True
    assert clock.now() - start == pytest.approx(59.75, abs=1e-6)
    assert waiting.remaining() == {"second": 0, "minute": 1}
    assert 0.99 < waiting.wait_time() <= 1.0  # wait_time names the first full window


def test_limits_under_one_name_share_counters_by_window_length(driver):
    # Each limiter compares the shared counter with its own limit: the
    # smaller stops at 3, the larger tops it up to 5 and no further;
    # another length is another counter.
    small = driver("m", hour=3, blocking=False)
    large = driver("m", hour=5, blocking=False)
    minute = driver("m", min=2, blocking=False)
    assert small.wait_time() is None
    assert [small.acquire() for _ in range(4)] == [True, True, True, False]
    assert small.remaining() == {"hour": 0} and large.remaining() == {"hour": 2}
    assert [large.acquire() for _ in range(3)] == [True, True, False]
    assert small.acquire() is False
    assert [minute.acquire() for _ in range(3)] == [True, True, False]
    assert small.wait_time() == pytest.approx(3600 - 0.25, abs=1e-6)
    with pytest.raises(ValueError, match="^Failed to acquire permit$"):
        small.enter()
    small.release()  # holds nothing: does nothing
    burst = driver("m2", sec=HUGE, min=HUGE, max_burst=2, blocking=False)
    assert burst.remaining() == {"second": HUGE, "minute": HUGE, "burst": 2}
    burst.enter()
    assert burst.remaining()["burst"] == 1
    burst.exit()
    assert burst.remaining()["burst"] == 2


def test_burst_leases_are_renewed_released_and_run_out(driver):
    clock, peer = driver.clock, driver.peer("l", sec=HUGE, max_burst=2)
    holder = driver("l", sec=HUGE, max_burst=2, lease=3)
    assert holder.acquire() and holder.acquire()
    assert peer.acquire() is False
    for _ in range(10):  # ten seconds: renewed every second, a third of a lease
        clock.advance(1.0)
        holder.run_background()
    assert peer.acquire() is False
    holder.release()
    assert peer.acquire() is True
    peer.release()
    # A holder that no longer renews (killed) loses its permit in a lease.
    clock.advance(3.0)
    assert peer.acquire() and peer.acquire()


def test_a_burst_wait_ends_at_a_release_elsewhere(driver):
    clock, peer = driver.clock, driver.peer("r", sec=HUGE, max_burst=1)
    assert peer.acquire()
    waiter = driver("r", sec=HUGE, max_burst=1)
    waiter.on_wait(peer.release)  # while it waits, the holder releases
    start = clock.now()
    assert waiter.acquire() is True
    assert clock.now() == start  # woken by the message, not by a poll
    waiter.release()


# What each class meets when an answer is lost: the sync class sees Ctrl-C,
# the asyncio class a cancel, both the client's errors.
INTERRUPTS = {"sync": ("interrupt", KeyboardInterrupt), "async": ("cancel", asyncio.CancelledError)}


@pytest.mark.parametrize("burst", [None, 2])
@pytest.mark.parametrize("fault", ["lost", "refused", "late", "interrupt", "garbage"])
def test_a_lost_answer_gives_back_what_it_may_have_granted(driver, fault, burst):
    store = driver.store
    peer = driver.peer("d", min=HUGE, max_burst=burst)
    lim = driver("d", min=HUGE, max_burst=burst)
    assert lim.acquire()
    kind, error = {"lost": ("lost", redis.exceptions.ConnectionError),
                   "refused": ("refused", redis.exceptions.ConnectionError),
                   "late": ("late", redis.exceptions.TimeoutError),
                   "garbage": ("garbage", ValueError),
                   "interrupt": INTERRUPTS[driver.kind]}[fault]
    store.fault(kind, "a")
    with pytest.raises(error):
        lim.acquire()
    lim.run_background()
    expected = {"minute": HUGE - 1, **({"burst": 1} if burst else {})}
    assert peer.remaining() == expected
    # A copy of the request that reaches the server late grants nothing.
    cancelled = -1024 * 3  # no permit, reason 3: the request was cancelled
    assert store.deliver_late() == ([cancelled] if fault == "late" else [])
    assert peer.remaining() == expected
    if burst:
        lim.release()
        assert peer.remaining()["burst"] == 2


def test_a_failed_release_keeps_the_lease_renewed_until_freed(driver):
    clock, store = driver.clock, driver.store
    peer = driver.peer("f", sec=HUGE, max_burst=1)
    lim = driver("f", sec=HUGE, max_burst=1, lease=3)
    assert lim.acquire()
    # While the release is in flight, nothing is held: the background work
    # looks, finds nothing, and ends. The failure must start it again.
    store.on_call("r", lim.run_background if driver.kind == "sync" else lim.background_round)
    store.fault("refused", "r")
    with pytest.raises(redis.exceptions.ConnectionError):
        lim.release()
    for _ in range(10):  # ten seconds, three leases and more
        clock.advance(1.0)
        lim.run_background()
        assert peer.acquire() is False
    lim.release()
    assert peer.acquire() is True
    peer.release()
    # A release whose answer was lost did free it: the next renewal finds
    # it gone, and nothing is held or released again.
    assert lim.acquire()
    store.fault("lost", "r")
    with pytest.raises(redis.exceptions.ConnectionError):
        lim.release()
    assert peer.acquire() is True
    clock.advance(1.0)
    lim.run_background()
    ops = len(store.ops)
    lim.release()
    assert store.ops[ops:] == []


def test_close_hands_back_and_wakes_every_waiter(driver):
    peer = driver.peer("c", sec=HUGE, max_burst=2)
    holder = driver("c", sec=HUGE, max_burst=2)
    assert holder.acquire() and holder.acquire()
    holder.close()
    assert peer.remaining()["burst"] == 2
    with pytest.raises(ValueError, match="^limiter is closed$"):
        holder.acquire()
    holder.release()  # does nothing
    holder.close()  # nor does this
    # Waiting on a full window and on the burst cap: woken with the error.
    window = driver("c2", sec=1)
    assert window.acquire()
    window.close_at_next_wait()
    with pytest.raises(ValueError, match="^limiter is closed$"):
        window.acquire()
    assert peer.acquire() and peer.acquire()
    burst = driver("c", sec=HUGE, max_burst=2)
    burst.close_at_next_wait()
    with pytest.raises(ValueError, match="^limiter is closed$"):
        burst.acquire()


def test_close_sends_every_hand_back_owed_and_a_failed_one_again(driver):
    clock, store = driver.clock, driver.store
    peer = driver.peer("h", min=HUGE, max_burst=3)
    lim = driver("h", min=HUGE, max_burst=3)
    assert lim.acquire()
    store.fault("lost", "a")
    with pytest.raises(redis.exceptions.ConnectionError):
        lim.acquire()
    # The lost answer's refund and cancel are queued for the background
    # work, which is cut short (Ctrl-C, a cancel) before it sends them:
    # they stay owed, and close() sends them.
    interrupt = INTERRUPTS[driver.kind][1]

    def cut_short():
        raise interrupt

    async def cut_short_async():
        raise interrupt
    store.on_call("f", cut_short if driver.kind == "sync" else cut_short_async)
    with pytest.raises(interrupt):
        lim.run_background()
    assert peer.remaining() == {"minute": HUGE - 2, "burst": 1}
    # One of them fails: close() raises the client's error once the others
    # are sent, and the background work tries it again.
    store.fault("refused", "f")
    with pytest.raises(redis.exceptions.ConnectionError, match="^refused$"):
        lim.close()
    assert peer.remaining() == {"minute": HUGE - 2, "burst": 3}
    clock.advance(0.25)
    lim.run_background()
    assert peer.remaining() == {"minute": HUGE - 1, "burst": 3}
    lim.close()  # nothing left to send


def test_a_collected_limiter_hands_back_its_leases_and_block(driver):
    peer = driver.peer("g", sec=HUGE, min=HUGE, max_burst=1)
    held = driver("g", sec=HUGE, min=HUGE, max_burst=1)
    assert held.acquire()
    block = driver("g", min=HUGE, reserve=1.0)
    for _ in range(20):
        assert block.acquire()
        driver.clock.advance(0.01)
    assert peer.remaining()["minute"] < HUGE - 21  # a block is out
    for d in (held, block):
        d.limiter = None
    for _ in range(3):  # PyPy may need more than one pass
        gc.collect()
    held.run_background()
    block.run_background()
    assert peer.remaining() == {"second": HUGE - 1, "minute": HUGE - 21, "burst": 1}


def test_blocks_are_served_locally_and_refunded_on_every_road_out(driver):
    clock, store = driver.clock, driver.store
    peer = driver.peer("k", sec=HUGE, min=HUGE)
    lim = driver("k", sec=HUGE, min=HUGE, reserve=0.5)
    used = 0

    def burst_of(n):
        nonlocal used
        for _ in range(n):
            assert lim.acquire()
            used += 1
            clock.advance(0.001)

    # At 1,000 acquires a second the block grows to the demand of half a
    # second; few calls serve many acquires.
    calls = len(store.ops)
    burst_of(600)
    assert len(store.ops) - calls < 20
    # Closed: the unused permits go back at once.
    lim.close()
    assert peer.remaining() == {"second": HUGE - used, "minute": HUGE - used}

    # The second rolls: the block goes back to the minute only.
    lim = driver("k", sec=HUGE, min=HUGE, reserve=0.5)
    burst_of(300)
    clock.advance(1.0)
    lim.run_background()
    assert peer.remaining()["minute"] == HUGE - used
    # Idle for four times the reserve: back, while the second is still on.
    burst_of(300)
    second_used = peer.remaining()["second"]
    clock.advance(2.01)
    lim.run_background()
    assert peer.remaining()["minute"] == HUGE - used
    assert peer.remaining()["second"] >= second_used

    # Pressed: someone is refused while the block is out; it goes back at
    # once, and single permits follow for the rest of the interval.
    tight = driver.peer("p", sec=100)
    lim = driver("p", sec=100, reserve=0.5)
    for _ in range(60):
        assert lim.acquire()
        clock.advance(0.001)
    while tight.acquire():
        pass
    lim.run_background()
    assert tight.remaining()["second"] > 0
    assert tight.acquire() is True


def test_a_block_whose_answer_was_lost_counts_nothing(driver):
    clock, store = driver.clock, driver.store
    peer = driver.peer("q", min=HUGE)
    lim = driver("q", min=HUGE, reserve=0.5)
    for _ in range(5):
        assert lim.acquire()
        clock.advance(0.01)
    lim.close()
    lim = driver("q", min=HUGE, reserve=0.5)
    acquired = 5
    for _ in range(20):
        store.fault("late", "b")
        try:
            acquired += lim.acquire()
        except redis.exceptions.TimeoutError:
            pass
        clock.advance(0.01)
    lim.run_background()  # the refunds go first
    store.deliver_late()  # then the late blocks: they grant nothing
    lim.close()
    assert peer.remaining() == {"minute": HUGE - acquired}


def test_a_forked_child_holds_none_of_its_parents_permits(driver):
    store = driver.store
    peer = driver.peer("z", sec=HUGE, max_burst=2)
    lim = driver("z", sec=HUGE, max_burst=2)
    assert lim.acquire()
    lim.limiter._after_fork()  # what the fork hook runs in the child
    ops = len(store.ops)
    lim.release()  # the parent's permit is not the child's to hand back
    assert store.ops[ops:] == []
    if driver.kind == "sync":
        assert lim.acquire() is True
        lim.release()
    else:
        # Its client's connections are the parent loop's.
        with pytest.raises(RuntimeError, match="used before a fork"):
            lim.acquire()
        # One made before the fork and not used there (a module-level
        # limiter of a pre-forking server) works in the child's loop.
        unused = driver("z", sec=HUGE, max_burst=2, make_in_loop=False)
        unused.limiter._after_fork()
        assert unused.acquire() is True
        unused.release()
    assert peer.remaining()["burst"] == 1  # the parent's is still held


# --- the asyncio class's batches ------------------------------------------------------


@pytest.mark.parametrize("kw", [dict(), dict(reserve=0.5), dict(max_burst=100)])
def test_waiters_cancelled_while_their_call_is_in_flight_lose_nothing(kw):
    store = Store(Clock())
    peer = Peer(store, "x", min=HUGE, max_burst=kw.get("max_burst"))
    lim = Driver("async", store, "x", min=50, **kw)

    async def main():
        gate = asyncio.get_running_loop().create_future()
        lim.env.gate = gate  # the batch's call waits here, in flight
        tasks = [asyncio.ensure_future(lim.limiter.acquire()) for _ in range(10)]
        for _ in range(3):
            await asyncio.sleep(0)
        assert store.ops == []
        for t in tasks[:4]:
            t.cancel()
        gate.set_result(None)
        return await asyncio.gather(*tasks, return_exceptions=True)

    results = lim._run(main())
    assert store.ops == ["b" if kw.get("reserve") else "a"]  # one call for the ten
    assert results[4:] == [True] * 6
    assert all(isinstance(r, asyncio.CancelledError) for r in results[:4])
    lim.run_background()
    burst = {"burst": 94} if "max_burst" in kw else {}
    if not kw.get("reserve"):  # (with reserve the rest waits in the block)
        assert peer.remaining() == {"minute": HUGE - 6, **burst}
    lim.close()
    assert peer.remaining() == {"minute": HUGE - 6, **{k: 100 for k in burst}}
    lim.close_loop()
