"""durevarare_search as a library: the analyzer's rules, live writes, the
index file, empty documents and the two idf choices. The C++ tests pin the
index's exactness, its threads and its file reader; these are the Python
surface over them."""
import os
import random
import stat

import pytest

from durevarare_search import Analyzer, Index, sparse_vector, token_id


@pytest.fixture(scope="module")
def analyzer():
    return Analyzer()


# Documents and queries share every rule. Full-width forms and capitals
# fold; traditional Chinese becomes simplified, stop words included; marks
# outside ASCII split the text, so names after them stay whole; a code of
# letters and digits gives itself and its runs, however it is written;
# stop words, punctuation and spaces go, numbers stay.
@pytest.mark.parametrize("text, words", [
    ("iPhone１５手机", ["iphone15", "iphone", "15", "手机"]),
    ("iphone 15 plus", ["iphone", "15", "plus"]),
    ("IPHONE15", ["iphone15", "iphone", "15"]),
    ("iphone 5", ["iphone", "5"]),
    ("5G套餐", ["5g", "5", "g", "套餐"]),
    ("12M线", ["12m", "12", "m", "线"]),
    ("２５６ＧＢ", ["256gb", "256", "gb"]),
    ("ＶＩＰ会员只要￥１２８", ["vip", "会员", "128"]),
    ("手機發票", ["手机", "发票"]),
    ("威廉、瓊斯發表了", ["威廉", "琼斯", "发表"]),
    ("什麼是誰", []),
    ("硕塞是谁", ["硕塞"]),  # a made-up word loses the stop word at its end
    ("我的，的了！", []),
    ("   \n\t", []),
])
def test_analyzer_rules(analyzer, text, words):
    assert analyzer.document_words(text) == words
    assert analyzer.query_words(text) == words


@pytest.mark.parametrize("settings, text, words", [
    ({"normalize": False}, "ＶＩＰ", ["Ｖ", "Ｉ", "Ｐ"]),
    ({"fold_traditional": False}, "手機", ["手機"]),
    ({"split_punctuation": False}, "伊丽莎白·班纳特", ["伊丽莎白", "班", "纳", "特"]),
    ({"letters_digits": "split"}, "iphone15", ["iphone", "15"]),
    ({"letters_digits": "keep"}, "12M线", ["12m", "线"]),
    ({"drop_stop_words": False}, "我的书", ["我", "的", "书"]),
    ({"remove_stop_words": ["的"]}, "我的书", ["的", "书"]),
    ({"add_stop_words": ["書"]}, "我的书", []),  # compared in simplified form
    ({"stop_words": ["书"]}, "我的书", ["我", "的"]),
    ({"stop_words": ["什麼", "說"]}, "你說什麼呢", ["你", "呢"]),
    # a stop word from plane 3, and one that only begins a word
    ({"stop_words": ["\U00030000", "什"]}, "你\U00030000什么呢", ["你", "什么", "呢"]),
    ({"query_cut": "search"}, "中华人民共和国", ["中华", "华人", "人民", "共和", "共和国", "中华人民共和国"]),
])
def test_each_step_can_be_switched_or_changed(settings, text, words):
    assert Analyzer(**settings).query_words(text) == words


@pytest.mark.parametrize("settings, error", [
    ({"letters_digits": "merge"}, ValueError),
    ({"query_cut": "fast"}, ValueError),
    ({"normalize": 1}, TypeError),
    ({"stop_words": "的"}, TypeError),
    ({"add_stop_words": [1]}, TypeError),
])
def test_bad_settings_are_refused(settings, error):
    with pytest.raises(error):
        Analyzer(**settings)


