"""A plain-Python model of ratevane_redis/budget.lua, for tests: the same
operations on the same keys, with the time given by the caller.

    model = ScriptModel()
    reply = model.eval(keys, args, now_us)   # as EVALSHA would answer
    model.published                          # [(channel, message)], in order
    model.dump()                             # {key: (kind, contents, expiry ms)}

The state is a dict of keys, each a hash (field -> value, stored as the
server stores a number the script writes) or a sorted set (member -> score),
with an absolute expiry in ms or none. Keys whose expiry is at or before
the call's time (in ms) go before each call. Replies come back as redis-py
gives them: Lua numbers truncated to integers, tables as lists, an error
reply raised as redis.exceptions.ResponseError with the same text.

Numbers follow Lua's: doubles, with Lua's `%` and `math.floor`, so that
what the script computes and what the model computes are the same values.

Also here, for the tests that compare the model with a real server:
`clocked_script(text)` (the script with its clock read from the last
argument) and `server_dump(client, keys)` (the same form as `dump()`).
Nothing in the package uses this module."""

import math
import re
import struct

from redis.exceptions import ResponseError

# The script's constants, read from the script itself: the model never
# keeps copies that could drift from it.
_SCRIPT_PATH = __file__.rsplit("/", 3)[0] + "/python/ratevane_redis/budget.lua"

HASH, ZSET = "hash", "zset"


def _script_constants(text):
    out = {}
    for name, val in re.findall(r"^local ([A-Z][A-Z0-9_]*) = ([^\n-]+?)\s*(?:--.*)?$", text,
                                re.M):
        m = re.fullmatch(r"(\d+)\^(\d+)", val)
        if m:
            out[name] = float(int(m.group(1)) ** int(m.group(2)))
        elif re.fullmatch(r"\d+", val):
            out[name] = float(val)
        elif re.fullmatch(r"'[^']*'", val):
            out[name] = val[1:-1].encode()
    return out


with open(_SCRIPT_PATH, encoding="utf-8") as _f:
    SCRIPT = _f.read()
C = _script_constants(SCRIPT)


class _Error(Exception):
    """An error reply (redis.error_reply) on its way out of a call."""


def _encode(arg):
    """An argument as redis-py sends it."""
    if isinstance(arg, bytes):
        return arg
    if isinstance(arg, str):
        return arg.encode()
    if isinstance(arg, bool):
        raise TypeError("redis-py refuses bool arguments")
    if isinstance(arg, int):
        return b"%d" % arg
    if isinstance(arg, float):
        return repr(arg).encode()
    raise TypeError(f"cannot send {type(arg).__name__}")


def tonumber(text):
    """Lua 5.1's tonumber of a string (strtod, hex integers, spaces around),
    or of a number; None where Lua gives nil."""
    if text is None or text is False:
        return None
    if isinstance(text, float):
        return text
    s = text.decode("latin-1").strip(" \t\n\r\f\v")
    if re.fullmatch(r"0[xX][0-9a-fA-F]+", s):
        return float(int(s, 16))
    if not s or "_" in s or not re.fullmatch(r"[-+0-9.eEinfatyINFATY]+", s):
        return None
    try:
        return float(s)
    except ValueError:
        return None


def lmod(a, b):
    """Lua 5.1's a % b on doubles."""
    return a - math.floor(a / b) * b


def floor(x):
    return float(math.floor(x))


def ceil(x):
    return float(math.ceil(x))


def num_text(x):
    """A Lua number as the server stores it when a script writes it."""
    return b"%.17g" % x


def int_text(x):
    """string.format('%d', x)."""
    return b"%d" % int(x)


def _whole(x, low, high):
    return isinstance(x, float) and x == math.floor(x) and low <= x <= high


def _reply(value):
    """A Lua value as Redis hands it to the client."""
    if isinstance(value, bool):
        return 1 if value else None
    if isinstance(value, float):
        return int(value)
    if isinstance(value, list):
        out = []
        for v in value:
            if v is None:
                break  # a Lua table ends at its first nil
            out.append(_reply(v))
        return out
    return value


class _Key:
    __slots__ = ("kind", "data", "expiry")

    def __init__(self, kind):
        self.kind = kind
        self.data = {}
        self.expiry = None


