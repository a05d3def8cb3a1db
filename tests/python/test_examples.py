"""The main job: search over real Chinese text."""
import os
import random
import subprocess
import sys

import pytest

from conftest import DICT_DIR, REPO, run_python

sys.path.insert(0, str(REPO / "examples"))
import search  # noqa: E402

pytestmark = pytest.mark.skipif(not os.path.exists(search.DEFAULT_CORPUS),
                                reason="fortunes-zh corpus not installed")
SLICE = 600


@pytest.fixture(scope="module")
def texts():
    return search.read_fortunes(search.DEFAULT_CORPUS)[:SLICE]


@pytest.fixture(scope="module")
def index(texts):
    return search.build_index(texts, search.make_analyzer(str(DICT_DIR)), threads=2, idf="occurrences")


@pytest.fixture(scope="module")
def words(index, texts):
    return [index.analyzer.document_words(text) for text in texts]


def test_a_documents_rarest_words_find_it_first(index, words):
    frequency = {}
    for document in words:
        for word in document:
            frequency[word] = frequency.get(word, 0) + 1
    checked = 0
    for position in range(0, len(words), 37):
        rarest = sorted(set(words[position]), key=lambda w: (frequency[w], w))[:3]
        if len(rarest) < 3 or frequency[rarest[-1]] > 1:
            continue  # only words that occur in this document alone identify it
        assert index.search(" ".join(rarest), k=1)[0][0] == position, rarest
        checked += 1
    assert checked >= 5


def test_scores_are_exactly_the_inner_products(index, words):
    model = index.model()
    for text in search.DEFAULT_QUERIES + ["程序 电脑 软件"]:
        query = index.query_vector(text)
        assert query == model.encode_query(index.analyzer.query_words(text))
        for doc, score in index.search(text, k=10):
            vector = model.encode_document(words[doc])
            # Added in the query's order, one by one (3.12's sum() compensates rounding).
            total = None
            for word, weight in query.items():
                if word in vector:
                    total = weight * vector[word] if total is None else total + weight * vector[word]
            assert score == total


def test_cut_with_threads_equals_cut_serially(index, texts, words):
    assert index.analyzer.document_words_many(texts, threads=2) == words


def test_poems_are_read_from_every_array_of_objects_with_paragraphs():
    # Folders and files in name order; strings only from the paragraphs.
    assert search.read_poems(str(REPO / "tests" / "python" / "fixtures" / "poetry")) == [
        "人生若只如初見",
        "床前明月光，疑是地上霜。舉頭望明月，低頭思故鄉。",
        "春眠不覺曉，處處聞啼鳥。",
        "",
    ]


def test_demo_command_line(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("今天天气很好，我们去公园散步。\n\n计算机程序需要测试。\n\n\n人工智能改变世界。\n", encoding="utf-8")
    result = run_python(
        f"import sys; sys.argv = ['search.py', '--corpus', {str(corpus)!r}, '--query', '程序测试', "
        f"'--query', '人工智能', '--top', '1', '--no-progress', '--dict-dir', {str(DICT_DIR)!r}]; "
        f"sys.path.insert(0, {str(REPO / 'examples')!r}); import search; search.main(sys.argv[1:])")
    out = result.stdout.decode()
    assert result.returncode == 0, result.stderr.decode()
    assert "3 documents" in out
    assert "query: 程序测试" in out and "计算机程序需要测试。" in out
    assert "1. " in out.split("query: 人工智能")[1].split("\n")[1] and "人工智能改变世界" in out
    for line in ("add ", "query latency", "p99"):
        assert line in out


def test_the_program_runs_on_a_slice_of_the_corpus():
    result = subprocess.run([sys.executable, str(REPO / "examples" / "search.py"), "--limit", "300",
                             "--dict-dir", str(DICT_DIR), "--no-progress", "--query", "Debian 项目"],
                            capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    out = result.stdout.decode()
    assert "query: Debian 项目" in out and "1. " in out and "p99" in out
