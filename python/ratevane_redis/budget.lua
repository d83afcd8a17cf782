-- One shared budget of ratevane_redis: every operation on it is one call of
-- this script, so each is a single atomic step on the server. Each command
-- the script runs costs the server a few microseconds, about as much as
-- the round trip's own work: the common paths run as few as they can.
--
-- KEYS[1]   grants: sorted set, request id -> kept_until_ms * 1024 + permits.
--           A request replayed after a lost reply finds its entry and gets
--           the same answer without counting again. An entry is kept for
--           KEEP_MS, or the caller's lease if that is longer; entries past
--           their time are trimmed every TRIM_EVERY grants, so the set holds
--           at most the grants of that long plus TRIM_EVERY.
-- KEYS[2]   state: one hash per budget. For each window length L, sL = start
--           of the current interval (server seconds) and cL = permits
--           counted in it; e = the hash's own expiry (ms), g = the grants'
--           expiry (ms), n = grants since the grants were last trimmed,
--           l = the leases' expiry (ms), p = until when (ms) blocks taken
--           ahead may still be handed out by their holders.
-- KEYS[3]   with max_burst: leases, a sorted set of lease id -> expiry
--           (server ms). One member per burst permit held; a member whose
--           expiry has passed is free.
--
-- ARGV[1] is the operation's letter, followed for a, b, f, q and w by the
-- budget's configuration max_burst, lease_ms, length, limit, length, limit
-- ... as little-endian doubles (one string: every argument costs the client
-- time to encode, and unpacking is cheaper than parsing text). Then:
--   a  rid [wanted=1]   acquire       -> see the end of the 'a' branch
--   b  rid wanted       block: up to wanted permits taken ahead at once,
--                       without max_burst
--                                     -> {granted, reason, wait us, server
--                                        time us, good until us}
--   f  rid [unused]     refund the unused permits of block rid (all of it
--                       when unused is absent)
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

local GRACE_MS = 1000      -- kept past a window's end or a lease's expiry
local KEEP_MS = 60000      -- a request id is kept at least this long
local REFRESH_MS = 1000    -- the grants' expiry is set this far ahead of need
local TRIM_EVERY = 64      -- grants between two trims of the request ids
local FAR_MS = 2^45        -- bound on any expiry (windows can be very long)
local WAIT_CAP = 2^40      -- bound on an acquire's reported wait, microseconds
local EXACT = 2^53         -- bound on every count, limit and length
local LEASE_CAP_MS = 86400000

local WINDOW, BURST, CANCELLED = 1, 2, 3

local op = string.sub(ARGV[1], 1, 1)
local t = redis.call('TIME')
local now_s = tonumber(t[1])
local now_us = now_s * 1000000 + tonumber(t[2])
local now_ms = math.floor(now_us / 1000)
local GRANTS, STATE, LEASES = KEYS[1], KEYS[2], KEYS[3]

local function int(x)
  return string.format('%d', x)
end

local function whole(x, low, high)
  return type(x) == 'number' and x == math.floor(x) and x >= low and x <= high
end

local function refuse(what)
  return redis.error_reply('ratevane_redis: bad ' .. what)
end

-- The lease of a/q/w's configuration, or of n and x after the letter.
local function lease_of(text)
  local lease_ms = tonumber(text)
  if not whole(lease_ms, 1, LEASE_CAP_MS) then return nil end
  return lease_ms
end

local PREFIX = string.sub(GRANTS, 1, -4)

local function publish_release()
  redis.call('PUBLISH', PREFIX .. 'free', '1')
end

-- The leases' expiry, never earlier than it is: at the latest lease's.
local function extend_leases()
  local last = redis.call('ZRANGE', LEASES, -1, -1, 'WITHSCORES')
  if last[2] then
    local at = tonumber(last[2]) + GRACE_MS
    local ttl = redis.call('PTTL', LEASES)
    if ttl < 0 or now_ms + ttl < at then redis.call('PEXPIREAT', LEASES, at) end
  end
end

-- How long a request id is kept: long enough for any retry of the client
-- (its backoff and socket timeouts), and at least as long as its lease.
local function kept_until(lease_ms)
  return now_ms + math.max(KEEP_MS, lease_ms)
