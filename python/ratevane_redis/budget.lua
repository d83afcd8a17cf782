-- One shared budget of ratevane_redis: every operation on it is one call of
-- this script, so each is a single atomic step on the server. Each command
-- the script runs costs the server a few microseconds, about as much as
-- the round trip's own work: the common paths run as few as they can.
--
-- KEYS[1]   grants: sorted set, request id -> kept_until_ms * COUNT_UNIT +
--           permits. A request replayed after a lost reply finds its entry
--           and gets the same answer without counting again. An entry is
--           kept for KEEP_MS, or the caller's lease if that is longer;
--           entries past their time are trimmed every TRIM_EVERY grants, so
--           the set holds at most the grants of that long plus TRIM_EVERY.
-- KEYS[2]   state: one hash per budget. For each window length L, sL = start
--           of the current interval (server seconds) and cL = permits
--           counted in it; e = the hash's own expiry (ms), g = the grants'
--           expiry (ms), n = grants since the grants were last trimmed,
--           l = no later than the leases' expiry (ms), p = until when (ms)
--           blocks taken ahead may still be handed out by their holders.
-- KEYS[3]   with max_burst: leases, a sorted set of lease id -> expiry
--           (server ms). One member per burst permit held; a member whose
--           expiry has passed is free.
-- Every key written has an expiry, and no expiry is ever set earlier than
-- an entry of its key still needs. The expiries are known from the state
-- hash (e, g, l) and the sets' scores, never from PTTL: the server's clock
-- is read in one place only (server_time).
--
-- ARGV[1] is the operation's letter, followed for a, b, f, q and w by the
-- budget's configuration max_burst, lease_ms, length, limit, length, limit
-- ... as little-endian doubles (one string: every argument costs the client
-- time to encode, and unpacking is cheaper than parsing text). Then:
--   a  rid [wanted=1]   acquire       -> see short()
--   b  rid wanted [whole]
--                       block: up to wanted permits taken ahead at once,
--                       without max_burst; at most half of what the tightest
--                       window has left unless whole is '1' (callers waiting
--                       now, whose spare permits are refunded)
--                                     -> {granted, reason, wait us, server
--                                        time us, good until us}
--   f  rid [unused [kind]]
--                       refund the unused permits of grant rid (all of it
--                       when unused is absent or empty), a block's or, with
--                       kind 'a', an acquire's; a grant not seen yet is
--                       recorded as given up, so a late copy grants nothing
--                                     -> windows given back to
--   r  lease id...      release       -> leases freed
--   n  lease id...      renew (ARGV[1] is 'n' .. lease_ms)
--                                     -> positions of leases already gone
--   x  rid              cancel (ARGV[1] is 'x' .. lease_ms)
--                                     -> leases of that request freed
--   q                   remaining     -> permits left per window [, burst]
--   w                   wait time     -> microseconds, or -1
-- A release or a refund publishes on the budget's channel (its keys' prefix
-- .. 'free'); a refusal while blocks are out publishes on prefix .. 'press',
-- which the blocks' holders answer with a refund.
--
-- Time is the server's own clock (TIME): every client counts in the same
-- windows whatever its own clock says. A window of length L starts at a
-- multiple of L seconds from the epoch. If the server clock goes back, a
-- window keeps its stored interval until the clock passes into a newer one.
--
-- Redis does not undo a script's earlier writes when a later command fails,
-- so every argument is checked before the first write, and no command after
-- it can fail on a value the caller chose. Lua's numbers are doubles: counts,
-- limits and lengths are integers of at most 2^53, exact there; numbers are
-- made into text with string.format('%d'), never with '..', which keeps only
-- 14 significant digits.

