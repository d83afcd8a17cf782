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
""".replace("CHILD_TIMEOUT", str(CHILD_TIMEOUT))

# A blocking acquire in the main thread waits on a full minute window (the
# second window reopens meanwhile, and the wait goes on); a second thread
# waits on the same limiter. After 0.8 s, when the main thread's sleeps have
# grown past 500 ms, SIGINT arrives.
MINUTE_WAIT = """
left = 60 - time.time() % 60
if left < 6:
    time.sleep(left + 0.05)
# Start in the middle of a second: the second window reopens well before
# the signal comes, and the wait must go on for the minute window.
while not 0.3 <= time.time() % 1 < 0.6:
    time.sleep(0.02)
limiter = ratevane.RateLimiter(sec=1, min=1, max_burst=5)
assert limiter.acquire() is True

other = {}
def wait_in_thread():
    other.update(outcome(limiter.acquire))
    other["ended"] = time.monotonic()
waiter = threading.Thread(target=wait_in_thread)
waiter.start()

HANDLER
main = threading.main_thread().ident
sent = {}
def interrupt():
    time.sleep(0.8)
    sent["at"] = time.monotonic()
    SEND
threading.Thread(target=interrupt, daemon=True).start()

started, wall_started = time.monotonic(), time.time()
out["main"] = outcome(limiter.acquire)
ended, wall_ended = time.monotonic(), time.time()
out["crossed_second"] = int(wall_ended) > int(wall_started)
waiter.join(5)
out["waited"] = ended - started
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

# The main thread waits for the one burst permit, which a helper thread
# holds; SIGINT arrives during that wait, whose short sleeps never look for
# signals, and the helper releases the permit 0.4 s later. The acquire then
# gets its permit, notices the signal at its end, and must hand the burst
# permit back before raising.
BURST_WAIT = """
limiter = ratevane.RateLimiter(hour=1000, max_burst=1)
hour = int(time.time() // 3600)
assert limiter.acquire() is True
main = threading.main_thread().ident
marks = {}
def helper():
    time.sleep(0.3)
    marks["signal"] = time.monotonic()
    signal.pthread_kill(main, signal.SIGINT)
    time.sleep(0.4)
    marks["release"] = time.monotonic()
    limiter.release()
threading.Thread(target=helper).start()

out["main"] = outcome(limiter.acquire)
ended = time.monotonic()
out["after_release"] = ended - marks["release"]
out["remaining"] = limiter.get_remaining()
# The limiter goes on working, and a new acquire is not stopped by the
# earlier interruption (tried only when a burst permit is free: it would
# wait for good otherwise).
if out["remaining"].get("burst") == 1:
    out["next"] = outcome(limiter.acquire)
    out["remaining_after_next"] = limiter.get_remaining()
out["same_hour"] = int(time.time() // 3600) == hour
print(json.dumps(out))
"""

INTERRUPTED = {"error": ["KeyboardInterrupt", ["Operation interrupted"]], "context": "None"}

CHILDREN = {
    "minute-default-kill": PRELUDE + MINUTE_WAIT.replace("HANDLER", DEFAULT_HANDLER)
    .replace("SEND", BY_KILL),
    "minute-raising-handler": PRELUDE + MINUTE_WAIT.replace("HANDLER", RAISING_HANDLER)
    .replace("SEND", BY_PTHREAD_KILL),
    "burst-wait": PRELUDE + BURST_WAIT,
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


@pytest.mark.parametrize("name", ["minute-default-kill", "minute-raising-handler"])
def test_signal_stops_a_window_wait_and_the_other_waiter(children, name):
    seen = report(children, name)
    # Raised as KeyboardInterrupt "Operation interrupted", whatever the
    # handler raised, and not as an Exception.
    assert seen["main"] == INTERRUPTED
    # Noticed at the 500 ms mark of a sleep, not at the minute's end; and
    # the wait had outlasted the second window's reopening.
    assert seen["after_signal"] < 1.5
    assert seen["waited"] > 0.8
    assert seen["crossed_second"]
    # The other waiter stops at its next look at the shared flag.
    assert seen["other"]["error"] == INTERRUPTED["error"]
    assert seen["other_after_main"] < 0.2
    # Nothing was granted or lost: one permit is held, from before.
    assert seen["remaining"] == {"second": 1, "minute": 0, "burst": 4}
    assert seen["wait_time"] == pytest.approx(seen["minute_left"], abs=0.1)
    assert seen["after_release"]["burst"] == 5


def test_signal_during_a_burst_wait_is_reported_when_the_wait_ends(children):
    seen = report(children, "burst-wait")
    assert seen["main"] == INTERRUPTED
    # Not noticed before the permit was released (the sleeps are short).
    assert 0 <= seen["after_release"] < 0.3
    # The window keeps the permit it counted; the burst permit taken by the
    # interrupted call was handed back.
    expected_hour = 998 if seen["same_hour"] else seen["remaining"]["hour"]
    assert seen["remaining"] == {"hour": expected_hour, "burst": 1}
    assert seen.get("next") == {"result": True}
    assert seen["remaining_after_next"]["burst"] == 0
