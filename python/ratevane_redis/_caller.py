"""The script caller: one EVALSHA of budget.lua on a budget's keys, for the
sync and the asyncio clients of redis-py."""

import hashlib
import os
from typing import Any, Callable, Coroutine, NoReturn, Sequence

from redis.exceptions import NoScriptError, ResponseError

SCRIPT = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "budget.lua"),
              encoding="utf-8").read()
SHA = hashlib.sha1(SCRIPT.encode("utf-8")).hexdigest().encode()

# What servers answer when they refuse a command inside a script: some
# managed services refuse commands there, an ACL may deny one; an error of
# a command the script ran names the script's place ("@user_script").
_REFUSALS = ("not allowed from script", "@user_script", "NOPERM", "can't run this command",
             "Unknown Redis command called from script")

# What the script runs, for the message that names the cause.
NEEDED = ("EVALSHA and SCRIPT LOAD, and inside scripts TIME, HGET, HMGET, HSET, PEXPIREAT, "
          "ZADD, ZSCORE, ZREM, ZCARD, ZCOUNT, ZRANGE, ZREMRANGEBYSCORE and PUBLISH")


def _explain(error: ResponseError) -> NoReturn:
    """A refusal of one of the script's commands names its cause; every
    other error is the client's own and propagates as it is."""
    text = str(error)
    if any(r in text for r in _REFUSALS) and not text.startswith("ratevane_redis:"):
        raise ResponseError("ratevane_redis: the server refused a command of the budget script "
                            f"({text}); it must allow {NEEDED}") from error
    raise error


def sync_caller(client: Any, keys: Sequence[bytes]) -> Callable[[Sequence[Any]], Any]:
    """The script is loaded again when the server's cache has lost it (a
    restart, a failover or SCRIPT FLUSH)."""
    head = ("EVALSHA", SHA, str(len(keys)).encode(), *keys)
    execute = client.execute_command

    def call(args: Sequence[Any]) -> Any:
        try:
            try:
                return execute(*head, *args)
            except NoScriptError:
                client.script_load(SCRIPT)
                return execute(*head, *args)
        except ResponseError as e:
            _explain(e)

    return call


def async_caller(client: Any,
                 keys: Sequence[bytes]) -> Callable[[Sequence[Any]], Coroutine[Any, Any, Any]]:
    """The same, for the redis.asyncio clients."""
    head = ("EVALSHA", SHA, str(len(keys)).encode(), *keys)
    execute = client.execute_command

    async def call(args: Sequence[Any]) -> Any:
        try:
            try:
                return await execute(*head, *args)
            except NoScriptError:
                await client.script_load(SCRIPT)
                return await execute(*head, *args)
        except ResponseError as e:
            _explain(e)

    return call
