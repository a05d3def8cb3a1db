"""The documentation as a user meets it: every Python block of the README and
of the user guide runs, in order, in a fresh venv with the installed wheel,
from another folder; the pages build without a warning."""
import json
import re
import shutil
import subprocess
import sys

import pytest

from conftest import REPO
from test_packaging import DEVELOPMENT_PYTHON, build_wheel, clean_env, run  # noqa: F401  (a fixture)

# A block whose first line says so is meant to fail with that exception.
FAILS = re.compile(r"^# fails: (\w+)\n")
RUNNER = """
import json, sys, traceback
namespace = {"__name__": "__main__"}
for number, (source, expected) in enumerate(json.load(open(sys.argv[1], encoding="utf-8")), 1):
    try:
        exec(compile(source, f"{sys.argv[2]}, block {number}", "exec"), namespace)
    except BaseException as error:
        if type(error).__name__ != expected:
            traceback.print_exc()
            sys.exit(f"{sys.argv[2]}, block {number} failed")
    else:
        if expected:
            sys.exit(f"{sys.argv[2]}, block {number} was meant to fail with {expected}, and did not")
"""


def markdown_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def rst_blocks(text):
    """The bodies of `.. code-block:: python` directives, dedented."""
    blocks = []
    for match in re.finditer(r"^\.\. code-block:: python\n((?:\n|   .*\n)+)", text, flags=re.M):
        lines = match.group(1).splitlines()
        blocks.append("\n".join(line[3:] for line in lines).strip("\n") + "\n")
    return blocks


def pages():
    return {"README.md": markdown_blocks((REPO / "README.md").read_text(encoding="utf-8")),
            "docs/guide.rst": rst_blocks((REPO / "docs" / "guide.rst").read_text(encoding="utf-8"))}


def test_the_block_finders_see_every_block():
    for name, blocks in pages().items():
        text = (REPO / name).read_text(encoding="utf-8")
        assert len(blocks) == text.count("```python") + text.count(".. code-block:: python") >= 4, name
        assert all(block.strip() for block in blocks), name


@pytest.mark.skipif(not DEVELOPMENT_PYTHON, reason="one interpreter runs the examples")
def test_every_python_example_runs_against_the_installed_wheel(tmp_path, clean_env):
    wheel = build_wheel(REPO, tmp_path / "dist", clean_env)
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, env=clean_env)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", wheel, env=clean_env)
    bare_env = {key: value for key, value in clean_env.items() if not key.startswith("DUREVARARE_")}
    for name, blocks in pages().items():
        folder = tmp_path / name.replace("/", "_")
        folder.mkdir()
        listed = [(block, (FAILS.match(block) or [None, None])[1]) for block in blocks]
        (folder / "blocks.json").write_text(json.dumps(listed), encoding="utf-8")
        (folder / "runner.py").write_text(RUNNER, encoding="utf-8")
        result = subprocess.run([str(python), "runner.py", "blocks.json", name], cwd=folder, env=bare_env,
                                capture_output=True, text=True, timeout=600)
        assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(not DEVELOPMENT_PYTHON, reason="one interpreter builds the pages")
@pytest.mark.skipif(subprocess.run(["/usr/bin/python3", "-c", "import sphinx"], capture_output=True).returncode != 0,
                    reason="no Sphinx for /usr/bin/python3 (scripts/setup.sh docs installs it)")
def test_the_pages_build_without_a_warning_and_the_readme_links_resolve(tmp_path):
    out = tmp_path / "html"
    result = subprocess.run(["/usr/bin/python3", "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
                             "-d", str(tmp_path / "doctrees"), str(REPO / "docs"), str(out)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert {"index.html", "guide.html", "api.html", "changelog.html"} <= {path.name for path in out.iterdir()}
    api = (out / "api.html").read_text(encoding="utf-8")
    assert "durevarare_search.Index.update" in api and "durevarare.BM25.encode_query" in api
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    links = re.findall(r"\]\(([^)#:]+)\)", readme)
    assert links and all((REPO / link).is_file() for link in links), links
    shutil.rmtree(out)
