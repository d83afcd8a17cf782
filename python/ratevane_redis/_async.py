"""AsyncRateLimiter: a budget shared through Redis, for asyncio code.

The acquires waiting on one object in one event loop are served together by
one task, which asks the script for as many permits as there are waiters
(one round trip for all of them) and hands the grants out in arrival order.
A waiter cancelled while that call is in flight loses nothing: its grant
goes to the next waiter, or back to the server when none is left."""

import asyncio
import time
import weakref
from collections import OrderedDict
from itertools import islice
from types import TracebackType
from typing import (Any, Callable, Coroutine, Dict, List, Literal, Optional, Sequence, Set, Tuple,
                    Type, Union)

import redis.asyncio
import redis.asyncio.client
import redis.asyncio.cluster

from ._budget import (BURST, FALLBACK_POLL, MAX_BATCH, SUBSCRIBER_IDLE, Budget, ForkState,
                      Reserve, acquire_reply, async_caller, block_reply, check_client,
                      check_reserve, closed_error, wait_seconds)

# How often the block holder's task looks at its block at the latest: a
# block past its interval or idle goes back within this.
HOLDER_POLL = 0.05

Call = Callable[[Sequence[Any]], Coroutine[Any, Any, Any]]
# What a waiter's future resolves to: a lease id (b"" without max_burst) when
# granted, None when a non-blocking limiter refused.
Grant = Optional[bytes]


class _LoopState:
    """One event loop's part of a limiter object."""

    def __init__(self, loop: asyncio.AbstractEventLoop, reserve: float) -> None:
        self.loop = loop
        # The block of permits taken ahead for this loop's acquires, and
        # the task that hands it back (see _hold_block).
        self.reserve = Reserve(reserve) if reserve else None
        self.holder: Optional["asyncio.Task[None]"] = None
        self.refunds: List[Tuple[bytes, int]] = []
        # In arrival order; a waiter that is cancelled or times out leaves
        # at once, so only live waiters are kept, however many give up.
        self.waiters: "OrderedDict[asyncio.Future[Grant], None]" = OrderedDict()
        self.server: Optional["asyncio.Task[None]"] = None
        self.releases: List[Tuple[bytes, "asyncio.Future[None]"]] = []
        self.releaser: Optional["asyncio.Task[None]"] = None
        self.renewer: Optional["asyncio.Task[None]"] = None
        self.wake: Optional[asyncio.Event] = None  # set: the renewer looks at once
        self.spare: Set["asyncio.Task[Any]"] = set()  # give-backs in flight
        # The release messages on the budget's channel, counted by one task
        # with one subscriber connection (see _count_releases).
        self.counter: Optional["asyncio.Task[None]"] = None
        self.count = 0
        self.subscribed = False  # no release from now on is missed
        self.moved: Optional["asyncio.Future[None]"] = None
        self.waiting = False
        self.last = loop.time()

    def mark(self, client: Any, channel: str, owner: "AsyncRateLimiter") -> Optional[int]:
        """Start the counting task if it is not running; the count to wait
        past after the next ask, or None while it is not subscribed."""
        self.last = self.loop.time()
        if self.counter is None or self.counter.done():
            self.counter = self.loop.create_task(
                _count_releases(self, client, channel, weakref.ref(owner)))
        return self.count if self.subscribed else None

    def bump(self, subscribed: Optional[bool]) -> None:
        if subscribed is not None:
            self.subscribed = subscribed
        if subscribed is not False:
            self.count += 1
        if self.moved is not None and not self.moved.done():
            self.moved.set_result(None)
        self.moved = None

    async def wait(self, seen: Optional[int], timeout: float) -> None:
        """Until the count moves past seen (seen None: until subscribed), or
        for timeout at most."""
        deadline = self.loop.time() + timeout
        self.waiting = True
        try:
            while (not self.subscribed if seen is None else self.count == seen):
                left = deadline - self.loop.time()
                if left <= 0:
                    return
                if self.moved is None:
                    self.moved = self.loop.create_future()
                try:
                    await asyncio.wait_for(asyncio.shield(self.moved), left)
                except asyncio.TimeoutError:
                    return
        finally:
            self.waiting = False
            self.last = self.loop.time()


