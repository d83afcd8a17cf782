"""What a budget shared through Redis (ratevane_redis) costs per call, next
to the floor: one EVALSHA of a script that returns a constant, on the same
client. Runs its own redis-server on a free loopback port.

    RATEVANE_BUILD=build/pypy pypy3 bench/redis_bench.py
    RATEVANE_BUILD=build/cpython python3 bench/redis_bench.py

The cases are measured in interleaved rounds (floor, case, floor, case, ...)
and each figure is the median over the rounds, so a machine busy with other
work slows floor and case alike and the ratios stay fair. Rows:

- granted acquire, 1 window / 4 windows; refused acquire;
- a `with` block with max_burst (acquire + release: two round trips);
- 100 tasks awaiting acquire on one loop, per acquire, against the asyncio
  client's own floor;
- release-to-grant across processes: two processes pass the one burst
  permit back and forth; the time from the release (just before the call)
  to the moment the waiting process sees its grant;
- with reserve= (permits taken ahead in blocks): a granted acquire served
  from the block against one without the keyword; one process paced at
  10,000 acquires a second against sec=20000, hour=10**8 (share served in
  the process, script calls a second, the server's time per 1,000 grants
  against the same run without blocks); eight processes with demand skewed
  10:1 against sec=1000 (each second's share of the limit granted, seconds
  over it); a process that starts while seven others hold blocks (its first
  permit, its grants in the next second); and the permits lost when a
  holder is killed -9.

Options: --quick. With RATEVANE_BENCH_JSON set, the figures also go to that
file as rows for bench/report.py.
"""

import argparse
import asyncio
import json
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

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
TASKS = 100


def start_server(where):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                             "--save", "", "--appendonly", "no", "--dir", where],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = redis.Redis(port=port)
    for _ in range(200):
        try:
            client.ping()
            return proc, port
        except redis.exceptions.ConnectionError:
            time.sleep(0.02)
    raise SystemExit("redis-server did not start")


def per_call(fn, n):
    start = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - start) / n * 1e6


def interleaved(cases, n, rounds):
    """Median µs per call of each case, measured in interleaved rounds."""
    for fn in cases.values():
        per_call(fn, n)  # warm-up (and PyPy's JIT)
    samples = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            samples[name].append(per_call(fn, n))
    return {name: statistics.median(v) for name, v in samples.items()}


def sync_rows(port, n, rounds):
    client = redis.Redis(port=port)
    floor_sha = client.script_load("return 1")
    tag = str(time.time())
    one = ratevane_redis.RateLimiter(client, "one" + tag, sec=BIG, blocking=False)
    four = ratevane_redis.RateLimiter(client, "four" + tag, sec=BIG, min=BIG, hour=BIG,
                                      day=BIG, blocking=False)
    refused = ratevane_redis.RateLimiter(client, "refused" + tag, hour=1, blocking=False)
    refused.acquire()
    burst = ratevane_redis.RateLimiter(client, "burst" + tag, sec=BIG, max_burst=10)

    def with_block():
        with burst:
            pass

    medians = interleaved({
        "floor": lambda: client.evalsha(floor_sha, 0),
        "one": one.acquire,
        "four": four.acquire,
        "refused": refused.acquire,
        "with": with_block,
    }, n, rounds)
    f = medians["floor"]
    return f, [
        ("floor: EVALSHA of a constant script", round(f, 1), "µs"),
        ("granted acquire, 1 window (target <= 1.25x)", round(medians["one"] / f, 2), "x floor"),
        ("granted acquire, 4 windows (target <= 1.35x)", round(medians["four"] / f, 2), "x floor"),
        ("refused acquire (target <= 1.2x)", round(medians["refused"] / f, 2), "x floor"),
        ("with block, max_burst (target <= 2.3x)", round(medians["with"] / f, 2), "x floor"),
    ]


