"""Search over Chinese (and mixed) text on durevarare: from texts to ranked
results without dictionary paths::

    from durevarare_search import Index
    index = Index()
    index.add_many([(1, "如何取消订单"), (2, "怎么开发票")])
    index.search("開發票", k=10)          # [(2, 0.47...)]: traditional finds simplified
    index.save("help.index")            # Index.load("help.index") later

    with Index.open("help-index") as shared:   # kept in a folder: durable,
        shared.add(3, "退款多久到账")             # one writer, readers in any
        shared.commit()                        # process (readonly=True)

`Index` is the live inverted index with the module's BM25 weights (add,
update and delete while other threads search), `Analyzer` the rules that
turn a text into words (the same for documents and queries), `segmenter()`
the shared Jieba of the bundled dictionaries, and `token_id` /
`sparse_vector` the stable integer ids that vector databases take.
"""
from ._analyzer import Analyzer, default_stop_words
from ._index import MAX_QUERY, Index
from ._native import IndexLocked
from ._segmenter import dictionary_folder, segmenter
from ._vectors import sparse_vector, token_id

__all__ = ["Analyzer", "Index", "IndexLocked", "MAX_QUERY", "default_stop_words", "dictionary_folder", "segmenter", "sparse_vector",
           "token_id"]
