"""The host budget (ratevane_shm) against the in-process limiter, and
across processes: the cost of a granted acquire with 1 and 4 windows next
to ratevane.RateLimiter's in the same run; 8 processes of 2 threads each
hammering one budget of sec=1000 (over-grants in any second, share of each
saturated second granted, calls per second); the time from a release in
one process to the grant of a waiter in another (a thread's acquire, and
an asyncio task's); and the time of the
acquire that takes back the permit of a holder killed with SIGKILL; and a
granted acquire through ratevane_redis on loopback (one script call each,
and with reserve=) against this one, in the same run.

    RATEVANE_BUILD=build/release-pypy pypy3 bench/shm_bench.py
    RATEVANE_BUILD=build/release-cpython python3 bench/shm_bench.py

Options: --quick (shorter runs).
"""

import argparse
import asyncio
import json
import multiprocessing
import os
import signal
import statistics
import sys
import threading
import time

_build = os.environ.get("RATEVANE_BUILD")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))

import ratevane  # noqa: E402
import ratevane_shm  # noqa: E402

BIG = 10**18
WINDOWS = {1: {"sec": BIG}, 4: {"sec": BIG, "min": BIG, "hour": BIG, "day": BIG}}


def name(tag):
    return f"bench-{os.getpid()}-{tag}"


def make_loop():
    namespace = {}
    exec("def loop(call, n, clock):\n"
         "    start = clock()\n"
         "    for _ in range(n):\n"
         "        call()\n"
         "    return clock() - start\n", namespace)
    return namespace["loop"]


def per_call_ns(limiters, n, rounds):
    """Best of `rounds` passes per limiter, the limiters taking turns in
    each pass so that both see the same machine."""
    loops = [make_loop() for _ in limiters]
    best = [float("inf")] * len(limiters)
    for _ in range(rounds):
        for i, limiter in enumerate(limiters):
            best[i] = min(best[i], loops[i](limiter.acquire, n, time.perf_counter) / n * 1e9)
    return best


def hammer(budget, seconds, start, out):
    """Two threads acquiring without waiting until `start + seconds`; writes
    each grant's two clock reads and the number of calls."""
    limiter = ratevane_shm.RateLimiter(budget, sec=1000, blocking=False)
    grants, calls = [], [0, 0]

    def run(slot):
        mine = []
        n = 0
        while time.time() < start:
            time.sleep(0.001)
        end = start + seconds
        while True:
            before = time.time()
            if before >= end:
                break
            n += 1
            if limiter.acquire():
                mine.append((before, time.time()))
        grants.extend(mine)
        calls[slot] = n

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    with open(out, "w") as f:
        json.dump({"grants": grants, "calls": sum(calls)}, f)


def many_processes(seconds):
    budget = name("hammer")
    ctx = multiprocessing.get_context("fork")
    start = float(int(time.time()) + 2)   # a whole second, once all have started
    outs = [f"/tmp/{budget}-{i}.json" for i in range(8)]
    procs = [ctx.Process(target=hammer, args=(budget, seconds, start, out)) for out in outs]
    for p in procs:
        p.start()
    for p in procs:
        p.join()
    grants, calls = [], 0
    for out in outs:
        with open(out) as f:
            data = json.load(f)
        os.unlink(out)
        grants.extend(data["grants"])
        calls += data["calls"]
    ratevane_shm.remove(budget)
    per_second = {}
    for before, after in grants:
        if int(before) == int(after):   # a grant that straddles a second is left out
            per_second[int(before)] = per_second.get(int(before), 0) + 1
    full = [per_second.get(s, 0) for s in range(int(start), int(start) + seconds)]
    over = sum(max(0, c - 1000) for c in per_second.values())
    return over, min(full) / 1000 * 100, calls / seconds


def waiter(budget, go, times, rounds, in_task):
    if not in_task:
        limiter = ratevane_shm.RateLimiter(budget, sec=BIG, max_burst=1)
        for _ in range(rounds):
            go.recv()
            limiter.acquire()
            times.send(time.perf_counter())   # CLOCK_MONOTONIC: one clock for the host
            limiter.release()
        return
    limiter = ratevane_shm.AsyncRateLimiter(budget, sec=BIG, max_burst=1)

    async def run():
        loop = asyncio.get_running_loop()
        for _ in range(rounds):
            await loop.run_in_executor(None, go.recv)
            await limiter.acquire()
            times.send(time.perf_counter())
            await limiter.release()
    asyncio.run(run())


