import contextlib
import math
import os
import random
import subprocess
import sys

import pytest

from durevarare import BM25
from conftest import SHARED, run_python

EXAMPLE = ('{\n  "_b" : 0.750000,\n  "_doc_count" : 1,\n  "_doc_length_average" : 3.000000,\n'
           '  "_doc_token_frequency" : {\n    "a" : 2,\n    "b" : 1\n  },\n  "_k1" : 1.200000\n}')
DOC = '{"_b": 0.5, "_doc_count": 2, "_doc_length_average": 1.5, "_doc_token_frequency": %s, "_k1": 1.0}'


def read(path):
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def dump_text(model, tmp_path, name="model.json"):
    path = tmp_path / name
    model.dump(str(path))
    return read(path)


def test_example_document_round_trip(tmp_path):
    model = BM25()
    model.train(["a", "b", "a"])
    assert dump_text(model, tmp_path) == EXAMPLE
    restored = BM25(0.1, 0.1)
    assert restored.load(EXAMPLE) is None
    assert (restored.b(), restored.k1()) == (0.75, 1.2)
    assert restored.encode_query(["a", "b"]) == model.encode_query(["a", "b"])


def test_signatures_of_load_and_dump():
    assert BM25.load.__doc__.startswith("load(self: durevarare.BM25, arg0: str) -> None")
    assert BM25.dump.__doc__.startswith("dump(self: durevarare.BM25, arg0: str) -> None")
    with pytest.raises(TypeError):
        BM25().load(text=EXAMPLE)


def test_six_decimals_and_integer_keys(tmp_path):
    model = BM25()
    model.train([7, -7])
    model.train(["x"])
    model.train(["x", "y", "z", "w", "v", "u", "t"])
    text = dump_text(model, tmp_path)
    assert '"_doc_length_average" : 3.333333' in text
    assert text.index('"-7"') < text.index('"7"') < text.index('"t"')
    restored = BM25()
    restored.load(text)
    assert restored.encode_query([7]) == {7: 1.0}


@pytest.mark.parametrize("text, message", [
    ("", "json data should not be empty"),
    ("{}", "load doc_count failed"),
    ("[1, 2]", "load doc_count failed"),
    ('{"_doc_count": 3, "_doc_length_average": 2.0, "_b": 0.25, "_k1": 1}', "load k1 failed"),
    ('{"_doc_count": 3, "_doc_length_average": 2.0, "_b": 1}', "load b failed"),
])
def test_failed_loads_change_nothing(tmp_path, text, message):
    model = BM25(0.5, 2.0)
    model.train(["q"])
    before = dump_text(model, tmp_path)
    with pytest.raises(RuntimeError, match="^" + message + "$"):
        model.load(text)
    assert dump_text(model, tmp_path) == before
    assert model.encode_query(["q"]) == {"q": 1.0}  # still trained


def test_parser_exceptions_become_value_and_index_errors():
    model = BM25()
    with pytest.raises(ValueError, match="invalid stol argument"):
        model.load('{"_doc_count": -}')
    with pytest.raises(IndexError, match="stol argument out of range"):
        model.load('{"_doc_count": 2147483648}')


def test_load_merges_token_entries():
    model = BM25()
    model.train(["z", "z"])
    model.load(DOC % '{"a": 3}')
    # z keeps its count (2), a is loaded (3): idf(z) = ln(3 / 2.5), idf(a) = ln(3 / 3.5).
    query = model.encode_query(["z", "a"])
    idf_z, idf_a = math.log(3 / 2.5), math.log(3 / 3.5)
    assert query["z"] == pytest.approx(idf_z / (idf_z + idf_a))


def test_training_after_load_keeps_the_true_average(tmp_path):
    whole = BM25()
    docs = [["a"] * n for n in (1, 2, 4, 8)]
    for doc in docs[:3]:
        whole.train(doc)
    continued = BM25()
    continued.load(dump_text(whole, tmp_path))
    continued.train(docs[3])
    whole.train(docs[3])
    assert dump_text(continued, tmp_path, "c.json") == dump_text(whole, tmp_path, "w.json")


def random_token(rng):
    kind = rng.random()
    if kind < 0.1:
        return ""
    if kind < 0.3:
        return rng.choice("\b\t\n\f\r\"\\") + "x" + rng.choice("\b\t\n\f\r\"\\")
    alphabet = [chr(rng.randint(1, 0x2FFFF)) for _ in range(8)]
    return "".join(c for c in rng.choices(alphabet, k=rng.randint(1, 6)) if not 0xD800 <= ord(c) <= 0xDFFF)


