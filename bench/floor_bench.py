"""The floor under one asyncio awaitable made by native code, and what the
module's host-called entries cost next to the same host calls made bare.

    RATEVANE_BUILD=build/release-pypy pypy3 bench/floor_bench.py
    RATEVANE_BUILD=build/release-cpython python3 bench/floor_bench.py

floorprobe.c (compiled here with the interpreter's own compiler and flags)
makes exactly the host calls one AsyncRateLimiter awaitable costs on the
loop thread, with no executor and no limiter:

1. Forms: each host call in each C-API form the interpreter offers, timed
   from C, so that the cheapest form of each can be read.
2. Floor: one awaitable made, completed through call_soon_threadsafe and
   run by the loop, every step in its cheapest form; each step's cost and
   the sum.
3. Entries: each host-called entry of the module, called from Python the
   way the host calls it, beside the probe's entry of the same shape making
   the same host calls:
   - the done-callback and the completor, against the probe's two callable
     types (and its bare callable type, whose call looks at nothing);
   - making an AsyncRateLimiter awaitable (an acquire that waits on a full
     window, so no delivery runs meanwhile), against the probe's no-argument
     function that makes the making side's host calls and returns the future;
   - RateLimiter's methods, against no-argument probe methods that make the
     same host calls without a limiter.

Each figure is the best of several rounds (--quick: fewer, shorter ones).
With RATEVANE_BENCH_JSON set, the figures also go to that file as rows for
bench/report.py.
"""

import argparse
import asyncio
import os
import sys
import tempfile
import time

from acquire_bench import build_extension, write_rows

BIG = 10**18  # a limit no run can use up


def best_forms(probe, n, rounds):
    """{(step, form): ns}: the best of `rounds` runs of every form."""
    best = {}
    for _ in range(rounds):
        for step, form, ns in probe.forms(n):
            key = (step, form)
            best[key] = min(best.get(key, ns), ns)
    return best


async def drain_two_iterations():
    """Two turns of the loop: the completions scheduled through
    call_soon_threadsafe run in the first, the done-callbacks that their
    set_result schedules in the second."""
    start = time.perf_counter_ns()
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    return time.perf_counter_ns() - start


async def floor(probe, n, rounds):
    """The floor's steps (ns per awaitable) from the round whose sum is
    lowest."""
    best = None
    for _ in range(rounds):
        idle = min([await drain_two_iterations() for _ in range(5)])
        futures, making = probe.make(n)
        completing = probe.complete(futures, ())
        ran = await drain_two_iterations()
        if not all(f.done() and f.result() == () for f in futures):
            raise SystemExit("the probe's completions did not all run in two turns of the loop")
        steps = dict(making)
        steps.update(completing)
        steps["the loop runs the completor and the done-callback"] = (ran - idle) / n
        total = sum(steps.values())
        if best is None or total < best[0]:
            best = (total, steps, sum(making.values()))
    return best


async def module_callables(ratevane):
    """The module's done-callback and completor objects, taken from one real
    awaitable: the first from the future's callbacks, the second from the
    loop's call_soon_threadsafe, intercepted for this one delivery."""
    loop = asyncio.get_running_loop()
    limiter = ratevane.AsyncRateLimiter(sec=BIG)
    captured = []
    loop.call_soon_threadsafe = lambda *args, **kwargs: captured.append(args)
    try:
        future = limiter.wait_time()
        done_callback = future._callbacks[0][0]
        while not captured:
            await asyncio.sleep(0.001)
    finally:
        del loop.call_soon_threadsafe
    future.cancel()
    return done_callback, captured[0][0]


