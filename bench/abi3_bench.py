"""What the stable ABI costs: a stable-ABI build of the module against a
full-API build of the same sources, on one CPython, in the same run.

    python3.13 bench/abi3_bench.py --full build/bench-full-3.13 --abi3 build/bench-abi3-3.13

Both builds' libraries are loaded side by side in this process (as
acquire_bench.py --compare does). The call costs (granted acquire() with 1
and 4 windows, and the other calls of acquire_bench.py) are measured case
by case in alternating passes, keeping each case's best. The 8-thread run
on one shared limiter and the 100-task asyncio acquire (in a child process
per measurement: async_bench.py's own, best of three rounds) are measured
in pairs, the two builds back to back, each going first in every other
pair; those rows give the median of each build and are judged on the
median of the pairs' ratios, with the ratios' spread beside it.
The granted acquire() with 1 and 4 windows, the thread run and the asyncio
row say whether the stable-ABI build is within the bound the wheels ship
under: 5 % on the sync rows, 10 % on the asyncio row; the exit status is 1
when one is not.
"""

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import acquire_bench  # noqa: E402

SYNC_BOUND = 0.05
ASYNC_BOUND = 0.10
# The rows the bounds apply to (the others are printed for information):
# the granted acquire() with 1 and with 4 windows, the thread run and the
# 100-task await.
GATED = {"acquire() granted, 1 window", "acquire() granted, 4 windows"}


def library(build):
    found = [path for path in glob.glob(os.path.join(build, "src", "ratevane.*"))
             if path.endswith((".so", ".pyd"))]
    if len(found) != 1:
        sys.exit(f"{build}: expected one module library, found {found}")
    return found[0]


def async_round_trip(build, n, rounds):
    """µs per await with 100 tasks awaiting a granted acquire() at once."""
    out = subprocess.run(
        [sys.executable, os.path.join(HERE, "async_bench.py"), "--round-trips", "acquire",
         str(n), str(rounds)],
        env=dict(os.environ, RATEVANE_BUILD=build), check=True, capture_output=True,
        text=True).stdout
    return json.loads(out.splitlines()[-1])["100 tasks"]


def paired(measure, pairs):
    """(full, stable-ABI) measurements taken back to back, each build going
    first in every other pair."""
    out = []
    for k in range(pairs):
        order = (0, 1) if k % 2 == 0 else (1, 0)
        got = {j: measure(j) for j in order}
        out.append((got[0], got[1]))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", required=True, help="build folder of the full-API module")
    parser.add_argument("--abi3", required=True, help="build folder of the stable-ABI module")
    parser.add_argument("--quick", action="store_true", help="shorter runs")
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    args.full, args.abi3 = os.path.abspath(args.full), os.path.abspath(args.abi3)
    seconds = 0.2 if args.quick else 1.0
    passes = 1 if args.quick else 3

    sys.path.insert(0, os.path.join(args.full, "src"))
    import ratevane
    assert ratevane.__file__ == library(args.full), ratevane.__file__
    abi3 = acquire_bench.load_other_build(library(args.abi3))
    assert abi3.__file__.endswith((".abi3.so", ".pyd")), abi3.__file__

    full_cases, full_check = acquire_bench.limiter_cases(ratevane.RateLimiter)
    abi3_cases, abi3_check = acquire_bench.limiter_cases(abi3.RateLimiter)
    names = [name for name, _ in full_cases]
    calls = [(full, mine) for (_, full), (_, mine) in zip(full_cases, abi3_cases)]
    best = [[float("inf"), float("inf")] for _ in calls]
    overhead = float("inf")
    for _ in range(passes):
        overhead = min(overhead, acquire_bench.loop_overhead(seconds / 3))
        for i, pair in enumerate(calls):
            for j, call in enumerate(pair):
                best[i][j] = min(best[i][j], acquire_bench.ns_per_call(call, seconds / 3))
    full_check()
    abi3_check()

    # The thread run and the asyncio row scatter by tens of per cent from
    # one measurement to the next even on a quiet machine (eight threads
    # taking turns at the interpreter lock; a child process per asyncio
    # measurement), far more than the builds differ. So each is measured in
    # pairs, full and stable-ABI back to back, each build going first in
    # every other pair, and judged on the median of the pairs' ratios; the
    # spread of those ratios is printed beside it.
    shared = [ratevane.RateLimiter(sec=acquire_bench.BIG, blocking=False),
              abi3.RateLimiter(sec=acquire_bench.BIG, blocking=False)]
    builds = (args.full, args.abi3)
    n = 1000 if args.quick else 3000

    def thread_rate(j):
        return acquire_bench.calls_per_second(shared[j].acquire, args.threads, seconds / 2)

    def await_cost(j):
        return async_round_trip(builds[j], n, 1 if args.quick else 3)

    threads = paired(thread_rate, 3 if args.quick else 11)
    tasks = paired(await_cost, 3 if args.quick else 9)

    version = ".".join(map(str, sys.version_info[:3]))
    print(f"stable ABI against full API, CPython {version} "
          f"(timing loop of {overhead:.1f} ns taken off)")
    print(f"  {'case':<44}{'full':>10}{'abi3':>10}{'change':>9}  bound")
    rows = []
    for name, (full, mine) in zip(names, best):
        bound = SYNC_BOUND if name in GATED else None
        rows.append((name, full - overhead, mine - overhead, "ns", False, bound))
    # Rates: higher is better, so the change is the full build's over the
    # stable-ABI one's, a cost in the same sense as the per-call rows.
    rows.append((f"acquire(), {args.threads} threads (calls/s)", threads, "M/s", True,
                 SYNC_BOUND))
    rows.append(("await acquire(), 100 tasks (µs per await)", tasks, "µs", False, ASYNC_BOUND))
    missed = 0
    for name, *row in rows:
        spread = ""
        if len(row) == 4:  # measured in pairs: medians, and the ratios' spread
            pairs, unit, rate, bound = row
            ratios = sorted(f / m if rate else m / f for f, m in pairs)
            full = statistics.median(f for f, _ in pairs)
            mine = statistics.median(m for _, m in pairs)
            change = statistics.median(ratios) - 1
            spread = f"  (pairs {ratios[0] - 1:+.1%} to {ratios[-1] - 1:+.1%})"
        else:
            full, mine, unit, rate, bound = row
            change = full / mine - 1 if rate else mine / full - 1
        scale = 1e6 if unit == "M/s" else 1
        verdict = ""
        if bound is not None:
            ok = change <= bound
            missed += not ok
            verdict = f"{bound:.0%} {'ok' if ok else 'MISSED'}"
        print(f"  {name:<44}{full / scale:>10.2f}{mine / scale:>10.2f}{change:>+9.1%}  "
              f"{verdict}{spread}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
