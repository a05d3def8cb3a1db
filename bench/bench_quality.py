"""Search quality on CMRC 2018 (848 Wikipedia paragraphs, 3,219 questions,
one relevant paragraph each), alone and with the 397,491 poems as
distractors: Recall@1, @5, @20 and MRR@10 of this library and of Xapian
(BM25Weight) and SQLite FTS5 (bm25()), each given the same words, those of
the search package's analyzer with its defaults.

    python3 bench/bench_quality.py [--no-poems]

The data is read from ../shared/data/cmrc2018, the poems from where
`make demo-large` puts them. Run under the python3 that has Debian's
python3-xapian, with the package built for it (make bench does).
"""
import argparse
import json
import os
import shutil
import tempfile

import corpus  # noqa: F401  (puts examples/ on the import path)
from bench_index import CMRC, Fts5, Ours, Terms, Xapian, cached_words
from harness import table
from search import POETRY_DIR, read_poems

CUTOFFS = (1, 5, 20)


def qrels():
    """query id -> the id of its relevant paragraph."""
    with open(os.path.join(CMRC, "qrels.tsv"), encoding="utf-8") as handle:
        return dict(line.rstrip("\n").split("\t") for line in handle if line.strip())


def metrics(rankings, relevant):
    """Recall@1, @5, @20 and MRR@10 of ranked id lists, each against its one
    relevant id; a relevant id ranked below the cut-off counts 0."""
    recall = dict.fromkeys(CUTOFFS, 0.0)
    reciprocal = 0.0
    for ranked, wanted in zip(rankings, relevant):
        rank = ranked.index(wanted) + 1 if wanted in ranked else None
        for cutoff in CUTOFFS:
            recall[cutoff] += rank is not None and rank <= cutoff
        reciprocal += 1.0 / rank if rank is not None and rank <= 10 else 0.0
    count = len(relevant)
    return {**{f"R@{cutoff}": recall[cutoff] / count for cutoff in CUTOFFS}, "MRR@10": reciprocal / count}


def evaluate(system, question_words, relevant):
    return metrics([system.search(words, max(CUTOFFS)) for words in question_words], relevant)


def systems(folder):
    """(label, system) pairs, all indexing the same words."""
    terms = Terms()
    out = [("durevarare (defaults: b 0.35, k1 0.7, documents idf)", Ours(folder, b=0.35, k1=0.7, idf="documents")),
           ("durevarare, b 0.75, k1 1.2, occurrences idf (the module's)",
            Ours(folder, b=0.75, k1=1.2, idf="occurrences"))]
    try:
        out += [("Xapian BM25Weight (k1 1, b 0.5: its defaults)", Xapian(folder, terms, k1=1.0, b=0.5)),
                ("Xapian BM25Weight, k1 0.7, b 0.35", Xapian(folder, terms, k1=0.7, b=0.35))]
    except ImportError:
        print("(Xapian skipped: no python3-xapian for this interpreter)")
    return out + [("SQLite FTS5 bm25() (k1 1.2, b 0.75)", Fts5(folder, terms))]


def run(with_poems=True, limit=None):
    with open(os.path.join(CMRC, "docs.jsonl"), encoding="utf-8") as handle:
        docs = [json.loads(line) for line in handle][:limit]
    with open(os.path.join(CMRC, "queries.jsonl"), encoding="utf-8") as handle:
        queries = [json.loads(line) for line in handle]
    wanted = qrels()
    kept = {doc["id"] for doc in docs}
    queries = [query for query in queries if wanted[query["id"]] in kept]
    from durevarare_search import Analyzer
    analyzer = Analyzer()
    doc_words = cached_words("cmrc", [doc["text"] for doc in docs])
    question_words = [analyzer.query_words(query["text"]) for query in queries]
    relevant = [docs.index(next(doc for doc in docs if doc["id"] == wanted[query["id"]])) for query in queries]
    collections = [("CMRC alone", [])]
    if with_poems and os.path.isdir(POETRY_DIR):
        collections.append(("CMRC + 397,491 poems", cached_words("poems", read_poems())))
    elif with_poems:
        print(f"(CMRC + poems skipped: {POETRY_DIR} is missing; scripts/setup.sh bench installs it)")
    rows = []
    for name, distractors in collections:
        folder = tempfile.mkdtemp()
        try:
            offset = len(distractors)
            for label, system in systems(folder):
                system.build([(i, words) for i, words in enumerate(distractors)])
                system.build([(offset + i, words) for i, words in enumerate(doc_words)])
                found = evaluate(system, question_words, [offset + i for i in relevant])
                rows.append([name, label] + [f"{found[key]:.3f}" for key in ("R@1", "R@5", "R@20", "MRR@10")])
        finally:
            shutil.rmtree(folder)
    print(f"{len(queries):,} questions over {len(docs):,} paragraphs\n")
    print(table(["collection", "system", "Recall@1", "Recall@5", "Recall@20", "MRR@10"], rows))
    return rows


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-poems", action="store_true")
    run(not parser.parse_args().no_poems)
