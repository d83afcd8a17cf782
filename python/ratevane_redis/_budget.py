"""What both classes share: the checked configuration of a budget, its keys,
the script's arguments and the decoding of its answers."""

import hashlib
import math
import operator
import os
from itertools import count
from typing import Any, Callable, Coroutine, Dict, List, Optional, Sequence, Tuple

from redis.exceptions import NoScriptError

import ratevane

SCRIPT = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "budget.lua"),
              encoding="utf-8").read()
SHA = hashlib.sha1(SCRIPT.encode("utf-8")).hexdigest()

# The script's reasons for granting fewer permits than asked.
WINDOW, BURST, CANCELLED = 1, 2, 3

# Most permits one coalesced acquire asks for (the script keeps the count
# in ten bits beside the time of the grant).
MAX_BATCH = 1000

# A waiter for a burst permit is woken by a release, at the earliest lease
# expiry, or after this long at the latest (a message lost with a broken
# subscriber connection costs no more than this).
FALLBACK_POLL = 1.0

_UNITS = (("second", 1), ("minute", 60), ("hour", 3600), ("day", 86400))

Number = Any  # an int or a float; checked at run time


class Budget:
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
        if not (lease > 0 and math.isfinite(lease)):
            raise ValueError("lease must be a positive, finite number of seconds")

        self.name = name
        self.blocking = blocking
        self.max_burst = operator.index(max_burst) if max_burst is not None else 0
        self.lease = float(lease)
        self.lease_ms = max(1, round(lease * 1000))
        self.windows: List[Tuple[str, int, int]] = []  # (name, length s, limit)
        for (wname, unit), n, mult in zip(_UNITS, counts, multipliers):
            if n is not None:
                length = unit * (operator.index(mult) if mult is not None else 1)
                self.windows.append((wname, length, operator.index(n)))

        prefix = f"ratevane:{{{name}}}:"
        self.channel = prefix + "free"
        self.keys = [prefix + "req"] + [f"{prefix}w:{length}" for _, length, _ in self.windows]
        if self.max_burst:
            self.keys.append(prefix + "lease")
        config = " ".join(str(v) for v in [self.max_burst, self.lease_ms]
                          + [v for _, length, limit in self.windows for v in (length, limit)])
        self._acquire_op = "a" + config
        self.remaining_args = ["q" + config]
        self.wait_args = ["w" + config]
        self._renew_op = f"n{self.lease_ms}"
        self._tag = os.urandom(8).hex() + ":"
        self._ids = count()
        self._pid = os.getpid()

    def request_id(self) -> str:
        """A request id unique across processes and hosts. A forked child
        draws a new prefix, so it never repeats its parent's ids."""
        pid = os.getpid()
        if pid != self._pid:
            # The pid last: a thread that sees the new pid sees the new tag.
            self._tag = os.urandom(8).hex() + ":"
            self._ids = count()
            self._pid = pid
        return f"{self._tag}{next(self._ids)}"

    def acquire_args(self, rid: str, wanted: int = 1) -> List[Any]:
        return [self._acquire_op, rid] if wanted == 1 else [self._acquire_op, rid, wanted]

    def release_args(self, lease_ids: Sequence[str]) -> List[Any]:
        return ["r", *lease_ids]

    def renew_args(self, lease_ids: Sequence[str]) -> List[Any]:
        return [self._renew_op, *lease_ids]

    def cancel_args(self, rid: str) -> List[Any]:
        return ["x", rid]

    def lease_ids(self, rid: str, granted: int) -> List[str]:
        """The ids of the leases the script made for a grant (none without
        max_burst)."""
        if not self.max_burst:
            return [""] * granted
        return [f"{rid}#{j}" for j in range(1, granted + 1)]

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


def check_client(client: Any, kinds: Tuple[type, ...], owner: str, wanted: str) -> None:
    if not isinstance(client, kinds):
        raise TypeError(f"{owner} needs a {wanted} client, not {type(client).__name__}")


def sync_caller(client: Any, keys: Sequence[str]) -> Callable[[Sequence[Any]], Any]:
    """One EVALSHA of the script on the budget's keys. The script is loaded
    again when the server's cache has lost it (a restart, a failover or
    SCRIPT FLUSH); every other error is the client's own and propagates."""
    head = (SHA, len(keys), *keys)

    def call(args: Sequence[Any]) -> Any:
        try:
            return client.evalsha(*head, *args)
        except NoScriptError:
            client.script_load(SCRIPT)
            return client.evalsha(*head, *args)

    return call


def async_caller(client: Any,
                 keys: Sequence[str]) -> Callable[[Sequence[Any]], Coroutine[Any, Any, Any]]:
    """The same, for the redis.asyncio clients."""
    head = (SHA, len(keys), *keys)

    async def call(args: Sequence[Any]) -> Any:
        try:
            return await client.evalsha(*head, *args)
        except NoScriptError:
            await client.script_load(SCRIPT)
            return await client.evalsha(*head, *args)

    return call
