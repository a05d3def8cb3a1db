"""The distribution as a user meets it: the wheel for the running interpreter
built offline, its tag checked against what the module needs, installed into
a fresh venv, imported from elsewhere with the README's line for the bundled
dictionaries, type-checked with mypy, and uninstalled without a trace."""
import ast
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

import durevarare
from conftest import CPPJIEBA_DIR, REPO

sys.path.insert(0, str(REPO / "build_backend"))
import durevarare_build  # noqa: E402

STUB = REPO / "durevarare-stubs" / "__init__.pyi"
OPENCC_DIR = REPO / "node_modules" / "opencc"
TAG = "cp%d%d" % sys.version_info[:2]
DEVELOPMENT_PYTHON = (REPO / ".python-version").read_text().strip().rsplit(".", 1)[0] == "%d.%d" % sys.version_info[:2]
# The libraries a manylinux wheel may need from the system (PEP 600's baseline).
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2",
                    "librt.so.1", "ld-linux-x86-64.so.2"}

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


# A Jieba of the dictionaries the wheel installs beside the module, as the guide builds one.
BUNDLED_JIEBA = """folder = pathlib.Path(durevarare.__file__).with_name("durevarare-dict")
jieba = durevarare.Jieba(*(str(folder / name) for name in (
    "jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8")))"""


SEARCH_TYPED = """
from typing import List, Tuple, Union
from durevarare_search import Analyzer, Index, sparse_vector, token_id
index = Index(Analyzer(query_cut="cut"), idf="documents")
index.add("a", "如何取消订单")
index.add_many([(1, "怎么开发票")], progress=True)
results: List[Tuple[Union[str, int], float]] = index.search("发票", k=3)
ids: int = token_id("发票", bits=64)
vector = sparse_vector(index.query_vector("发票"))
index.save("x.index")
again: Index = Index.load("x.index")
"""


