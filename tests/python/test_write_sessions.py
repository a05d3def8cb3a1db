"""A write of many chunks is one write of the core: a failing call takes back
exactly its own chunks, whatever other threads wrote meanwhile, and an index
in a folder logs it whole."""
import signal
import threading

import pytest

from durevarare_search import Analyzer, Index


@pytest.fixture(scope="module")
def analyzer():
    return Analyzer()


def chunks_then(items, between, fail_with=None):
    """The items, with `between()` run in another thread after the first
    chunk's worth, then, optionally, an exception from the iterable."""
    for number, item in enumerate(items):
        if number == 4:
            worker = threading.Thread(target=between)
            worker.start()
            worker.join(timeout=0.3)  # waits for this call's write, so it may not finish yet
            yield item
            continue
        yield item
    if fail_with is not None:
        raise fail_with


@pytest.mark.parametrize("folder", [False, True])
def test_a_failing_add_many_takes_back_only_its_own_chunks(tmp_path, analyzer, folder):
    index = Index.open(tmp_path / "index", analyzer=analyzer) if folder else Index(analyzer)
    index.add_words([(100, ["旧的"]), (101, ["旧的"])])
    other = {}

    def delete_and_update():
        try:
            index.delete(100)  # not one of the call's documents
            index.add_words([(2, ["别人的"])])  # an id the failing call also adds
        except Exception as error:  # noqa: BLE001  (reported below)
            other["error"] = error

    items = [(i, ["新的"]) for i in range(8)]
    with pytest.raises(RuntimeError, match="reading failed"):
        index.add_words(chunks_then(items, delete_and_update, RuntimeError("reading failed")), chunk=3)
    waited = [t for t in threading.enumerate() if t is not threading.current_thread() and t.daemon is False]
    for thread in waited:
        thread.join(timeout=10)
    # The other thread waited for the call, then wrote what it meant to.
    assert "error" not in other
    everyone = [*range(8), 100, 101]
    assert [doc for doc in everyone if doc in index] == [2, 101] and len(index) == 2
    if folder:
        index.close()
        again = Index.open(tmp_path / "index", readonly=True, analyzer=analyzer)
        assert [doc for doc in everyone if doc in again] == [2, 101] and len(again) == 2


def test_refused_chunks_take_back_the_whole_call(analyzer):
    index = Index(analyzer)
    index.add_words([("taken", ["词"])])
    for call in (lambda: index.add_words([(i, ["词"]) for i in range(10)] + [("taken", ["词"])], chunk=3),
                 lambda: index.update_many([(i, "发票") for i in range(10)] + [(object(), "发票")], chunk=4)):
        with pytest.raises((ValueError, TypeError)):
            call()
        assert len(index) == 1
    index.update_many([(i, "发票") for i in range(10)], chunk=4)
    assert len(index) == 11


def test_a_write_from_the_progress_callback_is_refused_not_a_hang(analyzer):
    index = Index(analyzer)
    with pytest.raises(RuntimeError, match="longer write"):
        index.add_many([(i, "订单") for i in range(10)], chunk=2, progress=lambda done: index.add(f"x{done}", "订单"))
    assert len(index) == 0


# So is closing a folder index from there: the close would wait for the
# write that is calling it.
def test_closing_from_the_progress_callback_is_refused_not_a_hang(tmp_path, analyzer):
    index = Index.open(tmp_path / "index", analyzer=analyzer)
    with pytest.raises(RuntimeError, match="within its own write"):
        index.add_many([(i, "订单") for i in range(10)], chunk=2, progress=lambda done: index.close())
    assert len(index) == 0
    index.close()
    assert len(Index.open(tmp_path / "index", readonly=True, analyzer=analyzer)) == 0


# Ctrl-C in the middle of add_many, wherever the timer's SIGINT lands: the
# call is one write, so the index keeps all of it or none, in memory and in
# the folder's log.
@pytest.mark.parametrize("folder", [False, True])
def test_ctrl_c_during_add_many_keeps_all_of_the_call_or_none(tmp_path, analyzer, folder):
    index = Index.open(tmp_path / "index", analyzer=analyzer) if folder else Index(analyzer)
    index.add("kept", "旧的文档")
    count = 60_000

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    interrupted = False
    try:
        index.add_many((i, f"苹果手机 第{i}号") for i in range(count))
    except KeyboardInterrupt:
        interrupted = True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    expected = 1 if interrupted else 1 + count
    assert len(index) == expected and len(index.search("苹果", k=5)) == min(5, expected - 1)
    index.add("after", "苹果")  # the index takes writes again
    if folder:
        index.close()
        assert len(Index.open(tmp_path / "index", readonly=True, analyzer=analyzer)) == expected + 1
