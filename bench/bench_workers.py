"""Worker processes serving one index kept in a folder: the memory of four
workers that fork after opening it (gunicorn --preload) and of four that each
open it (and so map its snapshot), against one process, as proportional set
sizes (PSS)."""
import os
import random
import tempfile
import time

from harness import table

from durevarare_search import Analyzer, Index


def pss_mb(pid):
    with open(f"/proc/{pid}/smaps_rollup") as handle:
        for line in handle:
            if line.startswith("Pss:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def search_some(index, vocabulary, seed, count=2000):
    rng = random.Random(seed)
    for _ in range(count):
        index.search(" ".join(rng.choice(vocabulary) for _ in range(3)), k=10)


def workers(path, vocabulary, preload, count=4):
    """The PSS of `count` searching workers, summed, in MB."""
    opened = Index.open(path, readonly=True) if preload else None
    children = []
    for number in range(count):
        ready, done = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(ready)
                search_some(opened or Index.open(path, readonly=True), vocabulary, number)
                os.write(done, b"x")
                time.sleep(60)
            finally:
                os._exit(0)
        os.close(done)
        children.append((pid, ready))
    try:
        for _, ready in children:
            os.read(ready, 1)
        return sum(pss_mb(pid) for pid, _ in children)
    finally:
        for pid, ready in children:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            os.close(ready)


def one_process(path, vocabulary):
    ready, done = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            search_some(Index.open(path, readonly=True), vocabulary, 0)
            os.write(done, b"x")
            time.sleep(60)
        finally:
            os._exit(0)
    os.close(done)
    os.read(ready, 1)
    try:
        return pss_mb(pid)
    finally:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        os.close(ready)


def run(documents=200_000, length=20):
    rng = random.Random(1)
    vocabulary = [f"w{i}" for i in range(50_000)]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "index")
        with Index.open(path, analyzer=Analyzer()) as writer:
            writer.add_words([(i, [rng.choice(vocabulary) for _ in range(length)]) for i in range(documents)])
            # A service's index after a checkpoint: the snapshot, mapped by each process, and an empty log.
            writer.checkpoint()
        single = one_process(path, vocabulary)
        rows = [["one process", f"{single:,.0f}", "1.00x"]]
        for preload in (True, False):
            total = workers(path, vocabulary, preload)
            rows.append([f"4 workers, {'forked after opening' if preload else 'each opening'}", f"{total:,.0f}",
                         f"{total / single:.2f}x"])
    print(f"{documents:,} documents of {length} words, each worker running 2,000 searches; PSS summed over the "
          "workers (the forking parent not counted)\n")
    print(table(["processes", "PSS MB", "against one"], rows))


if __name__ == "__main__":
    run()
