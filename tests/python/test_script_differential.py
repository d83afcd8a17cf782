"""Random operation sequences on a real redis-server and on the script's
model with the same times: every answer, every message published and, after
each step, every key with its contents and absolute expiry agree.

The server runs a copy of budget.lua whose clock is the call's last
argument (script_model.clocked_script). The times are the server's own
plus a day, moving forward only, so the server never expires one of these
keys by itself during the run; before each step both sides drop the keys
whose expiry is at or before the step's time, as the server would.

RATEVANE_SEED=n replays one run; the seed is in every failure message."""

import os
import random
import struct

import pytest

from redis_support import budget_name, redis_server  # noqa: F401  (a fixture)
from script_model import ScriptModel, clocked_script, server_dump

redis = pytest.importorskip("redis")

STEPS = 2100  # random steps per run, over sequences of SEQUENCE steps each
SEQUENCE = (60, 300)

LENGTHS = (1, 2, 5, 60, 120, 3600, 86400, 7 * 86400, 10 * 365 * 86400)
LIMITS = (1, 2, 3, 5, 8, 20, 50, 100, 1000, 2**53)


class Budget:
    """One configuration on the sequence's name: its keys and its argument."""

    def __init__(self, rng, name):
        self.max_burst = rng.choice((0, 0, 1, 2, 5))
        self.lease_ms = rng.choice((40, 700, 5000, 90000) if self.max_burst else (1000, 120000))
        windows = rng.sample(LENGTHS, rng.choice((1, 1, 2, 3, 4)))
        self.windows = [(length, rng.choice(LIMITS)) for length in sorted(windows)]
        numbers = [self.max_burst, self.lease_ms] + [v for w in self.windows for v in w]
        self.config = struct.pack(f"<{len(numbers)}d", *numbers)
        prefix = f"ratevane:{{{name}}}:"
        self.keys = [(prefix + k).encode() for k in ("req", "w")]
        if self.max_burst:
            self.keys.append((prefix + "lease").encode())


