"""Resident memory of a long run of calls, round by round, each workload in
a fresh interpreter: a get_remaining() loop, an asyncio loop awaiting
acquire() and release() from 50 tasks, and, to compare with, a plain C
function that returns a new two-item dict.

    RATEVANE_BUILD=build/pypy pypy3 bench/memory_bench.py
    RATEVANE_BUILD=build/cpython python3 bench/memory_bench.py

The resident size is read after gc.collect() before the first round and at
the end of each, as
a user would see it (malloc keeps the pages it has). On PyPy every object
handed across the C-API layer gets a C copy, and the process grows for the
first rounds, then stays; the plain dict function does the same. With
RATEVANE_BENCH_JSON set, the figures also go to that file as rows for
bench/report.py.
"""

import argparse
import asyncio
import gc
import json
import os
import subprocess
import sys
import tempfile

from acquire_bench import build_extension, write_rows

BIG = 10**15

# name: (calls or iterations per round, rounds)
WORKLOADS = {
    "get_remaining loop": (100_000, 12),
    "asyncio loop": (20_000, 30),
    "C function returning a dict": (100_000, 12),
}


def resident_mb():
    for _ in range(3):
        gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def import_ratevane():
    build = os.environ.get("RATEVANE_BUILD")
    if build:
        sys.path.insert(0, os.path.join(build, "src"))
    import ratevane
    return ratevane


def rounds_of(call, per_round, rounds):
    sizes = [resident_mb()]
    for _ in range(rounds):
        for _ in range(per_round):
            call()
        sizes.append(resident_mb())
    return sizes


def asyncio_rounds(per_round, rounds, tasks=50):
    limiter = import_ratevane().AsyncRateLimiter(sec=BIG, max_burst=BIG)

    async def pairs(n):
        for _ in range(n):
            await limiter.acquire()
            await limiter.release()

    async def main():
        sizes = [resident_mb()]
        for _ in range(rounds):
            await asyncio.gather(*(pairs(per_round // tasks) for _ in range(tasks)))
            sizes.append(resident_mb())
        return sizes

    return asyncio.run(main())


def child(name):
    per_round, rounds = WORKLOADS[name]
    if name == "get_remaining loop":
        limiter = import_ratevane().RateLimiter(sec=BIG, min=BIG, max_burst=BIG, blocking=False)
        sizes = rounds_of(limiter.get_remaining, per_round, rounds)
    elif name == "asyncio loop":
        sizes = asyncio_rounds(per_round, rounds)
    else:
        with tempfile.TemporaryDirectory() as tmp:
            sizes = rounds_of(build_extension(tmp, "emptymod").new_dict, per_round, rounds)
    print(json.dumps(sizes))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=sorted(WORKLOADS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.workload:
        child(args.workload)
        return

    rows = []
    print("resident MB before the first round and after each, "
          f"{sys.implementation.name} {sys.version.split()[0]}")
    for name, (per_round, rounds) in WORKLOADS.items():
        done = subprocess.run([sys.executable, __file__, "--workload", name],
                              capture_output=True, text=True, check=True)
        sizes = json.loads(done.stdout.strip().splitlines()[-1])
        unit = "iterations" if name == "asyncio loop" else "calls"
        print(f"  {name} ({per_round:,} {unit} a round): "
              + ", ".join(f"{s:.1f}" for s in sizes))
        print(f"    before {sizes[0]:.1f} MB, largest {max(sizes):.1f} MB, "
              f"last 3 rounds {sizes[-1] - sizes[-4]:+.2f} MB")
        rows.append((f"resident memory, {name}: before / largest",
                     f"{sizes[0]:.0f} / {max(sizes):.0f}", "MB"))
        rows.append((f"resident memory, {name}: last 3 rounds",
                     round(sizes[-1] - sizes[-4], 2), "MB"))
    write_rows(rows)


if __name__ == "__main__":
    main()
