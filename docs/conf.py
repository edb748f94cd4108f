"""Sphinx configuration: `make docs` builds the HTML into build/docs; `make test` builds it with -W -n."""
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "docs" / "_ext"))
# The built extensions and the companion beside them, as `make build` leaves them.
sys.path.insert(0, str(REPO / "build" / "python"))

project = "pyzum_zezudi_vu"
author = "the PCB_ROQ acquisition team"
copyright = "2026, " + author
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinxarg.ext", "pyzum_docs"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["examples", "_build"]
html_theme = "furo"
html_title = "pyzum_zezudi_vu"
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

# Our own names must resolve; the types of NumPy, the standard library and pybind11 are documented elsewhere.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|npt|typing|types|collections|datetime|contextlib|argparse|h5py|ctypes)(\..*)?"),
    (r"py:.*", r"(int|float|str|bytes|bytearray|memoryview|bool|list|tuple|dict|None|object|Ellipsis|"
               r"EllipsisType|Iterator|Any|ClassVar|NamedTuple|RuntimeError|Exception)"),
]
