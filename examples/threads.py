"""Worker threads share one RateLimiter.

A batch of jobs is worked off by a few threads. Each job needs a permit:
at most 3 may start per second and 40 per minute, and at most 3 jobs may
run at the same time (max_burst). A `with` block waits for the permit,
holds the burst slot while the job runs and gives it back at the end.

Once a second the main thread prints what the limiter saw in that second:
permits granted per window against its limit, jobs running, and what
get_remaining() and wait_time() report. (A `with` that waits for a window
already holds its burst slot, so "burst" can be lower than the jobs
running suggest.)

    RATEVANE_EXAMPLE_QUICK=1 shortens the run to about 3 seconds.
"""

import os
import queue
import random
import threading
import time
from typing import Dict, List

from ratevane import RateLimiter

PER_SECOND = 3
PER_MINUTE = 40
MAX_BURST = 3
WORKERS = 6
# Fewer jobs than the minute allows, so no worker is left waiting for the
# next minute when the batch is done.
JOBS = 9 if os.environ.get("RATEVANE_EXAMPLE_QUICK") == "1" else 38

limiter = RateLimiter(sec=PER_SECOND, min=PER_MINUTE, max_burst=MAX_BURST)

jobs: "queue.Queue[int]" = queue.Queue()
for number in range(JOBS):
    jobs.put(number)

lock = threading.Lock()
granted: List[float] = []  # wall-clock time of every grant
running = [0]
most_running = [0]


def worker(name: str) -> None:
    rng = random.Random(name)
    while True:
        try:
            jobs.get_nowait()
        except queue.Empty:
            return
        with limiter:  # waits until both windows and the burst bound allow
            with lock:
                granted.append(time.time())
                running[0] += 1
                most_running[0] = max(most_running[0], running[0])
            time.sleep(rng.uniform(0.4, 1.4))  # the job itself
            with lock:
                running[0] -= 1


def show(started: float) -> None:
    """One line about the second that is just ending."""
    now = time.time()
    second, minute = int(now), int(now // 60)
    with lock:
        in_second = sum(1 for t in granted if int(t) == second)
        in_minute = sum(1 for t in granted if int(t // 60) == minute)
        busy = running[0]
    left = limiter.get_remaining()
    wait = limiter.wait_time()
    shown_wait = "None" if wait is None else f"{wait:.3f} s"
    print(f"{now - started:5.1f} s | second {in_second}/{PER_SECOND} | minute "
          f"{in_minute:2d}/{PER_MINUTE} | jobs running {busy} | remaining "
          f"second={left['second']} minute={left['minute']:2d} burst={left['burst']} | "
          f"wait_time {shown_wait}", flush=True)


def main() -> None:
    print(f"{JOBS} jobs, {WORKERS} workers, RateLimiter(sec={PER_SECOND}, min={PER_MINUTE}, "
          f"max_burst={MAX_BURST})", flush=True)
    started = time.time()
    threads = [threading.Thread(target=worker, args=(f"worker-{i}",)) for i in range(WORKERS)]
    for thread in threads:
        thread.start()
    while any(thread.is_alive() for thread in threads):
        # Report near the end of each second, when its grants are all in.
        time.sleep((0.95 - time.time() % 1.0) % 1.0)
        show(started)
    for thread in threads:
        thread.join()
    elapsed = time.time() - started

    per_second: Dict[int, int] = {}
    for when in granted:
        per_second[int(when)] = per_second.get(int(when), 0) + 1
    print(f"done: {len(granted)} jobs in {elapsed:.1f} s; busiest second "
          f"{max(per_second.values())}/{PER_SECOND} grants, most jobs at once "
          f"{most_running[0]}/{MAX_BURST}; burst permits left "
          f"{limiter.get_remaining()['burst']}/{MAX_BURST}")


if __name__ == "__main__":
    main()
