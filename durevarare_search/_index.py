"""An inverted index over the module's BM25 weights, with exact top-k search,
and its file."""
import contextlib
import gc
import heapq
import io
import json
import os
import secrets
import stat
import sys
import tempfile
import time
import zipfile
from array import array
from bisect import bisect_left
from itertools import accumulate
from typing import BinaryIO, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import durevarare

from ._analyzer import Analyzer

DocumentId = Union[str, int]
FORMAT = "durevarare-index"
VERSION = 1


def _weight_order(docs: array, weights: array) -> List[int]:
    """Positions in a list from its largest weight down (ties: lower document first)."""
    return sorted(range(len(docs)), key=lambda i: (-weights[i], docs[i]))


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """The cyclic collector off while millions of new objects, none in a cycle, are
    made: it would only walk them again and again."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


class _Postings:
    """Word number -> the documents holding the word and their weights, all postings
    in two flat arrays ordered by word (12 bytes a posting). Scores are inner
    products, and queries read only as much of each list as the top results need."""

    LONG = 1000  # postings from which a word's list is kept in weight order too
    DIRECT = 20_000  # postings up to which a query scores every document of its lists

    def __init__(self, capacity: array) -> None:
        """capacity[w]: at least the number of documents that hold word w."""
        self.offsets = array("Q", [0])
        self.offsets.extend(accumulate(capacity))
        total = self.offsets[-1]
        self.docs = array("I", bytes(4 * total))
        self.weights = array("d", bytes(8 * total))
        self.ends = array("Q", self.offsets[:-1])
        self.by_weight: Dict[int, array] = {}

    def add(self, doc: int, vector: Dict[int, float]) -> None:
        """vector: word number -> weight; documents must come in ascending order."""
        ends, docs, weights = self.ends, self.docs, self.weights
        for word, weight in vector.items():
            at = ends[word]
            ends[word] = at + 1
            docs[at] = doc
            weights[at] = weight

    def finish(self) -> None:
        """Puts the long lists in weight order once; queries sort the short ones."""
        for word, (start, stop) in enumerate(zip(self.offsets, self.ends)):
            if stop - start > self.LONG:
                self.by_weight[word] = array("I", _weight_order(*self.postings(word)))

    def postings(self, word: int) -> Tuple[array, array]:
        if word >= len(self.ends):
            return array("I"), array("d")
        start, stop = self.offsets[word], self.ends[word]
        return self.docs[start:stop], self.weights[start:stop]

    def search(self, query_vector: Dict[int, float], top: int) -> List[Tuple[int, float]]:
        """The `top` best (document, score) pairs, best first (ties: lower document
        first); each score is exactly the sum of q[t] * d[t] over the query's words in
        the vector's order."""
        terms = [(word, weight) + self.postings(word) for word, weight in query_vector.items()]
        terms = [term for term in terms if term[2]]
        if sum(len(term[2]) for term in terms) <= self.DIRECT:
            return self.score_all(terms, top)
        return self.threshold(terms, top)

    @staticmethod
    def score_all(terms, top):
        """Scores every document of every list: cheapest for short lists."""
        scores: Dict[int, float] = {}
        for _, query_weight, docs, weights in terms:
            contributions = dict(zip(docs, map(query_weight.__mul__, weights)))
            for doc in scores.keys() & contributions.keys():
                contributions[doc] = scores[doc] + contributions[doc]
            scores.update(contributions)
        if len(scores) > top:
            threshold = heapq.nlargest(top, scores.values())[-1]
            scores = {doc: score for doc, score in scores.items() if score >= threshold}
        return sorted(scores.items(), key=lambda item: (-item[1], item[0]))[:top]

    def threshold(self, terms, top):
        """The threshold algorithm, for long lists: walk every list from its largest
        contributions down, score each document met in full, and stop once the best
        `top` scores exceed what a document not yet met could reach (the sum of the
        contributions at the current depth)."""
        walks = []
        for word, query_weight, docs, weights in terms:
            order = self.by_weight.get(word)
            if order is None:
                order = _weight_order(docs, weights)
            if query_weight < 0:  # a negative weight makes the smallest weights count most
                order = order[::-1]
            walks.append((query_weight, docs, weights, order))
        best: List[Tuple[float, int]] = []  # a heap of (score, -document), the worst first
        met = set()
        for depth in range(max((len(walk[1]) for walk in walks), default=0)):
            reach = 0.0
            for query_weight, docs, weights, order in walks:
                if depth < len(order):
                    position = order[depth]
                    reach += max(0.0, query_weight * weights[position])
                    doc = docs[position]
                    if doc not in met:
                        met.add(doc)
                        item = (self.score(terms, doc), -doc)
                        if len(best) < top:
                            heapq.heappush(best, item)
                        elif item > best[0]:
                            heapq.heapreplace(best, item)
            # Strictly above, with room for rounding: then no tie is left unseen either.
            if len(best) == top and best[0][0] > reach + 1e-9 * (1.0 + reach):
                break
        return [(-negated, score) for score, negated in sorted(best, reverse=True)]

    @staticmethod
    def score(terms, doc):
        """The document's score, summed in the query's word order."""
        score = None
        for _, query_weight, docs, weights in terms:
            position = bisect_left(docs, doc)
            if position < len(docs) and docs[position] == doc:
                contribution = query_weight * weights[position]
                score = contribution if score is None else score + contribution
        return score


