"""dump and load of a model with 1M distinct tokens, against the same round
trip in Python with the json module (json.dump of an equal dict to a file;
reading the file and json.loads)."""
import json
import os
import tempfile

import durevarare

from harness import interleave, median, paired_ratio, table


def run(rounds):
    model = durevarare.BM25()
    for start in range(0, 1_000_000, 1000):
        model.train([f"tok{i:07d}" for i in range(start, start + 1000)])
    folder = tempfile.mkdtemp()
    native_path, python_path = os.path.join(folder, "native.json"), os.path.join(folder, "python.json")
    model.dump(native_path)
    with open(native_path, encoding="utf-8") as handle:
        text = handle.read()
    document = json.loads(text)

    def python_dump():
        with open(python_path, "w", encoding="utf-8") as handle:
            json.dump(document, handle, indent=2, ensure_ascii=False)

    def python_load():
        with open(python_path, encoding="utf-8") as handle:
            return json.loads(handle.read())

    def native_load():
        with open(native_path, encoding="utf-8") as handle:
            durevarare.BM25().load(handle.read())

    python_dump()
    times = interleave({"dump": lambda: model.dump(native_path), "json.dump": python_dump,
                        "load": native_load, "json.loads": python_load}, rounds=rounds)
    megabytes = os.path.getsize(native_path) / 1e6
    rows = []
    for native, python in (("dump", "json.dump"), ("load", "json.loads")):
        rows.append([native, f"{median(times[native]):.3f}", f"{megabytes / median(times[native]):.0f}",
                     f"{median(times[python]):.3f}", f"{megabytes / median(times[python]):.0f}",
                     f"{paired_ratio(times, python, native):.2f}x"])
    for path in (native_path, python_path):
        os.remove(path)
    os.rmdir(folder)
    print(f"model: 1M distinct tokens, file {megabytes:.1f} MB (load includes reading the file)\n")
    print(table(["operation", "durevarare s", "MB/s", "Python json s", "MB/s", "speed-up"], rows))
