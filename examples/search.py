#!/usr/bin/env python3
"""Lexical search over Chinese text, end to end: cut every document with Jieba
(on several threads), learn BM25 statistics, encode the documents into sparse
vectors, index them, and rank documents for queries by the inner product of
query and document vectors.

    python examples/search.py                      # the fortunes of Debian's fortunes-zh
    python examples/search.py --query 人工智能 --top 3
    python examples/search.py --corpus my.txt      # one document per blank-line-separated paragraph
"""
import argparse
import heapq
import os
import random
import re
import statistics
import sys
import tempfile
import time
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor

import durevarare

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CORPUS = "/usr/share/games/fortunes/chinese"
DEFAULT_DICT_DIR = os.path.join(HERE, "..", "node_modules", "nodejieba", "submodules", "cppjieba", "dict")
DEFAULT_QUERIES = ["人生的意义", "爱情与婚姻", "电脑程序", "朋友之间的信任", "金钱能买到幸福吗"]
# Terminal colour codes, including the few unterminated ones in fortunes-zh.
COLOUR_CODES = re.compile(r"\x1b(\[[0-9;]*[A-Za-z]?)?")


# --- corpus ----------------------------------------------------------------------------------------

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


# --- progress --------------------------------------------------------------------------------------

class Progress:
    """A bar on a terminal; elsewhere a plain line when a step starts and ends."""

    def __init__(self, stream=sys.stderr, enabled=True):
        self.stream, self.enabled = stream, enabled
        self.tty = enabled and stream.isatty()

    def start(self, label, total):
        self.label, self.total, self.done, self.began = label, total, 0, time.perf_counter()
        if self.enabled and not self.tty:
            print(f"{label}: {total} documents ...", file=self.stream, flush=True)

    def advance(self, count):
        self.done += count
        if self.tty:
            width = 30
            filled = int(width * self.done / max(self.total, 1))
            self.stream.write(f"\r{self.label:<8} [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}")
            self.stream.flush()

    def finish(self):
        elapsed = time.perf_counter() - self.began
        if self.tty:
            self.stream.write("\n")
        if self.enabled:
            print(f"{self.label}: done in {elapsed:.2f} s", file=self.stream, flush=True)
        return elapsed


# --- the search engine -----------------------------------------------------------------------------

class Tokenizer:
    """Jieba's mixed segmentation, keeping word tokens: separators, punctuation and stop words go."""

    def __init__(self, dict_dir):
        path = lambda name: os.path.join(dict_dir, name)
        self.jieba = durevarare.Jieba(path("jieba.dict.utf8"), path("hmm_model.utf8"), path("user.dict.utf8"),
                                      path("idf.utf8"), path("stop_words.utf8"))
        with open(path("stop_words.utf8"), encoding="utf-8") as handle:
            self.stop_words = {line.strip() for line in handle if line.strip()}
        self.verdicts = {}  # token -> whether it is a word; tokens repeat, so decide each once

    def is_word(self, token):
        verdict = self.verdicts.get(token)
        if verdict is None:
            verdict = self.verdicts[token] = token not in self.stop_words and any(c.isalnum() for c in token)
        return verdict

    def words(self, tokens):
        verdicts = self.verdicts
        return [t for t in tokens if verdicts.get(t) or (t not in verdicts and self.is_word(t))]

    def __call__(self, text):
        return self.words(self.jieba.cut(text))

    def cut_all(self, texts, threads, progress, batch=64):
        """Tokens of every text, cut on `threads` threads sharing one Jieba (the cuts release the lock)."""
        batches = [texts[i:i + batch] for i in range(0, len(texts), batch)]
        cut = self.jieba.cut

        def work(items):
            return [cut(text) for text in items]

        progress.start("cut", len(texts))
        out = []
        with ThreadPoolExecutor(max_workers=threads) as pool:
            for done in pool.map(work, batches):
                out.extend(done)
                progress.advance(len(done))
        return out, progress.finish()


class SearchIndex:
    """An inverted index from token to (document, weight); scores are inner products."""

    def __init__(self, vectors):
        self.postings = defaultdict(list)
        for doc, vector in enumerate(vectors):
            for token, weight in vector.items():
                self.postings[token].append((doc, weight))

    def search(self, query_vector, top):
        scores = {}
        # Ascending token order, as in the query vector, so that each score is
        # exactly the sum of q[t] * d[t] over the query's tokens.
        for token, query_weight in query_vector.items():
            for doc, weight in self.postings.get(token, ()):
                scores[doc] = scores.get(doc, 0.0) + query_weight * weight
        return heapq.nlargest(top, scores.items(), key=lambda item: (item[1], -item[0]))


def dot(query_vector, document_vector):
    total = 0.0
    for token, weight in query_vector.items():
        if token in document_vector:
            total += weight * document_vector[token]
    return total


