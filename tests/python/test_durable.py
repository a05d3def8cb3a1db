"""The index kept in a folder: durable commits, recovery after a crash, one
writer, readers in other processes that follow it, exact scores throughout."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import pytest

from conftest import BUILD_DIR

from durevarare_search import Analyzer, Index, IndexLocked

WORDS = ["苹果", "手机", "发票", "退款", "到账", "电子", "订单", "取消", "华为", "小米"]
QUERIES = ["苹果 手机", "发票", "退款 到账 订单", "小米 华为 电子", "取消"]


@pytest.fixture(scope="module")
def analyzer():
    return Analyzer()


def words(rng):
    return [rng.choice(WORDS) for _ in range(rng.randrange(0, 7))]


def results(index):
    return [index.search(query, k=5) for query in QUERIES]


def fresh(analyzer, live):
    """An index in memory of these (id, words), in order."""
    index = Index(analyzer)
    index.add_words(list(live.items()))
    return index


def child(code, **kwargs):
    """A fresh interpreter running `code`, importing from the build folder."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD_DIR), os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env, text=True, **kwargs)


def test_any_writes_commits_reopens_and_checkpoints_score_as_a_fresh_index(tmp_path, analyzer):
    rng = random.Random(11)
    path = tmp_path / "index"
    committed, live = {}, {}
    index = Index.open(path, analyzer=analyzer)
    for step in range(300):
        action = rng.random()
        if action < 0.5:
            doc = rng.randrange(60)
            new = words(rng)
            if doc in live:
                index.delete(doc)
                del live[doc]
            index.add_words([(doc, new)])
            live[doc] = new
        elif action < 0.7 and live:
            doc = rng.choice(list(live))
            index.delete(doc)
            del live[doc]
        elif action < 0.85:
            index.commit()
            committed = dict(live)
        elif action < 0.9:
            index.checkpoint()
            committed = dict(live)
        elif action < 0.95:
            index.close()  # commits
            committed = dict(live)
            index = Index.open(path, analyzer=analyzer)
        else:
            # A writer dropped without close commits as it goes (a crash is
            # another process's test, below).
            del index
            committed = dict(live)
            index = Index.open(path, analyzer=analyzer)
        if step % 10 == 0:
            assert results(index) == results(fresh(analyzer, live)), step
            reader = Index.open(path, readonly=True, analyzer=analyzer)
            assert results(reader) == results(fresh(analyzer, committed)), step
    index.close()


def test_refusals(tmp_path, analyzer):
    path = tmp_path / "index"
    with pytest.raises(FileNotFoundError):
        Index.open(path, readonly=True)
    writer = Index.open(path, analyzer=analyzer, b=0.5)
    with pytest.raises(IndexLocked):
        Index.open(path, analyzer=analyzer)
    started = time.monotonic()
    with pytest.raises(IndexLocked):
        Index.open(path, analyzer=analyzer, lock_timeout=0.2)
    assert time.monotonic() - started >= 0.2
    reader = Index.open(path, readonly=True, analyzer=analyzer)
    with pytest.raises(RuntimeError, match="read-only"):
        reader.add(1, "发票")
    with pytest.raises(ValueError, match="b 0.5 in the index, 0.75 given"):
        Index.open(path, readonly=True, b=0.75)
    with pytest.raises(ValueError, match="other analyzer settings"):
        Index.open(path, readonly=True, analyzer=Analyzer(query_cut="search"))
    for bad in ({"durability": "never"}, {"lock_timeout": -1}, {"checkpoint_share": "x"}):
        with pytest.raises(ValueError):
            Index.open(path, readonly=True, **bad)
    writer.close()
    with pytest.raises(RuntimeError, match="closed"):
        writer.add(1, "发票")
    with Index.open(path, analyzer=analyzer) as again:  # the lock went with close
        again.add(1, "发票")
    assert Index.open(path, readonly=True, analyzer=analyzer).search("发票")[0][0] == 1
    # A FIFO in place of a file is refused at once, never waited on.
    os.rename(path / "CURRENT", tmp_path / "CURRENT")
    os.mkfifo(path / "CURRENT")
    with pytest.raises(OSError, match="not a regular file"):
        Index.open(path, readonly=True)


def test_a_torn_tail_is_cut_and_reported_and_damage_names_the_file(tmp_path, analyzer):
    path = tmp_path / "index"
    with Index.open(path, analyzer=analyzer) as index:
        index.add(1, "苹果手机")
        index.commit()
        index.add(2, "华为手机")
    log = path / "log-0"
    whole = log.read_bytes()
    with open(log, "ab") as handle:
        handle.write(whole[40:70])  # half a record, as a crash in an append leaves
    with pytest.warns(RuntimeWarning, match="30 bytes"):
        index = Index.open(path, analyzer=analyzer)
    assert index.statistics()["torn_bytes"] == 30 and len(index) == 2
    index.close()
    damaged = bytearray(log.read_bytes())
    damaged[45] ^= 0x20
    log.write_bytes(bytes(damaged))
    with pytest.raises(ValueError, match=r"log-0.*offset 32"):
        Index.open(path, readonly=True, analyzer=analyzer)


READER = """
import sys, time
from durevarare_search import Index
index = Index.open(sys.argv[1] if len(sys.argv) > 1 else {path!r}, readonly=True)
print("ready", flush=True)
seen = set()
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    hits = index.search("发票 批次", k=1000)
    ids = sorted(doc for doc, _ in hits)
    # Each commit adds ten documents of one batch: a reader sees whole ones.
    batches = {{doc // 10 for doc in ids}}
    assert len(ids) == 10 * len(batches), ids
    for batch in batches - seen:
        print("saw", batch, flush=True)
    seen |= batches
    if len(seen) == {batches}:
        break
"""


