"""The index kept in a folder: durable writes against the disk's own flush
rate, SQLite FTS5 (WAL, synchronous=FULL) and Xapian (a commit each time),
threads sharing flushes, a reader in another process following commits,
recovery and checkpoints, opening to a first result, and writers killed at
random moments.

Every system is given the same words: the analyzer's document words of the
poems (cached under build-bench/, as bench_index.py makes them), or Zipf
tokens where the poems are missing. Run under the python3 that has Debian's
python3-xapian, with the package built for it (make bench does).

    python3 bench/bench_durable.py [--rounds N] [--kills N]
"""
import argparse
import os
import random
import select
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import corpus
from bench_index import LOAD, cached_words, child_env, poem_lines
from harness import interleave, table
from search import POETRY_DIR, read_poems

# FTS5 told that only a space separates words, and to leave them as given.
FTS5_TOKENIZER = "unicode61 remove_diacritics 0 categories 'L* M* N* P* S* Co Cc Cf Cs'"
# The log's recovery measure: writes after the snapshot.
LOG_WRITES = 100_000
# Documents of the index that the opening times are taken on.
OPEN_DOCUMENTS = 100_000


# --- data --------------------------------------------------------------------------------------------

def load_corpus():
    """(name, word lists, query texts): the poems, or Zipf tokens without them."""
    rng = random.Random(5)
    if os.path.isdir(POETRY_DIR):
        poems = read_poems()
        return f"the {len(poems):,} poems", cached_words("poems", poems), poem_lines(poems, 200, rng)
    # One long draw, cut into documents: the module's sampler builds its
    # weights once a call.
    count, length = LOG_WRITES + 60_000, 24
    flat = corpus.zipf_documents(1, count * length)[0]
    words = [[f"t{rank}" for rank in flat[start:start + length]] for start in range(0, count * length, length)]
    queries = [" ".join(rng.choice(document)[:2] for _ in range(3)) for document in rng.sample(words, 200)]
    return f"{count:,} synthetic Zipf documents", words, queries


def fts5_query(words):
    return " OR ".join('"' + word.replace('"', '""') + '"' for word in dict.fromkeys(words))


# --- systems -----------------------------------------------------------------------------------------

class SyncProbe:
    """The disk alone: a record-sized pwrite and fdatasync, appended as a log
    grows, or always at the start of the file."""

    def __init__(self, path, append, size):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        self.append, self.block, self.offset = append, b"\xa5" * size, 0

    def run(self, count):
        for _ in range(count):
            os.pwrite(self.fd, self.block, self.offset)
            os.fdatasync(self.fd)
            if self.append:
                self.offset += len(self.block)

    def close(self):
        os.close(self.fd)


class Fts5:
    def __init__(self, path):
        # Autocommit: each statement outside BEGIN is a transaction of its own.
        self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")
        self.db.execute(f'CREATE VIRTUAL TABLE IF NOT EXISTS docs USING fts5(body, tokenize="{FTS5_TOKENIZER}")')

    def each(self, documents):
        for doc, body in documents:
            self.db.execute("INSERT INTO docs(rowid, body) VALUES (?, ?)", (doc, body))

    def batch(self, documents):
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO docs(rowid, body) VALUES (?, ?)", documents)
        self.db.execute("COMMIT")

    def close(self):
        self.db.close()


class Xapian:
    def __init__(self, path):
        import xapian
        self.xapian = xapian
        self.db = xapian.WritableDatabase(path, xapian.DB_CREATE_OR_OPEN)

    def document(self, words):
        document = self.xapian.Document()
        for word in words:
            document.add_term(word)
        return document

    def each(self, documents):
        for doc, words in documents:
            self.db.replace_document(doc + 1, self.document(words))  # Xapian counts documents from 1
            self.db.commit()

    def batch(self, documents):
        for doc, words in documents:
            self.db.replace_document(doc + 1, self.document(words))
        self.db.commit()

    def close(self):
        self.db.close()


def xapian_or_none(path):
    try:
        return Xapian(path)
    except ImportError:
        return None


def blockwise(write, blocks):
    """A call that writes the next block each time."""
    pending = iter(blocks)
    return lambda: write(next(pending))


