"""Segmenters (about 100 MB each) are shared by the analyzers of the same
dictionaries while any of them lives, and freed with the last: loading
index files of their own user words one after another does not keep one
segmenter per file for the life of the process."""
import gc
import weakref

from durevarare_search import Analyzer, Index, _analyzer, dictionary_folder

WORDS = ["蓝鲸云", "橙子派", "绿萝盒", "紫藤链", "青松号"]


def segmenter_of(analyzer):
    """The segmenter the process holds for this analyzer's dictionaries."""
    return _analyzer._segmenter(str(dictionary_folder()), analyzer.settings()["user_dict"])


def user_dict(folder, word):
    path = folder / f"{word}.txt"
    path.write_text(f"{word}\n", encoding="utf-8")
    return path


def test_analyzers_of_the_same_dictionaries_share_one_segmenter(tmp_path):
    first = Analyzer(user_dict=user_dict(tmp_path, WORDS[0]))
    assert first._segmenter is segmenter_of(first)
    assert Analyzer(user_dict=user_dict(tmp_path, WORDS[0]))._segmenter is first._segmenter
    assert Analyzer.from_settings(first.settings())._segmenter is first._segmenter
    assert Analyzer(user_dict=user_dict(tmp_path, WORDS[1]))._segmenter is not first._segmenter
    assert Analyzer()._segmenter is Analyzer(stop_words=[])._segmenter


def test_each_files_segmenter_goes_with_the_last_analyzer_that_holds_it(tmp_path):
    for number, word in enumerate(WORDS):
        index = Index(Analyzer(user_dict=user_dict(tmp_path, word)))
        index.add("a", f"我在{word}下单")
        path = tmp_path / f"{number}.index"
        index.save(path)
        loaded = Index.load(path)
        assert segmenter_of(loaded.analyzer) is segmenter_of(index.analyzer)
        assert [doc for doc, _ in loaded.search(word)] == ["a"]
        assert loaded.analyzer.query_words(word) == [word]
        held = weakref.ref(segmenter_of(loaded.analyzer))
        del index, loaded
        gc.collect()
        assert held() is None, f"the segmenter of {word} outlived every analyzer of it"
    assert not any(key[1] and any(word in key[1] for word in WORDS) for key in list(_analyzer._segmenters.keys()))


def test_the_segmenter_without_user_words_stays_for_the_next_analyzer():
    held = weakref.ref(segmenter_of(Analyzer()))
    gc.collect()
    assert held() is not None
    assert segmenter_of(Analyzer()) is held()
