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
    "cut": r"\(([\d.]+) s\)\n\s+filter",
    "filter": r"filter\s+([\d.]+) s",
    "train": r"train\s+.*\(([\d.]+) s\)",
    "encode": r"encode\s+.*\(([\d.]+) s\)",
    "index": r"index\s+([\d.]+) s",
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
        rows.append([f"{int(s['documents']):,}", f"{s['MB']:.1f}", f"{s['cut'] + s['filter']:.2f}",
                     f"{s['train']:.2f}", f"{s['encode'] + s['index']:.2f}",
                     f"{s['cut'] + s['filter'] + s['train'] + s['encode'] + s['index']:.2f}", f"{s['read']:.2f}",
                     f"{s['rss']:,.0f}", f"{s['model']:.1f}", f"{s['p50']:.2f} / {s['p99']:.2f}"])
    print(table(["documents", "MB", "cut + filter s", "train s", "encode + index s", "pipeline s (no read)",
                 "read s", "peak RSS MB", "model file MB", "query p50 / p99 ms"], rows))
