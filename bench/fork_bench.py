"""What a fork costs with many live limiters.

The module's fork handlers take every live limiter's lock before the fork
and let go of them after it, in both processes, so a fork costs more the
more limiters are alive. This times fork() until the child has exited (it
exits at once with os._exit) and been reaped, with 1, 1,000 and 100,000
live RateLimiter objects; the medians of ROUNDS forks.

In a test build (one with fault injection, e.g. RATEVANE_BUILD=build/pypy)
each row is measured a second time with the handlers switched off, in the
same process, so the difference is the handlers' own share.

    RATEVANE_BUILD=build/pypy pypy3 bench/fork_bench.py
    RATEVANE_BUILD=build/cpython python3 bench/fork_bench.py
"""

import os
import statistics
import sys
import time

_build = os.environ.get("RATEVANE_BUILD")
if _build:
    sys.path.insert(0, os.path.join(_build, "src"))

import ratevane  # noqa: E402

ROUNDS = 60


def fork_and_reap():
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    return time.perf_counter() - start


def median_fork(without_handlers=False):
    if without_handlers:
        ratevane._arm_fault("fork_handlers", ROUNDS + 5)
    for _ in range(5):  # warm-up
        fork_and_reap()
    return statistics.median(fork_and_reap() for _ in range(ROUNDS))


def main():
    can_switch_off = hasattr(ratevane, "_arm_fault")
    print(f"{sys.implementation.name}: fork() until the child is reaped, median of {ROUNDS}")
    header = f"{'live limiters':>14} {'with handlers':>15}"
    if can_switch_off:
        header += f" {'without':>11} {'handlers share':>15}"
    print(header)
    live = []
    for n in (1, 1_000, 100_000):
        live.extend(ratevane.RateLimiter(sec=10) for _ in range(n - len(live)))
        with_handlers = median_fork()
        row = f"{n:>14,} {with_handlers * 1e3:>12.3f} ms"
        if can_switch_off:
            without = median_fork(without_handlers=True)
            row += f" {without * 1e3:>8.3f} ms {(with_handlers - without) * 1e3:>12.3f} ms"
        print(row)


if __name__ == "__main__":
    main()
