"""Jieba.cut and cut_for_search: one thread and two threads on one shared
instance, against cppjieba driven from C++ (the limit) and Debian's
pure-Python jieba (the peer). Three shapes: the fortunes-zh corpus line by
line and in ~10 KB chunks, and classical poems of the chinese-poetry corpus,
one poem per call."""
import json
import os
import subprocess
import threading

import durevarare
import durevarare_bench

from corpus import fortunes
from search import DEFAULT_DICT_DIR, POETRY_DIR, read_poems  # importable once corpus has put examples/ on the path
from harness import interleave, median, paired_ratio, table

REPEAT = 3  # the fortunes are cut this many times per measurement, for stable timings
POEM_STEP = 10  # every tenth poem: 39,750 poems, 7.6 MB


def dict_paths():
    folder = os.environ.get("DUREVARARE_DICT_DIR", DEFAULT_DICT_DIR)
    return tuple(os.path.join(folder, name) for name in
                 ("jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8"))


def shapes():
    text = "\n".join(fortunes())
    lines = [line for line in text.split("\n") if line.strip()]
    chunks, current = [], []
    size = 0
    for line in lines:
        current.append(line)
        size += len(line.encode()) + 1
        if size >= 10_000:
            chunks.append("\n".join(current))
            current, size = [], 0
    if current:
        chunks.append("\n".join(current))
    out = {"lines": lines * REPEAT, "10 KB chunks": chunks * REPEAT}
    if os.path.isdir(POETRY_DIR):
        out["poems"] = read_poems()[::POEM_STEP]
    return out


PEER = r"""
import json, sys, time, logging
import jieba
jieba.setLogLevel(logging.ERROR)
jieba.initialize()
items = json.loads(sys.stdin.readline())
print("ready", flush=True)
for request in sys.stdin:
    cut = jieba.lcut_for_search if request.strip() == "search" else jieba.lcut
    start = time.perf_counter()
    for item in items:
        cut(item)
    print(time.perf_counter() - start, flush=True)
"""


class PythonJieba:
    """Debian's jieba under the system Python, kept running and asked for one pass at a time."""

    def __init__(self, items):
        self.process = subprocess.Popen(["/usr/bin/python3", "-c", PEER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.process.stdin.write(json.dumps(items) + "\n")
        self.process.stdin.flush()
        assert self.process.stdout.readline().strip() == "ready"
        self.last = 0.0

    def run(self, mode):
        self.process.stdin.write(mode + "\n")
        self.process.stdin.flush()
        self.last = float(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def in_parallel(work, parts):
    """Runs work(part) for each part on a thread of its own and waits for all."""
    threads = [threading.Thread(target=work, args=(part,)) for part in parts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def available_peer():
    return os.path.exists("/usr/bin/python3") and subprocess.run(
        ["/usr/bin/python3", "-c", "import jieba"], capture_output=True).returncode == 0


def run(rounds):
    paths = dict_paths()
    segmenter = durevarare.Jieba(*paths)
    raw = durevarare_bench.RawJieba(*paths)
    rows = []
    for shape, items in shapes().items():
        megabytes = sum(len(item.encode()) for item in items) / 1e6
        halves = (items[0::2], items[1::2])
        peer = PythonJieba(items) if available_peer() and shape == "lines" else None
        for method in ("cut", "cut_for_search"):
            cut = getattr(segmenter, method)
            search = method == "cut_for_search"

            def one():
                for item in items:
                    cut(item)

            def work(part):
                for item in part:
                    cut(item)

            def two():
                in_parallel(work, halves)

            def cpp_two():
                in_parallel(lambda part: raw.time_cut(part, search), halves)

            # The C++ driver and the peer time their own loops, so neither is charged for
            # handing the sentences over; their reported times replace the wall times.
            # The C++ driver on two threads (wall time) shows what the machine allows.
            own_times = {"C++": [], "python jieba": []}

            def cpp():
                own_times["C++"].append(raw.time_cut(items, search)[0])

            def python_jieba():
                peer.run("search" if search else "cut")
                own_times["python jieba"].append(peer.last)

            systems = {"1 thread": one, "2 threads": two, "C++": cpp, "C++ 2 threads": cpp_two}
            if peer:
                systems["python jieba"] = python_jieba
            times = interleave(systems, rounds=rounds)
            times.update({name: values for name, values in own_times.items() if values})
            row = [shape, method,
                   f"{megabytes / median(times['1 thread']):.1f}",
                   f"{megabytes / median(times['2 threads']):.1f}",
                   f"{megabytes / median(times['C++']):.1f}",
                   f"{paired_ratio(times, 'C++', '1 thread'):.2f}x",
                   f"{paired_ratio(times, '1 thread', '2 threads'):.2f}x",
                   f"{paired_ratio(times, 'C++', 'C++ 2 threads'):.2f}x"]
            if peer:
                row += [f"{megabytes / median(times['python jieba']):.2f}",
                        f"{paired_ratio(times, 'python jieba', '1 thread'):.1f}x"]
            else:
                row += ["", ""]
            rows.append(row)
        if peer:
            peer.close()
    print(table(["input", "method", "1 thread MB/s", "2 threads MB/s", "C++ MB/s", "1 thread / C++",
                 "2 threads / 1 thread", "C++: 2 threads / 1", "python jieba MB/s", "1 thread / python jieba"],
                rows))
