"""A live inverted index over the module's BM25 weights: add, update and
delete while other threads search, exact top-k; in memory with one file for
copies, or kept in a folder, durable and shared by every process."""
import json
import os
import stat
import sys
import threading
import time
import warnings
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import durevarare

from . import _fork, _native
from ._analyzer import Analyzer

DocumentId = Union[str, int]
Progress = Union[bool, Callable[[int], None], None]
# The longest query, in characters: a longer text is refused, as no query
# needs one and analysing it would take seconds.
MAX_QUERY = 65_536


class Index:
    """Documents in, ranked (id, score) results out, live.

    Scores are, to the last bit, the inner products of the module's query and
    document vectors for the documents in the index at that moment: what a
    fresh index of those documents (added in the order they were last added or
    updated) gives, whatever was added, updated or deleted before.
    `idf="documents"` (the default) weighs query words by ln((N + 1) / (df +
    0.5)) of their document frequencies, never negative; `idf="occurrences"`
    uses the module's own inverse frequency of occurrences, which goes negative
    for a word that occurs more often than there are documents and can then
    turn a ranking over. Document weights are the module's in both cases.
    b must lie in [0, 1] and k1 be at least 0. The defaults (b 0.35, k1 0.7)
    were chosen on CMRC 2018, alone and among 397,491 short poems, where the
    module's 0.75 and 1.2 let short documents outrank long relevant ones.

    Threads: any number may search while one adds, updates or deletes; each
    search sees the index before or after each write, never in between. Calls
    release the interpreter lock while they search, index or write files.
    """

    def __init__(self, analyzer: Optional[Analyzer] = None, *, idf: str = "documents", b: float = 0.35,
                 k1: float = 0.7) -> None:
        if idf not in ("occurrences", "documents"):
            raise ValueError('idf must be "occurrences" or "documents"')
        for name, value in (("b", b), ("k1", k1)):
            if not isinstance(value, (int, float)) or isinstance(value, bool):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        if analyzer is not None and not isinstance(analyzer, Analyzer):
            raise TypeError(f"analyzer must be an Analyzer, not {type(analyzer).__name__}")
        self.analyzer = analyzer or Analyzer()
        self._attach(_native.Index(float(b), float(k1), idf), None)

    def _attach(self, core: Any, store: Any, follow: bool = False) -> None:
        # A fork waits for the index to be whole and still; the store of an
        # index in a folder answers for the core it holds.
        _fork.track(store if store is not None else core)
        self._core = core
        # Where writes go: the folder's store logs them, an index in memory
        # takes them itself.
        self._store = store
        self._writes = store if store is not None else core
        self._follow = follow
        # Seconds spent so far analysing and indexing documents.
        self.timings: Dict[str, float] = {"index": 0.0}

    # --- an index kept in a folder -----------------------------------------------------------------

    @classmethod
    def open(cls, path: Union[str, os.PathLike], *, readonly: bool = False, analyzer: Optional[Analyzer] = None,
             idf: Optional[str] = None, b: Optional[float] = None, k1: Optional[float] = None,
             durability: str = "commit", lock_timeout: float = 0.0, auto_refresh: bool = True,
             checkpoint_share: float = 1.0) -> "Index":
        """The index kept in the folder `path`, created (with the analyzer and
        parameters given, or the defaults) when it holds none and `readonly` is
        false. Given for an existing index, they must be those it was made with
        (ValueError otherwise).

        A writer (the default) holds the folder's lock: a second one gets
        IndexLocked at once, or after waiting `lock_timeout` seconds. Its writes
        are searchable in this process at once and reach the disk and the readers
        with `commit()`, or each as it returns with `durability="write"`. A
        read-only index follows the writer: with `auto_refresh` every search first
        takes in what was committed since, whole commits only; or call
        `refresh()`. The log is folded into a new snapshot by `checkpoint()`, and
        by itself after a commit once it is `checkpoint_share` times the
        snapshot's size (and at least 64 MiB)."""
        name = os.fspath(path)
        if durability not in ("commit", "write"):
            raise ValueError('durability must be "commit" or "write"')
        for label, value in (("lock_timeout", lock_timeout), ("checkpoint_share", checkpoint_share)):
            if not isinstance(value, (int, float)) or isinstance(value, bool) or not value >= 0:
                raise ValueError(f"{label} must be a number of at least 0, not {value!r}")
        if analyzer is not None and not isinstance(analyzer, Analyzer):
            raise TypeError(f"analyzer must be an Analyzer, not {type(analyzer).__name__}")
        creating = not readonly and not os.path.exists(os.path.join(name, "CURRENT"))
        settings = b""
        if creating:
            fresh = cls(analyzer, idf=idf or "documents", b=0.35 if b is None else b, k1=0.7 if k1 is None else k1)
            analyzer = fresh.analyzer
            settings = _settings_text(analyzer)
            idf, b, k1 = fresh.idf, fresh.b, fresh.k1
        # The analyzer (whose segmenter takes half a second to build) is made
        # on another thread while the snapshot is read and the log replayed.
        builder = None if creating or analyzer is not None else _Builder(_stored_settings(name))
        try:
            store = _native.Store(name, not readonly, float(0.35 if b is None else b), float(0.7 if k1 is None else k1),
                                  idf or "documents", settings, durability, float(lock_timeout),
                                  float(checkpoint_share), 64 << 20)
        except ValueError as error:
            raise ValueError(f"{name!r} cannot be opened: {error}") from None
        finally:
            if builder is not None:
                builder.join()
        core = store.index
        given = {"idf": idf, "b": b, "k1": k1}
        made = {"idf": str(core.idf), "b": float(core.b), "k1": float(core.k1)}
        differing = [f"{key} {made[key]!r} in the index, {value!r} given" for key, value in given.items()
                     if value is not None and value != made[key]]
        if differing:
            store.close()
            raise ValueError(f"{name!r} was made with other parameters ({'; '.join(differing)}); open it without them")
        try:
            saved = json.loads(store.settings.decode("utf-8"))["analyzer"]
            if analyzer is not None and analyzer.settings() != saved:
                raise ValueError("it was made with other analyzer settings than the analyzer given ("
                                 f"{_difference(saved, analyzer.settings())}); open it without one")
            if analyzer is None:
                analyzer = builder.result(saved) if builder is not None else Analyzer.from_settings(saved)
        except (ValueError, KeyError, TypeError, UnicodeDecodeError) as error:
            store.close()
            raise ValueError(f"{name!r} cannot be opened: {error}") from None
        index = cls.__new__(cls)
        index.analyzer = analyzer
        index._attach(core, store, follow=readonly and auto_refresh)
        torn = store.statistics()["torn_bytes"]
        if torn:
            warnings.warn(f"{name!r}: a crash left {torn:,} bytes of writes that were never committed at the end "
                          "of its log; they were cut", RuntimeWarning, stacklevel=2)
        return index

    def commit(self) -> None:
        """Makes every write before it durable: when it returns, they survive a
        crash of the process or of the machine, and readers in other processes
        can see them. Commits from several threads share one flush. Nothing to do
        for an index in memory."""
        if self._store is not None:
            self._store.commit()

    def refresh(self) -> bool:
        """A read-only index takes in the commits made since it last looked,
        whole; True when anything changed."""
        if self._store is None or not self._store.refresh():
            return False
        self._core = self._store.index
        return True

    def checkpoint(self) -> None:
        """Commits, then folds the log into a new snapshot, so that opening reads
        less. Searches go on meanwhile; writes wait for it."""
        if self._store is not None:
            self._store.checkpoint()

    def close(self) -> None:
        """Commits a writer's pending writes and lets the folder go; writes are
        refused after it, searches see the index as it was."""
        if self._store is not None:
            self._store.close()

    def __enter__(self) -> "Index":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def _current(self) -> Any:
        """The core to search: a follower first takes in what was committed."""
        if self._follow and self._store.refresh():
            self._core = self._store.index
        return self._core

    @property
    def idf(self) -> str:
        """How query words are weighed: "documents" or "occurrences"."""
        return str(self._core.idf)

    @property
    def b(self) -> float:
        """BM25's length normalisation, in [0, 1]."""
        return float(self._core.b)

    @property
    def k1(self) -> float:
        """BM25's saturation of repeated words, at least 0."""
        return float(self._core.k1)

    def __len__(self) -> int:
        """The number of documents in the index."""
        return len(self._current())

    def __contains__(self, id: object) -> bool:
        """Whether a document of this id is in the index."""
        return id in self._current()

    # --- writing -----------------------------------------------------------------------------------

    def add(self, id: DocumentId, text: str) -> None:
        """Adds one document; ValueError if its id is in the index. A document
        without words is kept and never matches."""
        self.add_many([(id, text)])

    def add_many(self, items: Iterable[Tuple[DocumentId, str]], *, threads: Optional[int] = None,
                 progress: Progress = None, chunk: int = 4096) -> None:
        """Adds (id, text) pairs from any iterable, analysed natively on `threads`
        threads (default: one per core). All or nothing: when an id is already in
        the index (or comes twice) or a text is not a str, nothing of the call is
        added. The call is one write: other writers wait for it, and searches may
        see its chunks as they go in (and go out again, should a later one fail). `progress`: True for a line on standard error, or a callable given
        the number of documents added so far after each chunk."""
        count = _threads(threads)
        self._write_all(self._chunks(items, progress, chunk),
                        lambda session, batch: session.add_texts(batch, self.analyzer._native, count))

    def add_words(self, items: Iterable[Tuple[DocumentId, List[str]]], *, chunk: int = 4096) -> None:
        """Adds (id, words) pairs: documents already turned into words by an analyzer
        with this index's settings (on a cluster, say). All or nothing, as add_many."""
        self._write_all(_chunks(items, chunk, "words"), lambda session, batch: session.add(batch))

    def _write_all(self, batches: Iterable[List[Tuple[DocumentId, Any]]], write: Callable[[Any, list], None]) -> None:
        """Writes batch after batch as one write of the core: other writers wait
        until the last, and when one fails (or the items cannot be read) every
        batch before it is taken back. An index in a folder logs the whole call
        as one write, so that another process sees all of it or none."""
        session = self._writes.session()
        try:
            for batch in batches:
                self._timed(lambda: write(session, batch))
            session.commit()
        finally:
            session.close()

    def update(self, id: DocumentId, text: str) -> None:
        """Adds the document, or replaces the one of this id."""
        self.update_many([(id, text)])

    def update_many(self, items: Iterable[Tuple[DocumentId, str]], *, threads: Optional[int] = None,
                    progress: Progress = None, chunk: int = 4096) -> None:
        """`update` for many (id, text) pairs; a later pair of the same id wins.
        All or nothing, as add_many."""
        count = _threads(threads)
        self._write_all(self._chunks(items, progress, chunk),
                        lambda session, batch: session.update_texts(batch, self.analyzer._native, count))

    def delete(self, id: DocumentId) -> None:
        """Removes the document of this id; KeyError if there is none."""
        self._writes.remove([id])

    def delete_many(self, ids: Iterable[DocumentId]) -> None:
        """Removes the documents of these ids, all or none (KeyError for the first
        that is not in the index)."""
        self._writes.remove(list(ids))

    def compact(self) -> None:
        """Rebuilds the index from its live documents now, giving back what deleted
        and replaced ones left behind; it also happens by itself once they are half
        of what it holds. Searches go on meanwhile."""
        self._core.compact()

    def build(self) -> None:
        """Does nothing: every write is searchable at once. Kept for older callers."""

    def _timed(self, write: Callable[[], None]) -> None:
        started = time.perf_counter()
        write()
        self.timings["index"] += time.perf_counter() - started

    @staticmethod
    def _chunks(items: Iterable[Tuple[DocumentId, Any]], progress: Progress,
                chunk: int) -> Iterator[List[Tuple[DocumentId, Any]]]:
        report = _stderr_progress() if progress is True else progress or None
        done = 0
        for pairs in _chunks(items, chunk):
            yield pairs
            done += len(pairs)
            if report:
                report(done)

    # --- searching ---------------------------------------------------------------------------------

    def search(self, query: str, k: int = 10) -> List[Tuple[DocumentId, float]]:
        """The k best documents for the query as (id, score), best first; ties go to
        the document added (or last updated) first. Words no document holds match
        nothing."""
        if not isinstance(k, int) or isinstance(k, bool) or k < 1:
            raise ValueError(f"k must be a positive integer, not {k!r}")
        return self._current().search(self._query_words(query), k)

    def matches(self, query: str) -> int:
        """How many documents hold at least one of the query's words."""
        return int(self._current().matches(self._query_words(query)))

    def query_vector(self, text: str) -> Dict[str, float]:
        """The query's words and weights (empty while no document has words)."""
        return dict(self._current().query_vector(self._query_words(text)))

    def _query_words(self, query: str) -> List[str]:
        if not isinstance(query, str):
            raise TypeError(f"queries are str, not {type(query).__name__}")
        if len(query) > MAX_QUERY:
            raise ValueError(f"a query of {len(query):,} characters; the most is {MAX_QUERY:,}")
        return self.analyzer.query_words(query)

    def document_vector(self, text: str) -> Dict[str, float]:
        """A text's words and weights as a document of this index (empty while no
        document has words)."""
        return dict(self._core.document_vector(self.analyzer.document_words(text)))

    def model(self) -> durevarare.BM25:
        """A BM25 trained on the index's live documents, for encoding outside the
        index (the vectors a vector database takes): its weights are the index's,
        to the last bit. The words of all documents pass through Python, so this
        takes a few seconds for a few hundred thousand documents."""
        model = durevarare.BM25(self.b, self.k1)
        start = 0
        while True:
            page, start = self._core.documents(start, 4096)
            if not page:
                return model
            for _, words in page:
                if words:
                    model.train(words)

    def statistics(self) -> Dict[str, int]:
        """documents, with_words, total_length, words (distinct, in live documents),
        numbered (documents numbered since the last rebuild) and memory (bytes);
        for an index in a folder also its generation, the sequence of the last
        commit, snapshot_bytes, log_bytes, pending_writes, torn_bytes (cut from a
        crashed log when the writer opened it), replayed (commits), checkpoints
        and checkpoint_failures."""
        out = dict(self._current().statistics())
        if self._store is not None:
            out.update(self._store.statistics())
        return out

    # --- the file ----------------------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Writes the whole index to one file, as `BM25.dump` writes: the file is
        replaced whole only once complete (keeping its owner, mode and attributes),
        or written in place where replacing could not keep them. A failure leaves an
        old file as it was."""
        self._current().save(os.fspath(path), _settings_text(self.analyzer))

    @classmethod
    def load(cls, path: Union[str, os.PathLike], analyzer: Optional[Analyzer] = None) -> "Index":
        """The index `save` wrote, ready to search. Its analyzer is rebuilt from the
        settings in the file; an `analyzer` given must have the same settings
        (ValueError otherwise, since it would cut differently)."""
        name = os.fspath(path)
        data = _read_regular_file(name)
        try:
            # The analyzer (whose segmenter takes half a second to build) is made
            # on another thread while the index is read.
            saved = json.loads(_native.read_settings(data).decode("utf-8"))["analyzer"]
            if analyzer is not None and analyzer.settings() != saved:
                raise ValueError("it was saved with other analyzer settings than the analyzer given ("
                                 f"{_difference(saved, analyzer.settings())}); load it without one")
            made: List[Analyzer] = [analyzer] if analyzer is not None else []
            failed: List[BaseException] = []

            def make() -> None:
                try:
                    made.append(Analyzer.from_settings(saved))
                except BaseException as error:  # noqa: BLE001  (passed on below)
                    failed.append(error)

            # Not concurrent.futures: importing it costs 15 ms of a load.
            builder = threading.Thread(target=make) if not made else None
            if builder is not None:
                builder.start()
            try:
                core = _native.Index.load(data)
            finally:
                if builder is not None:
                    builder.join()
            if failed:
                raise failed[0]
            analyzer = made[0]
        except (ValueError, KeyError, TypeError, UnicodeDecodeError) as error:
            raise ValueError(f"{name!r} cannot be loaded: {error}") from None
        index = cls.__new__(cls)
        index.analyzer = analyzer
        index._attach(core, None)
        return index


class _Builder:
    """An analyzer made from stored settings on a thread of its own."""

    def __init__(self, settings: Optional[Dict[str, Any]]) -> None:
        self.settings = settings
        self.made: List[Analyzer] = []
        self.failed: List[BaseException] = []
        # Not concurrent.futures: importing it costs 15 ms of an open.
        self.thread = threading.Thread(target=self._make) if settings is not None else None
        if self.thread is not None:
            self.thread.start()

    def _make(self) -> None:
        assert self.settings is not None
        try:
            self.made.append(Analyzer.from_settings(self.settings))
        except BaseException as error:  # noqa: BLE001  (passed on by result)
            self.failed.append(error)

    def join(self) -> None:
        if self.thread is not None:
            self.thread.join()

    def result(self, settings: Dict[str, Any]) -> Analyzer:
        """The analyzer of these settings: the one made ahead when they match."""
        if settings != self.settings or not self.made:
            if self.failed and settings == self.settings:
                raise self.failed[0]
            return Analyzer.from_settings(settings)
        return self.made[0]


def _stored_settings(folder: str) -> Optional[Dict[str, Any]]:
    """The analyzer settings of a folder's snapshot, read ahead of the store
    (which checks everything); None when they cannot be read so."""
    try:
        with _open_regular_file(os.path.join(folder, "CURRENT")) as handle:
            generation = int.from_bytes(handle.read(32)[16:24], "little")
        with _open_regular_file(os.path.join(folder, f"snapshot-{generation}")) as handle:
            head = handle.read(1 << 16)
            try:
                text = _native.read_settings(head)
            except ValueError:
                text = _native.read_settings(head + handle.read())
        settings = json.loads(text.decode("utf-8"))["analyzer"]
        return settings if isinstance(settings, dict) else None
    except (OSError, ValueError, KeyError, TypeError, UnicodeDecodeError):
        return None


def _settings_text(analyzer: Analyzer) -> bytes:
    """What an index file keeps of its analyzer."""
    return json.dumps({"analyzer": analyzer.settings()}, ensure_ascii=False, sort_keys=True).encode()


def _difference(saved: object, given: Dict[str, object]) -> str:
    """The settings in which a file's analyzer and a given one differ, briefly."""
    if not isinstance(saved, dict):
        return "the file's are not an analyzer's settings"
    parts = []
    for key in sorted(saved.keys() | given.keys()):
        mine, theirs = saved.get(key), given.get(key)
        if mine == theirs:
            continue
        if isinstance(mine, list) and isinstance(theirs, list):
            only_saved, only_given = sorted(set(mine) - set(theirs)), sorted(set(theirs) - set(mine))
            parts.append(f"{key}: {len(only_saved)} only in the file {only_saved[:5]}, "
                         f"{len(only_given)} only in the analyzer given {only_given[:5]}")
        elif key == "user_dict":
            lines = lambda text: len(str(text).splitlines()) if text else 0  # noqa: E731
            parts.append(f"user_dict: {lines(mine)} lines in the file, {lines(theirs)} in the analyzer given")
        else:
            parts.append(f"{key}: {mine!r:.40} in the file, {theirs!r:.40} given")
    return "; ".join(parts)


