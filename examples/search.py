#!/usr/bin/env python3
"""Lexical search over Chinese text, end to end: cut every document with Jieba
(on several threads), learn BM25 statistics, encode the documents into sparse
vectors, index them, and rank documents for queries by the inner product of
query and document vectors.

    python examples/search.py                      # the fortunes of Debian's fortunes-zh
    python examples/search.py --large              # 397,491 classical poems (make demo-large)
    python examples/search.py --query 人工智能 --top 3
    python examples/search.py --corpus my.txt      # one document per blank-line-separated paragraph

Text is normalised before it is cut (NFKC, then case folding), so that
full-width ＶＩＰ and ￥１２８ read as vip and ¥128, and App finds app.
"""
import argparse
import copy
import gc
import heapq
import json
import os
import random
import re
import statistics
import sys
import tempfile
import time
import unicodedata
from array import array
from bisect import bisect_left
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from itertools import accumulate

import durevarare

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CORPUS = "/usr/share/games/fortunes/chinese"
# The chinese-poetry package that scripts/setup.sh demo-large installs.
POETRY_DIR = os.path.join(HERE, "..", "corpus", "node_modules", "chinese-poetry", "dist")
REPOSITORY_DICT_DIR = os.path.join(HERE, "..", "node_modules", "nodejieba", "submodules", "cppjieba", "dict")
# The dictionaries that the wheel installs next to the module.
INSTALLED_DICT_DIR = os.path.join(os.path.dirname(os.path.abspath(durevarare.__file__)), "durevarare-dict")
DEFAULT_DICT_DIR = os.environ.get("DUREVARARE_DICT_DIR") or (
    INSTALLED_DICT_DIR if os.path.isdir(INSTALLED_DICT_DIR) else REPOSITORY_DICT_DIR)
DICT_DIR_HELP = ("folder holding the five dictionary files (default: $DUREVARARE_DICT_DIR if set, else the "
                 "dictionaries installed with the wheel, else node_modules/ as the set-up fills it)")
DEFAULT_QUERIES = ["人生的意义", "爱情与婚姻", "电脑程序", "朋友之间的信任", "金钱能买到幸福吗"]
POETRY_QUERIES = ["明月", "春风", "故乡", "边塞", "离别"]
# Terminal colour codes, including the few unterminated ones in fortunes-zh.
COLOUR_CODES = re.compile(r"\x1b(\[[0-9;]*[A-Za-z]?)?")


# --- corpora ---------------------------------------------------------------------------------------

def read_fortunes(path):
    """One document per fortune: the text between lines holding only %."""
    with open(path, encoding="utf-8", errors="replace") as handle:
        text = COLOUR_CODES.sub("", handle.read())
    return [part.strip() for part in re.split(r"^%[ \t]*$", text, flags=re.M) if part.strip()]


def read_paragraphs(path):
    """One document per paragraph, paragraphs separated by blank lines."""
    with open(path, encoding="utf-8", errors="replace") as handle:
        text = handle.read()
    return [part.strip() for part in re.split(r"\n[ \t]*\n", text) if part.strip()]


def read_poems(folder=POETRY_DIR):
    """One document per poem of the chinese-poetry corpus: every object of a
    top-level JSON array (in the folder's .json files, in name order) that has
    a "paragraphs" list, its paragraphs joined."""
    texts = []
    for root, folders, files in os.walk(folder):
        folders.sort()
        for name in sorted(files):
            if not name.endswith(".json"):
                continue
            with open(os.path.join(root, name), encoding="utf-8") as handle:
                data = json.load(handle)
            if not isinstance(data, list):
                continue
            for item in data:
                paragraphs = item.get("paragraphs") if isinstance(item, dict) else None
                if isinstance(paragraphs, list):
                    texts.append("".join(p for p in paragraphs if isinstance(p, str)))
    return texts


# --- progress --------------------------------------------------------------------------------------

