"""What AsyncRateLimiter costs an asyncio program.

    RATEVANE_BUILD=build/pypy pypy3 bench/async_bench.py
    RATEVANE_BUILD=build/cpython python3 bench/async_bench.py

1. Round trip of a granted `await limiter.acquire()` (limits no run can use
   up; and with max_burst, whose futures are GrantFutures), one await at a
   time and with 100 tasks awaiting at once, beside the
   same loop awaiting `loop.run_in_executor(None, f)` for a trivial f: what
   a program would do with a blocking limiter instead; and beside the same
   bridge design written in plain Python (bench/python_bridge.py): worker
   threads, `call_soon_threadsafe`, a completor and a done-callback that
   check `cancelled()`.
   Each of the three is measured in a process of its own.
2. Wake lag after a window reopens: the time from the whole second at which
   a full second window reopens to the moment a waiting task sees its
   grant, with 1 waiting task (sec=1) and with 100 (sec=100, so that all
   fit in the new second). Beside it, the same hand-over in plain Python:
   one thread completing 100 waiting futures through
   `call_soon_threadsafe` at the whole second, which is what any design
   that completes asyncio futures from another thread pays on this
   interpreter.
3. CPU time of the whole process while 100 tasks wait 2 s on a full
   minute window (the waiters hold no thread; this should be about 0).
4. Burst wait: the time from releasing the one burst permit to the moment
   the task waiting for it sees its grant (by then the wait looks again
   every 100 ms; the release falls at a random point between two looks).

Each figure is the best of three runs (the machine may be busy with other
work). Options: --quick (shorter runs, one round of each), --json (print the
figures as one JSON object after the table). The extension is imported
from $RATEVANE_BUILD/src when that is set, as the tests do; with
RATEVANE_BENCH_JSON set, the figures also go to that file as rows for
bench/report.py.
"""

import argparse
import asyncio
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time

_build = os.environ.get("RATEVANE_BUILD")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))

import ratevane  # noqa: E402
from python_bridge import PythonBridgeLimiter, complete_at, waiting_future  # noqa: E402

BIG = 10**12  # a limit no run can use up
TASKS = 100


def trivial():
    return None


# --- round trips -------------------------------------------------------------------


async def sequential(make, n):
    start = time.perf_counter()
    for _ in range(n):
        await make()
    return (time.perf_counter() - start) / n * 1e6


async def concurrent(make, per_task):
    async def task():
        for _ in range(per_task):
            await make()

    start = time.perf_counter()
    await asyncio.gather(*(task() for _ in range(TASKS)))
    return (time.perf_counter() - start) / (TASKS * per_task) * 1e6


