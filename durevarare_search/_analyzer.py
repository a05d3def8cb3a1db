"""The rules that turn a text into the words an index keeps, one set for
documents and queries alike."""
import re
import unicodedata
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import durevarare

from ._segmenter import segmenter, stop_words

_WORD_CHARACTER = re.compile(r"[^\W_]").search  # a letter or digit of any script
_ALPHANUMERIC = re.compile(r"[A-Za-z0-9]+").fullmatch
_RUNS = re.compile(r"[A-Za-z]+|[0-9]+").findall


class Analyzer:
    """Text to words, each step switchable:

    - normalize: NFKC, which folds full-width and other compatibility forms
      (ＶＩＰ, ￥１２８) into the usual ones, then case folding (App, APP, app);
    - split_letters_digits: a token of ASCII letters and digits is split where
      letters meet digits, so that iphone15, "iphone 15", 5g and 256gb cut alike
      whether the segmenter glued them (NFKC makes iPhone１５ one token) or not
      (it cuts 5g into 5 and g);
    - documents are cut with cut_for_search (each long word with the dictionary
      words inside it); queries with `query_cut`, "search" (the default, which
      finds 开发票 in 怎么开发票) or "cut";
    - drop_stop_words and drop_non_words: the bundled stop words (but numbers,
      and the parts of a split token), and tokens without a letter or digit
      (separators, punctuation), go.
    """

    def __init__(self, *, normalize: bool = True, split_letters_digits: bool = True, drop_stop_words: bool = True,
                 drop_non_words: bool = True, query_cut: str = "search",
                 jieba: Optional[durevarare.Jieba] = None) -> None:
        if query_cut not in ("search", "cut"):
            raise ValueError('query_cut must be "search" or "cut"')
        self.normalize, self.split_letters_digits = normalize, split_letters_digits
        self.drop_stop_words, self.drop_non_words, self.query_cut = drop_stop_words, drop_non_words, query_cut
        self.jieba = jieba or segmenter()
        self._stop_words = stop_words() if drop_stop_words else frozenset()

    def settings(self) -> dict:
        return {"normalize": self.normalize, "split_letters_digits": self.split_letters_digits,
                "drop_stop_words": self.drop_stop_words, "drop_non_words": self.drop_non_words,
                "query_cut": self.query_cut}

    @classmethod
    def from_settings(cls, settings: dict) -> "Analyzer":
        """The analyzer of `settings()`, checked: ValueError for anything else."""
        expected = {"normalize": bool, "split_letters_digits": bool, "drop_stop_words": bool, "drop_non_words": bool,
                    "query_cut": str}
        if set(settings) != set(expected) or any(type(settings[key]) is not kind for key, kind in expected.items()):
            raise ValueError(f"unknown analyzer settings {settings!r:.200}")
        return cls(**settings)

    def prepare(self, text: str) -> str:
        return unicodedata.normalize("NFKC", text).casefold() if self.normalize else text

    def words_of_token(self, token: str) -> Tuple[str, ...]:
        """The words one token of the segmenter gives: none, itself, or its pieces."""
        if self.drop_non_words and _WORD_CHARACTER(token) is None:
            return ()
        if self.split_letters_digits and _ALPHANUMERIC(token):
            pieces = _RUNS(token)
            if len(pieces) > 1:
                return tuple(pieces)  # a model number keeps all its parts: the a and 5 of a5
        # Numbers are never stop words: the list's 0 to 9 would turn "iphone 5" into iphone.
        return () if token in self._stop_words and not token.isdigit() else (token,)

    def document_words(self, text: str) -> List[str]:
        return self._words(self.jieba.cut_for_search, text)

    def query_words(self, text: str) -> List[str]:
        return self._words(self.jieba.cut_for_search if self.query_cut == "search" else self.jieba.cut, text)

    def _words(self, cut: Callable[[str], List[str]], text: str) -> List[str]:
        return [word for token in cut(self.prepare(text)) for word in self.words_of_token(token)]

    def document_words_many(self, texts: Sequence[str], threads: int = 1) -> List[List[str]]:
        """document_words of every text, cut on `threads` threads."""
        memo: Dict[str, Tuple[str, ...]] = {}
        out = []
        for tokens in self.document_tokens(texts, threads):
            words: List[str] = []
            for token in tokens:
                found = memo.get(token)
                if found is None:
                    found = memo[token] = self.words_of_token(token)
                words.extend(found)
            out.append(words)
        return out

    def document_tokens(self, texts: Sequence[str], threads: int = 1, batch: int = 64) -> Iterator[List[str]]:
        """The segmenter's raw tokens of every text, in order, cut on `threads`
        threads sharing the Jieba (the cuts release the interpreter lock). Each call
        cuts a batch of texts joined by line feeds: a line feed is a separator, which
        the cut returns as a token of its own and never cuts across, so the tokens
        split back into each text's exactly (a line feed inside a text becomes a
        space, which is no word either); one call per batch hands the lock over far
        less often than one per text."""
        cut, prepare = self.jieba.cut_for_search, self.prepare

        def work(start: int) -> List[List[str]]:
            chunk = texts[start:start + batch]
            tokens = cut(prepare("\n".join(text.replace("\n", " ") for text in chunk)))
            out, begin = [], 0
            for _ in range(len(chunk) - 1):
                end = tokens.index("\n", begin)
                out.append(tokens[begin:end])
                begin = end + 1
            out.append(tokens[begin:])
            return out

        with ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
            pending: deque = deque()
            for start in range(0, len(texts), batch):
                pending.append(pool.submit(work, start))
                if len(pending) > 2 * threads:
                    yield from pending.popleft().result()
            while pending:
                yield from pending.popleft().result()
