"""The quality benchmark's figures: right on rankings made by hand, and on a
slice of CMRC 2018, where they must agree with the index's own results.
Quality numbers themselves belong to the benchmark, not here."""
import sys

import pytest

from conftest import REPO, SHARED

sys.path.insert(0, str(REPO / "bench"))
import bench_index  # noqa: E402
import bench_quality  # noqa: E402


@pytest.mark.parametrize("rankings, relevant, expected", [
    ([["a", "b"], ["c"]], ["a", "c"], {"R@1": 1.0, "R@5": 1.0, "R@20": 1.0, "MRR@10": 1.0}),
    ([["x", "a"], ["c"]], ["a", "d"], {"R@1": 0.0, "R@5": 0.5, "R@20": 0.5, "MRR@10": 0.25}),
    ([[str(i) for i in range(20)]], ["12"], {"R@1": 0.0, "R@5": 0.0, "R@20": 1.0, "MRR@10": 0.0}),
    ([[]], ["a"], {"R@1": 0.0, "R@5": 0.0, "R@20": 0.0, "MRR@10": 0.0}),
])
def test_metrics(rankings, relevant, expected):
    assert bench_quality.metrics(rankings, relevant) == pytest.approx(expected)


@pytest.mark.skipif(not (SHARED / "data" / "cmrc2018" / "docs.jsonl").exists(), reason="no CMRC 2018 data")
def test_a_slice_of_cmrc_gives_the_figures_of_the_index_itself(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(bench_index, "CACHE", str(tmp_path))
    rows = bench_quality.run(with_poems=False, limit=25)
    figures = {row[1]: [float(value) for value in row[2:]] for row in rows}
    for r1, r5, r20, mrr in figures.values():
        assert 0.0 < r1 <= r5 <= r20 <= 1.0 and r1 <= mrr <= r20
    # The default row, computed here straight from Index.search.
    import json
    from durevarare_search import Index
    docs = [json.loads(line) for line in open(SHARED / "data" / "cmrc2018" / "docs.jsonl", encoding="utf-8")][:25]
    queries = [json.loads(line) for line in open(SHARED / "data" / "cmrc2018" / "queries.jsonl", encoding="utf-8")]
    wanted = bench_quality.qrels()
    queries = [query for query in queries if wanted[query["id"]] in {doc["id"] for doc in docs}]
    index = Index()
    index.add_many((doc["id"], doc["text"]) for doc in docs)
    expected = bench_quality.metrics([[doc for doc, _ in index.search(query["text"], k=20)] for query in queries],
                                     [wanted[query["id"]] for query in queries])
    default = next(values for name, values in figures.items() if "defaults" in name)
    assert default == [round(expected[key], 3) for key in ("R@1", "R@5", "R@20", "MRR@10")]
    assert f"{len(queries):,} questions over 25 paragraphs" in capsys.readouterr().out
