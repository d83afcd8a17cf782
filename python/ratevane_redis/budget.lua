-- One shared budget of ratevane_redis: every operation on it is one call of
-- this script, so each is a single atomic step on the server.
--
-- KEYS[1]   grants: sorted set, request id -> granted_at_ms * 1024 + permits.
--           A request replayed after a lost reply finds its entry and gets
--           the same answer without counting again. The newest GRANT_CAP
--           entries are kept, until GRANT_MS after the budget's last grant.
-- KEYS[2..] one hash per configured window length: s = start of the current
--           interval (server seconds), c = permits counted in it.
-- KEYS[n]   with max_burst, last: leases, a sorted set of lease id -> expiry
--           (server ms). One member per burst permit held; a member whose
--           expiry has passed is free.
--
-- ARGV[1] is the operation's letter, followed for a, q and w by the budget's
-- configuration "max_burst lease_ms length limit length limit ..." (one
-- string: every argument costs the client time to encode). Then:
--   a  rid [wanted=1]   acquire       -> see the end of the 'a' branch
--   r  lease id...      release       -> leases freed
--   n  lease id...      renew (ARGV[1] is 'n' .. lease_ms)
--                                     -> positions of leases already gone
--   x  rid              cancel        -> leases of that request freed
--   q                   remaining     -> permits left per window [, burst]
--   w                   wait time     -> microseconds, or -1
-- A release publishes on the budget's channel (its keys' prefix .. 'free').
--
-- Time is the server's own clock (TIME): every client counts in the same
-- windows whatever its own clock says. A window of length L starts at a
-- multiple of L seconds from the epoch. If the server clock goes back, a
-- window keeps its stored interval until the clock passes into a newer one.

local GRACE_MS = 1000      -- kept past a window's end or a lease's expiry
local GRANT_MS = 10000     -- request ids are kept this long after the last grant
local GRANT_CAP = 4096     -- most request ids remembered per budget
local FAR_MS = 2^45        -- bound on any expiry (windows can be very long)
local WAIT_CAP = 2^40      -- bound on a reported wait, in microseconds

local WINDOW, BURST, CANCELLED = 1, 2, 3

local op = string.sub(ARGV[1], 1, 1)
local t = redis.call('TIME')
local now_s = tonumber(t[1])
local now_us = now_s * 1000000 + tonumber(t[2])
local now_ms = math.floor(now_us / 1000)
local GRANTS = KEYS[1]

