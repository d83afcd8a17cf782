"""Interrupting a waiting RateLimiter.acquire with SIGINT.

Each case runs in a child interpreter that signals itself from a timer
thread and prints what it saw as one JSON line; the children all run at
once, since most of their time is spent waiting."""

import json
import textwrap

import pytest

from conftest import IS_PYPY, finish_python, start_python

# The children stop themselves, with their threads' stacks on stderr, if
# something keeps them waiting (a signal that was never noticed leaves a
# minute wait running to the minute's end).
CHILD_TIMEOUT = 12

PRELUDE = """
import faulthandler, json, os, signal, threading, time
import ratevane
faulthandler.dump_traceback_later(CHILD_TIMEOUT, exit=True)

out = {}

def outcome(call):
    try:
        return {"result": call()}
    except Exception as e:
        return {"caught_as_exception": repr(e)}
    except KeyboardInterrupt as e:
        return {"error": [type(e).__name__, list(e.args)], "context": repr(e.__context__)}

def wait_in_thread(limiter):
    # Another waiter on the same limiter: its outcome, and when it ended,
    # go into the dict returned with the thread.
    other = {}
    def run():
        other.update(outcome(limiter.acquire))
        other["ended"] = time.monotonic()
    thread = threading.Thread(target=run)
    thread.start()
    return thread, other

def leave_room(period, room):
    # The counts asserted at the end must all fall in one interval of the
    # window: start afresh when less than `room` seconds of it are left.
    left = period - time.time() % period
    if left < room:
        time.sleep(left + 0.05)
""".replace("CHILD_TIMEOUT", str(CHILD_TIMEOUT))

# A waiting acquire checks for signals at every 500 ms slept, over all the
# steps of its wait. From the signal to the next check there are therefore
# at most 500 ms of slices; counting a whole step (at most 100 ms) on top
# covers the slice that crosses the mark and the passes between sleeps. That
# leaves about 400 ms for what a loaded 2-core machine adds: slices that
# wake late, a thread that waits for a processor, taking the interpreter
# lock for the check. So the bound holds on any machine, not only on an idle
# one.
NOTICED_WITHIN = 1.0
# Another waiter of the same limiter looks at the shared flag before each
# slice (at most 10 ms), then takes the interpreter lock for its own end.
OTHER_STOPS_WITHIN = 0.2

# A blocking acquire in the main thread waits on a full minute window; a
# second thread waits on the same limiter. SIGINT arrives DELAY seconds
# after the wait starts.
MINUTE_WAIT = """
leave_room(60, 6)
# Start in the middle of a second: with a second window too, it reopens
# well before a late signal comes, and the wait must go on for the minute.
while not 0.3 <= time.time() % 1 < 0.6:
    time.sleep(0.02)
limiter = ratevane.RateLimiter(LIMITS)
assert limiter.acquire() is True

waiter, other = wait_in_thread(limiter)

HANDLER
main = threading.main_thread().ident
sent = {}
def interrupt():
    time.sleep(DELAY)
    sent["at"] = time.monotonic()
    SEND
threading.Thread(target=interrupt, daemon=True).start()

started, wall_started = time.monotonic(), time.time()
out["main"] = outcome(limiter.acquire)
ended, wall_ended = time.monotonic(), time.time()
out["crossed_second"] = int(wall_ended) > int(wall_started)
waiter.join(5)
out["waited"] = ended - started
out["sent_after_start"] = sent["at"] - started
out["after_signal"] = ended - sent["at"]
out["other"] = other
out["other_after_main"] = other.get("ended", ended + 99) - ended
out["remaining"] = limiter.get_remaining()
out["wait_time"] = limiter.wait_time()
out["minute_left"] = 60 - time.time() % 60
limiter.release()
out["after_release"] = limiter.get_remaining()
print(json.dumps(out))
"""

DEFAULT_HANDLER = ""
RAISING_HANDLER = """
def handler(signum, frame):
    raise ValueError("the handler's own error")
signal.signal(signal.SIGINT, handler)
"""
BY_KILL = "os.kill(os.getpid(), signal.SIGINT)"
BY_PTHREAD_KILL = "signal.pthread_kill(main, signal.SIGINT)"

