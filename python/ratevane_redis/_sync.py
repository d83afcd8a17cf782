"""RateLimiter: a budget shared through Redis, for threaded code. A thin
driver of the core: it makes the core's calls, sleeps its waits, and runs
its background work on a thread."""

import os
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Callable, Dict, Literal, Optional, Sequence, Type, Union

import redis
import redis.cluster

from ._caller import sync_caller
from . import _core
from ._config import Budget, check_client
from ._core import (LISTEN, REFUSED, SLEEP, SUBSCRIBE, Ask, Core, HandBack, ReleaseCount,
                    closed_error)
from ._lifetime import Forked, hand_back_at_exit
from ._wire import wait_seconds

# How often the background thread looks at a block at the latest: a block
# past its interval or idle goes back within this.
HOLDER_POLL = 0.05


class SyncEnv:
    """The driver's I/O: the script, the clock, waits, threads and
    subscriptions. The tests put a model of the script and a fake clock in
    its place."""

    def __init__(self, client: Any, budget: Budget) -> None:
        self.client = client
        self.call = sync_caller(client, budget.keys)

    now = staticmethod(time.monotonic)

    @staticmethod
    def wait(event: threading.Event, seconds: float) -> None:
        event.wait(seconds)

    @staticmethod
    def start(name: str, target: Callable[[], None]) -> None:
        threading.Thread(target=target, name=name, daemon=True).start()

    def start_background(self, background: "Background") -> None:
        self.start("ratevane-redis", background.run)

    def subscribe(self, channel: str) -> Any:
        pubsub = self.client.pubsub()
        pubsub.subscribe(channel)
        return pubsub

    def releases(self, channel: str) -> "Releases":
        return Releases(self, channel)


def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            pubsub.close()
        except Exception:
            pass


class Background:
    """The background work of one limiter object (hand-backs, renewals, the
    block's refunds), on a thread of its own that starts when the core has
    some and ends when it has none. It holds the core, never the limiter,
    so a limiter that is collected is seen as gone and its permits go back.
    """

    def __init__(self, core: Core, env: SyncEnv) -> None:
        self.core = core
        self.env = env
        self.reset()
        hand_back_at_exit(self)

    def reset(self) -> None:
        # At construction, and in a forked child: the parent's thread, which
        # may have held the lock at the fork, is not the child's.
        self.lock = threading.Lock()
        self.kick = threading.Event()
        self.running = False

    def ensure(self) -> None:
        """Under the lock: start the thread when there is work for it."""
        if self.core.busy():
            if self.running:
                self.kick.set()
            else:
                self.running = True
                self.env.start_background(self)

    def step(self) -> Optional[float]:
        """One round of the work; when to look again, None when done."""
        core, env = self.core, self.env
        with self.lock:
            calls, renew, due = core.background(env.now())
            if not calls and renew is None and not core.busy():
                self.running = False
                return None
        self.send(calls)
        if renew is not None:
            try:
                lost = env.call(core.wire.renew_args(renew))
            except Exception:
                pass  # out of reach: the next period tries again; leases not renewed run out
            else:
                with self.lock:
                    core.renewed(renew, lost)
        return due

    def send(self, hand_backs: Sequence[HandBack]) -> Optional[Exception]:
        """Each hand-back's call. One that fails is tried again later by the
        background work; one cut short (Ctrl-C) goes back to the outbox as
        it was, with those not sent yet. The first failure is returned."""
        error: Optional[Exception] = None
        for i, hand_back in enumerate(hand_backs):
            try:
                self.env.call(hand_back.args)
            except Exception as failure:
                with self.lock:
                    self.core.unsent(hand_back, self.env.now())
                error = error or failure
            except BaseException:
                with self.lock:
                    self.core.not_sent(hand_backs[i:])
                raise
        return error

    def run(self) -> None:
        pubsub: Any = None
        try:
            while True:
                due = self.step()
                if due is None:
                    return
                with self.lock:
                    watch = self.core.holds_block()
                timeout = max(0.0, min(due - self.env.now(), HOLDER_POLL if watch else 1.0))
                if not watch:
                    _close_quietly(pubsub)
                    pubsub = None
                    self.kick.wait(timeout)
                    self.kick.clear()
                    continue
                # While a block is held, a refusal elsewhere publishes on the
                # pressure channel, and the block goes back at once.
                try:
                    if pubsub is None:
                        pubsub = self.env.subscribe(self.core.budget.press_channel)
                    message = pubsub.get_message(timeout=timeout)
                except Exception:
                    _close_quietly(pubsub)  # out of reach: the block still goes back when due
                    pubsub = None
                    time.sleep(timeout)
                    continue
                if message is not None and message["type"] == "message":
                    with self.lock:
                        self.core.press()
        finally:
            _close_quietly(pubsub)

    def exit_calls(self) -> Any:
        """At interpreter exit: every hand-back still due."""
        if not self.lock.acquire(timeout=1.0):
            return [], self.env.call  # a thread stopped mid-step holds it
        try:
            return [h.args for h in self.core.close()], self.env.call
        finally:
            self.lock.release()


