"""Forks a busy process again and again and reports how many children hung.

In the parent, two threads run acquire/get_remaining/release on a shared
non-blocking RateLimiter and an event-loop thread awaits acquire/release of
an AsyncRateLimiter, all in loops, while the main thread forks. Each child
makes the same three sync calls on its copy of the shared limiter and awaits
one acquire of its copy of the async limiter, then exits through the
interpreter's normal exit (its exit hooks included). A child that has not
exited after CHILD_LIMIT seconds is killed and counted as hung; so is one
whose await timed out.

Usage: fork_stress.py FORKS [--without-handlers]   (prints one JSON line)
The second form arms the test build's fault point that makes every fork
run without the module's fork handlers."""

import asyncio
import json
import os
import signal
import sys
import threading
import time

import ratevane

# A child's whole life is a fork, three sync calls and one await on a fresh
# event loop: milliseconds. Five seconds is the bound a user would call a
# hang; the child's own await gives up a second sooner, so a child that
# hangs there says so itself.
CHILD_LIMIT = 5.0
AWAIT_LIMIT = 4.0
# Children alive at once: enough to keep both processors busy while some
# children start and others end.
IN_FLIGHT = 4

HUGE = 10**12
EXIT_OK, EXIT_AWAIT_TIMED_OUT = 0, 3


def child(shared, alim):
    shared.acquire()
    shared.get_remaining()
    shared.release()

    async def one():
        await asyncio.wait_for(alim.acquire(), AWAIT_LIMIT)
        await alim.release()

    try:
        asyncio.run(one())
    except asyncio.TimeoutError:
        return EXIT_AWAIT_TIMED_OUT
    return EXIT_OK


def main():
    forks = int(sys.argv[1])
    if "--without-handlers" in sys.argv[2:]:
        ratevane._arm_fault("fork_handlers", 10**9)

    shared = ratevane.RateLimiter(sec=HUGE, max_burst=64, blocking=False)
    alim = ratevane.AsyncRateLimiter(sec=HUGE, max_burst=64)
    stop = threading.Event()

    def sync_loop():
        while not stop.is_set():
            if shared.acquire():
                shared.get_remaining()
                shared.release()

    async def async_loop():
        while not stop.is_set():
            await alim.acquire()
            await alim.release()

    threads = [threading.Thread(target=sync_loop, daemon=True) for _ in range(2)]
    threads.append(threading.Thread(target=lambda: asyncio.run(async_loop()), daemon=True))
    for t in threads:
        t.start()
    time.sleep(0.2)  # every loop is under way, and the executor is built

    alive = {}  # pid -> deadline
    hung = forked = 0
    while forked < forks or alive:
        if forked < forks and len(alive) < IN_FLIGHT:
            pid = os.fork()
            if pid == 0:
                sys.exit(child(shared, alim))
            forked += 1
            alive[pid] = time.monotonic() + CHILD_LIMIT
            continue
        for pid, deadline in list(alive.items()):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                del alive[pid]
                if os.waitstatus_to_exitcode(status) != EXIT_OK:
                    hung += 1
            elif time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                del alive[pid]
                hung += 1
        time.sleep(0.005)

    stop.set()
    for t in threads:
        t.join(10)
    # The parent is unaffected: its limiters still grant.
    async def parent_await():
        return await asyncio.wait_for(alim.acquire(), 5)

    parent_ok = shared.acquire() and asyncio.run(parent_await()) == ()
    print(json.dumps({"forked": forked, "hung": hung, "parent_ok": parent_ok}))


if __name__ == "__main__":
    main()
