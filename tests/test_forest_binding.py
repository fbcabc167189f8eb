import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import make_survival


def log_rank(survival, **settings):
    return core.fit_log_rank_forest(*survival, **settings)


def gradient(survival, **settings):
    X, t, _ = survival
    return core.fit_gradient_forest(X, t - t.mean(), **settings)


FITS = [pytest.param(log_rank, id="log_rank"), pytest.param(gradient, id="gradient")]


@pytest.mark.parametrize(
    ("fit", "expected"),
    [
        (log_rank, "LogRankSurvivalForest(n_trees=100, n_features=8, n_train_samples=500)"),
        (gradient, "GradientForest(n_trees=500, n_features=8, n_train_samples=500)"),
    ],
)
def test_defaults_and_repr(fit, expected):
    forest = fit(make_survival(n=500, p=8))
    assert repr(forest) == expected
    properties = f"n_trees={forest.n_trees}, n_features={forest.n_features}, n_train_samples={forest.n_train_samples}"
    assert expected.endswith(f"({properties})")


@pytest.mark.parametrize("fit", FITS)
def test_single_row_weights_equal_the_batched_rows_bit_for_bit(survival, fit):
    forest = fit(survival, n_trees=7, min_samples_leaf=3)
    batch = forest.forest_weights(survival.X)
    assert batch.shape == (80, 80) and batch.flags.c_contiguous and batch.flags.writeable
    for i in range(0, 80, 7):
        one = forest.forest_weights_one(survival.X[i])
        assert one.shape == (80,) and one.dtype == np.float64
        assert one.tobytes() == batch[i].tobytes()


@pytest.mark.parametrize("fit", FITS)
@pytest.mark.parametrize("honesty", [False, True])
def test_weights_are_non_negative_and_sum_to_at_most_one(survival, fit, honesty):
    weights = fit(survival, n_trees=5, honesty=honesty, bootstrap=True, subsample_fraction=0.6).forest_weights(survival.X)
    assert (weights >= 0).all() and (weights.sum(axis=1) <= 1 + 1e-12).all()


@pytest.mark.parametrize("fit", FITS)
def test_weights_sum_to_one_on_full_samples_without_honesty(survival, fit):
    forest = fit(survival, n_trees=5, bootstrap=False, subsample_fraction=1.0, honesty=False)
    query = make_survival(n=30, seed=9).X
    np.testing.assert_allclose(forest.forest_weights(query).sum(axis=1), 1.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("fit", FITS)
def test_feature_counts_are_checked_per_query_form(survival, fit):
    forest = fit(survival, n_trees=2)
    with pytest.raises(ValueError, match="^x has 3 features but forest was fit on 4$"):
        forest.forest_weights_one(survival.X[0, :3])
    with pytest.raises(ValueError, match="^X has 3 features but forest was fit on 4$"):
        forest.forest_weights(survival.X[:, :3])
    with pytest.raises(TypeError, match="^argument 'x': "):
        forest.forest_weights_one(survival.X[:1])
    with pytest.raises(TypeError, match="^argument 'X': "):
        forest.forest_weights(survival.X[0])


@pytest.mark.parametrize("fit", FITS)
def test_strided_and_empty_queries(survival, fit):
    forest = fit(survival, n_trees=3)
    by_column = np.ascontiguousarray(survival.X.T)
    assert np.array_equal(forest.forest_weights_one(by_column[:, 5]), forest.forest_weights(survival.X)[5])
    assert np.array_equal(forest.forest_weights_one(survival.X[5, ::-1][::-1]), forest.forest_weights_one(survival.X[5]))
    assert forest.forest_weights(survival.X[:0]).shape == (0, 80)
    unaligned = np.zeros(4 * 8 + 1, np.uint8)[1:].view(np.float64)
    with pytest.raises(ValueError, match=r"^x must be 8-byte aligned .* x\.copy\(\)$"):
        forest.forest_weights_one(unaligned)


def test_forest_prediction(survival):
    X = survival.X
    times = np.array([0.5, 3.0, 9.0, 3.0])
    forest = log_rank(survival, n_trees=4)
    predicted = forest.predict_cumulative_hazard(X[:7], times)
    assert predicted.shape == (7, 4) and predicted.flags.c_contiguous
    assert forest.predict_cumulative_hazard(X, times[:0]).shape == (80, 0)
    with pytest.raises(ValueError, match="^X has 5 features but forest was fit on 4$"):
        forest.predict_cumulative_hazard(np.ones((1, 5)), times)
    assert not hasattr(core.GradientForest, "predict_cumulative_hazard")


def outputs(forest, X):
    hazard = forest.predict_cumulative_hazard(X, np.arange(20.0)).tobytes() if hasattr(forest, "predict_cumulative_hazard") else b""
    return hazard + forest.forest_weights(X).tobytes()


@pytest.mark.parametrize("fit", FITS)
def test_seed_none_zero_and_omitted_give_the_same_forest(survival, fit):
    forests = [fit(survival, n_trees=4, **s) for s in ({}, {"seed": None}, {"seed": 0})]
    assert len({outputs(f, survival.X) for f in forests}) == 1
    assert outputs(fit(survival, n_trees=4, seed=1), survival.X) != outputs(forests[0], survival.X)


def test_forests_are_identical_whatever_the_number_of_worker_threads():
    script = textwrap.dedent(
        """
        import hashlib, sys
        import numpy as np
        from korvane import _korvane_core as core
        sys.path.insert(0, sys.argv[1])
        from conftest import make_survival
        X, t, e = make_survival(n=120, p=5, seed=3)
        forests = [core.fit_log_rank_forest(X, t, e, n_trees=16, min_samples_leaf=3, seed=7),
                   core.fit_gradient_forest(X, t, n_trees=16, min_samples_leaf=3, seed=7)]
        digest = hashlib.sha256(forests[0].predict_cumulative_hazard(X, np.arange(15.0)).tobytes())
        for forest in forests:
            digest.update(forest.forest_weights(X).tobytes())
        print(digest.hexdigest())
        """
    )
    here = os.path.dirname(__file__)

    def run(threads):
        env = os.environ | {"RAYON_NUM_THREADS": str(threads)}
        return subprocess.run([sys.executable, "-c", script, here], env=env, capture_output=True, text=True, check=True).stdout

    assert run(1) == run(2)


@pytest.mark.parametrize("fit", FITS)
def test_threads_querying_one_forest_see_sequential_results(survival, fit):
    forest = fit(survival, n_trees=10, min_samples_leaf=3)
    queries = [make_survival(n=40, seed=s).X for s in range(12)]
    sequential = [forest.forest_weights(q).tobytes() + forest.forest_weights_one(q[0]).tobytes() for q in queries]
    with ThreadPoolExecutor(max_workers=4) as pool:
        concurrent = list(pool.map(lambda q: forest.forest_weights(q).tobytes() + forest.forest_weights_one(q[0]).tobytes(), queries))
    assert concurrent == sequential


def test_gradient_forest_settings_and_pseudo_outcome(survival):
    X, t, _ = survival
    outcome = t - t.mean()
    before = sys.getrefcount(outcome)
    forest = core.fit_gradient_forest(X, outcome, n_trees=3, honesty=False, honesty_fraction=7.0)
    assert sys.getrefcount(outcome) == before and forest.n_trees == 3
    with pytest.raises(ValueError, match=r"^honesty_fraction must lie in \(0, 1\), got 0$"):
        core.fit_gradient_forest(X, outcome, honesty_fraction=0.0)
    assert repr(core.fit_log_rank_forest(*survival, n_trees=1)).startswith("LogRankSurvivalForest(n_trees=1,")