def release_to_grant(rounds, in_task=False):
    budget = name("wake")
    limiter = ratevane_shm.RateLimiter(budget, sec=BIG, max_burst=1)
    ctx = multiprocessing.get_context("fork")
    go_parent, go_child = ctx.Pipe()
    times_parent, times_child = ctx.Pipe()
    p = ctx.Process(target=waiter, args=(budget, go_child, times_child, rounds, in_task))
    p.start()
    latencies = []
    for _ in range(rounds):
        limiter.acquire()
        go_parent.send(None)
        time.sleep(0.02)          # the waiter is asleep in its burst wait by now
        t0 = time.perf_counter()
        limiter.release()
        latencies.append(times_parent.recv() - t0)
    p.join()
    ratevane_shm.remove(budget)
    return statistics.median(latencies) * 1e6, max(latencies) * 1e6


def holder(budget, ready):
    limiter = ratevane_shm.RateLimiter(budget, sec=BIG, max_burst=1)
    limiter.acquire()
    ready.send(None)
    time.sleep(60)


def kill_reclaim(rounds):
    budget = name("kill")
    limiter = ratevane_shm.RateLimiter(budget, sec=BIG, max_burst=1, blocking=False)
    ctx = multiprocessing.get_context("fork")
    took = []
    for _ in range(rounds):
        ready_parent, ready_child = ctx.Pipe()
        p = ctx.Process(target=holder, args=(budget, ready_child))
        p.start()
        ready_parent.recv()
        os.kill(p.pid, signal.SIGKILL)
        p.join()
        t0 = time.perf_counter()
        assert limiter.acquire() is True
        took.append(time.perf_counter() - t0)
        limiter.release()
    ratevane_shm.remove(budget)
    return statistics.median(took) * 1e6


def against_redis(n, rounds, shm_ns):
    """A granted acquire through ratevane_redis on a redis-server of this
    run's own on loopback: one script call per acquire, and with reserve=
    (permits taken ahead in blocks), in interleaved rounds; and each against
    shm_ns, this module's cost measured in the same run."""
    import tempfile

    import redis

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                    "python"))
    import ratevane_redis
    from redis_bench import start_server

    with tempfile.TemporaryDirectory() as where:
        proc, port = start_server(where)
        try:
            client = redis.Redis(port=port)
            budget = name("redis")
            limit = {"sec": 2**53}  # the largest a shared budget counts
            each = ratevane_redis.RateLimiter(client, budget + "-each", **limit)
            ahead = ratevane_redis.RateLimiter(client, budget + "-ahead", **limit, reserve=1.0)
            # A script call costs tens of microseconds: fewer calls per pass.
            each_ns, ahead_ns = per_call_ns([each, ahead], n // 20, rounds)
            each.close()
            ahead.close()
        finally:
            proc.terminate()
            proc.wait()
    label = "granted acquire, 1 window"
    return [[f"{label}: ratevane_redis, one call each", round(each_ns), "ns"],
            [f"{label}: ratevane_redis, reserve=1.0", round(ahead_ns), "ns"],
            [f"{label}: ratevane_redis / ratevane_shm, one call each",
             round(each_ns / shm_ns, 1), "x"],
            [f"{label}: ratevane_redis / ratevane_shm, reserve=1.0",
             round(ahead_ns / shm_ns, 1), "x"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, rounds = (100_000, 3) if args.quick else (500_000, 7)
    rows = []
    cost = {}
    for windows, limits in WINDOWS.items():
        shared = ratevane_shm.RateLimiter(name(f"cost{windows}"), **limits)
        local = ratevane.RateLimiter(**limits)
        shm_ns, local_ns = per_call_ns([shared, local], n, rounds)
        cost[windows] = shm_ns
        ratevane_shm.remove(name(f"cost{windows}"))
        rows += [[f"granted acquire, {windows} window(s): ratevane_shm", round(shm_ns), "ns"],
                 [f"granted acquire, {windows} window(s): ratevane", round(local_ns), "ns"],
                 [f"granted acquire, {windows} window(s): ratio", round(shm_ns / local_ns, 2), "x"]]
    rows += against_redis(n, rounds, cost[1])
    over, share, calls = many_processes(2 if args.quick else 3)
    rows += [["8 processes x 2 threads, sec=1000: over-grants", over, "permits"],
             ["8 processes x 2 threads, sec=1000: least share granted", round(share, 1), "%"],
             ["8 processes x 2 threads, sec=1000: calls", round(calls), "calls/s"]]
    for in_task, whom in [(False, "a thread"), (True, "an asyncio task")]:
        median, worst = release_to_grant(20 if args.quick else 50, in_task)
        rows += [[f"release in one process to grant in {whom} of another: median", round(median), "us"],
                 [f"release in one process to grant in {whom} of another: worst", round(worst), "us"]]
    rows.append(["acquire that takes back a killed holder's permit", round(kill_reclaim(10)), "us"])
    width = max(len(r[0]) for r in rows)
    for label, value, unit in rows:
        print(f"  {label:<{width}}  {value:>10}  {unit}")
    path = os.environ.get("RATEVANE_BENCH_JSON")
    if path:
        with open(path, "w") as f:
            json.dump(rows, f)


if __name__ == "__main__":
    main()
