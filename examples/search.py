#!/usr/bin/env python3
"""Lexical search over Chinese text, end to end, on the durevarare_search
package: cut every document with Jieba (on several threads), learn BM25
statistics, index the documents' vectors, and rank documents for queries by
the inner product of query and document vectors.

    python examples/search.py                      # the fortunes of Debian's fortunes-zh
    python examples/search.py --large              # 397,491 classical poems (make demo-large)
    python examples/search.py --query 人工智能 --top 3
    python examples/search.py --corpus my.txt      # one document per blank-line-separated paragraph

The package's analyzer normalises text before it is cut (NFKC, then case
folding), so that full-width ＶＩＰ and ￥１２８ read as vip and ¥128, and App
finds app; it folds traditional Chinese into simplified (the poems are mostly
traditional), and a model number gives itself and its parts (iphone15 and
"iphone 15" alike).
"""
import argparse
import gc
import json
import os
import random
import re
import statistics
import sys
import tempfile
import time

import durevarare
from durevarare_search import Analyzer, Index

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


def make_analyzer(dict_dir, query_cut="cut"):
    """The package's analyzer on the dictionaries of `dict_dir`."""
    os.environ["DUREVARARE_DICT_DIR"] = os.path.abspath(dict_dir)
    return Analyzer(query_cut=query_cut)


def build_index(texts, analyzer, threads=os.cpu_count() or 1, progress=None, idf="documents"):
    """An Index of the texts, numbered from 0."""
    progress = progress or Progress(enabled=False)
    index = Index(analyzer, idf=idf)
    progress.start("add", len(texts))
    index.add_many(enumerate(texts), threads=threads, progress=lambda done: progress.advance(done - progress.done))
    progress.finish()
    return index


def check_model_file(index, queries):
    """The index's model dumped, loaded into a fresh BM25, and query vectors
    compared to six decimals."""
    model = index.model()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        started = time.perf_counter()
        model.dump(path)
        dumped = time.perf_counter()
        size = os.path.getsize(path)
        restored = durevarare.BM25()
        with open(path, encoding="utf-8") as handle:
            restored.load(handle.read())
        loaded = time.perf_counter()
    for text in queries:
        words = index.analyzer.query_words(text)
        if not words:
            continue
        original, again = model.encode_query(words), restored.encode_query(words)
        if original.keys() != again.keys() or any(abs(original[t] - again[t]) > 5e-7 for t in original):
            raise SystemExit(f"model file check failed for query {text!r}")
    return size, dumped - started, loaded - dumped


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value


def snippet(text, width=60):
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[:width] + "…"


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Environment: DUREVARARE_DICT_DIR names the dictionary folder when --dict-dir is not given.")
    parser.add_argument("--query", action="append", default=[],
                        help="a query (repeatable; default: five sample queries for the corpus)")
    parser.add_argument("--top", type=positive, default=3, help="results shown per query (default: 3)")
    corpus = parser.add_mutually_exclusive_group()
    corpus.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph "
                                         "(default: the fortunes of Debian's fortunes-zh)")
    corpus.add_argument("--large", action="store_true",
                        help="the 397,491 poems of the chinese-poetry corpus (scripts/setup.sh demo-large "
                             "installs it under corpus/)")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                        help="threads for cutting (default: one per core)")
    parser.add_argument("--query-cut", choices=["cut", "search"], default="cut",
                        help="the segmenter's mixed cut or its search cut for the queries (default: cut; search also "
                             "matches the words inside a long query word; documents are always cut for search)")
    parser.add_argument("--idf", choices=["occurrences", "documents"], default="documents",
                        help="query weights from document frequencies, never negative, or from occurrence counts "
                             "(the module's own) (default: documents)")
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
    index = build_index(texts, make_analyzer(args.dict_dir, args.query_cut), args.threads, progress, args.idf)
    # Everything built so far lives until the end: keep the cyclic collector from
    # walking it again on every full collection (a pause of tens of milliseconds
    # in the middle of some query).
    gc.freeze()

    # Query latency over the given queries and a sample made of documents' own words.
    rng = random.Random(7)
    sample = []
    for text in rng.sample(texts, min(300, len(texts))):
        words = index.analyzer.document_words(text)
        if words:
            sample.append(" ".join(rng.sample(words, min(3, len(words)))))
    model_bytes, dump_seconds, load_seconds = check_model_file(index, queries + sample[:50])
    print(f"model file: {model_bytes / 1e6:.2f} MB, reloaded, query vectors agree to six decimals\n")

    for text in queries:
        results = index.search(text, args.top)
        print(f"query: {text}   tokens: {' '.join(index.query_vector(text)) or '(none)'}")
        if not results:
            print("  no matching document")
        for rank, (doc, score) in enumerate(results, 1):
            print(f"  {rank}. {score:.4f}  #{doc:<6} {snippet(texts[doc])}")
        print()

    latencies, matches = [], []
    for text in queries + sample:
        began = time.perf_counter()
        index.search(text, args.top)
        latencies.append(time.perf_counter() - began)
        matches.append(index.matches(text))
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    t = index.timings
    pipeline = read_seconds + sum(t.values())
    figures = index.statistics()
    documents = figures["with_words"]
    rate = lambda seconds: f"{len(texts) / seconds:,.0f} documents/s" if seconds else "-"
    print("summary")
    print(f"  documents         {len(texts)} ({documents} with words), {megabytes:.2f} MB; "
          f"{figures['total_length'] / max(documents, 1):.1f} words a document, {figures['words']:,} distinct words "
          f"(search for documents, {args.query_cut} for queries; {args.idf} idf)")
    print(f"  read              {read_seconds:.2f} s")
    print(f"  add               {rate(t['index'])}, {megabytes / t['index']:.1f} MB/s on {args.threads} thread(s) "
          f"({t['index']:.2f} s: normalise, fold, cut, filter, index)")
    print(f"  pipeline          {pipeline:.2f} s (read, add)")
    print(f"  index memory      {figures['memory'] / 1e6:,.0f} MB")
    print(f"  peak RSS          {peak_rss_megabytes():,.0f} MB")
    print(f"  model file        {model_bytes / 1e6:.2f} MB (dump {dump_seconds:.2f} s, load {load_seconds:.2f} s)")
    print(f"  query latency     p50 {statistics.median(latencies) * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms "
          f"over {len(latencies)} queries ({statistics.mean(matches):,.0f} matching documents on average)")
    return index


if __name__ == "__main__":
    main()
