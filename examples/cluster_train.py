#!/usr/bin/env python3
"""Train one BM25 model on a Dask cluster: each task cuts one slice of the
corpus with the search package's analyzer and counts its words; the counts
are split by a stable hash of the word into key ranges, one tree reduction
per range adds them up, and each range's sum becomes its part of the model
document, written by the module's own writer. The parts, loaded into one
BM25, are the model, which `--out` saves. `--index` also cuts every document
on the cluster and builds a saved search index with the same statistics.

    python3 examples/cluster_train.py                        # LocalCluster of 2 workers, the fortunes
    python3 examples/cluster_train.py --large --workers 1,2  # the poems, on 1 and then 2 workers
    python3 examples/cluster_train.py --scheduler tcp://host:8786 --large --out model.json --check
    python3 examples/cluster_train.py --out model.json --index corpus.index
    python3 examples/cluster_train.py --workers 0            # no cluster: one process

Each worker reads the corpus from storage that every worker sees (the same
path everywhere) and takes its slice: no text travels through the scheduler.
A worker process builds its analyzer once and every task there reuses it. A
worker that dies mid-task is restarted by its nanny, and its tasks run again.
On a LocalCluster the job also trains the model in this process and checks
that both are the same byte for byte; against a scheduler it does so only
when asked (`--check`).
"""
import argparse
import collections
import ctypes
import os
import pickle
import signal
import sys
import tempfile
import time
import zlib

import durevarare

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from search import (DEFAULT_CORPUS, DEFAULT_DICT_DIR, DICT_DIR_HELP, POETRY_DIR, make_analyzer,  # noqa: E402
                    peak_rss_megabytes, positive, read_fortunes, read_paragraphs, read_poems)
from durevarare_search import Index, _native  # noqa: E402

B, K1 = 0.35, 0.7  # the search index's defaults, so that an index of the corpus has this model

# Per process, and so per worker: the corpus read once, the analyzer built once.
_corpora = {}
_analyzers = {}


def corpus(spec):
    """The documents of a corpus spec: ("fortunes" | "paragraphs" | "poems", path, limit)."""
    if spec not in _corpora:
        kind, path, limit = spec
        texts = {"fortunes": read_fortunes, "paragraphs": read_paragraphs, "poems": read_poems}[kind](path)
        _corpora[spec] = texts[:limit] if limit else texts
    return _corpora[spec]


def analyzer_for(dict_dir):
    if dict_dir not in _analyzers:
        _analyzers[dict_dir] = make_analyzer(dict_dir)
    return _analyzers[dict_dir]


def analyzers_built():
    """How many analyzers this process built (run on each worker)."""
    return len(_analyzers)


def documents_words(texts, analyzer, halfway=None):
    """Each text's words, as the index takes them. `halfway` runs once half the texts are done."""
    half = len(texts) // 2
    words = analyzer.document_words_many(texts[:half], threads=1)
    if halfway:
        halfway()
    return words + analyzer.document_words_many(texts[half:], threads=1)


def counts_of(documents):
    """What a model learns from documents: their number (those with words), their
    words in all, and each word's occurrences."""
    counts = collections.Counter()
    for words in documents:
        counts.update(words)
    with_words = [words for words in documents if words]
    return {"documents": len(with_words), "words": sum(map(len, with_words)), "frequency": counts}


def die_once(marker):
    """Ends this process with SIGKILL, as a crash or the OOM killer would, unless the
    marker file says it already did (then the task's second try goes through)."""
    try:
        descriptor = os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
    except FileExistsError:
        return
    os.write(descriptor, repr(time.time()).encode())
    os.close(descriptor)
    os.kill(os.getpid(), signal.SIGKILL)


