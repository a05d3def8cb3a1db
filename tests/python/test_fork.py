"""os.fork while other threads write, search or rebuild an index: each child
gets the index whole, searches and writes it at once, and exits; none hangs
on a lock that a thread of the parent held at the fork."""
import os
import signal
import threading
import time

import pytest

from durevarare_search import Index, _fork

BATCH = 200  # documents a writer adds or deletes in one write
FORKS = 5

pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def tracked_index(documents=3000):
    index = Index()
    index.add_words((i, [f"w{i % 50}", f"x{i % 7}"]) for i in range(documents))
    _fork.track(index._core)
    return index


def exit_code(pid, seconds=60):
    """The child's exit code; it is killed, and the test fails, if it hangs."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"the child {pid} hung")


def check_in_child(index, base):
    """In the child: the index is whole (every write of the parent in or out
    whole), searchable and writable. Exits the child."""
    code = 1
    try:
        marked = index.matches("marker")
        assert marked % BATCH == 0 and len(index) == base + marked, (marked, len(index))
        assert index.search("w1", k=3)
        index.update("child", "孩子的文档 marker")
        index.delete(0)
        assert [doc for doc, _ in index.search("孩子")] == ["child"]
        assert 0 not in index and len(index) == base + marked
        index.compact()
        code = 0
    finally:
        os._exit(code)


def writer(index, stop):
    first = 1_000_000
    while not stop.is_set():
        ids = range(first, first + BATCH)
        index.add_words((i, ["marker", f"w{i % 50}"]) for i in ids)
        index.delete_many(ids)
        first += BATCH


def searcher(index, stop):
    while not stop.is_set():
        index.search("w3 x4", k=5)


def rebuilder(index, stop):
    while not stop.is_set():
        index.compact()


def fork_beside(work, index, base):
    """Forks while `work(stop)` runs on another thread; each child checks the index."""
    stop = threading.Event()
    thread = threading.Thread(target=work, args=(stop,))
    thread.start()
    try:
        for _ in range(FORKS):
            time.sleep(0.02)
            pid = os.fork()
            if pid == 0:
                check_in_child(index, base)
            assert exit_code(pid) == 0
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("work", [writer, searcher, rebuilder])
def test_children_forked_beside_another_thread_use_the_index(work):
    index = tracked_index()
    base = len(index)
    fork_beside(lambda stop: work(index, stop), index, base)
    assert index.search("w1", k=3) and len(index) == base


# A writer of one index that searches another between its chunks: the fork
# must not hold the one it searches while it waits for that writer.
def test_a_fork_beside_a_writer_that_reads_another_index():
    source, target = tracked_index(), tracked_index(0)

    def copy(stop):
        while not stop.is_set():
            target.add_words((f"{round(time.monotonic() * 1e6)}-{doc}", ["copied"])
                             for doc, _ in source.search("w2", k=BATCH))

    fork_beside(copy, source, len(source))


# A fork from the writing thread itself, in the middle of its write (its
# progress callback): the write goes on in both processes.
def test_a_fork_from_within_a_write():
    index = tracked_index()
    children = []

    def progress(done):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                assert index.search("w1", k=3) and len(index) >= 3000
                code = 0
            finally:
                os._exit(code)
        children.append(pid)

    index.add_many(((i, "w1") for i in range(10_000, 20_000)), chunk=2000, progress=progress)
    assert [exit_code(pid) for pid in children] == [0] * 5
    assert len(index) == 13_000
