"""The wire between the limiters and budget.lua: the constants both sides
share, the script's arguments, and the decoding of its answers."""

import os
import struct
from itertools import count
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from ._config import Budget

# --- shared with budget.lua ---
OP_ACQUIRE = b"a"
OP_BLOCK = b"b"
OP_REFUND = b"f"
OP_RELEASE = b"r"
OP_RENEW = b"n"
OP_CANCEL = b"x"
OP_REMAINING = b"q"
OP_WAIT = b"w"
BLOCK_WHOLE = b"1"  # b's 4th argument: no halving
COUNT_BITS = 10  # permits in a grant's score and a packed reply
COUNT_UNIT = 1024  # 2**COUNT_BITS
REASON_BITS = 2  # then the reason, in a packed reply
REASON_UNIT = 4  # 2**REASON_BITS
WAIT_SHIFT = 12  # then the wait: value >> WAIT_SHIFT microseconds
MAX_COUNT = 1023  # most permits one acquire or block asks for
MAX_WINDOWS = 4  # windows in one configuration
KEEP_MS = 60000  # a request id is kept at least this long
GRACE_MS = 1000  # kept past a window's end or a lease's expiry
EXACT = 2**53  # bound on every count, limit and length
LEASE_CAP_MS = 86400000
WAIT_CAP = 2**40  # bound on a reported wait, microseconds
WINDOW = 1  # reasons for granting fewer than wanted
BURST = 2
CANCELLED = 3
# --- end ---

# Most permits one coalesced acquire asks for.
MAX_BATCH = 1000


# What a grant was: the answer to an acquire, or a block. A refund names it,
# since the script finds the interval a grant was counted in from the time
# it keeps the id until, and the two are kept for different times.
ACQUIRE, BLOCK = OP_ACQUIRE, OP_BLOCK


class Wire:
    """The script's arguments for one budget, encoded once, and its request
    ids: unique across processes and hosts, and a forked child draws a new
    prefix, so it never repeats its parent's."""

    def __init__(self, budget: "Budget") -> None:
        numbers = [budget.max_burst, budget.lease_ms] + [
            v for _, length, limit in budget.windows for v in (length, limit)]
        config = struct.pack(f"<{len(numbers)}d", *numbers)
        self._acquire = OP_ACQUIRE + config
        self._block = OP_BLOCK + config
        self._refund = OP_REFUND + config
        self.remaining_args = [OP_REMAINING + config]
        self.wait_args = [OP_WAIT + config]
        self._renew = OP_RENEW + b"%d" % budget.lease_ms
        self._cancel = OP_CANCEL + b"%d" % budget.lease_ms
        self.max_burst = budget.max_burst
        self.new_prefix()

    def new_prefix(self) -> None:
        self._tag = os.urandom(8).hex().encode() + b":"
        self._ids = count()

    def request_id(self) -> bytes:
        return self._tag + b"%d" % next(self._ids)

    def acquire_args(self, rid: bytes, wanted: int) -> List[Any]:
        return [self._acquire, rid] if wanted == 1 else [self._acquire, rid, wanted]

    def block_args(self, rid: bytes, wanted: int, whole: bool) -> List[Any]:
        return [self._block, rid, wanted, BLOCK_WHOLE] if whole else [self._block, rid, wanted]

    def refund_args(self, rid: bytes, kind: bytes, unused: Optional[int] = None) -> List[Any]:
        """Give back `unused` permits of grant rid (all when None); a grant
        not yet seen is marked, so a late copy of it grants nothing."""
        return [self._refund, rid, b"" if unused is None else unused, kind]

    def cancel_args(self, rid: bytes) -> List[Any]:
        return [self._cancel, rid]

    def release_args(self, lease_ids: Sequence[bytes]) -> List[Any]:
        return [OP_RELEASE, *lease_ids]

    def renew_args(self, lease_ids: Sequence[bytes]) -> List[Any]:
        return [self._renew, *lease_ids]

    def lease_ids(self, rid: bytes, granted: int) -> List[bytes]:
        """The ids of the leases the script made for a grant (b"" each
        without max_burst, where a grant holds nothing)."""
        if not self.max_burst:
            return [b""] * granted
        return [rid + b"#%d" % j for j in range(1, granted + 1)]


def acquire_reply(reply: Any) -> Tuple[int, int, float]:
    """(permits granted, reason for no more, seconds to wait) from the
    script's one-integer answer to an acquire."""
    value = int(reply)
    if value > 0:
        return value, 0, 0.0
    value = -value
    return value % COUNT_UNIT, (value >> COUNT_BITS) % REASON_UNIT, (value >> WAIT_SHIFT) / 1e6


def block_reply(reply: Any) -> Tuple[int, int, float, int, int]:
    """(permits granted, reason for no more, seconds to wait, server time
    us, good until us) from the script's answer to a block."""
    granted, reason, wait, server_us, good_us = (int(v) for v in reply)
    return granted, reason, wait / 1e6, server_us, good_us


def wait_seconds(reply: Any) -> Optional[float]:
    micros = int(reply)
    return None if micros < 0 else max(micros / 1e6, 0.001)
