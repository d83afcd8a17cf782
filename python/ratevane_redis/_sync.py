"""RateLimiter: a budget shared through Redis, for threaded code."""

import atexit
import os
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Callable, Dict, List, Literal, Optional, Sequence, Tuple, Type, Union

import redis
import redis.cluster

from ._budget import (BURST, FALLBACK_POLL, SUBSCRIBER_IDLE, Budget, ForkState, Reserve,
                      acquire_reply, block_reply, check_client, check_reserve, closed_error,
                      sync_caller, wait_seconds)

# How often the block holder's thread looks at its block at the latest: a
# block past its interval or idle goes back within this.
HOLDER_POLL = 0.05


class _Leases(ForkState):
    """The leases one limiter object holds. A daemon thread renews them every
    third of a lease while any are held, and ends when none are. It holds no
    reference to the limiter: when the limiter is closed or collected, the
    thread hands back what is still held and ends. At interpreter exit the
    leases still held are handed back too."""

    def __init__(self, call: Callable[[Sequence[Any]], Any], budget: Budget) -> None:
        self._call = call
        self._budget = budget
        self._closed = False
        self._reset()
        super().__init__()
        _all_leases.add(self)

    def _reset(self) -> None:
        # At construction, and in a forked child: the child holds none of
        # its parent's leases (the parent still renews and releases them),
        # and the parent's thread, which may have held the lock at the fork,
        # is not the child's.
        self._cond = threading.Condition()
        self._held: Dict[bytes, None] = {}
        self._thread: Optional[threading.Thread] = None

    _after_fork = _reset

    def add(self, lease_id: bytes) -> bool:
        """Hold a lease; False when the limiter is closed (the caller hands
        it back)."""
        with self._cond:
            if self._closed:
                return False
            self._held[lease_id] = None
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="ratevane-redis-lease",
                                                daemon=True)
                self._thread.start()
            return True

    def take(self) -> Optional[bytes]:
        with self._cond:
            return self._held.popitem()[0] if self._held else None

    def close(self) -> List[bytes]:
        """Stop renewing; the leases still held, for the caller to hand back."""
        with self._cond:
            self._closed = True
            ids = list(self._held)
            self._held.clear()
            self._cond.notify_all()
            return ids

    def drop(self) -> None:
        """The limiter is gone: the thread hands back what is held. (Not
        here: a collection may run this inside the client's own locked
        code.)"""
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def _run(self) -> None:
        b = self._budget
        while True:
            with self._cond:
                if self._held and not self._closed:
                    self._cond.wait(b.lease / 3)
                if self._closed or not self._held:
                    ids = list(self._held)
                    self._held.clear()
                    self._thread = None
                    break
                ids = list(self._held)
            try:
                lost = self._call(b.renew_args(ids))
            except Exception:
                # The store is out of reach: the next period tries again.
                # Leases not renewed within one lease run out, as they must.
                continue
            with self._cond:
                for position in lost:
                    self._held.pop(ids[int(position) - 1], None)
        if ids:
            _best_effort(self._call, b.release_args(ids))


def _best_effort(call: Callable[[Sequence[Any]], Any], args: List[Any]) -> None:
    """A hand-back, cancel or refund whose failure costs only time: a lease
    not handed back runs out, and a block not refunded is lost to its
    intervals."""
    try:
        call(args)
    except Exception:
        pass


_all_leases: "weakref.WeakSet[_Leases]" = weakref.WeakSet()