def keep_freed_memory():
    """Dask's nanny starts each worker with MALLOC_TRIM_THRESHOLD_=65536, which
    turns off glibc's adaptive thresholds: memory is handed back to the system at
    nearly every free and faulted in again, and reading and cutting the poems ran
    3 to 4 times slower in a worker than in a plain process. These are the values
    glibc's own adaptation settles at for large heaps (mmap above 32 MiB, trim
    above twice that)."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not glibc: nothing to undo
        return
    mallopt(-3, 32 << 20)  # M_MMAP_THRESHOLD
    mallopt(-1, 64 << 20)  # M_TRIM_THRESHOLD


def analyse_slice(spec, start, stop, dict_dir, kill_marker=None):
    """Documents [start, stop) of the corpus, cut: a list of word lists."""
    keep_freed_memory()
    texts = corpus(spec)[start:stop]
    return documents_words(texts, analyzer_for(dict_dir), (lambda: die_once(kill_marker)) if kill_marker else None)


def count_slice(spec, start, stop, dict_dir, kill_marker=None):
    """Map: the counts of documents [start, stop)."""
    began = time.time()
    counts = counts_of(analyse_slice(spec, start, stop, dict_dir, kill_marker))
    counts.update(began=began, ended=time.time())
    return counts


def key_range(token, ranges):
    """The reduce range of a word: a hash that is the same in every process (str's
    own hash is salted per process)."""
    return zlib.crc32(token.encode("utf-8", "surrogatepass")) % ranges


def to_shards(counts, ranges):
    """A map task's counts split into `ranges` partials. The document and word
    totals go with the first only, so that they are added up once."""
    shards = [{"frequency": {}, "documents": 0, "words": 0, "bytes": 0, "ended": 0.0} for _ in range(ranges)]
    shards[0].update(documents=counts["documents"], words=counts["words"], ended=counts["ended"])
    if ranges == 1:
        shards[0]["frequency"] = dict(counts["frequency"])
    else:
        frequencies = [shard["frequency"] for shard in shards]
        for token, count in counts["frequency"].items():
            frequencies[key_range(token, ranges)][token] = count
    # What the reduce receives, as Dask sends it: pickled (less where a shard stays on its worker).
    shards[0]["bytes"] = sum(len(pickle.dumps(shard["frequency"], protocol=5)) for shard in shards)
    return tuple(shards)


def combine(partials):
    """Reduce: adds up counts; any grouping and order gives the same sums."""
    partials = list(partials)
    merged = dict(partials[0])
    frequency = dict(merged["frequency"])
    for other in partials[1:]:
        get = frequency.get
        for token, count in other["frequency"].items():
            frequency[token] = get(token, 0) + count
        for key in ("documents", "words", "bytes"):
            merged[key] += other[key]
        merged["ended"] = max(merged["ended"], other["ended"])
    merged["frequency"] = frequency
    return merged


def totals(first_range):
    """The whole corpus's document and word totals (the first range carries them)."""
    return {key: first_range[key] for key in ("documents", "words", "bytes", "ended")}


def model_part(merged, whole):
    """A range's words as a model document (the module's writer), with the whole
    corpus's totals, so that loading every part into one BM25 gives the model."""
    frequencies = sorted(merged["frequency"].items())
    return _native.model_document(B, K1, whole["documents"], whole["words"], frequencies)


def model_of(parts):
    """One BM25 of the parts: each load adds its words; the totals are the same in all."""
    model = durevarare.BM25(B, K1)
    for part in parts:
        model.load(part)
    return model