def _threads(threads: Optional[int]) -> int:
    if threads is None:
        return os.cpu_count() or 1
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
        raise ValueError(f"threads must be a positive integer, not {threads!r}")
    return threads


def _open_regular_file(path: str) -> Any:
    """A regular file, open for reading; opening never waits (a FIFO is refused)."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    handle = os.fdopen(descriptor, "rb")
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        handle.close()
        raise ValueError(f"{path!r} is not a regular file")
    return handle


def _read_regular_file(path: str) -> bytes:
    """The bytes of a regular file; opening never waits (a FIFO is refused)."""
    with _open_regular_file(path) as handle:
        return handle.read()


def _chunks(items: Iterable[Tuple[DocumentId, Any]], size: int,
            what: str = "text") -> Iterator[List[Tuple[DocumentId, Any]]]:
    """Lists of at most `size` (id, text) or (id, words) pairs, as tuples; the
    core checks what they hold."""
    batch: List[Tuple[DocumentId, Any]] = []
    item: object
    for item in items:
        if type(item) is not tuple or len(item) != 2:  # tuples, the usual case, pass at once
            if isinstance(item, (str, bytes)) or not isinstance(item, Sequence) or len(item) != 2:
                raise TypeError(f"documents are (id, {what}) pairs, not {item!r:.60}")
            item = (item[0], item[1])
        batch.append(item)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _stderr_progress() -> Callable[[int], None]:
    started = time.perf_counter()

    def report(done: int) -> None:
        rate = done / max(time.perf_counter() - started, 1e-9)
        print(f"\rindexed {done:,} documents ({rate:,.0f}/s)", end="", file=sys.stderr, flush=True)

    return report
