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
def engine(texts):
    return search.Engine(texts, search.Tokenizer(str(DICT_DIR)), threads=2)


def test_fortunes_are_split_and_cleaned(texts):
    assert len(texts) == SLICE
    assert all("\x1b" not in text and text.strip() == text and text for text in texts)
    assert not any(line.strip() == "%" for text in texts for line in text.splitlines())


def test_a_documents_rarest_words_find_it_first(engine):
    frequency = {}
    tokens_of = engine.tokens
    for tokens in tokens_of:
        for token in tokens:
            frequency[token] = frequency.get(token, 0) + 1
    checked = 0
    for position in range(0, len(tokens_of), 37):
        tokens = tokens_of[position]
        rarest = sorted(set(tokens), key=lambda t: (frequency[t], t))[:3]
        if len(rarest) < 3 or frequency[rarest[-1]] > 1:
            continue  # only words that occur in this document alone identify it
        results, _ = engine.query(" ".join(rarest), top=1)
        assert results[0][1] == engine.ids[position], rarest
        checked += 1
    assert checked >= 5


def test_scores_are_exactly_the_inner_products(engine):
    for text in search.DEFAULT_QUERIES + ["程序 电脑 软件"]:
        results, query = engine.query(text, top=10)
        for score, doc in results:
            vector = engine.vector(engine.ids.index(doc))
            assert score == search.dot(query, vector)


@pytest.mark.parametrize("seed", range(4))
def test_threshold_search_finds_what_scoring_everything_finds(seed):
    """Random lists, weights drawn from few values (ties), query weights of both signs."""
    rng = random.Random(seed)
    words, documents = 12, 400
    vectors = [{word: rng.choice((0.25, 0.5, 0.75, 0.8125)) for word in rng.sample(range(1, words), rng.randint(1, 5))}
               for _ in range(documents)]
    capacity = [0] * words
    for vector in vectors:
        for word in vector:
            capacity[word] += 1
    index = search.SearchIndex(capacity)
    for doc, vector in enumerate(vectors):
        index.add(doc, dict(sorted(vector.items())))
    index.LONG = 30  # some lists kept in weight order, the others sorted per query
    index.finish()
    for _ in range(200):
        query = {word: rng.choice((-0.5, 0.125, 0.25, 1.0)) for word in sorted(rng.sample(range(1, words + 3), 3))}
        terms = [(word, weight) + index.postings(word) for word, weight in query.items()]
        terms = [term for term in terms if term[2]]
        for top in (1, 3, 10):
            assert index.threshold(terms, top) == index.score_all(terms, top), (query, top)


def test_cut_with_threads_equals_cut_serially(engine, texts):
    serial = [engine.tokenizer(text) for text in texts]
    assert [t for t in serial if t] == engine.tokens


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
    for line in ("cut ", "train ", "encode ", "query latency", "p99"):
        assert line in out


def test_the_program_runs_on_a_slice_of_the_corpus():
    result = subprocess.run([sys.executable, str(REPO / "examples" / "search.py"), "--limit", "300",
                             "--dict-dir", str(DICT_DIR), "--no-progress", "--query", "Debian 项目"],
                            capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    out = result.stdout.decode()
    assert "query: Debian 项目" in out and "1. " in out and "p99" in out
