"""The wire between the limiters and the budget's script (budget.lua): the
operation letters, the layout of the packed replies and grant scores, the
count limits and the keep times. The block below holds the same names and
values as the script's block; tests/python/test_script_wire.py compares
them."""

# --- shared with budget.lua ---
OP_ACQUIRE = b"a"
OP_BLOCK = b"b"
OP_REFUND = b"f"
OP_RELEASE = b"r"
OP_RENEW = b"n"
OP_CANCEL = b"x"
OP_REMAINING = b"q"
OP_WAIT = b"w"
BLOCK_WHOLE = b"1"  # b's 4th argument: no halving
COUNT_BITS = 10  # permits in a grant's score and a packed reply
COUNT_UNIT = 1024  # 2**COUNT_BITS
REASON_BITS = 2  # then the reason, in a packed reply
REASON_UNIT = 4  # 2**REASON_BITS
WAIT_SHIFT = 12  # then the wait: value >> WAIT_SHIFT microseconds
MAX_COUNT = 1023  # most permits one acquire or block asks for
MAX_WINDOWS = 4  # windows in one configuration
KEEP_MS = 60000  # a request id is kept at least this long
GRACE_MS = 1000  # kept past a window's end or a lease's expiry
EXACT = 2**53  # bound on every count, limit and length
LEASE_CAP_MS = 86400000
WAIT_CAP = 2**40  # bound on a reported wait, microseconds
WINDOW = 1  # reasons for granting fewer than wanted
BURST = 2
CANCELLED = 3
# --- end ---
