"""Every build behaves alike: the same text cuts to the same tokens, and the
same training dumps to the same bytes, under each CPython that a module was
built for (build-py/cpXY, as make test builds them)."""
import json
import os
import subprocess
import sys

import pytest

from conftest import BUILD_DIR, JIEBA_PATHS, REPO, run_python

# Mixed text of every kind the segmenter meets, cut both ways, then trained
# on as str and as int tokens, encoded and dumped.
JOB = """
import json, sys, durevarare
paths, text, out = json.loads(sys.argv[1])
jieba = durevarare.Jieba(**paths)
model = durevarare.BM25(0.7, 1.3)
cuts = []
for line in text.splitlines():
    cut, search = jieba.cut(line), jieba.cut_for_search(line)
    cuts.append([cut, search])
    model.train(search)
model.train([-2**63, 2**63 - 1, 42, 42])
model.dump(out)
query = model.encode_query(cuts[0][0])
document = model.encode_document(cuts[1][1])
print(json.dumps([cuts, sorted(query.items()), sorted(document.items())], ensure_ascii=False))
"""
TEXT = "\n".join([
    "我来到北京清华大学", "他来到了网易杭研大厦，iPhone１５手机只要￥１２８",
    "小明硕士毕业于中国科学院计算所，后在日本京都大学深造", "  English words, 3.14 and 5G/256GB mixed in 中文 ",
    "結婚的和尚未結婚的", "🙂 emoji, tabs\tand\u3000full-width spaces", "",
])


def interpreters():
    listed = subprocess.run(["bash", str(REPO / "scripts" / "pythons.sh"), "--all"], capture_output=True,
                            text=True).stdout.split()
    for python in listed:
        tag = subprocess.run([python, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])"],
                             capture_output=True, text=True).stdout.strip()
        if os.path.samefile(python, sys.executable):
            continue
        yield pytest.param(python, REPO / "build-py" / tag, id=f"{tag}:{python}")


def run_job(python, modules, tmp_path, name):
    out = tmp_path / f"{name}.json"
    env = {"PYTHONPATH": str(modules)}
    result = run_python(JOB.replace("sys.argv[1]", repr(json.dumps([JIEBA_PATHS, TEXT, str(out)]))),
                        python=python, env=env, timeout=300)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout, out.read_bytes()


# Run once, from the development interpreter's suite, against each of the others.
@pytest.mark.skipif((REPO / ".python-version").read_text().strip().rsplit(".", 1)[0] != "%d.%d" % sys.version_info[:2],
                    reason="the development interpreter's suite compares every version")
@pytest.mark.parametrize("python, modules", interpreters())
def test_every_version_cuts_trains_and_dumps_alike(python, modules, tmp_path):
    if not list(modules.glob("durevarare*.so")):
        pytest.skip(f"no module built in {modules}")
    assert run_job(python, modules, tmp_path, "other") == run_job(sys.executable, BUILD_DIR, tmp_path, "own")
