"""make install's result: an importable module with a stub that matches it."""
import ast
import os
import re
import subprocess

import pytest

import durevarare
from conftest import BUILD_DIR, REPO


def test_installs_into_a_prefix_and_imports_from_anywhere(tmp_path):
    prefix = tmp_path / "prefix"
    result = subprocess.run(["cmake", "--install", str(BUILD_DIR), "--prefix", str(prefix)], capture_output=True)
    assert result.returncode == 0, result.stderr.decode()
    site = list(prefix.glob("lib/python3.9/site-packages"))
    assert site, list(prefix.rglob("*"))
    assert (site[0] / "durevarare.pyi").exists()
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env["PYTHONPATH"] = str(site[0])
    probe = subprocess.run([os.sys.executable, "-c", "import durevarare; print(durevarare.__file__); "
                            "m = durevarare.BM25(); m.train(['a']); print(m.encode_query(['a']))"],
                           capture_output=True, text=True, cwd=str(tmp_path), env=env)
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.splitlines() == [str(next(site[0].glob("durevarare*.so"))), "{'a': 1.0}"]


def stub_signatures():
    """class -> method -> [rendered signature], from the stub, in the binding's own notation."""
    tree = ast.parse((REPO / "durevarare.pyi").read_text())
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
                part = f"{arg.arg}: {ast.unparse(arg.annotation)}"
                if default is not None:
                    part += f" = {ast.unparse(default)}"
                parts.append(part)
            methods.setdefault(fn.name, []).append(f"{fn.name}({', '.join(parts)}) -> {ast.unparse(fn.returns)}")
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
