#!/usr/bin/env python3
"""Train one BM25 model over a corpus split across worker processes, then
merge: each worker cuts and trains its shard and dumps its model; the parent
adds the shards' token counts and document counts, recomputes the average
length from the shards' length totals, and loads the merged document into a
fresh BM25. The merge is a plain reduce, so the same code is the reduce step of
a map-reduce on Spark, Dask or Ray for corpora beyond one machine.

    python examples/sharded_train.py --workers 2
    python examples/sharded_train.py --large --workers 2    # the 397,491 poems
"""
import argparse
import json
import multiprocessing
import os
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import durevarare

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from search import (DEFAULT_CORPUS, DEFAULT_DICT_DIR, DICT_DIR_HELP, POETRY_DIR, Tokenizer,  # noqa: E402
                    read_fortunes, read_paragraphs, read_poems)

# The seven characters that model files write as a backslash and a letter.
_ESCAPES = str.maketrans({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"',
                          "\\": "\\\\"})


# Loading the dictionaries takes about a second. The parent loads them once
# before the workers are forked, and the workers share those pages; a worker
# started another way loads its own copy.
_tokenizer = None


def tokenizer_for(dict_dir):
    global _tokenizer
    if _tokenizer is None:
        _tokenizer = Tokenizer(dict_dir)
    return _tokenizer


def train(texts, tokenizer):
    """Cuts (a batch of texts per call) and trains; returns the model and the total
    number of words trained."""
    model = durevarare.BM25()
    total = 0
    for tokens in tokenizer.cut_stream(texts, threads=1):
        numbers = tokenizer.word_numbers(tokens)
        if numbers:
            model.train(tokenizer.words_of(numbers))
            total += len(numbers)
    return model, total


# The texts of the current job, inherited by forked workers, which then take
# their shard without the parent pickling it to them.
_job = []


def train_shard(shard, workers, dict_dir, path, texts=None):
    """Map: cut and train one shard, dump its model to `path`; returns (path, total words)."""
    texts = texts if texts is not None else _job[shard::workers]
    model, total = train(texts, tokenizer_for(dict_dir))
    model.dump(path)
    return path, total


def read_model(path):
    with open(path, encoding="utf-8") as handle:
        # strict=False: token keys may hold raw control characters.
        return json.loads(handle.read(), strict=False)


def merge(shards):
    """Reduce: shards is a list of (model document, total words)."""
    frequency = dict(shards[0][0]["_doc_token_frequency"])
    for document, _ in shards[1:]:
        get = frequency.get
        for token, count in document["_doc_token_frequency"].items():
            frequency[token] = get(token, 0) + count
    documents = sum(document["_doc_count"] for document, _ in shards)
    length = sum(total for _, total in shards)
    first = shards[0][0]
    return {"_b": first["_b"], "_k1": first["_k1"], "_doc_count": documents,
            "_doc_length_average": length / documents if documents else 0.0, "_doc_token_frequency": frequency}


def model_text(document):
    """The merged document as JSON text for `load`: the model file's own layout,
    except that the tokens need not be in order (load keeps them in order anyway)."""
    members = ",\n".join(f'    "{token.translate(_ESCAPES)}" : {count}'
                         for token, count in document["_doc_token_frequency"].items())
    return ("{\n"
            f'  "_b" : {document["_b"]:f},\n'
            f'  "_doc_count" : {document["_doc_count"]},\n'
            f'  "_doc_length_average" : {document["_doc_length_average"]:f},\n'
            f'  "_doc_token_frequency" : {{\n{members}\n  }},\n'
            f'  "_k1" : {document["_k1"]:f}\n'
            "}")


def sharded_model(texts, workers, dict_dir, folder, timings=None):
    """The merged model; `timings`, if given, gets the seconds of the map and of the reduce."""
    timings = {} if timings is None else timings
    started = time.perf_counter()
    paths = [os.path.join(folder, f"shard{i}.json") for i in range(workers)]
    fork = "fork" in multiprocessing.get_all_start_methods()
    _job[:] = texts
    try:
        with ProcessPoolExecutor(max_workers=workers,
                                 mp_context=multiprocessing.get_context("fork" if fork else None)) as pool:
            shards = [None] * workers if fork else [texts[i::workers] for i in range(workers)]
            results = list(pool.map(train_shard, range(workers), [workers] * workers, [dict_dir] * workers,
                                    paths, shards))
    finally:
        _job.clear()
    mapped = time.perf_counter()
    merged = merge([(read_model(path), total) for path, total in results])
    model = durevarare.BM25()
    model.load(model_text(merged))
    timings["map"], timings["reduce"] = mapped - started, time.perf_counter() - mapped
    return model


def single_model(texts, dict_dir):
    return train(texts, tokenizer_for(dict_dir))[0]


def dump_text(model, folder, name):
    path = os.path.join(folder, name)
    model.dump(path)
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Environment: DUREVARARE_DICT_DIR names the dictionary folder when --dict-dir is not given.")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2,
                        help="worker processes, one shard each (default: one per core)")
    corpus = parser.add_mutually_exclusive_group()
    corpus.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph "
                                         "(default: the fortunes of Debian's fortunes-zh)")
    corpus.add_argument("--large", action="store_true",
                        help="the 397,491 poems of the chinese-poetry corpus (scripts/setup.sh demo-large)")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--repeat", type=int, default=1, help="use the corpus this many times (a bigger job)")
    parser.add_argument("--dict-dir", default=DEFAULT_DICT_DIR, help=DICT_DIR_HELP)
    args = parser.parse_args(argv)

    if args.large:
        if not os.path.isdir(POETRY_DIR):
            raise SystemExit(f"{POETRY_DIR} is missing: run scripts/setup.sh demo-large")
        texts = read_poems()
    else:
        texts = read_paragraphs(args.corpus) if args.corpus else read_fortunes(DEFAULT_CORPUS)
    texts = texts[:args.limit] * args.repeat if args.limit else texts * args.repeat
    started = time.perf_counter()
    tokenizer_for(args.dict_dir)
    print(f"dictionaries loaded in {time.perf_counter() - started:.2f} s (once, shared by the forked workers)")
    with tempfile.TemporaryDirectory() as folder:
        timings = {}
        merged = sharded_model(texts, args.workers, args.dict_dir, folder, timings)
        sharded_seconds = timings["map"] + timings["reduce"]
        started = time.perf_counter()
        whole = single_model(texts, args.dict_dir)
        single_seconds = time.perf_counter() - started
        same = dump_text(merged, folder, "merged.json") == dump_text(whole, folder, "whole.json")
    print(f"documents: {len(texts)}; workers: {args.workers}")
    print(f"cut and train: one process {single_seconds:.2f} s; {args.workers} processes with merge "
          f"{sharded_seconds:.2f} s (map: cut, train and dump {timings['map']:.2f} s; reduce: read, add up and "
          f"load {timings['reduce']:.2f} s); speed-up {single_seconds / sharded_seconds:.2f}x")
    print("merged model equals the single-process model (counts exact, average to six decimals): "
          + ("yes" if same else "NO"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
