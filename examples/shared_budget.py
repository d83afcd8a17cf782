"""Three worker processes share one budget of 10 calls per second, with at
most 2 calls in flight at once, through a Redis server.

    python examples/shared_budget.py                          # starts its own redis-server
    REDIS_URL=redis://host:6379/0 python examples/shared_budget.py

Each worker calls a pretend API as fast as the budget lets it. Every second
the parent prints one bar per worker (one block per call it was granted)
and the total, which never goes past 10, however the three share it.
Without REDIS_URL it starts a private redis-server on a free loopback port
in a temporary folder and stops it at the end. RATEVANE_EXAMPLE_QUICK=1
runs it for 2 seconds instead of 6.
"""

import multiprocessing
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import time
from multiprocessing import Queue
from typing import Dict, Optional, Tuple

import redis

from ratevane_redis import RateLimiter

BUDGET = "example-api"
WORKERS = 3


def worker(url: str, who: int, seconds: float, grants: "Queue[Tuple[int, float]]") -> None:
    limiter = RateLimiter(redis.Redis.from_url(url), BUDGET, sec=10, max_burst=2, lease=5.0)
    end = time.time() + seconds
    while time.time() < end:
        with limiter:                       # waits for a permit of the shared budget
            grants.put((who, time.time()))
            time.sleep(0.03)                # the call itself


def start_redis(where: str) -> Tuple["subprocess.Popen[bytes]", str]:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                               "--save", "", "--appendonly", "no", "--dir", where],
                              stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    for _ in range(500):
        try:
            redis.Redis.from_url(url).ping()
            return server, url
        except redis.exceptions.ConnectionError:
            time.sleep(0.01)
    raise SystemExit("redis-server did not start")


def show(second: int, counts: Dict[int, int]) -> None:
    bars = "  ".join(f"w{who + 1} {'█' * counts.get(who, 0):<10}" for who in range(WORKERS))
    stamp = time.strftime("%H:%M:%S", time.localtime(second))
    print(f"{stamp}  {bars}  total {sum(counts.values()):>2}/10", flush=True)


def main() -> None:
    seconds = 2.0 if os.environ.get("RATEVANE_EXAMPLE_QUICK") else 6.0
    url = os.environ.get("REDIS_URL")
    server: Optional["subprocess.Popen[bytes]"] = None
    where = tempfile.mkdtemp(prefix="ratevane-example-")
    try:
        if url is None:
            server, url = start_redis(where)
            print(f"started redis-server at {url}")
        print(f"{WORKERS} workers share '{BUDGET}': sec=10, max_burst=2", flush=True)
        # Forked workers: each makes its own client and limiter.
        context = multiprocessing.get_context("fork")
        grants: "Queue[Tuple[int, float]]" = context.Queue()
        procs = [context.Process(target=worker, args=(url, who, seconds, grants))
                 for who in range(WORKERS)]
        for proc in procs:
            proc.start()
        per_second: Dict[int, Dict[int, int]] = {}
        shown = int(time.time())
        while any(proc.is_alive() for proc in procs) or not grants.empty():
            try:
                who, at = grants.get(timeout=0.05)
                row = per_second.setdefault(int(at), {})
                row[who] = row.get(who, 0) + 1
            except queue.Empty:
                pass
            # A second's bar, once that second is over (live).
            while shown < int(time.time() - 0.1):
                if shown in per_second:
                    show(shown, per_second.pop(shown))
                shown += 1
        for second in sorted(per_second):
            show(second, per_second[second])
        if any(proc.exitcode != 0 for proc in procs):
            raise SystemExit("a worker failed")
    finally:
        if server is not None:
            server.terminate()
            server.wait()
            print("stopped redis-server")
        shutil.rmtree(where, ignore_errors=True)


if __name__ == "__main__":
    main()
