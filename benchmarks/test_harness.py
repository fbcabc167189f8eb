"""Checks of the harness's own logic; run with `python -m pytest benchmarks/test_harness.py`.

Nothing here times anything: the benchmark is not part of the test suite.
"""

import numpy as np
import pytest

import run
from casefiles import Split, read_hazard, read_split, write_hazard, write_split
from workers import step_values, weights_from_leaves


def test_weights_from_leaves_match_the_pairwise_definition():
    rng = np.random.default_rng(0)
    train_leaves = rng.integers(0, 7, size=(60, 5))
    query_leaves = rng.integers(0, 9, size=(11, 5))  # leaves 7 and 8 hold no training row

    expected = np.zeros((11, 60))
    for tree in range(5):
        same_leaf = query_leaves[:, tree, None] == train_leaves[None, :, tree]
        sizes = same_leaf.sum(axis=1, keepdims=True)
        expected += np.divide(same_leaf, sizes, out=np.zeros_like(expected), where=sizes > 0)
    expected /= 5

    np.testing.assert_allclose(weights_from_leaves(train_leaves, query_leaves), expected, rtol=1e-14)


def test_split_and_hazard_files_round_trip(tmp_path):
    rng = np.random.default_rng(1)
    split = Split(
        X_train=np.asfortranarray(rng.standard_normal((5, 3))),
        time_train=rng.random(5),
        event_train=np.array([1, 0, 1, 1, 0], dtype=np.uint8),
        X_test=np.asfortranarray(rng.standard_normal((4, 3))),
        times=np.linspace(0.1, 1.0, 6),
    )
    write_split(tmp_path, split)
    hazard = rng.random((4, 6))
    write_hazard(tmp_path / "hazard.f64", hazard)

    for read, written in zip(read_split(tmp_path), split, strict=True):
        np.testing.assert_array_equal(read, written)
        assert read.dtype == written.dtype
    assert read_split(tmp_path).X_train.flags.f_contiguous
    np.testing.assert_array_equal(read_hazard(tmp_path / "hazard.f64", 4), hazard)


def test_step_values_are_right_continuous_and_zero_before_the_first_knot():
    knots = np.array([1.0, 2.0, 4.0])
    values = np.array([[0.1, 0.3, 0.6]])
    times = np.array([0.5, 1.0, 1.5, 2.0, 5.0])
    np.testing.assert_array_equal(step_values(knots, values, times), [[0.0, 0.1, 0.1, 0.3, 0.6]])


@pytest.mark.parametrize(
    ("seconds_at_1000", "growth", "skipped"),
    [(2.0, 1.5, False), (2.0, 2.3, True), (None, 1.5, True)],
    ids=["extrapolates-within-budget", "extrapolates-past-budget", "skipped-at-smaller-n"],
)
def test_budget_skips_what_would_overrun_or_already_did(seconds_at_1000, growth, skipped):
    job = run.Job("forest", "side", "forest", command=None, budget_key="side", growth=growth)
    small, large = run.synthetic_case(1_000, 10), run.synthetic_case(10_000, 10)
    budget = run.Budget(seconds=100.0)
    if seconds_at_1000 is None:
        earlier = run.Skipped("skipped (budget)")
    else:
        earlier = run.Measurement({"fit": [seconds_at_1000]}, [], 0.0, 0.0, 0)
    budget.record(job, small, earlier)

    assert (budget.check(job, large) is not None) == skipped
    assert budget.check(job, run.synthetic_case(10_000, 50)) is None  # other p, no history
    assert budget.check(job, run.synthetic_case(10_000, 10, continuous=True)) is None  # its own history


@pytest.mark.parametrize(
    "existing, kept",
    [
        (None, ""),
        (f"{run.PAGE_HEAD}\n{run.TABLE_HEADING}\n\n| table |\n", ""),
        (
            f"{run.PAGE_HEAD}\n{run.TABLE_HEADING}\n\n| table |\n\n## Where the time goes\n\nnotes\n",
            "\n## Where the time goes\n\nnotes\n",
        ),
        # A page from before the table had a heading of its own.
        ("# Benchmark results\n\n| table |\n\n## Where the time goes\n\nnotes\n", "\n## Where the time goes\n\nnotes\n"),
    ],
)
def test_a_new_table_keeps_the_hand_written_profile_notes(tmp_path, existing, kept):
    page = tmp_path / "performance.md"
    if existing is not None:
        page.write_text(existing)
    assert run.kept_sections(page) == kept


def test_the_performance_page_starts_as_a_new_table_writes_it():
    assert run.RESULTS_PATH.read_text().startswith(f"{run.PAGE_HEAD}\n{run.TABLE_HEADING}\n")


def test_continuous_cases_are_the_rounded_data_without_the_rounding():
    X, time_, event = run.synthetic_data(500, 4, continuous=True)
    X_rounded, time_rounded, event_rounded = run.synthetic_data(500, 4)
    assert len(np.unique(time_)) == 500
    np.testing.assert_array_equal(X, X_rounded)
    np.testing.assert_array_equal(event, event_rounded)
    np.testing.assert_array_equal(np.ceil(time_ / run.TIME_STEP) * run.TIME_STEP, time_rounded)
