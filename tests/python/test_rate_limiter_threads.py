"""RateLimiter shared by threads: waits let other threads run, and many
threads together never get more permits than a window or the burst bound
allows."""

import collections
import threading
import time

from conftest import HUGE, Background, ensure_room, run_in_parallel, wait_for_fresh_second
from ratevane import RateLimiter

THREADS = 8


def test_other_threads_run_while_acquire_waits():
    limiter = RateLimiter(sec=1)
    stop = threading.Event()
    stamps = []

    def spin():
        # Pure Python work that notes the time now and then.
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                stamps.append(time.monotonic())

    def pace(lo, hi):
        """The spinner's stamps per second between two readings."""
        return sum(lo < t < hi for t in stamps) / (hi - lo)

    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    try:
        time.sleep(0.02)  # let it get going
        # Its pace while this thread sleeps in time.sleep, which lets the
        # interpreter lock go: what a wait that lets it go allows, on this
        # machine at this moment.
        reference = time.monotonic()
        time.sleep(0.2)
        reference = (reference, time.monotonic())
        ensure_room(0.6)  # the wait below lasts at least half a second
        before = time.time()
        assert limiter.acquire() is True
        started = time.monotonic()
        assert limiter.acquire() is True  # waits for the next second
        ended = time.monotonic()
        back = time.time()
    finally:
        stop.set()
        spinner.join()
    assert back >= int(before) + 1, "granted before the window reopened"
    # Had acquire held the interpreter lock through its wait, the spinner
    # could not have noted a time well inside it. (Right after acquire
    # returns, the host may hand the lock to the spinner before `ended` is
    # read, hence the margins.) The spinner's share of a loaded machine may
    # change between the reference and the wait; a twentieth of its pace is
    # still far from the nothing a held lock leaves.
    inside = (started + 0.05, ended - 0.05)
    assert inside[1] > inside[0], (started, ended)
    assert pace(*inside) > pace(*reference) / 20, (pace(*inside), pace(*reference))


def hammer(limiter, seconds):
    """THREADS threads call the non-blocking acquire as fast as they can for
    `seconds`; returns (start, deadline, end, grants): the threads called
    from just after `start` until `deadline`, and every call was over by
    `end`. Each grant is the pair of wall-clock reads taken just before and
    just after the granting call."""
    barrier = threading.Barrier(THREADS + 1)
    grants = [[] for _ in range(THREADS)]
    deadline = [0.0]

    def work(mine):
        acquire, now = limiter.acquire, time.time
        barrier.wait()
        while True:
            before = now()
            if before >= deadline[0]:
                return
            if acquire():
                mine.append((before, now()))

    threads = [threading.Thread(target=work, args=(g,), daemon=True) for g in grants]
    for t in threads:
        t.start()
    start = time.time()
    deadline[0] = start + seconds
    barrier.wait()
    for t in threads:
        t.join(seconds + 10)  # each stops at the deadline: 10 s is slack only
        assert not t.is_alive()
    return start, deadline[0], time.time(), [g for mine in grants for g in mine]


def check_per_interval(start, end, grants, limit, period):
    """No interval of `period` seconds got more than `limit` grants, and the
    intervals that lie wholly inside the run (from `start` to `end`, while
    the threads were calling) got all of theirs: eight threads calling for a
    whole interval make many thousands of calls, and reaching the limit
    takes `limit` of them, microseconds each.

    A grant is counted in an interval when both reads around its call fall
    in it (the limiter read the clock between them). A grant whose call
    straddled a boundary could belong to either side; it is only used to
    show that a full interval reached its limit."""
    sure = collections.Counter()
    unsure = collections.Counter()
    for before, after in grants:
        first, last = int(before // period), int(after // period)
        if first == last:
            sure[first] += 1
        else:
            for k in range(first, last + 1):
                unsure[k] += 1
    over = {k: n for k, n in sure.items() if n > limit}
    assert not over, f"over-granted intervals: {over} (limit {limit})"
    full = range(int(start // period) + 1, int(end // period))
    assert len(full) >= 1
    short = {k: (sure[k], unsure[k]) for k in full if sure[k] + unsure[k] < limit}
    assert not short, f"intervals that never reached the limit {limit}: {short}"


def test_threads_never_over_grant_in_a_second():
    # Two windows, so every grant goes through the roll-test-count of both.
    limiter = RateLimiter(sec=50, min=HUGE, blocking=False)
    start, deadline, end, grants = hammer(limiter, 2.5)
    check_per_interval(start, deadline, grants, 50, 1)
    assert len(grants) <= 50 * (int(end) - int(start) + 1)


def test_blocking_threads_share_a_window_exactly():
    # 8 threads want 5 permits each from a window of 20 per second: 20 are
    # granted in this second and the rest just after the next one starts.
    # (Starting eight threads takes milliseconds of the near second that
    # wait_for_fresh_second leaves.)
    limiter = RateLimiter(sec=20)
    wait_for_fresh_second()
    boundary = int(time.time()) + 1
    returns = []
    lock = threading.Lock()
    barrier = threading.Barrier(THREADS)

    def work():
        barrier.wait()
        for _ in range(5):
            assert limiter.acquire() is True
            back = time.time()
            with lock:
                returns.append(back)

    run_in_parallel(*[work] * THREADS, timeout=10)  # all is over 1 s after the boundary
    assert len(returns) == 40
    assert sum(t < boundary for t in returns) <= 20
    # Had the first second granted fewer than 20, some permits would wait
    # for the second after. The waits end at the reopening (in slices of
    # 10 ms at most), so the last grant comes within milliseconds of it: a
    # whole second later is not a thread waiting for a processor.
    assert max(returns) < boundary + 1.0, max(returns) - boundary
    remaining = limiter.get_remaining()
    if int(time.time()) == boundary:
        assert remaining == {"second": 0}


def test_blocking_threads_respect_the_burst_bound():
    limiter = RateLimiter(sec=HUGE, max_burst=2)
    lock = threading.Lock()
    held = [0]
    most = [0]
    grants = [0]
    # At least 1.2 s of it, and on until 20 grants (the two permits, each
    # held 5 ms, allow those in 50 ms); the guard is for a stalled machine.
    deadline = time.monotonic() + 1.2
    guard = deadline + 30

    def going():
        now = time.monotonic()
        return now < guard and (now < deadline or grants[0] < 20)

    def hold():
        with lock:
            held[0] += 1
            most[0] = max(most[0], held[0])
            grants[0] += 1
        time.sleep(0.005)
        with lock:
            held[0] -= 1

    def work(index):
        while going():
            if index % 2:
                with limiter:
                    hold()
            else:
                assert limiter.acquire() is True
                try:
                    hold()
                finally:
                    limiter.release()
            time.sleep(0.01)  # let the sleepers in

    workers = [Background(lambda i=i: work(i)) for i in range(THREADS)]
    for w in workers:
        w.outcome(60.0)  # past the guard above
    # Never more than two; and two at once was reached: eight threads coming
    # back every 15 ms or so to hold a permit for 5 ms keep both busy.
    assert most[0] == 2
    assert grants[0] >= 20
    assert limiter.get_remaining()["burst"] == 2
