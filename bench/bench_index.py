"""The live index against SQLite FTS5 (bm25()) and Xapian (BM25Weight), each
given the same words, on the 397,491 poems (queries: lines of poems) and on
CMRC 2018 with the poems as distractors (queries: its questions).

Words come from the search package's analyzer once, cached under
build-bench/, and every system indexes them: a word is a term of its own in
Xapian and a token "w<number>" in FTS5. Run under the python3 that has
Debian's python3-xapian, with the package built for it (make bench does).

    python3 bench/bench_index.py [--rounds N] [--queries N]
"""
import argparse
import gc
import hashlib
import json
import os
import random
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import corpus  # noqa: F401  (puts examples/ on the import path)
from harness import table
from search import POETRY_DIR, read_poems

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CMRC = os.path.join(REPO, "..", "shared", "data", "cmrc2018")
CACHE = os.path.join(REPO, "build-bench")
B, K1 = 0.75, 1.2


# --- data --------------------------------------------------------------------------------------------

def analyzer():
    from durevarare_search import Analyzer
    return Analyzer()


def cached_words(name, texts):
    """Each text's document words, from the cache when the analyzer and texts are the same."""
    from durevarare_search import Analyzer
    key = hashlib.sha256(json.dumps([Analyzer().settings(), len(texts), texts[0], texts[-1]],
                                    sort_keys=True).encode()).hexdigest()[:16]
    path = os.path.join(CACHE, f"{name}-{key}.words")
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        words = analyzer().document_words_many(texts, threads=os.cpu_count() or 1)
        with open(path + ".partial", "w", encoding="utf-8") as out:
            for document in words:
                assert not any(" " in word or "\n" in word for word in document)
                out.write(" ".join(document) + "\n")
        os.replace(path + ".partial", path)
    with open(path, encoding="utf-8") as handle:
        return [line.split() for line in handle.read().split("\n")[:-1]]


def cmrc():
    """(documents, questions with their relevant document): CMRC 2018's dev set."""
    with open(os.path.join(CMRC, "docs.jsonl"), encoding="utf-8") as handle:
        docs = [json.loads(line) for line in handle]
    with open(os.path.join(CMRC, "queries.jsonl"), encoding="utf-8") as handle:
        queries = [json.loads(line) for line in handle]
    return docs, queries


def poem_lines(texts, count, rng):
    """`count` lines of poems (between punctuation), four characters or more."""
    lines = [line for text in rng.sample(texts, min(len(texts), 4 * count))
             for line in re.split(r"[，。！？；、\s]+", text) if len(line) >= 4]
    return rng.sample(lines, min(count, len(lines)))


# --- systems -----------------------------------------------------------------------------------------

class Ours:
    name = "durevarare"

    def __init__(self, folder, **parameters):
        from durevarare_search import Index
        self.index = Index(**{"idf": "occurrences", "b": B, "k1": K1, **parameters})
        self.path = os.path.join(folder, "ours.index")

    def build(self, documents):
        self.index.add_words(documents)

    def search(self, words, k=10):
        return [doc for doc, _ in self.index._core.search(words, k)] if words else []

    def update(self, doc, words):
        self.index._core.update([(doc, words)])

    def delete(self, doc):
        self.index._core.remove([doc])

    def save(self):
        self.index.save(self.path)
        return self.path


class Terms:
    """Word -> a token that every system indexes as one term."""

    def __init__(self):
        self.numbers = {}

    def __call__(self, word):
        number = self.numbers.get(word)
        if number is None:
            number = self.numbers[word] = len(self.numbers)
        return f"w{number}"

    def known(self, words):
        return [f"w{self.numbers[word]}" for word in dict.fromkeys(words) if word in self.numbers]


