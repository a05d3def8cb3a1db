#!/usr/bin/env python3
"""Train one BM25 model over a corpus split across worker processes, then
merge: each worker cuts and trains its shard and dumps its model; the parent
adds the shards' token counts and document counts, recomputes the average
length from the shards' length totals, and loads the merged document into a
fresh BM25. The merge is a plain reduce, so the same code is the reduce step of
a map-reduce on Spark, Dask or Ray for corpora beyond one machine.

    python examples/sharded_train.py --workers 2
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
from search import DEFAULT_CORPUS, DEFAULT_DICT_DIR, Tokenizer, read_fortunes, read_paragraphs  # noqa: E402

_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


# Loading the dictionaries takes about a second. The parent loads them once
# before the workers are forked, and the workers share those pages; a worker
# started another way loads its own copy.
_tokenizer = None


def tokenizer_for(dict_dir):
    global _tokenizer
    if _tokenizer is None:
        _tokenizer = Tokenizer(dict_dir)
    return _tokenizer


def train_shard(texts, dict_dir, path):
    """Map: cut and train one shard, dump its model to `path`; returns (path, total tokens)."""
    tokenizer = tokenizer_for(dict_dir)
    model = durevarare.BM25()
    total = 0
    for text in texts:
        tokens = tokenizer(text)
        if tokens:
            model.train(tokens)
            total += len(tokens)
    model.dump(path)
    return path, total


def read_model(path):
    with open(path, encoding="utf-8") as handle:
        # strict=False: token keys may hold raw control characters.
        return json.loads(handle.read(), strict=False)


def merge(shards):
    """Reduce: shards is a list of (model document, total tokens)."""
    frequency, documents, length = {}, 0, 0
    for document, total in shards:
        for token, count in document["_doc_token_frequency"].items():
            frequency[token] = frequency.get(token, 0) + count
        documents += document["_doc_count"]
        length += total
    first = shards[0][0]
    return {"_b": first["_b"], "_k1": first["_k1"], "_doc_count": documents,
            "_doc_length_average": length / documents if documents else 0.0, "_doc_token_frequency": frequency}


def model_text(document):
    """The merged document in the model file's own layout, which `load` reads."""
    escape = lambda key: "".join(_ESCAPES.get(c, c) for c in key)
    members = ",\n".join(f'    "{escape(token)}" : {count}'
                         for token, count in sorted(document["_doc_token_frequency"].items(),
                                                    key=lambda item: escape(item[0]).encode()))
    return ("{\n"
            f'  "_b" : {document["_b"]:f},\n'
            f'  "_doc_count" : {document["_doc_count"]},\n'
            f'  "_doc_length_average" : {document["_doc_length_average"]:f},\n'
            f'  "_doc_token_frequency" : {{\n{members}\n  }},\n'
            f'  "_k1" : {document["_k1"]:f}\n'
            "}")


def sharded_model(texts, workers, dict_dir, folder):
    shards = [texts[i::workers] for i in range(workers)]
    paths = [os.path.join(folder, f"shard{i}.json") for i in range(workers)]
    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods() else None)
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        results = list(pool.map(train_shard, shards, [dict_dir] * workers, paths))
    merged = merge([(read_model(path), total) for path, total in results])
    model = durevarare.BM25()
    model.load(model_text(merged))
    return model


def single_model(texts, dict_dir):
    tokenizer = tokenizer_for(dict_dir)
    model = durevarare.BM25()
    for text in texts:
        tokens = tokenizer(text)
        if tokens:
            model.train(tokens)
    return model


def dump_text(model, folder, name):
    path = os.path.join(folder, name)
    model.dump(path)
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--corpus", help="a text file, one document per blank-line-separated paragraph")
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--repeat", type=int, default=1, help="use the corpus this many times (a bigger job)")
    parser.add_argument("--dict-dir", default=os.environ.get("DUREVARARE_DICT_DIR", DEFAULT_DICT_DIR))
    args = parser.parse_args(argv)

    texts = read_paragraphs(args.corpus) if args.corpus else read_fortunes(DEFAULT_CORPUS)
    texts = texts[:args.limit] * args.repeat if args.limit else texts * args.repeat
    started = time.perf_counter()
    tokenizer_for(args.dict_dir)
    print(f"dictionaries loaded in {time.perf_counter() - started:.2f} s (once, shared by the forked workers)")
    with tempfile.TemporaryDirectory() as folder:
        started = time.perf_counter()
        merged = sharded_model(texts, args.workers, args.dict_dir, folder)
        sharded_seconds = time.perf_counter() - started
        started = time.perf_counter()
        whole = single_model(texts, args.dict_dir)
        single_seconds = time.perf_counter() - started
        same = dump_text(merged, folder, "merged.json") == dump_text(whole, folder, "whole.json")
    print(f"documents: {len(texts)}; workers: {args.workers}")
    print(f"cut and train: one process {single_seconds:.2f} s; {args.workers} processes with merge "
          f"{sharded_seconds:.2f} s; speed-up {single_seconds / sharded_seconds:.2f}x")
    print("merged model equals the single-process model (counts exact, average to six decimals): "
          + ("yes" if same else "NO"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
