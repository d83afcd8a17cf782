"""ratevane_shm across real processes: every grant audited against its
window, the burst cap, holders killed with SIGKILL (at random points and
inside the locked step), a reused process id, fork. On Windows the cases
without fork, hooks or a one-second deadline for starting children run;
test_shm_windows.py has the Windows counterparts of the others."""

import json
import multiprocessing
import os
import random
import signal
import subprocess
import sys
import time

import pytest
import ratevane_shm
import shm_workers
from conftest import HUGE, ensure_room
from shm_support import audit, budget, child_env, python_child, start_time  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

# The hooks that reach inside a budget exist in test builds only.
needs_hooks = pytest.mark.skipif(not hasattr(ratevane_shm, "_put_holder"),
                                 reason="needs a test build's hooks")


def test_the_audit_finds_an_over_grant():
    # One second holding 3 grants for a limit of 2, one of them only
    # possibly in the second before.
    assert audit([(10.2, 10.3), (10.4, 10.5), (10.999, 11.001)], 2)[0]
    assert not audit([(10.2, 10.3), (10.4, 10.5), (10.6, 10.7)], 2)[0]
    assert not audit([(10.2, 10.3), (10.4, 10.5), (10.999, 11.001), (11.1, 11.2),
                      (11.3, 11.4)], 2)[0]


@needs_fork
def test_every_grant_across_fork_spawn_and_subprocesses(budget, tmp_path):
    limit = 40
    ensure_room(0.5)
    until = time.time() + 1.6   # two or three whole seconds, each over-asked
    outs = []
    procs = []
    for method in ("fork", "spawn"):
        ctx = multiprocessing.get_context(method)
        for i in range(2):
            out = str(tmp_path / f"{method}{i}.json")
            outs.append(out)
            p = ctx.Process(target=shm_workers.hammer, args=(budget, limit, until, out))
            p.start()
            procs.append(p)
    for i in range(2):
        out = str(tmp_path / f"sub{i}.json")
        outs.append(out)
        procs.append(subprocess.Popen(
            [sys.executable, os.path.join(HERE, "shm_workers.py"), "hammer", budget, str(limit),
             repr(until), out], env=child_env()))
    for p in procs:
        if isinstance(p, subprocess.Popen):
            assert p.wait(timeout=60) == 0
        else:
            p.join(60)
            assert p.exitcode == 0
    grants = []
    for out in outs:
        with open(out) as f:
            grants.extend(json.load(f))
    ok, counts = audit(grants, limit)
    assert ok, counts
    # Six processes asked all the time: the budget was used, not just kept.
    assert max(counts.values()) == limit, counts


@needs_fork
def test_burst_cap_across_processes(budget):
    ctx = multiprocessing.get_context("fork")
    counter, peak = ctx.Value("i", 0), ctx.Value("i", 0)
    lock = ctx.Lock()
    procs = [ctx.Process(target=shm_workers.hold_and_count,
                         args=(budget, 2, 30, counter, lock, peak)) for _ in range(4)]
    for p in procs:
        p.start()
    for p in procs:
        p.join(60)
        assert p.exitcode == 0
    assert peak.value == 2   # never more than the cap, and the cap was reached
    probe = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=2)
    assert probe.get_remaining()["burst"] == 2


HOLD = """
import sys, ratevane_shm
limiter = ratevane_shm.RateLimiter(sys.argv[1], sec=10**12, max_burst=int(sys.argv[2]),
                                   blocking=False)
print(sum(limiter.acquire() for _ in range(int(sys.argv[3]))), flush=True)
sys.stdin.read()
"""


def hold(name, max_burst, count):
    child = subprocess.Popen([sys.executable, "-c", HOLD, name, str(max_burst), str(count)],
                             env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline().strip() == str(count)
    return child


def test_a_killed_holder_gives_its_permits_back(budget):
    child = hold(budget, 3, 2)
    limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=3, blocking=False)
    assert [limiter.acquire(), limiter.acquire()] == [True, False]
    child.kill()
    child.wait()
    assert limiter.get_remaining()["burst"] == 0   # until an acquire finds the cap full
    assert [limiter.acquire(), limiter.acquire(), limiter.acquire()] == [True, True, False]


@needs_hooks
def test_a_live_holder_keeps_its_permits_and_a_reused_id_does_not(budget):
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
        ratevane_shm._put_holder(budget, sleeper.pid, start_time(sleeper.pid), 1)
        assert limiter.acquire() is False
        ratevane_shm.remove(budget)
        limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
        # The same id, another start time: the process that held is gone.
        ratevane_shm._put_holder(budget, sleeper.pid, start_time(sleeper.pid) + 1, 1)
        assert limiter.acquire() is True
    finally:
        sleeper.kill()
        sleeper.wait()


