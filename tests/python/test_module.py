import os
import pathlib
import subprocess

import pytest

import durevarare
from conftest import module_file, run_python

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


LOAD_BY_PATH = """
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("durevarare", {path!r})
spec = importlib.util.spec_from_file_location("durevarare", {path!r}, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(str(error) == ("Python version mismatch: module was compiled for Python 3.9, "
                         "but the interpreter version is incompatible: " + sys.version + "."))
    print(error)
"""


@pytest.mark.parametrize("version", ["3.8", "3.10"])
def test_other_interpreters_are_refused_with_import_error(version):
    candidates = sorted(PYENV_ROOT.glob(f"versions/{version}.*/bin/python"))
    if not candidates:
        pytest.skip(f"no CPython {version} under {PYENV_ROOT}")
    result = run_python(LOAD_BY_PATH.format(path=str(module_file())), python=str(candidates[-1]))
    assert result.returncode == 0, result.stderr.decode()
    first, message = result.stdout.decode().splitlines()[:2]
    assert first == "True", message
    assert f"incompatible: {version}." in message


def test_the_only_export_is_the_init_function():
    result = subprocess.run(["nm", "-D", "--defined-only", str(module_file())], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm not available")
    exported = [line.split()[-1] for line in result.stdout.splitlines() if " T " in line]
    assert exported == ["PyInit_durevarare"]
