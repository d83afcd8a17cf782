"""Lifetimes: one after-fork hook for every object of the module that holds
a lock, a thread, a task or a lease, and one exit hook for the hand-backs
of the sync limiters still alive."""

import atexit
import os
import weakref
from typing import Any, Callable, List, Sequence


class Forked:
    """Mixed into each object that must not share its state with a forked
    child: `_after_fork` runs in the child, from one hook for all of them.
    `generation` counts the forks a process is away from its start, so a
    task copied into a child (its loop copied with it) sees it is not the
    parent's and stops."""

    generation = 0

    def _watch_forks(self) -> None:
        _forked.add(self)

    def _after_fork(self) -> None:
        raise NotImplementedError


_forked: "weakref.WeakSet[Forked]" = weakref.WeakSet()


def _reset_in_child() -> None:
    Forked.generation += 1
    for obj in list(_forked):
        obj._after_fork()


os.register_at_fork(after_in_child=_reset_in_child)


# Hand-backs due at interpreter exit: each callable returns the calls to
# make and the function that makes one.
_at_exit: "weakref.WeakSet[Any]" = weakref.WeakSet()


def hand_back_at_exit(owner: Any) -> None:
    """owner.exit_calls() -> (calls, call) runs at interpreter exit while
    owner is alive."""
    _at_exit.add(owner)


def best_effort(call: Callable[[List[Any]], Any], calls: Sequence[List[Any]]) -> None:
    """Calls whose failure costs only time: a lease not handed back runs
    out, and a block not refunded is lost to its intervals."""
    for args in calls:
        try:
            call(args)
        except Exception:
            pass


@atexit.register
def _exit() -> None:
    for owner in list(_at_exit):
        calls, call = owner.exit_calls()
        best_effort(call, calls)