end

-- The grants' key outlives its newest entry; ms = that entry's time.
local function keep_grants_until(ms, g)
  if g == nil or g < ms then
    redis.call('PEXPIREAT', GRANTS, ms + REFRESH_MS)
    return ms + REFRESH_MS
  end
  return nil
end

-- An acquire's answer is one integer (cheap for every client to read):
-- the permits granted when that is all that was wanted, else
-- -(granted + 1024 * (reason + 4 * wait_us)).
local function short(granted, reason, wait_us)
  return -(granted + 1024 * (reason + 4 * math.min(math.floor(wait_us), WAIT_CAP)))
end

if op == 'r' then
  local freed = 0
  for i = 2, #ARGV do freed = freed + redis.call('ZREM', LEASES, ARGV[i]) end
  if freed > 0 then publish_release() end
  return freed

elseif op == 'n' then
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
  extend_leases()
  return lost

elseif op == 'x' then
  -- The caller gave up on request rid without knowing its answer: free what
  -- it was granted, or make sure a late copy of it grants nothing.
  local lease_ms = lease_of(string.sub(ARGV[1], 2))
  if not lease_ms then return refuse('lease') end
  local rid = ARGV[2]
  local until_ms = kept_until(lease_ms)
  local seen = redis.call('ZSCORE', GRANTS, rid)
  redis.call('ZADD', GRANTS, until_ms * 1024, rid)
  if redis.call('PTTL', GRANTS) < until_ms - now_ms then
    redis.call('PEXPIREAT', GRANTS, until_ms + REFRESH_MS)
  end
  if not seen then return 0 end
  local freed = 0
  for j = 1, tonumber(seen) % 1024 do
    freed = freed + redis.call('ZREM', LEASES, rid .. '#' .. int(j))
  end
  if freed > 0 then publish_release() end
  return freed
end

