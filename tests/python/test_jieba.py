import os
import pickle
import random
import re
import subprocess
import sys
import threading

import pytest

import durevarare
from durevarare import Jieba
from conftest import JIEBA_PATHS, REPO, run_python

sys.path.insert(0, str(REPO / "examples"))
import search  # noqa: E402

FORTUNES = "/usr/share/games/fortunes/chinese"
SEPARATORS = [" ", "\t", "\n", "，", "。"]
PATHS = JIEBA_PATHS


@pytest.fixture(scope="module")
def jieba():
    return Jieba(**PATHS)


@pytest.fixture(scope="module")
def dictionary_words():
    with open(PATHS["dict_path"], encoding="utf-8") as handle:
        return {line.split(" ")[0] for line in handle}


@pytest.fixture(scope="module")
def fortune_lines():
    if not os.path.exists(FORTUNES):
        pytest.skip(f"{FORTUNES} missing (Debian package fortunes-zh)")
    return [line for fortune in search.read_fortunes(FORTUNES) for line in fortune.split("\n") if line.strip()]


def search_groups(cut_tokens, search_tokens):
    """Splits the search tokens into, for each cut token, the words added before it."""
    groups, position = [], 0
    for token in cut_tokens:
        extras = []
        while search_tokens[position] != token:
            extras.append(search_tokens[position])
            position += 1
        groups.append(extras)
        position += 1
    assert position == len(search_tokens)
    return groups


def check_cut_properties(jieba, sentence, dictionary_words):
    tokens = jieba.cut(sentence)
    assert "".join(tokens) == sentence
    # Each token is a proper str: equal to (and hashing like) Python's own decoding of its bytes.
    for token in tokens:
        again = token.encode("utf-8").decode("utf-8")
        assert token == again and hash(token) == hash(again)
    for separator in SEPARATORS:
        assert sentence.count(separator) == tokens.count(separator)
    search = jieba.cut_for_search(sentence)
    for token, extras in zip(tokens, search_groups(tokens, search)):
        if len(token) < 3:
            assert extras == []
        for extra in extras:
            assert extra in token and len(extra) in (2, 3) and len(extra) < len(token)
            assert extra in dictionary_words
        lengths = [len(extra) for extra in extras]
        assert lengths == sorted(lengths)


def test_module_registers_jieba_after_bm25():
    own = [name for name in vars(durevarare) if not name.startswith("__")]
    assert own == ["BM25", "Jieba"]
    assert [name for name in vars(Jieba) if not name.startswith("_")] == ["cut", "cut_for_search"]


def test_signatures():
    assert Jieba.__init__.__doc__.startswith(
        "__init__(self: durevarare.Jieba, dict_path: str, hmm_path: str, user_dict_path: str, idf_path: str, "
        "stop_word_path: str) -> None")
    assert Jieba.cut.__doc__.startswith("cut(self: durevarare.Jieba, sentence: str) -> List[str]")
    assert Jieba.cut_for_search.__doc__.startswith(
        "cut_for_search(self: durevarare.Jieba, sentence: str) -> List[str]")


def test_construction_positional_and_keyword(jieba):
    positional = Jieba(*PATHS.values())
    assert positional.cut("我来到北京清华大学") == jieba.cut("我来到北京清华大学") == ["我", "来到", "北京", "清华大学"]


@pytest.mark.parametrize("call", [
    lambda j: j.cut(5), lambda j: j.cut(), lambda j: j.cut("a", "b"), lambda j: j.cut(text="a"),
    lambda j: j.cut("\ud800"), lambda j: j.cut_for_search(None),
])
def test_type_errors(jieba, call):
    with pytest.raises(TypeError):
        call(jieba)


def test_constructor_type_errors():
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        Jieba(*list(PATHS.values())[:4])
    with pytest.raises(TypeError):
        Jieba(**{**PATHS, "dict_path": 1})


def test_keyword_sentence_and_edge_inputs(jieba):
    assert jieba.cut(sentence="你好") == jieba.cut("你好")
    assert jieba.cut("") == [] and jieba.cut_for_search("") == []
    assert jieba.cut(b"\xff\xfe") == []  # not UTF-8: logged by the library, nothing cut
    assert jieba.cut(b"\xe4\xbd\xa0") == ["你"]
    assert jieba.cut("a b") == ["a", " ", "b"]
    assert jieba.cut("，，  ") == ["，", "，", " ", " "]


def test_bytes_tokens_decode_exactly_as_python_decodes_them(jieba):
    """Valid UTF-8 comes back joined; anything else gives [] or UnicodeDecodeError."""
    rng = random.Random(5)
    pieces = ["中".encode(), "国人".encode(), b"ab", " ".encode(), "é".encode(), "😀".encode(), "，".encode(),
              b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80\x80", b"\xe4\xb8", b"\xff"]
    for _ in range(2000):
        sentence = b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 8)))
        try:
            expected = sentence.decode("utf-8")
        except UnicodeDecodeError:
            expected = None
        for cut in (jieba.cut, jieba.cut_for_search):
            try:
                tokens = cut(sentence)
            except UnicodeDecodeError:
                assert expected is None, sentence
                continue
            if expected is None:
                assert tokens == [], sentence
            elif cut is jieba.cut:
                assert "".join(tokens) == expected
                assert tokens == jieba.cut(expected)


def test_stop_words_are_kept(jieba):
    with open(PATHS["stop_word_path"], encoding="utf-8") as handle:
        stop_words = {line.strip() for line in handle if line.strip()}
    assert "的" in stop_words
    assert "的" in jieba.cut("我的书")


