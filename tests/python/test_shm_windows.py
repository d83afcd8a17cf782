"""ratevane_shm on Windows: the named mapping shared by real processes
started from the same interpreter, the named mutex taken over after its
owner was killed, a mapping that is not a budget, what remove() can and
cannot do there, and what the module's DLL needs."""

import errno
import gc
import json
import mmap
import os
import struct
import subprocess
import sys
import threading
import time

import pytest
import ratevane_shm
from conftest import HUGE, ensure_room
from shm_support import WINDOWS, audit, budget, budget_exists  # noqa: F401  (budget: a fixture)

pytestmark = pytest.mark.skipif(not WINDOWS, reason="the Windows mapping and mutex")

HERE = os.path.dirname(os.path.abspath(__file__))


def mapping_name(name):
    return f"Local\\ratevane.{name}"


def test_two_processes_share_one_budget(budget, tmp_path):
    limit = 50
    # Interpreters under Wine take seconds to start; 15 s is far above
    # that, and a late child only shortens the shared stretch (it is
    # checked below, not assumed).
    start = time.time() + 15
    end = start + 2.5
    outs = [str(tmp_path / f"child{i}.json") for i in range(2)]
    children = [subprocess.Popen([sys.executable, os.path.join(HERE, "shm_workers.py"), "hammer",
                                  budget, str(limit), repr(end), out, repr(start)])
                for out in outs]
    assert [child.wait(timeout=120) for child in children] == [0, 0]
    reports = []
    for out in outs:
        with open(out) as f:
            reports.append(json.load(f))
    assert not any(r["late"] for r in reports), "a child started after the shared start"
    ok, counts = audit([g for r in reports for g in r["grants"]], limit)
    assert ok, counts
    # Each child alone asks for more than the limit every second, so two
    # budgets would grant twice the limit; one budget grants the whole
    # seconds of the run exactly `limit` times.
    full = [s for s in counts if start // 1 < s < end // 1]
    assert full and all(counts[s] == limit for s in full), counts


# Opens the budget's named mutex with the system's own call, takes it, says
# so and waits to be killed: a process that dies holding the budget's lock.
HOLD_LOCK = """
import ctypes, sys, ratevane_shm
limiter = ratevane_shm.RateLimiter(sys.argv[1], sec=10**12, max_burst=1, blocking=False)
kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
kernel32.CreateMutexW.restype = ctypes.c_void_p
mutex = kernel32.CreateMutexW(None, False, "Local\\\\ratevane." + sys.argv[1] + ".lock")
assert mutex and ctypes.get_last_error() == 183   # ERROR_ALREADY_EXISTS: the budget's
assert kernel32.WaitForSingleObject(ctypes.c_void_p(mutex), 0xFFFFFFFF) == 0
print("held", flush=True)
sys.stdin.read()
"""


def test_a_lock_abandoned_by_a_killed_process_is_taken_over(budget):
    limiter = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
    child = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, budget],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "held"
        results = []
        waiter = threading.Thread(target=lambda: results.append(limiter.acquire()))
        waiter.start()
        # An acquire that can take the lock ends in microseconds; this one
        # is still waiting after half a second because the child holds it.
        waiter.join(0.5)
        assert waiter.is_alive()
    finally:
        child.kill()   # TerminateProcess: the mutex is abandoned
        child.wait()
    waiter.join(60)
    assert not waiter.is_alive() and results == [True]
    assert limiter.get_remaining()["burst"] == 0
    limiter.release()
    assert limiter.get_remaining()["burst"] == 1


def test_remove_says_what_windows_allows(budget):
    ensure_room(5, period=3600)   # one hour window throughout
    assert ratevane_shm.remove(budget) is False
    limiter = ratevane_shm.RateLimiter(budget, hour=5, blocking=False)
    assert limiter.acquire() is True
    # A named mapping lives while a process has it open.
    with pytest.raises(OSError) as e:
        ratevane_shm.remove(budget)
    assert e.value.errno == errno.EBUSY and e.value.filename == mapping_name(budget)
    del limiter
    gc.collect()
    # Gone with its last user: the next limiter starts a fresh budget.
    assert budget_exists(budget) is False
    assert ratevane_shm.RateLimiter(budget, hour=5, blocking=False).get_remaining() == {"hour": 5}


def test_a_mapping_that_is_not_this_layouts_budget(budget):
    # Views of the budget's own mapping (so it stays this user's). Another
    # layout version in the header is refused, and the budget works again
    # once the header is put back; after the limiter goes, the view keeps
    # the name, and what it then holds is not a budget.
    limiter = ratevane_shm.RateLimiter(budget, sec=1)
    view = mmap.mmap(-1, 16, tagname=mapping_name(budget))
    try:
        view[8:12] = struct.pack("<I", 2)
        with pytest.raises(ValueError, match="has layout version 2; this ratevane_shm uses version 1"):
            ratevane_shm.RateLimiter(budget, sec=1)
        view[8:12] = struct.pack("<I", 1)
        ratevane_shm.RateLimiter(budget, sec=1)
        del limiter
        gc.collect()
        view[:] = b"\x07" * 16
        with pytest.raises(ValueError, match=r"\(Local\\ratevane\..*\) is not a ratevane budget"):
            ratevane_shm.RateLimiter(budget, sec=1)
    finally:
        view.close()
    assert budget_exists(budget) is False
    assert ratevane_shm.RateLimiter(budget, sec=1).get_remaining() == {"second": 1}   # made anew


def test_dll_exports_its_module_entry_only_and_needs_no_other_runtime():
    from test_module import dll_imports_and_exports

    imports, exports = dll_imports_and_exports(ratevane_shm.__file__)
    assert exports == ["PyInit_ratevane_shm"], exports
    # advapi32: the owner-only security descriptors of the mapping and mutex.
    others = {dll for dll in imports if not dll.startswith("api-ms-win-crt-")} - {
        "kernel32.dll", "advapi32.dll", "python3.dll", "python%d%d.dll" % sys.version_info[:2]}
    assert others == set(), imports