def interleaved(systems, rounds):
    """Seconds a round by system, the first (warming) round dropped."""
    return {name: values[1:] for name, values in interleave(systems, rounds + 1, seed=3).items()}


def paired(times, numerator, denominator):
    """Median over rounds of numerator's rate over denominator's, for equal work."""
    return statistics.median(b / a for a, b in zip(times[numerator], times[denominator]))


def verdict(value, target, at_most=False):
    met = value <= target if at_most else value >= target
    return "met" if met else "missed"


# --- 1, 2: single durable writes --------------------------------------------------------------------

def single_writes(folder, analyzer, words, rounds, count):
    from durevarare_search import Index
    blocks = [range(r * count, (r + 1) * count) for r in range(rounds + 1)]
    mean_bytes = round(statistics.mean(len(" ".join(words[i]).encode()) for b in blocks for i in b)) + 40
    appending = SyncProbe(os.path.join(folder, "probe-append"), True, mean_bytes)
    in_place = SyncProbe(os.path.join(folder, "probe-place"), False, mean_bytes)
    write_mode = Index.open(os.path.join(folder, "write"), analyzer=analyzer, durability="write")
    commit_mode = Index.open(os.path.join(folder, "commit"), analyzer=analyzer)
    fts5 = Fts5(os.path.join(folder, "fts5.db"))
    xapian = xapian_or_none(os.path.join(folder, "xapian"))

    def each_durable(block):
        for doc in block:
            write_mode.add_words([(doc, words[doc])])

    def each_committed(block):
        for doc in block:
            commit_mode.add_words([(doc, words[doc])])
            commit_mode.commit()

    systems = {
        "fdatasync, appending": lambda: appending.run(count),
        "fdatasync, in place": lambda: in_place.run(count),
        'durevarare, durability="write"': blockwise(each_durable, blocks),
        "durevarare, add + commit": blockwise(each_committed, blocks),
        "SQLite FTS5": blockwise(fts5.each, [[(d, " ".join(words[d])) for d in b] for b in blocks]),
    }
    if xapian:
        systems["Xapian"] = blockwise(xapian.each, [[(d, words[d]) for d in b] for b in blocks])
    try:
        times = interleaved(systems, rounds)
    finally:
        for closing in (appending, in_place, write_mode, commit_mode, fts5, xapian):
            if closing:
                closing.close()
    rows = []
    for name, values in times.items():
        ratio = paired(times, name, "fdatasync, appending")
        target = f"≥ 0.70: {verdict(ratio, 0.7)}" if name.startswith("durevarare") else ""
        rows.append([name, f"{count / statistics.median(values):,.0f}", f"{ratio:.2f}",
                     f"{paired(times, name, 'fdatasync, in place'):.2f}", target])
    print(f"### Durable single writes, one document a commit, one thread ({count} a round, "
          f"median of {rounds} interleaved rounds; fdatasync of {mean_bytes}-byte records)\n")
    print(table(["system", "writes/s", "ratio to fdatasync, appending", "ratio to fdatasync, in place", "target"],
                rows))


# --- 3: threads sharing flushes ---------------------------------------------------------------------