class Releases:
    """The release messages of one limiter object's budget, counted by one
    subscriber thread for every thread waiting on the object. It starts at
    the first burst wait, subscribes again after the connection broke, and
    ends when the rules of ReleaseCount say so."""

    def __init__(self, env: SyncEnv, channel: str) -> None:
        self._env = env
        self._channel = channel
        self._cond = threading.Condition()
        self._count = ReleaseCount(time.monotonic())
        self._running = False
        self._pid = os.getpid()

    def mark(self) -> Optional[int]:
        """Start the subscriber if it is not running; the count to wait past
        after the next ask."""
        with self._cond:
            self._count.last = time.monotonic()
            if not self._running:
                self._running = True
                self._env.start("ratevane-redis-releases", self._run)
            return self._count.seen()

    def wait(self, seen: Optional[int], timeout: float) -> None:
        """Until the count moves past seen, or for timeout at most."""
        c = self._count
        with self._cond:
            c.waiting += 1
            try:
                self._cond.wait_for(lambda: c.moved(seen), timeout)
            finally:
                c.waiting -= 1
                c.last = time.monotonic()

    def close(self) -> None:
        with self._cond:
            self._count.closed = True
            self._cond.notify_all()

    def _done(self) -> bool:
        with self._cond:
            mine = os.getpid() == self._pid  # a thread copied by a fork is not the child's
            if not mine or self._count.idle(time.monotonic()):
                if mine:
                    self._running = False
                    self._count.subscribed = False
                return True
            return False

    def _run(self) -> None:
        pubsub: Any = None
        try:
            while not self._done():
                try:
                    if pubsub is None:
                        pubsub = self._env.subscribe(self._channel)
                    message = pubsub.get_message(timeout=_core.FALLBACK_POLL)
                except Exception:
                    with self._cond:
                        pause = self._count.broken()
                    _close_quietly(pubsub)
                    pubsub = None
                    time.sleep(pause)
                    continue
                with self._cond:
                    if self._count.message(message):
                        self._cond.notify_all()
        finally:
            _close_quietly(pubsub)


