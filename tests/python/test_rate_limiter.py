"""RateLimiter on the real wall clock: grants and refusals, what
get_remaining and wait_time report, blocking waits on windows and on the
burst bound, release, and the context-manager protocol."""

import time

import pytest

from conftest import (
    HUGE,
    Background,
    between,
    ensure_room,
    in_one_interval,
    run_in_parallel,
    seconds_left,
)
from ratevane import RateLimiter


# --- non-blocking grants and the remaining permits ------------------------------


def test_non_blocking_second_window():
    def run():
        limiter = RateLimiter(sec=1, blocking=False)
        return [limiter.acquire(), limiter.acquire(), limiter.acquire()]

    assert in_one_interval(run) == [True, False, False]


def test_second_window_reopens_at_the_next_second():
    def fill():
        limiter = RateLimiter(sec=3, blocking=False)
        return limiter, [limiter.acquire() for _ in range(4)]

    limiter, results = in_one_interval(fill)
    assert results == [True, True, True, False]
    time.sleep(seconds_left() + 0.01)
    assert limiter.get_remaining() == {"second": 3}
    assert limiter.acquire() is True
    assert limiter.get_remaining() == {"second": 2}


# (configuration, number of acquire() calls, releases after them,
#  expected results, expected get_remaining())
REMAINING = [
    ({"sec": 5}, 0, 0, [], {"second": 5}),
    ({"sec": 5}, 2, 0, [True, True], {"second": 3}),
    ({"sec": 5, "min": 100}, 2, 0, [True, True], {"second": 3, "minute": 98}),
    ({"sec": 2}, 4, 0, [True, True, False, False], {"second": 0}),
    # a refusal by a later window leaves the earlier window's count alone
    ({"sec": 10, "min": 2}, 3, 0, [True, True, False], {"second": 8, "minute": 0}),
    # a refusal by the first window does not count in the later ones
    ({"sec": 1, "min": 5}, 3, 0, [True, False, False], {"second": 0, "minute": 4}),
    ({"sec": 1, "min": 2, "hour": 3, "day": 4}, 1, 0, [True],
     {"second": 0, "minute": 1, "hour": 2, "day": 3}),
    ({"sec": 5, "max_burst": 2}, 1, 0, [True], {"second": 4, "burst": 1}),
    ({"sec": 5, "max_burst": 2}, 2, 1, [True, True], {"second": 3, "burst": 1}),
    # a refusal by the burst bound touches no window
    ({"sec": 5, "max_burst": 1}, 3, 0, [True, False, False], {"second": 4, "burst": 0}),
    # a refusal by a window hands its burst permit back
    ({"sec": 2, "max_burst": 5}, 4, 0, [True, True, False, False], {"second": 0, "burst": 3}),
    ({"sec": 2, "max_burst": 5}, 2, 2, [True, True], {"second": 0, "burst": 5}),
    # more releases than grants do not raise the bound
    ({"sec": 5, "max_burst": 2}, 1, 3, [True], {"second": 4, "burst": 2}),
]


@pytest.mark.parametrize("config,calls,releases,results,remaining", REMAINING,
                         ids=[f"{c}-{n}-{r}" for c, n, r, _, _ in REMAINING])
def test_get_remaining(config, calls, releases, results, remaining):
    def run():
        limiter = RateLimiter(blocking=False, **config)
        got = [limiter.acquire() for _ in range(calls)]
        for _ in range(releases):
            assert limiter.release() is None
        return got, limiter.get_remaining()

    got, left = in_one_interval(run)
    assert got == results
    assert left == remaining
    assert all(type(k) is str and type(v) is int for k, v in left.items())


# --- waiting time ----------------------------------------------------------------


@pytest.mark.parametrize("config,calls", [
    ({"sec": 1}, 0),
    ({"sec": 2}, 1),
    ({"sec": 5, "min": 5, "hour": 5, "day": 5}, 4),
    ({"sec": HUGE, "max_burst": 1}, 1),  # the burst bound is not a window
])
def test_wait_time_is_none_while_every_window_has_room(config, calls):
    def run():
        limiter = RateLimiter(blocking=False, **config)
        assert all(limiter.acquire() for _ in range(calls))
        return limiter.wait_time()

    assert in_one_interval(run) is None


# (configuration, grants that fill a window, period of the window that
#  reopens first): wait_time is the time until the first full window reopens.
FULL = [
    ({"sec": 1}, 1, 1),
    ({"sec": 1, "min": 1}, 1, 1),
    ({"sec": 1, "hour": 1}, 1, 1),
    ({"sec": 5, "min": 1}, 1, 60),
    ({"sec": 5, "min": 5, "hour": 1}, 1, 3600),
    ({"sec": 2, "sec_window": 4, "min": 9}, 2, 4),
]


