"""Type information for the ratevane_shm extension module: the budgets
shared by every process of a host."""

import asyncio
from types import TracebackType
from typing import Dict, Literal, Optional, Tuple, Type, Union

__all__ = ["RateLimiter", "AsyncRateLimiter", "remove"]

class RateLimiter:
    """Exact, clock-aligned rate limiter for threaded code, counting in
    the host-wide budget `name`."""

    def __new__(
        cls,
        name: str,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
    ) -> "RateLimiter": ...
    def acquire(self) -> bool: ...
    def release(self) -> None: ...
    def get_remaining(self) -> Dict[str, int]: ...
    def wait_time(self) -> Optional[float]: ...
    def __enter__(self) -> None: ...
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> Literal[False]: ...

class AsyncRateLimiter:
    """Exact, clock-aligned rate limiter for asyncio code, counting in the
    host-wide budget `name`. Every method returns a future of the running
    event loop."""

    def __new__(
        cls,
        name: str,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
    ) -> "AsyncRateLimiter": ...
    def acquire(self) -> "asyncio.Future[Union[Tuple[()], None]]": ...
    def release(self) -> "asyncio.Future[Tuple[()]]": ...
    def get_remaining(self) -> "asyncio.Future[Dict[str, int]]": ...
    def wait_time(self) -> "asyncio.Future[Optional[float]]": ...
    def __aenter__(self) -> "asyncio.Future[Tuple[()]]": ...
    def __aexit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> "asyncio.Future[Literal[False]]": ...

def remove(name: str) -> bool: ...