class ScriptModel:
    def __init__(self):
        self.keys = {}
        self.published = []

    # --- the server's side: keys, expiry, a dump ------------------------------

    def expire(self, now_ms):
        """Drop the keys whose expiry is at or before now_ms."""
        for k in [k for k, v in self.keys.items() if v.expiry is not None
                  and v.expiry <= now_ms]:
            del self.keys[k]

    def delete(self, key):
        self.keys.pop(key, None)

    def dump(self):
        """{key: (kind, contents, expiry ms or -1)}: a hash's contents as
        {field: number}, a sorted set's as [(member, score)] in the
        server's order; numbers as ints where they are whole."""
        out = {}
        for k, v in self.keys.items():
            if v.kind == HASH:
                contents = {f: _number(tonumber(x)) for f, x in v.data.items()}
            else:
                contents = [(m, _number(s)) for m, s in self._zsorted(v)]
            out[k] = (v.kind, contents, -1 if v.expiry is None else v.expiry)
        return out

    # --- the commands the script uses --------------------------------------------

    def _get(self, key, kind):
        v = self.keys.get(key)
        if v is not None and v.kind != kind:
            raise AssertionError(f"{key!r} is a {v.kind}, not a {kind}")
        return v

    def _make(self, key, kind):
        v = self._get(key, kind)
        if v is None:
            v = self.keys[key] = _Key(kind)
        return v

    def _drop_if_empty(self, key):
        v = self.keys.get(key)
        if v is not None and not v.data:
            del self.keys[key]

    def hmget(self, key, fields):
        v = self._get(key, HASH)
        return [None if v is None else v.data.get(f) for f in fields]

    def hset(self, key, pairs):
        v = self._make(key, HASH)
        for i in range(0, len(pairs), 2):
            f, x = pairs[i], pairs[i + 1]
            v.data[f] = num_text(x) if isinstance(x, float) else x

    def pexpireat(self, key, at):
        v = self.keys.get(key)
        if v is None:
            return
        at = int(at)
        if at <= self.now_ms:  # the server deletes a key whose expiry has passed
            del self.keys[key]
        else:
            v.expiry = at

    def _zsorted(self, v):
        return sorted(v.data.items(), key=lambda ms: (ms[1], ms[0]))

    def zadd(self, key, score, member, nx=False, xx=False, ch=False):
        v = self._get(key, ZSET)
        old = None if v is None else v.data.get(member)
        if (nx and old is not None) or (xx and old is None):
            return 0.0
        score = float(score)
        self._make(key, ZSET).data[member] = score
        if old is None:
            return 1.0
        return 1.0 if ch and old != score else 0.0

    def zscore(self, key, member):
        v = self._get(key, ZSET)
        return None if v is None else v.data.get(member)

    def zend(self, key, last):
        """ZRANGE key -1 -1 (last) or 0 0: (member, score) or None."""
        v = self._get(key, ZSET)
        if v is None or not v.data:
            return None
        items = self._zsorted(v)
        return items[-1] if last else items[0]

    def zremrangebyscore(self, key, below, inclusive):
        v = self._get(key, ZSET)
        if v is None:
            return
        for m in [m for m, s in v.data.items() if s < below or (inclusive and s == below)]:
            del v.data[m]
        self._drop_if_empty(key)

    def zcard(self, key):
        v = self._get(key, ZSET)
        return 0.0 if v is None else float(len(v.data))

    def zrem(self, key, member):
        v = self._get(key, ZSET)
        if v is None or member not in v.data:
            return 0.0
        del v.data[member]
        self._drop_if_empty(key)
        return 1.0

    def zcount_above(self, key, low):
        v = self._get(key, ZSET)
        return 0.0 if v is None else float(sum(1 for s in v.data.values() if s > low))

    def publish(self, channel, message):
        self.published.append((channel, message))

    # --- one call ---------------------------------------------------------------

    def eval(self, keys, args, now_us):
        """One EVALSHA of the script on keys and args at server time now_us."""
        keys = [_encode(k) for k in keys]
        argv = [_encode(a) for a in args]
        self.now_us = float(now_us)
        self.now_s = floor(self.now_us / 1000000)
        self.now_ms = floor(self.now_us / 1000)
        self.expire(int(self.now_ms))
        try:
            return _reply(_Call(self, keys, argv).run())
        except _Error as e:
            raise ResponseError(str(e.args[0])) from None


def _number(x):
    return int(x) if x == math.floor(x) else x


class _Config:
    __slots__ = ("max_burst", "lease_ms", "nwin", "length", "limit", "fields")


class _State:
    __slots__ = ("e", "g", "n", "l", "p", "s", "c")


