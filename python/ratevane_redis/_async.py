"""AsyncRateLimiter: a budget shared through Redis, for asyncio code. A thin
driver of the core, like the sync one; what differs is the shape of the
waiting. The acquires waiting on one object are served together by one
task, which asks the script for as many permits as there are waiters (one
round trip for all of them) and hands the grants out in arrival order. A
waiter cancelled while that call is in flight loses nothing: its grant goes
to the next waiter, to the block, or back to the server.

A limiter object works in one event loop at a time, the one that used it
first (its client's connections belong to that loop too); once that loop
is closed, another may use it."""

import asyncio
import time
import weakref
from collections import OrderedDict
from itertools import islice
from types import TracebackType
from typing import (Any, Awaitable, Dict, List, Literal, Optional, Sequence, Tuple, Type, TypeVar,
                    Union)

import redis.asyncio
import redis.asyncio.client
import redis.asyncio.cluster

from ._caller import async_caller
from . import _core
from ._config import Budget, check_client
from ._core import (LISTEN, REFUSED, SLEEP, SUBSCRIBE, Core, Grant, HandBack, ReleaseCount,
                    closed_error)
from ._lifetime import Forked
from ._wire import MAX_BATCH, wait_seconds

# How often the background task looks at a block at the latest.
HOLDER_POLL = 0.05
# How long a hand-back may hold up the end of a loop that is shutting down.
SHUTDOWN_GRACE = 1.0

T = TypeVar("T")


def _in_use_elsewhere() -> RuntimeError:
    return RuntimeError("AsyncRateLimiter is in use by another event loop: "
                        "make one limiter and one client per loop")


def _forked_error() -> RuntimeError:
    return RuntimeError("this AsyncRateLimiter was used before a fork: "
                        "a forked child makes its own client and limiter")


async def guarded(work: Awaitable[T], timeout: Optional[float] = None) -> T:
    """Await the client's work in a task of its own. A cancel of the caller
    then always ends the caller, even where the client's code would swallow
    it (a subscription under way, say): the caller's own await is asyncio's,
    and the work is cancelled after it. A timeout raises asyncio's
    TimeoutError."""
    task = asyncio.ensure_future(work)
    try:
        done, _ = await asyncio.wait({task}, timeout=timeout)
    except BaseException:
        task.cancel()
        raise
    if not done:
        task.cancel()
        raise asyncio.TimeoutError
    return task.result()


class AsyncEnv:
    """The driver's I/O: the script, the clock, waits, tasks and
    subscriptions. The tests put a model of the script and a fake clock in
    its place."""

    def __init__(self, client: Any, budget: Budget) -> None:
        self.client = client
        self.call = async_caller(client, budget.keys)

    now = staticmethod(time.monotonic)

    @staticmethod
    async def wait(event: asyncio.Event, seconds: float) -> None:
        try:
            await asyncio.wait_for(event.wait(), seconds)
        except asyncio.TimeoutError:
            pass

    def start_background(self, core: Core, state: "_LoopState") -> Any:
        return state.loop.create_task(_background(core, self, state))

    def listener(self, channel: str) -> "_Listener":
        return _Listener(self.client, channel)

    def releases(self, state: "_LoopState", channel: str) -> "_Releases":
        return _Releases(self, state, channel)


class _LoopState:
    """The part of a limiter object that belongs to the event loop it works
    in: the waiters, and the tasks that serve them and do the background
    work."""

    def __init__(self, loop: asyncio.AbstractEventLoop, env: AsyncEnv, channel: str) -> None:
        self.loop = loop
        # In arrival order; a waiter that is cancelled or times out leaves
        # at once, so only live waiters are kept, however many give up.
        self.waiters: "OrderedDict[asyncio.Future[Optional[Grant]], None]" = OrderedDict()
        self.server: Any = None
        self.releases: List[Tuple[bytes, "asyncio.Future[None]"]] = []
        self.releaser: Any = None
        self.background: Any = None
        self.kick = asyncio.Event()  # set: the background task looks at once
        self.closing = asyncio.Event()  # set: waits end, the limiter is closed
        self.counter = env.releases(self, channel)


