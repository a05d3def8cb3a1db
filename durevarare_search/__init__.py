"""Search over Chinese (and mixed) text on durevarare: from texts to ranked
results without dictionary paths.

    from durevarare_search import Index
    index = Index()
    index.add_many([(1, "如何取消订单"), (2, "怎么开发票")])
    index.search("开发票", k=10)          # [(2, 0.47...)]
    index.save("help.index")            # Index.load("help.index") later

`segmenter()` is the shared Jieba of the bundled dictionaries, `Analyzer` the
rules that turn a text into words (the same for documents and queries),
`Index` the inverted index with the module's BM25 weights, and `token_id` /
`sparse_vector` the stable integer ids that vector databases take.
"""
from ._analyzer import Analyzer
from ._index import Index
from ._segmenter import dictionary_folder, segmenter
from ._vectors import sparse_vector, token_id

__all__ = ["Analyzer", "Index", "dictionary_folder", "segmenter", "sparse_vector", "token_id"]
