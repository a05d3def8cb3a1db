import os
import pathlib
import shutil
import subprocess

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


PLAIN_IMPORT = """
import sys
try:
    import durevarare
except ImportError as error:
    print(str(error) == ("Python version mismatch: module was compiled for Python 3.9, "
                         "but the interpreter version is incompatible: " + sys.version + "."))
    print(error)
"""


@pytest.mark.parametrize("version", ["3.8", "3.10"])
def test_other_interpreters_are_refused_with_import_error(version, tmp_path):
    candidates = sorted(PYENV_ROOT.glob(f"versions/{version}.*/bin/python"))
    if not candidates:
        pytest.skip(f"no CPython {version} under {PYENV_ROOT}")
    # A name that every interpreter's import system takes for an extension module.
    shutil.copy(module_file(), tmp_path / "durevarare.so")
    result = subprocess.run([str(candidates[-1]), "-c", PLAIN_IMPORT], capture_output=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert result.returncode == 0, result.stderr.decode()
    first, message = result.stdout.decode().splitlines()[:2]
    assert first == "True", message
    assert f"incompatible: {version}." in message


def test_the_only_export_is_the_init_function():
    result = subprocess.run(["nm", "-D", "--defined-only", str(module_file())], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm not available")
    assert [line.split()[-1] for line in result.stdout.splitlines()] == ["PyInit_durevarare"]


def test_the_binary_holds_no_path_of_the_build_tree():
    assert str(REPO).encode() not in module_file().read_bytes()