class _Releases:
    """The release messages of one limiter object's budget, counted by one
    task with one subscriber connection for every task of the object waiting
    in its loop. It starts at the first burst wait, subscribes again after
    the connection broke, and ends when the rules of ReleaseCount say so."""

    def __init__(self, env: AsyncEnv, state: _LoopState, channel: str) -> None:
        self._env = env
        self._state = state
        self._channel = channel
        self._task: Any = None
        self._count = ReleaseCount(state.loop.time())
        self._moved: Optional["asyncio.Future[None]"] = None

    def mark(self) -> Optional[int]:
        self._count.last = self._state.loop.time()
        if self._task is None or self._task.done():
            self._task = self._state.loop.create_task(self._run())
        return self._count.seen()

    def _wake(self) -> None:
        if self._moved is not None and not self._moved.done():
            self._moved.set_result(None)
        self._moved = None

    async def wait(self, seen: Optional[int], timeout: float) -> None:
        """Until the count moves past seen, the limiter is closed, or for
        timeout at most."""
        loop, c = self._state.loop, self._count
        deadline = loop.time() + timeout
        c.waiting += 1
        try:
            while not c.moved(seen) and not self._state.closing.is_set():
                left = deadline - loop.time()
                if left <= 0:
                    return
                if self._moved is None:
                    self._moved = loop.create_future()
                closing: "asyncio.Future[Any]" = loop.create_task(self._state.closing.wait())
                moved: "asyncio.Future[Any]" = self._moved
                try:
                    await asyncio.wait({moved, closing}, timeout=left,
                                       return_when=asyncio.FIRST_COMPLETED)
                finally:
                    closing.cancel()
        finally:
            c.waiting -= 1
            c.last = loop.time()

    async def _run(self) -> None:
        state, c = self._state, self._count
        listener: Optional[_Listener] = None
        generation = Forked.generation
        try:
            while (Forked.generation == generation and not state.closing.is_set()
                   and not c.idle(state.loop.time())):
                try:
                    if listener is None:
                        listener = self._env.listener(self._channel)
                        await guarded(listener.subscribe())
                    message = await guarded(listener.get_message(_core.FALLBACK_POLL))
                except Exception:
                    pause = c.broken()
                    await _close_quietly(listener)
                    listener = None
                    await asyncio.sleep(pause)
                    continue
                if c.message(message):
                    self._wake()
        finally:
            c.subscribed = False
            await _close_quietly(listener)


async def _close_quietly(listener: Optional["_Listener"]) -> None:
    if listener is not None:
        try:
            await guarded(listener.aclose(), SHUTDOWN_GRACE)
        except Exception:
            pass


async def background_step(core: Core, env: "AsyncEnv") -> Optional[float]:
    """One round of a limiter object's background work (hand-backs,
    renewals, the block's refunds): when to look again, None when the core
    has nothing left to do."""
    calls, renew, due = core.background(env.now())
    if not calls and renew is None and not core.busy():
        return None
    await send_hand_backs(core, env, calls)
    if renew is not None:
        try:
            lost = await guarded(env.call(core.wire.renew_args(renew)))
        except Exception:
            pass  # out of reach: the next period tries again
        else:
            core.renewed(renew, lost)
    return due


async def send_hand_backs(core: Core, env: "AsyncEnv",
                          hand_backs: Sequence[HandBack]) -> Optional[Exception]:
    """Each hand-back's call. One that fails is tried again later by the
    background work; one cut short by a cancel goes back to the outbox as
    it was, with those not sent yet, for whoever sends next (the loop's
    shutdown, say). The first failure is returned."""
    error: Optional[Exception] = None
    for i, hand_back in enumerate(hand_backs):
        try:
            await guarded(env.call(hand_back.args))
        except Exception as failure:
            core.unsent(hand_back, env.now())
            error = error or failure
        except BaseException:
            core.not_sent(hand_backs[i:])
            raise
    return error


