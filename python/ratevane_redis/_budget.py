"""What both classes share: the checked configuration of a budget, its keys,
the script's arguments and the decoding of its answers."""

import hashlib
import math
import operator
import os
import struct
import time
import weakref
from itertools import count
from typing import Any, Callable, Coroutine, Dict, List, Optional, Sequence, Tuple

from redis.exceptions import NoScriptError

import ratevane

SCRIPT = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "budget.lua"),
              encoding="utf-8").read()
SHA = hashlib.sha1(SCRIPT.encode("utf-8")).hexdigest()
SHA_BYTES = SHA.encode()

# The script's reasons for granting fewer permits than asked.
WINDOW, BURST, CANCELLED = 1, 2, 3

# Most permits one coalesced acquire asks for (the script keeps the count
# in ten bits beside the time of the grant).
MAX_BATCH = 1000

# A waiter for a burst permit is woken by a release, at the earliest lease
# expiry, or after this long at the latest (a message lost with a broken
# subscriber connection costs no more than this).
FALLBACK_POLL = 1.0

# A limiter object's subscriber (the one connection that counts the release
# messages for all of its waiters) ends after this long with nobody waiting.
SUBSCRIBER_IDLE = 10.0

_UNITS = (("second", 1, "sec", "sec_window"), ("minute", 60, "min", "min_window"),
          ("hour", 3600, "hour", "hour_window"), ("day", 86400, "day", "day_window"))

# The script counts in Lua's numbers, doubles: every count, limit and window
# length stays an exact integer up to 2**53, and larger ones are refused.
EXACT = 2**53

# The longest lease: a holder renews well within it, and every expiry the
# script sets stays far inside what the server accepts.
MAX_LEASE = 86400.0

# A request id is recognised again for this long after its grant, or for the
# limiter's lease if that is longer (the script's KEEP_MS).
KEEP = 60.0

# Most permits one block takes ahead (the script keeps the count in ten
# bits beside the time of the grant).
MAX_BLOCK = 1023

# The local monotonic clock may run this much slower than the server's (a
# crystal's error is far less): a block is given up that much earlier.
DRIFT = 1e-4
# And a little more: the server reports its time in whole microseconds, and
# the last instant of an interval is not inside it.
GUARD = 0.0001

Number = Any  # an int or a float; checked at run time


def check_reserve(reserve: Number) -> float:
    if isinstance(reserve, bool) or not isinstance(reserve, (int, float)):
        raise TypeError(f"reserve must be a number of seconds, not {type(reserve).__name__}")
    if not 0 <= reserve < math.inf:
        raise ValueError("reserve must be a finite, non-negative number of seconds")
    return float(reserve)


class Reserve:
    """The permits one limiter object took ahead in a block, and its recent
    demand. A block is counted at the server in the current interval of
    every window; its permits may be handed out only while the server's
    clock is surely still inside all of those intervals. The server's time
    was read between the call's start (local monotonic t0) and its reply,
    so at local time t it is at most server_us + (t - t0): the block is good
    until that bound reaches the first interval's end. Not thread-safe:
    the sync class guards it with a lock, the async one uses it from its
    loop."""

    __slots__ = ("seconds", "idle", "rid", "left", "deadline", "edge", "size", "calm_until",
                 "count", "since", "last_used")

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        # Unused this long, a block goes back: the demand it was sized for
        # has stopped.
        self.idle = max(4 * seconds, 0.05)
        self.rid = b""
        self.left = 0
        self.deadline = 0.0
        # Past the deadline, until the server's interval has surely rolled:
        # a block asked for now would be good for no time at all.
        self.edge = 0.0
        self.size = 0  # of the last block
        self.calm_until = 0.0  # after a refund asked by others: no blocks before
        self.count = 0  # acquires since `since`
        self.since = self.last_used = time.monotonic()

    def take(self, n: int, now: float) -> int:
        if self.left and now < self.deadline:
            k = n if n < self.left else self.left
            self.left -= k
            self.last_used = now
            return k
        return 0

    def wanted(self, need: int, now: float) -> int:
        """Permits to ask the server for, `need` of them for callers waiting
        now: the demand of `seconds`, at the rate since the last ask, and
        at most about twice the last block or the acquires made since then
        (a rate measured over a moment says little)."""
        if now < self.calm_until or self.deadline <= now < self.edge:
            return need
        elapsed = now - self.since
        rate = self.count / elapsed if elapsed > 0 else 0.0
        want = min(math.ceil(rate * self.seconds), 2 * max(self.count, self.size) + 1,
                   MAX_BLOCK)
        self.count = 0
        self.since = now
        return max(want, need)

    def store(self, rid: bytes, granted: int, used: int, t0: float, server_us: int,
              good_us: int) -> Optional[Tuple[bytes, int]]:
        """Keep a new block's permits not used at once; the previous block,
        when it has permits left, to be refunded."""
        old = self.drop()
        self.size = granted
        t1 = time.monotonic()
        self.deadline = t0 + (good_us - server_us) / 1e6 / (1 + DRIFT) - GUARD
        self.edge = self.deadline + (t1 - t0) + 2 * GUARD
        if granted > used:
            self.rid = rid
            self.left = granted - used
        return old

    def drop(self) -> Optional[Tuple[bytes, int]]:
        """Give up the block: its id and unused permits, if any."""
        if not self.left:
            return None
        out = (self.rid, self.left)
        self.left = 0
        return out

    def settle(self, now: float, pressed: bool, closed: bool,
               after_roll: bool) -> Optional[Tuple[bytes, int]]:
        """Give up the block when its time has come, and say what to hand
        back: all of it when others are refused (then single permits for
        the rest of its interval, so the last ones go where the demand is),
        when the limiter is closed or the block idle; past its interval,
        only if longer windows get something back (after_roll)."""
        if not self.left:
            return None
        expired = now >= self.deadline
        if pressed:
            self.calm_until = self.deadline
        elif not (closed or expired or now - self.last_used > self.idle):
            return None
        old = self.drop()
        return old if (closed or pressed or not expired or after_roll) else None