class Progress:
    """A bar on a terminal; elsewhere a plain line when a step starts and ends."""

    def __init__(self, stream=sys.stderr, enabled=True):
        self.stream, self.enabled = stream, enabled
        self.tty = enabled and stream.isatty()

    def start(self, label, total):
        self.label, self.total, self.done, self.began = label, total, 0, time.perf_counter()
        self.shown = -1
        if self.enabled and not self.tty:
            print(f"{label}: {total} documents ...", file=self.stream, flush=True)

    def advance(self, count):
        self.done += count
        if self.tty:
            width = 30
            filled = int(width * self.done / max(self.total, 1))
            if filled != self.shown or self.done == self.total:
                self.shown = filled
                self.stream.write(f"\r{self.label:<8} [{'#' * filled}{'.' * (width - filled)}] "
                                  f"{self.done}/{self.total}")
                self.stream.flush()

    def finish(self):
        elapsed = time.perf_counter() - self.began
        if self.tty:
            self.stream.write("\n")
        if self.enabled:
            print(f"{self.label}: done in {elapsed:.2f} s", file=self.stream, flush=True)
        return elapsed


def peak_rss_megabytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


# --- the search engine -----------------------------------------------------------------------------

def normalise(text):
    """NFKC folds full-width letters, digits and signs into their usual forms (the
    segmenter cuts ＶＩＰ into three single letters, vip into one word), and case
    folding makes App, APP and app one token."""
    return unicodedata.normalize("NFKC", text).casefold()


class Tokenizer:
    """Jieba's mixed (or search) segmentation of normalised text, keeping word tokens:
    separators, punctuation and stop words go. Each word gets a number, so that a
    document's words are kept as a compact array (4 bytes a word)."""

    WORD_CHARACTER = re.compile(r"[^\W_]").search  # a letter or digit of any script

    def __init__(self, dict_dir, method="cut"):
        path = lambda name: os.path.join(dict_dir, name)
        self.jieba = durevarare.Jieba(path("jieba.dict.utf8"), path("hmm_model.utf8"), path("user.dict.utf8"),
                                      path("idf.utf8"), path("stop_words.utf8"))
        with open(path("stop_words.utf8"), encoding="utf-8") as handle:
            self.stop_words = {line.strip() for line in handle if line.strip()}
        # Token -> its word number, or 0 when it is not a word; word number -> word.
        # Tokens repeat: each is decided once.
        self.numbers = {}
        self.vocabulary = [""]
        self.cut = self.segmentation(method)

    def using(self, method):
        """This tokenizer (same Jieba, same words) with the other segmentation."""
        other = copy.copy(self)
        other.cut = self.segmentation(method)
        return other

    def segmentation(self, method):
        return self.jieba.cut if method == "cut" else self.jieba.cut_for_search

    def is_word(self, token):
        return token not in self.stop_words and self.WORD_CHARACTER(token) is not None

    def word_numbers(self, tokens):
        """The numbers of the word tokens, in order."""
        numbers = self.numbers
        try:
            return array("I", list(filter(None, map(numbers.__getitem__, tokens))))
        except KeyError:  # tokens never seen before
            pass
        for token in tokens:
            if token not in numbers:
                number = 0
                if self.is_word(token):
                    number = len(self.vocabulary)
                    self.vocabulary.append(token)
                numbers[token] = number
        return array("I", list(filter(None, map(numbers.__getitem__, tokens))))

    def words_of(self, numbers):
        return list(map(self.vocabulary.__getitem__, numbers))

    def __call__(self, text):
        """The words of a text."""
        return self.words_of(self.word_numbers(self.cut(normalise(text))))

    def cut_stream(self, texts, threads, batch=64):
        """The raw tokens of every text, in order, cut on `threads` threads sharing one
        Jieba (the cuts release the interpreter lock). Each call cuts a batch of texts
        joined by line feeds: a line feed is a separator, which the cut returns as a
        token of its own and never cuts across, so the batch's tokens split back into
        each text's tokens exactly (a line feed inside a text becomes a space, which is
        no word either). One call per batch hands the lock over far less often than one
        per text. A few batches are in flight at a time, so the cut lists never pile up."""
        cut = self.cut

        def work(start):
            chunk = texts[start:start + batch]
            tokens = cut(normalise("\n".join(text.replace("\n", " ") for text in chunk)))
            out, begin = [], 0
            for _ in range(len(chunk) - 1):
                end = tokens.index("\n", begin)
                out.append(tokens[begin:end])
                begin = end + 1
            out.append(tokens[begin:])
            return out

        with ThreadPoolExecutor(max_workers=threads) as pool:
            pending = deque()
            for start in range(0, len(texts), batch):
                pending.append(pool.submit(work, start))
                if len(pending) > 2 * threads:
                    yield from pending.popleft().result()
            while pending:
                yield from pending.popleft().result()


