import doctest
import importlib

import pytest

# Module: what its examples need beyond the package's own dependencies.
MODULES = {
    "korvane.surv": None,
    "korvane.functions": None,
    "korvane.ensemble": None,
    "korvane.tree": None,
    "korvane.datasets": "pandas",
    "korvane.plotting": "matplotlib",
}


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run_as_shown(name):
    if MODULES[name]:
        pytest.importorskip(MODULES[name])
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