class ForkState:
    """What a forked child must not share with its parent: each of the
    module's objects that holds a lock, a thread, a task or a lease resets
    its own part in `_after_fork`, called in the child by one hook for all of
    them. `generation` counts the forks a process is away from its start, so
    a task copied into a child (its loop copied with it) sees it is not the
    parent's and stops."""

    generation = 0

    def __init__(self) -> None:
        _fork_states.add(self)

    def _after_fork(self) -> None:
        raise NotImplementedError


_fork_states: "weakref.WeakSet[ForkState]" = weakref.WeakSet()


def _reset_in_child() -> None:
    ForkState.generation += 1
    for state in list(_fork_states):
        state._after_fork()


os.register_at_fork(after_in_child=_reset_in_child)


class Budget(ForkState):
    """A budget's configuration, keys and script arguments, checked once."""

    def __init__(self, name: str, counts: Tuple[Optional[int], ...],
                 multipliers: Tuple[Optional[int], ...], blocking: bool,
                 max_burst: Optional[int], lease: Number) -> None:
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__}")
        if not name:
            raise ValueError("name must not be empty")
        if "{" in name or "}" in name:
            # The name is the keys' hash tag: a brace in it would split the
            # budget's keys over several cluster slots.
            raise ValueError("name must not contain '{' or '}'")
        # The native class checks the window arguments: the same exception
        # types and messages as a process-local limiter, from one place.
        sec, minute, hour, day = counts
        sec_window, min_window, hour_window, day_window = multipliers
        ratevane.RateLimiter(sec, minute, hour, day, sec_window, min_window, hour_window,
                             day_window, blocking, max_burst)
        if isinstance(lease, bool) or not isinstance(lease, (int, float)):
            raise TypeError(f"lease must be a number of seconds, not {type(lease).__name__}")
        if not 0 < lease <= MAX_LEASE:
            raise ValueError("lease must be a positive number of seconds, at most 86400 (a day)")

        self.name = name
        self.blocking = blocking
        self.max_burst = operator.index(max_burst) if max_burst is not None else 0
        if self.max_burst > EXACT:
            raise ValueError("max_burst must be at most 2**53 in a shared budget")
        self.lease = float(lease)
        self.lease_ms = max(1, round(lease * 1000))
        self.windows: List[Tuple[str, int, int]] = []  # (name, length s, limit)
        for (wname, unit, count_arg, mult_arg), n, mult in zip(_UNITS, counts, multipliers):
            if n is not None:
                length = unit * (operator.index(mult) if mult is not None else 1)
                limit = operator.index(n)
                if limit > EXACT:
                    raise ValueError(f"{count_arg} must be at most 2**53 in a shared budget")
                if length > EXACT:
                    raise ValueError(f"{mult_arg} makes the {wname} window longer than 2**53 "
                                     "seconds, more than a shared budget counts exactly")
                self.windows.append((wname, length, limit))

        prefix = f"ratevane:{{{name}}}:"
        self.channel = prefix + "free"
        self.press_channel = prefix + "press"
        # The arguments go to the client already encoded: redis-py passes
        # bytes through as they are, and encoding costs time on every call.
        self.keys = [(prefix + k).encode() for k in ("req", "w")]
        if self.max_burst:
            self.keys.append((prefix + "lease").encode())
        numbers = [self.max_burst, self.lease_ms] + [
            v for _, length, limit in self.windows for v in (length, limit)]
        config = struct.pack(f"<{len(numbers)}d", *numbers)
        self._acquire_op = b"a" + config
        self._block_op = b"b" + config
        self._refund_op = b"f" + config
        # A refund after a roll gives back to the longer windows only: with
        # one window length there is nothing left to give back to.
        self.refund_after_roll = len({length for _, length, _ in self.windows}) > 1
        self.remaining_args = [b"q" + config]
        self.wait_args = [b"w" + config]
        self._renew_op = f"n{self.lease_ms}".encode()
        self._cancel_op = f"x{self.lease_ms}".encode()
        self._new_tag()
        super().__init__()

    def _after_fork(self) -> None:
        self._new_tag()

    def _new_tag(self) -> None:
        self._tag = os.urandom(8).hex().encode() + b":"
        self._ids = count()

    def request_id(self) -> bytes:
        """A request id unique across processes and hosts. A forked child
        draws a new prefix (at the fork), so it never repeats its parent's
        ids."""
        return self._tag + b"%d" % next(self._ids)

    def acquire_args(self, rid: bytes, wanted: int = 1) -> List[Any]:
        return [self._acquire_op, rid] if wanted == 1 else [self._acquire_op, rid, wanted]

    def block_args(self, rid: bytes, wanted: int) -> List[Any]:
        return [self._block_op, rid, wanted]

    def refund_args(self, rid: bytes, unused: Optional[int] = None) -> List[Any]:
        return [self._refund_op, rid] if unused is None else [self._refund_op, rid, unused]

    def release_args(self, lease_ids: Sequence[bytes]) -> List[Any]:
        return [b"r", *lease_ids]

    def renew_args(self, lease_ids: Sequence[bytes]) -> List[Any]:
        return [self._renew_op, *lease_ids]

    def cancel_args(self, rid: bytes) -> List[Any]:
        return [self._cancel_op, rid]

    def lease_ids(self, rid: bytes, granted: int) -> List[bytes]:
        """The ids of the leases the script made for a grant (none without
        max_burst)."""
        if not self.max_burst:
            return [b""] * granted
        return [rid + b"#%d" % j for j in range(1, granted + 1)]

    def remaining(self, reply: Sequence[int]) -> Dict[str, int]:
        names = [wname for wname, _, _ in self.windows]
        if self.max_burst:
            names.append("burst")
        return dict(zip(names, (int(v) for v in reply)))