def slices(count, partitions):
    step = -(-count // partitions)
    return [(start, min(start + step, count)) for start in range(0, count, step)]


def cluster_model(client, spec, count, dict_dir, partitions, split_every, kill_marker=None, key_ranges=1):
    """Runs the job on a connected client; returns the merged model and its figures."""
    import dask
    import cluster_train as job  # by module name, so that workers import it rather than unpickle copies

    started = time.time()
    shards = []
    for index, (start, stop) in enumerate(slices(count, partitions)):
        counts = dask.delayed(job.count_slice)(spec, start, stop, dict_dir,
                                               kill_marker if index == partitions // 2 else None)
        shards.append(dask.delayed(job.to_shards)(counts, key_ranges))
    roots = []
    for key in range(key_ranges):
        level = [shard[key] for shard in shards]
        while len(level) > 1:  # a tree of at most split_every partials a node
            level = [dask.delayed(job.combine)(level[i:i + split_every]) for i in range(0, len(level), split_every)]
        roots.append(level[0])
    whole = dask.delayed(job.totals)(roots[0])
    parts = [dask.delayed(job.model_part)(root, whole) for root in roots]
    *texts, figures = dask.compute(*parts, whole, scheduler=client)
    reduced = time.time()
    rss = client.run(peak_rss_megabytes)  # each worker process's peak since it started
    model = model_of(texts)
    ended = time.time()
    return model, {"wall": ended - started, "map": figures["ended"] - started, "reduce": ended - figures["ended"],
                   "load": ended - reduced, "bytes": figures["bytes"], "rss": rss,
                   "built": client.run(job.analyzers_built), "tasks": len(shards), "started": started, "ended": ended}


def cluster_index(client, spec, count, dict_dir, partitions, path):
    """Cuts every document on the cluster and adds the words, in corpus order, to
    an Index (numbered from 0), which it saves at `path`."""
    import dask
    import cluster_train as job

    index = Index(make_analyzer(dict_dir))
    pieces = [dask.delayed(job.analyse_slice)(spec, start, stop, dict_dir) for start, stop in slices(count, partitions)]
    for (start, _), words in zip(slices(count, partitions), dask.compute(*pieces, scheduler=client)):
        index.add_words(enumerate(words, start))
    index.save(path)
    return index


def single_model(spec, dict_dir):
    """The module's own training on the whole corpus, in this process."""
    model = durevarare.BM25(B, K1)
    texts, analyzer = corpus(spec), analyzer_for(dict_dir)
    # In slices, so that only one slice's word lists are alive at a time.
    for start in range(0, len(texts), 20_000):
        for words in analyzer.document_words_many(texts[start:start + 20_000], threads=1):
            if words:
                model.train(words)
    return model


def same_model(a, b):
    """Whether two models dump to the same bytes."""
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, name) for name in ("a.json", "b.json")]
        for model, path in zip((a, b), paths):
            model.dump(path)
        return open(paths[0], "rb").read() == open(paths[1], "rb").read()