def threaded_writes(folder, analyzer, words, rounds, one_count=100, each_count=50, threads=8):
    from durevarare_search import Index
    stores = {mode: Index.open(os.path.join(folder, f"threads-{mode}"), analyzer=analyzer, durability=mode)
              for mode in ("commit", "write")}
    next_doc = iter(range(len(words)))
    flushes = {}

    def writer(index, docs, commit):
        for doc in docs:
            index.add_words([(doc, words[doc])])
            if commit:
                index.commit()

    def run(mode, count, name):
        index = stores[mode]
        docs = [[next(next_doc) for _ in range(count)] for _ in range(1 if name.startswith("1") else threads)]
        before = index.statistics()["sequence"]
        workers = [threading.Thread(target=writer, args=(index, part, mode == "commit")) for part in docs]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        made = flushes.setdefault(name, [0, 0])
        made[0] += sum(map(len, docs))
        made[1] += index.statistics()["sequence"] - before

    labels = {"commit": "add + commit", "write": 'durability="write"'}
    systems = {}
    for mode, label in labels.items():
        systems[f"1 thread, {label}"] = lambda mode=mode, label=label: run(mode, one_count, f"1 thread, {label}")
        systems[f"{threads} threads, {label}"] = (
            lambda mode=mode, label=label: run(mode, each_count, f"{threads} threads, {label}"))
    try:
        times = interleaved(systems, rounds)
    finally:
        for index in stores.values():
            index.close()
    rows = []
    for mode, label in labels.items():
        one, many = f"1 thread, {label}", f"{threads} threads, {label}"
        ratio = statistics.median((threads * each_count / b) / (one_count / a)
                                  for a, b in zip(times[one], times[many]))
        for name, count in ((one, one_count), (many, threads * each_count)):
            docs, commits = flushes[name]
            rows.append([name, f"{count / statistics.median(times[name]):,.0f}", f"{docs / max(commits, 1):.1f}",
                         f"{ratio:.2f}x: {verdict(ratio, 3)}" if name == many else ""])
    print(f"\n### Durable single writes from {threads} threads, each committing its own "
          f"({one_count} documents a round on one thread, {each_count} on each of {threads}; "
          f"median of {rounds} rounds)\n")
    print(table(["durevarare", "writes/s", "documents a flush", f"{threads} threads to 1 (target ≥ 3x)"], rows))


# --- 4: commits of 1,000 --------------------------------------------------------------------------------

def batch_writes(folder, analyzer, words, rounds, size=1000, commits=3):
    from durevarare_search import Index
    per_round = size * commits
    blocks = [[range(r * per_round + c * size, r * per_round + (c + 1) * size) for c in range(commits)]
              for r in range(rounds + 1)]
    ours = Index.open(os.path.join(folder, "batches"), analyzer=analyzer)
    fts5 = Fts5(os.path.join(folder, "batches.db"))
    xapian = xapian_or_none(os.path.join(folder, "batches-xapian"))

    def ours_write(batches):
        for batch in batches:
            ours.add_words(batch)
            ours.commit()

    def peer(write, batches):
        for batch in batches:
            write(batch)

    as_words = [[[(d, words[d]) for d in batch] for batch in block] for block in blocks]
    systems = {
        "durevarare": blockwise(ours_write, as_words),
        "SQLite FTS5": blockwise(lambda b: peer(fts5.batch, b),
                                 [[[(d, " ".join(words[d])) for d in batch] for batch in block] for block in blocks]),
    }
    if xapian:
        systems["Xapian"] = blockwise(lambda b: peer(xapian.batch, b), as_words)
    try:
        times = interleaved(systems, rounds)
    finally:
        for closing in (ours, fts5, xapian):
            if closing:
                closing.close()
    rows = []
    for name, values in times.items():
        rate = per_round / statistics.median(values)
        rows.append([name, f"{rate:,.0f}", f"{paired(times, name, 'durevarare'):.2f}",
                     f"≥ 50,000: {verdict(rate, 50_000)}" if name == "durevarare" else ""])
    print(f"\n### Durable writes in commits of {size:,} documents, words given, one thread "
          f"({commits} commits a round, median of {rounds} rounds)\n")
    print(table(["system", "documents/s", "ratio to durevarare", "target"], rows))


# --- 5: a reader in another process -------------------------------------------------------------------

class Lines:
    """Lines from a child's unbuffered pipe, with deadlines."""

    def __init__(self, stream):
        self.fd, self.buffer, self.lines = stream.fileno(), b"", []

    def next(self, deadline):
        """The next line, or None at the deadline or the end of the stream."""
        while not self.lines:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 65536)
            if not chunk:
                return None
            self.buffer += chunk
            *whole, self.buffer = self.buffer.split(b"\n")
            self.lines.extend(line.decode() for line in whole)
        return self.lines.pop(0)

    def expect(self, prefix, seconds):
        line = self.next(time.monotonic() + seconds)
        if line is None or not line.startswith(prefix):
            raise RuntimeError(f"the child said {line!r}, not {prefix!r}...")
        return line


def marker_of(number):
    """A word of its own for each marker document, letters only (the analyzer
    parts letters from digits), and its id."""
    letters, rest = "", number
    while True:
        letters += chr(ord("a") + rest % 26)
        rest //= 26
        if not rest:
            return f"durablemarker{letters}", 10 ** 9 + number


