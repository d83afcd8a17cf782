"""Every rule of one limiter object of a shared budget, with no I/O.

A `Core` is fed the script's answers, lost answers, the time and the
pressure messages, and answers with the script calls to make and the waits
to do. It reads no clock, starts no thread and calls nothing: the two
drivers (`_sync.py`, `_async.py`) make its calls, sleep or await, and run
its background work. It is single-threaded: the sync driver calls it under
one lock, the async driver from its event loop's thread.

What it owns:
- request ids, and the one in-doubt path: an answer that is lost (a
  client error, a cancel, Ctrl-C) leaves a call that frees what the script
  may have granted and makes a late copy of the request grant nothing;
- the leases held with max_burst, their renewal every third of a lease,
  and a release that failed (the lease is still held, and renewed);
- the block taken ahead with `reserve`, the take from it, and its
  refunds (at the interval's end, idle, pressed, closed, collected);
- grants that callers gave up before using them: to the block, or back to
  the server;
- closing, and the state after a fork."""

import functools
import math
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ._blocks import Block
from ._config import Budget
from ._wire import (ACQUIRE, BLOCK, BURST, Wire, acquire_reply, block_reply)

# A waiter for a burst permit is woken by a release, at the earliest lease
# expiry, or after this long at the latest (a message lost with a broken
# subscriber connection costs no more than this).
FALLBACK_POLL = 1.0

# An object's release-message subscriber ends after this long with nobody
# waiting, and subscribes again after a broken connection after a pause that
# doubles from SUBSCRIBE_PAUSE up to FALLBACK_POLL.
SUBSCRIBER_IDLE = 10.0
SUBSCRIBE_PAUSE = 0.05

# What an acquire does after a refusal.
REFUSED, SLEEP, SUBSCRIBE, LISTEN = "refused", "sleep", "subscribe", "listen"

Call = List[Any]  # one script call's arguments after the keys

# A hand-back whose call failed is tried again after 0.2, 0.4 and 0.8 s:
# a blip of the connection does not cost a block's permits or a lease.
HANDBACK_TRIES = 4
HANDBACK_PAUSE = 0.1


class HandBack:
    """A best-effort call: a cancel, a refund or a release, each safe to
    repeat (the script answers a repeat as the first), tried again a few
    times when it fails."""

    __slots__ = ("args", "tries", "at")

    def __init__(self, args: Call) -> None:
        self.args = args
        self.tries = 0
        self.at = 0.0


class Grant(NamedTuple):
    """One permit handed to a caller: the request that got it, whether that
    was an acquire or a block, and its lease (b"" without max_burst)."""
    rid: bytes
    kind: bytes
    lease: bytes


class Ask(NamedTuple):
    """One script call for permits: `need` for callers waiting now,
    `wanted` asked (more for a block), started at local time t0."""
    rid: bytes
    args: Call
    kind: bytes
    need: int
    t0: float


# Made without the generated constructors, which cost a Python call each
# on CPython: these are made on every acquire.
_grant = functools.partial(tuple.__new__, Grant)
_ask = functools.partial(tuple.__new__, Ask)


def closed_error() -> ValueError:
    return ValueError("limiter is closed")