@pytest.mark.parametrize("start", ["spawn", "fork"])
def test_readers_in_other_processes_follow_whole_commits(tmp_path, analyzer, start):
    path = tmp_path / "index"
    writer = Index.open(path, analyzer=analyzer)
    batches = 5
    if start == "spawn":
        reader = child(READER.format(path=str(path), batches=batches), stdout=subprocess.PIPE)
        read = reader.stdout
    else:
        read_end, write_end = os.pipe()
        opened = Index.open(path, readonly=True, analyzer=analyzer)
        pid = os.fork()
        if pid == 0:  # the child searches the index its parent opened
            try:
                os.close(read_end)
                os.dup2(write_end, 1)
                sys.stdout = os.fdopen(1, "w")
                code = READER.format(path=str(path), batches=batches).replace(
                    "index = Index.open(sys.argv[1] if len(sys.argv) > 1 else", "index = opened or Index.open(")
                exec(code, {"opened": opened, "Index": Index})
                sys.stdout.flush()
                os._exit(0)
            except BaseException:
                os._exit(1)
        os.close(write_end)
        read = os.fdopen(read_end)
    assert read.readline().strip() == "ready"
    for batch in range(batches):
        writer.add_many([(batch * 10 + i, f"发票 批次 {batch}") for i in range(10)])
        committed = time.monotonic()
        writer.commit()
        assert read.readline().split() == ["saw", str(batch)]
        assert time.monotonic() - committed < 5
    if start == "spawn":
        assert reader.wait(timeout=30) == 0
    else:
        assert os.waitpid(pid, 0)[1] == 0
    writer.close()


WRITER = """
import sys
from durevarare_search import Index
index = Index.open({path!r}, durability={durability!r}, lock_timeout=30)
print("open", flush=True)
for batch in range(10_000):
    index.add_words([(batch * 10 + i, ["批次", str(batch)]) for i in range(10)])
    if {durability!r} == "commit":
        index.commit()
    print(batch, flush=True)
"""


@pytest.mark.parametrize("durability", ["commit", "write"])
def test_a_killed_writer_loses_no_committed_write(tmp_path, analyzer, durability):
    path = tmp_path / "index"
    rng = random.Random(5)
    acknowledged = -1
    for kill in range(6):
        writer = child(WRITER.format(path=str(path), durability=durability), stdout=subprocess.PIPE)
        assert writer.stdout.readline().strip() == "open"
        time.sleep(rng.uniform(0.01, 0.3))
        writer.send_signal(signal.SIGKILL)
        printed = writer.stdout.read().split()
        writer.wait()
        if printed:
            acknowledged = max(acknowledged, int(printed[-1]))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a torn tail is the point
            index = Index.open(path, readonly=True, analyzer=analyzer)
        present = {doc for doc, _ in index.search("批次", k=10**6)}
        batches = {doc // 10 for doc in present}
        assert set(range(acknowledged + 1)) <= batches, kill
        assert len(present) == 10 * len(batches), "a batch in part"
        live = {doc: ["批次", str(doc // 10)] for doc in sorted(present)}
        assert results(index) == results(fresh(analyzer, live))
    # A writer killed with the lock held left nothing that stops the next.
    Index.open(path, analyzer=analyzer).close()


def test_commits_from_many_threads_share_flushes_and_all_land(tmp_path, analyzer):
    import threading
    path = tmp_path / "index"
    index = Index.open(path, analyzer=analyzer, durability="write")

    def write(start):
        for doc in range(start, start + 25):
            index.add_words([(doc, ["线程", str(doc % 7)])])

    threads = [threading.Thread(target=write, args=(n * 100,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stats = index.statistics()
    assert stats["pending_writes"] == 0 and stats["sequence"] <= 200
    del index
    assert len(Index.open(path, readonly=True, analyzer=analyzer)) == 200


def mapped_snapshots(path):
    """The snapshot files of `path` that this process maps, by name."""
    with open("/proc/self/maps") as maps:
        return sorted({os.path.basename(line.split(None, 5)[5].strip().replace(" (deleted)", ""))
                       for line in maps if len(line.split(None, 5)) == 6 and str(path) in line})


def test_snapshots_are_mapped_until_a_reader_moves_on_and_damage_names_them(tmp_path, analyzer):
    path = tmp_path / "index"
    texts = ["苹果手机", "华为手机", "退款到账"] * 50
    writer = Index.open(path, analyzer=analyzer)
    writer.add_many(enumerate(texts))
    writer.checkpoint()
    reader = Index.open(path, readonly=True, analyzer=analyzer, auto_refresh=False)
    assert mapped_snapshots(path) == ["snapshot-1"]
    writer.update(3, "电子发票")
    writer.checkpoint()
    reader.refresh()
    # The reader maps the new snapshot alone; the writer keeps its index in memory.
    assert mapped_snapshots(path) == ["snapshot-2"]
    live = {i: text for i, text in enumerate(texts) if i != 3}
    live[3] = "电子发票"  # replaced: numbered last
    assert results(reader) == results(writer) == results(fresh(analyzer, {i: analyzer.document_words(text)
                                                                          for i, text in live.items()}))
    reader.close()
    writer.close()
    # Searches after close see the index as it was; its mapping goes with it.
    assert results(reader) == results(writer)
    del reader, writer
    assert mapped_snapshots(path) == []
    damaged = bytearray((path / "snapshot-2").read_bytes())
    damaged[len(damaged) // 2] ^= 0x01
    (path / "snapshot-2").write_bytes(bytes(damaged))
    with pytest.raises(ValueError, match=r"snapshot-2: its .* section is damaged"):
        Index.open(path, readonly=True, analyzer=analyzer)