def test_a_user_dictionary_travels_with_the_index(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("花呗\n借呗 5 n\n", encoding="utf-8")
    analyzer = Analyzer(user_dict=words)
    assert analyzer.query_words("花呗") == ["花呗"] and Analyzer().query_words("花呗") == ["花", "呗"]
    index = Index(analyzer)
    index.add_many([("pay", "花呗分期付款"), ("flower", "花开了")])
    index.save(tmp_path / "pay.index")
    words.unlink()  # the words are in the file
    loaded = Index.load(tmp_path / "pay.index")
    assert loaded.search("花呗", k=5) == index.search("花呗", k=5) == [("pay", index.search("花呗", k=1)[0][1])]
    with pytest.raises(ValueError, match="other analyzer settings"):
        Index.load(tmp_path / "pay.index", analyzer=Analyzer())


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
    assert len(help_index) == 4 and "empty" in help_index
    assert all(doc != "empty" for doc, _ in help_index.search("的了吗 订单", k=10))
    help_index.add("also-empty", "，。！")
    assert help_index.search("发票", k=10)[0][0] == "invoice"


@pytest.mark.parametrize("call, error", [
    (lambda index: index.search("订单", k=0), ValueError),
    (lambda index: index.search("订单", k=1.5), ValueError),
    (lambda index: index.search("订单", k=True), ValueError),
    (lambda index: index.add("cancel", "x"), ValueError),  # already in
    (lambda index: index.add(("a", 1), "x"), TypeError),
    (lambda index: index.add(True, "x"), TypeError),
    (lambda index: index.add(2 ** 64, "x"), ValueError),
    (lambda index: index.add("new", b"bytes"), TypeError),
    (lambda index: index.add_many(["ab"]), TypeError),  # not an (id, text) pair
    (lambda index: index.add_many([("new", "新的"), ("new", "两次")]), ValueError),
    (lambda index: index.add_many([("new", "新的"), ("refund", "已有")]), ValueError),
    (lambda index: index.delete("missing"), KeyError),
    (lambda index: index.delete_many(["cancel", "missing"]), KeyError),
])
def test_refused_calls_change_nothing(help_index, call, error):
    before = help_index.search("订单 发票 新的", k=10), len(help_index)
    with pytest.raises(error):
        call(help_index)
    assert (help_index.search("订单 发票 新的", k=10), len(help_index)) == before
    assert "new" not in help_index


def test_an_add_many_that_fails_part_way_adds_nothing(help_index):
    items = [(f"n{i}", "新的订单") for i in range(10)] + [("cancel", "重复")]
    with pytest.raises(ValueError, match="'cancel' is already in the index"):
        help_index.add_many(items, chunk=3)
    assert len(help_index) == 4 and "n0" not in help_index


def test_update_and_delete_score_as_a_fresh_index_of_the_live_documents(help_index):
    help_index.update("refund", "发票抬头怎么改")
    help_index.update("new", "电子发票")
    help_index.delete("cancel")
    fresh = Index()
    fresh.add_many([HELP[2], HELP[3], ("refund", "发票抬头怎么改"), ("new", "电子发票")])
    for query in ("发票", "取消订单", "电子发票 抬头"):
        assert help_index.search(query, k=10) == fresh.search(query, k=10)
    assert "cancel" not in help_index and len(help_index) == 4


def test_queries_never_grow_the_vocabulary(help_index):
    words = help_index.statistics()["words"]
    assert help_index.search("量子计算机 区块链", k=5) == []
    assert help_index.statistics()["words"] == words


def test_save_and_load_round_trip_and_replace(help_index, tmp_path):
    path = tmp_path / "help.index"
    help_index.delete("refund")
    help_index.save(path)
    restored = Index.load(path)
    for query in ("取消订单", "怎么开发票", "退款"):
        assert restored.search(query, k=3) == help_index.search(query, k=3)  # the same scores, to the last bit
    # Loading replaces: a stale document or word of an older index is gone.
    stale = Index()
    stale.add_many([("old", "过时的旧文档 独有词")] + HELP[:1])
    stale.save(path)
    help_index.save(path)
    assert [doc for doc, _ in Index.load(path).search("独有词 旧文档", k=5)] == []
    assert list(tmp_path.iterdir()) == [path]  # no temporary file left


def test_load_refuses_another_analyzer_and_damaged_files(help_index, tmp_path):
    path = tmp_path / "help.index"
    help_index.save(path)
    refusals = {"query_cut: 'cut' in the file, 'search' given": Analyzer(query_cut="search"),
                r"stop_words: 0 only in the file \[\], 1 only in the analyzer given \['包邮'\]":
                    Analyzer(add_stop_words=["包邮"])}
    for message, other in refusals.items():
        with pytest.raises(ValueError, match="other analyzer settings.*" + message):
            Index.load(path, analyzer=other)
    assert Index.load(path, analyzer=Analyzer()).search("发票", k=1)[0][0] == "invoice"
    data = path.read_bytes()
    cases = {"cut.index": data[:-9], "flipped.index": data[:100] + bytes([data[100] ^ 1]) + data[101:],
             "version-1.index": b"PK\x03\x04" + bytes(60)}
    for name, damaged in cases.items():
        (tmp_path / name).write_bytes(damaged)
        with pytest.raises(ValueError, match=name):
            Index.load(tmp_path / name)
    with pytest.raises(ValueError, match="rebuild it"):
        Index.load(tmp_path / "version-1.index")
    os.mkfifo(tmp_path / "pipe")
    with pytest.raises(ValueError, match="not a regular file"):
        Index.load(tmp_path / "pipe")


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
    assert link.is_symlink() and target.read_bytes().startswith(b"durevarare-index")
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
    occurrence, frequency = Index(idf="occurrences"), Index()
    occurrence.add_many(articles)
    frequency.add_many(articles)
    assert any(weight < 0 for weight in occurrence.query_vector("取消订单").values())
    assert all(weight > 0 for weight in frequency.query_vector("取消订单").values())
    assert frequency.search("取消订单", k=1)[0][0] == "both"
    assert [doc for doc, _ in frequency.search("取消", k=2)] == ["only", "both"]


def test_traditional_queries_and_product_words_find_what_a_customer_means():
    catalogue = Index()
    catalogue.add_many([("plus", "iPhone 15 Plus 256GB 手机壳"), ("case", "iPhone 15 手機殼 透明"),
                        ("invoice", "如何申请开发票：在订单详情页点击申请发票"), ("refund", "取消订单后多久退款到账")])
    assert catalogue.search("發票") == catalogue.search("发票")
    assert [doc for doc, _ in catalogue.search("发票")] == ["invoice"]
    assert [doc for doc, _ in catalogue.search("iphone 15 plus", k=2)] == ["plus", "case"]
    assert catalogue.search("手機殼") == catalogue.search("手机壳")


def test_token_ids_are_stable_and_vectors_merge_collisions():
    assert token_id("人工智能") == token_id("人工智能") and 0 <= token_id("x") < 2**32
    assert -2**63 <= token_id("x", bits=64) < 2**63
    with pytest.raises(ValueError):
        token_id("x", bits=16)
    vector = sparse_vector({"a": 0.25, "b": 0.5})
    assert vector["indices"] == sorted(vector["indices"]) and sorted(vector["values"]) == [0.25, 0.5]