class _Windows:
    __slots__ = ("start", "count", "fresh")


class _Call:
    """One run of the script: its functions, in its order."""

    def __init__(self, model, keys, argv):
        self.m = model
        self.keys = keys
        self.argv = argv
        self.now_us, self.now_s, self.now_ms = model.now_us, model.now_s, model.now_ms
        self.GRANTS = keys[0]
        self.STATE = keys[1] if len(keys) > 1 else None
        self.LEASES = keys[2] if len(keys) > 2 else None
        self.PREFIX = self.GRANTS[:-3]

    def arg(self, i):
        """ARGV[i], 1-based; None past the end."""
        return self.argv[i - 1] if i <= len(self.argv) else None

    # --- helpers ------------------------------------------------------------------

    def refuse(self, what):
        raise _Error("ratevane_redis: bad " + what)

    def lease_of(self, text):
        lease_ms = tonumber(text)
        return lease_ms if _whole(lease_ms, 1, C["LEASE_CAP_MS"]) else None

    def publish_release(self):
        self.m.publish(self.PREFIX + b"free", b"1")

    def kept_until(self, lease_ms):
        return self.now_ms + max(C["KEEP_MS"], lease_ms)

    def short(self, granted, reason, wait_us):
        return -(granted + C["COUNT_UNIT"] * (reason + C["REASON_UNIT"] * min(
            floor(wait_us), C["WAIT_CAP"])))

    # --- keys and their expiries -----------------------------------------------------

    def write_state(self, out, e, want):
        if not out or (e is None and want is None):
            return
        extend = want is not None and (e is None or want > e)
        if extend:
            out += [b"e", want]
        self.m.hset(self.STATE, out)
        if extend:
            self.m.pexpireat(self.STATE, want)

    def keep_grants(self, ms, g):
        if g is not None and g >= ms:
            return None
        if g is None:
            _, score = self.m.zend(self.GRANTS, last=True)
            ms = max(ms, floor(score / C["COUNT_UNIT"]))
        self.m.pexpireat(self.GRANTS, ms + C["REFRESH_MS"])
        return ms + C["REFRESH_MS"]

    def keep_leases(self, l):
        last = self.m.zend(self.LEASES, last=True)
        if last is None:
            return None
        at = last[1] + C["GRACE_MS"]
        if l is not None and l >= at:
            return None
        self.m.pexpireat(self.LEASES, at)
        return at

    # --- the configuration and the windows ------------------------------------------

    def parse_config(self, text):
        nwin = (len(text) - 17) / 16
        if not _whole(nwin, 1, C["MAX_WINDOWS"]):
            return "configuration"
        nwin = int(nwin)
        v = struct.unpack_from("<%dd" % (2 + 2 * nwin), text, 1)
        c = _Config()
        c.max_burst, c.lease_ms, c.nwin = v[0], v[1], nwin
        c.length, c.limit = [None], [None]  # 1-based, as in the script
        c.fields = [b"e", b"g", b"n", b"l", b"p"]
        if not _whole(c.max_burst, 0, C["EXACT"]):
            return "max_burst"
        if not _whole(c.lease_ms, 1, C["LEASE_CAP_MS"]):
            return "lease"
        for i in range(1, nwin + 1):
            length, limit = v[2 * i], v[2 * i + 1]
            if not (_whole(length, 1, C["EXACT"]) and _whole(limit, 1, C["EXACT"])):
                return "window"
            c.length.append(length)
            c.limit.append(limit)
            c.fields += [b"s" + int_text(length), b"c" + int_text(length)]
        return c

    def read_state(self, c):
        v = [tonumber(x) for x in self.m.hmget(self.STATE, c.fields)]
        st = _State()
        st.e, st.g, st.n, st.l, st.p = v[:5]
        st.s, st.c = [None], [None]
        for i in range(1, c.nwin + 1):
            st.s.append(v[3 + 2 * i])
            st.c.append(v[4 + 2 * i])
        return st

    def window(self, c, st, i):
        length = c.length[i]
        start = self.now_s - lmod(self.now_s, length)
        s = st.s[i]
        if s is None or s < start:
            return start, 0.0, True
        return s, st.c[i] if st.c[i] is not None else 0.0, False

    def windows_now(self, c, st):
        w = _Windows()
        w.start, w.count, w.fresh = [None], [None], [None]
        room = C["EXACT"]
        for i in range(1, c.nwin + 1):
            s, n, fresh = self.window(c, st, i)
            w.start.append(s)
            w.count.append(n)
            w.fresh.append(fresh)
            room = min(room, c.limit[i] - n)
        return w, room

    def reopens_in(self, c, i, s):
        return max((s + c.length[i]) * 1000000 - self.now_us, 1000.0)

    def good_until(self, c):
        until_us = self.now_us + C["WAIT_CAP"]
        for i in range(1, c.nwin + 1):
            length = c.length[i]
            until_us = min(until_us, (self.now_s - lmod(self.now_s, length) + length) * 1000000)
        return until_us

    # --- grants --------------------------------------------------------------------------

    def leases_held(self):
        self.m.zremrangebyscore(self.LEASES, self.now_ms, inclusive=True)
        return self.m.zcard(self.LEASES)

    def seen_before(self, rid, k, until_ms):
        if k > 0 and self.m.zadd(self.GRANTS, until_ms * C["COUNT_UNIT"] + k, rid, nx=True) == 1:
            return None
        return self.m.zscore(self.GRANTS, rid)

    def count_grant(self, c, st, w, rid, k, until_ms, held, good_us):
        out, want = [], None
        for i in range(1, c.nwin + 1):
            if w.fresh[i]:
                out += [c.fields[3 + 2 * i], w.start[i]]
            if w.fresh[i] or st.e is None:
                want = max(want or 0.0, (w.start[i] + c.length[i]) * 1000 + C["GRACE_MS"])
            out += [c.fields[4 + 2 * i], w.count[i] + k]
        if want is not None:
            want = min(want, self.now_ms + C["FAR_MS"])
        if c.max_burst > 0:
            for j in range(1, int(k) + 1):
                self.m.zadd(self.LEASES, self.now_ms + c.lease_ms, rid + b"#" + int_text(j))
            need = self.now_ms + c.lease_ms + C["GRACE_MS"]
            if held == 0:
                self.m.pexpireat(self.LEASES, need)
                out += [b"l", need]
            elif st.l is None or st.l < need - C["GRACE_MS"] / 2:
                l = self.keep_leases(st.l)
                if l is not None:
                    out += [b"l", l]
        if good_us is not None:
            good_ms = ceil(good_us / 1000)
            if k > 1 and (st.p is None or st.p < good_ms):
                out += [b"p", good_ms]
        g = self.keep_grants(until_ms, st.g)
        if g is not None:
            out += [b"g", g]
        if st.n is None or st.n + 1 >= C["TRIM_EVERY"]:
            self.m.zremrangebyscore(self.GRANTS, self.now_ms * C["COUNT_UNIT"], inclusive=False)
            out += [b"n", 0.0]
        else:
            out += [b"n", st.n + 1]
        self.write_state(out, st.e, want)

    def why_not(self, c, st, w, k):
        reason, wait = C["WINDOW"], None
        for i in range(1, c.nwin + 1):
            if w.count[i] + k >= c.limit[i]:
                r = self.reopens_in(c, i, w.start[i])
                if wait is None or r > wait:
                    wait = r
        if wait is None:
            _, score = self.m.zend(self.LEASES, last=False)
            reason, wait = C["BURST"], max(score * 1000 - self.now_us, 1000.0)
        if st.p is not None and st.p > self.now_ms:
            self.m.publish(self.PREFIX + b"press", b"1")
            reason, wait = C["BURST"], min(wait, max((st.p - self.now_ms) * 1000, 1000.0))
        return reason, wait

    # --- the operations ----------------------------------------------------------------

    def acquire(self, c):
        rid, wanted = self.arg(2), tonumber(self.arg(3) or b"1")
        if not _whole(wanted, 1, C["MAX_COUNT"]):
            self.refuse("count")
        st = self.read_state(c)
        w, room = self.windows_now(c, st)
        k = min(wanted, room)
        held = 0.0
        if c.max_burst > 0:
            held = self.leases_held()
            k = min(k, c.max_burst - held)
        k = max(k, 0.0)
        until_ms = self.kept_until(c.lease_ms)
        seen = self.seen_before(rid, k, until_ms)
        if seen is not None:
            permits = lmod(seen, C["COUNT_UNIT"])
            if permits == wanted:
                return permits
            return self.short(permits, C["CANCELLED"] if permits == 0 else 0.0, 0.0)
        if k > 0:
            self.count_grant(c, st, w, rid, k, until_ms, held, None)
            if k == wanted:
                return k
        return self.short(k, *self.why_not(c, st, w, k))

    def block(self, c):
        rid, wanted, take_whole = self.arg(2), tonumber(self.arg(3) or b"1"), self.arg(4)
        if not _whole(wanted, 1, C["MAX_COUNT"]):
            self.refuse("count")
        if take_whole is not None and take_whole not in (b"0", C["BLOCK_WHOLE"]):
            self.refuse("whole")
        if c.max_burst > 0:
            self.refuse("max_burst")
        st = self.read_state(c)
        w, room = self.windows_now(c, st)
        k = min(wanted, room)
        if take_whole != C["BLOCK_WHOLE"] and k > 1:
            k = min(k, max(1.0, floor(room / 2)))
        k = max(k, 0.0)
        good_us = self.good_until(c)
        until_ms = floor(good_us / 1000) + C["KEEP_MS"]
        seen = self.seen_before(rid, k, until_ms)
        if seen is not None:
            permits = lmod(seen, C["COUNT_UNIT"])
            if self.m.zscore(self.GRANTS, rid + b"!") is not None:
                permits = 0.0
            good_ms = floor(seen / C["COUNT_UNIT"]) - C["KEEP_MS"]
            return [permits, C["CANCELLED"] if permits == 0 else 0.0, 0.0, self.now_us,
                    good_ms * 1000]
        if k > 0:
            self.count_grant(c, st, w, rid, k, until_ms, 0.0, good_us)
            return [k, 0.0, 0.0, self.now_us, good_us]
        reason, wait = self.why_not(c, st, w, k)
        return [k, reason, floor(min(wait, C["WAIT_CAP"])), self.now_us, 0.0]

    def refund(self, c):
        rid, every = self.arg(2), self.arg(3) in (None, b"")
        unused = tonumber(self.arg(3))
        if not every and not _whole(unused, 0, C["MAX_COUNT"]):
            self.refuse("count")
        acquired = self.arg(4) == C["OP_ACQUIRE"]
        st = self.read_state(c)
        seen = self.m.zscore(self.GRANTS, rid)
        if seen is None:
            until_ms = self.kept_until(c.lease_ms)
            self.m.zadd(self.GRANTS, until_ms * C["COUNT_UNIT"], rid)
            g = self.keep_grants(until_ms, st.g)
            if g is not None:
                self.write_state([b"g", g], st.e, None)
            return 0.0
        permits = lmod(seen, C["COUNT_UNIT"])
        if permits == 0:
            return 0.0
        unused = permits if unused is None else unused
        if unused > permits:
            self.refuse("count")
        kept_ms = floor(seen / C["COUNT_UNIT"])
        until_ms = max(kept_ms, self.kept_until(c.lease_ms))
        if unused == 0 or self.m.zadd(self.GRANTS, until_ms * C["COUNT_UNIT"], rid + b"!",
                                      nx=True) == 0:
            return 0.0
        if acquired:
            at_s = floor((kept_ms - max(C["KEEP_MS"], c.lease_ms)) / 1000)
        else:
            at_s = ceil((kept_ms - C["KEEP_MS"]) / 1000) - 1
        out, given = [], 0.0
        for i in range(1, c.nwin + 1):
            s, n, fresh = self.window(c, st, i)
            if not fresh and s == at_s - lmod(at_s, c.length[i]):
                out += [c.fields[4 + 2 * i], max(n - unused, 0.0)]
                given += 1
        g = self.keep_grants(until_ms, st.g)
        if g is not None:
            out += [b"g", g]
        self.write_state(out, st.e, None)
        if given > 0:
            self.publish_release()
        return given

    def release(self):
        freed = 0.0
        for lease in self.argv[1:]:
            freed += self.m.zrem(self.LEASES, lease)
        if freed > 0:
            self.publish_release()
        return freed

    def renew(self):
        lease_ms = self.lease_of(self.argv[0][1:])
        if lease_ms is None:
            self.refuse("lease")
        until_ms = self.now_ms + lease_ms
        lost = []
        for i, lease in enumerate(self.argv[1:], 1):
            if (self.m.zadd(self.LEASES, until_ms, lease, xx=True, ch=True) == 0
                    and self.m.zscore(self.LEASES, lease) is None):
                lost.append(float(i))
        self.keep_leases(tonumber(self.m.hmget(self.STATE, [b"l"])[0]))
        return lost

    def cancel(self):
        lease_ms = self.lease_of(self.argv[0][1:])
        if lease_ms is None:
            self.refuse("lease")
        rid = self.arg(2)
        until_ms = self.kept_until(lease_ms)
        seen = self.m.zscore(self.GRANTS, rid)
        if seen is not None:
            until_ms = max(until_ms, math.floor(seen / C["COUNT_UNIT"]))
            self.m.zadd(self.GRANTS, until_ms * C["COUNT_UNIT"] + lmod(seen, C["COUNT_UNIT"]), rid)
        else:
            self.m.zadd(self.GRANTS, until_ms * C["COUNT_UNIT"], rid)
        e, g = (tonumber(x) for x in self.m.hmget(self.STATE, [b"e", b"g"]))
        g = self.keep_grants(until_ms, g)
        if g is not None:
            self.write_state([b"g", g], e, None)
        if seen is None or self.LEASES is None:
            return 0.0
        freed = 0.0
        for j in range(1, int(lmod(seen, C["COUNT_UNIT"])) + 1):
            freed += self.m.zrem(self.LEASES, rid + b"#" + int_text(j))
        if freed > 0:
            self.publish_release()
        return freed

    def remaining(self, c):
        st = self.read_state(c)
        out = []
        for i in range(1, c.nwin + 1):
            _, n, _ = self.window(c, st, i)
            out.append(max(c.limit[i] - n, 0.0))
        if c.max_burst > 0:
            live = self.m.zcount_above(self.LEASES, self.now_ms)
            out.append(max(c.max_burst - live, 0.0))
        return out

    def wait_time(self, c):
        st = self.read_state(c)
        wait = -1.0
        for i in range(1, c.nwin + 1):
            s, n, _ = self.window(c, st, i)
            if n >= c.limit[i]:
                r = min(self.reopens_in(c, i, s), C["EXACT"])
                if wait < 0 or r < wait:
                    wait = r
        return wait

    # --- dispatch --------------------------------------------------------------------------

    def run(self):
        op = self.argv[0][:1]
        plain = {C["OP_RELEASE"]: self.release, C["OP_RENEW"]: self.renew,
                 C["OP_CANCEL"]: self.cancel}
        configured = {C["OP_ACQUIRE"]: self.acquire, C["OP_BLOCK"]: self.block,
                      C["OP_REFUND"]: self.refund, C["OP_REMAINING"]: self.remaining,
                      C["OP_WAIT"]: self.wait_time}
        if op in plain:
            return plain[op]()
        if op in configured:
            c = self.parse_config(self.argv[0])
            if isinstance(c, str):
                self.refuse(c)
            return configured[op](c)
        raise _Error("ratevane_redis: unknown operation " + self.argv[0].decode("latin-1"))