class Fts5:
    name = "SQLite FTS5"

    def __init__(self, folder, terms):
        self.path = os.path.join(folder, "fts5.db")
        self.db = sqlite3.connect(self.path, check_same_thread=False)
        self.db.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='unicode61')")
        self.terms = terms

    def build(self, documents):
        self.db.executemany("INSERT INTO docs(rowid, body) VALUES (?, ?)",
                            ((doc, " ".join(map(self.terms, words))) for doc, words in documents))
        self.db.commit()

    def search(self, words, k=10):
        terms = self.terms.known(words)
        if not terms:
            return []
        rows = self.db.execute(f"SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT {k}",
                               (" OR ".join(terms),))
        return [row[0] for row in rows]

    def update(self, doc, words):
        self.db.execute("DELETE FROM docs WHERE rowid = ?", (doc,))
        self.db.execute("INSERT INTO docs(rowid, body) VALUES (?, ?)", (doc, " ".join(map(self.terms, words))))
        self.db.commit()

    def delete(self, doc):
        self.db.execute("DELETE FROM docs WHERE rowid = ?", (doc,))
        self.db.commit()

    def save(self):
        self.db.commit()
        return self.path


class Xapian:
    name = "Xapian"

    def __init__(self, folder, terms, k1=K1, b=B):
        import xapian
        self.xapian = xapian
        self.path = os.path.join(folder, f"xapian-{k1}-{b}")
        self.db = xapian.WritableDatabase(self.path, xapian.DB_CREATE_OR_OPEN)
        self.terms = terms
        self.k1, self.b = k1, b

    def document(self, words):
        document = self.xapian.Document()
        for word in words:
            document.add_term(self.terms(word))  # each occurrence adds 1 to the term's wdf
        return document

    def build(self, documents):
        for doc, words in documents:
            self.db.replace_document(doc + 1, self.document(words))  # Xapian counts documents from 1
        self.db.commit()

    def search(self, words, k=10):
        terms = self.terms.known(words)
        if not terms:
            return []
        enquire = self.xapian.Enquire(self.db)
        enquire.set_query(self.xapian.Query(self.xapian.Query.OP_OR, terms))
        enquire.set_weighting_scheme(self.xapian.BM25Weight(self.k1, 0, 1, self.b, 0.5))
        return [match.docid - 1 for match in enquire.get_mset(0, k)]

    def update(self, doc, words):
        self.db.replace_document(doc + 1, self.document(words))
        self.db.commit()

    def delete(self, doc):
        self.db.delete_document(doc + 1)
        self.db.commit()

    def save(self):
        self.db.commit()
        return self.path


def systems(folder):
    terms = Terms()
    out = [Ours(folder), Fts5(folder, terms)]
    try:
        out.append(Xapian(folder, terms))
    except ImportError:
        print("(Xapian skipped: no python3-xapian for this interpreter)")
    return out


# --- measures ----------------------------------------------------------------------------------------

def latencies(systems, queries, k=10, seed=0):
    """name -> seconds per query, each query run by every system in a random order."""
    rng = random.Random(seed)
    out = {system.name: [] for system in systems}
    order = list(systems)
    for words in queries:
        rng.shuffle(order)
        for system in order:
            started = time.perf_counter()
            system.search(words, k)
            out[system.name].append(time.perf_counter() - started)
    return out


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def latency_rows(times, reference="durevarare"):
    rows = []
    for name, values in times.items():
        ratio = statistics.median(values) / statistics.median(times[reference])
        rows.append([name, f"{statistics.median(values) * 1e3:.3f}", f"{percentile(values, 0.99) * 1e3:.2f}",
                     f"{ratio:.2f}x"])
    return rows


def writes(systems, documents, count, rng):
    """Update, delete and add back `count` documents each (a tenth of that for the
    peers, which commit every write to make it searchable): documents a second."""
    rows = []
    for system in systems:
        if system.name != "durevarare":
            count //= 10
        chosen = rng.sample(range(len(documents)), count)
        replacements = rng.sample(range(len(documents)), count)
        started = time.perf_counter()
        for doc, source in zip(chosen, replacements):
            system.update(doc, documents[source][1])
        for doc in chosen:
            system.delete(doc)
        for doc in chosen:
            system.update(doc, documents[doc][1])
        seconds = time.perf_counter() - started
        rows.append([system.name, f"{3 * count:,}", f"{3 * count / seconds:,.0f}"])
    return rows