-- a, q and w: the configuration that follows the letter (max_burst, lease
-- ms, then a (length, limit) pair per window), checked whole, and the state
-- of every window in one read.
local nwin = (#ARGV[1] - 17) / 16
if not whole(nwin, 1, 4) then return refuse('configuration') end
local cfg = {struct.unpack('<' .. string.rep('d', 2 + 2 * nwin), ARGV[1], 2)}
local max_burst, lease_ms = cfg[1], cfg[2]
if not whole(max_burst, 0, EXACT) then return refuse('max_burst') end
if not whole(lease_ms, 1, LEASE_CAP_MS) then return refuse('lease') end
local fields = {'e', 'g', 'n', 'l', 'p'}
for i = 1, nwin do
  local length, limit = cfg[1 + 2 * i], cfg[2 + 2 * i]
  if not (whole(length, 1, EXACT) and whole(limit, 1, EXACT)) then
    return refuse('window')
  end
  fields[4 + 2 * i] = 's' .. int(length)
  fields[5 + 2 * i] = 'c' .. int(length)
end
local v = redis.call('HMGET', STATE, unpack(fields))

-- Window i as it stands now: its start, its count, and whether it must be
-- written as a fresh interval.
local function window(i)
  local length = cfg[1 + 2 * i]
  local start = now_s - now_s % length
  local s = tonumber(v[4 + 2 * i])
  if s == nil or s < start then return start, 0, true end
  return s, tonumber(v[5 + 2 * i]) or 0, false
end

local function reopens_in(i, s)
  return math.max((s + cfg[1 + 2 * i]) * 1000000 - now_us, 1000)
end

-- Where a block taken now may be handed out: until the earliest end of the
-- intervals it is counted in (us). No window has a boundary between now and
-- then, so any second before it names those intervals.
local function good_until()
  local at_s = now_s
  local until_us = now_us + WAIT_CAP
  for i = 1, nwin do
    local length = cfg[1 + 2 * i]
    until_us = math.min(until_us, (at_s - at_s % length + length) * 1000000)
  end
  return until_us
end

if op == 'a' or op == 'b' then
  local rid, wanted = ARGV[2], tonumber(ARGV[3] or 1)
  if not whole(wanted, 1, 1023) then return refuse('count') end
  local block = op == 'b'
  if block and max_burst > 0 then return refuse('max_burst') end

  -- How many of the wanted permits every window and the burst cap allow.
  -- A block takes at most half of what the tightest window has left, so
  -- the last permits of a window go one at a time, to whoever asks.
  local starts, counts, fresh = {}, {}, {}
  local k = wanted
  local room = EXACT
  for i = 1, nwin do
    starts[i], counts[i], fresh[i] = window(i)
    room = math.min(room, cfg[2 + 2 * i] - counts[i])
  end
  k = math.min(k, room)
  if block and k > 1 then k = math.min(k, math.max(1, math.floor(room / 2))) end
  local held = 0
  if max_burst > 0 then
    redis.call('ZREMRANGEBYSCORE', LEASES, '-inf', now_ms)
    held = redis.call('ZCARD', LEASES)
    k = math.min(k, max_burst - held)
  end
  k = math.max(k, 0)

  -- A request seen before gets its first answer (an id is only added
  -- when it is granted something).
  local seen = nil
  local until_ms = kept_until(lease_ms)
  local good_us = 0
  if block then
    -- A block's id is kept a minute past its intervals, so that a refund
    -- at their end (or a replay) still finds it.
    good_us = good_until()
    until_ms = math.floor(good_us / 1000) + KEEP_MS
  end
  if k > 0 then
    if redis.call('ZADD', GRANTS, 'NX', until_ms * 1024 + k, rid) == 0 then
      seen = redis.call('ZSCORE', GRANTS, rid)
    end
  else
    seen = redis.call('ZSCORE', GRANTS, rid)
  end
  if seen then
    local permits = tonumber(seen) % 1024
    if block then
      -- Good only in the intervals it was first counted in; nothing once
      -- it was refunded.
      if redis.call('ZSCORE', GRANTS, rid .. '!') then permits = 0 end
      local good_ms = math.floor(tonumber(seen) / 1024) - KEEP_MS
      return {permits, permits == 0 and CANCELLED or 0, 0, now_us, good_ms * 1000}
    end
    if permits == wanted then return permits end
    return short(permits, permits == 0 and CANCELLED or 0, 0)
  end

  local e, g, n, l, p = tonumber(v[1]), tonumber(v[2]), tonumber(v[3]), tonumber(v[4]),
      tonumber(v[5])
  if k > 0 then
    local out = {}
    local expiry = 0
    for i = 1, nwin do
      if fresh[i] then
        out[#out + 1] = fields[4 + 2 * i]; out[#out + 1] = starts[i]
        expiry = math.max(expiry, (starts[i] + cfg[1 + 2 * i]) * 1000 + GRACE_MS)
      end
      out[#out + 1] = fields[5 + 2 * i]; out[#out + 1] = counts[i] + k
    end
    if max_burst > 0 then
      for j = 1, k do redis.call('ZADD', LEASES, now_ms + lease_ms, rid .. '#' .. int(j)) end
      local need = now_ms + lease_ms + GRACE_MS
      if held == 0 then
        -- The set was empty, so it is new: its only leases are these.
        redis.call('PEXPIREAT', LEASES, need)
        out[#out + 1] = 'l'; out[#out + 1] = need
      elseif l == nil or l < need - GRACE_MS / 2 then
        extend_leases()
        out[#out + 1] = 'l'; out[#out + 1] = now_ms + redis.call('PTTL', LEASES)
      end
    end
    if block then
      local good_ms = math.ceil(good_us / 1000)
      if k > 1 and (p == nil or p < good_ms) then out[#out + 1] = 'p'; out[#out + 1] = good_ms end
    end
    local grants_until = keep_grants_until(until_ms, g)
    if grants_until then out[#out + 1] = 'g'; out[#out + 1] = grants_until end
    if n == nil or n + 1 >= TRIM_EVERY then
      -- Ids past their time (their score is below now_ms * 1024).
      redis.call('ZREMRANGEBYSCORE', GRANTS, '-inf', '(' .. int(now_ms * 1024))
      out[#out + 1] = 'n'; out[#out + 1] = 0
    else
      out[#out + 1] = 'n'; out[#out + 1] = n + 1
    end
    -- The hash lives as long as its longest interval (never shortened:
    -- other limiters on this name may count longer windows in it).
    expiry = math.min(expiry, now_ms + FAR_MS)
    local extend = expiry > 0 and (e == nil or expiry > e)
    if extend then out[#out + 1] = 'e'; out[#out + 1] = expiry end
    redis.call('HSET', STATE, unpack(out))
    if extend then redis.call('PEXPIREAT', STATE, expiry) end
    if block then return {k, 0, 0, now_us, good_us} end
    if k == wanted then return k end
  end

  -- Why no more. A full window frees nothing before it reopens, and the
  -- permit needs all of them: the latest reopening among the full windows.
  -- Else the burst cap, which frees at a release (published) or at the
  -- earliest lease expiry.
  local reason, wait = WINDOW, nil
  for i = 1, nwin do
    if counts[i] + k >= cfg[2 + 2 * i] then
      local w = reopens_in(i, starts[i])
      if wait == nil or w > wait then wait = w end
    end
  end
  if wait == nil then
    local first = redis.call('ZRANGE', LEASES, 0, 0, 'WITHSCORES')
    reason, wait = BURST, math.max(tonumber(first[2]) * 1000 - now_us, 1000)
  end
  if p ~= nil and p > now_ms then
    -- Blocks are out: their holders hand back what they have not used, and
    -- a refund publishes as a release does. Wait for that as for a burst
    -- permit, at most until the blocks are good no more.
    redis.call('PUBLISH', PREFIX .. 'press', '1')
    reason, wait = BURST, math.min(wait, math.max((p - now_ms) * 1000, 1000))
  end
  if block then return {k, reason, math.floor(math.min(wait, WAIT_CAP)), now_us, 0} end
  return short(k, reason, wait)

elseif op == 'f' then
  -- The unused part of block rid, given back to each window still in the
  -- interval the block was counted in. Once only: a refund replayed would
  -- hand back twice, which is more than was taken.
  local rid = ARGV[2]
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if not seen then return 0 end -- not granted, or too old to know: nothing back
  local permits = tonumber(seen) % 1024
  local unused = tonumber(ARGV[3] or permits)
  if not whole(unused, 0, permits) then return refuse('count') end
  -- The marker is kept as long as the block's id, or a minute if longer.
  local kept_ms = math.floor(tonumber(seen) / 1024)
  local until_ms = math.max(kept_ms, kept_until(lease_ms))
  if unused == 0 or redis.call('ZADD', GRANTS, 'NX', until_ms * 1024, rid .. '!') == 0 then
    return 0
  end
  -- A second inside the block's intervals: the last one before their end.
  local at_s = math.ceil((kept_ms - KEEP_MS) / 1000) - 1
  local out, given = {}, 0
  for i = 1, nwin do
    local length = cfg[1 + 2 * i]
    local s, c, new = window(i)
    if not new and s == at_s - at_s % length then
      out[#out + 1] = fields[5 + 2 * i]; out[#out + 1] = math.max(c - unused, 0)
      given = given + 1
    end
  end
  local grants_until = keep_grants_until(until_ms, tonumber(v[2]))
  if grants_until then out[#out + 1] = 'g'; out[#out + 1] = grants_until end
  if #out > 0 then redis.call('HSET', STATE, unpack(out)) end
  if given > 0 then publish_release() end
  return given

elseif op == 'q' then
  local out = {}
  for i = 1, nwin do
    local _, c = window(i)
    out[i] = math.max(cfg[2 + 2 * i] - c, 0)
  end
  if max_burst > 0 then
    local live = redis.call('ZCOUNT', LEASES, '(' .. int(now_ms), '+inf')
    out[#out + 1] = math.max(max_burst - live, 0)
  end
  return out

elseif op == 'w' then
  -- The first full window's reopening (integer replies are exact to 2^53).
  local wait = -1
  for i = 1, nwin do
    local s, c = window(i)
    if c >= cfg[2 + 2 * i] then
      local w = math.min(reopens_in(i, s), EXACT)
      if wait < 0 or w < wait then wait = w end
    end
  end
  return wait
end
return redis.error_reply('ratevane_redis: unknown operation ' .. tostring(ARGV[1]))