-- The configuration that follows the letter: max_burst, lease ms, then a
-- (length, limit) pair per window, in the order of the window keys.
local cfg = {}
if op == 'a' or op == 'q' or op == 'w' then
  for v in string.gmatch(ARGV[1], '%d+') do cfg[#cfg + 1] = tonumber(v) end
end
local max_burst, lease_ms = cfg[1] or 0, cfg[2] or 0
local LEASES = KEYS[#KEYS]  -- only a lease key when max_burst is set
local nwin = #KEYS - 1
if max_burst > 0 then nwin = nwin - 1 end

local function expire_at(key, at_ms)
  redis.call('PEXPIREAT', key, math.min(at_ms, now_ms + FAR_MS))
end

-- The lease set lives as long as its latest lease.
local function expire_leases()
  local last = redis.call('ZRANGE', LEASES, -1, -1, 'WITHSCORES')
  if last[2] then expire_at(LEASES, tonumber(last[2]) + GRACE_MS) end
end

local function publish_release()
  redis.call('PUBLISH', string.sub(GRANTS, 1, -4) .. 'free', '1')
end

-- Window i as it stands now: its start, its count, and whether it must be
-- written as a fresh interval. Nothing is written here.
local function window(i)
  local length = cfg[1 + 2 * i]
  local v = redis.call('HMGET', KEYS[1 + i], 's', 'c')
  local start = now_s - now_s % length
  local s = tonumber(v[1])
  if s == nil or s < start then return start, 0, true end
  return s, tonumber(v[2]) or 0, false
end

local function reopens_in(i, s)
  return math.max((s + cfg[1 + 2 * i]) * 1000000 - now_us, 1000)
end

local function remember(rid, permits)
  redis.call('ZADD', GRANTS, now_ms * 1024 + permits, rid)
  redis.call('ZREMRANGEBYRANK', GRANTS, 0, -GRANT_CAP - 1)
  redis.call('PEXPIRE', GRANTS, GRANT_MS)
end

-- An acquire's answer is one integer (cheap for every client to read):
-- the permits granted when that is all that was wanted, else
-- -(granted + 1024 * (reason + 4 * wait_us)).
local function short(granted, reason, wait_us)
  return -(granted + 1024 * (reason + 4 * math.min(math.floor(wait_us), WAIT_CAP)))
end

if op == 'a' then
  local rid, wanted = ARGV[2], tonumber(ARGV[3] or 1)
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if seen then
    local permits = tonumber(seen) % 1024
    if permits == wanted then return permits end
    return short(permits, permits == 0 and CANCELLED or 0, 0)
  end

  -- How many of the wanted permits every window and the burst cap allow.
  local starts, counts, fresh = {}, {}, {}
  local k = wanted
  for i = 1, nwin do
    starts[i], counts[i], fresh[i] = window(i)
    k = math.min(k, cfg[2 + 2 * i] - counts[i])
  end
  if max_burst > 0 then
    redis.call('ZREMRANGEBYSCORE', LEASES, '-inf', now_ms)
    k = math.min(k, max_burst - redis.call('ZCARD', LEASES))
  end
  k = math.max(k, 0)

  if k > 0 then
    for i = 1, nwin do
      if fresh[i] then
        redis.call('HSET', KEYS[1 + i], 's', starts[i], 'c', k)
        expire_at(KEYS[1 + i], (starts[i] + cfg[1 + 2 * i]) * 1000 + GRACE_MS)
      else
        redis.call('HINCRBY', KEYS[1 + i], 'c', k)
      end
    end
    if max_burst > 0 then
      for j = 1, k do redis.call('ZADD', LEASES, now_ms + lease_ms, rid .. '#' .. j) end
      expire_leases()
    end
    remember(rid, k)
    if k == wanted then return k end
  end

  -- Why no more: the first full window's reopening, else the burst cap,
  -- which frees at a release (published) or at the earliest lease expiry.
  local wait = nil
  for i = 1, nwin do
    if counts[i] + k >= cfg[2 + 2 * i] then
      local w = reopens_in(i, starts[i])
      if wait == nil or w < wait then wait = w end
    end
  end
  if wait then return short(k, WINDOW, wait) end
  local first = redis.call('ZRANGE', LEASES, 0, 0, 'WITHSCORES')
  return short(k, BURST, math.max(tonumber(first[2]) * 1000 - now_us, 1000))

elseif op == 'r' then
  local freed = 0
  for i = 2, #ARGV do freed = freed + redis.call('ZREM', LEASES, ARGV[i]) end
  if freed > 0 then publish_release() end
  return freed

elseif op == 'n' then
  local until_ms = now_ms + tonumber(string.sub(ARGV[1], 2))
  local lost = {}
  for i = 2, #ARGV do
    -- A lease still present was never given to anyone else (every acquire
    -- drops expired ones before it counts), so renewing it is safe.
    if redis.call('ZSCORE', LEASES, ARGV[i]) then
      redis.call('ZADD', LEASES, 'XX', until_ms, ARGV[i])
    else
      lost[#lost + 1] = i - 1
    end
  end
  expire_leases()
  return lost

elseif op == 'x' then
  -- The caller gave up on request rid without knowing its answer: free what
  -- it was granted, or make sure a late copy of it grants nothing.
  local rid = ARGV[2]
  local seen = redis.call('ZSCORE', GRANTS, rid)
  if not seen then
    remember(rid, 0)
    return 0
  end
  local freed = 0
  for j = 1, tonumber(seen) % 1024 do freed = freed + redis.call('ZREM', LEASES, rid .. '#' .. j) end
  redis.call('ZADD', GRANTS, 'XX', now_ms * 1024, rid)
  if freed > 0 then publish_release() end
  return freed

elseif op == 'q' then
  local out = {}
  for i = 1, nwin do
    local _, c = window(i)
    out[i] = math.max(cfg[2 + 2 * i] - c, 0)
  end
  if max_burst > 0 then
    local live = redis.call('ZCOUNT', LEASES, '(' .. now_ms, '+inf')
    out[#out + 1] = math.max(max_burst - live, 0)
  end
  return out

elseif op == 'w' then
  local wait = -1
  for i = 1, nwin do
    local s, c = window(i)
    if c >= cfg[2 + 2 * i] then
      local w = reopens_in(i, s)
      if wait < 0 or w < wait then wait = w end
    end
  end
  return wait
end
return redis.error_reply('ratevane_redis: unknown operation ' .. tostring(ARGV[1]))
