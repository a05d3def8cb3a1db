"""Sphinx configuration: the pages of docs/, and the API reference read from
the code's own docstrings and types. Nothing is compiled for it: the module
`durevarare` is documented from its stub (durevarare-stubs/__init__.pyi),
and the search package's native part is stood in for."""
import configparser
import importlib.machinery
import importlib.util
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

# The stub, imported as the module it describes: its classes, signatures and docstrings.
_loader = importlib.machinery.SourceFileLoader("durevarare", str(ROOT / "durevarare-stubs" / "__init__.pyi"))
_stub = importlib.util.module_from_spec(importlib.util.spec_from_loader("durevarare", _loader))
sys.modules["durevarare"] = _stub
_loader.exec_module(_stub)

_metadata = configparser.ConfigParser()
_metadata.read(ROOT / "setup.cfg", encoding="utf-8")

project = "durevarare"
author = "the durevarare developers"
copyright = "2026, " + author
release = version = _metadata["metadata"]["version"]

extensions = ["sphinx.ext.autodoc"]
autodoc_mock_imports = ["durevarare_search._native"]
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {
    "description": "Lexical search for Chinese text, native and exact",
    "fixed_sidebar": True,
    "show_relbars": True,
    "page_width": "1180px",   # room for code lines of about 100 characters
    "sidebar_width": "220px",
}
html_sidebars = {"**": ["about.html", "navigation.html", "relations.html", "searchbox.html"]}
html_static_path = []
pygments_style = "friendly"
language = "en"
