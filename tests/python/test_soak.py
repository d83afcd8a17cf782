"""A bounded soak: 16 threads on one blocking RateLimiter and three event
loops, each in its own thread with a thousand tasks on two shared
AsyncRateLimiters (one with max_burst, one without), some acquisitions
cancelled at random by tiny wait_for timeouts.

RATEVANE_SOAK_SECONDS sets the length (default 10).

Every grant is recorded as the wall-clock interval [t0, t1] around the call
that got it: the grant happened somewhere inside it. The checks only use
what that proves:

- no window over its limit: for every run of k = 1..3 consecutive seconds,
  the grants whose whole interval lies inside those seconds number at most
  k × limit (k = 1 is "the grants certainly in second s");
- the thread limiter's full seconds are real: whenever get_remaining(),
  read from a watching thread, says a second is used up, the grants that
  may have fallen in it (interval touching it) reach the limit, and every
  full second strictly inside the run has grants. How close each second
  comes to the limit depends on the machine's speed (200 grants are eight
  threads' work of a few tens of milliseconds here, far more when the
  interpreter lock is much fought over); the report prints it, as a figure;
- burst: never more permits held than max_burst, and the burst counter is
  back to exactly max_burst once everyone has released (cancelled waits
  included);
- threads: the process never has more threads than before the soak plus the
  soak's own plus the ratevane-worker pool.
"""

import asyncio
import math
import os
import random
import sys
import threading
import time

import ratevane

SOAK_SECONDS = float(os.environ.get("RATEVANE_SOAK_SECONDS", "10"))

THREADS = 16
THREAD_LIMIT = 200
THREAD_BURST = 8

LOOPS = 3
TASKS_PER_LOOP = 1000
ASYNC_BURST_LIMIT = 150
ASYNC_BURST = 16
ASYNC_FREE_LIMIT = 100
CANCEL_SHARE = 0.2  # share of acquisitions made through a tiny wait_for


def expected_workers():
    text = os.environ.get("RATEVANE_WORKER_THREADS")
    return int(text) if text else (os.cpu_count() or 1)


def thread_census():
    """(all threads of the process, threads named ratevane-worker)."""
    total = workers = 0
    for tid in os.listdir("/proc/self/task"):
        total += 1
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                workers += f.read().strip() == "ratevane-worker"
        except OSError:  # the thread ended meanwhile
            pass
    return total, workers


class Held:
    """Permits held right now (counted after the grant, uncounted before
    the release) and the most ever seen."""

    def __init__(self):
        self.lock = threading.Lock()
        self.now = 0
        self.most = 0

    def take(self):
        with self.lock:
            self.now += 1
            self.most = max(self.most, self.now)

    def give(self):
        with self.lock:
            self.now -= 1


class Record:
    def __init__(self, name, limit, max_burst):
        self.name = name
        self.limit = limit
        self.max_burst = max_burst
        self.grants = []  # (t0, t1); list.append is atomic
        self.held = Held()
        self.timeouts = 0


# --- the two kinds of worker -------------------------------------------------


def thread_worker(limiter, record, deadline, seed, errors):
    rng = random.Random(seed)
    try:
        while time.time() < deadline:
            if rng.random() < 0.5:
                t0 = time.time()
                assert limiter.acquire() is True
                t1 = time.time()
                record.grants.append((t0, t1))
                record.held.take()
                time.sleep(rng.uniform(0, 0.002))
                record.held.give()
                limiter.release()
            else:
                t0 = time.time()
                with limiter:
                    t1 = time.time()
                    record.grants.append((t0, t1))
                    record.held.take()
                    time.sleep(rng.uniform(0, 0.002))
                    record.held.give()
    except BaseException as exc:  # noqa: B902 - reported to the test
        errors.append(exc)


async def task_worker(limiter, record, deadline, rng):
    while time.time() < deadline:
        t0 = time.time()
        try:
            if rng.random() < CANCEL_SHARE:
                got = await asyncio.wait_for(limiter.acquire(), rng.uniform(0.0005, 0.02))
            else:
                got = await limiter.acquire()
        except asyncio.TimeoutError:
            record.timeouts += 1
            await asyncio.sleep(rng.uniform(0, 0.05))
            continue
        t1 = time.time()
        assert got == ()
        record.grants.append((t0, t1))
        record.held.take()
        try:
            await asyncio.sleep(rng.uniform(0, 0.005))
        finally:
            record.held.give()
            await limiter.release()


