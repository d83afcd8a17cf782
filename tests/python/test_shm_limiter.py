"""ratevane_shm in one process: the in-process classes' behaviour and
messages over a budget named for the host, bad names, mappings it must
refuse, and who may open a budget. The cases that make, patch or look at
the budget's file under /dev/shm, or need another user, are Linux's; the
Windows mapping has its own cases in test_shm_windows.py."""

import asyncio
import os
import struct
import subprocess
import sys

import pytest
import ratevane
import ratevane_shm
from conftest import HUGE, SANITIZERS, in_one_interval
from async_support import grant_to_a_cancelled_task
from test_module import SYSTEM_LIBRARIES
from shm_support import (WINDOWS, budget, budget_exists, child_env,  # noqa: F401 (budget)
                         linux_only, object_path)


def test_one_budget_per_name(budget):
    def run():
        a = ratevane_shm.RateLimiter(budget, sec=3, blocking=False)
        b = ratevane_shm.RateLimiter(budget, sec=3, blocking=False)
        return [a.acquire(), b.acquire(), a.acquire(), b.acquire()], a.get_remaining()
    grants, left = in_one_interval(run)
    assert grants == [True, True, True, False]
    assert left == {"second": 0}


def test_counters_are_shared_by_window_length_and_compared_with_each_limit(budget):
    def run():
        tight = ratevane_shm.RateLimiter(budget, sec=2, min=HUGE, blocking=False)
        loose = ratevane_shm.RateLimiter(budget, sec=5, blocking=False)
        taken = [tight.acquire(), tight.acquire(), tight.acquire(), loose.acquire()]
        return taken, tight.get_remaining(), loose.get_remaining()
    taken, tight_left, loose_left = in_one_interval(run)
    assert taken == [True, True, False, True]
    assert tight_left == {"second": 0, "minute": HUGE - 2}
    assert loose_left == {"second": 2}


def test_burst_cap_is_one_count_per_name(budget):
    a = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=2, blocking=False)
    b = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=3, blocking=False)
    assert [a.acquire(), b.acquire(), a.acquire(), b.acquire(), b.acquire()] == \
        [True, True, False, True, False]
    assert a.get_remaining()["burst"] == 0 and b.get_remaining()["burst"] == 0
    a.release()
    assert b.get_remaining()["burst"] == 1
    with pytest.raises(ValueError, match="^Failed to acquire permit$"):
        with a:
            pass
    with b as bound:
        assert bound is None
    assert b.__exit__(None, None, None) is False


def test_waits_and_wait_time(budget):
    limiter = ratevane_shm.RateLimiter(budget, sec=1)
    assert limiter.wait_time() is None
    limiter.acquire()
    wait = limiter.wait_time()
    assert wait is None or 0.001 <= wait <= 1.0   # None: the second rolled meanwhile
    assert limiter.acquire() is True             # waits for the next second


@pytest.mark.parametrize("kwargs", [
    {}, {"sec": 0}, {"min": 0}, {"sec": 1, "sec_window": 0}, {"day": 1, "day_window": 2**63},
    {"sec": 1, "max_burst": 0}, {"sec": 1.0}, {"sec": -1}, {"sec": 1, "blocking": 1},
    {"secs": 1}, {"sec": 2**64},
])
def test_the_in_process_checks_and_messages(budget, kwargs):
    with pytest.raises(BaseException) as native:
        ratevane.RateLimiter(**kwargs)
    for cls in (ratevane_shm.RateLimiter, ratevane_shm.AsyncRateLimiter):
        with pytest.raises(type(native.value)) as shared:
            cls(budget, **kwargs)
        assert str(shared.value) == str(native.value).replace(
            "RateLimiter.__new__", cls.__name__ + ".__new__")
    assert not budget_exists(budget)   # nothing was made


def test_name_argument():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'name'"):
        ratevane_shm.RateLimiter(sec=1)
    with pytest.raises(TypeError, match="^argument 'name': 'bytes' object cannot be converted"):
        ratevane_shm.RateLimiter(b"x", sec=1)


@pytest.mark.parametrize("name", ["", "a/b", "..", ".hidden", "a\0b", "a b", "x" * 201, "é"])
def test_bad_names(name):
    with pytest.raises(ValueError, match="^budget name must be 1 to 200 letters, digits"):
        ratevane_shm.RateLimiter(name, sec=1)
    with pytest.raises(ValueError, match="^budget name must be"):
        ratevane_shm.remove(name)


