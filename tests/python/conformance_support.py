"""Both limiter classes of ratevane_redis driven against the model of the
script (script_model.py), on a fake clock, with faults scripted per call.
No server and no real waiting: a case runs in milliseconds. Each driver
below gives the same plain, blocking face (acquire, release, close, ...),
so one test body runs on both classes, and a rule that drifts between them
fails the same case for one of them.

The fake environments stand where the classes' own environments stand
(SyncEnv, AsyncEnv): they make the script calls on the model, read the fake
clock, advance it instead of waiting, and run no background thread or
task: a case steps the background work itself (`run_background`)."""

import asyncio

import pytest

redis = pytest.importorskip("redis")

import ratevane_redis  # noqa: E402
from ratevane_redis import _async  # noqa: E402
from ratevane_redis._config import Budget  # noqa: E402
from ratevane_redis._wire import Wire, acquire_reply  # noqa: E402
from script_model import ScriptModel  # noqa: E402

# The server's clock at the fake clock's zero: a quarter into a second.
EPOCH_US = 1_800_000_000_250_000


class Clock:
    def __init__(self):
        self.t = 100.0  # monotonic seconds

    def now(self):
        return self.t

    def advance(self, seconds):
        self.t += max(seconds, 0.0)

    def server_us(self):
        return EPOCH_US + round((self.t - 100.0) * 1e6)


class Store:
    """The model of the server, with faults for the next calls: `fault(kind,
    op)` makes the next call whose operation letter is `op` (any when None):
    - "lost": the script runs, its answer is lost (ConnectionError);
    - "refused": the client fails before the script runs (ConnectionError);
    - "late": the call raises TimeoutError without running; `deliver_late()`
      runs it later, as a copy that reaches the server late;
    - "interrupt": the script runs, then Ctrl-C lands (KeyboardInterrupt);
    - "cancel": (asyncio) the calling task is cancelled while the call is
      in flight, after the script ran;
    - "garbage": the script runs and the answer makes no sense.
    `on_call(op, hook)` runs hook() (awaits it, in asyncio) before the next
    such call."""

    def __init__(self, clock):
        self.clock = clock
        self.model = ScriptModel()
        self.faults = []
        self.late = []
        self.hooks = []
        self.ops = []

    def fault(self, kind, op=None):
        self.faults.append((op, kind))

    def on_call(self, op, hook):
        self.hooks.append((op, hook))

    @staticmethod
    def _take(items, op):
        for i, (want, value) in enumerate(items):
            if want is None or want == op:
                return items.pop(i)[1]
        return None

    def hook_for(self, args):
        return self._take(self.hooks, bytes(args[0][:1]).decode())

    def run(self, keys, args):
        return self.model.eval(list(keys), list(args), self.clock.server_us())

    def call(self, keys, args):
        op = bytes(args[0][:1]).decode()
        self.ops.append(op)
        kind = self._take(self.faults, op)
        if kind == "refused":
            raise redis.exceptions.ConnectionError("refused")
        if kind == "late":
            self.late.append((keys, args))
            raise redis.exceptions.TimeoutError("late")
        reply = self.run(keys, args)
        if kind == "lost":
            raise redis.exceptions.ConnectionError("lost")
        if kind == "interrupt":
            raise KeyboardInterrupt
        if kind == "cancel":
            raise asyncio.CancelledError
        if kind == "garbage":
            return b"garbage"
        return reply

    def deliver_late(self):
        late, self.late = self.late, []
        return [self.run(keys, args) for keys, args in late]

    def published(self, channel):
        return sum(1 for c, _ in self.model.published if c == channel.encode())


class FakeReleases:
    """The release messages as the model published them. A wait with none
    new runs the case's hook (what other processes do meanwhile), or lets
    its time pass."""

    def __init__(self, env, channel):
        self.env = env
        self.channel = channel

    def mark(self):
        return self.env.store.published(self.channel)

    def _wait(self, seen, timeout):
        if self.env.on_wait is not None:
            hook, self.env.on_wait = self.env.on_wait, None
            hook()
        if seen is not None and self.mark() == seen:  # subscribing takes no time here
            self.env.clock.advance(timeout)

    def wait(self, seen, timeout):
        self._wait(seen, timeout)

    def close(self):
        pass


class SyncFake:
    def __init__(self, store, budget, env_holder):
        self.store = store
        self.clock = store.clock
        self.budget = budget
        self.on_wait = None
        self.started = False  # the background thread or task, as the driver started it
        env_holder.append(self)

    def call(self, args):
        hook = self.store.hook_for(args)
        if hook is not None:
            hook()
        return self.store.call(self.budget.keys, args)

    def now(self):
        return self.clock.now()

    def wait(self, event, seconds):
        if self.on_wait is not None:
            hook, self.on_wait = self.on_wait, None
            hook()
        if not event.is_set():
            self.clock.advance(seconds)

    def start(self, name, target):
        raise AssertionError(f"a thread was started: {name}")

    def start_background(self, background):
        self.started = True

    def releases(self, channel):
        return FakeReleases(self, channel)


class AsyncReleases(FakeReleases):
    async def wait(self, seen, timeout):
        self._wait(seen, timeout)
        await asyncio.sleep(0)


