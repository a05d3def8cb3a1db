"""The rules that turn a text into the words an index keeps, one set for
documents and queries alike, run natively."""
import functools
import os
import pathlib
import tempfile
import threading
import weakref
from typing import Any, Dict, FrozenSet, Iterable, List, Optional, Sequence, Tuple, Union

from . import _native
from ._segmenter import dictionary_folder, opencc_folder

PathLike = Union[str, "os.PathLike[str]"]
LETTERS_DIGITS = ("split", "keep", "both")
QUERY_CUTS = ("search", "cut")
_lock = threading.Lock()


class Analyzer:
    """Text to words, each step switchable; documents and queries go through
    the same rules, in this order:

    - normalize: NFKC, which folds full-width and other compatibility forms
      (ＶＩＰ, ￥１２８) into the usual ones, then case folding (App, APP, app);
    - fold_traditional: traditional Chinese becomes simplified (OpenCC's
      tables), so that 手機 finds 手机 and 發票 finds 发票;
    - split_punctuation: the text is split at punctuation and symbols outside
      ASCII (、 · （ ： 《 …) and each run is cut alone: the segmenter would
      take such a mark for an unknown character and cut the characters after
      it one by one;
    - documents are cut with cut_for_search (each long word with the
      dictionary words inside it); queries with `query_cut`: "cut" (the
      default: the words as the segmenter reads the sentence) or "search";
    - drop_non_words: tokens without a letter or digit go;
    - letters_digits: a code of ASCII letters and digits (iphone15, 12m, 5g)
      stays whole and also gives its runs ("both", the default, so that
      iphone15 and "iphone 15" match and 12M线 finds 12m first), or only one of
      the two ("keep", "split");
    - stop words go, but never a number: by default `default_stop_words()`
      (function words, and a few English ones: plus, one, up and other words
      that name products stay); `stop_words` replaces the list, and
      `add_stop_words` and `remove_stop_words` change it. Words are compared
      in simplified form, and a word the segmenter made up that ends in a
      one-character stop word loses it (硕塞是 is 硕塞).

    `user_dict`: a user dictionary for the segmenter (one word a line,
    optionally with a frequency and a tag: "花呗", "区块链 10 nz"), or several.
    Its words travel with an index's file.

    The defaults were chosen on CMRC 2018 (bench/bench_quality.py).
    """

    def __init__(self, *, normalize: bool = True, fold_traditional: bool = True, split_punctuation: bool = True,
                 letters_digits: str = "both", drop_stop_words: bool = True,
                 stop_words: Optional[Iterable[str]] = None, add_stop_words: Iterable[str] = (),
                 remove_stop_words: Iterable[str] = (), drop_non_words: bool = True, query_cut: str = "cut",
                 user_dict: Union[None, PathLike, Sequence[PathLike]] = None) -> None:
        for name, value in (("normalize", normalize), ("fold_traditional", fold_traditional),
                            ("split_punctuation", split_punctuation), ("drop_stop_words", drop_stop_words),
                            ("drop_non_words", drop_non_words)):
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be True or False, not {value!r}")
        if letters_digits not in LETTERS_DIGITS:
            raise ValueError(f'letters_digits must be "split", "keep" or "both", not {letters_digits!r}')
        if query_cut not in QUERY_CUTS:
            raise ValueError(f'query_cut must be "search" or "cut", not {query_cut!r}')
        words = set(default_stop_words() if stop_words is None else _words(stop_words, "stop_words"))
        words |= _words(add_stop_words, "add_stop_words")
        words -= _words(remove_stop_words, "remove_stop_words")
        self._settings: Dict[str, Any] = {
            "normalize": normalize, "fold_traditional": fold_traditional, "split_punctuation": split_punctuation,
            "letters_digits": letters_digits, "drop_non_words": drop_non_words, "query_cut": query_cut,
            "stop_words": sorted(words) if drop_stop_words else [],
            "user_dict": _user_dictionary_text(user_dict),
        }
        self._native, self._segmenter = _native_analyzer(self._settings)

    @property
    def stop_words(self) -> FrozenSet[str]:
        """The words this analyzer drops (numbers never are)."""
        return frozenset(self._settings["stop_words"])

    def settings(self) -> Dict[str, Any]:
        """Everything that decides how this analyzer cuts, for an index's file:
        `Analyzer.from_settings` makes the same analyzer again."""
        return dict(self._settings, stop_words=list(self._settings["stop_words"]))

    @classmethod
    def from_settings(cls, settings: Dict[str, Any]) -> "Analyzer":
        """The analyzer of `settings()`, checked: ValueError for anything else."""
        kinds: Dict[str, Any] = {
            "normalize": bool, "fold_traditional": bool, "split_punctuation": bool, "letters_digits": str,
            "drop_non_words": bool, "query_cut": str, "stop_words": list, "user_dict": (str, type(None))}
        if (not isinstance(settings, dict) or set(settings) != set(kinds)
                or any(not isinstance(settings[key], kind) for key, kind in kinds.items())
                or not all(isinstance(word, str) for word in settings["stop_words"])
                or settings["letters_digits"] not in LETTERS_DIGITS or settings["query_cut"] not in QUERY_CUTS):
            raise ValueError(f"these are not an analyzer's settings: {settings!r:.300}")
        analyzer = cls.__new__(cls)
        analyzer._settings = dict(settings, stop_words=sorted(set(settings["stop_words"])))
        analyzer._native, analyzer._segmenter = _native_analyzer(analyzer._settings)
        return analyzer

    def document_words(self, text: str) -> List[str]:
        """The words an index keeps of a document's text."""
        return list(self._native.document_words(text))

    def query_words(self, text: str) -> List[str]:
        """The words of a query (cut as `query_cut` says)."""
        return list(self._native.query_words(text))

    def document_words_many(self, texts: Sequence[str], threads: int = 1) -> List[List[str]]:
        """document_words of every text, on up to `threads` threads."""
        return list(self._native.document_words_many(texts, max(1, threads)))


