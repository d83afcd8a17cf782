# Deliberate misuses: mypy --strict must report every line marked "# error".
import asyncio

from ratevane import AsyncRateLimiter, RateLimiter

RateLimiter(sec="5")  # error
RateLimiter(sec=5, blocking=None)  # error
RateLimiter(secs=5)  # error
RateLimiter(1, 2, 3, 4, 5, 6, 7, 8, True, 10, 11)  # error
limiter = RateLimiter(sec=5)
granted: str = limiter.acquire()  # error
left: int = limiter.wait_time()  # error
remaining: dict[str, str] = limiter.get_remaining()  # error
limiter.acquire(1)  # error
limiter.__exit__(None, None)  # error


async def main() -> None:
    alimiter = AsyncRateLimiter(min=10)
    flag: bool = await alimiter.acquire()  # error
    never: None = await alimiter.release()  # error
    seconds: float = await alimiter.wait_time()  # error
    with alimiter:  # error
        pass
    alimiter.acquire().result() + 1  # error


asyncio.run(main())
