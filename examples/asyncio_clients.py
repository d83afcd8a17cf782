"""Coroutines share one AsyncRateLimiter while talking to a local server.

A small asyncio echo server listens on 127.0.0.1 (a free port chosen by the
system). Twelve client coroutines each keep one connection open and send
request after request; every request first takes a permit from the one
shared limiter: at most 20 per second, and at most 4 requests in flight at
once (max_burst, held by `async with` for the request's round trip).

Once a second the terminal shows how many requests reached the server with
a permit of the second that just ended, against the limit, and how many
clients were waiting for a permit at that moment. Then the clients finish
their last request and a summary follows.

    RATEVANE_EXAMPLE_QUICK=1 shortens the run to about 3 seconds.
"""

import asyncio
import collections
import os
import time
from typing import Counter, List

from ratevane import AsyncRateLimiter

PER_SECOND = 20
MAX_BURST = 4
CLIENTS = 12
SECONDS = 3 if os.environ.get("RATEVANE_EXAMPLE_QUICK") == "1" else 10

# Requests that reached the server, by the wall-clock second their permit
# was granted in (the client sends it along), so each second's count can
# be held against that second's limit.
arrivals: Counter[int] = collections.Counter()
waiting: List[int] = [0]  # clients waiting for a permit right now


async def serve(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    """The echo server: one line in, the same line back."""
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            granted_at = float(line.split()[1])
            arrivals[int(granted_at)] += 1
            writer.write(line)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def client(number: int, port: int, limiter: AsyncRateLimiter, stop_at: float) -> int:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    sent = 0
    try:
        while time.time() < stop_at:
            waiting[0] += 1
            async with limiter:  # waits for a permit; hands the burst slot back at the end
                waiting[0] -= 1
                writer.write(f"client-{number} {time.time():.6f} request-{sent}\n".encode())
                await writer.drain()
                await reader.readline()
                sent += 1
    finally:
        writer.close()
    return sent


def bar(n: int) -> str:
    return "#" * min(n, PER_SECOND) + "!" * max(0, n - PER_SECOND) + "." * max(0, PER_SECOND - n)


async def report(first_second: int, seconds: int) -> None:
    for second in range(first_second, first_second + seconds):
        # A little after the second ended, so its last echoes are in.
        await asyncio.sleep(max(0.0, second + 1.05 - time.time()))
        n = arrivals[second]
        stamp = time.strftime("%H:%M:%S", time.localtime(second))
        print(f"{stamp}  {bar(n)}  {n:2d}/{PER_SECOND} requests   "
              f"{waiting[0]:2d} of {CLIENTS} clients waiting", flush=True)


async def main() -> None:
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    limiter = AsyncRateLimiter(sec=PER_SECOND, max_burst=MAX_BURST)
    print(f"echo server on 127.0.0.1:{port}; {CLIENTS} clients share "
          f"AsyncRateLimiter(sec={PER_SECOND}, max_burst={MAX_BURST}) for {SECONDS} s", flush=True)

    # Start on a whole second, so that every line covers a whole second.
    await asyncio.sleep(1.0 - time.time() % 1.0)
    first_second = int(time.time())
    stop_at = first_second + SECONDS
    clients = [asyncio.ensure_future(client(i, port, limiter, stop_at)) for i in range(CLIENTS)]
    await report(first_second, SECONDS)

    # Clients waiting for a permit get one in the next second, send their
    # last request and stop.
    results = await asyncio.gather(*clients)
    server.close()
    await server.wait_closed()

    sent = sum(results)
    counts = [arrivals[s] for s in range(first_second, first_second + SECONDS)]
    over = [c for c in counts if c > PER_SECOND]
    remaining = await limiter.get_remaining()
    print(f"{sum(counts)} requests in {SECONDS} s (and {sent - sum(counts)} more from clients "
          f"that were already waiting at the end); at most {max(counts)} in a second, "
          f"limit {PER_SECOND}; {counts.count(PER_SECOND)} of {SECONDS} seconds used the "
          f"whole limit.")
    print(f"no second above the limit: {'yes' if not over else 'NO'}; "
          f"burst permits free at the end: {remaining['burst']} of {MAX_BURST}")
    if over:
        raise SystemExit(1)


if __name__ == "__main__":
    asyncio.run(main())