class Core:
    def __init__(self, budget: Budget, now: float) -> None:
        self.budget = budget
        self.wire = Wire(budget)
        self.closed = False
        # Set from any thread (a collection) without the driver's lock: the
        # background work sees it and hands everything back.
        self.gone = False
        self._reset(now)

    def _reset(self, now: float) -> None:
        b = self.budget
        self.block: Optional[Block] = Block(b.reserve, now) if b.reserve else None
        self.held: Dict[bytes, None] = {}  # leases, renewed while held
        self.renew_at = math.inf
        # Best-effort calls for the background work: cancels, refunds and
        # hand-backs, whose failure costs only time (a lease runs out, a
        # block is lost to its intervals).
        self.outbox: List[HandBack] = []
        self.pressed = False

    def after_fork(self, now: float) -> None:
        """In a forked child: it holds none of its parent's leases or block
        (the parent renews, uses and hands them back), owes none of its
        hand-backs, and draws request ids of its own."""
        self.wire.new_prefix()
        self._reset(now)

    # --- acquire -------------------------------------------------------------------

    def demand(self, n: int) -> None:
        """n acquires came (each is counted once, however often it asks)."""
        if self.block is not None:
            self.block.count += n

    def take_one(self, now: float) -> bool:
        """A new acquire: counted as demand, and served from the block when
        it can be (the hot path of an object with a reserve)."""
        block = self.block
        if block is None:
            return False
        block.count += 1
        if block.left and now < block.deadline:
            block.left -= 1
            block.last_used = now
            return True
        return False

    def take(self, n: int, now: float) -> List[Grant]:
        """Permits from the block, up to n."""
        block = self.block
        if block is None or not block.left:
            return []
        k = block.take(n, now)
        return [_grant((block.rid, BLOCK, b""))] * k

    def ask(self, need: int, now: float) -> Ask:
        """The script call for `need` permits: a block sized to the demand
        when this object takes permits ahead, else an acquire of `need`."""
        rid = self.wire.request_id()
        if self.block is not None:
            wanted = self.block.wanted(need, now)
            if wanted > 1:
                return _ask((rid, self.wire.block_args(rid, wanted, False), BLOCK, need, now))
        return _ask((rid, self.wire.acquire_args(rid, need), ACQUIRE, need, now))

    def answered(self, ask: Ask, reply: Any, now: float) -> Tuple[List[Grant], int, float]:
        """The permits the answer gives the callers (at most ask.need), the
        reason for no more and the wait the script named. Once closed, a
        grant goes back at once and gives the callers nothing."""
        if ask.kind == BLOCK:
            granted, reason, wait, server_us, good_us = block_reply(reply)
            grants: List[Grant] = []
            if granted and self.closed:
                self._hand_back(self.wire.refund_args(ask.rid, BLOCK))  # all of it
            elif granted:
                assert self.block is not None
                used = min(granted, ask.need)
                old = self.block.store(ask.rid, granted, used, ask.t0, now, server_us, good_us)
                if old is not None:
                    self._hand_back(self.wire.refund_args(old[0], BLOCK, old[1]))
                grants = [_grant((ask.rid, BLOCK, b""))] * used
        else:
            granted, reason, wait = acquire_reply(reply)
            if self.budget.max_burst:
                grants = [_grant((ask.rid, ACQUIRE, lease))
                          for lease in self.wire.lease_ids(ask.rid, granted)]
                for g in grants:
                    self._hold(g.lease, now)
            else:
                grants = [_grant((ask.rid, ACQUIRE, b""))] * granted
        if self.closed and grants:
            self.unused(grants, now)
            grants = []
        return grants, reason, wait

    def lost(self, ask: Ask) -> None:
        """The answer to `ask` is lost, and the script may have granted:
        give back what it counted (and make a late copy of it grant
        nothing), then free the leases it made."""
        self._hand_back(self.wire.refund_args(ask.rid, ask.kind))
        if self.budget.max_burst:
            self._hand_back(self.wire.cancel_args(ask.rid))

    def unused(self, grants: Sequence[Grant], now: float) -> None:
        """Grants that callers gave up before using them (a waiter
        cancelled after the call was made): to the block when they are its
        own and it is still good, else back to the server."""
        counts: Dict[bytes, int] = {}
        leases = []
        for g in grants:
            if g.lease:
                self.held.pop(g.lease, None)
                leases.append(g.lease)
            if g.lease or not (self.block is not None and not self.closed
                               and self.block.put_back(g.rid, 1)):
                counts[g.rid] = counts.get(g.rid, 0) + 1
        if not self.held:
            self.renew_at = math.inf
        kinds = {g.rid: g.kind for g in grants}
        for rid, n in counts.items():
            self._hand_back(self.wire.refund_args(rid, kinds[rid], n))
        if leases:
            self._hand_back(self.wire.release_args(leases))

    @staticmethod
    def after_refusal(blocking: bool, listening: bool, reason: int,
                      wait: float) -> Tuple[str, float]:
        """What an acquire does when refused. A window wait sleeps until the
        reopening the script named. A burst wait first subscribes to the
        release messages, then asks again (with their count read before
        the ask, so no release is missed), then waits for a release, the
        earliest lease expiry, or FALLBACK_POLL at most."""
        if not blocking:
            return REFUSED, 0.0
        if reason != BURST:
            return SLEEP, wait
        return (LISTEN if listening else SUBSCRIBE), min(wait, FALLBACK_POLL)

    # --- leases --------------------------------------------------------------------

    def _hold(self, lease: bytes, now: float) -> None:
        self.held[lease] = None
        if self.renew_at == math.inf:
            self.renew_at = now + self.budget.lease / 3

    def to_release(self) -> Optional[bytes]:
        """A lease to hand back for release(); None when none is held."""
        if not self.held:
            return None
        lease = self.held.popitem()[0]
        if not self.held:
            self.renew_at = math.inf
        return lease

    def release_failed(self, lease: bytes, now: float) -> None:
        """The release's answer is lost: the lease may still be held, so it
        is renewed until a later release frees it (a renewal finds it gone
        if it was freed). Once closed it goes back best effort."""
        if self.closed:
            self._hand_back(self.wire.release_args([lease]))
        else:
            self._hold(lease, now)

    def renewed(self, ids: Sequence[bytes], lost: Sequence[Any]) -> None:
        """A renewal's answer: the positions of the leases already gone."""
        for position in lost:
            self.held.pop(ids[int(position) - 1], None)
        if not self.held:
            self.renew_at = math.inf

    # --- the background work ---------------------------------------------------

    def holds_block(self) -> bool:
        return self.block is not None and self.block.left > 0

    def press(self) -> None:
        """Someone was refused while blocks are out."""
        self.pressed = True

    def background(self, now: float) -> Tuple[List[HandBack], Optional[List[bytes]], float]:
        """What the background work does now: hand-backs to send,
        the leases to renew (None: none due), and when to look again (inf:
        nothing left to do, the work may end)."""
        if self.gone and not self.closed:
            self._close()
        calls = [h for h in self.outbox if h.at <= now]
        self.outbox = [h for h in self.outbox if h.at > now]
        block = self.block
        if block is not None and block.left:
            old = block.settle(now, self.pressed, self.budget.refund_after_roll)
            if old is not None:
                calls.append(HandBack(self.wire.refund_args(old[0], BLOCK, old[1])))
        self.pressed = False
        renew = None
        if self.held and now >= self.renew_at:
            renew = list(self.held)
            self.renew_at = now + self.budget.lease / 3
        due = min([self.renew_at, block.next_due() if block is not None else math.inf] +
                  [h.at for h in self.outbox])
        return calls, renew, due

    def _hand_back(self, args: Call) -> None:
        self.outbox.append(HandBack(args))

    def unsent(self, hand_back: HandBack, now: float) -> None:
        """A hand-back's call failed: again a little later, a few times."""
        hand_back.tries += 1
        if hand_back.tries < HANDBACK_TRIES:
            hand_back.at = now + HANDBACK_PAUSE * 2 ** hand_back.tries
            self.outbox.append(hand_back)

    def not_sent(self, hand_backs: Sequence[HandBack]) -> None:
        """Hand-backs whose calls were cut short (the task or the caller
        sending them was cancelled): first in the outbox again, not counted
        as tries."""
        self.outbox[:0] = hand_backs

    def take_outbox(self) -> List[HandBack]:
        """Every hand-back queued, due or not, to send at once."""
        out, self.outbox = self.outbox, []
        return out

    def busy(self) -> bool:
        """Whether there is background work to do: hand-backs to send,
        leases to renew, a block to watch."""
        return bool(self.outbox or self.held or self.holds_block() or
                    (self.gone and not self.closed))

    # --- closing -----------------------------------------------------------------

    def close(self) -> List[HandBack]:
        """Closed: no more grants. Every hand-back owed, to send at once:
        the block's unused permits, every lease still held, and the
        hand-backs still queued (a lost answer's refund, say). Closing again
        gives what was queued since."""
        self._close()
        return self.take_outbox()

    def _close(self) -> None:
        self.closed = True
        self.drop_block()
        if self.held:
            self._hand_back(self.wire.release_args(list(self.held)))
            self.held.clear()
        self.renew_at = math.inf

    def drop_block(self) -> None:
        """The block's unused permits go back (queued)."""
        old = self.block.drop() if self.block is not None else None
        if old is not None:
            self._hand_back(self.wire.refund_args(old[0], BLOCK, old[1]))


