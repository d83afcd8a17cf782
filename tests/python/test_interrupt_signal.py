"""The interrupt key raised inside the test process: a timer thread raises
SIGINT with signal.raise_signal (on Windows that is how the signal reaches
Python, which has the C runtime's raise() for it and no kill()), and the
main thread's blocking acquire stops with KeyboardInterrupt("Operation
interrupted"), having counted nothing and kept no burst permit.

Each wait below would last far longer than the test if the signal went
unnoticed: a minute window that has at least 10 s to run, or a burst permit
that nobody hands back (then the hang guard of pytest.ini ends it)."""

import signal
import threading

import pytest

from conftest import HUGE, wait_for_fresh_minute_if_late
from ratevane import RateLimiter

DELAY = 0.2  # into the wait; far less than what is left of the wait


@pytest.fixture
def handled_sigint():
    """SIGINT's handler records each signal and raises, as the default one
    does; the module reports its own KeyboardInterrupt in its place."""
    hits = []

    def handler(number, frame):
        hits.append(number)
        raise KeyboardInterrupt("from the handler")

    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield hits
    finally:
        signal.signal(signal.SIGINT, previous)


def interrupted(limiter):
    timer = threading.Timer(DELAY, signal.raise_signal, args=(signal.SIGINT,))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            limiter.acquire()
    finally:
        timer.join()
    return info.value


def test_signal_stops_a_wait_for_a_full_window(handled_sigint):
    wait_for_fresh_minute_if_late(room=10.0)
    limiter = RateLimiter(min=1)
    assert limiter.acquire() is True
    error = interrupted(limiter)
    assert error.args == ("Operation interrupted",)
    assert handled_sigint == [signal.SIGINT]
    # Only the first grant is counted, and the window is still full.
    assert limiter.get_remaining() == {"minute": 0}
    assert limiter.wait_time() is not None


def test_signal_stops_a_wait_for_a_burst_permit(handled_sigint):
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    assert limiter.acquire() is True
    error = interrupted(limiter)
    assert error.args == ("Operation interrupted",)
    assert handled_sigint == [signal.SIGINT]
    assert limiter.get_remaining()["burst"] == 0
    limiter.release()
    assert limiter.get_remaining()["burst"] == 1
    # The permit the interrupted call never got is the one handed back now.
    assert limiter.acquire() is True
    assert limiter.get_remaining()["burst"] == 0
    limiter.release()