async def _count_releases(state: _LoopState, client: Any, channel: str,
                          owner: "weakref.ref[AsyncRateLimiter]") -> None:
    """Counts the release messages for every task of one limiter object
    waiting in one loop. Subscribes again after the connection broke; a
    (re)subscription counts as a release too, since messages published while
    it was not subscribed are lost. Ends when the limiter is gone or nobody
    has waited for SUBSCRIBER_IDLE seconds. Holds no reference to the
    limiter."""
    listener: Optional[_Listener] = None
    pause = 0.05
    generation = ForkState.generation
    try:
        while _owned(owner, generation) and (
                state.waiting or state.loop.time() - state.last <= SUBSCRIBER_IDLE):
            try:
                if listener is None:
                    listener = _Listener(client, channel)
                    await listener.subscribe(channel)
                message = await listener.get_message(timeout=FALLBACK_POLL)
            except Exception:
                # Out of reach: the waiters poll meanwhile (their script
                # calls see the error themselves); subscribe again soon.
                state.bump(False)
                if listener is not None:
                    await _close_quietly(listener)
                listener = None
                await asyncio.sleep(pause)
                pause = min(pause * 2, FALLBACK_POLL)
                continue
            pause = 0.05
            if message is not None:
                if message["type"] == "subscribe":
                    state.bump(True)
                elif message["type"] == "message":
                    state.bump(None)
    finally:
        state.subscribed = False
        if listener is not None:
            await _close_quietly(listener)


async def _close_quietly(listener: "_Listener") -> None:
    try:
        await listener.aclose()
    except Exception:
        pass


def _owned(owner: "weakref.ref[AsyncRateLimiter]", generation: int) -> bool:
    """Whether a background task still works for a limiter: it is alive and
    open, and the task was not copied into a forked child with its loop."""
    limiter = owner()
    return (limiter is not None and not limiter._closed
            and ForkState.generation == generation)


async def _keep_leases(owner: "weakref.ref[AsyncRateLimiter]", held: Dict[bytes, None],
                       call: Call, budget: Budget, wake: asyncio.Event) -> None:
    """Renews the leases of one limiter object every third of a lease while
    any are held. Holds no reference to the limiter: once it is collected,
    hands back what it held and ends (closing hands them back itself)."""
    generation = ForkState.generation
    while held:
        try:
            await asyncio.wait_for(wake.wait(), budget.lease / 3)
        except asyncio.TimeoutError:
            pass
        wake.clear()
        if ForkState.generation != generation:
            return  # a copy in a forked child: the leases are the parent's
        ids = list(held)
        if not ids:
            return
        if owner() is None:
            held.clear()
            try:
                await call(budget.release_args(ids))
            except Exception:
                pass  # out of reach: they run out within one lease
            return
        try:
            lost = await call(budget.renew_args(ids))
        except Exception:
            continue  # out of reach: try again next period; leases not renewed run out
        for position in lost:
            held.pop(ids[int(position) - 1], None)


async def _hold_block(owner: "weakref.ref[AsyncRateLimiter]", state: _LoopState, client: Any,
                      call: Call, budget: Budget) -> None:
    """While one loop's block is held: listens on the budget's pressure
    channel (a refusal elsewhere publishes there) and hands the unused
    permits back when pressed, when the block's interval ends (to the
    longer windows), when it has been idle, and when the limiter is closed
    or collected. Holds no reference to the limiter."""
    r = state.reserve
    assert r is not None
    generation = ForkState.generation
    listener: Optional[_Listener] = None
    pressed = False
    try:
        while ForkState.generation == generation:
            closed = not _owned(owner, generation)
            refunds, state.refunds = state.refunds, []
            old = r.settle(time.monotonic(), pressed, closed, budget.refund_after_roll)
            if old is not None:
                refunds.append(old)
            for rid, unused in refunds:
                try:
                    await call(budget.refund_args(rid, unused))
                except Exception:
                    pass  # out of reach: lost to its intervals
            if closed or not (r.left or state.refunds):
                return
            pressed = False
            try:
                if listener is None:
                    listener = _Listener(client, budget.press_channel)
                    await listener.subscribe(budget.press_channel)
                message = await listener.get_message(timeout=HOLDER_POLL)
                pressed = message is not None and message["type"] == "message"
            except Exception:
                # Out of reach: the block still goes back when due.
                if listener is not None:
                    await _close_quietly(listener)
                listener = None
                await asyncio.sleep(HOLDER_POLL)
    finally:
        if listener is not None:
            await _close_quietly(listener)