def async_rows(port, n, rounds):
    async def main():
        client = redis.asyncio.Redis(port=port)
        sha = await client.script_load("return 1")
        limiter = ratevane_redis.AsyncRateLimiter(client, "async" + str(time.time()), sec=BIG)
        per_task = max(n // TASKS, 5)

        async def floor():
            start = time.perf_counter()
            for _ in range(n):
                await client.evalsha(sha, 0)
            return (time.perf_counter() - start) / n * 1e6

        async def hundred():
            async def task():
                for _ in range(per_task):
                    await limiter.acquire()
            start = time.perf_counter()
            await asyncio.gather(*(task() for _ in range(TASKS)))
            return (time.perf_counter() - start) / (TASKS * per_task) * 1e6

        await floor()
        await hundred()
        floors, cases = [], []
        for _ in range(rounds):
            floors.append(await floor())
            cases.append(await hundred())
        await client.aclose()
        return statistics.median(floors), statistics.median(cases)

    f, c = asyncio.run(main())
    return [
        ("asyncio floor: await EVALSHA of a constant script", round(f, 1), "µs"),
        ("100 tasks awaiting acquire, per acquire", round(c, 2), "µs"),
        ("100 tasks awaiting acquire (target <= 0.15x)", round(c / f, 3), "x floor"),
    ]


# One of two processes that pass the one burst permit back and forth.
PASSER = r"""
import os, sys, time
sys.path[:0] = {paths!r}
import redis, ratevane_redis
limiter = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, sec=10**12, max_burst=1)
out = os.fdopen({fd}, "w", buffering=1)
for i in range({turns}):
    limiter.acquire()
    out.write("got %r\n" % time.time())
    time.sleep(0.004 + (i % 7) * 0.001)   # hold the permit a while
    out.write("rel %r\n" % time.time())
    limiter.release()
    time.sleep(0.012)   # then leave it to the other process, which is waiting
out.close()
"""


def handover_rows(port, floor_us, turns):
    """Each grant to one process that follows the other's release is one
    sample."""
    name = "handover" + str(time.time())
    procs, reads = [], []
    for _ in range(2):
        r, w = os.pipe()
        code = PASSER.format(paths=sys.path[:2], port=port, name=name, fd=w, turns=turns)
        procs.append(subprocess.Popen([sys.executable, "-c", code], pass_fds=[w]))
        os.close(w)
        reads.append(os.fdopen(r))
    events = []
    for who, f in enumerate(reads):
        events += [(float(t), kind, who) for kind, t in (line.split() for line in f)]
    for p in procs:
        p.wait()
    events.sort()
    lags = sorted((t - prev) * 1000 for (prev, a, x), (t, b, y) in zip(events, events[1:])
                  if a == "rel" and b == "got" and x != y)
    p99 = lags[min(len(lags) - 1, int(len(lags) * 0.99))]
    return [
        (f"release-to-grant across processes, median ({len(lags)} hand-overs)",
         round(statistics.median(lags), 2), "ms"),
        ("release-to-grant across processes, p99", round(p99, 2), "ms"),
        ("  target: 2x floor + 2 ms", round(2 * floor_us / 1000 + 2, 2), "ms"),
    ]


# One process of the multi-process rows: paced at `rate` acquires a second
# (0: as fast as it can), from a common start; each grant's time goes to its
# file as it is made (a process killed -9 loses none of them).
CHILD = r"""
import os, struct, sys, time
sys.path[:0] = {paths!r}
import redis, ratevane_redis
lim = ratevane_redis.RateLimiter(redis.Redis(port={port}), {name!r}, blocking=False,
                                 reserve={reserve}, **{windows!r})
out = os.open({path!r}, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
lim.get_remaining()  # connected, script loaded
open({path!r} + ".ready", "w").close()
while not os.path.exists({go!r}):
    time.sleep(0.002)
go, until = map(float, open({go!r}).read().split())
while time.time() < go + {delay}:
    time.sleep(0.0005)
gap = 1.0 / {rate} if {rate} else 0.0
due = time.time()
while time.time() < until:
    t0 = time.time()
    if lim.acquire():
        os.write(out, struct.pack("<dd", t0, time.time()))
    elif not gap:
        time.sleep(0.0005)
    if gap:
        due += gap
        while time.time() < due:
            pass
"""


def run_children(port, name, where, specs, seconds, windows):
    """Start one CHILD per (reserve, rate, delay) in specs, all from the
    same whole second; its start, the processes and their grant files."""
    go = os.path.join(where, name + ".go")
    procs, paths = [], []
    for i, (reserve, rate, delay) in enumerate(specs):
        path = os.path.join(where, f"{name}.{i}")
        paths.append(path)
        code = CHILD.format(paths=sys.path[:2], port=port, name=name, reserve=reserve,
                            windows=windows, path=path, go=go, rate=rate, delay=delay)
        procs.append(subprocess.Popen([sys.executable, "-c", code]))
    while not all(os.path.exists(p + ".ready") for p in paths):
        time.sleep(0.01)
    begin = int(time.time()) + 1.0
    with open(go + ".tmp", "w") as f:
        f.write(f"{begin} {begin + seconds}")
    os.rename(go + ".tmp", go)
    return begin, procs, paths


def grants_of(path):
    """[(t0, t1)] of each grant: it fell between the two."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return list(struct.iter_unpack("<dd", f.read()))


def commandstats(client):
    s = client.info("commandstats").get("cmdstat_evalsha", {})
    return s.get("calls", 0), s.get("usec", 0)


def block_rows(port, n, rounds, where, quick):
    client = redis.Redis(port=port)
    tag = str(time.time())
    plain = ratevane_redis.RateLimiter(client, "plain" + tag, sec=BIG, blocking=False)
    held = ratevane_redis.RateLimiter(client, "held" + tag, sec=BIG, hour=BIG, blocking=False,
                                      reserve=1.0)
    medians = interleaved({"plain": plain.acquire, "held": held.acquire}, n * 20, rounds)
    rows = [
        ("reserve: granted acquire from the block", round(medians["held"], 3), "µs"),
        ("  the same without reserve (one script call)", round(medians["plain"], 1), "µs"),
    ]
    held.close()

    # One process at 10,000 acquires a second, with and without blocks.
    seconds = 1.0 if quick else 3.0

    def paced(limiter, seconds):
        calls0, usec0 = commandstats(client)
        gap, granted = 1e-4, 0
        due = start = time.perf_counter()
        while time.perf_counter() - start < seconds:
            granted += limiter.acquire()
            due += gap
            while time.perf_counter() < due:
                pass
        calls1, usec1 = commandstats(client)
        return granted, calls1 - calls0, usec1 - usec0, time.perf_counter() - start

    g0, c0, u0, _ = paced(ratevane_redis.RateLimiter(client, "one" + tag, sec=20000,
                                                     hour=10**8), min(seconds, 1.0))
    for reserve in (0.05, 0.1):
        lim = ratevane_redis.RateLimiter(client, f"blocks{reserve}" + tag, sec=20000,
                                         hour=10**8, reserve=reserve)
        g, c, u, took = paced(lim, seconds)
        lim.close()
        rows += [
            (f"reserve={reserve} at 10,000/s: acquires a second", round(g / took), "/s"),
            ("  served in the process (target >= 99 %)", round(100 * (1 - c / g), 2), "%"),
            ("  script calls a second (target <= 25)", round(c / took, 1), "/s"),
            ("  server time per 1,000 grants, against none (target <= 0.05)",
             round((u / g) / (u0 / g0), 4), "x"),
        ]

    # Eight processes, demand skewed 10:1, at saturation of sec=1000.
    seconds = 2.0 if quick else 5.0
    specs = [(0.05, 1000, 0.0)] * 4 + [(0.05, 100, 0.0)] * 4
    begin, procs, paths = run_children(port, "skew" + tag, where, specs, seconds,
                                       {"sec": 1000, "hour": 10**8})
    for p in procs:
        p.wait()
    per_second = {}
    for path in paths:
        for t0, t1 in grants_of(path):
            if int(t0) == int(t1):
                per_second[int(t1)] = per_second.get(int(t1), 0) + 1
    full = [per_second.get(int(begin) + i, 0) for i in range(int(seconds))]
    rows += [
        ("8 processes 10:1 at sec=1000: lowest second's share (target >= 99 %)",
         round(min(full) / 10, 1), "%"),
        ("  median second's share", round(statistics.median(full) / 10, 1), "%"),
        ("  seconds over the limit (target 0)", sum(1 for v in full if v > 1000), ""),
    ]

    # A newcomer while seven hold blocks: seven processes at 120/s each with
    # reserve=0.5 hold most of sec=1000 ahead; an eighth starts at 300/s
    # half-way through a second. Its first permit, and its part of the next
    # second against its max-min fair share (7 x 120 + 160 = 1000).
    specs = [(0.5, 120, 0.0)] * 7 + [(0.5, 300, 1.5)]
    begin, procs, paths = run_children(port, "late" + tag, where, specs, 3.0,
                                       {"sec": 1000, "hour": 10**8})
    for p in procs:
        p.wait()
    late = grants_of(paths[7])
    first = late[0][1] - (begin + 1.5) if late else float("nan")
    next_second = int(begin + 1.5) + 1
    share = sum(1 for t0, t1 in late if int(t1) == next_second)
    rows += [
        ("newcomer among 7 block holders: first permit after", round(first * 1000, 2), "ms"),
        ("  its grants in the next second (max-min fair share: 160)", share, ""),
    ]

    # A holder killed -9: what its unused block costs the budget.
    name = "killed" + tag
    begin, procs, paths = run_children(port, name, where, [(0.1, 5000, 0.0)], 30.0,
                                       {"sec": 20000, "hour": 10**8})
    time.sleep(max(0.0, begin - time.time()) + 1.3)
    procs[0].kill()
    procs[0].wait()
    granted = len(grants_of(paths[0]))
    charged = int(client.hget(f"ratevane:{{{name}}}:w", "c3600") or 0)
    rows += [
        ("holder killed -9 at 5,000/s, reserve=0.1: permits lost", charged - granted, ""),
        ("  its block at that demand (reserve x rate)", 500, ""),
    ]
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, rounds, turns = (300, 3, 30) if args.quick else (1000, 9, 150)
    if shutil.which("redis-server") is None:
        raise SystemExit("redis-server is not installed (make deps installs it)")
    where = tempfile.mkdtemp(prefix="ratevane-bench-redis-")
    proc, port = start_server(where)
    try:
        floor_us, rows = sync_rows(port, n, rounds)
        rows += async_rows(port, n, rounds)
        rows += handover_rows(port, floor_us, turns)
        rows += block_rows(port, n, rounds, where, args.quick)
    finally:
        proc.terminate()
        proc.wait()
        shutil.rmtree(where, ignore_errors=True)
    print(f"ratevane_redis on {sys.implementation.name} {sys.version.split()[0]}, "
          f"redis-py {redis.__version__}")
    for name, value, unit in rows:
        print(f"  {name:<60} {value:>10} {unit}")
    path = os.environ.get("RATEVANE_BENCH_JSON")
    if path:
        with open(path, "w") as f:
            json.dump(rows, f)


if __name__ == "__main__":
    main()