async def _background(core: Core, env: "AsyncEnv", state: "_LoopState") -> None:
    """The background work of one limiter object in its loop, while the core
    has some. Holds the core, never the limiter: a limiter that is collected
    is seen as gone and its permits go back. When its loop shuts down, the
    block goes back at once (SHUTDOWN_GRACE at most), so the loop's end is
    not held up."""
    generation = Forked.generation
    listener: Optional[_Listener] = None
    try:
        while Forked.generation == generation:
            due = await background_step(core, env)
            if due is None:
                return
            watch = core.holds_block()
            timeout = max(0.0, min(due - env.now(), HOLDER_POLL if watch else 1.0))
            if not watch:
                await _close_quietly(listener)
                listener = None
                await env.wait(state.kick, timeout)
                state.kick.clear()
                continue
            # While a block is held, a refusal elsewhere publishes on the
            # pressure channel, and the block goes back at once.
            try:
                if listener is None:
                    listener = env.listener(core.budget.press_channel)
                    await guarded(listener.subscribe())
                message = await guarded(listener.get_message(timeout))
            except Exception:
                await _close_quietly(listener)
                listener = None
                await asyncio.sleep(timeout)
                continue
            if message is not None and message["type"] == "message":
                core.press()
    except asyncio.CancelledError:
        if Forked.generation == generation:
            for hand_back in _shutdown_calls(core):
                try:
                    await asyncio.wait_for(env.call(hand_back.args), SHUTDOWN_GRACE)
                except BaseException:
                    break
        raise
    finally:
        if state.background is asyncio.current_task():
            state.background = None
        await _close_quietly(listener)


def _shutdown_calls(core: Core) -> List[HandBack]:
    """The loop is ending: the block goes back, as no task of this loop will
    watch it, and every hand-back queued goes now; the leases stay held
    while the limiter lives (a later loop renews them, or they run out),
    and go back with it when it is gone."""
    if core.gone and not core.closed:
        return core.close()
    core.drop_block()
    return core.take_outbox()


