"""The main job at growing scale: examples/search.py over the first N poems of
the chinese-poetry corpus, each size in a fresh process (for its own peak RSS),
read from the summary it prints."""
import os
import re
import subprocess
import sys

import corpus  # noqa: F401  (puts examples/ on the import path)
from harness import table
from search import POETRY_DIR

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (5_000, 25_000, 100_000, None)  # None: all 397,491
FIELDS = {
    "documents": r"documents\s+(\d+)",
    "MB": r"with words\), ([\d.]+) MB",
    "read": r"read\s+([\d.]+) s",
    "add": r"thread\(s\) \(([\d.]+) s:",
    "memory": r"index memory\s+([\d,]+) MB",
    "rss": r"peak RSS\s+([\d,]+) MB",
    "model": r"model file\s+([\d.]+) MB",
    "p50": r"p50 ([\d.]+) ms",
    "p99": r"p99 ([\d.]+) ms",
}


def summary(limit):
    command = [sys.executable, os.path.join(HERE, "..", "examples", "search.py"), "--large", "--no-progress"]
    if limit:
        command += ["--limit", str(limit)]
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return {name: float(re.search(pattern, out).group(1).replace(",", "")) for name, pattern in FIELDS.items()}


def run():
    if not os.path.isdir(POETRY_DIR):
        print(f"(skipped: {POETRY_DIR} is missing; scripts/setup.sh bench installs it)")
        return
    rows = []
    for limit in SIZES:
        s = summary(limit)
        rows.append([f"{int(s['documents']):,}", f"{s['MB']:.1f}", f"{s['read']:.2f}", f"{s['add']:.2f}",
                     f"{s['documents'] / s['add']:,.0f}", f"{s['memory']:,.0f}", f"{s['rss']:,.0f}",
                     f"{s['model']:.1f}", f"{s['p50']:.2f} / {s['p99']:.2f}"])
    print(f"examples/search.py --large on {os.cpu_count()} threads, each size in a fresh process\n")
    print(table(["documents", "MB", "read s", "add s (analyse, index)", "documents/s", "index memory MB",
                 "peak RSS MB", "model file MB", "query p50 / p99 ms"], rows))
