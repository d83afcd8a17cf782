"""A budget's configuration: the arguments checked once, its keys and its
channels."""

import operator
from typing import Any, Dict, List, Optional, Tuple

import ratevane

from ._wire import EXACT, LEASE_CAP_MS

_UNITS = (("second", 1, "sec", "sec_window"), ("minute", 60, "min", "min_window"),
          ("hour", 3600, "hour", "hour_window"), ("day", 86400, "day", "day_window"))

# The script counts in Lua's numbers, doubles: every count, limit and window
# length stays an exact integer up to EXACT (2**53), and larger ones are
# refused.

# A lease is renewed every third of its length, one round trip each. The
# shortest lease keeps that period (a third of a second) over a hundred
# times what a renewal costs on a slow network (a round trip of a few
# milliseconds), so a holder that is alive never loses its permit to a late
# renewal; the longest keeps every expiry the script sets far inside what
# the server accepts.
MIN_LEASE = 1.0
MAX_LEASE = LEASE_CAP_MS / 1000

# A block holds the demand of `reserve` seconds and is good until the end of
# the intervals it was counted in, a day at the most.
MAX_RESERVE = 86400.0

Number = Any  # an int or a float; checked at run time


def _seconds(value: Number, what: str, low: float, high: float, message: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    if not low <= value <= high:  # NaN fails both
        raise ValueError(message)
    return float(value)


def check_client(client: Any, kinds: Tuple[type, ...], owner: str, wanted: str) -> None:
    if not isinstance(client, kinds):
        raise TypeError(f"{owner} needs a {wanted} client, not {type(client).__name__}")


class Budget:
    """What one limiter object asks of its budget, checked once: the name,
    the windows as (name, length in seconds, limit), the burst cap and the
    lease, the block's reserve, and the budget's keys and channels."""

    def __init__(self, name: str, counts: Tuple[Optional[int], ...],
                 multipliers: Tuple[Optional[int], ...], blocking: bool,
                 max_burst: Optional[int], lease: Number, reserve: Number) -> None:
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
        self.lease = _seconds(lease, "lease", MIN_LEASE, MAX_LEASE,
                              "lease must be a number of seconds from 1 to 86400 (a day)")
        reserve = _seconds(reserve, "reserve", 0.0, MAX_RESERVE,
                           "reserve must be a number of seconds from 0 to 86400 (a day)")

        self.name = name
        self.blocking = blocking
        self.max_burst = operator.index(max_burst) if max_burst is not None else 0
        if self.max_burst > EXACT:
            raise ValueError("max_burst must be at most 2**53 in a shared budget")
        self.lease_ms = round(self.lease * 1000)
        # Blocks count windows only: with max_burst every permit is a lease
        # of its own, taken and handed back by one call each.
        self.reserve = 0.0 if self.max_burst else reserve
        self.windows: List[Tuple[str, int, int]] = []
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
        # A refund after a roll gives back to the longer windows only: with
        # one window length there is nothing left to give back to.
        self.refund_after_roll = len({length for _, length, _ in self.windows}) > 1

        prefix = f"ratevane:{{{name}}}:"
        self.channel = prefix + "free"
        self.press_channel = prefix + "press"
        # Encoded once: redis-py passes bytes through as they are.
        self.keys = [(prefix + k).encode() for k in ("req", "w")]
        if self.max_burst:
            self.keys.append((prefix + "lease").encode())

    def remaining(self, reply: Any) -> Dict[str, int]:
        names = [wname for wname, _, _ in self.windows]
        if self.max_burst:
            names.append("burst")
        return dict(zip(names, (int(v) for v in reply)))
