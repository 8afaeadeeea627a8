"""Sphinx configuration of the documentation site (`make docs`).

The pages are Markdown (MyST); the reference is drawn from the docstrings, which are written in
reStructuredText. ``_ext/corvex_docs.py`` draws the figures from the sample session, writes the
performance page from the last ``make bench`` output and checks that the site loads nothing
from the network.
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

import corvex  # noqa: E402

project = "corvex"
author = "the corvex developers"
copyright = "the corvex developers"  # noqa: A001 - the name Sphinx reads
release = corvex.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "corvex_docs",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "bench", "_generated"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Attributes listed in a class's docstring are fields of its description, so that one also
# documented as a property is not described twice.
napoleon_use_ivar = True
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}
# The reference names classes as the package exports them.
add_module_names = False

html_theme = "furo"
html_title = f"corvex {release}"
html_static_path: list[str] = []
# Nothing from the network: furo uses the system's fonts, and no page loads a script or a
# style sheet from elsewhere (the build checks this).
html_theme_options = {"navigation_with_keys": True}
html_show_sourcelink = False