def _wake_soon(cell: List[Optional[_LoopState]]) -> None:
    """The limiter is gone: its renewer hands back its leases now rather
    than at its next period. May run on any thread, in a collection."""
    state = cell[0]
    if state is not None and state.wake is not None:
        try:
            state.loop.call_soon_threadsafe(state.wake.set)
        except RuntimeError:
            pass  # the loop is closed: its tasks are gone, the leases run out


class AsyncRateLimiter(ForkState):
    """A budget shared by every limiter with the same name on the same Redis
    database, for asyncio code. Windows follow the Redis server's clock."""

    def __init__(self, client: Union[redis.asyncio.Redis, redis.asyncio.cluster.RedisCluster],
                 name: str,
                 sec: Optional[int] = None, min: Optional[int] = None,
                 hour: Optional[int] = None, day: Optional[int] = None,
                 sec_window: Optional[int] = None, min_window: Optional[int] = None,
                 hour_window: Optional[int] = None, day_window: Optional[int] = None,
                 blocking: bool = True, max_burst: Optional[int] = None, *,
                 lease: float = 60.0, reserve: float = 0.0) -> None:
        check_client(client, (redis.asyncio.Redis, redis.asyncio.cluster.RedisCluster),
                     "AsyncRateLimiter",
                     "redis.asyncio.Redis or redis.asyncio.cluster.RedisCluster")
        self._budget = Budget(name, (sec, min, hour, day),
                              (sec_window, min_window, hour_window, day_window),
                              blocking, max_burst, lease)
        seconds = check_reserve(reserve)
        # Blocks count windows only: with max_burst every permit is a lease
        # of its own, taken and handed back by one call each.
        self._reserve = 0.0 if self._budget.max_burst else seconds
        self._client = client
        self._closed = False
        self._call = async_caller(client, self._budget.keys)
        self._held: Dict[bytes, None] = {}
        # The loop state, in a cell the finalizer can reach without the
        # limiter.
        self._cell: List[Optional[_LoopState]] = [None]
        super().__init__()
        weakref.finalize(self, _wake_soon, self._cell)

    def _after_fork(self) -> None:
        # A forked child holds none of its parent's leases, and its copy of
        # the parent's loop state (tasks, connections) is not its own.
        self._held = {}
        self._cell[0] = None

    def _loop_state(self) -> _LoopState:
        loop = asyncio.get_running_loop()
        state = self._cell[0]
        if state is None or state.loop is not loop:
            state = self._cell[0] = _LoopState(loop, self._reserve)
        return state

    async def acquire(self) -> bool:
        """Take one permit: True when granted; False when a non-blocking
        limiter found none."""
        if self._closed:
            raise closed_error()
        state = self._loop_state()
        r = state.reserve
        if r is not None:
            r.count += 1
            if r.left and not state.waiters:
                now = time.monotonic()
                if now < r.deadline:
                    r.left -= 1
                    r.last_used = now
                    return True
        waiter: "asyncio.Future[Grant]" = state.loop.create_future()
        state.waiters[waiter] = None
        if state.server is None or state.server.done():
            state.server = state.loop.create_task(self._serve(state))
        try:
            grant = await waiter
        except asyncio.CancelledError:
            state.waiters.pop(waiter, None)
            if (waiter.done() and not waiter.cancelled() and waiter.exception() is None
                    and waiter.result() is not None):
                # Granted just as the caller was cancelled: nobody else
                # will ever hand this permit back.
                self._give_back(state, waiter.result())
            raise
        return grant is not None

    async def _serve(self, state: _LoopState) -> None:
        b = self._budget
        r = state.reserve
        waiting = False  # for burst permits, on the release messages
        seen: Optional[int] = None  # their count before the last ask
        while True:
            asked = [w for w in islice(state.waiters, MAX_BATCH) if not w.done()]
            if not asked or self._closed:
                self._fail_waiters(state, closed_error())
                return
            wanted = len(asked)
            if r is not None:
                # The block first; then a new one sized to the demand, or
                # single permits when the demand is what waits now.
                now = time.monotonic()
                served = r.take(wanted, now)
                if served:
                    for _ in range(served):
                        self._give_back(state, b"")
                    continue
                wanted = r.wanted(wanted, now)
            if waiting:
                seen = state.mark(self._client, b.channel, self)
            rid = b.request_id()
            block = r is not None and wanted > 1
            args = b.block_args(rid, wanted) if block else b.acquire_args(rid, wanted)
            t0 = time.monotonic()
            try:
                reply = await self._call(args)
            except asyncio.CancelledError:
                # The loop is shutting down with the script maybe granted.
                await self._forget(rid, block)
                for w in asked:
                    w.cancel()
                raise
            except Exception as error:
                # Fail closed: every waiter sees the client's error. The
                # script may have granted: the grant goes back.
                self._fail_waiters(state, error)
                self._spare_task(state, self._forget(rid, block))
                return
            if block:
                granted, reason, wait, server_us, good_us = block_reply(reply)
            else:
                granted, reason, wait = acquire_reply(reply)
            if self._closed:
                self._fail_waiters(state, closed_error())
                self._spare_task(state, self._forget(rid, block))
                return
            if block:
                assert r is not None
                if granted:
                    used = min(granted, len(asked))
                    old = r.store(rid, granted, used, t0, server_us, good_us)
                    if old is not None:
                        state.refunds.append(old)
                    if r.left or state.refunds:
                        self._watch_block(state)
                    for _ in range(used):
                        self._give_back(state, b"")
                    continue
            else:
                for lease in b.lease_ids(rid, granted):
                    if lease:
                        self._hold(state, lease)
                    self._give_back(state, lease)
                if granted == len(asked):
                    continue
            if not b.blocking:
                for w in asked:
                    state.waiters.pop(w, None)
                    if not w.done():
                        w.set_result(None)
            elif reason != BURST:
                await asyncio.sleep(wait)
            elif not waiting:
                # Subscribed first, then asked again (with the count
                # read before the ask): a release cannot be missed.
                waiting = True
                state.mark(self._client, b.channel, self)
                await state.wait(None, min(wait, FALLBACK_POLL))
            else:
                await state.wait(seen, min(wait, FALLBACK_POLL))

    def _watch_block(self, state: _LoopState) -> None:
        if state.holder is None or state.holder.done():
            state.holder = state.loop.create_task(
                _hold_block(weakref.ref(self), state, self._client, self._call, self._budget))

    @staticmethod
    def _fail_waiters(state: _LoopState, error: BaseException) -> None:
        for w in state.waiters:
            if not w.done():
                w.set_exception(error)
        state.waiters.clear()

    async def _forget(self, rid: bytes, block: bool = False) -> None:
        """Free what request rid may have been granted, and make a late copy
        of it grant nothing: the answer was lost (a timeout, a broken
        connection, the loop's end). A block goes back whole; without
        max_burst a single grant holds nothing. Best effort: if this fails
        too, the leases run out, and a block is lost to its intervals."""
        if block or self._budget.max_burst:
            try:
                await self._call(self._budget.refund_args(rid) if block
                                 else self._budget.cancel_args(rid))
            except Exception:
                pass

    def _spare_task(self, state: _LoopState, work: Coroutine[Any, Any, Any]) -> None:
        task: "asyncio.Task[Any]" = state.loop.create_task(work)
        state.spare.add(task)
        task.add_done_callback(_forget_task(state.spare))

    def _give_back(self, state: _LoopState, grant: Grant) -> None:
        """Hand a granted permit to the first live waiter; with none left, a
        lease goes back to the server."""
        while state.waiters:
            w = state.waiters.popitem(last=False)[0]
            if not w.done():
                w.set_result(grant)
                return
        if grant:
            self._held.pop(grant, None)
            self._spare_task(state, self._call(self._budget.release_args([grant])))

    def _hold(self, state: _LoopState, lease: bytes) -> None:
        self._held[lease] = None
        if state.renewer is None or state.renewer.done():
            state.wake = asyncio.Event()
            state.renewer = state.loop.create_task(
                _keep_leases(weakref.ref(self), self._held, self._call, self._budget, state.wake))

    async def release(self) -> None:
        """Hand back one burst permit this object holds; without one, do
        nothing. Releases made at the same moment share one round trip."""
        if not self._held:
            return
        lease = self._held.popitem()[0]
        state = self._loop_state()
        done: "asyncio.Future[None]" = state.loop.create_future()
        state.releases.append((lease, done))
        if state.releaser is None or state.releaser.done():
            state.releaser = state.loop.create_task(self._release_batches(state))
        await asyncio.shield(done)

    async def _release_batches(self, state: _LoopState) -> None:
        while state.releases:
            batch, state.releases = state.releases, []
            try:
                await self._call(self._budget.release_args([lease for lease, _ in batch]))
            except Exception as error:
                for lease, done in batch:
                    if not self._closed:
                        self._held[lease] = None  # still held: renewed, a later release frees it
                    if not done.done():
                        done.set_exception(error)
                continue
            for _, done in batch:
                if not done.done():
                    done.set_result(None)

    async def aclose(self) -> None:
        """Hand back every burst permit this object holds and the unused
        permits of its block, and stop its background tasks. A later acquire() raises ValueError, as do those
        still waiting; release() does nothing; closing again does
        nothing."""
        self._closed = True
        ids = list(self._held)
        self._held.clear()
        state = self._cell[0]
        old = None
        if state is not None:
            self._fail_waiters(state, closed_error())
            if state.wake is not None:
                state.wake.set()
            if state.reserve is not None:
                old = state.reserve.drop()
        if old is not None:
            await self._call(self._budget.refund_args(*old))
        if ids:
            await self._call(self._budget.release_args(ids))

    async def get_remaining(self) -> Dict[str, int]:
        """Permits left in each configured window, and "burst" with
        max_burst."""
        return self._budget.remaining(await self._call(self._budget.remaining_args))

    async def wait_time(self) -> Optional[float]:
        """Seconds until the first full window reopens (at least 0.001), or
        None when no window is full."""
        return wait_seconds(await self._call(self._budget.wait_args))

    async def __aenter__(self) -> None:
        if not await self.acquire():
            raise ValueError("Failed to acquire permit")

    async def __aexit__(self, _exc_type: Optional[Type[BaseException]],
                        _exc_value: Optional[BaseException],
                        _traceback: Optional[TracebackType]) -> Literal[False]:
        await self.release()
        return False


