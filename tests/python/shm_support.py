"""Helpers of the host-budget tests: a fresh budget name per test, the
budget's file, and children that import the build under test."""

import errno
import itertools
import os
import subprocess
import sys

import pytest
import ratevane_shm

_counter = itertools.count()


WINDOWS = sys.platform == "win32"
# Linux alone: budgets as files under /dev/shm, other users' processes,
# fork.
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="a budget is a file under /dev/shm on Linux only")


def object_path(name):
    return f"/dev/shm/ratevane.{name}"


def budget_exists(name):
    """Whether the budget's mapping is there. On Windows remove() cannot
    take away a mapping that is open, and says so with EBUSY."""
    if not WINDOWS:
        return os.path.exists(object_path(name))
    try:
        return ratevane_shm.remove(name)
    except OSError as e:
        if e.errno != errno.EBUSY:
            raise
        return True


@pytest.fixture
def budget():
    """A name no other test or run uses; its mapping is removed after (on
    Windows it goes by itself with the last limiter that has it open)."""
    name = f"test-{os.getpid()}-{next(_counter)}"
    assert ratevane_shm.remove(name) is False
    yield name
    if not WINDOWS:
        ratevane_shm.remove(name)


def child_env():
    """The environment a child needs to import the build under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def python_child(code, **kwargs):
    """Starts `python -c code` with the same interpreter and build."""
    return subprocess.Popen([sys.executable, "-c", code], env=child_env(),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def start_time(pid):
    """Field 22 of /proc/<pid>/stat: the start time in clock ticks after
    boot, counted after the last ')' (the command may hold spaces)."""
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    return int(text[text.rindex(")") + 2:].split()[19])


def audit(grants, limit, period=1):
    """Whether the grants, each known to have happened between its two clock
    reads, fit `limit` per interval of `period` seconds. A grant whose reads
    fall in one interval counts there; one that straddles a boundary could
    be in either interval, and goes to the earlier one while it has room
    (the assignment that leaves the most room later, so if it fails, every
    assignment fails). Returns (ok, per-interval counts)."""
    definite = {}
    straddling = {}
    for before, after in grants:
        a, b = int(before // period), int(after // period)
        if a == b:
            definite[a] = definite.get(a, 0) + 1
        else:
            assert b == a + 1, "a grant took longer than a whole interval"
            straddling[a] = straddling.get(a, 0) + 1
    counts = dict(definite)
    for a in sorted(set(definite) | set(straddling) | {k + 1 for k in straddling}):
        n = straddling.get(a - 1, 0)
        room = limit - counts.get(a - 1, 0)
        put_back = min(max(room, 0), n)
        counts[a - 1] = counts.get(a - 1, 0) + put_back
        counts[a] = counts.get(a, 0) + n - put_back
    return all(c <= limit for c in counts.values()), counts