class Engine:
    """Everything the demo builds, with the time each step took."""

    def __init__(self, texts, tokenizer, threads=os.cpu_count() or 1, progress=None):
        progress = progress or Progress(enabled=False)
        self.texts, self.tokenizer = texts, tokenizer
        self.timings = {}
        cut_tokens, self.timings["cut"] = tokenizer.cut_all(texts, threads, progress)
        started = time.perf_counter()
        all_tokens = [tokenizer.words(tokens) for tokens in cut_tokens]
        self.timings["filter"] = time.perf_counter() - started
        # A document with no word tokens cannot be trained; it stays unsearchable.
        self.ids = [i for i, tokens in enumerate(all_tokens) if tokens]
        self.tokens = [all_tokens[i] for i in self.ids]

        self.model = durevarare.BM25()
        progress.start("train", len(self.tokens))
        for tokens in self.tokens:
            self.model.train(tokens)
        progress.advance(len(self.tokens))
        self.timings["train"] = progress.finish()

        progress.start("encode", len(self.tokens))
        self.vectors = [self.model.encode_document(tokens) for tokens in self.tokens]
        progress.advance(len(self.tokens))
        self.timings["encode"] = progress.finish()

        started = time.perf_counter()
        self.index = SearchIndex(self.vectors)
        self.timings["index"] = time.perf_counter() - started

    def query(self, text, top=5):
        """[(score, text index)] for the best documents, best first."""
        vector = self.model.encode_query(self.tokenizer(text))
        return [(score, self.ids[doc]) for doc, score in self.index.search(vector, top)], vector


def check_model_file(engine, queries):
    """dump, load into a fresh BM25, and compare query vectors to six decimals."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        engine.model.dump(path)
        size = os.path.getsize(path)
        restored = durevarare.BM25()
        with open(path, encoding="utf-8") as handle:
            restored.load(handle.read())
    for text in queries:
        tokens = engine.tokenizer(text)
        original, copy = engine.model.encode_query(tokens), restored.encode_query(tokens)
        if original.keys() != copy.keys() or any(abs(original[t] - copy[t]) > 5e-7 for t in original):
            raise SystemExit(f"model file check failed for query {text!r}")
    return size


def snippet(text, width=60):
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[:width] + "…"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--query", action="append", default=[], help="a query (repeatable)")
    parser.add_argument("--top", type=int, default=3, help="results per query")
    parser.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="threads for cutting")
    parser.add_argument("--dict-dir", default=os.environ.get("DUREVARARE_DICT_DIR", DEFAULT_DICT_DIR))
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)

    texts = read_paragraphs(args.corpus) if args.corpus else read_fortunes(DEFAULT_CORPUS)
    if args.limit:
        texts = texts[:args.limit]
    megabytes = sum(len(t.encode()) for t in texts) / 1e6
    print(f"corpus: {args.corpus or DEFAULT_CORPUS}: {len(texts)} documents, {megabytes:.2f} MB")

    progress = Progress(enabled=not args.no_progress)
    tokenizer = Tokenizer(args.dict_dir)
    engine = Engine(texts, tokenizer, args.threads, progress)

    # Query latency over the given queries and a sample made of documents' own words.
    rng = random.Random(7)
    sample = [" ".join(rng.sample(tokens, min(3, len(tokens)))) for tokens in rng.sample(engine.tokens, min(300, len(engine.tokens)))]
    queries = args.query or DEFAULT_QUERIES
    model_bytes = check_model_file(engine, queries + sample[:50])
    print(f"model file: {model_bytes / 1e6:.2f} MB, reloaded, query vectors agree to six decimals\n")

    for text in queries:
        results, vector = engine.query(text, args.top)
        print(f"query: {text}   tokens: {' '.join(vector) or '(none)'}")
        if not results:
            print("  no matching document")
        for rank, (score, doc) in enumerate(results, 1):
            print(f"  {rank}. {score:.4f}  #{doc:<5} {snippet(texts[doc])}")
        print()

    latencies = []
    for text in queries + sample:
        started = time.perf_counter()
        engine.query(text, args.top)
        latencies.append(time.perf_counter() - started)
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    t = engine.timings
    pipeline = sum(t.values())
    print("summary")
    print(f"  documents         {len(texts)} ({len(engine.ids)} with words), {megabytes:.2f} MB")
    print(f"  cut               {megabytes / t['cut']:.1f} MB/s on {args.threads} thread(s) ({t['cut']:.2f} s)")
    print(f"  filter            {t['filter']:.2f} s (punctuation, spaces and stop words out)")
    print(f"  train             {len(engine.ids) / t['train']:,.0f} documents/s ({t['train']:.2f} s)")
    print(f"  encode            {len(engine.ids) / t['encode']:,.0f} documents/s ({t['encode']:.2f} s)")
    print(f"  index             {t['index']:.2f} s")
    print(f"  pipeline          {pipeline:.2f} s (cut, filter, train, encode, index)")
    print(f"  query latency     p50 {statistics.median(latencies) * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms "
          f"over {len(latencies)} queries")
    return engine


if __name__ == "__main__":
    main()
