#!/usr/bin/env python3
"""Train one BM25 model on a Dask cluster: each task cuts and trains one
slice of the corpus and returns its model's text; its counts are split by a
stable hash of the token into key ranges, and one tree reduction per range
adds up token counts (the first also document counts and word totals); the
ranges' members are joined into one document, loaded once into a fresh BM25,
which must equal, byte for byte, the model that one process trains on the
whole corpus.

    python3 examples/cluster_train.py                        # LocalCluster of 2 workers, the fortunes
    python3 examples/cluster_train.py --large --workers 1,2  # the poems, on 1 and then 2 workers
    python3 examples/cluster_train.py --scheduler tcp://host:8786 --large --key-ranges 16
    python3 examples/cluster_train.py --workers 0            # no cluster: one process

Each worker reads the corpus from storage that every worker sees (the same
path everywhere) and takes its slice: no text travels through the scheduler.
A worker process builds its Jieba once and every task there reuses it. A
worker that dies mid-task is restarted by its nanny, and its tasks run again.
"""
import argparse
import ctypes
import json
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
from durevarare_search._index import _model_text as model_file_text  # noqa: E402  (a model's file, as bytes)

# The seven characters that model files write as a backslash and a letter.
_ESCAPES = str.maketrans({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"',
                          "\\": "\\\\"})

# Per process, and so per worker: the corpus read once, the Jieba built once.
_corpora = {}
_tokenizers = {}


def corpus(spec):
    """The documents of a corpus spec: ("fortunes" | "paragraphs" | "poems", path, limit)."""
    if spec not in _corpora:
        kind, path, limit = spec
        texts = {"fortunes": read_fortunes, "paragraphs": read_paragraphs, "poems": read_poems}[kind](path)
        _corpora[spec] = texts[:limit] if limit else texts
    return _corpora[spec]


def tokenizer_for(dict_dir):
    """The search package's analyzer, with a cache of the words of each raw token."""
    if dict_dir not in _tokenizers:
        _tokenizers[dict_dir] = (make_analyzer(dict_dir), {})
    return _tokenizers[dict_dir]


def train(texts, tokenizer, halfway=None):
    """Cuts (a batch of texts per call) with the analyzer's rules and trains; returns
    the model and the number of words trained. `halfway` runs once half the texts are in."""
    analyzer, memo = tokenizer
    model = durevarare.BM25()
    total = 0
    for done, tokens in enumerate(analyzer.document_tokens(texts, threads=1)):
        if halfway and done == len(texts) // 2:
            halfway()
        words = []
        for token in tokens:
            found = memo.get(token)
            if found is None:
                found = memo[token] = analyzer.words_of_token(token)
            words.extend(found)
        if words:
            model.train(words)
            total += len(words)
    return model, total


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


def train_slice(spec, start, stop, dict_dir, kill_marker=None):
    """Map: cut and train documents [start, stop) of the corpus."""
    began = time.time()
    keep_freed_memory()
    loaded = dict_dir not in _tokenizers
    tokenizer = tokenizer_for(dict_dir)
    texts = corpus(spec)[start:stop]
    model, words = train(texts, tokenizer, (lambda: die_once(kill_marker)) if kill_marker else None)
    return {"text": model_file_text(model), "words": words, "began": began, "ended": time.time(),
            "loaded": loaded}


def key_range(token, ranges):
    """The reduce range of a token: a hash that is the same in every process
    (str's own hash is salted per process)."""
    return zlib.crc32(token.encode("utf-8", "surrogatepass")) % ranges


def to_shards(result, ranges):
    """A map task's model text as counts, split into `ranges` partials. The
    document count, word total and figures go with the first only, so that
    they are added up once."""
    # strict=False: token keys may hold raw control characters.
    document = json.loads(result["text"], strict=False)
    shards = [{"frequency": {}, "documents": 0, "words": 0, "text_bytes": 0, "bytes": 0, "ended": 0.0, "loads": 0}
              for _ in range(ranges)]
    shards[0].update(documents=document["_doc_count"], words=result["words"], text_bytes=len(result["text"]),
                     ended=result["ended"], loads=int(result["loaded"]), b=document["_b"], k1=document["_k1"])
    if ranges == 1:
        shards[0]["frequency"] = document["_doc_token_frequency"]
    else:
        frequencies = [shard["frequency"] for shard in shards]
        for token, count in document["_doc_token_frequency"].items():
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
        for key in ("documents", "words", "text_bytes", "bytes", "loads"):
            merged[key] += other[key]
        merged["ended"] = max(merged["ended"], other["ended"])
        if "b" in other:
            merged.setdefault("b", other["b"])
            merged.setdefault("k1", other["k1"])
    merged["frequency"] = frequency
    return merged


def members_text(merged):
    """A range's counts as the members of a model document's token object, written
    where the range was summed; the figures travel on without the counts."""
    text = ",\n".join(f'    "{token.translate(_ESCAPES)}" : {count}' for token, count in merged["frequency"].items())
    return {**merged, "frequency": None, "members": text}


