"""Uses of ratevane_shm that the stubs must accept, and misuses they must
report (each marked on its line)."""

import asyncio

import ratevane_shm

limiter = ratevane_shm.RateLimiter("api", sec=10, max_burst=2)
granted: bool = limiter.acquire()
with limiter:
    pass
left: dict[str, int] = limiter.get_remaining()
removed: bool = ratevane_shm.remove("api")

ratevane_shm.RateLimiter(sec=10)  # error
ratevane_shm.RateLimiter(b"api", sec=10)  # error
ratevane_shm.remove(1)  # error
wrong: str = limiter.acquire()  # error


async def main() -> None:
    shared = ratevane_shm.AsyncRateLimiter("api", sec=10)
    got = await shared.acquire()
    if got is not None:
        await shared.release()
    async with shared:
        pass
    bad: bool = await shared.acquire()  # error

asyncio.run(main())
