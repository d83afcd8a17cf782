"""The budget script as it is shipped (its own clock), on a real server:
what a refund that arrives before its block, or after the state hash has
gone, leaves behind; and whole blocks."""

import struct

import pytest

from conftest import ensure_room
from redis_support import budget_name, redis_server  # noqa: F401  (a fixture)
from ratevane_redis import _wire
from script_model import SCRIPT

redis = pytest.importorskip("redis")

DAY = 86400


def budget(client, max_burst=0, lease_ms=1000, windows=((DAY, 1000),)):
    """A call of the script on a new name: call(op, *args)."""
    name = budget_name()
    prefix = f"ratevane:{{{name}}}:"
    keys = [prefix + "req", prefix + "w"] + ([prefix + "lease"] if max_burst else [])
    numbers = [max_burst, lease_ms] + [v for w in windows for v in w]
    config = struct.pack(f"<{len(numbers)}d", *numbers)
    sha = client.script_load(SCRIPT)

    def call(op, *args):
        first = op + config if op in (b"a", b"b", b"f", b"q", b"w") else op
        return client.evalsha(sha, len(keys), *keys, first, *args)

    call.keys = keys
    return call


def test_a_refund_before_its_block_leaves_the_late_block_nothing(redis_server):  # noqa: F811
    client = redis_server.client()
    ensure_room(5, DAY)
    call = budget(client)
    # The block's reply was lost and its refund arrives first; then the
    # block itself, late.
    assert call(b"f", b"lost") == 0
    granted, reason = call(b"b", b"lost", 400)[:2]
    assert (granted, reason) == (0, _wire.CANCELLED)
    # An acquire under the same id is answered the same way.
    assert call(b"a", b"lost", 3) == -(_wire.COUNT_UNIT * _wire.CANCELLED)
    assert call(b"q") == [1000]  # nothing was counted
    # The id is kept at least as long as any request id.
    seconds, micros = client.time()
    kept_ms = int(client.zscore(call.keys[0], b"lost")) // _wire.COUNT_UNIT
    assert kept_ms - (int(seconds) * 1000 + int(micros) // 1000) > _wire.KEEP_MS - 1000
    # A refund of a block seen first still gives back once.
    granted = call(b"b", b"seen", 400)[0]
    assert granted == 400 and call(b"f", b"seen", 100) == 1 and call(b"f", b"seen", 100) == 0
    assert call(b"q") == [700]


@pytest.mark.parametrize("max_burst, before, after", [
    (0, [(b"b", b"blk", 10)], [(b"f", b"blk")]),  # a refund of a block seen
    (0, [(b"a", b"acq")], [(b"f", b"unseen")]),  # a refund of a block not seen
    (5, [(b"a", b"acq", 2)], [(b"x1000", b"acq"), (b"x1000", b"other")]),  # cancels
    (5, [(b"a", b"acq", 2)], [(b"n1000", b"acq#1", b"acq#2"), (b"a", b"acq2")]),  # renewals
])
def test_every_key_has_an_expiry_after_the_state_hash_went(redis_server, max_burst, before,
                                                            after):  # noqa: F811
    client = redis_server.client()
    ensure_room(5, DAY)
    call = budget(client, max_burst=max_burst)
    for op in before:
        call(*op)
    # The hash goes first (its expiry is its window's end plus a second;
    # a block's id is kept a minute past that): as if that time had passed.
    client.delete(call.keys[1])
    for op in after:
        call(*op)
    keys = [k for k in call.keys if client.exists(k)]
    assert keys
    assert {k: client.pttl(k) > 0 for k in keys} == {k: True for k in keys}


def test_a_whole_block_takes_all_it_asks_for(redis_server):  # noqa: F811
    client = redis_server.client()
    ensure_room(5, DAY)
    call = budget(client, windows=((DAY, 150),))
    assert call(b"b", b"half", 100)[:2] == [75, 0]  # at most half of what is left
    assert call(b"b", b"whole", 100, 1)[:2] == [75, 0]  # all that is left
    # Refused; with blocks out, as for a burst permit (a refund may come).
    assert call(b"b", b"more", 1, 1)[:2] == [0, _wire.BURST]
    assert call(b"q") == [0]
    with pytest.raises(redis.exceptions.ResponseError, match="^ratevane_redis: bad whole$"):
        call(b"b", b"bad", 1, b"all")
