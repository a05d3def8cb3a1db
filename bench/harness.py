"""Interleaved timing: every round runs each system once, in a fresh random
order, so drift of the machine hits all of them alike; ratios are taken per
round (paired) and summarised by their median."""
import gc
import random
import statistics
import time


def interleave(systems, rounds=15, seed=0):
    """systems: name -> zero-argument callable. Returns name -> list of seconds."""
    rng = random.Random(seed)
    names = list(systems)
    times = {name: [] for name in names}
    for _ in range(rounds):
        rng.shuffle(names)
        for name in names:
            gc.collect()
            start = time.perf_counter()
            systems[name]()
            times[name].append(time.perf_counter() - start)
    return times


def median(values):
    return statistics.median(values)


def paired_ratio(times, numerator, denominator):
    return statistics.median(a / b for a, b in zip(times[numerator], times[denominator]))


def table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    out = [line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(row) for row in rows]
    return "\n".join(out)
