"""ratevane_redis against another checkout of it, in one process: the same
calls on the same client and the same local redis-server, in interleaved
rounds, so a machine busy with other work slows both alike. Each figure is
the median over the rounds.

    RATEVANE_BUILD=build/pypy pypy3 bench/redis_ab.py --base ../other-checkout
    RATEVANE_BUILD=build/cpython python3 bench/redis_ab.py --base ../other-checkout

The other checkout's package is loaded under another name. Rows: one
EVALSHA of a constant script (the floor), a granted acquire on one window
(one script call) as a ratio to the floor measured beside it, a granted
acquire served from a block (reserve=), and 100 tasks awaiting acquire on
one loop (per acquire)."""

import argparse
import asyncio
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
_build = os.environ.get("RATEVANE_BUILD")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import redis  # noqa: E402
import redis.asyncio  # noqa: E402

import ratevane_redis  # noqa: E402

BIG = 10**12


def load_other(base, where):
    """The other checkout's package, copied under the name ratevane_redis_base."""
    target = os.path.join(where, "ratevane_redis_base")
    shutil.copytree(os.path.join(base, "python", "ratevane_redis"), target)
    spec = importlib.util.spec_from_file_location(
        "ratevane_redis_base", os.path.join(target, "__init__.py"),
        submodule_search_locations=[target])
    module = importlib.util.module_from_spec(spec)
    sys.modules["ratevane_redis_base"] = module
    spec.loader.exec_module(module)
    return module


def per_call(fn, n):
    start = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - start) / n * 1e6


async def tasks_per_acquire(lim, n=100, rounds=5):
    start = time.perf_counter()
    for _ in range(rounds):
        await asyncio.gather(*(lim.acquire() for _ in range(n)))
    return (time.perf_counter() - start) / (n * rounds) * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True, help="another checkout of the project")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    where = tempfile.mkdtemp()
    port = 6400 + os.getpid() % 1000
    server = subprocess.Popen(["redis-server", "--port", str(port), "--save", "", "--appendonly",
                               "no", "--dir", where], stdout=subprocess.DEVNULL)
    try:
        time.sleep(0.3)
        base = load_other(args.base, where)
        client = redis.Redis(port=port)
        sha = client.script_load("return 1")
        floor = lambda: client.evalsha(sha, 0)  # noqa: E731
        sides = {"base": base, "this": ratevane_redis}
        plain = {k: m.RateLimiter(client, uuid.uuid4().hex, sec=BIG) for k, m in sides.items()}
        block = {k: m.RateLimiter(client, uuid.uuid4().hex, sec=BIG, hour=BIG, reserve=1.0)
                 for k, m in sides.items()}
        rows = {}

        async def run_async():
            aclient = redis.asyncio.Redis(port=port)
            lims = {k: m.AsyncRateLimiter(aclient, uuid.uuid4().hex, sec=BIG)
                    for k, m in sides.items()}
            for _ in range(args.rounds):
                for k, lim in lims.items():
                    rows.setdefault(("100 tasks awaiting acquire, per acquire", k),
                                    []).append(await tasks_per_acquire(lim))
            await aclient.aclose()

        for r in range(args.rounds + 1):
            for k in sides:
                # The one-call acquire as a ratio to the floor measured
                # right beside it: the load of the moment cancels out.
                f = per_call(floor, 2000)
                samples = [("floor: EVALSHA of a constant script", f),
                           ("granted acquire, 1 window, x floor",
                            per_call(plain[k].acquire, 2000) / f),
                           ("granted acquire from a block", per_call(block[k].acquire, 200000))]
                if r:  # the first round warms up (and PyPy's JIT)
                    for name, value in samples:
                        rows.setdefault((name, k), []).append(value)
        asyncio.run(run_async())
        impl = sys.implementation.name
        print(f"ratevane_redis on {impl}, base {args.base}; medians of {args.rounds} rounds")
        for name in dict.fromkeys(n for n, _ in rows):
            b = statistics.median(rows[(name, "base")])
            t = statistics.median(rows[(name, "this")])
            unit = "x " if name.endswith("floor") else "µs"
            print(f"  {name:40s} base {b:9.3f} {unit}   this {t:9.3f} {unit}   "
                  f"this/base {t / b:5.2f}")
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(where, ignore_errors=True)


if __name__ == "__main__":
    main()