class Index:
    """Documents in, ranked (id, score) results out.

    Scores are the inner products of the module's query and document vectors:
    `idf="occurrences"` (the default) weighs query words by the module's own
    inverse frequency of occurrences, which goes negative for a word that
    occurs more often than there are documents; `idf="documents"` uses the
    same formula on document frequencies (a second BM25 trained on each
    document's distinct words), ln((N + 1) / (df + 0.5)), never negative.
    Document weights are the module's in both cases.

    Documents are kept as arrays of word numbers; the vocabulary grows from
    documents only, never from queries. The postings are rebuilt on the first
    search after documents were added, since every document's weights depend
    on the average length of all of them.
    """

    def __init__(self, analyzer: Optional[Analyzer] = None, *, idf: str = "occurrences", b: float = 0.75,
                 k1: float = 1.2) -> None:
        if idf not in ("occurrences", "documents"):
            raise ValueError('idf must be "occurrences" or "documents"')
        self.analyzer = analyzer or Analyzer()
        self.idf = idf
        self.model = durevarare.BM25(b, k1)
        self.document_frequency = durevarare.BM25(b, k1) if idf == "documents" else None
        self.ids: List[DocumentId] = []
        self._positions: Dict[DocumentId, int] = {}
        self.documents: List[array] = []  # each document's word numbers
        self.vocabulary: List[str] = [""]  # word number -> word; 0 is no word
        self._numbers: Dict[str, int] = {}  # word -> number
        self._token_numbers: Dict[str, Union[int, Tuple[int, ...]]] = {}  # raw token -> its words' numbers
        self._postings: Optional[_Postings] = None
        # Seconds spent so far in each step of adding and indexing.
        self.timings: Dict[str, float] = dict.fromkeys(("cut", "filter", "train", "encode", "index"), 0.0)

    def __len__(self) -> int:
        return len(self.ids)

    # --- adding ------------------------------------------------------------------------------------

    def add(self, id: DocumentId, text: str) -> None:
        """Adds one document. A document without words is kept and never matches."""
        self.add_many([(id, text)])

    def add_many(self, items: Iterable[Tuple[DocumentId, str]], *, threads: int = os.cpu_count() or 1,
                 progress: Union[bool, Callable[[int], None], None] = None, chunk: int = 4096) -> None:
        """Adds (id, text) pairs from any iterable, cutting on `threads` threads.
        `progress`: a callable given the number added so far after each chunk, or True
        for a line on standard error."""
        report = _stderr_progress() if progress is True else progress or None
        with _collector_paused():
            batch: List[Tuple[DocumentId, str]] = []
            for item in items:
                batch.append(item)
                if len(batch) == chunk:
                    self._add_batch(batch, threads)
                    batch = []
                    if report:
                        report(len(self.ids))
            if batch:
                self._add_batch(batch, threads)
                if report:
                    report(len(self.ids))

    def _add_batch(self, batch: List[Tuple[DocumentId, str]], threads: int) -> None:
        for id, text in batch:
            if not isinstance(id, (str, int)) or isinstance(id, bool):
                raise TypeError(f"document ids are str or int, not {type(id).__name__}")
            if not isinstance(text, str):
                raise TypeError(f"document texts are str, not {type(text).__name__}")
        seen = set()
        for id, _ in batch:
            if id in self._positions or id in seen:
                raise ValueError(f"document id {id!r} is already in the index")
            seen.add(id)
        texts = [text for _, text in batch]
        began = time.perf_counter()
        numbered, filtering = [], 0.0
        for tokens in self.analyzer.document_tokens(texts, threads):
            started = time.perf_counter()
            numbered.append(self._document_numbers(tokens))
            filtering += time.perf_counter() - started
        cut = time.perf_counter()
        self.timings["cut"] += cut - began - filtering
        self.timings["filter"] += filtering
        words_of = self.vocabulary.__getitem__
        for (id, _), numbers in zip(batch, numbered):
            if numbers:  # the module trains no empty document; it stays, matching nothing
                words = list(map(words_of, numbers))
                self.model.train(words)
                if self.document_frequency is not None:
                    self.document_frequency.train(list(dict.fromkeys(words)))
            self._positions[id] = len(self.ids)
            self.ids.append(id)
            self.documents.append(numbers)
        self.timings["train"] += time.perf_counter() - cut
        self._postings = None

    def _document_numbers(self, tokens: List[str]) -> array:
        """The numbers of a document's words, numbering new words."""
        memo = self._token_numbers
        try:
            found = list(map(memo.__getitem__, tokens))
        except KeyError:  # tokens never seen before
            for token in tokens:
                if token not in memo:
                    numbers = tuple(map(self._number, self.analyzer.words_of_token(token)))
                    memo[token] = numbers[0] if len(numbers) == 1 else numbers
            found = list(map(memo.__getitem__, tokens))
        if all(type(n) is int for n in found):
            return array("I", filter(None, found))
        out = array("I")
        for entry in found:
            if isinstance(entry, int):
                if entry:
                    out.append(entry)
            else:
                out.extend(entry)
        return out

    def _number(self, word: str) -> int:
        number = self._numbers.get(word)
        if number is None:
            number = self._numbers[word] = len(self.vocabulary)
            self.vocabulary.append(word)
        return number

    # --- searching ---------------------------------------------------------------------------------

    def _built(self) -> _Postings:
        if self._postings is None:
            began = time.perf_counter()
            occurrences = array("I", bytes(4 * len(self.vocabulary)))
            for numbers in self.documents:
                for number in numbers:
                    occurrences[number] += 1
            postings = _Postings(occurrences)
            # A document's weights depend only on its counts and length, so the
            # integer overload gives the words' weights exactly, keyed by number.
            encode, add, documents = self.model.encode_document, postings.add, self.documents
            encoding = 0.0
            with _collector_paused():
                for start in range(0, len(documents), 4096):
                    encoded = time.perf_counter()
                    vectors = [encode(numbers) if numbers else {} for numbers in documents[start:start + 4096]]
                    encoding += time.perf_counter() - encoded
                    for doc, vector in enumerate(vectors, start):
                        add(doc, vector)
                postings.finish()
            self.timings["encode"] += encoding
            self.timings["index"] += time.perf_counter() - began - encoding
            self._postings = postings
        return self._postings

    def build(self) -> None:
        """Builds the postings now rather than at the next search."""
        self._built()

    def matches(self, query: str) -> int:
        """How many documents hold at least one of the query's words."""
        postings = self._built()
        numbers = [self._numbers[w] for w in self.analyzer.query_words(query) if w in self._numbers]
        return len({doc for number in numbers for doc in postings.postings(number)[0]})

    def query_vector(self, text: str) -> Dict[str, float]:
        """The query's words and weights (empty when nothing is indexed)."""
        words = self.analyzer.query_words(text)
        model = self.document_frequency or self.model
        try:
            return model.encode_query(words)
        except RuntimeError:  # nothing trained yet
            return {}

    def document_vector(self, text: str) -> Dict[str, float]:
        """A text's words and weights as a document of this index (empty before any document)."""
        words = self.analyzer.document_words(text)
        try:
            return self.model.encode_document(words)
        except RuntimeError:
            return {}

    def search(self, query: str, k: int = 10) -> List[Tuple[DocumentId, float]]:
        """The k best documents for the query as (id, score), best first; ties go to
        the document added first. Words no document holds match nothing (and are
        not added to the vocabulary)."""
        if not isinstance(k, int) or isinstance(k, bool) or k < 1:
            raise ValueError(f"k must be a positive integer, not {k!r}")
        vector = self.query_vector(query)
        numbers = self._numbers
        # In the vector's (the words') order, which is the order of the sum.
        numbered = {numbers[word]: weight for word, weight in vector.items() if word in numbers}
        if not numbered:
            return []
        return [(self.ids[doc], score) for doc, score in self._built().search(numbered, k)]

    # --- the file ----------------------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Writes the whole index to one file, which replaces `path` only once it is
        complete: a failure leaves any old file as it was. The models inside are
        written by the module's own dump."""
        meta = {"format": FORMAT, "version": VERSION, "idf": self.idf, "analyzer": self.analyzer.settings(),
                "ids": self.ids, "vocabulary": self.vocabulary}
        lengths = array("Q", map(len, self.documents))
        with _replacing(os.fspath(path)) as raw:
            with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
                archive.writestr("meta.json", json.dumps(meta, ensure_ascii=False))
                archive.writestr("model.json", _model_text(self.model))
                if self.document_frequency is not None:
                    archive.writestr("document_frequency.json", _model_text(self.document_frequency))
                archive.writestr("lengths.bin", _little_endian(lengths))
                with archive.open("documents.bin", "w", force_zip64=True) as out:
                    for numbers in self.documents:
                        out.write(_little_endian(numbers))

    @classmethod
    def load(cls, path: Union[str, os.PathLike], analyzer: Optional[Analyzer] = None) -> "Index":
        """A new index from a file that `save` wrote: it replaces, never merges."""
        with zipfile.ZipFile(os.fspath(path)) as archive:
            meta = json.loads(archive.read("meta.json"))
            if meta.get("format") != FORMAT or meta.get("version") != VERSION:
                raise ValueError(f"{os.fspath(path)!r} is not a durevarare index file of version {VERSION}")
            index = cls(analyzer or Analyzer(**meta["analyzer"]), idf=meta["idf"])
            # The model files as bytes: tokens trained from bytes need not be UTF-8.
            index.model.load(archive.read("model.json"))
            if index.document_frequency is not None:
                index.document_frequency.load(archive.read("document_frequency.json"))
            lengths = _from_little_endian("Q", archive.read("lengths.bin"))
            numbers = _from_little_endian("I", archive.read("documents.bin"))
        index.ids = meta["ids"]
        index._positions = {id: position for position, id in enumerate(index.ids)}
        index.vocabulary = meta["vocabulary"]
        index._numbers = {word: number for number, word in enumerate(index.vocabulary) if number}
        start = 0
        for length in lengths:
            index.documents.append(numbers[start:start + length])
            start += length
        if start != len(numbers) or len(index.documents) != len(index.ids):
            raise ValueError(f"{os.fspath(path)!r} is damaged: its documents do not add up")
        return index