def search_after_write(ours, documents, queries, rng):
    """Median latency of a search right after a one-document update, and with no write between."""
    quiet, after = [], []
    for words in queries:
        ours.search(words)  # the same caches warm for both measurements
        started = time.perf_counter()
        ours.search(words)
        quiet.append(time.perf_counter() - started)
        doc = rng.randrange(len(documents))
        ours.update(doc, documents[rng.randrange(len(documents))][1])
        started = time.perf_counter()
        ours.search(words)
        after.append(time.perf_counter() - started)
    return statistics.median(quiet), statistics.median(after)


def threads_speedup(ours, queries, rounds=3):
    """Queries a second on 2 threads against 1, best of `rounds`."""
    def run(chunks):
        workers = [threading.Thread(target=lambda chunk=chunk: [ours.search(words) for words in chunk])
                   for chunk in chunks]
        started = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        return time.perf_counter() - started
    one = min(run([queries]) for _ in range(rounds))
    two = min(run([queries[0::2], queries[1::2]]) for _ in range(rounds))
    return len(queries) / one, len(queries) / two


LOAD = """
import sys, time
started = time.perf_counter()
kind, path, words = sys.argv[1], sys.argv[2], sys.argv[3].split()
if kind == "durevarare":
    from durevarare_search import _native
    with open(path, "rb") as handle:
        index = _native.Index.load(handle.read())
    first = index.search(words, 10)
elif kind == "Xapian":
    import xapian
    enquire = xapian.Enquire(xapian.Database(path))
    enquire.set_query(xapian.Query(xapian.Query.OP_OR, words))
    first = list(enquire.get_mset(0, 10))
else:
    import sqlite3
    db = sqlite3.connect(path)
    first = db.execute("SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT 10",
                       (" OR ".join(words),)).fetchall()
print(time.perf_counter() - started, len(first))
"""


def child_env():
    """This process's environment for a child that runs elsewhere: PYTHONPATH made absolute."""
    paths = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}


def load_times(saved, ours_words, terms_words, rounds):
    """Seconds from a fresh process's first line to its first result, by system (medians)."""
    out = {name: [] for name in saved}
    os.sync()  # the files just written are on disk: no writeback competes with the reads
    for _ in range(rounds):
        for name, path in saved.items():
            words = " ".join(ours_words if name == "durevarare" else terms_words)
            # From the index's folder: a -c script imports from its working
            # folder first, where the repository's own package would shadow the built one.
            result = subprocess.run([sys.executable, "-c", LOAD, name, path, words], capture_output=True, text=True,
                                    env=child_env(), cwd=os.path.dirname(path))
            if result.returncode != 0:
                raise RuntimeError(f"opening the {name} index failed: {result.stderr}")
            out[name].append(float(result.stdout.split()[0]))
    return {name: statistics.median(values) for name, values in out.items()}


MEMORY = """
import gc, sys
sys.path.insert(0, sys.argv[3])
import bench_index
def rss():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024
kind, words_path, _, folder = sys.argv[1:5]
terms = bench_index.Terms()
system = {"durevarare": lambda: bench_index.Ours(folder), "SQLite FTS5": lambda: bench_index.Fts5(folder, terms),
          "Xapian": lambda: bench_index.Xapian(folder, terms)}[kind]()
gc.collect()
before = rss()
with open(words_path, encoding="utf-8") as handle:
    batch = []
    for doc, line in enumerate(handle):
        batch.append((doc, line.split()))
        if len(batch) == 4096:
            system.build(batch)
            batch = []
    system.build(batch)
if kind != "durevarare":
    terms.numbers.clear()  # the word -> term table is the benchmark's, not the system's
gc.collect()
print(rss() - before)
"""


def memory(words_path, rounds=1):
    """RSS growth (MB) of building each system's index of the poems, each in a fresh process
    that streams the words from the cache."""
    out = {}
    for kind in ("durevarare", "SQLite FTS5", "Xapian"):
        folder = tempfile.mkdtemp()
        try:
            result = subprocess.run([sys.executable, "-c", MEMORY, kind, words_path, HERE, folder],
                                    capture_output=True, text=True, env=child_env(), cwd=folder)
            if result.returncode != 0:
                raise RuntimeError(f"indexing in a fresh process failed ({kind}): {result.stderr}")
            out[kind] = float(result.stdout.split()[-1])
        finally:
            shutil.rmtree(folder)
    return out


