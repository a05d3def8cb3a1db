"""The Jieba of the dictionaries the wheel ships, built once per process."""
import functools
import os
import pathlib
import threading
from typing import Optional

import durevarare

_DICTIONARIES = ("jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8")
_lock = threading.Lock()


def opencc_folder() -> pathlib.Path:
    """OpenCC's dictionaries for folding traditional Chinese: opencc/ in the
    dictionary folder, else in durevarare-dict/ next to the module."""
    folders = [dictionary_folder() / "opencc",
               pathlib.Path(durevarare.__file__).with_name("durevarare-dict") / "opencc"]
    for folder in folders:
        if all((folder / name).is_file() for name in ("TSPhrases.txt", "TSCharacters.txt")):
            return folder
    raise FileNotFoundError(f"OpenCC's dictionaries (TSPhrases.txt, TSCharacters.txt) are missing from "
                            f"{folders[0]} and {folders[1]}: install the wheel, or put them in opencc/ there")


def dictionary_folder() -> pathlib.Path:
    """$DUREVARARE_DICT_DIR if set, else durevarare-dict/ next to the module (as the wheel installs it)."""
    configured = os.environ.get("DUREVARARE_DICT_DIR")
    folder = pathlib.Path(configured) if configured else pathlib.Path(durevarare.__file__).with_name("durevarare-dict")
    missing = [name for name in _DICTIONARIES if not (folder / name).is_file()]
    if missing:
        raise FileNotFoundError(
            f"durevarare's dictionaries are missing from {folder} ({', '.join(missing)}): install the wheel, "
            "or point DUREVARARE_DICT_DIR at a folder holding cppjieba's dictionary files")
    return folder


@functools.lru_cache(maxsize=None)
def _build(folder: str, user_dict: str) -> durevarare.Jieba:
    path = pathlib.Path(folder)
    return durevarare.Jieba(str(path / "jieba.dict.utf8"), str(path / "hmm_model.utf8"),
                            user_dict or str(path / "user.dict.utf8"), str(path / "idf.utf8"),
                            str(path / "stop_words.utf8"))


def segmenter(user_dict: Optional[os.PathLike] = None) -> durevarare.Jieba:
    """The process's Jieba for the bundled dictionaries (and a user dictionary, if
    given), built on first use, which takes about a second, and shared after that:
    a Jieba is read-only and may be used by any number of threads."""
    folder = str(dictionary_folder())
    with _lock:  # one build, even when threads ask at once
        return _build(folder, os.fspath(user_dict) if user_dict else "")


def stop_words() -> frozenset:
    """The bundled stop words."""
    return _stop_words(str(dictionary_folder()))


@functools.lru_cache(maxsize=None)
def _stop_words(folder: str) -> frozenset:
    with open(pathlib.Path(folder) / "stop_words.utf8", encoding="utf-8") as handle:
        return frozenset(line.strip() for line in handle if line.strip())
