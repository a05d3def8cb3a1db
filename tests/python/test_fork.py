"""os.fork while other threads write, search or rebuild an index: each child
gets the index whole, searches and writes it at once, and exits; none hangs
on a lock that a thread of the parent held at the fork."""
import os
import signal
import threading
import time

import pytest

from conftest import run_python
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


def writer(index, stop, durable=False):
    """Adds and deletes batches; an index in a folder also commits, and checkpoints now and then."""
    first = 1_000_000
    while not stop.is_set():
        ids = range(first, first + BATCH)
        index.add_words((i, ["marker", f"w{i % 50}"]) for i in ids)
        if durable:
            index.commit()
        index.delete_many(ids)
        if durable and first % (5 * BATCH) == 0:
            index.checkpoint()
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
# progress callback): the write goes on in both processes. A folder index's
# child cannot write the parent's folder.
@pytest.mark.parametrize("folder", [False, True])
def test_a_fork_from_within_a_write(tmp_path, folder):
    index = Index.open(tmp_path / "index") if folder else tracked_index()
    base = len(index)
    children = []

    def progress(done):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                assert len(index) >= base and len(index.search("w1", k=3)) == min(3, len(index))
                if folder:
                    with pytest.raises(Exception, match="forked"):
                        index.add("child", "w1")
                code = 0
            finally:
                os._exit(code)
        children.append(pid)

    index.add_many(((i, "w1") for i in range(10_000, 20_000)), chunk=2000, progress=progress)
    assert [exit_code(pid) for pid in children] == [0] * 5
    assert len(index) == base + 10_000
    if folder:
        index.commit()
        assert len(Index.open(tmp_path / "index", readonly=True)) == 10_000


# An index in a folder: the store's own locks (its writes, group commit,
# checkpoints, a reader's refresh in another thread) are held across the
# fork as well. The child searches the writer's copy, cannot write the
# parent's folder, and opens it as a reader.
def folder_child(index, path):
    code = 1
    try:
        marked = index.matches("marker")
        assert marked % BATCH == 0, marked
        assert index.search("w1", k=3)
        with pytest.raises(Exception, match="forked"):
            index.add("child", "孩子的文档")
        with Index.open(path, readonly=True) as reader:
            assert reader.search("w1", k=3)
        code = 0
    finally:
        os._exit(code)


def test_children_forked_beside_a_folder_index_in_use(tmp_path):
    path = tmp_path / "index"
    index = Index.open(path)
    index.add_words((i, [f"w{i % 50}", f"x{i % 7}"]) for i in range(3000))
    index.commit()
    stop = threading.Event()
    threads = [threading.Thread(target=writer, args=(index, stop, True)),
               threading.Thread(target=searcher, args=(Index.open(path, readonly=True), stop))]
    for thread in threads:
        thread.start()
    try:
        for _ in range(FORKS):
            time.sleep(0.02)
            pid = os.fork()
            if pid == 0:
                folder_child(index, path)
            assert exit_code(pid) == 0
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    index.close()
    assert len(Index.open(path, readonly=True)) == 3000


# Between a fork's preparation and the fork itself other handlers run
# Python, so another thread runs too: each call it makes that needs a lock
# the preparation holds must wait without the interpreter lock, or the
# process stops. Run in a child process, which is killed if it stops.
HELD_AT_FORK = """
import sys, threading, time
from durevarare_search import Index, _fork
writer = Index.open(sys.argv[1])
writer.add("a", "苹果手机")
writer.commit()
reader = Index.open(sys.argv[1], readonly=True)
memory = Index()
memory.add("a", "苹果手机")
calls = [lambda index=index, call=call: call(index) for index in (writer, reader, memory) for call in (
    lambda index: index._store and index._store.index, lambda index: index.statistics(), len, lambda index: "a" in index,
    lambda index: index.search("苹果"), lambda index: index.matches("苹果"), lambda index: index.refresh())]
done = []
def other():
    for call in calls:
        call()
        done.append(call)
_fork._before()
thread = threading.Thread(target=other)
thread.start()
time.sleep(0.3)  # the thread waits for a lock held for the fork
_fork._after_in_parent()
thread.join()
assert len(done) == len(calls)
print("whole")
"""


def test_a_thread_calling_while_a_fork_is_prepared_does_not_stop_the_process(tmp_path):
    out = run_python(HELD_AT_FORK.replace("sys.argv[1]", repr(str(tmp_path / "index"))), timeout=60)
    assert out.stdout.decode().strip() == "whole", out.stderr.decode()