def reader_child(path, count):
    from durevarare_search import Index
    index = Index.open(path, readonly=True)
    out = sys.stdout.fileno()
    os.write(out, b"ready\n")
    for number in range(count):
        text, doc = marker_of(number)
        deadline = time.monotonic() + 10
        while True:
            found = index.search(text, 1)
            if found and found[0][0] == doc:
                os.write(out, f"{time.monotonic()!r}\n".encode())
                break
            if time.monotonic() > deadline:
                os.write(out, b"timeout\n")
                break


def spawn(folder, *arguments):
    # From the temporary folder: nothing there shadows the built package.
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), *arguments], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=open(os.path.join(folder, "child-errors"), "ab"),
                            env=child_env(), cwd=folder, bufsize=0)


def child_errors(folder):
    path = os.path.join(folder, "child-errors")
    return open(path, encoding="utf-8", errors="replace").read()[-2000:] if os.path.exists(path) else ""


def reader_delay(folder, analyzer, words, count=40, documents=20_000):
    from durevarare_search import Index
    path = os.path.join(folder, "followed")
    writer = Index.open(path, analyzer=analyzer)
    writer.add_words(list(enumerate(words[:documents])))
    writer.commit()
    child = spawn(folder, "--reader", path, str(count))
    rng = random.Random(7)
    delays, flushes, missed = [], [], 0
    try:
        lines = Lines(child.stdout)
        lines.expect("ready", 60)
        for number in range(count):
            time.sleep(rng.uniform(0.002, 0.02))
            text, doc = marker_of(number)
            writer.add_words([(doc, analyzer.document_words(text))])
            called = time.monotonic()
            writer.commit()
            committed = time.monotonic()
            flushes.append(committed - called)
            seen = lines.next(committed + 15)
            if seen is None or seen == "timeout":
                missed += 1
                continue
            delays.append(float(seen) - committed)
    finally:
        child.kill()
        child.wait()
        writer.close()
    if not delays:
        print(f"\n(the reader saw no commit: {child_errors(folder)})")
        return
    early = sum(delay < 0 for delay in delays)
    print(f"\n### A commit seen by a reader in another process (readonly, searching without pause; "
          f"{count} commits of one document into {documents:,})\n")
    print(table(["median delay (ms)", "max (ms)", "min (ms)", "seen before commit() returned",
                 "commit() itself (ms, median)", "never seen", "target: max ≤ 100 ms"],
                [[f"{statistics.median(delays) * 1e3:.2f}", f"{max(delays) * 1e3:.2f}", f"{min(delays) * 1e3:.2f}",
                  f"{early} of {len(delays)}", f"{statistics.median(flushes) * 1e3:.2f}", str(missed),
                  verdict(max(delays), 0.1, at_most=True)]]))


# --- 6: recovery and checkpoints --------------------------------------------------------------------

def build_logged(path, analyzer, words, log_writes):
    """An index whose snapshot holds all but the last `log_writes` documents,
    and whose log holds those, one write each (a commit every 1,000)."""
    from durevarare_search import Index
    split = len(words) - log_writes
    index = Index.open(path, analyzer=analyzer)
    index.add_words(list(enumerate(words[:split])))
    index.checkpoint()
    before = index.statistics()["sequence"]
    for doc in range(split, len(words)):
        index.add_words([(doc, words[doc])])
        if (doc - split) % 1000 == 999:
            index.commit()
    index.commit()
    made = index.statistics()
    index.close()
    made["commits"] = made["sequence"] - before
    return made


def searching(index, queries, stop, spans):
    """Searches one query after another until told to stop, noting when each began and ended."""
    position = 0
    while not stop.is_set():
        started = time.perf_counter()
        index.search(queries[position % len(queries)], 10)
        spans.append((started, time.perf_counter()))
        position += 1


def timed_open(path, analyzer, readonly, expected, commits):
    """Seconds to open; the index, checked against what was written, left open."""
    from durevarare_search import Index
    started = time.perf_counter()
    index = Index.open(path, analyzer=analyzer, readonly=readonly)
    seconds = time.perf_counter() - started
    replayed = index.statistics()["replayed"]
    if len(index) != expected or replayed != commits:
        print(f"(an open found {len(index):,} documents of {expected:,}, {replayed} commits replayed of {commits})")
    return seconds, index