class Run:
    def __init__(self, client, sha, seed):
        self.client = client
        self.sha = sha
        self.seed = seed
        self.rng = random.Random(seed)
        seconds, micros = client.time()
        # A day ahead of the server, somewhere inside a second.
        self.now_us = (int(seconds) + 86400) * 1000000 + self.rng.randrange(1000000)
        self.steps = 0

    def where(self, what):
        return f"seed {self.seed}, step {self.steps}: {what}"

    # --- one sequence on a new name ---------------------------------------------------

    def sequence(self, length):
        rng = self.rng
        self.name = budget_name()
        self.model = ScriptModel()
        self.budgets = [Budget(rng, self.name) for _ in range(rng.choice((1, 2, 3)))]
        self.all_keys = sorted({k for b in self.budgets for k in b.keys})
        self.rids = []
        self.blocks = []
        self.acquires = []
        self.leases = []
        self.published = []  # per step: what the model published
        pubsub = self.client.pubsub()
        pubsub.psubscribe(f"ratevane:{{{self.name}}}:*")
        # Subscribed before the first step: the server has confirmed it.
        confirmed = pubsub.get_message(timeout=10)  # a hang guard
        assert confirmed and confirmed["type"] == "psubscribe", confirmed
        marker = f"ratevane:{{{self.name}}}:step"
        try:
            for i in range(length):
                self.step()
                self.client.publish(marker, i)
                self.compare_keys()
            self.compare_messages(pubsub, marker, length)
        finally:
            pubsub.close()
            self.client.delete(*self.all_keys)

    def step(self):
        self.steps += 1
        self.advance()
        self.drop_expired()
        before = len(self.model.published)
        op = self.rng.choices(
            (self.acquire, self.block, self.refund, self.release, self.renew, self.cancel,
             self.query, self.evict, self.malformed), (30, 18, 12, 6, 6, 6, 8, 1, 1))[0]
        budget, args = op()
        self.call(budget, args)
        self.published.append(self.model.published[before:])

    # --- time -----------------------------------------------------------------------------

    def advance(self):
        rng = self.rng
        kind = rng.random()
        if kind < 0.6:
            self.now_us += rng.randrange(0, 50000)
        elif kind < 0.8:
            # To just before, at or just after the end of some window's interval.
            length = rng.choice([w[0] for b in self.budgets for w in b.windows if w[0] <= 3600] or [1])
            end = (self.now_us // 1000000 // length + 1) * length * 1000000
            self.now_us = max(self.now_us, end + rng.randrange(-2000, 2000))
        elif kind < 0.95:
            self.now_us += rng.randrange(0, 3000000)
        else:
            # Past the request ids' minute, the leases, or whole windows.
            self.now_us += rng.choice((61, 125, 3700, 90000)) * 1000000

    def drop_expired(self):
        now_ms = self.now_us // 1000
        pipe = self.client.pipeline(transaction=False)
        for key in self.all_keys:
            pipe.execute_command("PEXPIRETIME", key)
        gone = [k for k, at in zip(self.all_keys, pipe.execute()) if 0 <= at <= now_ms]
        if gone:
            self.client.delete(*gone)
        self.model.expire(now_ms)

    # --- the operations ---------------------------------------------------------------------

    def rid(self, fresh=0.6, among=None):
        """A new request id, or (1 - fresh of the time) a recent one of
        `among` (all ids by default): a replay, a refund, a cancel."""
        among = self.rids if among is None else among
        if among and self.rng.random() > fresh:
            return self.rng.choice(among[-12:])
        rid = b"%x:%d" % (self.seed, self.steps)
        self.rids.append(rid)
        return rid

    def acquire(self):
        b = self.rng.choice(self.budgets)
        rid = self.rid()
        self.acquires.append(rid)
        wanted = self.rng.choice((1, 1, 1, 1, 2, 3, 7, 30, 1023))
        if self.rng.random() < 0.03:
            wanted = self.rng.choice((0, 1024))  # refused before any write
        args = [b"a" + b.config, rid] + ([] if wanted == 1 and self.rng.random() < 0.7
                                           else [wanted])
        return b, args

    def block(self):
        plain = [b for b in self.budgets if not b.max_burst]
        b = self.rng.choice(plain if plain and self.rng.random() < 0.9 else self.budgets)
        rid = self.rid()
        self.blocks.append(rid)
        args = [b"b" + b.config, rid, self.rng.choice((1, 2, 10, 50, 400, 1023))]
        whole = self.rng.random()
        if whole < 0.3:
            args.append(1)
        elif whole < 0.4:
            args.append(self.rng.choice((0, 2, b"yes")))
        return b, args

    def refund(self):
        b = self.rng.choice(self.budgets)
        # Mostly a recent block; sometimes one not seen yet (its call late).
        args = [b"f" + b.config, self.rid(fresh=0.15, among=self.blocks)]
        if self.rng.random() < 0.5:
            args.append(self.rng.choice((0, 1, 3, 30, 200, 1023, 1024)))
        return b, args

    def burst_budget(self):
        return self.rng.choice([b for b in self.budgets if b.max_burst] or self.budgets[:1])

    def some_leases(self):
        pool = self.leases[-12:] or [b"nobody#1"]
        return [self.rng.choice(pool) for _ in range(self.rng.choice((1, 1, 2, 3)))]

    def release(self):
        b = self.burst_budget()
        if not b.max_burst:
            return self.query()
        return b, [b"r"] + self.some_leases()

    def renew(self):
        b = self.burst_budget()
        if not b.max_burst:
            return self.query()
        lease = self.rng.choice((b.lease_ms, b.lease_ms, 0))
        return b, [b"n%d" % lease] + self.some_leases()

    def cancel(self):
        b = self.rng.choice(self.budgets)
        return b, [b"x%d" % self.rng.choice((b.lease_ms, b.lease_ms, 200000)), self.rid(0.2, among=self.acquires)]

    def query(self):
        b = self.rng.choice(self.budgets)
        return b, [self.rng.choice((b"q", b"w")) + b.config]

    def malformed(self):
        """Arguments the script refuses before it writes anything."""
        b = self.rng.choice(self.budgets)
        bad = [(1.0, 1000.0, 0.0, 5.0), (-1.0, 1000.0, 1.0, 5.0), (0.0, 0.0, 1.0, 5.0),
               (0.0, 1000.0, 1.5, 5.0), (0.0, 1000.0, 1.0, 2.0**53 + 2)]
        numbers = self.rng.choice(bad + [(0.0, 1000.0) + (1.0, 5.0) * 5])
        config = struct.pack(f"<{len(numbers)}d", *numbers)
        return b, self.rng.choice((
            [b"z"], [b"a"], [b"a" + config[:-1], b"r1"],
            [self.rng.choice((b"a", b"b", b"f", b"q", b"w")) + config, b"r1"],
            [b"x", b"r1"], [b"n-5", b"r1#1"]))

    def evict(self):
        """The state hash goes early, as under memory pressure: nothing may
        rely on it being there."""
        b = self.rng.choice(self.budgets)
        self.client.delete(b.keys[1])
        self.model.delete(b.keys[1])
        return self.query()

    # --- the comparisons ------------------------------------------------------------------------

    def call(self, budget, args):
        try:
            expected = ("reply", self.model.eval(budget.keys, args, self.now_us))
        except redis.exceptions.ResponseError as e:
            expected = ("error", str(e))
        try:
            got = ("reply", self.client.execute_command(
                "EVALSHA", self.sha, len(budget.keys), *budget.keys, *args, self.now_us))
        except redis.exceptions.ResponseError as e:
            got = ("error", str(e))
        assert got == expected, self.where(f"{args[0][:1]!r} {args[1:]} at {self.now_us}")
        if args[0][:1] == b"a" and budget.max_burst and got[0] == "reply":
            # The leases of what was granted, for releases, renewals, cancels.
            granted = got[1] if got[1] > 0 else -got[1] % 1024
            self.leases += [args[1] + b"#%d" % j for j in range(1, granted + 1)]
            if granted:
                self.acquires.append(args[1])

    def compare_keys(self):
        self.drop_expired()
        model = self.model.dump()
        assert server_dump(self.client, self.all_keys) == model, self.where("keys")
        # Every key the script wrote has an expiry.
        assert all(expiry > 0 for _, _, expiry in model.values()), self.where(model)

    def compare_messages(self, pubsub, marker, steps):
        got, current = [], []
        while len(got) < steps:
            message = pubsub.get_message(timeout=10)  # a hang guard: all are sent by now
            assert message is not None, self.where("a published message is missing")
            if message["channel"] == marker.encode():
                got.append(current)
                current = []
            else:
                current.append((message["channel"], message["data"]))
        assert got == self.published[-steps:], self.where("published messages")


def test_the_script_and_its_model_agree(redis_server):  # noqa: F811
    client = redis_server.client()
    sha = client.script_load(clocked_script())
    seed = int(os.environ.get("RATEVANE_SEED", random.randrange(2**32)))
    run = Run(client, sha, seed)
    while run.steps < STEPS:
        try:
            run.sequence(run.rng.randrange(*SEQUENCE))
        except AssertionError:
            raise
        except Exception as e:  # the model's own failure: say where, too
            raise AssertionError(run.where(repr(e))) from e
