"""Corpora shared by the benchmarks: the Chinese fortunes of Debian's
fortunes-zh and Zipf-distributed synthetic token lists."""
import random
import re

FORTUNES = "/usr/share/games/fortunes/chinese"
_COLOUR = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def fortunes(path=FORTUNES):
    """One string per fortune (the text between % lines), colour codes removed."""
    with open(path, encoding="utf-8", errors="replace") as handle:
        text = _COLOUR.sub("", handle.read())
    return [part.strip() for part in re.split(r"^%\s*$", text, flags=re.M) if part.strip()]


def zipf_documents(count, length, vocabulary=50000, s=1.1, seed=1):
    """`count` documents of `length` integer ranks drawn from a Zipf law."""
    rng = random.Random(seed)
    weights = [1.0 / (rank ** s) for rank in range(1, vocabulary + 1)]
    population = range(vocabulary)
    return [rng.choices(population, weights, k=length) for _ in range(count)]