def test_uninitialised_instance_and_pickling(jieba):
    blank = Jieba.__new__(Jieba)
    with pytest.raises(RuntimeError):
        blank.cut("你好")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match=r"^cannot pickle 'durevarare.Jieba' object$"):
            pickle.dumps(jieba, protocol)


def test_user_dictionaries(tmp_path, jieba):
    first, second = tmp_path / "one.txt", tmp_path / "two.txt"
    first.write_text("杭研大厦\n", encoding="utf-8")
    second.write_text("网易杭研 10 n\n", encoding="utf-8")
    sentence = "网易杭研大厦"
    plain = jieba.cut(sentence)
    assert Jieba(**{**PATHS, "user_dict_path": ""}).cut(sentence) == plain
    only_first = Jieba(**{**PATHS, "user_dict_path": str(first)}).cut(sentence)
    assert "杭研大厦" in only_first and only_first != plain
    for joiner in (";", "|"):
        both = Jieba(**{**PATHS, "user_dict_path": f"{second}{joiner}{first}"})
        assert both.cut("网易杭研") == ["网易杭研"]
        assert "杭研大厦" in both.cut("杭研大厦")


FATAL = """
import durevarare, sys
paths = {paths!r}
try:
    durevarare.Jieba(**paths)
except Exception as error:
    print(type(error).__name__)
    print(error)
else:
    print("constructed")
"""

HMM_HEAD = "0 0 0 0\n" * 5


@pytest.mark.parametrize("field, content, expected", [
    ("dict_path", None, "FileNotFoundError"),
    ("dict_path", "", "ValueError"),
    ("dict_path", "a 1 n\nb 2\n", "ValueError"),
    ("dict_path", "a 1 n\n\nb 1 n\n", "ValueError"),
    ("user_dict_path", None, "FileNotFoundError"),
    ("hmm_path", None, "FileNotFoundError"),
    ("hmm_path", "0 0 0 0\n0 0 0 0\n", "ValueError"),
    ("hmm_path", "0 0 0\n", "ValueError"),
    ("hmm_path", HMM_HEAD + "a:1,b\n", "ValueError"),
    ("hmm_path", HMM_HEAD + "a:1\nb:1\nc:1\n", "ValueError"),
    ("idf_path", None, "FileNotFoundError"),
    ("stop_word_path", None, "FileNotFoundError"),
])
def test_fatal_conditions_raise_and_name_the_file(tmp_path, field, content, expected):
    path = tmp_path / f"{field}.bad"
    if content is not None:
        path.write_text(content, encoding="utf-8")
    paths = {**PATHS, field: str(path)}
    if field == "user_dict_path":
        paths[field] = f"{PATHS['idf_path']};{path}"
    result = run_python(FATAL.format(paths=paths))
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    kind, message = result.stdout.decode().splitlines()[:2]
    assert kind == expected
    assert str(path) in message


@pytest.mark.parametrize("field", ["dict_path", "hmm_path", "idf_path", "stop_word_path"])
def test_empty_paths_are_not_replaced_by_defaults(field):
    with pytest.raises(FileNotFoundError):
        Jieba(**{**PATHS, field: ""})


def test_directory_as_dictionary_is_reported(tmp_path):
    with pytest.raises(IsADirectoryError) as error:
        Jieba(**{**PATHS, "dict_path": str(tmp_path)})
    assert error.value.filename == str(tmp_path)


def test_error_level_conditions_still_construct(tmp_path):
    dictionary = tmp_path / "dict.txt"
    dictionary.write_bytes(open(PATHS["dict_path"], "rb").read() + b"\xff\xfe 3 n\n")
    idf = tmp_path / "idf.txt"
    idf.write_text("\n单 1.0\n只有一个字段\n", encoding="utf-8")
    result = run_python(FATAL.format(paths={**PATHS, "dict_path": str(dictionary), "idf_path": str(idf)}) +
                        "\nprint(durevarare.Jieba(**paths).cut('你好世界'))")
    assert result.returncode == 0
    assert result.stdout.decode().splitlines()[0] == "constructed"
    stderr = result.stderr.decode(errors="replace")
    assert "ERROR" in stderr
    # The library's lines name its sources within its own tree, not where it was built.
    assert re.search(r"^\S+ \S+ cppjieba/\w+\.hpp:\d+ ERROR ", stderr, flags=re.M), stderr


def test_cut_properties_on_real_text(jieba, fortune_lines, dictionary_words):
    for line in fortune_lines[::7]:
        check_cut_properties(jieba, line, dictionary_words)


def test_cut_properties_on_generated_mixed_text(jieba, dictionary_words):
    rng = random.Random(11)
    pieces = ["中国科学院", "计算所", "清华大学", "北京", "hello", "World", "2024", "3.14", "😀", "é", "ñ",
              "，", "。", " ", "\t", "\n", "!", "、", "（", "）", "研究生命起源", "ＡＢＣ", "かな"]
    for _ in range(400):
        sentence = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 12)))
        check_cut_properties(jieba, sentence, dictionary_words)


def test_threads_sharing_one_instance_match_serial_results(jieba, fortune_lines):
    sentences = fortune_lines[:1500] + ["".join(fortune_lines[:120])]  # and a line of several kilobytes
    assert len(sentences[-1].encode()) > 4000
    expected = [(jieba.cut(s), jieba.cut_for_search(s)) for s in sentences]
    failures = []

    def work(offset):
        for index in range(offset, len(sentences), 3):
            if (jieba.cut(sentences[index]), jieba.cut_for_search(sentences[index])) != expected[index]:
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i % 3,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
