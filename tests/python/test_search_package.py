"""durevarare_search as a library: the analyzer's rules, exact top-k, the
index file, empty documents and the two idf choices."""
import os
import random
import stat
import zipfile

import pytest

from durevarare_search import Analyzer, Index, sparse_vector, token_id
from durevarare_search._index import _Postings


@pytest.fixture(scope="module")
def analyzer():
    return Analyzer()


# Documents and queries share every rule: model numbers tokenise alike
# however they are written; stop words, punctuation and spaces go, numbers stay.
@pytest.mark.parametrize("text, words", [
    ("iPhone１５手机", ["iphone", "15", "手机"]),
    ("iphone 15", ["iphone", "15"]),
    ("IPHONE15", ["iphone", "15"]),
    ("iphone 5", ["iphone", "5"]),
    ("5G套餐", ["5", "g", "套餐"]),
    ("２５６ＧＢ", ["256", "gb"]),
    ("256 gb", ["256", "gb"]),
    ("ＶＩＰ会员只要￥１２８", ["vip", "会员", "128"]),
    ("我的，的了！", []),
    ("   \n\t", []),
])
def test_analyzer_rules(analyzer, text, words):
    assert analyzer.document_words(text) == words
    assert analyzer.query_words(text) == words


@pytest.mark.parametrize("settings, text, words", [
    ({"normalize": False}, "ＶＩＰ", ["Ｖ", "Ｉ", "Ｐ"]),
    ({"split_letters_digits": False}, "iphone15", ["iphone15"]),
    ({"drop_stop_words": False}, "我的书", ["我", "的", "书"]),
    ({"query_cut": "cut"}, "怎么开发票", ["开发票"]),  # for queries only
])
def test_each_step_can_be_switched_off(settings, text, words):
    assert Analyzer(**settings).query_words(text) == words


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
    postings = _Postings(capacity)
    for doc, vector in enumerate(vectors):
        postings.add(doc, dict(sorted(vector.items())))
    postings.LONG = 30  # some lists kept in weight order, the others sorted per query
    postings.finish()
    for _ in range(200):
        query = {word: rng.choice((-0.5, 0.125, 0.25, 1.0)) for word in sorted(rng.sample(range(1, words + 3), 3))}
        terms = [(word, weight) + postings.postings(word) for word, weight in query.items()]
        terms = [term for term in terms if term[2]]
        for top in (1, 3, 10):
            assert postings.threshold(terms, top) == postings.score_all(terms, top), (query, top)


HELP = [
    ("cancel", "取消订单：在订单页点击取消订单。取消后款项原路退回。"),
    ("refund", "退款多久到账？退款一般三到五个工作日到账。"),
    ("invoice", "怎么开发票：在订单详情页申请开发票，电子发票发到邮箱。"),
    ("empty", "的了吗"),
]


@pytest.fixture
def help_index():
    index = Index()
    index.add_many(HELP)
    return index


def test_documents_without_words_are_kept_and_never_match(help_index):
    assert len(help_index) == 4 and help_index.documents[3] == help_index.documents[3][:0]
    assert all(doc != "empty" for doc, _ in help_index.search("的了吗 订单", k=10))
    help_index.add("also-empty", "，。！")
    assert help_index.search("发票", k=10)[0][0] == "invoice"


def test_search_checks_k_and_ids(help_index):
    for k in (0, -1, 1.5, True):
        with pytest.raises(ValueError):
            help_index.search("订单", k=k)
    with pytest.raises(ValueError, match="already in the index"):
        help_index.add("cancel", "x")
    with pytest.raises(TypeError):
        help_index.add(("a", 1), "x")


def test_queries_never_grow_the_vocabulary(help_index):
    size = len(help_index.vocabulary)
    assert help_index.search("量子计算机 区块链", k=5) == []
    assert len(help_index.vocabulary) == size


def test_save_and_load_round_trip_and_replace(help_index, tmp_path):
    path = tmp_path / "help.index"
    help_index.save(path)
    restored = Index.load(path)
    for query in ("取消订单", "怎么开发票", "退款"):
        # The same documents; scores to the six decimals the model file keeps of the average length.
        again, before = restored.search(query, k=3), help_index.search(query, k=3)
        assert [doc for doc, _ in again] == [doc for doc, _ in before]
        assert [score for _, score in again] == pytest.approx([score for _, score in before], rel=1e-6)
    # Loading replaces: a stale document or word of an older index is gone.
    stale = Index()
    stale.add_many([("old", "过时的旧文档 独有词")] + HELP[:1])
    stale.save(path)
    help_index.save(path)
    assert [doc for doc, _ in Index.load(path).search("独有词 旧文档", k=5)] == []
    assert sorted(zipfile.ZipFile(path).namelist()) == ["documents.bin", "lengths.bin", "meta.json", "model.json"]
    assert list(tmp_path.iterdir()) == [path]  # no temporary file left


# The index file is what opening the path for writing would leave, written whole:
# a new file gets 0666 less the umask (not a temporary file's 0600), an existing
# one keeps its mode, a link keeps pointing at the file that now holds the index.
@pytest.mark.parametrize("prepare, mode", [
    (lambda path: None, 0o666 & ~0o027),
    (lambda path: (path.write_bytes(b"old"), path.chmod(0o640)), 0o640),
])
def test_save_leaves_the_file_open_would(help_index, tmp_path, prepare, mode):
    target = tmp_path / "real.index"
    prepare(target)
    link = tmp_path / "link.index"
    link.symlink_to(target.name)
    umask = os.umask(0o027)
    try:
        help_index.save(link)
    finally:
        os.umask(umask)
    assert link.is_symlink() and zipfile.is_zipfile(target)
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.index", "real.index"]


def test_failed_save_leaves_no_temporary_file(help_index, tmp_path):
    (tmp_path / "folder.index").mkdir()
    with pytest.raises(IsADirectoryError):
        help_index.save(tmp_path / "folder.index")
    assert [p.name for p in tmp_path.iterdir()] == ["folder.index"]


def test_document_frequency_idf_is_never_negative_and_ranks_both_words_first():
    # A long, repetitive help article makes occurrence idf of 取消 negative.
    articles = [("both", "取消订单。" * 3), ("only", "取消" * 40 + "服务"), ("other", "修改地址"), ("more", "查看物流")]
    occurrence, frequency = Index(), Index(idf="documents")
    occurrence.add_many(articles)
    frequency.add_many(articles)
    assert any(weight < 0 for weight in occurrence.query_vector("取消订单").values())
    assert all(weight > 0 for weight in frequency.query_vector("取消订单").values())
    assert frequency.search("取消订单", k=1)[0][0] == "both"
    assert [doc for doc, _ in frequency.search("取消", k=2)] == ["only", "both"]


def test_token_ids_are_stable_and_vectors_merge_collisions():
    assert token_id("人工智能") == token_id("人工智能") and 0 <= token_id("x") < 2**32
    assert -2**63 <= token_id("x", bits=64) < 2**63
    with pytest.raises(ValueError):
        token_id("x", bits=16)
    vector = sparse_vector({"a": 0.25, "b": 0.5})
    assert vector["indices"] == sorted(vector["indices"]) and sorted(vector["values"]) == [0.25, 0.5]