async def loop_main(limiters, deadline, seed):
    rng = random.Random(seed)
    tasks = [
        asyncio.ensure_future(task_worker(*limiters[i % 2], deadline, random.Random(rng.random())))
        for i in range(TASKS_PER_LOOP)
    ]
    await asyncio.sleep(max(0.0, deadline - time.time()))
    # Whoever is still waiting is cancelled: that must hand everything back.
    for task in tasks:
        task.cancel()
    outcomes = await asyncio.gather(*tasks, return_exceptions=True)
    failures = [o for o in outcomes
                if isinstance(o, BaseException) and not isinstance(o, asyncio.CancelledError)]
    return failures


def loop_thread(limiters, deadline, seed, errors):
    try:
        failures = asyncio.run(loop_main(limiters, deadline, seed))
        errors.extend(failures)
    except BaseException as exc:  # noqa: B902
        errors.append(exc)


# --- checks from the recorded grants -----------------------------------------


def per_second_certain(grants):
    certain = {}
    for t0, t1 in grants:
        if math.floor(t0) == math.floor(t1):
            s = math.floor(t0)
            certain[s] = certain.get(s, 0) + 1
    return certain


def over_limit(record):
    """Runs of consecutive seconds [lo, hi] holding more grants wholly inside
    them than (hi - lo + 1) × limit. Counts come from a table C[a][b] of the
    grants whose call began in second a and returned in second b, summed
    over a >= lo, b <= hi with a 2-D suffix/prefix table."""
    if not record.grants:
        return []
    first = min(math.floor(t0) for t0, _ in record.grants)
    n = max(math.floor(t1) for _, t1 in record.grants) - first + 1
    c = [[0] * (n + 1) for _ in range(n + 2)]
    for t0, t1 in record.grants:
        c[math.floor(t0) - first][math.floor(t1) - first] += 1
    # s[a][b] = grants with begin >= a and end <= b (b shifted by one).
    s = [[0] * (n + 1) for _ in range(n + 2)]
    for a in range(n - 1, -1, -1):
        for b in range(n):
            s[a][b + 1] = c[a][b] + s[a + 1][b + 1] + s[a][b] - s[a + 1][b]
    found = []
    for lo in range(n):
        for hi in range(lo, n):
            inside = s[lo][hi + 1]
            allowed = (hi - lo + 1) * record.limit
            if inside > allowed:
                found.append(f"seconds {first + lo}..{first + hi}: {inside} > {allowed}")
    return found


def touching(grants, s):
    return sum(1 for t0, t1 in grants if math.floor(t0) <= s <= math.floor(t1))


def summary(record, start, end):
    """Grants per second over the full seconds of the run, as the bounds the
    recorded intervals prove: at least the grants wholly inside those
    seconds, at most the grants whose interval touches them."""
    full = range(math.floor(start) + 1, math.floor(end))
    if len(full) == 0:
        return f"{record.name}: run too short for a full second"
    certain = per_second_certain(record.grants)
    inside = sum(1 for t0, t1 in record.grants
                 if full.start <= math.floor(t0) and math.floor(t1) < full.stop)
    touch = sum(1 for t0, t1 in record.grants
                if math.floor(t0) < full.stop and math.floor(t1) >= full.start)
    low, high = inside / len(full), touch / len(full)
    share = 100 / record.limit
    return (f"{record.name}: {low:.1f}..{high:.1f} grants/s vs limit {record.limit} "
            f"(utilisation {share * low:.1f}%..{share * min(high, record.limit):.1f}%, "
            f"{len(full)} full seconds, certain grants per second "
            f"{min(certain.get(s, 0) for s in full)}..{max(certain.values()) if certain else 0}, "
            f"total {len(record.grants)}, most held {record.held.most}"
            + (f"/{record.max_burst}" if record.max_burst else "")
            + (f", {record.timeouts} wait_for timeouts" if record.timeouts else "") + ")")


async def async_burst_left(limiter):
    return (await limiter.get_remaining())["burst"]


