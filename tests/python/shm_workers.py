"""Work that the host-budget tests run in other processes. A module of its
own, so that children started by `spawn` import it by name."""

import json
import os
import sys
import time

import ratevane_shm


def hammer(name, sec, until, out_path, start=None):
    """Acquire from the budget until the wall clock passes `until`, and
    write each grant's (before, after) clock reads to `out_path`. Never
    waits inside acquire, so the two reads stay close around the grant.
    With `start`, the first acquire waits for that time (several children
    then ask together however long each took to start), and the report
    says whether the child came too late for it."""
    limiter = ratevane_shm.RateLimiter(name, sec=sec, blocking=False)
    late = start is not None and time.time() > start
    while start is not None and time.time() < start:
        time.sleep(0.001)
    grants = []
    while True:
        before = time.time()
        if before >= until:
            break
        if limiter.acquire():
            grants.append((before, time.time()))
        else:
            time.sleep(0.0005)
    with open(out_path, "w") as f:
        json.dump(grants if start is None else {"late": late, "grants": grants}, f)


def hold_and_count(name, max_burst, rounds, counter, lock, peak):
    """Take a burst permit, note how many processes hold one at the same
    time, then hand it back; `rounds` times."""
    limiter = ratevane_shm.RateLimiter(name, sec=10**12, max_burst=max_burst)
    for _ in range(rounds):
        with limiter:
            with lock:
                counter.value += 1
                peak.value = max(peak.value, counter.value)
            # Until the cap has been full once, a holder waits for it to
            # fill (the other processes are blocked in acquire or about to
            # be): the cap is surely reached, on a slow machine too. The
            # guard of 10 s is far above the milliseconds that takes.
            guard = time.monotonic() + 10
            while peak.value < max_burst and time.monotonic() < guard:
                time.sleep(0.001)
            time.sleep(0.002)
            with lock:
                counter.value -= 1


def churn(name, max_burst):
    """Take and hand back burst permits until killed."""
    limiter = ratevane_shm.RateLimiter(name, sec=10**12, max_burst=max_burst)
    while True:
        limiter.acquire()
        limiter.release()


if __name__ == "__main__":
    # As a plain subprocess: hammer NAME SEC UNTIL OUT [START]
    name, sec, until, out = sys.argv[2:6]
    assert sys.argv[1] == "hammer"
    hammer(name, int(sec), float(until), out, *[float(t) for t in sys.argv[6:7]])
    sys.stdout.flush()
    os._exit(0)
