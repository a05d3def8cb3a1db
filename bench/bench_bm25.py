"""BM25 training and encoding: the module against an idiomatic pure-Python
implementation and against the binding floor (conversions only)."""
import os
import random
import subprocess
import sys

import durevarare
import durevarare_bench

from corpus import fortunes, zipf_documents
from harness import interleave, paired_ratio, median, table
from pure_bm25 import PureBM25

TOKENS_PER_BATCH = 200_000


def corpora():
    out = []
    for length in (50, 200, 2000):
        ranks = zipf_documents(TOKENS_PER_BATCH // length, length, seed=length)
        out.append((f"zipf {length}", "int", ranks))
        out.append((f"zipf {length}", "str", [[f"w{r}" for r in doc] for doc in ranks]))
    text = fortunes()
    # Without the segmenter the real text is cut into characters and bigrams.
    docs = [[doc[i:i + 2] for i in range(len(doc) - 1)] + list(doc) for doc in text if len(doc) > 1]
    out.append(("fortunes", "str", docs[:3000]))
    return out


def trained(cls, docs):
    model = cls()
    for doc in docs:
        model.train(doc)
    return model


def check_identical(native, pure, docs):
    for doc in docs[:200]:
        assert native.encode_document(doc) == pure.encode_document(doc), "encode_document differs"
        assert native.encode_query(doc) == pure.encode_query(doc), "encode_query differs"


def run(rounds):
    rows = []
    for name, kind, docs in corpora():
        native, pure = trained(durevarare.BM25, docs), trained(PureBM25, docs)
        check_identical(native, pure, docs)
        floor = durevarare_bench.floor
        times = interleave({
            "train": lambda: trained(durevarare.BM25, docs),
            "train py": lambda: trained(PureBM25, docs),
            "train floor": lambda: [durevarare_bench.floor_train(d) for d in docs],
            "doc": lambda: [native.encode_document(d) for d in docs],
            "doc py": lambda: [pure.encode_document(d) for d in docs],
            "query": lambda: [native.encode_query(d) for d in docs],
            "query py": lambda: [pure.encode_query(d) for d in docs],
            "floor": lambda: [floor(d) for d in docs],
        }, rounds=rounds)
        tokens = sum(map(len, docs))
        rows.append([
            name, kind, len(docs),
            f"{tokens / median(times['train']) / 1e6:.1f}",
            f"{paired_ratio(times, 'train py', 'train'):.2f}x",
            f"{paired_ratio(times, 'train', 'train floor'):.2f}x",
            f"{paired_ratio(times, 'doc', 'floor'):.2f}x",
            f"{paired_ratio(times, 'doc py', 'doc'):.2f}x",
            f"{paired_ratio(times, 'query', 'floor'):.2f}x",
            f"{paired_ratio(times, 'query py', 'query'):.2f}x",
        ])
    print(table(["corpus", "tokens", "docs", "train Mtok/s", "train: py/native", "train: native/floor",
                 "encode_document: native/floor", "encode_document: py/native",
                 "encode_query: native/floor", "encode_query: py/native"], rows))


def unmix64(h):
    """Inverse of the splitmix64 finaliser, a fixed integer hash that tables commonly use."""
    mask = (1 << 64) - 1

    def unshift(y, shift):
        x = y
        for _ in range(64 // shift + 1):
            x = y ^ (x >> shift)
        return x

    h = unshift(h, 31)
    h = h * pow(0x94d049bb133111eb, -1, 1 << 64) & mask
    h = unshift(h, 27)
    h = h * pow(0xbf58476d1ce4e5b9, -1, 1 << 64) & mask
    return unshift(h, 30)


def signed64(x):
    return x - (1 << 64) if x >= 1 << 63 else x


def key_sets(rounds, count=40_000):
    """train + encode_document of one document of `count` distinct ids, by how the ids were chosen.
    "crafted" ids hash to values whose low 32 bits are all zero under a fixed splitmix64
    finaliser, so a table indexed by that hash would put them all in one probe run."""
    rng = random.Random(5)
    sets = {
        "random": [rng.getrandbits(63) for _ in range(count)],
        "sequential": list(range(count)),
        "crafted (fixed hash)": [signed64(unmix64(k << 32)) for k in range(1, count + 1)],
        "multiples of 2^32": [k << 32 for k in range(1, count + 1)],
    }

    def run_one(ids):
        model = durevarare.BM25()
        model.train(ids)
        model.encode_document(ids)

    times = interleave({name: (lambda ids=ids: run_one(ids)) for name, ids in sets.items()}, rounds=rounds)
    rows = [[name, f"{median(times[name]) * 1e3:.1f}", f"{paired_ratio(times, name, 'random'):.2f}x"]
            for name in sets]
    print(f"\nkey sets: train + encode_document of one document of {count:,} distinct int ids\n")
    print(table(["ids", "ms", "vs random"], rows))


MEMORY_PROBE = r"""
import gc, sys
import durevarare
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
n = 1_000_000
docs = [[f"{i:08d}" for i in range(start, start + 1000)] for start in range(0, n, 1000)]
gc.collect()
before = rss()
model = durevarare.BM25()
for doc in docs:
    model.train(doc)
gc.collect()
after = rss()
assert len(model.encode_query(["00000001", "99999999"])) == 2
print((after - before) / n)
"""


def memory():
    env = dict(os.environ)
    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE], capture_output=True, text=True, env=env, check=True)
    per_token = float(result.stdout.strip())
    print(f"\nresident memory per distinct token (1M distinct 8-byte tokens): {per_token:.1f} bytes")