@pytest.mark.parametrize("seed", range(8))
def test_random_models_round_trip(tmp_path, seed):
    rng = random.Random(seed)
    model = BM25(rng.random(), rng.random() * 3)
    for _ in range(rng.randint(1, 30)):
        if rng.random() < 0.3:
            model.train([rng.randint(-2 ** 63, 2 ** 63 - 1) if rng.random() < 0.2 else rng.randint(-50, 50)
                         for _ in range(rng.randint(1, 20))])
        else:
            model.train([random_token(rng) for _ in range(rng.randint(1, 20))])
    text = dump_text(model, tmp_path)
    restored = BM25()
    restored.load(text)
    assert dump_text(restored, tmp_path, "again.json") == text
    probe = [random_token(rng) for _ in range(10)] + ["", "\n", '"']
    for token in probe:
        for original, copy in ((model.encode_query([token, "zz"]), restored.encode_query([token, "zz"])),
                               (model.encode_document([token, token, "q"]),
                                restored.encode_document([token, token, "q"]))):
            assert original.keys() == copy.keys()
            for key in original:
                assert copy[key] == pytest.approx(original[key], abs=1e-5)


# --- dump failures -------------------------------------------------------------------------------

def test_dump_into_a_missing_folder(tmp_path):
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        BM25().dump(str(tmp_path / "missing" / "model.json"))


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_dump_write_error_is_reported():
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to write file$"):
        BM25().dump("/dev/full")
    BM25().dump("/dev/null")


@contextlib.contextmanager
def mounted_tmpfs(path, options):
    """A small tmpfs at path; skips the test where mounting is not allowed."""
    path.mkdir()
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)], capture_output=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {result.stderr.decode().strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", str(path)], check=True)


def big_model():
    model = BM25()
    for start in range(0, 20000, 1000):
        model.train([f"token{i}" for i in range(start, start + 1000)])
    return model


def test_full_file_system_keeps_the_old_file(tmp_path):
    with mounted_tmpfs(tmp_path / "small", "size=64k") as folder:
        target = folder / "model.json"
        small = BM25()
        small.train(["a"])
        small.dump(str(target))
        before = read(target)
        with pytest.raises(RuntimeError, match="^Failed to dump: Unable to write file$"):
            big_model().dump(str(target))
        assert read(target) == before
        assert os.listdir(folder) == ["model.json"]


def test_read_only_folder(tmp_path):
    folder = tmp_path / "ro"
    if os.geteuid() != 0:
        # A file that may be written, in a folder that may not: written in place.
        folder.mkdir()
        (folder / "model.json").write_text("old")
        folder.chmod(0o555)
        try:
            BM25().dump(str(folder / "model.json"))
            assert (folder / "model.json").read_text().startswith("{")
        finally:
            folder.chmod(0o755)
        return
    with mounted_tmpfs(folder, "ro,size=64k"):
        with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
            BM25().dump(str(folder / "model.json"))


def test_dump_through_a_link_and_into_a_fifo(tmp_path):
    real = tmp_path / "real.json"
    real.write_text("old")
    real.chmod(0o600)
    (tmp_path / "link.json").symlink_to("real.json")
    model = BM25()
    model.train(["a", "b", "a"])
    model.dump(str(tmp_path / "link.json"))
    assert (tmp_path / "link.json").is_symlink()
    assert read(real) == EXAMPLE
    assert real.stat().st_mode & 0o777 == 0o600

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    model.dump(str(fifo))
    assert reader.communicate(timeout=30)[0].decode() == EXAMPLE
    assert sorted(os.listdir(tmp_path)) == ["link.json", "pipe", "real.json"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file, so no file is read-only to it")
def test_read_only_file_is_not_replaced(tmp_path):
    target = tmp_path / "model.json"
    target.write_text("old")
    target.chmod(0o444)
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        BM25().dump(str(target))
    assert target.read_text() == "old"


def test_new_files_honour_the_umask(tmp_path):
    old = os.umask(0o077)
    try:
        BM25().dump(str(tmp_path / "private.json"))
    finally:
        os.umask(old)
    assert (tmp_path / "private.json").stat().st_mode & 0o777 == 0o600


# --- robustness ----------------------------------------------------------------------------------

LOAD_ALL = """
import pathlib, sys, durevarare
files = sorted(pathlib.Path(sys.argv[1]).rglob("*.json"))
outcomes = {}
for path in files:
    model = durevarare.BM25()
    model.train(["a"])
    try:
        model.load(path.read_bytes())
        outcome = "ok"
    except Exception as error:
        outcome = type(error).__name__
    outcomes[outcome] = outcomes.get(outcome, 0) + 1
print(len(files), sorted(outcomes.items()))
"""


def test_load_of_every_json_suite_file_never_crashes():
    suite = SHARED / "data" / "json-suite"
    if not suite.exists():
        pytest.skip(f"no {suite}")
    result = subprocess.run([sys.executable, "-c", LOAD_ALL, str(suite)], capture_output=True, timeout=300,
                            env={**os.environ})
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    count = int(result.stdout.split()[0])
    assert count > 300