def quick_start():
    """The README's quick start: the Python block after the pip install line."""
    text = (REPO / "README.md").read_text()
    block = text.split("## Quick start", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    assert len(block.strip().splitlines()) <= 10
    return block


def build_wheel(source, dist, env):
    run(sys.executable, "-m", "pip", "wheel", "--no-index", "--no-deps", "--wheel-dir", dist, source, env=env)
    wheel, = dist.glob(f"durevarare-*-{TAG}-{TAG}-manylinux_2_*.whl")
    return wheel


@pytest.fixture
def clean_env():
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    if shutil.which("clang++"):
        env.setdefault("CXX", "clang++")
    return env


def test_wheel_tag_promises_no_more_than_its_shared_objects_need(tmp_path, clean_env):
    wheel = build_wheel(REPO, tmp_path / "dist", clean_env)
    promised = int(re.search(r"manylinux_2_(\d+)_", wheel.name).group(1))
    newest = dict(durevarare_build.BASELINES)[promised]  # what that tag's baseline ships
    with zipfile.ZipFile(wheel) as archive:
        objects = [name for name in archive.namelist() if name.endswith(".so") or ".so." in name]
        archive.extractall(tmp_path / "wheel", objects)
    assert any(name.startswith("durevarare.") for name in objects) and "durevarare_search/_native" in " ".join(objects)
    for name in objects:
        symbols = run("objdump", "-T", "-p", tmp_path / "wheel" / name)
        versions = set(re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_(\d+(?:\.\d+)+)\b", symbols))
        assert {family for family, _ in versions} >= {"GLIBC", "GLIBCXX"}, name
        for family, version in versions:
            needed = tuple(map(int, version.split(".")))
            limit = (2, promised) if family == "GLIBC" else newest[family]
            assert needed <= limit, (name, family, version, wheel.name)
        assert set(re.findall(r"NEEDED\s+(\S+)", symbols)) <= SYSTEM_LIBRARIES, name


@pytest.mark.parametrize("setting, value, refusal", [
    ("implementation", "pypy", "builds for CPython only, not pypy"),
    ("Py_GIL_DISABLED", 1, "without the GIL (free-threaded) is not supported"),
    ("abiflags", "d", "with ABI flags 'd' is not supported"),
    ("version_info", (3, 14), "is not supported (3.9 to 3.13 are)"),
])
def test_the_backend_refuses_interpreters_its_tag_cannot_describe(monkeypatch, capsys, setting, value, refusal):
    if setting == "implementation":
        monkeypatch.setattr(sys, "implementation", type("Implementation", (), {"name": value}))
    elif setting == "Py_GIL_DISABLED":
        monkeypatch.setattr(durevarare_build.sysconfig, "get_config_var", lambda name: value)
    elif setting == "abiflags":
        durevarare_build.sysconfig.get_config_vars()  # read before the flags change under it
        monkeypatch.setattr(sys, "abiflags", value, raising=False)
    else:
        monkeypatch.setattr(durevarare_build, "SUPPORTED", ())
    with pytest.raises(SystemExit) as refused:
        durevarare_build.check_interpreter()
    assert refusal in str(refused.value)


def test_wheel_installs_type_checks_and_uninstalls(tmp_path, clean_env):
    wheel = build_wheel(REPO, tmp_path / "dist", clean_env)

    # Debian's own interpreter gets a venv that sees Debian's Python packages beside the wheel.
    debian = sys.executable.startswith("/usr/bin/")
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", *(["--system-site-packages"] if debian else []), venv, env=clean_env)
    python = venv / "bin" / "python"
    before = files_under(venv)
    run(python, "-m", "pip", "install", "--no-index", wheel, env=clean_env)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    code = f"import pathlib, durevarare\n{BUNDLED_JIEBA}\nprint(durevarare.__file__)\nprint(jieba.cut('清华大学'))"
    out = run(python, "-c", code, cwd=elsewhere, env=clean_env).splitlines()
    assert out[0].startswith(str(venv)) and out[1] == "['清华大学']"
    if debian:
        run(python, "-c", "import pytest, durevarare", cwd=elsewhere, env=clean_env)
    # The quick start as written, with the bundled dictionaries and no paths.
    bare_env = {key: value for key, value in clean_env.items() if key != "DUREVARARE_DICT_DIR"}
    assert run(python, "-c", quick_start(), cwd=elsewhere, env=bare_env).startswith("a2 ")
    assert (elsewhere / "help.index").is_file()

    if subprocess.run(["/usr/bin/python3", "-c", "import mypy"], capture_output=True).returncode == 0:
        mypy = ["/usr/bin/python3", "-m", "mypy", "--python-executable", python, "--cache-dir", tmp_path / "mypy"]
        # mypy asks the venv's interpreter for its search paths by running a
        # script from mypy's own folder, whose types.py shadows the standard
        # library's on 3.12 and later unless the script's folder stays off sys.path.
        clean_env = {**clean_env, "PYTHONSAFEPATH": "1"}
        (elsewhere / "typed.py").write_text(TYPED)
        run(*mypy, "typed.py", cwd=elsewhere, env=clean_env)
        (elsewhere / "search_typed.py").write_text(SEARCH_TYPED)
        run(*mypy, "search_typed.py", cwd=elsewhere, env=clean_env)
        run(*mypy, "-p", "durevarare_search", cwd=elsewhere, env=clean_env)  # the package as installed, typed
        (elsewhere / "untyped.py").write_text(UNTYPED)
        flagged = subprocess.run([str(part) for part in mypy + ["untyped.py"]], cwd=elsewhere, env=clean_env,
                                 capture_output=True, text=True)
        assert flagged.returncode == 1 and 'No overload variant of "encode_query"' in flagged.stdout, flagged.stdout

    run(python, "-m", "pip", "uninstall", "-y", "durevarare", env=clean_env)
    assert files_under(venv) == before


def build_sdist(folder):
    folder.mkdir()
    name = run(sys.executable, "-c", "import sys, durevarare_build; print(durevarare_build.build_sdist(sys.argv[1]))",
               folder, cwd=REPO / "build_backend").strip()
    return folder / name


def unpack(sdist, folder):
    with tarfile.open(sdist) as archive:
        archive.extractall(folder)
    root, = folder.iterdir()
    return root


@pytest.mark.skipif(not DEVELOPMENT_PYTHON, reason="one full build from a fresh tree is enough")
def test_an_sdist_is_reproducible_and_builds_the_same_wheel_and_an_editable_install(tmp_path, clean_env):
    first, second = build_sdist(tmp_path / "one"), build_sdist(tmp_path / "two")
    assert first.read_bytes() == second.read_bytes()
    tracked = set(run("git", "ls-files", cwd=REPO).splitlines())
    with tarfile.open(first) as archive:
        members = archive.getmembers()
    assert {member.name.split("/", 1)[1] for member in members} == tracked | {"MANIFEST", "PKG-INFO"}
    assert {(member.uid, member.uname, member.mtime) for member in members} == {(0, "root", 315532800)}

    # Unpacked in a folder whose path holds a space, it builds from nothing
    # the very wheel that this tree's build folder gives, whatever it built before.
    source = unpack(first, tmp_path / "source with space")
    env = {**clean_env, "DUREVARARE_CPPJIEBA_DIR": str(CPPJIEBA_DIR), "DUREVARARE_OPENCC_DIR": str(OPENCC_DIR)}
    fresh = build_wheel(source, tmp_path / "fresh", env)
    assert fresh.read_bytes() == build_wheel(REPO, tmp_path / "here", clean_env).read_bytes()
    # An sdist of the unpacked sdist (no git there: its MANIFEST) holds the same files.
    again = run(sys.executable, "-c", "import sys, durevarare_build; print(durevarare_build.build_sdist(sys.argv[1]))",
                tmp_path, cwd=source / "build_backend").strip()
    assert (tmp_path / again).read_bytes() == first.read_bytes()

    # Installed editable, it imports from elsewhere and shows an edit at once.
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, env=clean_env)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "-e", source, env=env)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    code = "import durevarare, durevarare_search; print(durevarare_search.Index().search('x'), durevarare.BM25)"
    assert run(python, "-c", code, cwd=elsewhere, env=clean_env).startswith("[] ")
    with open(source / "durevarare_search" / "__init__.py", "a", encoding="utf-8") as package:
        package.write("EDITED = 'yes'\n")
    assert run(python, "-c", "import durevarare_search; print(durevarare_search.EDITED)", cwd=elsewhere,
               env=clean_env).strip() == "yes"


def test_a_build_that_cannot_fetch_its_dependencies_says_how_to_provide_them(tmp_path, clean_env):
    source = tmp_path / "source"
    for name in ("build_backend/durevarare_build.py", "setup.cfg", "package.json", "package-lock.json"):
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, source / name)
    offline = tmp_path / "bin"
    offline.mkdir()
    (offline / "npm").write_text("#!/bin/sh\necho 'npm ERR! network request to registry.npmjs.org failed' >&2\nexit 1\n")
    (offline / "npm").chmod(0o755)
    env = {key: value for key, value in clean_env.items() if not key.startswith("DUREVARARE_")}
    env["PATH"] = f"{offline}{os.pathsep}{env['PATH']}"
    failed = subprocess.run([sys.executable, source / "build_backend" / "durevarare_build.py", "module"], cwd=source,
                            env=env, capture_output=True, text=True, timeout=120)
    assert failed.returncode == 1 and "Traceback" not in failed.stderr, failed.stderr
    message = failed.stderr.strip().splitlines()[-1]
    assert "cppjieba headers and dictionaries are missing" in message and "network request" in message, message
    assert "set DUREVARARE_CPPJIEBA_DIR" in message, message


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