class AsyncFake(SyncFake):
    def __init__(self, store, budget, env_holder):
        super().__init__(store, budget, env_holder)
        self.gate = None  # a future the next call awaits before it runs

    async def call(self, args):
        gate, self.gate = self.gate, None
        if gate is not None:
            await gate
        hook = self.store.hook_for(args)
        if hook is not None:
            await hook()
        return self.store.call(self.budget.keys, args)

    async def wait(self, event, seconds):
        if self.on_wait is not None:
            hook, self.on_wait = self.on_wait, None
            hook()
        if not event.is_set():
            self.clock.advance(seconds)
        await asyncio.sleep(0)

    def start_background(self, core, state):
        self.started = True
        return None  # (none runs: the driver asks again at its next change)

    def releases(self, state, channel):
        return AsyncReleases(self, channel)


class Driver:
    """One limiter object of either class on the model, with a blocking
    face. `kind` is "sync" or "async"."""

    def __init__(self, kind, store, name, make_in_loop=True, **kw):
        self.kind = kind
        self.store = store
        self.clock = store.clock
        self.name = name
        self._envs = []
        cls, fake = ((ratevane_redis.RateLimiter, SyncFake) if kind == "sync"
                     else (ratevane_redis.AsyncRateLimiter, AsyncFake))
        self.loop = asyncio.new_event_loop() if kind == "async" else None
        made = self._make(cls, fake, name, kw, make_in_loop)
        self.limiter = made if not make_in_loop else self._run(made)
        self.env = self._envs[0]
        self.core = self.limiter._core
        self.background = getattr(self.limiter, "_background", None)
        self._pressed = store.published(self.core.budget.press_channel)

    def _make(self, cls, fake, name, kw, in_loop):
        make = lambda: cls(None, name, _env=lambda b: fake(self.store, b, self._envs), **kw)
        if self.loop is None or not in_loop:
            return make()

        async def inside():
            return make()
        return inside()

    def _run(self, value):
        if self.loop is None:
            return value
        return self.loop.run_until_complete(value)

    def acquire(self):
        return self._run(self.limiter.acquire())

    def release(self):
        return self._run(self.limiter.release())

    def close(self):
        return self._run(self.limiter.close() if self.kind == "sync" else self.limiter.aclose())

    def enter(self):
        """`with` / `async with`: its entry."""
        if self.loop is None:
            return self.limiter.__enter__()
        return self._run(self.limiter.__aenter__())

    def exit(self):
        if self.loop is None:
            return self.limiter.__exit__(None, None, None)
        return self._run(self.limiter.__aexit__(None, None, None))

    def remaining(self):
        return self._run(self.limiter.get_remaining())

    def wait_time(self):
        return self._run(self.limiter.wait_time())

    def on_wait(self, hook):
        """hook() runs at the acquire's next wait, as if another process
        acted meanwhile."""
        self.env.on_wait = hook

    def close_at_next_wait(self):
        """close() from another thread (another task) while the acquire
        waits."""
        if self.loop is None:
            self.env.on_wait = self.limiter.close
        else:
            self.env.on_wait = lambda: self.loop.create_task(self.limiter.aclose())

    def run_background(self):
        """The background work, as its thread or task would do it now, if
        the driver started it: pressure messages delivered, then rounds
        until nothing is due. A round that finds nothing to do ends it, as
        it ends the thread or task."""
        if self.loop is None:
            return self._background(lambda: self.background.step())
        return self._run(self.background_round())

    async def background_round(self):
        """run_background() for an asyncio driver, from inside its loop."""
        self._deliver_press()
        if not self.env.started:
            return
        for _ in range(100):
            if self._settled(await _async.background_step(self.core, self.env)):
                return
        raise AssertionError("the background work never settles")

    def _deliver_press(self):
        press = self.store.published(self.core.budget.press_channel)
        if press != self._pressed:
            self._pressed = press
            self.core.press()

    def _settled(self, due):
        if due is None:
            self.env.started = False
            return True
        return due > self.clock.now()

    def _background(self, step):
        self._deliver_press()
        if not self.env.started:
            return
        for _ in range(100):
            if self._settled(step()):
                return
        raise AssertionError("the background work never settles")

    def close_loop(self):
        if self.loop is not None:
            self.loop.close()


class Peer:
    """Another process on the same budget, as the script sees it: plain
    calls of the script on the model, with nothing in between."""

    def __init__(self, store, name, sec=None, min=None, hour=None, day=None, max_burst=None,
                 lease=60.0):
        self.store = store
        self.budget = Budget(name, (sec, min, hour, day), (None,) * 4, False, max_burst, lease,
                             0.0)
        self.wire = Wire(self.budget)
        self.leases = []

    def call(self, args):
        return self.store.run(self.budget.keys, args)

    def acquire(self):
        rid = self.wire.request_id()
        granted = acquire_reply(self.call(self.wire.acquire_args(rid, 1)))[0]
        self.leases += [lease for lease in self.wire.lease_ids(rid, granted) if lease]
        return granted == 1

    def release(self):
        self.call(self.wire.release_args([self.leases.pop()]))

    def remaining(self):
        return self.budget.remaining(self.call(self.wire.remaining_args))


@pytest.fixture(params=["sync", "async"])
def driver(request):
    """A factory of drivers of one class on one shared model and clock."""
    clock = Clock()
    store = Store(clock)
    made = []

    def make(name="b", **kw):
        d = Driver(request.param, store, name, **kw)
        made.append(d)
        return d

    make.store = store
    make.clock = clock
    make.kind = request.param
    make.peer = lambda name="b", **kw: Peer(store, name, **kw)
    yield make
    for d in made:
        d.close_loop()


