import doctest
import importlib

import pytest

# Module: what its examples need beyond the package's own dependencies.
MODULES = {
    "korvane.surv": None,
    "korvane.functions": None,
    "korvane.ensemble": None,
    "korvane.effects": None,
    "korvane.tree": None,
    "korvane.causal_survival": None,
    "korvane.metrics": None,
    "korvane.exceptions": None,
    "korvane.persistence": None,
    "korvane.datasets": "pandas",
    "korvane.plotting": "matplotlib",
    "korvane.dask": "dask",
}


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run_as_shown(name):
    if MODULES[name]:
        pytest.importorskip(MODULES[name])
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def test_every_public_module_has_its_examples_run():
    # A new module left out of MODULES would publish examples no test runs.
    import pkgutil

    import korvane

    public = {
        f"korvane.{info.name}"
        for info in pkgutil.iter_modules(korvane.__path__)
        if not info.name.startswith("_")
    }
    assert sorted(public - set(MODULES)) == []
