"""Calls at the edges of the index's range: k beyond any size, an id given
twice to one removal, and the documents read page by page while a rebuild
numbers them afresh."""
import sys

import pytest

from durevarare_search import Index


@pytest.fixture
def index():
    index = Index()
    index.add_words((i, [f"w{i % 10}", "文档"]) for i in range(100))
    return index


@pytest.mark.parametrize("k", [101, 2**31, 2**32 + 1, sys.maxsize])
def test_k_beyond_the_documents_gives_them_all(index, k):
    hits = index.search("文档", k=k)
    assert len(hits) == 100 and hits == index.search("文档", k=100)


@pytest.mark.parametrize("ids, left", [([1, 1], 100), ([1, 2, 1, 2, 1], 99), (["x", 5, "x"], 99)])
def test_an_id_given_twice_to_one_removal_is_removed_once(index, ids, left):
    index.add("x", "文档")
    index.delete_many(ids)
    assert len(index) == left and not any(id in index for id in ids)
    with pytest.raises(KeyError):
        index.delete_many([3, 3, "missing"])
    assert 3 in index


def test_a_page_from_before_a_rebuild_is_refused(index):
    core = index._core
    page, start = core.documents(0, 40)
    assert len(page) == 40
    core.compact()
    with pytest.raises(RuntimeError, match="rebuilt"):
        core.documents(start, 40)
    # A reading begun after the rebuild goes through.
    pages, start = [], 0
    while True:
        page, start = core.documents(start, 40)
        if not page:
            break
        pages += page
    assert sorted(id for id, _ in pages) == list(range(100))


class RebuiltBetweenPages:
    """The core of an index, rebuilt without a third of its documents once
    the first page of them has been read."""

    def __init__(self, core):
        self._core = core
        self._pages = 0

    def __getattr__(self, name):
        return getattr(self._core, name)

    def documents(self, start, count):
        out = self._core.documents(start, count)
        self._pages += 1
        if self._pages == 1:
            self._core.remove(list(range(0, 100, 3)))
            self._core.compact()
        return out


# The model is refused, or made again from the start: never trained on the
# first page from before the rebuild and the rest numbered afresh after it.
def test_a_model_read_across_a_rebuild_is_of_documents_that_were(index):
    index.add_words((i, ["more"]) for i in range(100, 5000))
    index._core = RebuiltBetweenPages(index._core)
    try:
        model = index.model()
    except RuntimeError as error:
        assert "rebuilt" in str(error)
    else:
        index._core = index._core._core
        fresh = Index()
        fresh.add_words((id, words) for id, words in index._core.documents(0, 10_000)[0])
        assert model.encode_document(["文档", "more", "w1"]) == fresh.model().encode_document(["文档", "more", "w1"])