-- --- shared with _wire.py ---
local OP_ACQUIRE = 'a'
local OP_BLOCK = 'b'
local OP_REFUND = 'f'
local OP_RELEASE = 'r'
local OP_RENEW = 'n'
local OP_CANCEL = 'x'
local OP_REMAINING = 'q'
local OP_WAIT = 'w'
local BLOCK_WHOLE = '1'      -- b's 4th argument: no halving
local COUNT_BITS = 10        -- permits in a grant's score and a packed reply
local COUNT_UNIT = 1024      -- 2^COUNT_BITS
local REASON_BITS = 2        -- then the reason, in a packed reply
local REASON_UNIT = 4        -- 2^REASON_BITS
local WAIT_SHIFT = 12        -- then the wait: value >> WAIT_SHIFT microseconds
local MAX_COUNT = 1023       -- most permits one acquire or block asks for
local MAX_WINDOWS = 4        -- windows in one configuration
local KEEP_MS = 60000        -- a request id is kept at least this long
local GRACE_MS = 1000        -- kept past a window's end or a lease's expiry
local EXACT = 2^53           -- bound on every count, limit and length
local LEASE_CAP_MS = 86400000
local WAIT_CAP = 2^40        -- bound on a reported wait, microseconds
local WINDOW = 1             -- reasons for granting fewer than wanted
local BURST = 2
local CANCELLED = 3
-- --- end ---

local REFRESH_MS = 1000    -- the grants' expiry is set this far ahead of need
local TRIM_EVERY = 64      -- grants between two trims of the request ids
local FAR_MS = 2^45        -- bound on any expiry (windows can be very long)

-- The server's clock, read here and nowhere else: seconds, microseconds.
local function server_time()
  local t = redis.call('TIME')
  return tonumber(t[1]), tonumber(t[2])
end

local now_s, micros = server_time()
local now_us = now_s * 1000000 + micros
local now_ms = math.floor(now_us / 1000)
local GRANTS, STATE, LEASES = KEYS[1], KEYS[2], KEYS[3]
local PREFIX = string.sub(GRANTS, 1, -4)

local function int(x)
  return string.format('%d', x)
end

local function whole(x, low, high)
  return type(x) == 'number' and x == math.floor(x) and x >= low and x <= high
end

local function refuse(what)
  return redis.error_reply('ratevane_redis: bad ' .. what)
end

-- The lease of n and x, after the letter.
local function lease_of(text)
  local lease_ms = tonumber(text)
  if not whole(lease_ms, 1, LEASE_CAP_MS) then return nil end
  return lease_ms
end

local function publish_release()
  redis.call('PUBLISH', PREFIX .. 'free', '1')
end

-- How long a request id is kept: long enough for any retry of the client
-- (its backoff and socket timeouts), and at least as long as its lease.
local function kept_until(lease_ms)
  return now_ms + math.max(KEEP_MS, lease_ms)
end

-- An acquire's answer is one integer (cheap for every client to read):
-- the permits granted when that is all that was wanted, else
-- -(granted + COUNT_UNIT * (reason + REASON_UNIT * wait_us)).
local function short(granted, reason, wait_us)
  return -(granted + COUNT_UNIT * (reason + REASON_UNIT * math.min(math.floor(wait_us), WAIT_CAP)))
end

-- --- keys and their expiries -------------------------------------------------

-- Every write of the state hash: out = field, value, ...; e = the hash's
-- expiry as read (nil: no hash); want = the expiry these fields need, or nil
-- for fields that only save work while the hash lives anyway (they are
-- dropped when there is no hash). The hash always leaves with an expiry,
-- never earlier than it was: other limiters on this name may count longer
-- windows in it.
local function write_state(out, e, want)
  if #out == 0 or (e == nil and want == nil) then return end
  local extend = want ~= nil and (e == nil or want > e)
  if extend then out[#out + 1] = 'e'; out[#out + 1] = want end
  redis.call('HSET', STATE, unpack(out))
  if extend then redis.call('PEXPIREAT', STATE, want) end
end

-- The grants outlive their entries: called after every entry added (kept
-- until ms), with g = the grants' expiry from the state hash (no entry is
-- kept later than that; nil: not known, then the latest entry says). Returns
-- the new expiry to record, when one was set.
local function keep_grants(ms, g)
  if g ~= nil and g >= ms then return nil end
  if g == nil then
    local last = redis.call('ZRANGE', GRANTS, -1, -1, 'WITHSCORES')
    ms = math.max(ms, math.floor(tonumber(last[2]) / COUNT_UNIT))
  end
  redis.call('PEXPIREAT', GRANTS, ms + REFRESH_MS)
  return ms + REFRESH_MS
end

