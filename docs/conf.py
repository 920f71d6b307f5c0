"""Sphinx configuration of the vica / vicatools documentation.

Build locally (from the repository root, after ``pip install ".[docs]"``)::

    python -m sphinx -W --keep-going -b html docs docs/_build/html

Pages are Markdown (MyST); tutorials are Jupyter notebooks executed on every
build by myst-nb, so a cell that raises stops the build.  The API reference is
generated from the docstrings (autodoc, read by napoleon: NumPy-style sections,
and the older "Attributes:" sections as well).
"""
from __future__ import annotations

import os
import re
import sys

# The Python sources of this checkout, ahead of an installed copy (whose compiled engines
# the package still finds, see vicatools/__init__.py), so that docstrings are read from here.
sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "python")))

import vicatools  # noqa: E402

project = "vica"
author = "the vica developers"
copyright = "the vica developers, MIT licence"
try:
    from importlib.metadata import version as _version

    release = _version("vica")
except Exception:  # pragma: no cover - an uninstalled checkout
    release = "0"
version = release

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
]

exclude_patterns = ["_build", "**.ipynb_checkpoints", "jupyter_execute"]
source_suffix = {".rst": "restructuredtext", ".md": "myst-nb", ".ipynb": "myst-nb"}
root_doc = "index"

# Markdown
myst_enable_extensions = ["dollarmath", "deflist", "colon_fence"]
myst_heading_anchors = 3

# Notebooks: executed on every build (the outputs are not stored in the repository);
# a cell that raises, or a cell that runs longer than the timeout, fails the build.
nb_execution_mode = os.environ.get("VICA_DOCS_EXECUTE", "force")
nb_execution_timeout = 600
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_merge_streams = True

# API reference from docstrings
autosummary_generate = True
autosummary_imported_members = True
autodoc_default_options = {"members": True, "show-inheritance": False}
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_description_target = "documented_params"
napoleon_numpy_docstring = True
napoleon_google_docstring = True
napoleon_use_ivar = True          # a class's Attributes become fields, not duplicate entries
napoleon_use_rtype = False
# `name` in a docstring links to the object when Sphinx knows it, else reads as code
default_role = "py:obj"

html_theme = "furo"
html_title = f"vica {release}"
html_static_path = ["_static"]
html_css_files = ["custom.css"]
html_theme_options = {"navigation_with_keys": True}

_LITERAL = re.compile(r"(``.*?``)")


def _plain_bars(app, what, name, obj, options, lines):
    """Docstrings here write absolute values as |x|: not reStructuredText substitutions."""
    for i, line in enumerate(lines):
        if "|" in line:
            parts = _LITERAL.split(line)
            lines[i] = "".join(p if p.startswith("``") else p.replace("|", r"\|") for p in parts)


def setup(app):
    app.connect("autodoc-process-docstring", _plain_bars)


# Pages must not be built against a stale extension: say which vicatools is documented.
print(f"documenting vicatools from {os.path.dirname(vicatools.__file__)}", file=sys.stderr)
