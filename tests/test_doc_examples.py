"""The example scripts of the documentation run as published."""

import runpy
import sys
from pathlib import Path

import pytest

EXAMPLES_DIR = Path(__file__).resolve().parent.parent / "docs" / "examples"
EXAMPLES = sorted(EXAMPLES_DIR.glob("*.py"))
# Example: what it needs beyond the package's own dependencies.
NEEDS = {
    "cross_validation.py": ["pandas"],
    "survival_curves.py": ["matplotlib"],
}


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda path: path.stem)
def test_example_runs_to_the_end(path, tmp_path, monkeypatch):
    for module in NEEDS.get(path.name, []):
        pytest.importorskip(module)
    # Examples write their figures to the working directory.
    monkeypatch.chdir(tmp_path)
    try:
        runpy.run_path(str(path), run_name="__main__")
    finally:
        # Figures left open would become the current axes of later tests.
        if "matplotlib.pyplot" in sys.modules:
            sys.modules["matplotlib.pyplot"].close("all")


def test_every_example_is_found_and_shown_in_the_documentation():
    # An empty glob would leave the test above with nothing to run, and an
    # example missing from examples.rst would be tested but never published.
    assert len(EXAMPLES) >= 4
    page = (EXAMPLES_DIR.parent / "examples.rst").read_text(encoding="utf-8")
    assert [p.name for p in EXAMPLES if f"examples/{p.name}" not in page] == []
    assert set(NEEDS) <= {p.name for p in EXAMPLES}
