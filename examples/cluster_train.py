#!/usr/bin/env python3
"""Train one BM25 model on a Dask cluster: each task cuts and trains one
slice of the corpus and returns its model's text; a tree reduction adds up
token counts, document counts and word totals; the merged document is loaded
once into a fresh BM25, which must equal, byte for byte, the model that one
process trains on the whole corpus.

    python3 examples/cluster_train.py                        # LocalCluster of 2 workers, the fortunes
    python3 examples/cluster_train.py --large --workers 1,2  # the poems, on 1 and then 2 workers
    python3 examples/cluster_train.py --scheduler tcp://host:8786 --large
    python3 examples/cluster_train.py --workers 0            # no cluster: one process

Each worker reads the corpus from storage that every worker sees (the same
path everywhere) and takes its slice: no text travels through the scheduler.
A worker process builds its Jieba once and every task there reuses it. A
worker that dies mid-task is restarted by its nanny, and its tasks run again.
"""
import argparse
import json
import os
import resource
import signal
import sys
import tempfile
import time

import durevarare

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from search import (DEFAULT_CORPUS, DEFAULT_DICT_DIR, DICT_DIR_HELP, POETRY_DIR, make_analyzer,  # noqa: E402
                    read_fortunes, read_paragraphs, read_poems)

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


def model_file_text(model):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        model.dump(path)
        with open(path, encoding="utf-8") as handle:
            return handle.read()


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


def train_slice(spec, start, stop, dict_dir, kill_marker=None):
    """Map: cut and train documents [start, stop) of the corpus."""
    began = time.time()
    loaded = dict_dir not in _tokenizers
    tokenizer = tokenizer_for(dict_dir)
    texts = corpus(spec)[start:stop]
    model, words = train(texts, tokenizer, (lambda: die_once(kill_marker)) if kill_marker else None)
    return {"text": model_file_text(model), "words": words, "began": began, "ended": time.time(),
            "worker": os.getpid(), "loaded": loaded, "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def to_partial(results):
    """A shard's model text as counts: the reduce's unit."""
    partial = {"frequency": {}, "documents": 0, "words": 0, "bytes": 0, "ended": 0.0, "workers": {}, "loads": 0}
    for result in results:
        # strict=False: token keys may hold raw control characters.
        document = json.loads(result["text"], strict=False)
        shard = {"frequency": document["_doc_token_frequency"], "documents": document["_doc_count"],
                 "words": result["words"], "bytes": len(result["text"].encode()), "ended": result["ended"],
                 "workers": {result["worker"]: result["rss_mb"]}, "loads": int(result["loaded"]),
                 "b": document["_b"], "k1": document["_k1"]}
        partial = combine([partial, shard])
    return partial


def combine(partials):
    """Reduce: adds up counts; any grouping and order gives the same sums."""
    partials = list(partials)
    merged = dict(partials[0])
    frequency = dict(merged["frequency"])
    for other in partials[1:]:
        get = frequency.get
        for token, count in other["frequency"].items():
            frequency[token] = get(token, 0) + count
        for key in ("documents", "words", "bytes", "loads"):
            merged[key] += other[key]
        merged["ended"] = max(merged["ended"], other["ended"])
        merged["workers"] = {**merged["workers"], **{w: max(rss, merged["workers"].get(w, 0.0))
                                                    for w, rss in other["workers"].items()}}
        merged.setdefault("b", other.get("b"))
        merged.setdefault("k1", other.get("k1"))
    merged["frequency"] = frequency
    return merged


def model_text(merged):
    """The merged counts as a model document for `load` (tokens in any order)."""
    members = ",\n".join(f'    "{token.translate(_ESCAPES)}" : {count}' for token, count in merged["frequency"].items())
    documents = merged["documents"]
    average = merged["words"] / documents if documents else 0.0
    return ("{\n"
            f'  "_b" : {merged.get("b", 0.75):f},\n'
            f'  "_doc_count" : {documents},\n'
            f'  "_doc_length_average" : {average:f},\n'
            f'  "_doc_token_frequency" : {{\n{members}\n  }},\n'
            f'  "_k1" : {merged.get("k1", 1.2):f}\n'
            "}")


def slices(count, partitions):
    step = -(-count // partitions)
    return [(start, min(start + step, count)) for start in range(0, count, step)]


def cluster_model(client, spec, count, dict_dir, partitions, split_every, kill_marker=None):
    """Runs the job on a connected client; returns the merged model and its figures."""
    import dask.bag as db
    import cluster_train as job  # by module name, so that workers import it rather than unpickle copies

    started = time.time()
    tasks = [(spec, start, stop, dict_dir, kill_marker if index == partitions // 2 else None)
             for index, (start, stop) in enumerate(slices(count, partitions))]
    bag = db.from_sequence(tasks, npartitions=len(tasks)).starmap(job.train_slice)
    merged = bag.reduction(job.to_partial, job.combine, split_every=split_every).compute()
    reduced = time.time()
    model = durevarare.BM25()
    model.load(model_text(merged))
    ended = time.time()
    figures = {"wall": ended - started, "map": merged["ended"] - started, "reduce": ended - merged["ended"],
               "load": ended - reduced, "bytes": merged["bytes"], "rss": merged["workers"], "loads": merged["loads"],
               "tasks": len(tasks), "started": started, "ended": ended}
    return model, figures


def single_model(spec, dict_dir):
    return train(corpus(spec), tokenizer_for(dict_dir))[0]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="Environment: DUREVARARE_DICT_DIR names the dictionary folder.")
    parser.add_argument("--workers", default="2",
                        help="worker processes of a LocalCluster; a list (1,2) runs one cluster after another; "
                             "0 trains in this process only (default: 2)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786) instead "
                                            "of a LocalCluster")
    parser.add_argument("--partitions", type=int, help="corpus slices, one task each (default: 4 per worker)")
    parser.add_argument("--split-every", type=int, default=8, help="partials merged per reduce task (default 8)")
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
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"documents: {count}; one process: {single_seconds:.2f} s (read, cut, train), peak RSS {rss:,.0f} MB")

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
                model, figures = cluster_model(client, spec, count, dict_dir, partitions, args.split_every, marker)
                same = model_file_text(model) == expected
                same_everywhere &= same
                rss = ", ".join(f"{mb:,.0f}" for mb in sorted(figures["rss"].values()))
                print(f"\ncluster of {n} worker(s) ({'at ' + args.scheduler if args.scheduler else 'LocalCluster'}, "
                      f"up in {up:.2f} s), {partitions} tasks, split_every {args.split_every}")
                print(f"  wall {figures['wall']:.2f} s: map {figures['map']:.2f} s, reduce {figures['reduce']:.2f} s "
                      f"(of which load {figures['load']:.2f} s); speed-up over one process "
                      f"{single_seconds / figures['wall']:.2f}x")
                print(f"  moved to the reduce: {figures['bytes'] / 1e6:.2f} MB of model text; peak RSS per worker "
                      f"process: {rss} MB; dictionaries loaded {figures['loads']} time(s)")
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