def _forget_task(tasks: Set["asyncio.Task[Any]"]) -> Callable[["asyncio.Task[Any]"], None]:
    def done(task: "asyncio.Task[Any]") -> None:
        tasks.discard(task)
        if not task.cancelled():
            task.exception()  # a give-back that failed: its lease runs out
    return done


class _Listener:
    """A subscriber connection of the client's own kind. Every node of a
    cluster delivers every PUBLISH, so a cluster client listens on the node
    that holds the budget, through a pool of its own made with the node's
    connection settings."""

    def __init__(self, client: Any, channel: str) -> None:
        self._pool: Optional[Any] = None
        if isinstance(client, redis.asyncio.cluster.RedisCluster):
            node = client.get_node_from_key(channel)
            if node is None:
                raise redis.exceptions.ClusterError(f"no node holds the slot of {channel}")
            self._pool = redis.asyncio.ConnectionPool(connection_class=node.connection_class,
                                                      **node.connection_kwargs)
            self._pubsub: Any = redis.asyncio.client.PubSub(self._pool)
        else:
            self._pubsub = client.pubsub()

    async def subscribe(self, channel: str) -> None:
        await self._pubsub.subscribe(channel)

    async def get_message(self, timeout: float) -> Any:
        return await self._pubsub.get_message(timeout=timeout)

    async def aclose(self) -> None:
        try:
            await self._pubsub.aclose()
        finally:
            if self._pool is not None:
                await self._pool.disconnect()