# --- beside a real server -------------------------------------------------------------

_CLOCK = re.compile(r"^local function server_time\(\)\n.*?^end\n", re.M | re.S)

CLOCKED_TIME = """local function server_time()
  local us = tonumber(table.remove(ARGV))
  return math.floor(us / 1000000), us % 1000000
end
"""


def clocked_script(text=SCRIPT):
    """The script with its one clock read replaced: the time (server us) is
    the call's last argument, which the rest of the script never sees."""
    out, n = _CLOCK.subn(CLOCKED_TIME, text)
    if n != 1:
        raise AssertionError("the script's clock function was not found exactly once")
    return out


def server_dump(client, keys):
    """The given keys of a real server, in the form of ScriptModel.dump()
    (two round trips)."""
    pipe = client.pipeline(transaction=False)
    for key in keys:
        pipe.type(key)
        pipe.execute_command("PEXPIRETIME", key)
    heads = pipe.execute()
    present = []
    for key, kind, expiry in zip(keys, heads[0::2], heads[1::2]):
        kind = kind.decode() if isinstance(kind, bytes) else kind
        if kind == "none":
            continue
        if kind not in (HASH, ZSET):
            raise AssertionError(f"{key!r} is a {kind}")
        present.append((key, kind, int(expiry)))
        if kind == HASH:
            pipe.hgetall(key)
        else:
            pipe.zrange(key, 0, -1, withscores=True)
    out = {}
    for (key, kind, expiry), contents in zip(present, pipe.execute() if present else []):
        if kind == HASH:
            contents = {f: _number(float(v)) for f, v in contents.items()}
        else:
            contents = [(m, _number(s)) for m, s in contents]
        out[key] = (kind, contents, expiry)
    return out