class SearchIndex:
    """An inverted index from word number to the documents holding the word and their
    weights, all postings in two flat arrays ordered by word (12 bytes a posting);
    scores are inner products, and queries read only as much of each list as the top
    results need."""

    LONG = 1000  # postings from which a word's list is kept in weight order too
    DIRECT = 20_000  # postings up to which a query scores every document of its lists

    def __init__(self, capacity):
        """capacity[w]: at least the number of documents that hold word w (the number
        of its occurrences is enough, and cheaper to count)."""
        self.offsets = array("Q", [0])
        self.offsets.extend(accumulate(capacity))
        total = self.offsets[-1]
        self.docs = array("I", bytes(4 * total))
        self.weights = array("d", bytes(8 * total))
        self.ends = array("Q", self.offsets[:-1])  # where each word's postings end so far
        self.by_weight = {}  # word -> positions in its list, by weight (highest first), then document

    def add(self, doc, vector):
        """vector: word number -> weight; documents must come in ascending order."""
        ends, docs, weights = self.ends, self.docs, self.weights
        for word, weight in vector.items():
            at = ends[word]
            ends[word] = at + 1
            docs[at] = doc
            weights[at] = weight

    def finish(self):
        """Puts the long lists in weight order once; queries sort the short ones."""
        for word, (start, stop) in enumerate(zip(self.offsets, self.ends)):
            if stop - start > self.LONG:
                docs, weights = self.postings(word)
                self.by_weight[word] = array("I", sorted(range(len(docs)), key=lambda i: (-weights[i], docs[i])))

    def postings(self, word):
        if word >= len(self.ends):  # a word that no indexed document holds
            return array("I"), array("d")
        start, stop = self.offsets[word], self.ends[word]
        return self.docs[start:stop], self.weights[start:stop]

    def search(self, query_vector, top):
        """The `top` best (document, score) pairs, best first (ties: lower document
        first). query_vector: word number -> weight, in ascending order of the words
        (as encode_query gives them); each score is exactly the sum of q[t] * d[t] over
        the query's words in that order."""
        terms = [(word, query_weight) + self.postings(word) for word, query_weight in query_vector.items()]
        terms = [term for term in terms if term[2]]
        if sum(len(term[2]) for term in terms) <= self.DIRECT:
            return self.score_all(terms, top)
        return self.threshold(terms, top)

    @staticmethod
    def score_all(terms, top):
        """Scores every document of every list: cheapest for short lists."""
        scores = {}
        for _, query_weight, docs, weights in terms:
            contributions = dict(zip(docs, map(query_weight.__mul__, weights)))
            # Documents already scored add the new contribution to their sum; the
            # others start from it.
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
                order = sorted(range(len(docs)), key=lambda i: (-weights[i], docs[i]))
            if query_weight < 0:  # a negative weight makes the smallest weights count most
                order = order[::-1]
            walks.append((query_weight, docs, weights, order))
        best, met = [], set()  # best: a heap of (score, -document), the worst of them first
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


def dot(query_vector, document_vector):
    total = 0.0
    for token, weight in query_vector.items():
        if token in document_vector:
            total += weight * document_vector[token]
    return total