# --- the run -----------------------------------------------------------------------------------------

def run(rounds=3, query_count=1000):
    if not os.path.isdir(POETRY_DIR):
        print(f"(skipped: {POETRY_DIR} is missing; scripts/setup.sh bench installs it)")
        return
    rng = random.Random(11)
    poems = read_poems()
    poem_words = cached_words("poems", poems)
    documents = list(enumerate(poem_words))
    words_path = next(os.path.join(CACHE, name) for name in os.listdir(CACHE) if name.startswith("poems-"))
    lines = poem_lines(poems, query_count, rng)
    line_words = [analyzer().query_words(line) for line in lines]

    folder = tempfile.mkdtemp()
    try:
        built = systems(folder)
        rows = []
        for system in built:
            gc.collect()
            started = time.perf_counter()
            system.build(documents)
            rows.append([system.name, f"{time.perf_counter() - started:.1f}"])
        print(f"### Building the poems' index from their words ({len(documents):,} documents, one thread)\n")
        print(table(["system", "seconds"], rows))

        ours = built[0]
        print("\n### Query latency on the poems: a line of a poem, top 10, one thread (ms)\n")
        times = latencies(built, line_words)
        print(table(["system", "p50", "p99", "p50 ratio to durevarare"], latency_rows(times)))
        started = time.perf_counter()
        for line in lines:
            ours.index.search(line)
        print(f"\nWith the analysis of the query text (Index.search): "
              f"{(time.perf_counter() - started) / len(lines) * 1e3:.3f} ms a query on average.")

        quiet, after = search_after_write(ours, documents, line_words[:300], rng)
        print(f"\n### A search right after a write, {len(documents):,} documents\n")
        print(table(["no write between (ms, median)", "right after a one-document update", "ratio"],
                    [[f"{quiet * 1e3:.3f}", f"{after * 1e3:.3f}", f"{after / quiet:.2f}x"]]))

        one, two = threads_speedup(ours, line_words)
        print("\n### Searching threads (durevarare, queries a second)\n")
        print(table(["1 thread", "2 threads", "speed-up"], [[f"{one:,.0f}", f"{two:,.0f}", f"{two / one:.2f}x"]]))

        print("\n### Updates, deletes and adds back (documents a second, one thread, words given)\n")
        print(table(["system", "writes", "documents/s"], writes(built, documents, 20000, rng)))

        saved = {system.name: system.save() for system in built}
        first = line_words[0]
        load = load_times(saved, first, built[1].terms.known(first), max(5, rounds))
        print("\n### Opening the poems' index in a fresh process, to the first result (s, median)\n")
        print(table(["system", "seconds"], [[name, f"{seconds:.3f}"] for name, seconds in load.items()]))
        print(f"\n(durevarare's file: {os.path.getsize(saved['durevarare']) / 1e6:.1f} MB; "
              f"index structures in memory: {ours.index.statistics()['memory'] / 1e6:.1f} MB)")

        # CMRC's questions over CMRC and the poems.
        docs, queries = cmrc()
        cmrc_words = cached_words("cmrc", [doc["text"] for doc in docs])
        offset = len(documents)
        for system in built:
            system.build([(offset + i, words) for i, words in enumerate(cmrc_words)])
        question_words = [analyzer().query_words(query["text"]) for query in queries]
        print("\n### CMRC 2018's 3,219 questions over its paragraphs and the poems, top 10 (ms)\n")
        print(table(["system", "p50", "p99", "p50 ratio to durevarare"],
                    latency_rows(latencies(built, question_words))))
    finally:
        shutil.rmtree(folder)

    growth = memory(words_path)
    print("\n### Index memory for the poems: RSS growth while indexing their words, fresh process each (MB)\n")
    print(table(["system", "MB"], [[name, f"{mb:,.0f}"] for name, mb in growth.items()]))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--queries", type=int, default=1000)
    arguments = parser.parse_args()
    run(arguments.rounds, arguments.queries)
