"""The training job on Dask distributed (Debian's, for its python3): the merged
model equals the one-process model byte for byte, also when a worker process
dies in the middle of a task."""
import os
import subprocess
import sys

import durevarare
import pytest

from conftest import DICT_DIR, REPO

sys.path.insert(0, str(REPO / "examples"))
import cluster_train  # noqa: E402
from search import DEFAULT_CORPUS  # noqa: E402

SPEC = ("fortunes", DEFAULT_CORPUS, 240)
needs_cluster = pytest.mark.skipif(not os.path.exists(DEFAULT_CORPUS), reason="fortunes-zh corpus not installed")


@pytest.mark.parametrize("ranges", [1, 3])
def test_the_merge_keeps_every_key(ranges):
    """Words the model file writes with escapes come back byte for byte."""
    documents = [["a\nb", 'q"', "x"], ["back\\slash", "x", "\t"], []]
    shards = []
    for words in documents:
        counts = cluster_train.counts_of([words])
        counts["ended"] = 0.0
        shards.append(cluster_train.to_shards(counts, ranges))
    roots = [cluster_train.combine(partials) for partials in zip(*shards)]
    whole = cluster_train.totals(roots[0])
    merged = cluster_train.model_of([cluster_train.model_part(root, whole) for root in roots])
    trained = durevarare.BM25(cluster_train.B, cluster_train.K1)
    for words in documents[:2]:
        trained.train(words)
    assert cluster_train.same_model(merged, trained)


def import_distributed():
    """Debian's Dask, built for Debian's python3: other interpreters that see its
    folder fail in its imports with more than ImportError."""
    try:
        import distributed
    except Exception as error:  # noqa: BLE001
        pytest.skip(f"no Dask distributed for this interpreter ({type(error).__name__}: {error})")
    return distributed


@pytest.fixture(scope="module")
def client():
    distributed = import_distributed()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


@pytest.fixture(scope="module")
def expected():
    return cluster_train.single_model(SPEC, str(DICT_DIR))


# Partitions, tree shapes and key ranges that group the sums differently.
@needs_cluster
@pytest.mark.parametrize("partitions, split_every, ranges", [(7, 2, 1), (3, 8, 3)])
def test_merged_model_equals_the_one_process_model(client, expected, partitions, split_every, ranges):
    model, figures = cluster_train.cluster_model(client, SPEC, 240, str(DICT_DIR), partitions, split_every,
                                                 key_ranges=ranges)
    assert cluster_train.same_model(model, expected)
    assert sum(figures["built"].values()) <= 2  # one analyzer per worker process, whatever the number of tasks


@needs_cluster
def test_a_worker_killed_mid_task_changes_nothing(client, expected, tmp_path):
    marker = tmp_path / "killed"
    pids = set(client.run(os.getpid).values())
    model, _ = cluster_train.cluster_model(client, SPEC, 240, str(DICT_DIR), 6, 2, str(marker), key_ranges=2)
    assert marker.exists()  # the middle task killed its worker once
    assert cluster_train.same_model(model, expected)
    client.wait_for_workers(2, timeout=60)
    assert set(client.run(os.getpid).values()) != pids  # the nanny started a new worker process


@needs_cluster
def test_the_command_line_leaves_a_model_and_an_index(tmp_path):
    import_distributed()
    out, index = tmp_path / "model.json", tmp_path / "corpus.index"
    result = subprocess.run([sys.executable, str(REPO / "examples" / "cluster_train.py"), "--limit", "300",
                             "--workers", "1", "--dict-dir", str(DICT_DIR), "--out", str(out), "--index", str(index)],
                            capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    printed = result.stdout.decode()
    assert "documents: 300; one process:" in printed and "cluster of 1 worker(s)" in printed
    assert "merged model equals the one-process model byte for byte: yes" in printed
    assert "its statistics equal the model's: yes" in printed
    one_process = tmp_path / "one.json"
    cluster_train.single_model(("fortunes", cluster_train.DEFAULT_CORPUS, 300), str(DICT_DIR)).dump(str(one_process))
    assert out.read_bytes() == one_process.read_bytes()
    from durevarare_search import Index
    assert len(Index.load(index)) == 300


@pytest.mark.parametrize("arguments, message", [
    (["--limit", "0"], "must be a positive integer"),
    (["--corpus", "/dev/null"], "has no documents"),
    (["--limit", "3", "--partitions", "2", "--workers", "4", "--kill-worker"], "needs a task on every worker"),
])
def test_the_command_line_refuses_what_it_cannot_do(arguments, message):
    import_distributed()
    result = subprocess.run([sys.executable, str(REPO / "examples" / "cluster_train.py"), "--dict-dir", str(DICT_DIR),
                             *arguments], capture_output=True, timeout=300)
    assert result.returncode != 0 and message in result.stderr.decode(errors="replace")
