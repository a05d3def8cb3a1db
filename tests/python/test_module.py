import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import durevarare
from conftest import REPO, module_file

PYENV_ROOT = pathlib.Path(
    subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    or pathlib.Path.home() / ".pyenv")


def test_module_shows_only_its_classes_in_order():
    assert durevarare.__doc__ is None
    own = [name for name in vars(durevarare) if not name.startswith("__")]
    assert own[0] == "BM25"
    assert own == [name for name in ("BM25", "Jieba") if hasattr(durevarare, name)]


def test_second_import_returns_the_same_module():
    import importlib
    assert importlib.import_module("durevarare") is durevarare


OWN = "%d.%d" % sys.version_info[:2]
PLAIN_IMPORT = """
import sys
try:
    import durevarare
except ImportError as error:
    print(str(error) == ("Python version mismatch: module was compiled for Python " + sys.argv[1] + ", "
                         "but the interpreter version is incompatible: " + sys.version + "."))
    print(error)
"""


def other_interpreters():
    for minor in range(8, 14):
        version = f"3.{minor}"
        if version != OWN:
            found = sorted(PYENV_ROOT.glob(f"versions/{version}.*/bin/python"))
            yield pytest.param(found[-1] if found else None, id=version)


# Each build refuses every other version: where the loader gets as far as the
# entry, with the version check's message. Another version's loader may
# refuse the file first, for a C API symbol it lacks, which is a refusal too;
# never for the 3.9 build under 3.8 or 3.10 (its symbols new in 3.9 are weak).
@pytest.mark.parametrize("python", other_interpreters())
def test_other_interpreters_are_refused_with_import_error(python, tmp_path):
    if python is None:
        pytest.skip("no such CPython under pyenv")
    # A name that every interpreter's import system takes for an extension module.
    shutil.copy(module_file(), tmp_path / "durevarare.so")
    result = subprocess.run([str(python), "-c", PLAIN_IMPORT, OWN], capture_output=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert result.returncode == 0, result.stderr.decode()
    first, message = result.stdout.decode().splitlines()[:2]
    version = python.parts[-3].rsplit(".", 1)[0]
    if first != "True" and not (OWN == "3.9" and version in ("3.8", "3.10")):
        assert "undefined symbol" in message, message
    else:
        assert first == "True", message
        assert f"incompatible: {version}." in message


def test_the_only_export_is_the_init_function():
    result = subprocess.run(["nm", "-D", "--defined-only", str(module_file())], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm not available")
    assert [line.split()[-1] for line in result.stdout.splitlines()] == ["PyInit_durevarare"]


def test_the_binary_holds_no_path_of_the_build_tree():
    assert str(REPO).encode() not in module_file().read_bytes()