-- The leases outlive the latest of them; l = no later than their expiry, from
-- the state hash (nil: not known). Returns the new expiry, when one was set.
local function keep_leases(l)
  local last = redis.call('ZRANGE', LEASES, -1, -1, 'WITHSCORES')
  if not last[2] then return nil end
  local at = tonumber(last[2]) + GRACE_MS
  if l ~= nil and l >= at then return nil end
  redis.call('PEXPIREAT', LEASES, at)
  return at
end

-- --- the configuration and the windows -----------------------------------------

-- The configuration after the letter of a, b, f, q and w (max_burst, lease
-- ms, then a (length, limit) pair per window), checked whole. Returns it, or
-- the name of what is wrong.
local function parse_config(text)
  local nwin = (#text - 17) / 16
  if not whole(nwin, 1, MAX_WINDOWS) then return 'configuration' end
  local v = {struct.unpack('<' .. string.rep('d', 2 + 2 * nwin), text, 2)}
  local c = {max_burst = v[1], lease_ms = v[2], nwin = nwin, length = {}, limit = {},
             fields = {'e', 'g', 'n', 'l', 'p'}}
  if not whole(c.max_burst, 0, EXACT) then return 'max_burst' end
  if not whole(c.lease_ms, 1, LEASE_CAP_MS) then return 'lease' end
  for i = 1, nwin do
    local length, limit = v[1 + 2 * i], v[2 + 2 * i]
    if not (whole(length, 1, EXACT) and whole(limit, 1, EXACT)) then return 'window' end
    c.length[i], c.limit[i] = length, limit
    c.fields[4 + 2 * i] = 's' .. int(length)
    c.fields[5 + 2 * i] = 'c' .. int(length)
  end
  return c
end

-- The state hash in one read.
local function read_state(c)
  local v = redis.call('HMGET', STATE, unpack(c.fields))
  local st = {e = tonumber(v[1]), g = tonumber(v[2]), n = tonumber(v[3]), l = tonumber(v[4]),
              p = tonumber(v[5]), s = {}, c = {}}
  for i = 1, c.nwin do
    st.s[i], st.c[i] = tonumber(v[4 + 2 * i]), tonumber(v[5 + 2 * i])
  end
  return st
end

-- Window i as it stands now: its start, its count, and whether it must be
-- written as a fresh interval.
local function window(c, st, i)
  local length = c.length[i]
  local start = now_s - now_s % length
  local s = st.s[i]
  if s == nil or s < start then return start, 0, true end
  return s, st.c[i] or 0, false
end

-- Every window as it stands, and how many permits all of them have left.
local function windows_now(c, st)
  local w = {start = {}, count = {}, fresh = {}}
  local room = EXACT
  for i = 1, c.nwin do
    w.start[i], w.count[i], w.fresh[i] = window(c, st, i)
    room = math.min(room, c.limit[i] - w.count[i])
  end
  return w, room
end

local function reopens_in(c, i, s)
  return math.max((s + c.length[i]) * 1000000 - now_us, 1000)
end

-- Where a block taken now may be handed out: until the earliest end of the
-- intervals it is counted in (us). No window has a boundary between now and
-- then, so any second before it names those intervals.
local function good_until(c)
  local until_us = now_us + WAIT_CAP
  for i = 1, c.nwin do
    local length = c.length[i]
    until_us = math.min(until_us, (now_s - now_s % length + length) * 1000000)
  end
  return until_us
end

-- --- grants ----------------------------------------------------------------------

-- Burst permits held now. Expired leases go first: every acquire drops them
-- before it counts, which is what makes renewing a lease still present safe.
local function leases_held()
  redis.call('ZREMRANGEBYSCORE', LEASES, '-inf', now_ms)
  return redis.call('ZCARD', LEASES)
end

-- A request seen before gets its first answer: its entry's score, or nil
-- when it is new (an id is added, kept until until_ms, only when it is
-- granted k > 0 permits).
local function seen_before(rid, k, until_ms)
  if k > 0 and redis.call('ZADD', GRANTS, 'NX', until_ms * COUNT_UNIT + k, rid) == 1 then
    return nil
  end
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if seen then return tonumber(seen) end
  return nil
end

-- Counts k new permits of rid in every window (and as k leases with
-- max_burst); held = leases held before, good_us = a block's end (nil for
-- an acquire).
local function count_grant(c, st, w, rid, k, until_ms, held, good_us)
  local out, want = {}, nil
  for i = 1, c.nwin do
    if w.fresh[i] then
      out[#out + 1] = c.fields[4 + 2 * i]; out[#out + 1] = w.start[i]
    end
    if w.fresh[i] or st.e == nil then
      -- The hash lives as long as its longest interval.
      want = math.max(want or 0, (w.start[i] + c.length[i]) * 1000 + GRACE_MS)
    end
    out[#out + 1] = c.fields[5 + 2 * i]; out[#out + 1] = w.count[i] + k
  end
  if want then want = math.min(want, now_ms + FAR_MS) end
  if c.max_burst > 0 then
    for j = 1, k do
      redis.call('ZADD', LEASES, now_ms + c.lease_ms, rid .. '#' .. int(j))
    end
    local need = now_ms + c.lease_ms + GRACE_MS
    if held == 0 then
      -- The set was empty, so it is new: its only leases are these.
      redis.call('PEXPIREAT', LEASES, need)
      out[#out + 1] = 'l'; out[#out + 1] = need
    elseif st.l == nil or st.l < need - GRACE_MS / 2 then
      local l = keep_leases(st.l)
      if l then out[#out + 1] = 'l'; out[#out + 1] = l end
    end
  end
  if good_us then
    local good_ms = math.ceil(good_us / 1000)
    if k > 1 and (st.p == nil or st.p < good_ms) then
      out[#out + 1] = 'p'; out[#out + 1] = good_ms
    end
  end
  local g = keep_grants(until_ms, st.g)
  if g then out[#out + 1] = 'g'; out[#out + 1] = g end
  if st.n == nil or st.n + 1 >= TRIM_EVERY then
    -- Ids past their time (their score is below now_ms * COUNT_UNIT).
    redis.call('ZREMRANGEBYSCORE', GRANTS, '-inf', '(' .. int(now_ms * COUNT_UNIT))
    out[#out + 1] = 'n'; out[#out + 1] = 0
  else
    out[#out + 1] = 'n'; out[#out + 1] = st.n + 1
  end
  write_state(out, st.e, want)
end

-- Why no more than k, and the wait (us). A full window frees nothing before
-- it reopens, and the permit needs all of them: the latest reopening among
-- the full windows. Else the burst cap, which frees at a release
-- (published) or at the earliest lease expiry.
local function why_not(c, st, w, k)
  local reason, wait = WINDOW, nil
  for i = 1, c.nwin do
    if w.count[i] + k >= c.limit[i] then
      local r = reopens_in(c, i, w.start[i])
      if wait == nil or r > wait then wait = r end
    end
  end
  if wait == nil then
    local first = redis.call('ZRANGE', LEASES, 0, 0, 'WITHSCORES')
    reason, wait = BURST, math.max(tonumber(first[2]) * 1000 - now_us, 1000)
  end
  if st.p ~= nil and st.p > now_ms then
    -- Blocks are out: their holders hand back what they have not used, and
    -- a refund publishes as a release does. Wait for that as for a burst
    -- permit, at most until the blocks are good no more.
    redis.call('PUBLISH', PREFIX .. 'press', '1')
    reason, wait = BURST, math.min(wait, math.max((st.p - now_ms) * 1000, 1000))
  end
  return reason, wait
end

-- --- the operations ----------------------------------------------------------------

local function acquire(c)
  local rid, wanted = ARGV[2], tonumber(ARGV[3] or 1)
  if not whole(wanted, 1, MAX_COUNT) then return refuse('count') end
  local st = read_state(c)
  local w, room = windows_now(c, st)
  local k = math.min(wanted, room)
  local held = 0
  if c.max_burst > 0 then
    held = leases_held()
    k = math.min(k, c.max_burst - held)
  end
  k = math.max(k, 0)
  local until_ms = kept_until(c.lease_ms)
  local seen = seen_before(rid, k, until_ms)
  if seen then
    local permits = seen % COUNT_UNIT
    if permits == wanted then return permits end
    return short(permits, permits == 0 and CANCELLED or 0, 0)
  end
  if k > 0 then
    count_grant(c, st, w, rid, k, until_ms, held, nil)
    if k == wanted then return k end
  end
  return short(k, why_not(c, st, w, k))
end

local function block(c)
  local rid, wanted, take_whole = ARGV[2], tonumber(ARGV[3] or 1), ARGV[4]
  if not whole(wanted, 1, MAX_COUNT) then return refuse('count') end
  if take_whole ~= nil and take_whole ~= '0' and take_whole ~= BLOCK_WHOLE then
    return refuse('whole')
  end
  if c.max_burst > 0 then return refuse('max_burst') end
  local st = read_state(c)
  local w, room = windows_now(c, st)
  local k = math.min(wanted, room)
  if take_whole ~= BLOCK_WHOLE and k > 1 then
    -- At most half of what the tightest window has left, so the last
    -- permits of a window go one at a time, to whoever asks.
    k = math.min(k, math.max(1, math.floor(room / 2)))
  end
  k = math.max(k, 0)
  -- A block's id is kept a minute past its intervals, so that a refund at
  -- their end (or a replay) still finds it.
  local good_us = good_until(c)
  local until_ms = math.floor(good_us / 1000) + KEEP_MS
  local seen = seen_before(rid, k, until_ms)
  if seen then
    -- Good only in the intervals it was first counted in; nothing once it
    -- was refunded.
    local permits = seen % COUNT_UNIT
    if redis.call('ZSCORE', GRANTS, rid .. '!') then permits = 0 end
    local good_ms = math.floor(seen / COUNT_UNIT) - KEEP_MS
    return {permits, permits == 0 and CANCELLED or 0, 0, now_us, good_ms * 1000}
  end
  if k > 0 then
    count_grant(c, st, w, rid, k, until_ms, 0, good_us)
    return {k, 0, 0, now_us, good_us}
  end
  local reason, wait = why_not(c, st, w, k)
  return {k, reason, math.floor(math.min(wait, WAIT_CAP)), now_us, 0}
end

-- The unused part of block rid, given back to each window still in the
-- interval the block was counted in. Once only: a refund replayed would
-- hand back twice, which is more than was taken.
local function refund(c)
  local rid, all = ARGV[2], ARGV[3] == nil or ARGV[3] == ''
  local unused = tonumber(ARGV[3])
  if not all and not whole(unused, 0, MAX_COUNT) then return refuse('count') end
  local acquired = ARGV[4] == OP_ACQUIRE
  local st = read_state(c)
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if not seen then
    -- Not granted yet (the block's call is late, or was lost) or too old to
    -- know: recorded as given up, as a cancel does, so that a late copy of
    -- the block grants nothing.
    local until_ms = kept_until(c.lease_ms)
    redis.call('ZADD', GRANTS, until_ms * COUNT_UNIT, rid)
    local g = keep_grants(until_ms, st.g)
    if g then write_state({'g', g}, st.e, nil) end
    return 0
  end
  seen = tonumber(seen)
  local permits = seen % COUNT_UNIT
  if permits == 0 then return 0 end -- given up before: nothing to give back
  unused = unused or permits
  if unused > permits then return refuse('count') end
  -- The marker is kept as long as the block's id, or a minute if longer.
  local kept_ms = math.floor(seen / COUNT_UNIT)
  local until_ms = math.max(kept_ms, kept_until(c.lease_ms))
  if unused == 0 or redis.call('ZADD', GRANTS, 'NX', until_ms * COUNT_UNIT, rid .. '!') == 0 then
    return 0
  end
  -- A second inside the grant's intervals: an acquire's id is kept from
  -- its grant; a block's from the end of its intervals, and this is the
  -- last second before that end.
  local at_s
  if acquired then
    at_s = math.floor((kept_ms - math.max(KEEP_MS, c.lease_ms)) / 1000)
  else
    at_s = math.ceil((kept_ms - KEEP_MS) / 1000) - 1
  end
  local out, given = {}, 0
  for i = 1, c.nwin do
    local s, count, fresh = window(c, st, i)
    if not fresh and s == at_s - at_s % c.length[i] then
      out[#out + 1] = c.fields[5 + 2 * i]; out[#out + 1] = math.max(count - unused, 0)
      given = given + 1
    end
  end
  local g = keep_grants(until_ms, st.g)
  if g then out[#out + 1] = 'g'; out[#out + 1] = g end
  write_state(out, st.e, nil)
  if given > 0 then publish_release() end
  return given
end

local function release()
  local freed = 0
  for i = 2, #ARGV do freed = freed + redis.call('ZREM', LEASES, ARGV[i]) end
  if freed > 0 then publish_release() end
  return freed
end

local function renew()
  local lease_ms = lease_of(string.sub(ARGV[1], 2))
  if not lease_ms then return refuse('lease') end
  local until_ms = now_ms + lease_ms
  local lost = {}
  for i = 2, #ARGV do
    -- A lease still present was never given to anyone else (every acquire
    -- drops expired ones before it counts), so renewing it is safe.
    if redis.call('ZADD', LEASES, 'XX', 'CH', until_ms, ARGV[i]) == 0
        and not redis.call('ZSCORE', LEASES, ARGV[i]) then
      lost[#lost + 1] = i - 1
    end
  end
  -- A later expiry set here keeps l no later than the real one; l is left
  -- for acquires to refresh.
  keep_leases(tonumber(redis.call('HGET', STATE, 'l')))
  return lost
end

-- The caller gave up on request rid without knowing its answer: free what
-- it was granted, or make sure a late copy of it grants nothing.
local function cancel()
  local lease_ms = lease_of(string.sub(ARGV[1], 2))
  if not lease_ms then return refuse('lease') end
  local rid = ARGV[2]
  local until_ms = kept_until(lease_ms)
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if seen then
    -- Granted: the count stays, for the refund that may come after (one
    -- that failed and is tried again), and the id is kept as long at least.
    seen = tonumber(seen)
    until_ms = math.max(until_ms, math.floor(seen / COUNT_UNIT))
    redis.call('ZADD', GRANTS, until_ms * COUNT_UNIT + seen % COUNT_UNIT, rid)
  else
    redis.call('ZADD', GRANTS, until_ms * COUNT_UNIT, rid)
  end
  local v = redis.call('HMGET', STATE, 'e', 'g')
  local g = keep_grants(until_ms, tonumber(v[2]))
  if g then write_state({'g', g}, tonumber(v[1]), nil) end
  -- Without max_burst (no leases key) a grant holds no leases.
  if not seen or LEASES == nil then return 0 end
  local freed = 0
  for j = 1, tonumber(seen) % COUNT_UNIT do
    freed = freed + redis.call('ZREM', LEASES, rid .. '#' .. int(j))
  end
  if freed > 0 then publish_release() end
  return freed
end

local function remaining(c)
  local st = read_state(c)
  local out = {}
  for i = 1, c.nwin do
    local _, count = window(c, st, i)
    out[i] = math.max(c.limit[i] - count, 0)
  end
  if c.max_burst > 0 then
    local live = redis.call('ZCOUNT', LEASES, '(' .. int(now_ms), '+inf')
    out[#out + 1] = math.max(c.max_burst - live, 0)
  end
  return out
end

-- The first full window's reopening (integer replies are exact to 2^53).
local function wait_time(c)
  local st = read_state(c)
  local wait = -1
  for i = 1, c.nwin do
    local s, count = window(c, st, i)
    if count >= c.limit[i] then
      local r = math.min(reopens_in(c, i, s), EXACT)
      if wait < 0 or r < wait then wait = r end
    end
  end
  return wait
end

-- --- dispatch ----------------------------------------------------------------------

local PLAIN = {[OP_RELEASE] = release, [OP_RENEW] = renew, [OP_CANCEL] = cancel}
local CONFIGURED = {[OP_ACQUIRE] = acquire, [OP_BLOCK] = block, [OP_REFUND] = refund,
                    [OP_REMAINING] = remaining, [OP_WAIT] = wait_time}

local op = string.sub(ARGV[1], 1, 1)
if PLAIN[op] then return PLAIN[op]() end
if CONFIGURED[op] then
  local c = parse_config(ARGV[1])
  if type(c) == 'string' then return refuse(c) end
  return CONFIGURED[op](c)
end
return redis.error_reply('ratevane_redis: unknown operation ' .. tostring(ARGV[1]))