@pytest.mark.parametrize("config,grants,period", FULL, ids=[str(c) for c, _, _ in FULL])
def test_wait_time_until_the_first_full_window_reopens(config, grants, period):
    def run():
        limiter = RateLimiter(blocking=False, **config)
        assert all(limiter.acquire() for _ in range(grants))
        assert limiter.acquire() is False
        before = seconds_left(period)
        waited = limiter.wait_time()
        return waited, before, seconds_left(period)

    waited, before, after = in_one_interval(run)
    assert type(waited) is float
    assert 0.001 <= waited <= period
    assert between(waited, after, before)


# --- blocking waits on windows ---------------------------------------------------


def next_second_lateness(config, use_with):
    """Fill a blocking limiter's second window, then take one more permit;
    returns how long after the next whole second the call came back. (How
    late is a figure of bench/acquire_bench.py.)"""
    limiter = RateLimiter(**config)
    for _ in range(10):
        ensure_room(0.3)
        before = time.time()
        assert all(limiter.acquire() for _ in range(config["sec"]))
        after = time.time()
        if int(before) == int(after):
            break
        limiter = RateLimiter(**config)
    else:
        pytest.fail("could not fill the window inside one second")
    if use_with:
        with limiter as value:
            assert value is None
    else:
        assert limiter.acquire() is True
    back = time.time()
    reopened = int(before) + 1
    assert back >= reopened, "granted before the window reopened"
    return back - reopened


def test_blocking_acquire_returns_in_the_second_that_reopens():
    # Three independent waits side by side. Never early is checked inside;
    # here, each is granted in the second that reopened, not a later one.
    # The wait sleeps in slices of at most 10 ms and ends at the reopening:
    # a whole second late is a hundred slices, which a thread waiting for a
    # processor on a loaded machine never loses.
    lateness = run_in_parallel(
        lambda: next_second_lateness({"sec": 1}, use_with=False),
        lambda: next_second_lateness({"sec": 1}, use_with=True),
        lambda: next_second_lateness({"sec": 3, "min": 100}, use_with=False),
    )
    assert max(lateness) < 1.0, lateness