def test_too_many_window_lengths(budget):
    keep = [ratevane_shm.RateLimiter(budget, sec=1, sec_window=n) for n in range(1, 9)]
    with pytest.raises(ValueError, match="counts 8 window lengths already; "
                                         "one budget holds at most 8"):
        ratevane_shm.RateLimiter(budget, sec=1, sec_window=9)
    # Lengths it already counts still bind.
    keep.append(ratevane_shm.RateLimiter(budget, sec=5, sec_window=3))


def make_mapping(name, data, mode=0o600):
    fd = os.open(object_path(name), os.O_CREAT | os.O_EXCL | os.O_WRONLY, mode)
    os.fchmod(fd, mode)
    os.write(fd, data)
    os.close(fd)


def patch(name, offset, fmt, value):
    with open(object_path(name), "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(fmt, value))


@pytest.mark.parametrize("data, message", [
    (b"\x07" * 4096, "is not a ratevane budget"),
    (b"\x07" * 8, r"is truncated \(8 bytes\)"),
], ids=["foreign", "truncated"])
@linux_only
def test_foreign_or_truncated_mapping(budget, data, message):
    make_mapping(budget, data)
    with pytest.raises(ValueError, match=message + ".*remove it with ratevane_shm.remove"):
        ratevane_shm.RateLimiter(budget, sec=1)
    assert ratevane_shm.remove(budget) is True
    ratevane_shm.RateLimiter(budget, sec=1)  # made anew


@linux_only
def test_another_layout_version_or_size(budget):
    ratevane_shm.RateLimiter(budget, sec=1)
    patch(budget, 8, "<I", 2)
    with pytest.raises(ValueError, match="has layout version 2; this ratevane_shm uses version 1"):
        ratevane_shm.RateLimiter(budget, sec=1)
    patch(budget, 8, "<I", 1)
    patch(budget, 12, "<I", 64)
    with pytest.raises(ValueError, match=r"is truncated or malformed \(.* 64 in its header"):
        ratevane_shm.RateLimiter(budget, sec=1)
    with open(object_path(budget), "r+b") as f:
        f.truncate(1024)
    with pytest.raises(ValueError, match=r"is truncated or malformed \(1024 bytes mapped"):
        ratevane_shm.RateLimiter(budget, sec=1)


@linux_only
def test_made_owner_only(budget):
    ratevane_shm.RateLimiter(budget, sec=1)
    st = os.stat(object_path(budget))
    assert st.st_mode & 0o777 == 0o600 and st.st_uid == os.geteuid()


@linux_only
def test_refuses_a_mapping_others_may_open(budget):
    make_mapping(budget, b"\0" * 4096, mode=0o644)
    with pytest.raises(ValueError, match="other users may open it"):
        ratevane_shm.RateLimiter(budget, sec=1)


@linux_only
@pytest.mark.skipif(WINDOWS or os.geteuid() != 0, reason="needs root to give a file to another user")
def test_refuses_another_users_mapping(budget):
    make_mapping(budget, b"\0" * 4096)
    os.chown(object_path(budget), 65534, 65534)
    with pytest.raises(ValueError, match="belongs to another user"):
        ratevane_shm.RateLimiter(budget, sec=1)


@linux_only
def test_does_not_follow_a_link(budget, tmp_path):
    target = tmp_path / "elsewhere"
    target.write_bytes(b"")
    os.symlink(target, object_path(budget))
    try:
        with pytest.raises(OSError) as e:
            ratevane_shm.RateLimiter(budget, sec=1)
        assert "cannot open shared budget" in str(e.value)
        assert target.read_bytes() == b""
    finally:
        os.unlink(object_path(budget))


@linux_only
@pytest.mark.skipif(WINDOWS or os.geteuid() != 0, reason="needs root to run a child as another user")
def test_another_user_cannot_open_it(budget):
    ratevane_shm.RateLimiter(budget, sec=1)
    code = (f"import os, sys\n"
            f"try:\n    os.open({object_path(budget)!r}, os.O_RDWR)\n"
            f"except PermissionError:\n    print('refused')\n"
            f"try:\n    import ratevane_shm\n"
            f"except ImportError:\n    print('refused'); sys.exit()\n"
            f"try:\n    ratevane_shm.RateLimiter({budget!r}, sec=1)\n"
            f"except PermissionError as e:\n    print('refused')\n")
    # The interpreter of the system: a user's own (pyenv's, under /root)
    # may be closed to `nobody`. Same version, same extension suffix.
    system = "/usr/bin/pypy3" if sys.implementation.name == "pypy" else "/usr/bin/python3.11"
    if not os.path.exists(system):
        pytest.skip(f"no {system} for the child")
    # Its own standard library, not the running interpreter's (which may be
    # another version: the stable-ABI wheel runs on several).
    env = child_env()
    env.pop("PYTHONHOME", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path
                                        if p and not p.startswith(sys.base_prefix))
    done = subprocess.run([system, "-c", code], env=env, user="nobody",
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["refused", "refused"], done.stderr


@linux_only
def test_remove(budget):
    assert ratevane_shm.remove(budget) is False
    limiter = ratevane_shm.RateLimiter(budget, sec=5, blocking=False)
    assert ratevane_shm.remove(budget) is True
    assert not os.path.exists(object_path(budget))
    limiter.acquire()  # its mapping stays usable


def test_async_class(budget):
    async def main():
        sync = ratevane_shm.RateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
        limiter = ratevane_shm.AsyncRateLimiter(budget, sec=HUGE, max_burst=1)
        probe = ratevane_shm.AsyncRateLimiter(budget, sec=HUGE, max_burst=1, blocking=False)
        assert await limiter.acquire() == ()
        assert await probe.acquire() is None
        assert (await limiter.get_remaining())["burst"] == 0
        assert await limiter.wait_time() is None
        waiter = asyncio.ensure_future(limiter.acquire())
        await asyncio.sleep(0.05)
        assert not waiter.done()
        sync.release()                       # the same process: its permit
        assert await asyncio.wait_for(waiter, 10) == ()
        assert await limiter.release() == ()
        async with limiter as bound:
            assert bound == ()
        assert await limiter.acquire() == ()   # the only permit, held
        with pytest.raises(ValueError, match="^Failed to acquire permit$"):
            async with probe:
                pass
    asyncio.run(main())


@pytest.mark.skipif(WINDOWS, reason="reads an ELF library; test_shm_windows.py checks the DLL")
@pytest.mark.skipif(bool(SANITIZERS), reason="a sanitizer build needs the sanitizers' runtimes")
def test_library_exports_its_module_entry_only_and_needs_only_glibc():
    symbols = subprocess.run(["nm", "-D", "--defined-only", ratevane_shm.__file__],
                             capture_output=True, text=True, check=True).stdout.split()
    assert set(symbols[2::3]) == {"PyInit_ratevane_shm"}, symbols
    dynamic = subprocess.run(["readelf", "-d", ratevane_shm.__file__],
                             capture_output=True, text=True, check=True).stdout
    needed = {line.rsplit("[", 1)[1].rstrip("]") for line in dynamic.splitlines()
              if "(NEEDED)" in line}
    # librt: glibc before 2.34 keeps shm_open there.
    assert needed <= SYSTEM_LIBRARIES | {"librt.so.1", "libstdc++.so.6", "libgcc_s.so.1"}, needed


def test_a_grant_that_reaches_a_task_being_cancelled_gives_its_permit_back(budget):
    async def main():
        limiter = ratevane_shm.AsyncRateLimiter(budget, sec=HUGE, max_burst=1)
        future, ended = await grant_to_a_cancelled_task(limiter, "acquire")
        assert isinstance(ended, asyncio.CancelledError) and future.result() is None
        assert (await limiter.get_remaining())["burst"] == 1
    asyncio.run(main())


def test_a_grant_nobody_receives_gives_its_burst_permit_back(budget):
    # The work starts at once on the executor and is granted before or
    # after the cancellation; a grant that finds its future cancelled must
    # not keep the permit.
    async def main():
        limiter = ratevane_shm.AsyncRateLimiter(budget, sec=HUGE, max_burst=1)
        for _ in range(20):
            limiter.acquire().cancel()
            await asyncio.sleep(0.01)
            assert (await asyncio.wait_for(limiter.acquire(), 10)) == ()
            assert (await limiter.release()) == ()
        for _ in range(100):   # the last cancelled grant may still be on its way
            if (await limiter.get_remaining())["burst"] == 1:
                break
            await asyncio.sleep(0.01)
        assert (await limiter.get_remaining())["burst"] == 1
    asyncio.run(main())
