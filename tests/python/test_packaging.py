"""The distribution as a user meets it: the wheel built offline, installed
into a fresh venv, imported from elsewhere with the README's line for the
bundled dictionaries, type-checked with mypy, and uninstalled without a trace."""
import ast
import os
import re
import shutil
import subprocess
import sys

import pytest

import durevarare
from conftest import REPO

WHEELHOUSE = REPO / "wheelhouse"
STUB = REPO / "durevarare-stubs" / "__init__.pyi"

TYPED = """
import durevarare
model = durevarare.BM25(0.75, k1=1.2)
model.train(("a", "b"))
model.train([1, 2])
model.b(0.5)
weights: dict = model.encode_document([b"a"])
query: "dict[int, float]" = model.encode_query([1])
tokens: "list[str]" = durevarare.Jieba("d", "h", "", "i", "s").cut("text")
"""
UNTYPED = "import durevarare\ndurevarare.BM25().encode_query(3)\n"


def run(*command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=1200, **options)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def files_under(folder):
    return {str(path.relative_to(folder)) for path in folder.rglob("*")
            if path.is_file() and "__pycache__" not in path.parts}


def dictionary_line():
    """The README's one line that builds a Jieba from the bundled dictionaries."""
    lines = [line for line in (REPO / "README.md").read_text().splitlines() if '"durevarare-dict"' in line]
    assert len(lines) == 1, lines
    return lines[0].strip()


def test_wheel_installs_type_checks_and_uninstalls(tmp_path):
    if not list(WHEELHOUSE.glob("setuptools-*.whl")):
        pytest.skip("no wheelhouse: run scripts/setup.sh wheel")
    clean_env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    if shutil.which("clang++"):
        clean_env.setdefault("CXX", "clang++")
    run(sys.executable, "-m", "pip", "wheel", "--no-index", "--find-links", WHEELHOUSE, "--no-deps",
        "--wheel-dir", tmp_path / "dist", REPO, env=clean_env)
    wheel, = (tmp_path / "dist").glob("durevarare-*-cp39-cp39-*.whl")

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, env=clean_env)
    python = venv / "bin" / "python"
    before = files_under(venv)
    run(python, "-m", "pip", "install", "--no-index", wheel, env=clean_env)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    code = f"import pathlib, durevarare\n{dictionary_line()}\nprint(durevarare.__file__)\nprint(jieba.cut('清华大学'))"
    out = run(python, "-c", code, cwd=elsewhere, env=clean_env).splitlines()
    assert out[0].startswith(str(venv)) and out[1] == "['清华大学']"

    if subprocess.run(["/usr/bin/python3", "-c", "import mypy"], capture_output=True).returncode == 0:
        mypy = ["/usr/bin/python3", "-m", "mypy", "--python-executable", python, "--cache-dir", tmp_path / "mypy"]
        (elsewhere / "typed.py").write_text(TYPED)
        run(*mypy, "typed.py", cwd=elsewhere, env=clean_env)
        (elsewhere / "untyped.py").write_text(UNTYPED)
        flagged = subprocess.run([str(part) for part in mypy + ["untyped.py"]], cwd=elsewhere, env=clean_env,
                                 capture_output=True, text=True)
        assert flagged.returncode == 1 and 'No overload variant of "encode_query"' in flagged.stdout, flagged.stdout

    run(python, "-m", "pip", "uninstall", "-y", "durevarare", env=clean_env)
    assert files_under(venv) == before


# --- the stub against the module --------------------------------------------------------------------

# Stub annotations as the binding renders the types it converts.
RENDERED = {"Sequence[_Text]": "List[str]", "Sequence[int]": "List[int]", "_Text": "str"}


def stub_signatures():
    """class -> method -> [rendered signature], from the stub, in the binding's own notation."""
    tree = ast.parse(STUB.read_text())
    out = {}
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        methods = out.setdefault(cls.name, {})
        for fn in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
            args = fn.args
            positional = args.posonlyargs + args.args
            defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
            parts = []
            for arg, default in zip(positional, defaults):
                if arg.arg == "self":
                    parts.append(f"self: durevarare.{cls.name}")
                    continue
                annotation = ast.unparse(arg.annotation)
                part = f"{arg.arg}: {RENDERED.get(annotation, annotation)}"
                if default is not None:
                    part += f" = {ast.unparse(default)}"
                parts.append(part)
            returns = ast.unparse(fn.returns)
            methods.setdefault(fn.name, []).append(f"{fn.name}({', '.join(parts)}) -> {RENDERED.get(returns, returns)}")
    return out


def module_signatures(cls, name):
    doc = getattr(cls, name).__doc__
    return re.findall(r"^(?:\d+\. )?(" + re.escape(name) + r"\(.*\) -> .*)$", doc, flags=re.M)


def test_stub_matches_the_module():
    stub = stub_signatures()
    assert set(stub) == {"BM25", "Jieba"}
    for class_name, methods in stub.items():
        cls = getattr(durevarare, class_name)
        public = [name for name in vars(cls) if not name.startswith("_")] + ["__init__"]
        assert sorted(methods) == sorted(public)
        for name, signatures in methods.items():
            assert signatures == module_signatures(cls, name), name
