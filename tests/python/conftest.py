import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("DUREVARARE_BUILD_DIR", REPO / "build"))
SHARED = REPO.parent / "shared"
CPPJIEBA_DIR = pathlib.Path(
    os.environ.get("DUREVARARE_CPPJIEBA_DIR", REPO / "node_modules/nodejieba/submodules/cppjieba"))
DICT_DIR = CPPJIEBA_DIR / "dict"
# The search package comes from the build folder (its files linked in beside
# its native module), on the same dictionaries.
os.environ.setdefault("DUREVARARE_DICT_DIR", str(DICT_DIR))
# The five Jieba data files, by parameter name, with no user dictionary.
JIEBA_PATHS = {
    "dict_path": str(DICT_DIR / "jieba.dict.utf8"),
    "hmm_path": str(DICT_DIR / "hmm_model.utf8"),
    "user_dict_path": "",
    "idf_path": str(DICT_DIR / "idf.utf8"),
    "stop_word_path": str(DICT_DIR / "stop_words.utf8"),
}


def module_file():
    found = sorted(BUILD_DIR.glob(f"durevarare.cpython-{sys.version_info[0]}{sys.version_info[1]}*.so"))
    assert found, f"no built module in {BUILD_DIR}"
    return found[0]


def run_python(code, *, python=sys.executable, timeout=120, env=None):
    """Runs code in a fresh interpreter that imports from the build folder."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([str(BUILD_DIR), full_env.get("PYTHONPATH", "")])
    full_env.update(env or {})
    return subprocess.run([python, "-c", code], capture_output=True, timeout=timeout, env=full_env)


@pytest.fixture
def bm25():
    import durevarare
    return durevarare.BM25()


@pytest.fixture
def worked_model():
    """b 0.75, k1 1.2, trained on "a b a" and "b"."""
    import durevarare
    model = durevarare.BM25()
    model.train(["a", "b", "a"])
    model.train(["b"])
    return model