async def round_trips(maker_name, n, rounds):
    """Best per-await cost of one way of awaiting, in both modes."""
    loop = asyncio.get_running_loop()
    if maker_name == "acquire":
        make = ratevane.AsyncRateLimiter(sec=BIG, min=BIG).acquire
    elif maker_name == "acquire-burst":
        # With max_burst, a grant's future is a GrantFuture, whose own await
        # hands the permit back if the task is cancelled after the grant.
        make = ratevane.AsyncRateLimiter(sec=BIG, min=BIG, max_burst=BIG).acquire
    elif maker_name == "python":
        make = PythonBridgeLimiter().acquire
    else:
        def make():
            return loop.run_in_executor(None, trivial)
    # Warm-up: the worker threads, PyPy's JIT.
    await sequential(make, n // 2)
    await concurrent(make, max(1, n // (2 * TASKS)))
    best = {}
    for _ in range(rounds):
        for mode, measure in (("sequential", sequential), ("100 tasks", concurrent)):
            count = n if mode == "sequential" else max(1, n // TASKS)
            us = await measure(make, count)
            best[mode] = min(best.get(mode, us), us)
    return best


def round_trips_apart(n, rounds):
    """Each way of awaiting is measured in a process of its own: on PyPy the
    idle thread that run_in_executor leaves behind makes every later
    cross-thread hand-over in the process two to three times slower, which
    would charge one path for the other."""
    trips = {}
    for maker_name in ("acquire", "acquire-burst", "python", "executor"):
        out = subprocess.run(
            [sys.executable, __file__, "--round-trips", maker_name, str(n), str(rounds)],
            check=True, capture_output=True, text=True).stdout
        for mode, us in json.loads(out.splitlines()[-1]).items():
            trips[f"{maker_name}/{mode}"] = us
    return trips


# --- wake lag ----------------------------------------------------------------------


async def early_in_a_second(latest=0.4):
    """Sleep to just after a whole second, so that filling a window and
    starting the waiters is done long before the next one."""
    while True:
        await asyncio.sleep(1.0 - time.time() % 1.0 + 0.01)
        if time.time() % 1.0 < latest:
            return


async def wake_lags(waiters):
    """Lags (ms) of `waiters` tasks waiting on a full second window, from
    the whole second it reopens at to the moment each sees its grant."""
    while True:
        limiter = ratevane.AsyncRateLimiter(sec=waiters)
        await early_in_a_second()
        started = time.time()
        await asyncio.gather(*(limiter.acquire() for _ in range(waiters)))

        async def waiter():
            await limiter.acquire()
            return time.time()

        tasks = [asyncio.ensure_future(waiter()) for _ in range(waiters)]
        await asyncio.sleep(0)
        if int(time.time()) != int(started):
            # Too slow to fill the window and start the waiters within one
            # second (a busy machine): drop this round.
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            continue
        reopens = int(started) + 1
        seen = await asyncio.gather(*tasks)
        return [(t - reopens) * 1000.0 for t in seen]


async def python_handover_lags(waiters):
    """Lags (ms) of `waiters` futures completed by one plain-Python thread
    at the next whole second, from that second to the moment each waiting
    task sees its result."""
    loop = asyncio.get_running_loop()
    await early_in_a_second()
    reopens = int(time.time()) + 1
    futures = [waiting_future(loop) for _ in range(waiters)]

    async def waiter(future):
        await future
        return time.time()

    tasks = [asyncio.ensure_future(waiter(f)) for f in futures]
    thread = complete_at(loop, futures, reopens)
    seen = await asyncio.gather(*tasks)
    thread.join()
    return [(t - reopens) * 1000.0 for t in seen]


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


async def lag_figures(waiters, rounds, seconds_per_round, lags=wake_lags):
    """(median, p99, samples) of the best round: the round whose median is
    lowest. With one waiter a round pools several seconds' samples."""
    best = None
    for _ in range(rounds):
        samples = []
        for _ in range(seconds_per_round):
            samples += await lags(waiters)
        figures = (statistics.median(samples), percentile(samples, 0.99), len(samples))
        if best is None or figures[0] < best[0]:
            best = figures
    return best


# --- CPU while waiting -------------------------------------------------------------


async def idle_cpu(wait_seconds, rounds):
    """CPU seconds used by the process (all threads) while TASKS tasks wait
    `wait_seconds` on a full minute window; best of `rounds`."""
    best = None
    for _ in range(rounds):
        # Room in the minute, so the window stays full for the whole wait.
        while 60.0 - time.time() % 60.0 < wait_seconds + 1.0:
            await asyncio.sleep(0.5)
        limiter = ratevane.AsyncRateLimiter(min=1)
        await limiter.acquire()
        tasks = [asyncio.ensure_future(limiter.acquire()) for _ in range(TASKS)]
        await asyncio.sleep(0.05)  # let them all start waiting
        cpu = time.process_time()
        await asyncio.sleep(wait_seconds)
        used = time.process_time() - cpu
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        best = used if best is None else min(best, used)
    return best


# --- burst wait ----------------------------------------------------------------------


async def burst_release_lags(rounds):
    """Lags (ms) from the release of the one burst permit to the grant of
    the task waiting for it."""
    rng = random.Random(1)
    lags = []
    for _ in range(rounds):
        limiter = ratevane.AsyncRateLimiter(sec=BIG, max_burst=1)
        await limiter.acquire()
        waiter = asyncio.ensure_future(limiter.acquire())
        await asyncio.sleep(rng.uniform(0.3, 0.4))
        released = time.monotonic()
        await limiter.release()
        await waiter
        lags.append((time.monotonic() - released) * 1000.0)
    return lags


# --- report ------------------------------------------------------------------------


def interpreter():
    name = platform.python_implementation()
    version = platform.python_version()
    if name == "PyPy":
        v = sys.pypy_version_info
        return f"PyPy {v.major}.{v.minor}.{v.micro} (Python {version})"
    return f"{name} {version}"


async def measure(quick):
    rounds = 1 if quick else 3
    n = 1000 if quick else 3000
    trips = round_trips_apart(n, rounds)
    lag_one = await lag_figures(1, rounds, 2 if quick else 4)
    lag_many = await lag_figures(TASKS, rounds, 1)
    lag_python = await lag_figures(TASKS, rounds, 1, python_handover_lags)
    cpu = await idle_cpu(2.0 if not quick else 1.0, 1 if quick else 2)
    burst = await burst_release_lags(3 if quick else 10)
    return {
        "interpreter": interpreter(),
        "cpus": os.cpu_count(),
        "round_trip_us": trips,
        "wake_lag_ms": {
            "1 waiter": {"median": lag_one[0], "p99": lag_one[1], "samples": lag_one[2]},
            f"{TASKS} waiters": {"median": lag_many[0], "p99": lag_many[1], "samples": lag_many[2]},
            f"{TASKS} waiters, plain-Python hand-over": {
                "median": lag_python[0], "p99": lag_python[1], "samples": lag_python[2]},
        },
        "idle_cpu_s": cpu,
        "idle_wait_s": 2.0 if not quick else 1.0,
        "burst_release_ms": {"median": statistics.median(burst), "max": max(burst),
                             "samples": len(burst)},
        "rounds": rounds,
    }


def print_table(r):
    trips = r["round_trip_us"]
    print(f"ratevane AsyncRateLimiter — {r['interpreter']}, {r['cpus']} logical CPUs")
    print()
    print(f"{'round trip, µs per await':<28}{'acquire':>10}{'max_burst':>11}{'plain Python':>14}"
          f"{'ratio':>8}{'run_in_executor':>18}{'ratio':>8}   target")
    for mode in ("sequential", "100 tasks"):
        a = trips[f"acquire/{mode}"]
        b = trips[f"acquire-burst/{mode}"]
        p = trips[f"python/{mode}"]
        e = trips[f"executor/{mode}"]
        ok = "ok" if a <= e / 2 else "MISSED"
        print(f"  {mode:<26}{a:>10.1f}{b:>11.1f}{p:>14.1f}{a / p:>8.2f}{e:>18.1f}{a / e:>8.2f}"
              f"   ≤ 0.50 of run_in_executor {ok}")
    print()
    print(f"{'wake lag after reopening, ms':<42}{'median':>10}{'p99':>10}{'samples':>10}   target")
    for name, lag in r["wake_lag_ms"].items():
        target = ""
        if name == f"{TASKS} waiters":
            ok = lag["median"] <= 1.0 and lag["p99"] <= 3.0
            target = "median ≤ 1, p99 ≤ 3 " + ("ok" if ok else "MISSED")
        print(f"  {name:<40}{lag['median']:>10.2f}{lag['p99']:>10.2f}{lag['samples']:>10}   {target}")
    print()
    cpu = r["idle_cpu_s"]
    share = cpu / r["idle_wait_s"] * 100
    print(f"CPU while {TASKS} tasks wait {r['idle_wait_s']:.0f} s on a full minute: "
          f"{cpu * 1000:.1f} ms ({share:.2f} % of one CPU)")
    burst = r["burst_release_ms"]
    print(f"burst wait, release to grant: median {burst['median']:.1f} ms, "
          f"max {burst['max']:.1f} ms ({burst['samples']} samples)")
    print(f"(each figure: best of {r['rounds']} run{'s' if r['rounds'] > 1 else ''})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs, one round each")
    parser.add_argument("--json", action="store_true", help="also print the figures as JSON")
    parser.add_argument("--round-trips", nargs=3, metavar=("MAKER", "N", "ROUNDS"),
                        help=argparse.SUPPRESS)  # one path's round trips, in a child process
    args = parser.parse_args()
    if args.round_trips:
        maker_name, n, rounds = args.round_trips
        print(json.dumps(asyncio.run(round_trips(maker_name, int(n), int(rounds)))))
        return
    quick = args.quick or os.environ.get("RATEVANE_BENCH_QUICK") == "1"
    results = asyncio.run(measure(quick))
    print_table(results)
    if args.json:
        print(json.dumps(results))
    write_rows(results)


def write_rows(r):
    """For bench/report.py: the figures as JSON rows [name, value, unit] in
    the file named by RATEVANE_BENCH_JSON, when that is set."""
    path = os.environ.get("RATEVANE_BENCH_JSON")
    if not path:
        return
    trips = r["round_trip_us"]
    rows = []
    for mode in ("sequential", "100 tasks"):
        rows.append((f"await acquire(), {mode}", round(trips[f"acquire/{mode}"], 1), "µs"))
        rows.append((f"await acquire() with max_burst, {mode}",
                     round(trips[f"acquire-burst/{mode}"], 1), "µs"))
        rows.append((f"await run_in_executor(), {mode}", round(trips[f"executor/{mode}"], 1), "µs"))
        rows.append((f"await plain-Python bridge, {mode}", round(trips[f"python/{mode}"], 1), "µs"))
    for name, lag in r["wake_lag_ms"].items():
        rows.append((f"wake lag, {name}, median", round(lag["median"], 2), "ms"))
        rows.append((f"wake lag, {name}, p99", round(lag["p99"], 2), "ms"))
    rows.append((f"CPU while {TASKS} tasks wait {r['idle_wait_s']:.0f} s",
                 round(r["idle_cpu_s"] * 1000, 1), "ms"))
    burst = r["burst_release_ms"]
    rows.append(("burst wait, release to grant, median", round(burst["median"], 2), "ms"))
    rows.append(("burst wait, release to grant, max", round(burst["max"], 2), "ms"))
    with open(path, "w") as f:
        json.dump(rows, f)


if __name__ == "__main__":
    main()
