"""Cost of RateLimiter calls from Python, in nanoseconds per call, next to
the cost of an empty no-argument method of a tiny extension built here (the
host's own price for calling native code); then how soon blocking waits end:
after a full second window reopens (one waiting thread, and eight), and
after the one burst permit a thread waits for is released.

    RATEVANE_BUILD=build/pypy pypy3 bench/acquire_bench.py
    RATEVANE_BUILD=build/cpython python3 bench/acquire_bench.py

The extension is imported from $RATEVANE_BUILD/src when that is set, as the
tests do. Options: --quick (shorter runs), --threads N (default 8),
--compare LIBRARY (another build's extension library, measured case by
case in the same passes: make bench-wheels compares the binary wheels with
g++ builds this way).
"""

import argparse
import importlib
import math
import os
import random
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIG = 10**18  # a limit no benchmark can use up


def build_extension(directory, name):
    """Compile bench/<name>.c with the interpreter's compiler and flags into
    `directory` and import it."""
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    cflags = (sysconfig.get_config_var("CFLAGS") or "").split()
    ccshared = (sysconfig.get_config_var("CCSHARED") or "-fPIC").split()
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = os.path.join(directory, name + suffix)
    command = cc + cflags + ccshared + [
        "-shared", "-I" + sysconfig.get_paths()["include"],
        os.path.join(HERE, name + ".c"), "-o", target,
    ]
    subprocess.run(command, check=True)
    if directory not in sys.path:
        sys.path.insert(0, directory)
    return importlib.import_module(name)


def make_loop(body="call()"):
    # A fresh function per case, so that PyPy's JIT traces each loop on its
    # own instead of sharing one trace between different callees.
    namespace = {}
    exec(
        "def loop(call, n, clock):\n"
        "    start = clock()\n"
        "    for _ in range(n):\n"
        f"        {body}\n"
        "    return clock() - start\n",
        namespace,
    )
    return namespace["loop"]


def ns_per_call(call, seconds, body="call()"):
    """Best of several timed rounds after a warm-up, in ns per call."""
    loop = make_loop(body)
    clock = time.perf_counter_ns
    n = 1000
    while loop(call, n, clock) < 20_000_000:  # size a round to about 20 ms
        n *= 2
    rounds = max(3, int(seconds / 0.02))
    return min(loop(call, n, clock) for _ in range(rounds)) / n


def loop_overhead(seconds):
    """The cost of one round of the timing loop without the call."""
    return ns_per_call(None, seconds, body="pass")


def calls_per_second(call, threads, seconds):
    """Total calls per second of `threads` threads calling `call` flat out."""
    counts = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = [False]

    def work(index):
        done = 0
        barrier.wait()
        while not stop[0]:
            for _ in range(100):
                call()
            done += 100
        counts[index] = done

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(seconds)
    stop[0] = True
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start)


def limiter_cases(RateLimiter):
    """The measured calls, on limiters of one build of the module."""
    one = RateLimiter(sec=BIG, blocking=False)
    four = RateLimiter(sec=BIG, min=BIG, hour=BIG, day=BIG, blocking=False)
    bounded = RateLimiter(sec=BIG, blocking=False, max_burst=BIG)
    everything = RateLimiter(sec=BIG, min=BIG, hour=BIG, day=BIG, blocking=False,
                             max_burst=BIG)
    refused = RateLimiter(day=1, blocking=False)
    refused.acquire()  # full until the end of the UTC day
    full = RateLimiter(day=1, blocking=False)
    full.acquire()
    burst = RateLimiter(sec=BIG, max_burst=1, blocking=False)
    cases = [
        ("acquire() granted, 1 window", one.acquire),
        ("acquire() granted, 4 windows", four.acquire),
        ("acquire() granted, 1 window + max_burst", bounded.acquire),
        ("acquire() refused by a window", refused.acquire),
        ("get_remaining(), 1 window", one.get_remaining),
        ("get_remaining(), 4 windows + burst", everything.get_remaining),
        ("wait_time(), room left (None)", one.wait_time),
        ("wait_time(), a full window (float)", full.wait_time),
        ("release(), max_burst set", burst.release),
        ("release(), no max_burst", one.release),
    ]

    def still_refused():
        assert refused.acquire() is False, "the refused case was granted: a day rolled over"

    return cases, still_refused


