"""Corpora shared by the benchmarks: the Chinese fortunes of Debian's
fortunes-zh (read as the search example reads them) and Zipf-distributed
synthetic token lists."""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from search import DEFAULT_CORPUS, read_fortunes  # noqa: E402


def fortunes(path=DEFAULT_CORPUS):
    """One string per fortune, colour codes removed."""
    return read_fortunes(path)


def zipf_documents(count, length, vocabulary=50000, s=1.1, seed=1):
    """`count` documents of `length` integer ranks drawn from a Zipf law."""
    rng = random.Random(seed)
    weights = [1.0 / (rank ** s) for rank in range(1, vocabulary + 1)]
    population = range(vocabulary)
    return [rng.choices(population, weights, k=length) for _ in range(count)]