async def making_cost(make, n, rounds):
    """Best ns per awaitable for `make()` called n times in a row, the
    futures then cancelled and drained, untimed."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter_ns()
        futures = [make() for _ in range(n)]
        best = min(best, (time.perf_counter_ns() - start) / n)
        for f in futures:
            f.cancel()
        await asyncio.gather(*futures, return_exceptions=True)
    return best


async def waiting_acquire(ratevane):
    """An AsyncRateLimiter whose acquire waits (a full day window): nothing
    is delivered while making awaitables is timed."""
    limiter = ratevane.AsyncRateLimiter(day=1)
    await limiter.acquire()
    return limiter.acquire


async def measure(ratevane, probe, quick):
    rounds = 3 if quick else 7
    n = 500 if quick else 2000
    seconds = 0.3 if quick else 1.5
    loop = asyncio.get_running_loop()
    # Warm-up: PyPy's JIT, the executor's threads.
    best_forms(probe, n, 1)
    await floor(probe, n, 1)
    acquire = await waiting_acquire(ratevane)
    await making_cost(acquire, n, 1)
    await making_cost(probe.make_one, n, 1)

    forms = best_forms(probe, n, rounds)
    floor_total, floor_steps, floor_making = await floor(probe, n, rounds)
    making = await making_cost(acquire, n, rounds)
    probe_making = await making_cost(probe.make_one, n, rounds)

    done_future = loop.create_future()
    done_future.set_result(None)
    bare = probe.Bare()
    ours_done, ours_completor = await module_callables(ratevane)
    one = (done_future,)
    three = (done_future, bare, ())
    pairs = [
        # (what, the module's entry, the probe's entry of the same shape, args)
        ("done-callback, called with a done future", ours_done, probe.DoneCallback(), one),
        ("completor, called with a done future", ours_completor, probe.Completor(), three),
    ]
    entries = [(name, ns_each(ours, args, seconds), ns_each(theirs, args, seconds),
                ns_each(bare, args, seconds)) for name, ours, theirs, args in pairs]
    entries.append(("making an awaitable (acquire that waits)", making, probe_making, None))
    for name, ours, theirs in blocking_pairs(ratevane, probe):
        entries.append((name, ns_each(ours, (), seconds), ns_each(theirs, (), seconds), None))
    return {"forms": forms, "floor": (floor_total, floor_steps, floor_making),
            "entries": entries, "overhead": ns_each(None, (), seconds)}


def blocking_pairs(ratevane, probe):
    """RateLimiter's methods beside the probe's methods that make the same
    host calls."""
    one = ratevane.RateLimiter(sec=BIG, blocking=False)
    burst = ratevane.RateLimiter(sec=BIG, blocking=False, max_burst=BIG)
    four = ratevane.RateLimiter(sec=BIG, min=BIG, hour=BIG, day=BIG, blocking=False,
                                max_burst=BIG)
    full = ratevane.RateLimiter(day=1, blocking=False)
    full.acquire()
    for limiter, keys in ((burst, 2), (four, 5)):
        if len(limiter.get_remaining()) != keys:
            raise SystemExit(f"expected {keys} entries in {limiter.get_remaining()}")
    return [
        ("RateLimiter.acquire(), granted", one.acquire, probe.unlocked_true),
        ("RateLimiter.release()", one.release, probe.nothing),
        ("RateLimiter.wait_time(), room left", one.wait_time, probe.nothing),
        ("RateLimiter.wait_time(), full", full.wait_time, probe.new_float),
        ("RateLimiter.get_remaining(), 2 entries", burst.get_remaining, probe.dict2),
        ("RateLimiter.get_remaining(), 5 entries", four.get_remaining, probe.dict5),
    ]


def ns_each(callable_, args, seconds):
    """Best ns per call of callable_(*args) from a Python loop (with None:
    the loop alone)."""
    if callable_ is None:
        body = "pass"
    else:
        body = "c(" + ", ".join(f"a{i}" for i in range(len(args))) + ")"
    # A fresh function per case, so that PyPy's JIT traces each loop apart.
    namespace = {}
    exec(
        "def loop(c, args, n, clock):\n"
        + "".join(f"    a{i} = args[{i}]\n" for i in range(len(args)))
        + "    start = clock()\n"
        "    for _ in range(n):\n"
        f"        {body}\n"
        "    return clock() - start\n",
        namespace,
    )
    loop = namespace["loop"]
    clock = time.perf_counter_ns
    n = 1000
    while loop(callable_, args, n, clock) < 20_000_000:  # a round of about 20 ms
        n *= 2
    return min(loop(callable_, args, n, clock) for _ in range(max(3, int(seconds / 0.02)))) / n


def report(r):
    import platform
    print(f"The floor under one awaitable — {platform.python_implementation()} "
          f"{platform.python_version()}")
    print()
    print("Forms of each host call, ns (timed from C; * the cheapest)")
    steps = {}
    for (step, form), ns in r["forms"].items():
        steps.setdefault(step, []).append((form, ns))
    for step, forms in steps.items():
        cheapest = min(ns for _, ns in forms)
        for form, ns in forms:
            print(f"  {step:<24}{form:<42}{ns:9.1f}{' *' if ns == cheapest else ''}")
    total, floor_steps, making = r["floor"]
    print()
    print("Floor for one awaitable on the loop thread, ns")
    for step, ns in floor_steps.items():
        print(f"  {step:<52}{ns:9.1f}")
    print(f"  {'making side':<52}{making:9.1f}")
    print(f"  {'sum':<52}{total:9.1f}")
    print()
    print(f"Entries, ns per call (Python loop of {r['overhead']:.1f} ns taken off)")
    print(f"  {'':<44}{'module':>9}{'probe':>9}{'ratio':>7}{'bare':>9}")
    o = r["overhead"]
    for name, ours, theirs, bare in r["entries"]:
        if bare is not None:
            ours, theirs, bare = ours - o, theirs - o, bare - o
            shown = f"{bare:9.1f}"
        else:
            shown = ""
            ours, theirs = ours - o, theirs - o
        print(f"  {name:<44}{ours:9.1f}{theirs:9.1f}{ours / theirs:7.2f}{shown}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    args = parser.parse_args()
    build = os.environ.get("RATEVANE_BUILD")
    if build:
        sys.path.insert(0, os.path.join(build, "src"))
    import ratevane

    with tempfile.TemporaryDirectory(prefix="ratevane-floor-") as tmp:
        probe = build_extension(tmp, "floorprobe")
        results = asyncio.run(measure(ratevane, probe, args.quick))
    report(results)
    rows = [(f"floor, {step}", round(ns, 1), "ns") for step, ns in results["floor"][1].items()]
    rows.append(("floor, making side", round(results["floor"][2], 1), "ns"))
    rows.append(("floor, one awaitable", round(results["floor"][0], 1), "ns"))
    o = results["overhead"]
    for name, ours, theirs, bare in results["entries"]:
        ours, theirs = ours - o, theirs - o
        rows.append((f"{name}, module / probe", round(ours / theirs, 2), "x"))
    write_rows(rows)


if __name__ == "__main__":
    main()