@contextlib.contextmanager
def _replacing(path: str) -> Iterator[BinaryIO]:
    """A file written under a temporary name beside `path` and renamed over it once
    complete and flushed, so that a reader sees the old index or the new one. The
    new file is what opening `path` for writing would leave: a link is followed
    (its target is replaced, the link stays), an existing file keeps its mode and,
    where allowed, its owner, and a new one gets 0666 less the umask."""
    target = os.path.realpath(path)
    try:
        old: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        old = None
    while True:
        partial = os.path.join(os.path.dirname(target), f".durevarare-index-{secrets.token_hex(8)}.tmp")
        try:
            descriptor = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(descriptor, "wb") as handle:
            if old is not None:
                if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
                    try:
                        os.fchown(descriptor, old.st_uid, old.st_gid)
                    except PermissionError:
                        pass  # then the file becomes the writer's, as any replacing save makes it
                os.fchmod(descriptor, stat.S_IMODE(old.st_mode))
            yield handle
            handle.flush()
            os.fsync(descriptor)
        os.replace(partial, target)
    except BaseException:
        os.unlink(partial)
        raise


def _model_text(model: durevarare.BM25) -> bytes:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        model.dump(path)
        with open(path, "rb") as handle:
            return handle.read()


def _little_endian(numbers: array) -> bytes:
    if sys.byteorder == "big":
        numbers = array(numbers.typecode, numbers)
        numbers.byteswap()
    return numbers.tobytes()


def _from_little_endian(typecode: str, data: bytes) -> array:
    numbers = array(typecode)
    numbers.frombytes(data)
    if sys.byteorder == "big":
        numbers.byteswap()
    return numbers


def _stderr_progress() -> Callable[[int], None]:
    started = time.perf_counter()

    def report(done: int) -> None:
        rate = done / max(time.perf_counter() - started, 1e-9)
        print(f"\rindexed {done:,} documents ({rate:,.0f}/s)", end="", file=sys.stderr, flush=True)

    return report
