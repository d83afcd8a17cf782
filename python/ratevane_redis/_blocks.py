"""A block: permits one limiter object took ahead in one script call, and
the demand that sizes the next one."""

import math
from typing import Optional, Tuple

from ._wire import MAX_COUNT

# The local monotonic clock may run this much slower than the server's (a
# crystal's error is far less): a block is given up that much earlier.
DRIFT = 1e-4
# And a little more: the server reports its time in whole microseconds, and
# the last instant of an interval is not inside it.
GUARD = 0.0001

# Unused for four times its reserve (and at least this long), a block goes
# back: the demand it was sized for has stopped.
MIN_IDLE = 0.05

# A refund: the block's request id and its unused permits.
Refund = Tuple[bytes, int]


class Block:
    """A block is counted at the server in the current interval of every
    window; its permits may be handed out only while the server's clock is
    surely still inside all of those intervals. The server's time was read
    between the call's start (local monotonic t0) and its reply, so at
    local time t it is at most server_us + (t - t0): the block is good
    until that bound reaches the first interval's end."""

    __slots__ = ("seconds", "idle", "rid", "left", "deadline", "edge", "size", "calm_until",
                 "count", "since", "last_used")

    def __init__(self, seconds: float, now: float) -> None:
        self.seconds = seconds
        self.idle = max(4 * seconds, MIN_IDLE)
        self.rid = b""
        self.left = 0
        self.deadline = 0.0
        # Past the deadline, until the server's interval has surely rolled:
        # a block asked for now would be good for no time at all.
        self.edge = 0.0
        self.size = 0  # of the last block
        self.calm_until = 0.0  # after a refund asked by others: no blocks before
        self.count = 0  # permits asked for since `since`
        self.since = self.last_used = now

    def take(self, n: int, now: float) -> int:
        if self.left and now < self.deadline:
            k = n if n < self.left else self.left
            self.left -= k
            self.last_used = now
            return k
        return 0

    def put_back(self, rid: bytes, n: int) -> bool:
        """Permits of this block that a caller gave up before using them:
        handed out again while the block is good, and refunded with the
        rest of it (a block is refunded once, by its id)."""
        if rid != self.rid or not self.rid:
            return False
        self.left += n
        return True

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
                   MAX_COUNT)
        self.count = 0
        self.since = now
        return max(want, need)

    def store(self, rid: bytes, granted: int, used: int, t0: float, t1: float, server_us: int,
              good_us: int) -> Optional[Refund]:
        """Keep a new block's permits not used at once; the previous block,
        when it has permits left, to be refunded."""
        old = self.drop()
        self.size = granted
        self.deadline = t0 + (good_us - server_us) / 1e6 / (1 + DRIFT) - GUARD
        self.edge = self.deadline + (t1 - t0) + 2 * GUARD
        if granted > used:
            self.rid = rid
            self.left = granted - used
            self.last_used = t1
        return old

    def drop(self) -> Optional[Refund]:
        """Give up the block: its id and unused permits, if any. Its id
        goes with it: permits given up later go back on their own."""
        if not self.left:
            self.rid = b""
            return None
        out = (self.rid, self.left)
        self.left = 0
        self.rid = b""
        return out

    def settle(self, now: float, pressed: bool, after_roll: bool) -> Optional[Refund]:
        """Give up the block when its time has come, and say what to hand
        back: all of it when others are refused (then single permits for
        the rest of its interval, so the last ones go where the demand is)
        or when the block is idle; past its interval, only if longer
        windows get something back (after_roll)."""
        if not self.left:
            return None
        expired = now >= self.deadline
        if pressed:
            self.calm_until = self.deadline
        elif not (expired or now - self.last_used > self.idle):
            return None
        old = self.drop()
        return old if (pressed or not expired or after_roll) else None

    def next_due(self) -> float:
        """When settle() may next have something to do, pressure aside."""
        if not self.left:
            return math.inf
        return min(self.deadline, self.last_used + self.idle)
