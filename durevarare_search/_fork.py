"""Fork safety of the native indexes. A child process copies the memory of
its parent as the fork finds it, locks included: an index that another
thread was writing or searching would be half written, or locked by a
thread the child does not have, and the child's first call would hang.

Every native index made here is tracked. Before a fork each is made whole
and still (its writer and its searches waited for, its locks held), and
after it the parent lets go, while the child gets fresh locks."""
import os
import threading
import weakref
from typing import Any, List

# The cores, while they live. The lock is held from before a fork to after
# it, so that the child never copies it held by a thread it does not have.
_cores: "weakref.WeakSet[Any]" = weakref.WeakSet()
_cores_lock = threading.Lock()
# The cores held from before a fork to after it, by the thread that forks.
_held: List[Any] = []


def track(core: Any) -> Any:
    """Makes a fork of this process wait for the core and leave the child
    able to use it; returns the core."""
    with _cores_lock:
        _cores.add(core)
    return core


def _before() -> None:
    _cores_lock.acquire()
    cores = list(_cores)
    # None is waited for while others are held: a writer of one index may
    # need another before it is done (add_many of texts found in another).
    while True:
        for count, core in enumerate(cores):
            if not core.prepare_fork(wait=False):
                _release(cores[:count])
                core.prepare_fork()  # waits for its writer
                core.after_fork_parent()
                break
        else:
            _held[:] = cores
            return


def _release(cores: List[Any]) -> None:
    for core in reversed(cores):
        core.after_fork_parent()


def _after_in_parent() -> None:
    _release(_held)
    _held.clear()
    _cores_lock.release()


def _after_in_child() -> None:
    for core in reversed(_held):
        core.after_fork_child()
    _held.clear()
    _cores_lock.release()


os.register_at_fork(before=_before, after_in_parent=_after_in_parent, after_in_child=_after_in_child)
