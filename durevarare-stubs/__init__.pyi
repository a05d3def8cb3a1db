"""Type stub for the durevarare extension module (CPython 3.9 to 3.13).

Parameters named arg0 are positional-only; only the constructors take keywords.
Token lists may be any sequence (list, tuple, ...) but a bare str or bytes.
Strings may also be given as bytes or bytearray, taken byte for byte.
"""
from typing import Dict, List, Sequence, Union, overload

_Text = Union[str, bytes, bytearray]

class BM25:
    """Corpus statistics learnt from tokenised documents, and the sparse
    vectors of documents and queries whose inner product is a BM25-style
    relevance score.

    With N documents of average length avgdl, and f(t) the number of
    occurrences of token t in the training documents:

    - document: weight(t) = c / (c + k1 * (1 - b + b * n / avgdl)), with c the
      count of t in the document and n its length;
    - query: idf(t) = ln((N + 1) / (f(t) + 0.5)), f = 1 for unseen tokens,
      each divided by the sum of the query's idfs.

    Frequencies count occurrences, not documents: a token that occurs more
    often than there are documents has a negative idf, and a query whose idfs
    sum to a negative number has every sign flipped. Tokens are str (or
    bytes) or signed 64-bit int, one kind per list; the int 42 and the str
    "42" share one entry. Counts saturate at 2**31 - 1. Calls hold the
    interpreter lock; instances cannot be pickled.
    """

    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None:
        """A model with no documents; TypeError for non-numbers."""
    @overload
    def b(self) -> float: ...
    @overload
    def b(self, arg0: float, /) -> None:
        """The length normalisation b; b(x) sets it (not checked)."""
    @overload
    def k1(self) -> float: ...
    @overload
    def k1(self, arg0: float, /) -> None:
        """The saturation k1; k1(x) sets it (not checked)."""
    @overload
    def train(self, arg0: Sequence[_Text], /) -> None: ...
    @overload
    def train(self, arg0: Sequence[int], /) -> None:
        """Adds one document's tokens to the statistics. RuntimeError
        "trainning tokens_vec should not be empty" for an empty list; all or
        nothing, also when memory runs out."""
    def load(self, arg0: _Text, /) -> None:
        """Reads a model document's text (not a path), merging: the statistics
        it names are overwritten, the rest stay. A failed load (RuntimeError
        naming the first bad member, ValueError or IndexError for numbers that
        do not convert) changes nothing."""
    def dump(self, arg0: _Text, /) -> None:
        """Writes the model document to a file path: one JSON object, keys in
        byte order, doubles with six decimals. The file is replaced whole only
        once complete, keeping owner, mode, ACLs and extended attributes, or
        written in place where a new file could not take its place (hard links,
        devices, descriptor links). RuntimeError "Failed to dump: Unable to open
        file" or "Failed to dump: Unable to write file"; a failed replace leaves
        the old file as it was."""
    @overload
    def encode_document(self, arg0: Sequence[_Text], /) -> Dict[str, float]: ...
    @overload
    def encode_document(self, arg0: Sequence[int], /) -> Dict[int, float]:
        """The document's tokens and weights, keys ascending; RuntimeError "BM25
        has not been initialized" on an untrained model (an empty list gives {})."""
    @overload
    def encode_query(self, arg0: Sequence[_Text], /) -> Dict[str, float]: ...
    @overload
    def encode_query(self, arg0: Sequence[int], /) -> Dict[int, float]:
        """The query's distinct tokens and their idfs divided by their sum, keys
        ascending; errors as encode_document."""

class Jieba:
    """The cppjieba segmenter over five data files, read-only once built and
    shareable by any number of threads. Both cuts run with the HMM on, return
    tokens that joined give the sentence back, and release the interpreter
    lock while they cut."""

    def __init__(self, dict_path: _Text, hmm_path: _Text, user_dict_path: _Text, idf_path: _Text,
                 stop_word_path: _Text) -> None:
        """Loads the dictionaries (about a second). user_dict_path may be "" or
        several files joined by ";" or "|". FileNotFoundError (or another
        OSError) names a file that cannot be opened; ValueError names a
        malformed dictionary or HMM model, or a file that is not a regular file."""
    def cut(self, sentence: _Text) -> List[str]:
        """The sentence cut into words (mixed segmentation). Space, tab, line
        feed, "，" and "。" come back as tokens of their own; nothing is
        filtered. ValueError for a sentence over 4 GiB."""
    def cut_for_search(self, sentence: _Text) -> List[str]:
        """The tokens of cut, each token of three or more characters preceded by
        the dictionary words of two and three characters inside it."""