def at_least_two(text):
    value = positive(text)
    if value < 2:
        raise argparse.ArgumentTypeError("a tree node merges 2 partials or more")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="Environment: DUREVARARE_DICT_DIR names the dictionary folder.")
    parser.add_argument("--workers", default="2",
                        help="worker processes of a LocalCluster; a list (1,2) runs one cluster after another; "
                             "0 trains in this process only (default: 2)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786) instead "
                                            "of a LocalCluster")
    parser.add_argument("--partitions", type=positive, help="corpus slices, one task each (default: 4 per worker)")
    parser.add_argument("--split-every", type=at_least_two, default=8,
                        help="partials merged per reduce task, 2 or more (default 8)")
    parser.add_argument("--key-ranges", type=positive, help="reduce trees, each summing the words of one hash range "
                                                       "(default: one per worker)")
    corpus_group = parser.add_mutually_exclusive_group()
    corpus_group.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph "
                                               "(default: the fortunes of Debian's fortunes-zh)")
    corpus_group.add_argument("--large", action="store_true",
                              help="the 397,491 poems of the chinese-poetry corpus (scripts/setup.sh demo-large)")
    parser.add_argument("--limit", type=positive, help="use only the first N documents")
    parser.add_argument("--out", help="write the merged model here (a model file for BM25.load)")
    parser.add_argument("--index", help="also cut every document on the cluster and save a search index here "
                                        "(durevarare_search.Index.load), whose statistics the model's are")
    parser.add_argument("--check", action="store_true",
                        help="train in this process too and compare byte for byte (always done on a LocalCluster)")
    parser.add_argument("--kill-worker", action="store_true",
                        help="the middle task kills its worker process (SIGKILL) halfway through, once")
    parser.add_argument("--dict-dir", default=DEFAULT_DICT_DIR, help=DICT_DIR_HELP)
    args = parser.parse_args(argv)

    if args.large:
        if not os.path.isdir(POETRY_DIR):
            raise SystemExit(f"{POETRY_DIR} is missing: run scripts/setup.sh demo-large")
        spec = ("poems", os.path.abspath(POETRY_DIR), args.limit)
    elif args.corpus:
        spec = ("paragraphs", os.path.abspath(args.corpus), args.limit)
    else:
        spec = ("fortunes", DEFAULT_CORPUS, args.limit)
    dict_dir = os.path.abspath(args.dict_dir)
    workers = [int(n) for n in args.workers.split(",")]
    count = len(corpus(spec))
    if count == 0:
        raise SystemExit(f"the corpus {spec[1]} has no documents: nothing to train")
    check = args.check or not args.scheduler

    expected = None
    if check or not any(workers) and not args.scheduler:
        started = time.time()
        expected = single_model(spec, dict_dir)
        print(f"documents: {count}; one process: {time.time() - started:.2f} s (read, cut, count), "
              f"peak RSS {peak_rss_megabytes():,.0f} MB")
    else:
        print(f"documents: {count}")
    if not any(workers) and not args.scheduler:
        if args.out:
            expected.dump(args.out)
        if args.index:
            index = Index(analyzer_for(dict_dir))
            index.add_many(enumerate(corpus(spec)))
            index.save(args.index)

    same_everywhere = True
    for n in [n for n in workers if n > 0] if not args.scheduler else [0]:
        from distributed import Client, LocalCluster
        began = time.time()
        cluster = None if args.scheduler else LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                                           dashboard_address=None)
        with Client(args.scheduler or cluster) as client:
            if args.scheduler:
                for name in ("search.py", "cluster_train.py"):
                    client.upload_file(os.path.join(os.path.dirname(os.path.abspath(__file__)), name))
            n = len(client.scheduler_info()["workers"])
            up = time.time() - began
            partitions = args.partitions or 4 * n
            if args.kill_worker and partitions < n:
                raise SystemExit(f"--kill-worker needs a task on every worker: {partitions} partitions for {n} "
                                 "workers (raise --partitions)")
            if count < partitions:
                raise SystemExit(f"{partitions} partitions for {count} documents: use --partitions {count} or fewer")
            with tempfile.TemporaryDirectory() as folder:
                marker = os.path.join(folder, "killed") if args.kill_worker else None
                ranges = args.key_ranges or n
                model, figures = cluster_model(client, spec, count, dict_dir, partitions, args.split_every, marker,
                                               ranges)
                rss = ", ".join(f"{mb:,.0f}" for mb in sorted(figures["rss"].values()))
                print(f"\ncluster of {n} worker(s) ({'at ' + args.scheduler if args.scheduler else 'LocalCluster'}, "
                      f"up in {up:.2f} s), {partitions} tasks, {ranges} key range(s), split_every {args.split_every}")
                print(f"  wall {figures['wall']:.2f} s: map {figures['map']:.2f} s, reduce {figures['reduce']:.2f} s "
                      f"(of which load {figures['load']:.2f} s)")
                print(f"  moved to the reduce: {figures['bytes'] / 1e6:.2f} MB of pickled counts; peak RSS per worker "
                      f"process: {rss} MB; analyzers built: {sum(figures['built'].values())}, one in each of the "
                      f"{len(figures['built'])} worker processes alive at the end")
                if marker:
                    if os.path.exists(marker):
                        killed = float(open(marker).read())
                        print(f"  a worker was killed {killed - figures['started']:.2f} s into the job; its nanny "
                              f"restarted it, its tasks ran again, and the job ended "
                              f"{figures['ended'] - killed:.2f} s after the kill")
                    else:
                        print("  no worker was killed (the middle task never ran its second half)")
                if expected is not None:
                    same = same_model(model, expected)
                    same_everywhere &= same
                    print("  merged model equals the one-process model byte for byte: " + ("yes" if same else "NO"))
            if args.out:
                model.dump(args.out)
                print(f"  model written to {args.out}")
            if args.index:
                started = time.time()
                index = cluster_index(client, spec, count, dict_dir, partitions, args.index)
                same = same_model(index.model(), model)
                same_everywhere &= same
                print(f"  index of {len(index)} documents saved to {args.index} in {time.time() - started:.2f} s; "
                      "its statistics equal the model's: " + ("yes" if same else "NO"))
        if cluster is not None:
            cluster.close()
    return 0 if same_everywhere else 1


if __name__ == "__main__":
    sys.exit(main())