class _Blocks(ForkState):
    """The block of permits one limiter object took ahead, behind one lock.
    While a block is held, a daemon thread listens on the budget's pressure
    channel (a refusal elsewhere publishes there) and hands the unused
    permits back: when pressed, when the block's interval ends (to the
    longer windows), when it has been idle, and when the limiter is closed
    or collected. It holds no reference to the limiter. At interpreter exit
    every block still held goes back too."""

    def __init__(self, client: Any, call: Callable[[Sequence[Any]], Any], budget: Budget,
                 seconds: float) -> None:
        self._client = client
        self._call = call
        self._budget = budget
        self._seconds = seconds
        self._closed = False
        self._reset()
        super().__init__()
        _all_blocks.add(self)

    def _reset(self) -> None:
        # In a forked child the block stays the parent's: the parent uses
        # it or hands it back, the child takes its own.
        self.lock = threading.Lock()
        self.reserve = Reserve(self._seconds)
        self._refunds: List[Tuple[bytes, int]] = []
        self._thread: Optional[threading.Thread] = None

    _after_fork = _reset

    def keep(self, rid: bytes, granted: int, t0: float, server_us: int, good_us: int) -> None:
        """A new block, one of whose permits the caller takes."""
        with self.lock:
            old = self.reserve.store(rid, granted, 1, t0, server_us, good_us)
            if old is not None:
                self._refunds.append(old)
            if self._thread is None and (self.reserve.left or self._refunds):
                self._thread = threading.Thread(target=self._run, name="ratevane-redis-block",
                                                daemon=True)
                self._thread.start()

    def refund_soon(self, rid: bytes) -> None:
        """A block whose answer was lost: all of it goes back (if it was
        granted), and a late copy of it grants nothing."""
        threading.Thread(target=_best_effort, args=(self._call, self._budget.refund_args(rid)),
                         name="ratevane-redis-refund", daemon=True).start()

    def drop(self) -> None:
        """The limiter is gone: the thread hands the block back. (No lock:
        a collection may run this while this thread holds it.)"""
        self._closed = True

    def close(self) -> Optional[Tuple[bytes, int]]:
        with self.lock:
            self._closed = True
            return self.reserve.drop()

    def _due(self, pressed: bool) -> Tuple[List[Tuple[bytes, int]], bool]:
        """What goes back now, and whether the thread goes on."""
        with self.lock:
            r = self.reserve
            refunds, self._refunds = self._refunds, []
            old = r.settle(time.monotonic(), pressed, self._closed,
                           self._budget.refund_after_roll)
            if old is not None:
                refunds.append(old)
            going = bool(r.left) and not self._closed
            if not going:
                self._thread = None
            return refunds, going

    def _run(self) -> None:
        pubsub: Any = None
        pressed = False
        try:
            while True:
                refunds, going = self._due(pressed)
                for rid, unused in refunds:
                    _best_effort(self._call, self._budget.refund_args(rid, unused))
                if not going:
                    return
                pressed = False
                try:
                    if pubsub is None:
                        pubsub = self._client.pubsub()
                        pubsub.subscribe(self._budget.press_channel)
                    message = pubsub.get_message(timeout=HOLDER_POLL)
                    pressed = message is not None and message["type"] == "message"
                except Exception:
                    # Out of reach: the block still goes back when due.
                    _close_quietly(pubsub)
                    pubsub = None
                    time.sleep(HOLDER_POLL)
        finally:
            _close_quietly(pubsub)


_all_blocks: "weakref.WeakSet[_Blocks]" = weakref.WeakSet()


@atexit.register
def _hand_back_at_exit() -> None:
    for leases in list(_all_leases):
        ids = leases.close()
        if ids:
            _best_effort(leases._call, leases._budget.release_args(ids))
    for blocks in list(_all_blocks):
        old = blocks.close()
        if old is not None:
            _best_effort(blocks._call, blocks._budget.refund_args(*old))