@needs_hooks
def test_too_many_holders(budget):
    me = (os.getpid(), start_time(os.getpid()))
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        for _ in range(64):
            ratevane_shm._put_holder(budget, sleeper.pid, start_time(sleeper.pid), 1)
        limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1000, blocking=False)
        for blocking in (False, True):
            limiter = ratevane_shm.RateLimiter(budget, sec=5, max_burst=1000, blocking=blocking)
            with pytest.raises(ValueError, match="more than 64 processes would hold burst "
                                                 "permits at once; one budget holds at most 64"):
                limiter.acquire()
        assert limiter.get_remaining() == {"second": 5, "burst": 1000 - 64}   # nothing counted
    finally:
        sleeper.kill()
        sleeper.wait()
    assert me[0] == os.getpid()


PAUSE = """
import os, sys, ratevane_shm
limiter = ratevane_shm.RateLimiter(sys.argv[1], min=10, hour=100, max_burst=5)
ratevane_shm._arm_step_pause(int(sys.argv[2]))
limiter.acquire()
"""


@needs_hooks
def test_killed_inside_the_locked_step(budget):
    # Minute and hour windows: the whole test lies in one minute, with room
    # for slow interpreter starts (it waits only in the last 5 s of one).
    ensure_room(5, period=60)
    r, w = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", PAUSE, budget, str(w)], env=child_env(),
                             pass_fds=(w,))
    os.close(w)
    assert os.read(r, 1) == b"p"   # it holds the lock, one window counted
    os.close(r)
    child.kill()
    child.wait()
    limiter = ratevane_shm.RateLimiter(budget, min=10, hour=100, max_burst=5, blocking=False)
    assert limiter.acquire() is True   # the lock of the dead owner is taken over
    # The dead step's minute counted, its hour and burst permit not: a
    # count too high in one window, never too low in any.
    assert limiter.get_remaining() == {"minute": 8, "hour": 99, "burst": 4}


@needs_fork
def test_killed_at_random_points(budget):
    ctx = multiprocessing.get_context("fork")
    rng = random.Random(7)
    for _ in range(3):
        procs = [ctx.Process(target=shm_workers.churn, args=(budget, 2)) for _ in range(3)]
        for p in procs:
            p.start()
        time.sleep(rng.uniform(0.05, 0.15))
        for p in procs:
            os.kill(p.pid, signal.SIGKILL)
        for p in procs:
            p.join(30)
    limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=2, blocking=False)
    # Whatever the dead held comes back when the cap is found full.
    assert [limiter.acquire(), limiter.acquire(), limiter.acquire()] == [True, True, False]


@needs_fork
def test_a_forked_child_holds_none_of_its_parents_permits(budget):
    limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
    assert limiter.acquire() is True
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            limiter.release()                       # not its permit: nothing
            answer = b"1" if limiter.acquire() else b"0"
            os.write(w, answer)
        finally:
            os._exit(0)
    os.close(w)
    assert os.read(r, 1) == b"0"
    os.close(r)
    os.waitpid(pid, 0)
    limiter.release()
    assert limiter.get_remaining()["burst"] == 1


WAIT = """
import asyncio, os, sys, threading, time, ratevane_shm
name, kind = sys.argv[1:]
if hasattr(ratevane_shm, "_set_burst_step"):
    ratevane_shm._set_burst_step(60_000)
cls = ratevane_shm.RateLimiter if kind == "sync" else ratevane_shm.AsyncRateLimiter
limiter = cls(name, sec=10**12, max_burst=1)
async def wait():
    await limiter.acquire()
if kind == "forked":  # the waiter is a child forked while this process's own wait was watched
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    mine = asyncio.run_coroutine_threadsafe(wait(), loop)
    time.sleep(0.3)
    pid = os.fork()
    if pid:
        mine.cancel()
        sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
print("waiting", flush=True)
limiter.acquire() if kind == "sync" else asyncio.run(wait())
print("granted", flush=True)
"""


@pytest.mark.parametrize("kind", ["sync", "async", pytest.param("forked", marks=needs_fork)])
def test_a_release_in_one_process_wakes_a_waiter_in_another(budget, kind):
    limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1)
    limiter.acquire()
    child = subprocess.Popen([sys.executable, "-c", WAIT, budget, kind], env=child_env(),
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "waiting"
    time.sleep(0.3)   # the child is in its burst wait by now, most likely
    assert child.poll() is None
    limiter.release()
    start = time.monotonic()
    assert child.stdout.readline().strip() == "granted"
    # In a test build the child's burst steps last 60 s, so only the
    # give-back can have ended its wait this soon (a forked child inherits
    # its parent's record of a watch, but not the watch's thread).
    assert time.monotonic() - start < 30
    assert child.wait(timeout=30) == 0