def load_other_build(path):
    """A second build of the module, from its library file, beside the first."""
    import importlib.machinery
    import importlib.util
    saved = sys.modules.pop("ratevane")
    try:
        loader = importlib.machinery.ExtensionFileLoader("ratevane", path)
        spec = importlib.util.spec_from_file_location("ratevane", path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        assert module.__file__ != saved.__file__, "the same build twice"
        return module
    finally:
        sys.modules["ratevane"] = saved


def fresh_second(latest=0.4):
    """Sleep to just after a whole second, so that filling a window and
    starting the waiters is done long before the next one."""
    while True:
        time.sleep(1.0 - time.time() % 1.0 + 0.01)
        if time.time() % 1.0 < latest:
            return


def reopen_lags(RateLimiter, waiters):
    """Lags (ms) of `waiters` threads in a blocking acquire on a full second
    window, from the whole second it reopens at to each one's return."""
    while True:
        limiter = RateLimiter(sec=waiters)
        fresh_second()
        started = time.time()
        for _ in range(waiters):
            limiter.acquire()
        returns = []

        def wait():
            limiter.acquire()
            returns.append(time.time())

        threads = [threading.Thread(target=wait) for _ in range(waiters)]
        for t in threads:
            t.start()
        in_time = int(time.time()) == int(started)
        for t in threads:
            t.join()
        if not in_time:
            continue  # the machine stalled into the next second: drop the round
        reopens = int(started) + 1
        return [(t - reopens) * 1000.0 for t in returns]


def burst_release_lags(RateLimiter, rounds):
    """Lags (ms) from releasing the one burst permit to the return of the
    blocking acquire waiting for it. By then its looks are 100 ms apart; the
    release falls at a random point between two of them."""
    rng = random.Random(1)
    lags = []
    for _ in range(rounds):
        limiter = RateLimiter(sec=BIG, max_burst=1)
        limiter.acquire()
        back = []

        def wait():
            limiter.acquire()
            back.append(time.monotonic())

        waiter = threading.Thread(target=wait)
        waiter.start()
        time.sleep(rng.uniform(0.3, 0.4))
        released = time.monotonic()
        limiter.release()
        waiter.join()
        lags.append((back[0] - released) * 1000.0)
    return lags


def median_and_max(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2], ordered[-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--compare", metavar="LIBRARY",
                        help="another build's extension library (a .so) to measure case "
                             "by case beside the first, in the same passes")
    args = parser.parse_args()
    seconds = 0.2 if args.quick else 1.0

    build = os.environ.get("RATEVANE_BUILD")
    if build:
        sys.path.insert(0, os.path.join(build, "src"))
    import ratevane
    from ratevane import RateLimiter

    with tempfile.TemporaryDirectory(prefix="ratevane-bench-") as tmp:
        emptymod = build_extension(tmp, "emptymod")
        cases, still_refused = limiter_cases(RateLimiter)
        cases.insert(0, ("empty native method (emptymod.empty)", emptymod.empty))
        checks = [still_refused]
        mine = len(cases)
        if args.compare:
            other = load_other_build(args.compare)
            other_cases, other_refused = limiter_cases(other.RateLimiter)
            cases += [(f"{name} [compared]", call) for name, call in other_cases]
            checks.append(other_refused)
        # Several passes over all cases, keeping each one's best: a burst of
        # load from elsewhere on the machine then spoils one pass, not a case.
        overhead = float("inf")
        best = [float("inf")] * len(cases)
        for _ in range(3):
            overhead = min(overhead, loop_overhead(seconds / 3))
            for i, (_, call) in enumerate(cases):
                best[i] = min(best[i], ns_per_call(call, seconds / 3))
        results = [(name, ns - overhead) for (name, _), ns in zip(cases, best)]
        for check in checks:
            check()

        shared = RateLimiter(sec=BIG, blocking=False)
        single = calls_per_second(shared.acquire, 1, seconds * 2)
        many = calls_per_second(shared.acquire, args.threads, seconds * 2)

    if args.compare:
        print(f"{ratevane.__file__} against {args.compare} (ns per call):")
        for (name, ns), (_, theirs) in zip(results[1:mine], results[mine:]):
            print(f"  {name:<42} {ns:7.1f} {theirs:7.1f}  {theirs / ns - 1:+6.1%}")
        ratios = [theirs / ns for (_, ns), (_, theirs) in zip(results[1:mine], results[mine:])]
        mean = math.prod(ratios) ** (1 / len(ratios))
        print(f"  {'all cases (geometric mean)':<42} {'':15}  {mean - 1:+6.1%}")
    results = results[:mine]

    reopen_rounds = 2 if args.quick else 5
    lag_one = median_and_max(sum((reopen_lags(RateLimiter, 1) for _ in range(reopen_rounds)), []))
    lag_many = median_and_max(sum((reopen_lags(RateLimiter, args.threads)
                                   for _ in range(reopen_rounds)), []))
    lag_burst = median_and_max(burst_release_lags(RateLimiter, 3 if args.quick else 10))

    impl = sys.implementation.name
    version = ".".join(map(str, sys.version_info[:3]))
    print(f"ratevane call costs under {impl} {version} "
          f"(ns per call, timing loop of {overhead:.1f} ns taken off)")
    empty = results[0][1]
    width = max(len(name) for name, _ in results)
    for name, ns in results:
        print(f"  {name:<{width}}  {ns:7.1f} ns  {ns / empty:5.1f}x empty")
    print(f"  acquire() granted on one shared limiter: 1 thread {single / 1e6:.2f} M calls/s, "
          f"{args.threads} threads {many / 1e6:.2f} M calls/s ({many / single:.0%})")
    waits = [
        ("blocking acquire, lag after reopening, 1 thread", lag_one),
        (f"blocking acquire, lag after reopening, {args.threads} threads", lag_many),
        ("blocking burst wait, release to grant", lag_burst),
    ]
    print("How soon blocking waits end (ms, median / max)")
    width = max(len(name) for name, _ in waits)
    for name, (median, most) in waits:
        print(f"  {name:<{width}}  {median:7.2f} / {most:7.2f} ms")

    rows = [(name, round(ns, 1), "ns") for name, ns in results]
    rows.append(("acquire() 1 thread", round(single / 1e6, 2), "M calls/s"))
    rows.append((f"acquire() {args.threads} threads", round(many / 1e6, 2), "M calls/s"))
    for name, (median, most) in waits:
        rows.append((f"{name}, median", round(median, 2), "ms"))
        rows.append((f"{name}, max", round(most, 2), "ms"))
    write_rows(rows)


def write_rows(rows):
    """For bench/report.py: the figures as JSON rows [name, value, unit]."""
    path = os.environ.get("RATEVANE_BENCH_JSON")
    if path:
        import json
        with open(path, "w") as f:
            json.dump(rows, f)


if __name__ == "__main__":
    main()