class _Releases(ForkState):
    """The release messages on a budget's channel, counted through one
    subscriber connection for every thread waiting on one limiter object.
    Its daemon thread starts at the first burst wait, subscribes again after
    the connection broke, and ends when the limiter is gone or nobody has
    waited for SUBSCRIBER_IDLE seconds. It holds no reference to the limiter.
    A (re)subscription counts as a release too: messages published while it
    was not subscribed are lost, so the waiters ask the server again."""

    def __init__(self, client: Any, channel: str) -> None:
        self._client = client
        self._channel = channel
        self._closed = False
        self._reset()
        super().__init__()

    def _reset(self) -> None:
        # At construction, and in a forked child: the parent's thread and
        # connection are not the child's (it starts its own when it waits).
        self._cond = threading.Condition()
        self._thread: Optional[threading.Thread] = None
        self._pid = os.getpid()
        self._count = 0
        self._ready = False  # subscribed: no release from now on is missed
        self._waiting = 0
        self._last = time.monotonic()

    _after_fork = _reset

    def mark(self) -> Optional[int]:
        """Start the subscriber if it is not running; the count to wait past
        after the next ask, or None while it is not subscribed."""
        with self._cond:
            self._last = time.monotonic()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="ratevane-redis-releases",
                                                daemon=True)
                self._thread.start()
            return self._count if self._ready else None

    def wait(self, seen: Optional[int], timeout: float) -> None:
        """Until the count moves past seen (seen None: until subscribed), or
        for timeout at most."""
        with self._cond:
            self._waiting += 1
            try:
                if seen is None:
                    self._cond.wait_for(lambda: self._ready, timeout)
                else:
                    self._cond.wait_for(lambda: self._count != seen, timeout)
            finally:
                self._waiting -= 1
                self._last = time.monotonic()

    def close(self) -> None:
        self._closed = True

    def _moved(self, subscribed: Optional[bool]) -> None:
        with self._cond:
            if subscribed is not None:
                self._ready = subscribed
            if subscribed is not False:
                self._count += 1
            self._cond.notify_all()

    def _done(self) -> bool:
        with self._cond:
            if (self._closed or os.getpid() != self._pid
                    or (not self._waiting and time.monotonic() - self._last > SUBSCRIBER_IDLE)):
                if os.getpid() == self._pid:
                    self._thread = None
                    self._ready = False
                return True
            return False

    def _run(self) -> None:
        pubsub: Any = None
        pause = 0.05
        try:
            while not self._done():
                try:
                    if pubsub is None:
                        pubsub = self._client.pubsub()
                        pubsub.subscribe(self._channel)
                    message = pubsub.get_message(timeout=FALLBACK_POLL)
                except Exception:
                    # Out of reach: the waiters poll meanwhile (their script
                    # calls see the error themselves); subscribe again soon.
                    self._moved(False)
                    _close_quietly(pubsub)
                    pubsub = None
                    time.sleep(pause)
                    pause = min(pause * 2, FALLBACK_POLL)
                    continue
                pause = 0.05
                if message is not None:
                    if message["type"] == "subscribe":
                        self._moved(True)
                    elif message["type"] == "message":
                        self._moved(None)
        finally:
            _close_quietly(pubsub)


def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            pubsub.close()
        except Exception:
            pass