def _words(words: Iterable[str], name: str) -> set:
    if isinstance(words, str):
        raise TypeError(f"{name} is a collection of words, not one str")
    out = set()
    for word in words:
        if not isinstance(word, str):
            raise TypeError(f"{name} holds words (str), not {type(word).__name__}")
        out.add(word)
    return out


def _user_dictionary_text(user_dict: Union[None, PathLike, Sequence[PathLike]]) -> Optional[str]:
    """The text of the user dictionary files, joined, or None."""
    if user_dict is None:
        return None
    paths = [user_dict] if isinstance(user_dict, (str, os.PathLike)) else list(user_dict)
    texts = []
    for path in paths:
        with open(os.fspath(path), encoding="utf-8") as handle:
            text = handle.read()
        texts.append(text if text.endswith("\n") or not text else text + "\n")
    return "".join(texts)


@functools.lru_cache(maxsize=None)
def default_stop_words() -> FrozenSet[str]:
    """The words an Analyzer drops unless told otherwise: the Chinese function
    words of the segmenter's list (but 呗, which names a product in 花呗), and
    English function words (articles, pronouns, prepositions, auxiliaries).
    The segmenter's list also holds English words that name products (plus,
    one, up, next, go...), which stay words here."""
    with open(pathlib.Path(__file__).with_name("stop_words.txt"), encoding="utf-8") as handle:
        return frozenset(line.strip() for line in handle if line.strip())


def _native_analyzer(settings: Dict[str, Any]) -> Tuple["_native.Analyzer", "_native.Segmenter"]:
    """The native analyzer of these settings, and the segmenter it cuts with:
    the Analyzer keeps the latter too, as what it holds is what stays shared."""
    segmenter = _segmenter(str(dictionary_folder()), settings["user_dict"])
    native = _native.Analyzer(
        segmenter, _converter(str(opencc_folder())),
        normalize=settings["normalize"], fold_traditional=settings["fold_traditional"],
        split_punctuation=settings["split_punctuation"], letters_digits=settings["letters_digits"],
        drop_non_words=settings["drop_non_words"], query_cut=settings["query_cut"],
        stop_words=settings["stop_words"])
    return native, segmenter


# Segmenters by dictionary folder and user words, while an Analyzer holds
# them: each takes about 100 MB, and every index file with its own user words
# would otherwise keep one for the life of the process. The one without user
# words stays, as nearly every analyzer wants it again.
_segmenters: "weakref.WeakValueDictionary[Tuple[str, Optional[str]], _native.Segmenter]" = weakref.WeakValueDictionary()
_bundled: Dict[str, "_native.Segmenter"] = {}


def _segmenter(folder: str, user_dict: Optional[str]) -> "_native.Segmenter":
    """The segmenter for these dictionaries, built once (it takes about half a
    second) and shared while in use: it is read-only, and any thread may cut with it."""
    with _lock:
        segmenter = _segmenters.get((folder, user_dict))
        if segmenter is None:
            segmenter = _segmenters[(folder, user_dict)] = _built_segmenter(folder, user_dict)
            if user_dict is None:
                _bundled[folder] = segmenter
        return segmenter


def _built_segmenter(folder: str, user_dict: Optional[str]) -> "_native.Segmenter":
    path = pathlib.Path(folder)
    if user_dict is None:  # the few words that come with the dictionaries
        return _native.Segmenter(str(path / "jieba.dict.utf8"), str(path / "hmm_model.utf8"),
                                 str(path / "user.dict.utf8"))
    # The segmenter reads user words from a file: the text goes to a private one.
    with tempfile.TemporaryDirectory() as private:
        words = os.path.join(private, "user.dict.utf8")
        with open(words, "w", encoding="utf-8") as handle:
            handle.write(user_dict)
        return _native.Segmenter(str(path / "jieba.dict.utf8"), str(path / "hmm_model.utf8"), words)


@functools.lru_cache(maxsize=None)
def _converter(folder: str) -> "_native.Converter":
    path = pathlib.Path(folder)
    return _native.Converter(str(path / "TSPhrases.txt"), str(path / "TSCharacters.txt"))
