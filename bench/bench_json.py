"""The JSON reader and writer on a model-shaped document of 1M token entries,
against CPython's json module on the same text."""
import json
import random

import durevarare_bench

from harness import interleave, median, paired_ratio, table


def model_text(entries=1_000_000, seed=5):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz中文分词搜索引擎"
    keys = sorted({"".join(rng.choices(alphabet, k=rng.randint(3, 12))) for _ in range(int(entries * 1.05))})[:entries]
    members = ",\n".join(f'    "{key}" : {rng.randint(1, 5000)}' for key in keys)
    return ('{\n  "_b" : 0.750000,\n  "_doc_count" : 100000,\n  "_doc_length_average" : 231.456000,\n'
            '  "_doc_token_frequency" : {\n' + members + '\n  },\n  "_k1" : 1.200000\n}')


def run(rounds):
    text = model_text()
    megabytes = len(text.encode()) / 1e6
    document = durevarare_bench.JsonDocument(text)
    assert document.members() == 5
    parsed = json.loads(text)
    times = interleave({
        "parse": lambda: durevarare_bench.JsonDocument(text),
        "json.loads": lambda: json.loads(text),
        "serialize": document.serialize,
        "json.dumps": lambda: json.dumps(parsed, indent=2, ensure_ascii=False),
    }, rounds=rounds)
    rows = [
        ["parse", f"{megabytes / median(times['parse']):.0f}", f"{megabytes / median(times['json.loads']):.0f}",
         f"{paired_ratio(times, 'json.loads', 'parse'):.2f}x"],
        ["serialize", f"{megabytes / median(times['serialize']):.0f}",
         f"{megabytes / median(times['json.dumps']):.0f}", f"{paired_ratio(times, 'json.dumps', 'serialize'):.2f}x"],
    ]
    print(f"document: {megabytes:.1f} MB, 1M token entries\n")
    print(table(["operation", "durevarare MB/s", "CPython json MB/s", "speed-up"], rows))