class RateLimiter:
    """A budget shared by every limiter with the same name on the same Redis
    database, for threaded code. Windows follow the Redis server's clock."""

    def __init__(self, client: Union[redis.Redis, redis.cluster.RedisCluster], name: str,
                 sec: Optional[int] = None, min: Optional[int] = None,
                 hour: Optional[int] = None, day: Optional[int] = None,
                 sec_window: Optional[int] = None, min_window: Optional[int] = None,
                 hour_window: Optional[int] = None, day_window: Optional[int] = None,
                 blocking: bool = True, max_burst: Optional[int] = None, *,
                 lease: float = 60.0, reserve: float = 0.0) -> None:
        check_client(client, (redis.Redis, redis.cluster.RedisCluster), "RateLimiter",
                     "redis.Redis or redis.cluster.RedisCluster")
        self._budget = Budget(name, (sec, min, hour, day),
                              (sec_window, min_window, hour_window, day_window),
                              blocking, max_burst, lease)
        seconds = check_reserve(reserve)
        self._client = client
        self._closed = False
        self._call = sync_caller(client, self._budget.keys)
        self._leases = _Leases(self._call, self._budget)
        # Not at exit: _hand_back_at_exit hands the leases back itself,
        # before the daemon thread could be stopped halfway. (The stubs
        # of finalize lack its documented atexit attribute.)
        weakref.finalize(self, self._leases.drop).atexit = False  # type: ignore[misc]
        self._releases = _Releases(client, self._budget.channel)
        weakref.finalize(self, self._releases.close)
        # Blocks count windows only: with max_burst every permit is a lease
        # of its own, taken and handed back by one call each.
        self._blocks: Optional[_Blocks] = None
        if seconds and not self._budget.max_burst:
            self._blocks = _Blocks(client, self._call, self._budget, seconds)
            weakref.finalize(self, self._blocks.drop).atexit = False  # type: ignore[misc]

    def acquire(self) -> bool:
        """Take one permit: True when granted; False when a non-blocking
        limiter found none. A blocking one waits: for full windows until the
        latest of their reopening times the server reported, for the burst
        cap until a release anywhere or the earliest lease expiry."""
        if self._closed:
            raise closed_error()
        blocks = self._blocks
        if blocks is not None:
            with blocks.lock:
                r = blocks.reserve
                r.count += 1
                if r.left:
                    now = time.monotonic()
                    if now < r.deadline:
                        r.left -= 1
                        r.last_used = now
                        return True
        b = self._budget
        rid = b.request_id()
        args = b.acquire_args(rid)
        releases = self._releases
        waiting = False  # for a burst permit, on the release messages
        seen: Optional[int] = None  # their count before the last ask
        while True:
            if waiting:
                seen = releases.mark()
            if blocks is not None:
                granted, reason, wait = self._from_block(blocks, args)
            else:
                granted, reason, wait = self._ask(args, rid)
            if granted:
                return True
            if not b.blocking:
                return False
            if reason != BURST:
                time.sleep(wait)
            elif not waiting:
                # Subscribed first, then asked again (with the count
                # read before the ask): a release cannot be missed.
                waiting = True
                releases.mark()
                releases.wait(None, min(wait, FALLBACK_POLL))
            else:
                releases.wait(seen, min(wait, FALLBACK_POLL))

    def _ask(self, args: List[Any], rid: bytes) -> Tuple[int, int, float]:
        """One acquire call of the script."""
        b = self._budget
        try:
            granted, reason, wait = acquire_reply(self._call(args))
            kept = granted and (not b.max_burst or self._leases.add(b.lease_ids(rid, 1)[0]))
        except Exception:
            # The answer is lost (a timeout, a broken connection), and the
            # script may have granted the permit. The cancel goes from a
            # thread of its own: the caller sees the client's error as soon
            # as the client gives up, not after the client's retries of the
            # cancel as well.
            if b.max_burst:
                threading.Thread(target=_best_effort, args=(self._call, b.cancel_args(rid)),
                                 name="ratevane-redis-cancel", daemon=True).start()
            raise
        except BaseException:
            # Ctrl-C during the call: the connection itself is sound.
            self._forget(rid)
            raise
        if granted and not kept:  # closed meanwhile
            self._forget(rid)
            raise closed_error()
        return granted, reason, wait

    def _from_block(self, blocks: _Blocks, args: List[Any]) -> Tuple[int, int, float]:
        """A permit of the block (another thread may have taken a new one
        meanwhile), else a new block sized to this object's demand, or a
        single permit when the demand is one."""
        with blocks.lock:
            now = time.monotonic()
            if blocks.reserve.take(1, now):
                return 1, 0, 0.0
            wanted = blocks.reserve.wanted(1, now)
        if wanted == 1:
            return acquire_reply(self._call(args))  # holds nothing: no cancel needed
        b = self._budget
        rid = b.request_id()
        t0 = time.monotonic()
        try:
            granted, reason, wait, server_us, good_us = block_reply(
                self._call(b.block_args(rid, wanted)))
        except Exception:
            blocks.refund_soon(rid)
            raise
        except BaseException:
            _best_effort(self._call, b.refund_args(rid))
            raise
        if granted:
            blocks.keep(rid, granted, t0, server_us, good_us)
        return granted, reason, wait

    def _forget(self, rid: bytes) -> None:
        """Free what request rid may have been granted, and make a late copy
        of it grant nothing (without max_burst a grant holds nothing)."""
        if self._budget.max_burst:
            _best_effort(self._call, self._budget.cancel_args(rid))

    def release(self) -> None:
        """Hand back one burst permit this object holds; without one, do
        nothing."""
        lease = self._leases.take()
        if lease is None:
            return
        try:
            self._call(self._budget.release_args([lease]))
        except BaseException:
            # Still held as far as this object knows: renewed, and a later
            # release frees it (a renewal finds it gone if it was freed).
            if not self._leases.add(lease):
                _best_effort(self._call, self._budget.release_args([lease]))
            raise

    def close(self) -> None:
        """Hand back every burst permit this object holds and the unused
        permits of its block, and stop its background threads. A later
        acquire() raises ValueError; release()
        does nothing; closing again does nothing."""
        self._closed = True
        self._releases.close()
        old = self._blocks.close() if self._blocks is not None else None
        if old is not None:
            self._call(self._budget.refund_args(*old))
        ids = self._leases.close()
        if ids:
            self._call(self._budget.release_args(ids))

    def get_remaining(self) -> Dict[str, int]:
        """Permits left in each configured window, and "burst" with
        max_burst."""
        return self._budget.remaining(self._call(self._budget.remaining_args))

    def wait_time(self) -> Optional[float]:
        """Seconds until the first full window reopens (at least 0.001), or
        None when no window is full."""
        return wait_seconds(self._call(self._budget.wait_args))

    def __enter__(self) -> None:
        if not self.acquire():
            raise ValueError("Failed to acquire permit")

    def __exit__(self, _exc_type: Optional[Type[BaseException]],
                 _exc_value: Optional[BaseException],
                 _traceback: Optional[TracebackType]) -> Literal[False]:
        self.release()
        return False