def recovery(folder, analyzer, words, queries, rounds):
    base = os.path.join(folder, "recovery")
    log_writes = min(LOG_WRITES, len(words) // 2)
    made = build_logged(base, analyzer, words, log_writes)
    os.sync()  # no writeback of the files just made competes with the reads
    kinds = ["writer", "reader", "writer, the same documents after a checkpoint (empty log)"]
    opens = {kind: [] for kind in kinds}
    checkpoints, during, outside = [], [], []
    for number in range(rounds):
        # Each round on a copy, since a checkpoint empties the log.
        work = os.path.join(folder, f"checkpoint-{number}")
        shutil.copytree(base, work)
        seconds, reader = timed_open(work, analyzer, True, len(words), made["commits"])
        reader.close()
        opens["reader"].append(seconds)
        seconds, index = timed_open(work, analyzer, False, len(words), made["commits"])
        opens["writer"].append(seconds)
        stop, spans = threading.Event(), []
        thread = threading.Thread(target=searching, args=(index, queries, stop, spans))
        thread.start()
        time.sleep(0.3)
        started = time.perf_counter()
        index.checkpoint()
        ended = time.perf_counter()
        time.sleep(0.3)
        stop.set()
        thread.join()
        index.close()
        seconds, index = timed_open(work, analyzer, False, len(words), 0)
        index.close()
        opens[kinds[2]].append(seconds)
        shutil.rmtree(work)
        checkpoints.append(ended - started)
        during.append([b - a for a, b in spans if b > started and a < ended] or [0.0])
        outside.append([b - a for a, b in spans if b <= started or a >= ended] or [0.0])
    rows = [[f"Index.open ({kind})", f"{statistics.median(values):.3f}", f"{max(values):.3f}",
             f"≤ 1 s: {verdict(statistics.median(values), 1.0, at_most=True)}" if kind == "writer" else ""]
            for kind, values in opens.items()]
    print(f"\n### Recovery: opening an index whose log holds {log_writes:,} writes ({made['commits']} commits, "
          f"{made['log_bytes'] / 1e6:.1f} MB) after a snapshot of {len(words) - log_writes:,} documents "
          f"({made['snapshot_bytes'] / 1e6:.1f} MB); analyzer given, files in the page cache, {rounds} rounds\n")
    print(table(["step", "median (s)", "max (s)", "target"], rows))

    def summary(spans_of_rounds, pick):
        return f"{statistics.median(pick(spans) for spans in spans_of_rounds) * 1e3:.2f}"

    longest, p99 = max, lambda spans: sorted(spans)[int(len(spans) * 0.99)]
    print(f"\n### Checkpoint of that index while a thread searches it (top 10, a poem line a query; "
          f"median of {rounds} rounds)\n")
    print(table(["checkpoint (s)", "longest search during it (ms)", "p99 during (ms)", "longest outside it (ms)",
                 "p99 outside (ms)", "searches during it", "target"],
                [[f"{statistics.median(checkpoints):.3f}", summary(during, longest), summary(during, p99),
                  summary(outside, longest), summary(outside, p99), f"{statistics.median(map(len, during)):,.0f}",
                  f"≤ 2 s: {verdict(statistics.median(checkpoints), 2.0, at_most=True)}; ≤ 5 ms: "
                  f"{verdict(statistics.median(map(max, during)), 0.005, at_most=True)}"]]))


# --- 7: opening to a first result ----------------------------------------------------------------------

# Ours from a fresh process's first line to its first result; the peers'
# script is bench_index's.
OPEN = """
import sys, time
started = time.perf_counter()
from durevarare_search import Index
first = Index.open(sys.argv[2], readonly=True).search(sys.argv[3], 10)
print(time.perf_counter() - started, len(first))
"""


def open_times(folder, analyzer, words, texts, rounds):
    from durevarare_search import Index
    count = min(OPEN_DOCUMENTS, len(words))
    documents = list(enumerate(words[:count]))
    paths = {"durevarare": os.path.join(folder, "open-ours"), "SQLite FTS5": os.path.join(folder, "open.db"),
             "Xapian": os.path.join(folder, "open-xapian")}
    index = Index.open(paths["durevarare"], analyzer=analyzer)
    index.add_words(documents)
    index.checkpoint()
    index.close()
    fts5 = Fts5(paths["SQLite FTS5"])
    fts5.batch([(doc, " ".join(w)) for doc, w in documents])
    fts5.close()
    xapian = xapian_or_none(paths["Xapian"])
    if xapian:
        xapian.batch(documents)
        xapian.close()
    else:
        del paths["Xapian"]
    os.sync()
    text = texts[0]
    # Words that FTS5 takes bare, as bench_index's script passes them.
    query = [word for word in analyzer.query_words(text) if all(c.isalnum() or ord(c) > 127 for c in word)]

    def ours():
        opened = Index.open(paths["durevarare"], readonly=True, analyzer=analyzer)
        assert opened.search(text, 10)
        opened.close()

    def sqlite():
        db = sqlite3.connect(paths["SQLite FTS5"])
        assert db.execute("SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT 10",
                          (fts5_query(query),)).fetchall()
        db.close()

    def xapian_open():
        import xapian as module
        db = module.Database(paths["Xapian"])
        enquire = module.Enquire(db)
        enquire.set_query(module.Query(module.Query.OP_OR, query))
        assert list(enquire.get_mset(0, 10))
        db.close()

    here = {"durevarare": ours, "SQLite FTS5": sqlite, "Xapian": xapian_open}
    in_process = interleaved({name: here[name] for name in paths}, rounds)

    fresh, order = {name: [] for name in paths}, random.Random(9)
    for _ in range(rounds):
        for name, path in order.sample(list(paths.items()), len(paths)):
            script, argument = (OPEN, text) if name == "durevarare" else (LOAD, " ".join(query))
            result = subprocess.run([sys.executable, "-c", script, name, path, argument], capture_output=True,
                                    text=True, env=child_env(), cwd=folder)
            if result.returncode != 0:
                raise RuntimeError(f"opening the {name} index in a fresh process failed: {result.stderr}")
            fresh[name].append(float(result.stdout.split()[0]))
    sizes = {name: sum(os.path.getsize(os.path.join(root, f)) for root, _, files in os.walk(path) for f in files)
             if os.path.isdir(path) else os.path.getsize(path) for name, path in paths.items()}
    rows = [[name, f"{statistics.median(in_process[name]) * 1e3:.1f}", f"{statistics.median(fresh[name]) * 1e3:.0f}",
             f"{sizes[name] / 1e6:.1f}"] for name in paths]
    print(f"\n### Opening to the first result, {count:,} documents (ms, median of {rounds}; ours read-only after "
          "a checkpoint; in this process with the analyzer loaded, in a fresh one from the first line, its "
          "analyzer built from the index's settings)\n")
    print(table(["system", "in this process", "fresh process", "files (MB)"], rows))


# --- 8: writers killed ------------------------------------------------------------------------------

BATCH_IDS = 100  # ids of batch b are b * BATCH_IDS + 0, 1, ...


def batch_documents(batch, words):
    """The documents of a batch: 1 to 20, their words recurring across batches so that scores tie."""
    size = random.Random(batch).randint(1, 20)
    return [(batch * BATCH_IDS + j, words[(batch * 31 + j) % len(words)]) for j in range(size)]


def zygote_child(words_path):
    """Builds the analyzer once, then forks a writer for each line of standard
    input (folder, first batch, checkpoint every): the parent kills it."""
    from durevarare_search import Analyzer, Index
    warnings.simplefilter("ignore")
    analyzer = Analyzer()
    with open(words_path, encoding="utf-8") as handle:
        words = [line.split() for line in handle.read().split("\n")[:-1]]
    out = sys.stdout.fileno()

    def say(text):
        os.write(out, (text + "\n").encode())

    say("ready")
    while True:
        line = sys.stdin.readline()
        if not line:
            return
        path, start, every = line.split()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                say("opening")
                index = Index.open(path, analyzer=analyzer)
                say("opened")
                batch, ends = int(start), time.monotonic() + 30
                while time.monotonic() < ends:
                    index.add_words(batch_documents(batch, words))
                    index.commit()
                    say(str(batch))
                    batch += 1
                    if batch % int(every) == 0:
                        index.checkpoint()
                code = 0
            except BaseException as error:  # noqa: BLE001  (told to the parent, then gone)
                os.write(2, f"writer: {error!r}\n".encode())
            finally:
                os._exit(code)
        say(f"child {pid}")
        _, status = os.waitpid(pid, 0)
        say(f"done {pid} {status}")


def all_documents(index):
    out, start = [], 0
    core = index._core
    while True:
        page, start = core.documents(start, 4096)
        if not page:
            return out
        out.extend(page)


class KilledRun:
    """What the fork server and one writer said, line by line."""

    def __init__(self):
        self.pid, self.done, self.opening, self.opened, self.printed = None, None, False, False, []

    def take(self, line):
        """False when no line came."""
        if line is None:
            return False
        if line.startswith("child "):
            self.pid = int(line.split()[1])
        elif line.startswith("done "):
            self.done = line
        elif line in ("opening", "opened"):
            setattr(self, line, True)
        else:
            self.printed.append(int(line))
        return True


def kills(folder, analyzer, words, texts, count, every=25, seed=13, per_folder=10):
    from durevarare_search import Index
    words = words[:2000]
    words_path = os.path.join(folder, "kill-words")
    with open(words_path, "w", encoding="utf-8") as handle:
        handle.writelines(" ".join(document) + "\n" for document in words)
    rng = random.Random(seed)
    queries = texts[:4] + [" ".join(words[rng.randrange(len(words))][:3]) for _ in range(4)]
    zygote = spawn(folder, "--zygote", words_path)
    lines = Lines(zygote.stdout)
    counts = {"lost": 0, "failed opens": 0, "half batches": 0, "uncommitted beyond": 0, "reader differs": 0,
              "search differences": 0, "writer errors": 0, "torn tails cut": 0, "killed while opening": 0}
    batches, committed, started = 0, set(), time.perf_counter()
    try:
        lines.expect("ready", 60)
        for kill in range(count):
            # A new folder now and then, so that checking stays quick.
            if kill % per_folder == 0:
                path = os.path.join(folder, f"killed-{kill}")
                Index.open(path, analyzer=analyzer).close()
                batches += len(committed)
                committed, next_batch = set(), 0
            zygote.stdin.write(f"{path} {next_batch} {every}\n".encode())
            run = KilledRun()
            # The fork server names the writer and the writer starts: either may speak first.
            while run.pid is None or not run.opening:
                if not run.take(lines.next(time.monotonic() + 10)):
                    raise RuntimeError(f"the writer did not start: {child_errors(folder)}")
            moment = time.monotonic() + rng.uniform(0, 0.35)
            while run.done is None and run.take(lines.next(moment)):
                pass
            if run.done is None:
                os.kill(run.pid, signal.SIGKILL)
                while run.done is None:
                    if not run.take(lines.next(time.monotonic() + 30)):
                        raise RuntimeError("the writer's fork server stopped answering")
            else:
                counts["writer errors"] += 1
            opened, printed = run.opened, run.printed
            counts["killed while opening"] += not opened
            committed.update(printed)
            in_flight = printed[-1] + 1 if printed else next_batch
            present = check_killed(path, analyzer, words, committed, in_flight, queries, counts)
            if present is None:
                break
            if present:
                committed.add(in_flight)  # the next writer opened it: it stays from now on
            next_batch = in_flight + 1 if present else in_flight
    finally:
        zygote.stdin.close()
        zygote.kill()
        zygote.wait()
    seconds = time.perf_counter() - started
    batches += len(committed)
    errors = child_errors(folder)
    print(f"\n### Writers killed (SIGKILL) at {count} random moments of a stream of batches (1 to 20 documents "
          f"each, a commit after each, a checkpoint every {every} batches; a new folder every {per_folder} kills), "
          f"{seconds:.0f} s\n")
    print(table(["kills", "batches committed", "lost committed documents", "failed opens", "half batches",
                 "uncommitted batches beyond the one in flight", "readers differing from the writer",
                 "searches differing from a fresh index", "killed while opening", "torn tails cut"],
                [[str(count), f"{batches:,}", *(str(counts[key]) for key in
                  ("lost", "failed opens", "half batches", "uncommitted beyond", "reader differs",
                   "search differences", "killed while opening", "torn tails cut"))]]))
    if counts["writer errors"] or "writer:" in errors:
        print(f"\n(writers that stopped by themselves: {counts['writer errors']}; {errors.strip()[-600:]})")


def check_killed(path, analyzer, words, committed, in_flight, queries, counts):
    """Opens the killed writer's folder as a reader and as the next writer
    and counts what differs from the batches committed; whether the batch in
    flight is there (None when the index cannot be opened)."""
    from durevarare_search import Index
    reader_documents = None
    try:
        reader = Index.open(path, readonly=True, analyzer=analyzer)
        reader_documents = all_documents(reader)
        reader.close()
    except Exception as error:  # noqa: BLE001  (counted, shown)
        counts["failed opens"] += 1
        print(f"(a reader could not open the killed writer's index: {error!r})")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            writer = Index.open(path, analyzer=analyzer)
    except Exception as error:  # noqa: BLE001
        counts["failed opens"] += 1
        print(f"(the next writer could not open the killed writer's index: {error!r}); stopping)")
        return None
    try:
        counts["torn tails cut"] += writer.statistics()["torn_bytes"] > 0
        documents = all_documents(writer)
        if reader_documents is not None and reader_documents != documents:
            counts["reader differs"] += 1
        # Each document's words come back as a bag, in an order of the index's own.
        held = {doc: sorted(document) for doc, document in documents}
        batches = {}
        for doc in held:
            batches.setdefault(doc // BATCH_IDS, []).append(doc)
        for batch in committed:
            expected = batch_documents(batch, words)
            counts["lost"] += sum(held.get(doc) != sorted(document) for doc, document in expected)
        flight = batch_documents(in_flight, words)
        there = sum(held.get(doc) == sorted(document) for doc, document in flight)
        if there not in (0, len(flight)) or len(batches.get(in_flight, [])) != there:
            counts["half batches"] += 1
        counts["uncommitted beyond"] += sum(batch not in committed and batch != in_flight for batch in batches)
        kept = sorted(committed | ({in_flight} if there == len(flight) else set()))
        fresh = Index(analyzer, idf=writer.idf, b=writer.b, k1=writer.k1)
        fresh.add_words([document for batch in kept for document in batch_documents(batch, words)])
        recent = [" ".join(document[:4]) for _, document in batch_documents(kept[-1], words)[:2]] if kept else []
        counts["search differences"] += sum(writer.search(query, 10) != fresh.search(query, 10)
                                            for query in queries + recent)
        return there == len(flight)
    finally:
        writer.close()


# --- the run -----------------------------------------------------------------------------------------

def run(rounds=5, kill_count=50):
    from durevarare_search import Analyzer
    began = time.perf_counter()
    name, words, texts = load_corpus()
    analyzer = Analyzer()
    print(f"(documents from {name}; temporary folders in {tempfile.gettempdir()})\n")
    folder = tempfile.mkdtemp(prefix="bench-durable-")
    try:
        for step in (lambda f: single_writes(f, analyzer, words, rounds + 2, 50),
                     lambda f: threaded_writes(f, analyzer, words, rounds),
                     lambda f: batch_writes(f, analyzer, words, rounds),
                     lambda f: reader_delay(f, analyzer, words),
                     lambda f: recovery(f, analyzer, words, texts, 3),
                     lambda f: open_times(f, analyzer, words, texts, rounds),
                     lambda f: kills(f, analyzer, words, texts, kill_count)):
            part = tempfile.mkdtemp(dir=folder)
            step(part)
            shutil.rmtree(part)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"\n(the durable section took {time.perf_counter() - began:.0f} s)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--reader":
        reader_child(sys.argv[2], int(sys.argv[3]))
    elif len(sys.argv) > 1 and sys.argv[1] == "--zygote":
        zygote_child(sys.argv[2])
    else:
        parser = argparse.ArgumentParser()
        parser.add_argument("--rounds", type=int, default=5)
        parser.add_argument("--kills", type=int, default=50)
        arguments = parser.parse_args()
        run(arguments.rounds, arguments.kills)
