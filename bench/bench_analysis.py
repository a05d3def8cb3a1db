"""What the search analyzer costs: its native analysis (normalise, fold,
split, cut, filter) against the segmenter's cut alone of the same texts, in
C++ loops on one thread; then Index.add_many of the poems (analysis and
indexing together) on 2 threads."""
import gc
import os
import time

import corpus  # noqa: F401  (puts examples/ on the import path)
from harness import interleave, median, paired_ratio, table
from search import POETRY_DIR, read_poems

HERE = os.path.dirname(os.path.abspath(__file__))
CMRC = os.path.join(HERE, "..", "..", "shared", "data", "cmrc2018")


def collections():
    """(name, texts) pairs: short texts and long ones."""
    out = []
    if os.path.isdir(POETRY_DIR):
        out.append(("poems (first 100,000)", read_poems()[:100_000]))
    else:
        out.append(("fortunes-zh", corpus.fortunes()))
    path = os.path.join(CMRC, "docs.jsonl")
    if os.path.exists(path):
        import json
        with open(path, encoding="utf-8") as handle:
            out.append(("CMRC 2018 paragraphs", [json.loads(line)["text"] for line in handle]))
    return out


def run(rounds):
    import durevarare_bench
    from durevarare_search import Analyzer, Index
    from durevarare_search._segmenter import dictionary_folder, opencc_folder

    analysis = durevarare_bench.Analysis(str(dictionary_folder()), str(opencc_folder()),
                                         sorted(Analyzer().stop_words))
    rows = []
    for name, texts in collections():
        # Interleaved; each call reports its own C++ loop's time (the cut's
        # excludes preparing its input).
        own = {"cut": [], "analysis": []}
        interleave({"cut": lambda: own["cut"].append(analysis.time_cut(texts)[0]),
                    "analysis": lambda: own["analysis"].append(analysis.time_analysis(texts, 1)[0])}, rounds)
        cut, analysed = median(own["cut"]), median(own["analysis"])
        rows.append([name, f"{len(texts):,}", f"{cut:.2f}", f"{analysed:.2f}",
                     f"{paired_ratio(own, 'analysis', 'cut') - 1:+.0%}"])
    print("### The analysis against the cut alone (seconds, one thread, medians)\n")
    print(table(["texts", "count", "cut", "analysis", "beyond the cut"], rows))

    if not os.path.isdir(POETRY_DIR):
        print(f"\n(add_many of the poems skipped: {POETRY_DIR} is missing; scripts/setup.sh bench installs it)")
        return
    poems = read_poems()
    analyzer = Analyzer()
    seconds = []
    for _ in range(max(1, rounds // 2)):
        index = Index(analyzer)
        gc.collect()
        started = time.perf_counter()
        index.add_many(enumerate(poems), threads=2)
        seconds.append(time.perf_counter() - started)
        del index
    print(f"\n### Index.add_many of the {len(poems):,} poems on 2 threads (analyse and index)\n")
    print(table(["seconds (median)", "documents/s"],
                [[f"{median(seconds):.1f}", f"{len(poems) / median(seconds):,.0f}"]]))
