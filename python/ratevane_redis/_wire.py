"""The wire between the limiters and budget.lua: the constants both sides
share, the script's arguments, and the decoding of its answers."""

import os
import struct
from itertools import count
from typing import Any, List, Optional, Sequence, Tuple

from ._config import Budget

# --- shared with budget.lua ---
# The script's reasons for granting fewer permits than asked.
WINDOW = 1
BURST = 2
CANCELLED = 3
# Most permits one call asks for: the script keeps a grant's count in ten
# bits beside the time of the grant (a score is kept_until_ms * 1024 +
# permits), and packs an acquire's short answer as
# -(granted + 1024 * (reason + 4 * wait_us)).
COUNT_BITS = 10
REASON_BITS = 2
MAX_COUNT = 1023
# A request id is recognised again for this long after its grant, or for
# the limiter's lease if that is longer.
KEEP_MS = 60000
# --- end ---

# Most permits one coalesced acquire asks for.
MAX_BATCH = 1000

_COUNT = 1 << COUNT_BITS
_REASON = 1 << REASON_BITS
_WAIT_SHIFT = COUNT_BITS + REASON_BITS

# What a grant was: the answer to an acquire, or a block. A refund names it,
# since the script finds the interval a grant was counted in from the time
# it keeps the id until, and the two are kept for different times.
ACQUIRE, BLOCK = b"a", b"b"


class Wire:
    """The script's arguments for one budget, encoded once, and its request
    ids: unique across processes and hosts, and a forked child draws a new
    prefix, so it never repeats its parent's."""

    def __init__(self, budget: Budget) -> None:
        numbers = [budget.max_burst, budget.lease_ms] + [
            v for _, length, limit in budget.windows for v in (length, limit)]
        config = struct.pack(f"<{len(numbers)}d", *numbers)
        self._acquire = b"a" + config
        self._block = b"b" + config
        self._refund = b"f" + config
        self.remaining_args = [b"q" + config]
        self.wait_args = [b"w" + config]
        self._renew = f"n{budget.lease_ms}".encode()
        self._cancel = f"x{budget.lease_ms}".encode()
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
        return [self._block, rid, wanted, b"1"] if whole else [self._block, rid, wanted]

    def refund_args(self, rid: bytes, kind: bytes, unused: Optional[int] = None) -> List[Any]:
        """Give back `unused` permits of grant rid (all when None); a grant
        not yet seen is marked, so a late copy of it grants nothing."""
        return [self._refund, rid, b"" if unused is None else unused, kind]

    def cancel_args(self, rid: bytes) -> List[Any]:
        return [self._cancel, rid]

    def release_args(self, lease_ids: Sequence[bytes]) -> List[Any]:
        return [b"r", *lease_ids]

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
    return value % _COUNT, (value >> COUNT_BITS) % _REASON, (value >> _WAIT_SHIFT) / 1e6


def block_reply(reply: Any) -> Tuple[int, int, float, int, int]:
    """(permits granted, reason for no more, seconds to wait, server time
    us, good until us) from the script's answer to a block."""
    granted, reason, wait, server_us, good_us = (int(v) for v in reply)
    return granted, reason, wait / 1e6, server_us, good_us


def wait_seconds(reply: Any) -> Optional[float]:
    micros = int(reply)
    return None if micros < 0 else max(micros / 1e6, 0.001)