class Engine:
    """Everything the demo builds, with the time each step took. It keeps what the
    queries need and no more: each document's word numbers, the model, and the
    index; vectors go into the index as they are made."""

    def __init__(self, texts, tokenizer, threads=os.cpu_count() or 1, progress=None, query_tokenizer=None):
        progress = progress or Progress(enabled=False)
        self.texts, self.tokenizer = texts, tokenizer
        self.query_tokenizer = query_tokenizer or tokenizer
        self.timings = {}
        # Nothing built here forms a reference cycle, and millions of new objects
        # would otherwise make the cyclic collector walk everything again and again.
        collecting = gc.isenabled()
        gc.disable()
        try:
            self._build(texts, tokenizer, threads, progress)
        finally:
            if collecting:
                gc.enable()

    def _build(self, texts, tokenizer, threads, progress):
        # Cut on the worker threads while this one keeps the words.
        progress.start("cut", len(texts))
        self.ids, self.documents = [], []  # text index and word numbers of each document with words
        filtering = 0.0
        for index, tokens in enumerate(tokenizer.cut_stream(texts, threads)):
            started = time.perf_counter()
            numbers = tokenizer.word_numbers(tokens)
            if numbers:  # a document without words cannot be trained; it stays unsearchable
                self.ids.append(index)
                self.documents.append(numbers)
            filtering += time.perf_counter() - started
            if index % 4096 == 4095:
                progress.advance(4096)
        progress.advance(len(texts) % 4096)
        self.timings["cut"] = progress.finish() - filtering
        self.timings["filter"] = filtering

        # The model learns the words themselves, so that its file and its query
        # vectors speak words.
        self.model = durevarare.BM25()
        progress.start("train", len(self.documents))
        words_of = tokenizer.words_of
        for numbers in self.documents:
            self.model.train(words_of(numbers))
        progress.advance(len(self.documents))
        self.timings["train"] = progress.finish()

        # A document's weights depend only on its counts and length, so encoding
        # the word numbers gives exactly the weights of the words, keyed by number.
        progress.start("encode", len(self.documents))
        started = time.perf_counter()
        # Each word's occurrences: room enough for its postings (counted in a flat
        # array, which stays in the processor's caches where a dict would not).
        occurrences = array("I", bytes(4 * len(tokenizer.vocabulary)))
        for numbers in self.documents:
            for number in numbers:
                occurrences[number] += 1
        self.index = SearchIndex(occurrences)
        encoding, indexing = 0.0, time.perf_counter() - started
        encode, add = self.model.encode_document, self.index.add
        for start in range(0, len(self.documents), 4096):
            began = time.perf_counter()
            vectors = [encode(numbers) for numbers in self.documents[start:start + 4096]]
            encoded = time.perf_counter()
            for doc, vector in enumerate(vectors, start):
                add(doc, vector)
            encoding += encoded - began
            indexing += time.perf_counter() - encoded
            progress.advance(len(vectors))
        began = time.perf_counter()
        self.index.finish()
        indexing += time.perf_counter() - began
        progress.finish()
        self.timings["encode"], self.timings["index"] = encoding, indexing

    @property
    def tokens(self):
        """The words of each document with words."""
        return [self.tokenizer.words_of(numbers) for numbers in self.documents]

    def vector(self, doc):
        """The vector of the doc-th document with words, keyed by word."""
        return self.model.encode_document(self.tokenizer.words_of(self.documents[doc]))

    def query(self, text, top=5):
        """([(score, text index)] for the best documents, best first; the query vector)."""
        vector = self.model.encode_query(self.query_tokenizer(text))
        numbers = self.tokenizer.numbers
        # Numbered in the words' order, which is the order of the sum.
        numbered = {numbers[word]: weight for word, weight in vector.items()}
        return [(score, self.ids[doc]) for doc, score in self.index.search(numbered, top)], vector