class RateLimiter(Forked):
    """A budget shared by every limiter with the same name on the same Redis
    database, for threaded code. Windows follow the Redis server's clock."""

    def __init__(self, client: Union[redis.Redis, redis.cluster.RedisCluster], name: str,
                 sec: Optional[int] = None, min: Optional[int] = None,
                 hour: Optional[int] = None, day: Optional[int] = None,
                 sec_window: Optional[int] = None, min_window: Optional[int] = None,
                 hour_window: Optional[int] = None, day_window: Optional[int] = None,
                 blocking: bool = True, max_burst: Optional[int] = None, *,
                 lease: float = 60.0, reserve: float = 0.0, _env: Any = None) -> None:
        if _env is None:
            check_client(client, (redis.Redis, redis.cluster.RedisCluster), "RateLimiter",
                         "redis.Redis or redis.cluster.RedisCluster")
        budget = Budget(name, (sec, min, hour, day),
                        (sec_window, min_window, hour_window, day_window),
                        blocking, max_burst, lease, reserve)
        self._env = env = _env(budget) if _env is not None else SyncEnv(client, budget)
        self._now = env.now
        self._blocking = blocking
        self._core = Core(budget, env.now())
        self._background = Background(self._core, env)
        self._start()
        self._watch_forks()
        # A limiter collected without close(): its background thread hands
        # back what it holds. (Not under the lock: a collection may run
        # while this very thread holds it.)
        weakref.finalize(self, _gone, self._core, self._background)

    def _start(self) -> None:
        self._lock = self._background.lock
        self._closing = threading.Event()
        self._releases = self._env.releases(self._core.budget.channel)
        if self._core.closed:
            self._closing.set()
            self._releases.close()

    def _after_fork(self) -> None:
        # The parent's threads and locks are not the child's, nor are its
        # leases and block.
        self._core.after_fork(self._env.now())
        self._background.reset()
        self._start()

    def acquire(self) -> bool:
        """Take one permit: True when granted; False when a non-blocking
        limiter found none. A blocking one waits: for full windows until the
        latest of their reopening times the server reported, for the burst
        cap until a release anywhere or the earliest lease expiry."""
        core = self._core
        with self._lock:
            if core.closed:
                raise closed_error()
            now = self._now()
            if core.take_one(now):
                return True
            ask = core.ask(1, now)
        return self._ask(ask)

    def _ask(self, ask: Ask) -> bool:
        """The rest of an acquire: script calls and waits."""
        core, env, lock = self._core, self._env, self._lock
        listening = False
        seen: Optional[int] = None
        while True:
            try:
                reply = env.call(ask.args)
                with lock:
                    grants, reason, wait = core.answered(ask, reply, env.now())
                    self._background.ensure()
            except BaseException:
                with lock:
                    core.lost(ask)
                    self._background.ensure()
                raise
            if core.closed:
                raise closed_error()
            if grants:
                return True
            action, seconds = core.after_refusal(self._blocking, listening, reason, wait)
            if action == REFUSED:
                return False
            if action == SLEEP:
                env.wait(self._closing, seconds)
            elif action == SUBSCRIBE:
                listening = True
                self._releases.mark()
                self._releases.wait(None, seconds)
            else:
                assert action == LISTEN
                self._releases.wait(seen, seconds)
            if listening:
                seen = self._releases.mark()
            with lock:
                if core.closed:
                    raise closed_error()
                now = env.now()
                if core.take(1, now):  # another thread took a new block meanwhile
                    return True
                ask = core.ask(1, now)

    def release(self) -> None:
        """Hand back one burst permit this object holds; without one, do
        nothing."""
        with self._lock:
            lease = self._core.to_release()
        if lease is None:
            return
        try:
            self._env.call(self._core.wire.release_args([lease]))
        except BaseException:
            with self._lock:
                self._core.release_failed(lease, self._env.now())
                self._background.ensure()
            raise

    def close(self) -> None:
        """Hand back every burst permit this object holds, the unused
        permits of its block and every hand-back still queued, wake the
        threads waiting in acquire() (they raise ValueError), and stop the
        background threads once nothing is left to hand back. A hand-back
        that fails raises the client's error after the others were sent,
        and is tried again in the background. A later acquire() raises
        ValueError; release() does nothing; closing again sends only what
        was queued since."""
        with self._lock:
            hand_backs = self._core.close()
        self._closing.set()
        self._releases.close()
        try:
            error = self._background.send(hand_backs)
        finally:
            with self._lock:
                self._background.ensure()  # what failed is tried again
        if error is not None:
            raise error

    def get_remaining(self) -> Dict[str, int]:
        """Permits left in each configured window, and "burst" with
        max_burst."""
        return self._core.budget.remaining(self._env.call(self._core.wire.remaining_args))

    def wait_time(self) -> Optional[float]:
        """Seconds until the first full window reopens (at least 0.001), or
        None when no window is full."""
        return wait_seconds(self._env.call(self._core.wire.wait_args))

    def __enter__(self) -> None:
        if not self.acquire():
            raise ValueError("Failed to acquire permit")

    def __exit__(self, _exc_type: Optional[Type[BaseException]],
                 _exc_value: Optional[BaseException],
                 _traceback: Optional[TracebackType]) -> Literal[False]:
        self.release()
        return False


def _gone(core: Core, background: Background) -> None:
    # Whenever the core holds something, its thread runs (every change
    # that gives it work starts it), and sees this at its next look.
    core.gone = True
    background.kick.set()
