"""Index.save under signals: a signal handler that raises while the file is
being written stops the save before the old file is replaced, not after;
and a save killed half way leaves a temporary file that the next save in
that folder removes."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import BUILD_DIR
from durevarare_search import Index

TEMPORARY = ".durevarare-"


def temporaries(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith(TEMPORARY))


@pytest.fixture(scope="module")
def index():
    index = Index()
    index.add_words((i, [f"w{(i * 7 + j * 13) % 40_000}" for j in range(30)]) for i in range(40_000))
    return index


class Interrupted(Exception):
    pass


def test_a_signal_during_the_write_stops_the_save_with_the_old_file_kept(index, tmp_path):
    path = tmp_path / "help.index"
    path.write_bytes(b"the old file")
    seen_while_saving = []

    # Raises only while the new file is still a temporary one: a signal that
    # came just after the rename is handled once the save has returned,
    # rightly, and that round says nothing.
    def handler(signum, frame):
        seen_while_saving.append(bool(temporaries(tmp_path)))
        if seen_while_saving[-1]:
            raise Interrupted

    def signal_once_the_file_is_being_written(main, done):
        while not done.is_set():
            if temporaries(tmp_path):
                signal.pthread_kill(main, signal.SIGUSR1)
                return

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        for _ in range(10):
            seen_while_saving.clear()
            done = threading.Event()
            sender = threading.Thread(target=signal_once_the_file_is_being_written,
                                      args=(threading.get_ident(), done))
            sender.start()
            try:
                index.save(path)
            except Interrupted:
                pass
            finally:
                done.set()
                sender.join()
            if seen_while_saving == [True]:
                break
            path.write_bytes(b"the old file")
        else:  # each signal was handled only once the save had returned
            pytest.fail("the handler never ran while a save was still under way")
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert path.read_bytes() == b"the old file"
    assert temporaries(tmp_path) == []


SAVING = textwrap.dedent("""
    import sys
    from durevarare_search import Index
    index = Index()
    index.add_words((i, [f"w{(i * 7 + j * 13) % 20_000}" for j in range(30)]) for i in range(20_000))
    while True:
        index.save(sys.argv[1])
""")


def test_the_temporary_file_of_a_killed_save_goes_with_the_next_save(index, tmp_path):
    path = tmp_path / "help.index"
    index.save(path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD_DIR), os.environ.get("PYTHONPATH", "")]))
    left = 0
    for _ in range(10):
        saver = subprocess.Popen([sys.executable, "-c", SAVING, str(path)], env=env)
        try:
            deadline = time.monotonic() + 60
            while not temporaries(tmp_path) and saver.poll() is None and time.monotonic() < deadline:
                pass
            saver.kill()
        finally:
            assert saver.wait(timeout=60) == -signal.SIGKILL
        if temporaries(tmp_path):  # else the save was done before the kill
            left += 1
            assert len(Index.load(path)) in (len(index), 20_000)  # the old file whole, or a new one
            index.save(path)
            assert temporaries(tmp_path) == []
            if left == 2:
                return
    pytest.fail("no save was killed with its temporary file in place")
