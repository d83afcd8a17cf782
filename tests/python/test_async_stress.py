"""Many coroutines against one AsyncRateLimiter, with cancellations landing
at random points of the wait, the grant and the completion.

What must hold whatever the timing:
- the burst bound: the coroutines never hold more than max_burst permits at
  once, and the limiter never counts fewer permits than they hold (a permit
  handed back twice would show as either);
- no permit leaks: once everything settled and every granted permit was
  released, get_remaining()["burst"] is max_burst exactly;
- no window over-granted: no wall-clock second has more grants than its
  limit. A grant's second is only known to lie between the call and the
  moment its result was seen, so a grant counts for a second only when both
  fall inside it (a sound check: it can only undercount);
- the event loop reports nothing and nothing is printed.
"""

import asyncio
import collections
import random
import statistics
import time

from async_support import asyncio_test, settled_remaining
from conftest import ratevane

AsyncRateLimiter = ratevane.AsyncRateLimiter


class Holdings:
    """Permits the coroutines hold, and the least they held since a mark
    (what the limiter's in_flight can never be below while it is read)."""

    def __init__(self):
        self.now = 0
        self.most = 0
        self.least_since_mark = 0

    def took(self):
        self.now += 1
        self.most = max(self.most, self.now)

    def gave(self):
        self.now -= 1
        self.least_since_mark = min(self.least_since_mark, self.now)

    def mark(self):
        self.least_since_mark = self.now


async def watch_in_flight(lim, max_burst, holdings, stop, violations):
    while not stop.is_set():
        holdings.mark()
        remaining = await lim.get_remaining()
        in_flight = max_burst - remaining["burst"]
        if in_flight < holdings.least_since_mark:
            violations.append((in_flight, holdings.least_since_mark))
        await asyncio.sleep(0.005)


async def stretch():
    """How many times slower than 2 ms this run hands a free permit over:
    the time-outs and lifetimes below grow by it (1 on a native run), so
    that an emulated or starved run still sees grants."""
    lim = AsyncRateLimiter(sec=10**9, max_burst=1)
    times = []
    for _ in range(5):
        start = time.perf_counter()
        await lim.acquire()
        times.append(time.perf_counter() - start)
        await lim.release()
    return max(1.0, statistics.median(times) / 0.002)


def over_granted_seconds(grants, limit):
    per_second = collections.Counter(int(t0) for t0, t1 in grants if int(t0) == int(t1))
    return {s: n for s, n in per_second.items() if n > limit}


# Each client's twenty attempts end within their time-outs (at most 30 ms)
# plus 4 ms of holding, times the stretch: under a second of planned waiting
# on a native run. The guard of 60 s is for hangs.
@asyncio_test(timeout=60)
async def test_thousand_acquires_behind_random_timeouts(capfd):
    slow = await stretch()
    limit, max_burst = 200, 5
    lim = AsyncRateLimiter(sec=limit, max_burst=max_burst)
    rng = random.Random(20240605)
    holdings = Holdings()
    grants = []
    outcomes = collections.Counter()

    async def attempt():
        timeout = 0.0 if rng.random() < 0.05 else rng.uniform(0.0, 0.03 * slow)
        called = time.time()
        try:
            got = await asyncio.wait_for(lim.acquire(), timeout)
        except asyncio.TimeoutError:
            outcomes["timed out"] += 1
            return
        seen = time.time()
        assert got == ()
        holdings.took()
        grants.append((called, seen))
        outcomes["granted"] += 1
        await asyncio.sleep(rng.uniform(0.0, 0.004 * slow))
        holdings.gave()  # before the release can hand it to anyone else
        assert await lim.release() == ()

    async def client(n):
        for _ in range(n):
            await attempt()

    stop = asyncio.Event()
    violations = []
    watcher = asyncio.ensure_future(watch_in_flight(lim, max_burst, holdings, stop, violations))
    await asyncio.gather(*(client(20) for _ in range(50)))
    stop.set()
    await watcher

    assert sum(outcomes.values()) == 1000
    # Both happen on any machine: a zero time-out always times out, and a
    # free burst permit is handed over in well under the average 15 ms.
    assert outcomes["granted"] > 0 and outcomes["timed out"] > 0, outcomes
    assert holdings.most <= max_burst
    assert violations == []
    assert over_granted_seconds(grants, limit) == {}
    # Cancelled waits end on the executor shortly after; then all is back.
    assert await settled_remaining(lim, {"burst": max_burst}, stable=0.3) == {"burst": max_burst}
    out, err = capfd.readouterr()
    assert out == "" and err == ""


@asyncio_test(timeout=60)  # under a second of planned waiting, as above
async def test_mixed_calls_cancelled_at_random_points(capfd):
    """acquire and the __aenter__/__aexit__ pair, in tasks cancelled at
    random points (not only by time-outs), on a limiter whose second fills
    up. A task cancelled after its grant arrived and before it resumed
    never holds the permit: the limiter takes it back."""
    slow = await stretch()
    limit, max_burst = 150, 4
    lim = AsyncRateLimiter(sec=limit, max_burst=max_burst)
    rng = random.Random(77)
    holdings = Holdings()
    grants = []

    async def by_acquire():
        called = time.time()
        got = await lim.acquire()
        assert got == ()
        grants.append((called, time.time()))
        holdings.took()
        try:
            await asyncio.sleep(rng.uniform(0.0, 0.003))
        finally:
            holdings.gave()
            # Shielded: a cancellation here must not keep the permit held.
            await asyncio.shield(lim.release())

    async def by_enter_exit():
        called = time.time()
        bound = await lim.__aenter__()
        assert bound == ()
        grants.append((called, time.time()))
        holdings.took()
        try:
            await asyncio.sleep(rng.uniform(0.0, 0.003))
        finally:
            holdings.gave()
            assert await asyncio.shield(lim.__aexit__(None, None, None)) is False

    async def client():
        for _ in range(25):
            task = asyncio.ensure_future(rng.choice([by_acquire, by_enter_exit])())
            await asyncio.sleep(rng.uniform(0.0, 0.02 * slow))
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)

    stop = asyncio.Event()
    violations = []
    watcher = asyncio.ensure_future(watch_in_flight(lim, max_burst, holdings, stop, violations))
    await asyncio.gather(*(client() for _ in range(24)))
    stop.set()
    await watcher

    assert grants  # tasks live up to 20 ms times the stretch: far longer than a hand-over
    assert holdings.most <= max_burst
    assert violations == []
    assert over_granted_seconds(grants, limit) == {}
    assert await settled_remaining(lim, {"burst": max_burst}, stable=0.3) == {"burst": max_burst}
    out, err = capfd.readouterr()
    assert out == "" and err == ""
