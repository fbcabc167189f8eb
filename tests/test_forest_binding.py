import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import FOREST_FITS, fit_gradient_forest, fit_log_rank_forest, make_survival


@pytest.mark.parametrize(
    ("fit", "expected"),
    [
        (fit_log_rank_forest, "LogRankSurvivalForest(n_trees=100, n_features=8, n_train_samples=500)"),
        (fit_gradient_forest, "GradientForest(n_trees=500, n_features=8, n_train_samples=500)"),
    ],
)
def test_defaults_and_repr(fit, expected):
    forest = fit(make_survival(n=500, p=8))
    assert repr(forest) == expected
    properties = f"n_trees={forest.n_trees}, n_features={forest.n_features}, n_train_samples={forest.n_train_samples}"
    assert expected.endswith(f"({properties})")


@pytest.mark.parametrize("fit", FOREST_FITS)
def test_single_rows_of_any_stride_weigh_like_their_row_of_the_batch(survival, fit):
    X = survival.X
    forest = fit(survival, n_trees=7, min_samples_leaf=3)
    batch = forest.forest_weights(X)
    assert batch.shape == (80, 80) and batch.flags.c_contiguous and batch.flags.writeable
    by_column = np.ascontiguousarray(X.T)
    for i in range(0, 80, 7):
        for row in (X[i], by_column[:, i], X[i, ::-1][::-1]):
            one = forest.forest_weights_one(row)
            assert one.shape == (80,) and one.dtype == np.float64
            assert one.tobytes() == batch[i].tobytes()
    assert forest.forest_weights(X[:0]).shape == (0, 80)


@pytest.mark.parametrize("fit", FOREST_FITS)
@pytest.mark.parametrize(
    ("settings", "full"),
    [
        ({"honesty": False, "bootstrap": True, "subsample_fraction": 0.6}, False),
        ({"honesty": True, "bootstrap": True, "subsample_fraction": 0.6}, False),
        ({"honesty": False, "bootstrap": False, "subsample_fraction": 1.0}, True),
    ],
)
def test_weights_are_non_negative_and_sum_to_at_most_one(survival, fit, settings, full):
    """Exactly one when every tree records every training row."""
    weights = fit(survival, n_trees=5, **settings).forest_weights(make_survival(n=30, seed=9).X)
    totals = weights.sum(axis=1)
    assert (weights >= 0).all() and (totals <= 1 + 1e-12).all()
    if full:
        np.testing.assert_allclose(totals, 1.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("fit", FOREST_FITS)
def test_queries_check_their_feature_counts_and_dimensions(survival, fit):
    forest = fit(survival, n_trees=2)
    with pytest.raises(ValueError, match="^x has 3 features but forest was fit on 4$"):
        forest.forest_weights_one(survival.X[0, :3])
    with pytest.raises(ValueError, match="^X has 3 features but forest was fit on 4$"):
        forest.forest_weights(survival.X[:, :3])
    with pytest.raises(TypeError, match="^argument 'x': "):
        forest.forest_weights_one(survival.X[:1])
    with pytest.raises(TypeError, match="^argument 'X': "):
        forest.forest_weights(survival.X[0])
    unaligned = np.zeros(4 * 8 + 1, np.uint8)[1:].view(np.float64)
    with pytest.raises(ValueError, match=r"^x must be 8-byte aligned .* x\.copy\(\)$"):
        forest.forest_weights_one(unaligned)


def test_forest_prediction(survival):
    X = survival.X
    times = np.array([0.5, 3.0, 9.0, 3.0])
    forest = fit_log_rank_forest(survival, n_trees=4)
    predicted = forest.predict_cumulative_hazard(X[:7], times)
    assert predicted.shape == (7, 4) and predicted.flags.c_contiguous
    assert forest.predict_cumulative_hazard(X, times[:0]).shape == (80, 0)
    with pytest.raises(ValueError, match="^X has 5 features but forest was fit on 4$"):
        forest.predict_cumulative_hazard(np.ones((1, 5)), times)
    assert not hasattr(core.GradientForest, "predict_cumulative_hazard")


def test_forests_are_identical_whatever_the_number_of_worker_threads():
    script = textwrap.dedent(
        """
        import hashlib, sys
        sys.path.insert(0, sys.argv[1])
        from conftest import fit_gradient_forest, fit_log_rank_forest, make_survival, model_outputs
        s = make_survival(n=120, p=5, seed=3)
        forests = [fit(s, n_trees=16, min_samples_leaf=3, seed=7) for fit in (fit_log_rank_forest, fit_gradient_forest)]
        print(hashlib.sha256(b"".join(model_outputs(forest, s.X) for forest in forests)).hexdigest())
        """
    )

    def run(threads):
        env = os.environ | {"RAYON_NUM_THREADS": str(threads)}
        command = [sys.executable, "-c", script, os.path.dirname(__file__)]
        return subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout

    assert run(1) == run(2)


@pytest.mark.parametrize("fit", FOREST_FITS)
def test_threads_querying_one_forest_see_sequential_results(survival, fit):
    forest = fit(survival, n_trees=10, min_samples_leaf=3)
    queries = [make_survival(n=40, seed=s).X for s in range(12)]

    def answers(X):
        return forest.forest_weights(X).tobytes() + forest.forest_weights_one(X[0]).tobytes()

    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(answers, queries)) == [answers(X) for X in queries]


def test_gradient_forest_keeps_no_reference_to_its_pseudo_outcome(survival):
    outcome = survival.event_time - survival.event_time.mean()
    before = sys.getrefcount(outcome)
    forest = core.fit_gradient_forest(survival.X, outcome, n_trees=3)
    assert sys.getrefcount(outcome) == before and forest.n_trees == 3
