import re
import subprocess
import sys

import pytest

pytest.importorskip("matplotlib")

from korvane.__main__ import main  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_demo_prints_its_results_and_writes_the_plot(tmp_path):
    run = subprocess.run(
        [sys.executable, "-m", "korvane", "--seed", "3"], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert "RandomSurvivalForest(min_samples_leaf=15, n_estimators=500, n_jobs=-1, random_state=3)" in run.stdout
    # A forest whose risk ran the wrong way would score near 1 - 0.74 here.
    forest_c = float(re.search(r"Harrell's C on the 41 held-out patients: ([0-9.]+)", run.stdout).group(1))
    assert forest_c > 0.6
    assert (tmp_path / "korvane_demo.png").read_bytes().startswith(PNG_SIGNATURE)


def test_demo_without_matplotlib_still_reports_and_explains(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    output = tmp_path / "demo.png"
    assert main(["--output", str(output)]) == 0
    captured = capsys.readouterr()
    assert "Harrell's C" in captured.out
    assert "matplotlib is not installed" in captured.err
    assert not output.exists()


def test_demo_reports_an_unwritable_output(tmp_path, capsys):
    assert main(["--output", str(tmp_path / "missing-dir" / "demo.png")]) == 1
    assert "cannot write" in capsys.readouterr().err