def test_soak():
    # The pool of ratevane workers may be running from earlier tests already;
    # the bound below counts it once, whatever it holds now. ratevane_shm
    # carries a pool of its own (its copy of the executor, whose workers
    # have the same name): when an earlier test loaded it, its pool may be
    # running too, and the bound counts one pool per module.
    pools = 1 + ("ratevane_shm" in sys.modules)
    base_total, base_workers = thread_census()
    own_threads = THREADS + LOOPS + 1  # + the census thread
    most_workers = pools * expected_workers()
    bound = base_total - base_workers + own_threads + most_workers

    thread_limiter = ratevane.RateLimiter(sec=THREAD_LIMIT, max_burst=THREAD_BURST)
    burst_limiter = ratevane.AsyncRateLimiter(sec=ASYNC_BURST_LIMIT, max_burst=ASYNC_BURST)
    free_limiter = ratevane.AsyncRateLimiter(sec=ASYNC_FREE_LIMIT)
    thread_rec = Record("RateLimiter(sec=200, max_burst=8), 16 threads", THREAD_LIMIT,
                        THREAD_BURST)
    burst_rec = Record("AsyncRateLimiter(sec=150, max_burst=16), 3 loops",
                       ASYNC_BURST_LIMIT, ASYNC_BURST)
    free_rec = Record("AsyncRateLimiter(sec=100), 3 loops", ASYNC_FREE_LIMIT, None)
    async_limiters = [(burst_limiter, burst_rec), (free_limiter, free_rec)]

    seed = int(os.environ.get("RATEVANE_SOAK_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    errors = []
    census = {"most": 0, "most_workers": 0, "over": []}
    used_up = set()  # seconds in which the thread limiter said it had none left
    done = threading.Event()

    def watch():
        while not done.wait(0.05):
            total, workers = thread_census()
            census["most"] = max(census["most"], total)
            census["most_workers"] = max(census["most_workers"], workers)
            if total > bound or workers > most_workers:
                census["over"].append((time.time(), total, workers))
            t0 = time.time()
            left = thread_limiter.get_remaining()["second"]
            t1 = time.time()
            if left == 0 and math.floor(t0) == math.floor(t1):
                used_up.add(math.floor(t0))

    start = time.time()
    deadline = start + SOAK_SECONDS
    threads = [threading.Thread(target=watch, name="soak-census")]
    threads += [threading.Thread(target=thread_worker, name=f"soak-thread-{i}",
                                 args=(thread_limiter, thread_rec, deadline, rng.random(), errors))
                for i in range(THREADS)]
    threads += [threading.Thread(target=loop_thread, name=f"soak-loop-{i}",
                                 args=(async_limiters, deadline, rng.random(), errors))
                for i in range(LOOPS)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join(timeout=SOAK_SECONDS + 30)
    end_of_work = time.time()
    stuck = [t.name for t in threads[1:] if t.is_alive()]
    done.set()
    threads[0].join()

    # Cancelled waits hand their burst permits back from the executor, maybe
    # a moment after the loops have finished: wait for it, with a guard of
    # 5 s against milliseconds of work.
    async def settle():
        left = await async_burst_left(burst_limiter)
        until = time.time() + 5
        while left != ASYNC_BURST and time.time() < until:
            await asyncio.sleep(0.01)
            left = await async_burst_left(burst_limiter)
        return left

    async_left = asyncio.run(settle())

    lines = [summary(r, start, deadline) for r in (thread_rec, burst_rec, free_rec)]
    lines.append(f"threads: at most {census['most']} (bound {bound}: {base_total - base_workers} "
                 f"before + {own_threads} of the soak + {most_workers} workers), "
                 f"workers at most {census['most_workers']}; seed {seed}")
    report = "\n".join(lines)
    print("\n" + report)

    assert not stuck, f"threads still running: {stuck}\n{report}"
    assert not errors, f"{errors[:5]}\n{report}"
    for record in (thread_rec, burst_rec, free_rec):
        assert record.grants, f"{record.name}: no grant at all\n{report}"
        over = over_limit(record)
        assert not over, f"{record.name}: over the limit: {over[:10]}\n{report}"
        if record.max_burst is not None:
            assert record.held.most <= record.max_burst, report
    assert thread_limiter.get_remaining()["burst"] == THREAD_BURST, report
    assert async_left == ASYNC_BURST, f"burst left {async_left}\n{report}"
    assert not census["over"], f"too many threads: {census['over'][:5]}\n{report}"

    # A second the limiter said was used up was used up by grants: a permit
    # counted without a grant (a leak) shows here, whatever the speed. At
    # least one of the run's seconds fills up: that takes a thread limiter
    # far slower than any machine of this kind makes it (see the top).
    assert used_up, f"no second was seen used up\n{report}"
    leaked = [(s, touching(thread_rec.grants, s)) for s in sorted(used_up)]
    leaked = [(s, n) for s, n in leaked if n < THREAD_LIMIT]
    assert not leaked, f"used up with fewer than {THREAD_LIMIT} grants: {leaked}\n{report}"
    # Waits that slept through a reopened second would leave it without a
    # grant (the first and the last second are partial).
    empty = [s for s in range(math.floor(start) + 1, math.floor(deadline))
             if touching(thread_rec.grants, s) == 0]
    assert not empty, f"seconds without a grant: {empty}\n{report}"
    # After the deadline each worker ends its last call (a wait for the next
    # second at most; the loops cancel what still waits), so the work is
    # over about a second after it: 10 s is ten times that.
    assert end_of_work - deadline < 10, report
