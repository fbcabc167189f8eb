"""Sphinx configuration of korvane's documentation.

The documentation is built from the installed package (`./dev.sh docs`), never
from the source tree: the compiled extension exists only in an installed build,
and building from what users install is what shows its docstrings as they are.
"""

from __future__ import annotations

import importlib
from typing import Any

import korvane

project = "korvane"
author = "the korvane developers"
copyright = "the korvane developers"
release = korvane.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# The Markdown design notes link to their own sections by heading.
myst_heading_anchors = 3
exclude_patterns = ["_build"]
# `name` in a docstring links to that object when Sphinx knows it.
default_role = "py:obj"

html_theme = "alabaster"
html_title = f"korvane {release}"

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's parameter lists say the types in words
# Member tables would need stub pages per method; the members are documented in place.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
# Missing docstrings and parameter lists that disagree with the signature are
# warnings, hence errors in the -W build.
numpydoc_validation_checks = {"GL08", "PR01", "PR02", "PR10"}

# Modules whose every public name the API reference must document.
DOCUMENTED_MODULES = ("korvane", "korvane.metrics", "korvane.datasets", "korvane.plotting")


def _undocumented_public_names(app: Any, env: Any) -> None:
    """Warn about each name of a documented module's __all__ that no directive documents.

    A name added to a module's __all__ without an entry in the API reference would otherwise
    be missing from the reference with no sign.
    """
    from sphinx.util import logging

    documented = set(env.get_domain("py").objects)
    logger = logging.getLogger(__name__)
    for module_name in DOCUMENTED_MODULES:
        module = importlib.import_module(module_name)
        for name in module.__all__:
            if f"{module_name}.{name}" not in documented:
                logger.warning("%s.%s is public but no page of the API reference documents it", module_name, name)


def setup(app: Any) -> None:
    app.connect("env-check-consistency", _undocumented_public_names)