class ReleaseCount:
    """The release messages on a budget's channel, as the one subscriber of
    a limiter object counts them for all of its waiters. A waiter reads the
    count before it asks the server, and then waits for it to move. A
    (re)subscription counts as a release too: messages published while it
    was not subscribed are lost, so the waiters ask the server again."""

    def __init__(self, now: float) -> None:
        self.count = 0
        self.subscribed = False
        self.closed = False
        self.waiting = 0
        self.last = now
        self.pause = SUBSCRIBE_PAUSE

    def seen(self) -> Optional[int]:
        """The count to wait past after the next ask; None while not
        subscribed (no release is missed only from then on)."""
        return self.count if self.subscribed else None

    def moved(self, seen: Optional[int]) -> bool:
        """Whether a waiter that read `seen` waits no more."""
        if self.closed:
            return True
        return self.subscribed if seen is None else self.count != seen

    def message(self, message: Any) -> bool:
        """What the subscriber read (None: nothing within its poll); whether
        the count moved."""
        self.pause = SUBSCRIBE_PAUSE
        if message is None:
            return False
        if message["type"] == "subscribe":
            self.subscribed = True
        elif message["type"] != "message":
            return False
        self.count += 1
        return True

    def broken(self) -> float:
        """The connection broke (the waiters poll meanwhile; their script
        calls see the error themselves): the pause before subscribing
        again."""
        self.subscribed = False
        pause = self.pause
        self.pause = min(pause * 2, FALLBACK_POLL)
        return pause

    def idle(self, now: float) -> bool:
        """Whether the subscriber ends: closed, or nobody waited for
        SUBSCRIBER_IDLE."""
        return self.closed or (not self.waiting and now - self.last > SUBSCRIBER_IDLE)