def check_model_file(engine, queries):
    """dump, load into a fresh BM25, and compare query vectors to six decimals."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        started = time.perf_counter()
        engine.model.dump(path)
        dumped = time.perf_counter()
        size = os.path.getsize(path)
        restored = durevarare.BM25()
        with open(path, encoding="utf-8") as handle:
            restored.load(handle.read())
        loaded = time.perf_counter()
    for text in queries:
        tokens = engine.query_tokenizer(text)
        original, again = engine.model.encode_query(tokens), restored.encode_query(tokens)
        if original.keys() != again.keys() or any(abs(original[t] - again[t]) > 5e-7 for t in original):
            raise SystemExit(f"model file check failed for query {text!r}")
    return size, dumped - started, loaded - dumped


def snippet(text, width=60):
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[:width] + "…"


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Environment: DUREVARARE_DICT_DIR names the dictionary folder when --dict-dir is not given.")
    parser.add_argument("--query", action="append", default=[],
                        help="a query (repeatable; default: five sample queries for the corpus)")
    parser.add_argument("--top", type=int, default=3, help="results shown per query (default: 3)")
    corpus = parser.add_mutually_exclusive_group()
    corpus.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph "
                                         "(default: the fortunes of Debian's fortunes-zh)")
    corpus.add_argument("--large", action="store_true",
                        help="the 397,491 poems of the chinese-poetry corpus (scripts/setup.sh demo-large "
                             "installs it under corpus/)")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                        help="threads for cutting (default: one per core)")
    parser.add_argument("--document-cut", choices=["cut", "search"], default="search",
                        help="Jieba.cut or Jieba.cut_for_search for the documents (default: search, which also "
                             "indexes the shorter words inside long ones)")
    parser.add_argument("--query-cut", choices=["cut", "search"], default="cut",
                        help="Jieba.cut or Jieba.cut_for_search for the queries (default: cut)")
    parser.add_argument("--dict-dir", default=DEFAULT_DICT_DIR, help=DICT_DIR_HELP)
    parser.add_argument("--no-progress", action="store_true",
                        help="no progress bar or step lines on standard error")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    if args.large:
        if not os.path.isdir(POETRY_DIR):
            raise SystemExit(f"{POETRY_DIR} is missing: run scripts/setup.sh demo-large (or make demo-large)")
        source, texts, queries = "chinese-poetry 2.0.1", read_poems(), POETRY_QUERIES
    elif args.corpus:
        source, texts, queries = args.corpus, read_paragraphs(args.corpus), DEFAULT_QUERIES
    else:
        source, texts, queries = DEFAULT_CORPUS, read_fortunes(DEFAULT_CORPUS), DEFAULT_QUERIES
    if args.limit:
        texts = texts[:args.limit]
    read_seconds = time.perf_counter() - started
    queries = args.query or queries
    megabytes = sum(len(t.encode()) for t in texts) / 1e6
    print(f"corpus: {source}: {len(texts)} documents, {megabytes:.2f} MB")

    progress = Progress(enabled=not args.no_progress)
    tokenizer = Tokenizer(args.dict_dir, args.document_cut)
    engine = Engine(texts, tokenizer, args.threads, progress, tokenizer.using(args.query_cut))
    # Everything built so far lives until the end: keep the cyclic collector from
    # walking it again on every full collection (a pause of tens of milliseconds
    # in the middle of some query).
    gc.freeze()

    # Query latency over the given queries and a sample made of documents' own words.
    rng = random.Random(7)
    sample = [" ".join(rng.sample(words, min(3, len(words))))
              for words in map(tokenizer.words_of, rng.sample(engine.documents, min(300, len(engine.documents))))]
    model_bytes, dump_seconds, load_seconds = check_model_file(engine, queries + sample[:50])
    print(f"model file: {model_bytes / 1e6:.2f} MB, reloaded, query vectors agree to six decimals\n")

    for text in queries:
        results, vector = engine.query(text, args.top)
        print(f"query: {text}   tokens: {' '.join(vector) or '(none)'}")
        if not results:
            print("  no matching document")
        for rank, (score, doc) in enumerate(results, 1):
            print(f"  {rank}. {score:.4f}  #{doc:<6} {snippet(texts[doc])}")
        print()

    latencies, matches = [], []
    for text in queries + sample:
        began = time.perf_counter()
        engine.query(text, args.top)
        latencies.append(time.perf_counter() - began)
        words = engine.query_tokenizer(text)
        matches.append(len({doc for number in tokenizer.word_numbers(words) for doc in engine.index.postings(number)[0]}))
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    t = engine.timings
    pipeline = read_seconds + sum(t.values())
    documents = len(engine.ids)
    words = sum(map(len, engine.documents))
    rate = lambda seconds: f"{documents / seconds:,.0f} documents/s" if seconds else "-"
    print("summary")
    print(f"  documents         {len(texts)} ({documents} with words), {megabytes:.2f} MB; "
          f"{words / max(documents, 1):.1f} words a document, {len(tokenizer.vocabulary) - 1:,} distinct words "
          f"({args.document_cut} for documents, {args.query_cut} for queries)")
    print(f"  read              {read_seconds:.2f} s")
    print(f"  cut               {megabytes / t['cut']:.1f} MB/s on {args.threads} thread(s) ({t['cut']:.2f} s)")
    print(f"  filter            {t['filter']:.2f} s (punctuation, spaces and stop words out)")
    print(f"  train             {rate(t['train'])} ({t['train']:.2f} s)")
    print(f"  encode            {rate(t['encode'])} ({t['encode']:.2f} s)")
    print(f"  index             {t['index']:.2f} s")
    print(f"  pipeline          {pipeline:.2f} s (read, cut, filter, train, encode, index)")
    print(f"  peak RSS          {peak_rss_megabytes():,.0f} MB")
    print(f"  model file        {model_bytes / 1e6:.2f} MB (dump {dump_seconds:.2f} s, load {load_seconds:.2f} s)")
    print(f"  query latency     p50 {statistics.median(latencies) * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms "
          f"over {len(latencies)} queries ({statistics.mean(matches):,.0f} matching documents on average)")
    return engine


if __name__ == "__main__":
    main()
