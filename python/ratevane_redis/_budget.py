"""What both classes share: the checked configuration of a budget, its keys,
the script's arguments and the decoding of its answers."""

import hashlib
import operator
import os
import struct
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

Number = Any  # an int or a float; checked at run time


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
        # The arguments go to the client already encoded: redis-py passes
        # bytes through as they are, and encoding costs time on every call.
        self.keys = [(prefix + k).encode() for k in ("req", "w")]
        if self.max_burst:
            self.keys.append((prefix + "lease").encode())
        numbers = [self.max_burst, self.lease_ms] + [
            v for _, length, limit in self.windows for v in (length, limit)]
        config = struct.pack(f"<{len(numbers)}d", *numbers)
        self._acquire_op = b"a" + config
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