def model_text(ranges):
    """The summed ranges as one model document for `load` (tokens in any order)."""
    merged = combine([{**part, "frequency": {}} for part in ranges])
    members = ",\n".join(part["members"] for part in ranges if part["members"])
    documents = merged["documents"]
    average = merged["words"] / documents if documents else 0.0
    return ("{\n"
            f'  "_b" : {merged.get("b", 0.75):f},\n'
            f'  "_doc_count" : {documents},\n'
            f'  "_doc_length_average" : {average:f},\n'
            f'  "_doc_token_frequency" : {{\n{members}\n  }},\n'
            f'  "_k1" : {merged.get("k1", 1.2):f}\n'
            "}"), merged


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
        result = dask.delayed(job.train_slice)(spec, start, stop, dict_dir,
                                               kill_marker if index == partitions // 2 else None)
        shards.append(dask.delayed(job.to_shards)(result, key_ranges))
    ranges = []
    for key in range(key_ranges):
        level = [shard[key] for shard in shards]
        while len(level) > 1:  # a tree of at most split_every partials a node
            level = [dask.delayed(job.combine)(level[i:i + split_every]) for i in range(0, len(level), split_every)]
        ranges.append(dask.delayed(job.members_text)(level[0]))
    text, merged = model_text(dask.compute(*ranges, scheduler=client))
    reduced = time.time()
    # Each worker process's peak since it started (a worker killed on the way took its own with it).
    rss = client.run(peak_rss_megabytes)
    model = durevarare.BM25()
    model.load(text)
    ended = time.time()
    figures = {"wall": ended - started, "map": merged["ended"] - started, "reduce": ended - merged["ended"],
               "load": ended - reduced, "bytes": merged["bytes"], "text_bytes": merged["text_bytes"], "rss": rss,
               "loads": merged["loads"], "tasks": len(shards), "started": started, "ended": ended}
    return model, figures


def single_model(spec, dict_dir):
    return train(corpus(spec), tokenizer_for(dict_dir))[0]


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
    parser.add_argument("--key-ranges", type=positive, help="reduce trees, each summing the tokens of one hash range "
                                                       "(default: one per worker)")
    corpus_group = parser.add_mutually_exclusive_group()
    corpus_group.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph "
                                               "(default: the fortunes of Debian's fortunes-zh)")
    corpus_group.add_argument("--large", action="store_true",
                              help="the 397,491 poems of the chinese-poetry corpus (scripts/setup.sh demo-large)")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
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

    started = time.time()
    whole = single_model(spec, dict_dir)
    single_seconds = time.time() - started
    expected = model_file_text(whole)
    count = len(corpus(spec))
    print(f"documents: {count}; one process: {single_seconds:.2f} s (read, cut, train), "
          f"peak RSS {peak_rss_megabytes():,.0f} MB")

    same_everywhere = True
    for n in [n for n in workers if n > 0 or args.scheduler]:
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
            with tempfile.TemporaryDirectory() as folder:
                marker = os.path.join(folder, "killed") if args.kill_worker else None
                ranges = args.key_ranges or n
                model, figures = cluster_model(client, spec, count, dict_dir, partitions, args.split_every, marker,
                                               ranges)
                same = model_file_text(model) == expected
                same_everywhere &= same
                rss = ", ".join(f"{mb:,.0f}" for mb in sorted(figures["rss"].values()))
                print(f"\ncluster of {n} worker(s) ({'at ' + args.scheduler if args.scheduler else 'LocalCluster'}, "
                      f"up in {up:.2f} s), {partitions} tasks, {ranges} key range(s), split_every {args.split_every}")
                print(f"  wall {figures['wall']:.2f} s: map {figures['map']:.2f} s, reduce {figures['reduce']:.2f} s "
                      f"(of which load {figures['load']:.2f} s); speed-up over one process "
                      f"{single_seconds / figures['wall']:.2f}x")
                print(f"  moved to the reduce: {figures['bytes'] / 1e6:.2f} MB of pickled counts (from "
                      f"{figures['text_bytes'] / 1e6:.2f} MB of model text); peak RSS per worker process: {rss} MB; "
                      f"dictionaries loaded {figures['loads']} time(s)")
                if marker:
                    if os.path.exists(marker):
                        killed = float(open(marker).read())
                        print(f"  a worker was killed {killed - figures['started']:.2f} s into the job; its nanny "
                              f"restarted it, its tasks ran again, and the job ended "
                              f"{figures['ended'] - killed:.2f} s after the kill")
                    else:
                        print("  no worker was killed (the middle task never ran its second half)")
                print("  merged model equals the one-process model byte for byte: " + ("yes" if same else "NO"))
        if cluster is not None:
            cluster.close()
    return 0 if same_everywhere else 1


if __name__ == "__main__":
    sys.exit(main())