# The main thread waits for the one burst permit, which it holds itself, so
# nobody ever hands it back; a second thread waits for it too. SIGINT
# arrives 0.3 s into the wait.
BURST_WAIT_UNENDED = """
leave_room(3600, 10)
limiter = ratevane.RateLimiter(hour=1000, max_burst=1)
hour = int(time.time() // 3600)
assert limiter.acquire() is True

waiter, other = wait_in_thread(limiter)

sent = {}
def interrupt():
    time.sleep(0.3)
    sent["at"] = time.monotonic()
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()

out["main"] = outcome(limiter.acquire)
ended = time.monotonic()
waiter.join(5)
out["after_signal"] = ended - sent["at"]
out["other"] = other
out["other_after_main"] = other.get("ended", ended + 99) - ended
out["remaining"] = limiter.get_remaining()
limiter.release()
out["after_release"] = limiter.get_remaining()
out["next"] = outcome(limiter.acquire)
out["remaining_after_next"] = limiter.get_remaining()
out["same_hour"] = int(time.time() // 3600) == hour
print(json.dumps(out))
"""

# The main thread waits for the one burst permit, which a helper thread
# holds; SIGINT arrives 0.1 s into the wait and the helper releases the
# permit 20 ms later, long before the wait has slept 500 ms. The acquire
# then gets its permit, notices the signal in its check at the end, and
# must hand the burst permit back before raising.
BURST_WAIT_ENDS_FIRST = """
leave_room(3600, 10)
limiter = ratevane.RateLimiter(hour=1000, max_burst=1)
hour = int(time.time() // 3600)
assert limiter.acquire() is True
main = threading.main_thread().ident
marks = {}
def helper():
    time.sleep(0.1)
    marks["signal"] = time.monotonic()
    signal.pthread_kill(main, signal.SIGINT)
    time.sleep(0.02)
    marks["release"] = time.monotonic()
    limiter.release()
threading.Thread(target=helper).start()

started = time.monotonic()
out["main"] = outcome(limiter.acquire)
ended = time.monotonic()
out["released_after_start"] = marks["release"] - started
out["after_release"] = ended - marks["release"]
out["remaining"] = limiter.get_remaining()
# The limiter goes on working, and a new acquire is not stopped by the
# earlier interruption (tried only when a burst permit is free: it would
# wait until interrupted otherwise).
if out["remaining"].get("burst") == 1:
    out["next"] = outcome(limiter.acquire)
    out["remaining_after_next"] = limiter.get_remaining()
out["same_hour"] = int(time.time() // 3600) == hour
print(json.dumps(out))
"""

INTERRUPTED = {"error": ["KeyboardInterrupt", ["Operation interrupted"]], "context": "None"}


def minute_wait(limits, delay, handler, send):
    return PRELUDE + (
        MINUTE_WAIT.replace("LIMITS", limits)
        .replace("DELAY", delay)
        .replace("HANDLER", handler)
        .replace("SEND", send)
    )


CHILDREN = {
    # The signal comes once the second window has reopened and the wait
    # goes on for the minute, in steps of 640 ms and more.
    "minute-default-kill": minute_wait("sec=1, min=1, max_burst=5", "0.8", DEFAULT_HANDLER,
                                       BY_KILL),
    "minute-raising-handler": minute_wait("sec=1, min=1, max_burst=5", "0.8", RAISING_HANDLER,
                                          BY_PTHREAD_KILL),
    # The signal comes during the first, short passes (10 to 320 ms).
    "minute-early-signal": minute_wait("min=1, max_burst=5", "0.1", DEFAULT_HANDLER, BY_KILL),
    "burst-wait-unended": PRELUDE + BURST_WAIT_UNENDED,
    "burst-wait-ends-first": PRELUDE + BURST_WAIT_ENDS_FIRST,
}