class AsyncRateLimiter(Forked):
    """A budget shared by every limiter with the same name on the same Redis
    database, for asyncio code. Windows follow the Redis server's clock."""

    def __init__(self, client: Union[redis.asyncio.Redis, redis.asyncio.cluster.RedisCluster],
                 name: str,
                 sec: Optional[int] = None, min: Optional[int] = None,
                 hour: Optional[int] = None, day: Optional[int] = None,
                 sec_window: Optional[int] = None, min_window: Optional[int] = None,
                 hour_window: Optional[int] = None, day_window: Optional[int] = None,
                 blocking: bool = True, max_burst: Optional[int] = None, *,
                 lease: float = 60.0, reserve: float = 0.0, _env: Any = None) -> None:
        if _env is None:
            check_client(client, (redis.asyncio.Redis, redis.asyncio.cluster.RedisCluster),
                         "AsyncRateLimiter",
                         "redis.asyncio.Redis or redis.asyncio.cluster.RedisCluster")
        budget = Budget(name, (sec, min, hour, day),
                        (sec_window, min_window, hour_window, day_window),
                        blocking, max_burst, lease, reserve)
        self._env = env = _env(budget) if _env is not None else AsyncEnv(client, budget)
        self._blocking = blocking
        self._core = Core(budget, env.now())
        self._forked = False
        # The loop state, in a cell the finalizer can reach without the
        # limiter.
        self._cell: List[Optional[_LoopState]] = [None]
        self._watch_forks()
        weakref.finalize(self, _gone, self._core, self._cell)

    def _after_fork(self) -> None:
        # The child holds none of its parent's leases or block. A limiter
        # the parent used has its client's connections in the parent's
        # loop, which the child must not touch.
        self._core.after_fork(self._env.now())
        self._forked = self._forked or self._cell[0] is not None
        self._cell[0] = None

    def _state(self) -> _LoopState:
        if self._forked:
            raise _forked_error()
        loop = asyncio.get_running_loop()
        state = self._cell[0]
        if state is None or state.loop is not loop:
            if state is not None and not state.loop.is_closed():
                raise _in_use_elsewhere()
            state = self._cell[0] = _LoopState(loop, self._env, self._core.budget.channel)
        return state

    def _ensure_background(self, state: _LoopState) -> None:
        if self._core.busy():
            if state.background is None or state.background.done():
                state.background = self._env.start_background(self._core, state)
            else:
                state.kick.set()

    async def acquire(self) -> bool:
        """Take one permit: True when granted; False when a non-blocking
        limiter found none."""
        state = self._state()
        core = self._core
        if core.closed:
            raise closed_error()
        if state.waiters:
            core.demand(1)
        elif core.take_one(self._env.now()):
            return True
        waiter: "asyncio.Future[Optional[Grant]]" = state.loop.create_future()
        state.waiters[waiter] = None
        if state.server is None or state.server.done():
            state.server = state.loop.create_task(self._serve(state))
        try:
            grant = await waiter
        except asyncio.CancelledError:
            state.waiters.pop(waiter, None)
            granted = (waiter.result() if waiter.done() and not waiter.cancelled()
                       and waiter.exception() is None else None)
            if granted is not None:
                # Granted just as the caller was cancelled: the permit goes
                # to the next waiter, or back.
                self._give(state, [granted])
            raise
        return grant is not None

    async def _serve(self, state: _LoopState) -> None:
        try:
            await self._serve_waiters(state)
        except asyncio.CancelledError:
            for w in state.waiters:
                w.cancel()
            state.waiters.clear()
            raise
        except BaseException as error:
            # No failure leaves a waiter pending: each sees the error.
            self._fail_waiters(state, error)
            raise

    async def _serve_waiters(self, state: _LoopState) -> None:
        core, env = self._core, self._env
        listening = False
        seen: Optional[int] = None
        while True:
            asked = [w for w in islice(state.waiters, MAX_BATCH) if not w.done()]
            if not asked:
                state.waiters.clear()
                return
            if core.closed:
                self._fail_waiters(state, closed_error())
                return
            now = env.now()
            grants = core.take(len(asked), now)
            if grants:
                self._give(state, grants)
                continue
            if listening:
                seen = state.counter.mark()
            ask = core.ask(len(asked), now)
            try:
                reply = await env.call(ask.args)
                grants, reason, wait = core.answered(ask, reply, env.now())
            except BaseException as error:
                core.lost(ask)
                self._ensure_background(state)
                if isinstance(error, Exception):
                    self._fail_waiters(state, error)  # fail closed: each sees the client's error
                    return
                raise
            self._ensure_background(state)
            if core.closed:
                self._fail_waiters(state, closed_error())
                return
            if grants:
                self._give(state, grants)
                if len(grants) == ask.need or reason == 0:
                    continue
            action, seconds = core.after_refusal(self._blocking, listening, reason, wait)
            if action == REFUSED:
                for w in asked:
                    state.waiters.pop(w, None)
                    if not w.done():
                        w.set_result(None)
            elif action == SLEEP:
                await env.wait(state.closing, seconds)
            elif action == SUBSCRIBE:
                listening = True
                state.counter.mark()
                await state.counter.wait(None, seconds)
            else:
                assert action == LISTEN
                await state.counter.wait(seen, seconds)

    def _give(self, state: _LoopState, grants: Sequence[Grant]) -> None:
        """Hand granted permits to the first live waiters; the rest go to
        the block or back to the server."""
        i = 0
        while i < len(grants) and state.waiters:
            w = state.waiters.popitem(last=False)[0]
            if not w.done():
                w.set_result(grants[i])
                i += 1
        if i < len(grants):
            self._core.unused(grants[i:], self._env.now())
            self._ensure_background(state)

    @staticmethod
    def _fail_waiters(state: _LoopState, error: BaseException) -> None:
        for w in state.waiters:
            if not w.done():
                w.set_exception(error)
        state.waiters.clear()

    async def release(self) -> None:
        """Hand back one burst permit this object holds; without one, do
        nothing. Releases made at the same moment share one round trip."""
        lease = self._core.to_release()
        if lease is None:
            return
        try:
            state = self._state()
        except RuntimeError:
            self._core.release_failed(lease, self._env.now())
            raise
        done: "asyncio.Future[None]" = state.loop.create_future()
        state.releases.append((lease, done))
        if state.releaser is None or state.releaser.done():
            state.releaser = state.loop.create_task(self._release_batches(state))
        await asyncio.shield(done)

    async def _release_batches(self, state: _LoopState) -> None:
        while state.releases:
            batch, state.releases = state.releases, []
            try:
                await self._env.call(self._core.wire.release_args([lease for lease, _ in batch]))
            except BaseException as error:
                # Still held as far as anyone knows: renewed, and a later
                # release frees it (a renewal finds it gone if it was freed).
                now = self._env.now()
                for lease, done in batch:
                    self._core.release_failed(lease, now)
                    if not done.done():
                        done.set_exception(error if isinstance(error, Exception)
                                           else closed_error())
                self._ensure_background(state)
                if not isinstance(error, Exception):
                    raise
                continue
            for _, done in batch:
                if not done.done():
                    done.set_result(None)

    async def aclose(self) -> None:
        """Hand back every burst permit this object holds, the unused
        permits of its block and every hand-back still queued, end the
        acquires still waiting (they raise ValueError, in whichever loop
        they wait), and stop the background tasks once nothing is left to
        hand back. A hand-back that fails raises the client's error after
        the others were sent, and is tried again in the background. A later
        acquire() raises ValueError; release() does nothing; closing again
        sends only what was queued since."""
        state = self._cell[0]
        if state is not None and state.loop is not _running_loop() and state.loop.is_running():
            # The waiters, the tasks and the client's connections are that
            # loop's: the closing happens there.
            await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(self._close_here(),
                                                                       state.loop))
            return
        await self._close_here()

    async def _close_here(self) -> None:
        hand_backs = self._core.close()
        state = self._cell[0]
        if state is not None:
            self._fail_waiters(state, closed_error())
            state.closing.set()
        try:
            error = await send_hand_backs(self._core, self._env, hand_backs)
        finally:
            # What failed is tried again by the background task of the
            # loop the limiter works in, when that is this one.
            if state is not None and state.loop is _running_loop():
                self._ensure_background(state)
        if error is not None:
            raise error

    async def get_remaining(self) -> Dict[str, int]:
        """Permits left in each configured window, and "burst" with
        max_burst."""
        self._state()
        return self._core.budget.remaining(await self._env.call(self._core.wire.remaining_args))

    async def wait_time(self) -> Optional[float]:
        """Seconds until the first full window reopens (at least 0.001), or
        None when no window is full."""
        self._state()
        return wait_seconds(await self._env.call(self._core.wire.wait_args))

    async def __aenter__(self) -> None:
        if not await self.acquire():
            raise ValueError("Failed to acquire permit")

    async def __aexit__(self, _exc_type: Optional[Type[BaseException]],
                        _exc_value: Optional[BaseException],
                        _traceback: Optional[TracebackType]) -> Literal[False]:
        await self.release()
        return False


def _running_loop() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def _gone(core: Core, cell: List[Optional[_LoopState]]) -> None:
    """The limiter was collected: its background task hands back what it
    holds now rather than at its next period. May run on any thread, in a
    collection."""
    core.gone = True
    state = cell[0]
    if state is not None:
        try:
            state.loop.call_soon_threadsafe(state.kick.set)
        except RuntimeError:
            pass  # the loop is closed: its tasks are gone, the leases run out


class _Listener:
    """A subscriber connection of the client's own kind. Every node of a
    cluster delivers every PUBLISH, so a cluster client listens on the node
    that holds the budget, through a pool of its own made with the node's
    connection settings."""

    def __init__(self, client: Any, channel: str) -> None:
        self._channel = channel
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

    async def subscribe(self) -> None:
        await self._pubsub.subscribe(self._channel)

    async def get_message(self, timeout: float) -> Any:
        return await self._pubsub.get_message(timeout=timeout)

    async def aclose(self) -> None:
        try:
            await self._pubsub.aclose()
        finally:
            if self._pool is not None:
                await self._pool.disconnect()