def test_blocking_acquire_waits_for_the_minute_window():
    limiter = RateLimiter(sec=1, min=1)
    left = seconds_left(60)
    if 1.3 <= left <= 3.0:
        # Cheap enough to watch: the second window reopens first, the minute
        # window still refuses, and the wait goes on to the next minute.
        assert limiter.acquire() is True
        reopens = (int(time.time() // 60) + 1) * 60
        assert limiter.acquire() is True
        back = time.time()
        # Never early; and granted in the minute's first second, not a
        # later one (the wait's slices are at most 10 ms: see above).
        assert reopens <= back < reopens + 1.0, back - reopens
        return
    # Otherwise look at what the waiter would see once the second window has
    # reopened: no minute permit, and a waiting time to the minute's end.
    # (Three seconds of room leave two for the sleep into the next second.)
    ensure_room(3.0, period=60)
    assert limiter.acquire() is True
    time.sleep(seconds_left() + 0.02)
    assert limiter.get_remaining() == {"second": 1, "minute": 0}
    before = seconds_left(60)
    waited = limiter.wait_time()
    assert between(waited, seconds_left(60), before)


# --- the burst bound -------------------------------------------------------------------


def test_blocking_burst_wait_ends_after_release():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    assert limiter.acquire() is True
    waiter = Background(limiter.acquire)
    assert not waiter.join(0.35), "a second permit was granted while the first was held"
    # Other methods work while a thread waits in acquire.
    assert limiter.get_remaining()["burst"] == 0
    assert limiter.wait_time() is None
    assert limiter.release() is None
    # The waiter looks again every 100 ms at most (the steps are traced on a
    # hand-driven clock in tests/cpp; how soon is bench/acquire_bench.py's
    # figure): 5 s is fifty of its looks.
    assert waiter.outcome(5.0) is True
    assert limiter.get_remaining()["burst"] == 0  # now held by the waiter
    limiter.release()
    assert limiter.get_remaining()["burst"] == 1


@pytest.mark.parametrize("blocking", [True, False])
def test_releases_without_grants_leave_the_limiter_working(blocking):
    limiter = RateLimiter(sec=HUGE, max_burst=2, blocking=blocking)
    for _ in range(3):
        assert limiter.release() is None
    assert limiter.get_remaining()["burst"] == 2
    assert limiter.acquire() is True
    assert limiter.acquire() is True
    assert limiter.get_remaining()["burst"] == 0
    if blocking:
        third = Background(limiter.acquire)
        assert not third.join(0.15), "the bound of 2 let a third permit through"
        limiter.release()
        assert third.outcome(5.0) is True  # fifty of its looks, as above
    else:
        assert limiter.acquire() is False
    for _ in range(4):
        limiter.release()
    assert limiter.get_remaining()["burst"] == 2
    assert limiter.acquire() is True
    assert limiter.get_remaining()["burst"] == 1


def test_non_blocking_burst_bound():
    limiter = RateLimiter(sec=HUGE, max_burst=1, blocking=False)
    assert limiter.acquire() is True
    assert limiter.acquire() is False
    assert limiter.acquire() is False
    limiter.release()
    assert limiter.acquire() is True
    assert limiter.get_remaining()["burst"] == 0


def test_release_without_burst_bound():
    def run():
        limiter = RateLimiter(sec=5, blocking=False)
        assert limiter.acquire() is True
        assert limiter.release() is None
        assert limiter.release() is None
        return limiter.get_remaining()

    # Releases hand nothing back to the windows.
    assert in_one_interval(run) == {"second": 4}


# --- with blocks -------------------------------------------------------------------------


def test_with_block_holds_one_burst_permit():
    limiter = RateLimiter(sec=HUGE, max_burst=2)
    with limiter as value:
        assert value is None
        assert limiter.get_remaining()["burst"] == 1
        with limiter:
            assert limiter.get_remaining()["burst"] == 0
        assert limiter.get_remaining()["burst"] == 1
    assert limiter.get_remaining()["burst"] == 2


def test_with_block_lets_exceptions_through_and_gives_the_permit_back():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    with pytest.raises(ZeroDivisionError):
        with limiter:
            1 / 0
    assert limiter.get_remaining()["burst"] == 1
    with pytest.raises(KeyError):
        with limiter:
            raise KeyError("body")
    assert limiter.acquire() is True


def test_refused_with_block_does_not_run_its_body():
    def run():
        limiter = RateLimiter(sec=1, blocking=False)
        assert limiter.acquire() is True
        ran = []
        with pytest.raises(ValueError) as info:
            with limiter:
                ran.append(True)
        return ran, info.value

    ran, error = in_one_interval(run)
    assert ran == []
    assert type(error) is ValueError
    assert error.args == ("Failed to acquire permit",)


def test_refused_with_block_on_the_burst_bound_keeps_the_count():
    limiter = RateLimiter(sec=HUGE, max_burst=1, blocking=False)
    assert limiter.acquire() is True
    with pytest.raises(ValueError, match="^Failed to acquire permit$"):
        with limiter:
            pytest.fail("body ran")
    assert limiter.get_remaining()["burst"] == 0  # still held by the first grant
    limiter.release()
    assert limiter.get_remaining()["burst"] == 1


def test_exit_gives_back_and_returns_false():
    limiter = RateLimiter(sec=HUGE, max_burst=3)
    assert limiter.acquire() and limiter.acquire()
    assert limiter.get_remaining()["burst"] == 1
    assert limiter.__exit__(None, None, None) is False
    assert limiter.get_remaining()["burst"] == 2
    assert limiter.__exit__(ValueError, ValueError("x"), None) is False
    assert limiter.__exit__(None, None, None) is False  # nothing held: no change
    assert limiter.get_remaining()["burst"] == 3


# --- failed calls leave the limiter working ------------------------------------------------------


BAD_CALLS = [
    ("acquire with an argument", lambda lim: lim.acquire(1), TypeError),
    ("release with an argument", lambda lim: lim.release(1), TypeError),
    ("get_remaining with a keyword", lambda lim: lim.get_remaining(x=1), TypeError),
    ("wait_time with an argument", lambda lim: lim.wait_time(None), TypeError),
    ("__enter__ with an argument", lambda lim: lim.__enter__(1), TypeError),
    ("__exit__ without arguments", lambda lim: lim.__exit__(), TypeError),
    ("__exit__ with four", lambda lim: lim.__exit__(1, 2, 3, 4), TypeError),
    ("__exit__ with a bad keyword", lambda lim: lim.__exit__(1, 2, 3, x=1), TypeError),
    ("method of the class on another object",
     lambda lim: RateLimiter.acquire(object()), TypeError),
    ("refused with block", lambda lim: lim.__enter__() or lim.__enter__() or
     lim.__enter__(), ValueError),
]


@pytest.mark.parametrize("call,error", [(c, e) for _, c, e in BAD_CALLS],
                         ids=[name for name, _, _ in BAD_CALLS])
def test_failed_calls_leave_the_limiter_working(call, error):
    limiter = RateLimiter(sec=HUGE, max_burst=2, blocking=False)
    with pytest.raises(error):
        call(limiter)
    for _ in range(2):
        limiter.release()
    assert limiter.get_remaining()["burst"] == 2
    assert limiter.acquire() is True
    with limiter:
        assert limiter.get_remaining()["burst"] == 0
    assert limiter.get_remaining()["burst"] == 1
    assert limiter.acquire() is True
    assert limiter.acquire() is False
    assert limiter.wait_time() is None