@pytest.fixture(scope="module")
def children():
    procs = {name: start_python(textwrap.dedent(code)) for name, code in CHILDREN.items()}
    yield procs
    for proc in procs.values():
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def report(children, name):
    done = finish_python(children[name], CHILD_TIMEOUT + 5)
    assert done.returncode == 0, f"child failed:\n{done.stdout}\n{done.stderr}"
    lines = done.stdout.strip().splitlines()
    assert lines, f"child printed nothing:\n{done.stderr}"
    return json.loads(lines[-1])


def check_other_waiter_stopped(seen):
    # The other waiter stops at its next look at the shared flag.
    assert seen["other"]["error"] == INTERRUPTED["error"]
    assert seen["other_after_main"] < OTHER_STOPS_WITHIN


@pytest.mark.parametrize("name", ["minute-default-kill", "minute-raising-handler"])
def test_signal_stops_a_window_wait_and_the_other_waiter(children, name):
    seen = report(children, name)
    # Raised as KeyboardInterrupt "Operation interrupted", whatever the
    # handler raised, and not as an Exception.
    assert seen["main"] == INTERRUPTED
    # Noticed at the next 500 ms mark of sleeping, not at the minute's end;
    # and the wait had outlasted the second window's reopening.
    assert seen["after_signal"] < NOTICED_WITHIN
    assert seen["waited"] > 0.8
    assert seen["crossed_second"]
    check_other_waiter_stopped(seen)
    # Nothing was granted or lost: one permit is held, from before.
    assert seen["remaining"] == {"second": 1, "minute": 0, "burst": 4}
    assert seen["wait_time"] == pytest.approx(seen["minute_left"], abs=0.1)
    assert seen["after_release"]["burst"] == 5


def test_signal_during_the_short_first_passes_of_a_window_wait(children):
    seen = report(children, "minute-early-signal")
    assert seen["main"] == INTERRUPTED
    assert seen["after_signal"] < NOTICED_WITHIN
    # The steps are 10, 20, 40, 80, 160 and 320 ms (630 ms in all) before
    # the first of 500 ms or more, so a check made only inside one long
    # sleep could not come before 1130 ms of waiting. A signal sent before
    # the first 500 ms mark is seen at that mark: 500 ms of slices, with
    # 630 ms to spare for slices that wake late.
    assert seen["sent_after_start"] < 0.45, f"the signal came late: {seen}"
    assert seen["waited"] < 1.13
    check_other_waiter_stopped(seen)
    assert seen["remaining"] == {"minute": 0, "burst": 4}
    assert seen["after_release"]["burst"] == 5


def test_signal_stops_a_burst_wait_that_nobody_ends(children):
    seen = report(children, "burst-wait-unended")
    assert seen["main"] == INTERRUPTED
    # The steps are at most 100 ms; the checks come every 500 ms slept all
    # the same.
    assert seen["after_signal"] < NOTICED_WITHIN
    check_other_waiter_stopped(seen)
    # Neither waiter took anything: the first grant alone is counted and
    # holds the burst permit.
    assert seen["same_hour"]
    assert seen["remaining"] == {"hour": 999, "burst": 0}
    assert seen["after_release"] == {"hour": 999, "burst": 1}
    assert seen["next"] == {"result": True}
    assert seen["remaining_after_next"] == {"hour": 998, "burst": 0}


def test_signal_during_a_burst_wait_that_ends_first_is_reported_at_its_end(children):
    seen = report(children, "burst-wait-ends-first")
    assert seen["main"] == INTERRUPTED
    # The permit came back before the wait had slept 400 ms (sleeping takes
    # at least as long as the slices asked for), and the grant follows at
    # the next pass, at most one 100 ms step later: before the 500 ms mark.
    assert seen["released_after_start"] < 0.4, f"the release came late: {seen}"
    # So the wait ended with the grant, and the check at its end reported
    # the signal.
    assert 0 <= seen["after_release"] < 0.3
    # The window keeps the permit it counted; the burst permit taken by the
    # interrupted call was handed back.
    assert seen["same_hour"]
    assert seen["remaining"] == {"hour": 998, "burst": 1}
    assert seen.get("next") == {"result": True}
    assert seen["remaining_after_next"]["burst"] == 0