def acquire_reply(reply: Any) -> Tuple[int, int, float]:
    """(permits granted, reason for no more, seconds to wait) from the
    script's one-integer answer to an acquire."""
    value = int(reply)
    if value > 0:
        return value, 0, 0.0
    value = -value
    return value % 1024, (value >> 10) % 4, (value >> 12) / 1e6


def block_reply(reply: Any) -> Tuple[int, int, float, int, int]:
    """(permits granted, reason for no more, seconds to wait, server time
    us, good until us) from the script's answer to a block."""
    granted, reason, wait, server_us, good_us = (int(v) for v in reply)
    return granted, reason, wait / 1e6, server_us, good_us


def wait_seconds(reply: Any) -> Optional[float]:
    micros = int(reply)
    return None if micros < 0 else max(micros / 1e6, 0.001)


def closed_error() -> ValueError:
    return ValueError("limiter is closed")


def check_client(client: Any, kinds: Tuple[type, ...], owner: str, wanted: str) -> None:
    if not isinstance(client, kinds):
        raise TypeError(f"{owner} needs a {wanted} client, not {type(client).__name__}")


def sync_caller(client: Any, keys: Sequence[bytes]) -> Callable[[Sequence[Any]], Any]:
    """One EVALSHA of the script on the budget's keys. The script is loaded
    again when the server's cache has lost it (a restart, a failover or
    SCRIPT FLUSH); every other error is the client's own and propagates."""
    head = ("EVALSHA", SHA_BYTES, str(len(keys)).encode(), *keys)
    execute = client.execute_command

    def call(args: Sequence[Any]) -> Any:
        try:
            return execute(*head, *args)
        except NoScriptError:
            client.script_load(SCRIPT)
            return execute(*head, *args)

    return call


def async_caller(client: Any,
                 keys: Sequence[bytes]) -> Callable[[Sequence[Any]], Coroutine[Any, Any, Any]]:
    """The same, for the redis.asyncio clients."""
    head = ("EVALSHA", SHA_BYTES, str(len(keys)).encode(), *keys)
    execute = client.execute_command

    async def call(args: Sequence[Any]) -> Any:
        try:
            return await execute(*head, *args)
        except NoScriptError:
            await client.script_load(SCRIPT)
            return await execute(*head, *args)

    return call
