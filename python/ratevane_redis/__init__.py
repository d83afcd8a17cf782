"""One rate-limit budget shared across processes and machines through Redis.

`RateLimiter` (threads) and `AsyncRateLimiter` (asyncio) count permits in
exact, clock-aligned windows like the classes of `ratevane`, but every
limiter built with the same name on the same Redis database draws on one
budget. The logic runs on the server, one script call per operation, on the
server's clock; with `reserve=`, permits are taken ahead in blocks and
handed out in the process while the server's clock is surely inside their
intervals. Needs redis-py (`pip install ratevane[redis]`)."""

try:
    import redis  # noqa: F401
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("ratevane_redis needs redis-py: pip install 'ratevane[redis]'") from e

from ._async import AsyncRateLimiter
from ._sync import RateLimiter

__all__ = ["RateLimiter", "AsyncRateLimiter"]
