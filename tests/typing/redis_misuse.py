# ratevane_redis under mypy --strict: the unmarked lines are a user's code and
# must pass; every line marked "# error" must be reported.
import asyncio
from typing import Dict, Optional

import redis
import redis.asyncio

from ratevane_redis import AsyncRateLimiter, RateLimiter

client = redis.Redis()
limiter = RateLimiter(client, "api", sec=5, max_burst=2, lease=30.0)
granted: bool = limiter.acquire()
left: Dict[str, int] = limiter.get_remaining()
wait: Optional[float] = limiter.wait_time()
with limiter:
    pass
RateLimiter(client, "api", sec="5")  # error
RateLimiter(client, "api", secs=5)  # error
RateLimiter(client, "api", 1, 2, 3, 4, 5, 6, 7, 8, True, 10, 30.0)  # error
RateLimiter(client, 5, sec=5)  # error
RateLimiter(client, "api", sec=5, lease="long")  # error
never: str = limiter.acquire()  # error
seconds: float = limiter.wait_time()  # error


async def main() -> None:
    aclient = redis.asyncio.Redis()
    alimiter = AsyncRateLimiter(aclient, "api", min=10)
    ok: bool = await alimiter.acquire()
    remaining: Dict[str, int] = await alimiter.get_remaining()
    async with alimiter:
        pass
    await alimiter.release()
    flag: str = await alimiter.acquire()  # error
    with alimiter:  # error
        pass
    alimiter.acquire() + 1  # error
    print(ok, remaining)


asyncio.run(main())
