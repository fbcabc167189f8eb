"""The effect estimators: what they estimate on simulations whose truth is
known, their intervals, weights and argument checks."""

import numpy as np
import pytest
from sklearn.base import clone

from korvane import CausalForest, QuantileForest, RegressionForest


def simulate(effect, n=1500, p=5, seed=0, propensity=None):
    """Covariates U(0, 1), treatment with P(w = 1 | x) = propensity(x) (0.5
    without), outcome x1 + w * effect(x) + N(0, 1)."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(n, p))
    e = np.full(n, 0.5) if propensity is None else propensity(X)
    w = rng.binomial(1, e).astype(float)
    y = X[:, 1] + w * effect(X) + rng.normal(size=n)
    return X, y, w


CONSTANT = lambda X: np.full(len(X), 2.0)
LINEAR = lambda X: 1.0 + 2.0 * X[:, 0]
CONFOUNDED = lambda X: 0.2 + 0.6 * X[:, 1]


@pytest.mark.parametrize(
    ("effect", "propensity", "max_mse"),
    [(CONSTANT, None, 0.05), (LINEAR, None, 0.08), (CONSTANT, CONFOUNDED, 0.08)],
    ids=["constant", "linear", "confounded"],
)
def test_causal_forest_recovers_the_effect(effect, propensity, max_mse):
    X, y, w = simulate(effect, propensity=propensity)
    forest = CausalForest(n_estimators=200, random_state=1).fit(X, y, w)
    X_test = np.random.default_rng(5).uniform(size=(300, X.shape[1]))
    assert np.mean((forest.predict(X_test) - effect(X_test)) ** 2) < max_mse
    estimate, standard_error = forest.average_treatment_effect()
    assert abs(estimate - effect(X).mean()) < 4 * standard_error
    assert 0.0 < standard_error < 0.2


def test_causal_forest_intervals_cover_at_a_sane_rate():
    X, y, w = simulate(LINEAR, n=2000, seed=3)
    forest = CausalForest(n_estimators=400, random_state=2).fit(X, y, w)
    X_test = np.random.default_rng(6).uniform(size=(400, X.shape[1]))
    effect, lower, upper = forest.predict(X_test, interval=True)
    truth = LINEAR(X_test)
    assert (lower <= effect).all() and (effect <= upper).all()
    assert 0.75 <= np.mean((lower <= truth) & (truth <= upper)) <= 1.0
    wider = forest.predict(X_test, interval=True, alpha=0.01)
    assert (wider[2] - wider[1] > upper - lower).all()
    np.testing.assert_allclose(((upper - lower) / (2 * 1.959963984540054)) ** 2, forest.predict_variance(X_test))


def test_given_nuisances_are_used_as_they_are():
    X, y, w = simulate(CONSTANT, n=600)
    Y_hat, W_hat = X[:, 1] + 1.0, np.full(len(y), 0.5)
    forest = CausalForest(n_estimators=50, random_state=0).fit(X, y, w, Y_hat=Y_hat, W_hat=W_hat)
    np.testing.assert_array_equal(forest.Y_hat_, Y_hat)
    np.testing.assert_array_equal(forest.W_hat_, W_hat)
    assert abs(forest.predict(X).mean() - 2.0) < 0.3


def test_nuisance_estimates_never_lean_on_their_own_row():
    # Pure noise: an estimate that saw its own row (the nuisance trees are
    # not honest, so in-bag leaves hold it) would correlate with it.
    rng = np.random.default_rng(8)
    X, y, w = rng.uniform(size=(800, 3)), rng.normal(size=800), rng.normal(size=800)
    forest = CausalForest(n_estimators=100, min_samples_leaf=1, model_y="forest", model_t="forest", random_state=0)
    forest.fit(X, y, w)
    for estimate, own in ((forest.Y_hat_, y), (forest.W_hat_, w)):
        assert abs(np.corrcoef(estimate, own)[0, 1]) < 0.1


def test_effect_is_not_pulled_towards_its_average_by_coarse_nuisances():
    # y and a continuous treatment move strongly with covariates other than
    # the effect's; what the nuisance forests miss of them stays in the
    # centred values and flattens the effect's slope in x0.
    rng = np.random.default_rng(0)
    X = rng.uniform(size=(1500, 6))
    w = 2 * X[:, 1] + 2 * X[:, 2] + rng.uniform(-0.5, 0.5, 1500)
    y = (1 + 2 * X[:, 0]) * w + 2 * X[:, 3] + rng.uniform(-0.5, 0.5, 1500)
    forest = CausalForest(n_estimators=200, random_state=0).fit(X, y, w)
    X_test = np.random.default_rng(9).uniform(size=(300, 6))
    assert np.mean((forest.predict(X_test) - 1 - 2 * X_test[:, 0]) ** 2) < 0.035


def test_a_fit_is_a_pure_function_of_its_inputs_and_random_state():
    X, y, w = simulate(LINEAR, n=400)
    first = CausalForest(n_estimators=40, random_state=3).fit(X, y, w)
    again = clone(first).fit(X, y, w)
    threaded = CausalForest(n_estimators=40, random_state=3, n_jobs=1).fit(X, y, w)
    for other in (again, threaded):
        np.testing.assert_array_equal(other.predict(X), first.predict(X))
        np.testing.assert_array_equal(other.predict_variance(X), first.predict_variance(X))


def test_unit_sample_weights_equal_none():
    X, y, w = simulate(LINEAR, n=400)
    plain = CausalForest(n_estimators=40, random_state=3).fit(X, y, w)
    weighted = CausalForest(n_estimators=40, random_state=3).fit(X, y, w, sample_weight=np.ones(len(y)))
    np.testing.assert_array_equal(weighted.predict(X), plain.predict(X))


def test_weight_zero_rows_do_not_move_the_effect():
    # Rows of weight 0 carry a wildly different effect; they must not show.
    X, y, w = simulate(CONSTANT, n=1200, seed=4)
    poisoned = X[:, 2] < 0.3
    y = np.where(poisoned, y + 50 * w, y)
    forest = CausalForest(n_estimators=100, random_state=0).fit(X, y, w, sample_weight=np.where(poisoned, 0.0, 1.0))
    assert abs(np.median(forest.predict(X[~poisoned])) - 2.0) < 0.4
    assert abs(forest.average_treatment_effect()[0] - 2.0) < 0.4


@pytest.mark.parametrize(
    ("settings", "fit_arguments", "message"),
    [
        ({"n_estimators": 5}, {}, "n_estimators=5 is not a multiple of ci_group_size=2"),
        ({"max_samples": 0.7}, {}, "max_samples=0.7 is above 0.5"),
        ({}, {"treatment": "twice"}, "treatment must be numbers"),
        ({}, {"Y_hat": np.zeros(3)}, r"Y_hat must have shape \(200,\)"),
        ({}, {"sample_weight": -np.ones(200)}, "sample_weight must be >= 0"),
        ({"ci_group_size": 0}, {}, r"The 'ci_group_size' parameter of CausalForest must be an int in the range \[1, inf\)"),
    ],
)
def test_causal_forest_refuses_bad_settings_with_a_clear_message(settings, fit_arguments, message):
    X, y, w = simulate(CONSTANT, n=200)
    arguments = {"treatment": w} | fit_arguments
    treatment = arguments.pop("treatment")
    with pytest.raises(ValueError, match=message):
        CausalForest(**({"n_estimators": 10} | settings)).fit(X, y, treatment, **arguments)


def test_variance_and_average_effect_say_what_they_need():
    X, y, w = simulate(CONSTANT, n=300)
    without_bags = CausalForest(n_estimators=10, ci_group_size=1, random_state=0).fit(X, y, w)
    with pytest.raises(ValueError, match="ci_group_size >= 2"):
        without_bags.predict(X, interval=True)
    continuous = CausalForest(n_estimators=10, random_state=0).fit(X, y, w + X[:, 0])
    with pytest.raises(ValueError, match="binary"):
        continuous.average_treatment_effect()


def test_regression_forest_predicts_forest_weighted_means():
    rng = np.random.default_rng(0)
    X = rng.uniform(size=(600, 3))
    y = 3.0 * (X[:, 0] > 0.5) + rng.normal(scale=0.2, size=600)
    forest = RegressionForest(n_estimators=100, random_state=0).fit(X, y)
    np.testing.assert_allclose(forest.predict(X[:20]), forest._forest.forest_weights(np.asfortranarray(X[:20])) @ y, rtol=1e-10)
    assert np.mean((forest.oob_prediction_ - 3.0 * (X[:, 0] > 0.5)) ** 2) < 0.1
    assert forest.score(X, y) > 0.9


def test_regression_forest_weights_scale_rows_in_the_means():
    rng = np.random.default_rng(1)
    X = rng.uniform(size=(300, 2))
    y = rng.normal(size=300)
    weight = rng.uniform(0.5, 2.0, size=300)
    forest = RegressionForest(n_estimators=30, random_state=0).fit(X, y, sample_weight=weight)
    a = forest._forest.forest_weights(np.asfortranarray(X[:10]))
    np.testing.assert_allclose(forest.predict(X[:10]), (a * weight) @ y / ((a * weight).sum(axis=1)), rtol=1e-10)


def test_quantile_forest_brackets_the_outcome():
    rng = np.random.default_rng(2)
    X = rng.uniform(size=(2000, 2))
    y = rng.normal(scale=1 + 2 * X[:, 0])
    forest = QuantileForest(quantiles=[0.1, 0.5, 0.9], n_estimators=100, random_state=0).fit(X, y)
    X_test = rng.uniform(size=(500, 2))
    y_test = rng.normal(scale=1 + 2 * X_test[:, 0])
    low, median, high = forest.predict(X_test).T
    assert (low <= median).all() and (median <= high).all()
    assert 0.7 < np.mean((low <= y_test) & (y_test <= high)) < 0.9
    assert np.corrcoef(high - low, X_test[:, 0])[0, 1] > 0.5


def test_quantile_forest_extreme_levels_are_the_extreme_weighted_outcomes():
    rng = np.random.default_rng(3)
    X = rng.uniform(size=(200, 2))
    y = rng.normal(size=200)
    forest = QuantileForest(quantiles=[0.0, 1.0], n_estimators=20, random_state=0).fit(X, y)
    weights = forest._forest.forest_weights(np.asfortranarray(X[:5]))
    lowest, highest = forest.predict(X[:5]).T
    for row in range(5):
        reached = y[weights[row] > 0]
        assert lowest[row] == reached.min() and highest[row] == reached.max()


@pytest.mark.parametrize("quantiles", [[1.5], [], [[0.5]], "median"])
def test_quantile_forest_refuses_levels_outside_0_1(quantiles):
    X, y, _ = simulate(CONSTANT, n=50)
    with pytest.raises(ValueError, match="quantiles"):
        QuantileForest(quantiles=quantiles, n_estimators=5).fit(X, y)


def test_a_pickled_causal_forest_answers_the_same():
    import pickle

    X, y, w = simulate(LINEAR, n=300)
    forest = CausalForest(n_estimators=20, random_state=0).fit(X, y, w)
    copy = pickle.loads(pickle.dumps(forest))
    np.testing.assert_array_equal(copy.predict(X), forest.predict(X))
    np.testing.assert_array_equal(copy.predict_variance(X), forest.predict_variance(X))


def _with_missing(X, column, share, seed):
    X = X.copy()
    X[np.random.default_rng(seed).random(len(X)) < share, column] = np.nan
    return X


def test_missing_covariates_carry_their_own_effect():
    # The rows whose x2 is missing have effect 3, the others 1: the forest
    # must route them apart rather than refuse or scatter them.
    X, _, w = simulate(CONSTANT, n=2000, seed=6)
    X = _with_missing(X, 2, 0.3, 6)
    missing = np.isnan(X[:, 2])
    y = X[:, 1] + w * np.where(missing, 3.0, 1.0) + np.random.default_rng(7).normal(size=len(w))
    forest = CausalForest(n_estimators=200, random_state=0).fit(X, y, w)
    effect = forest.predict(X)
    assert abs(np.median(effect[missing]) - 3.0) < 0.5 and abs(np.median(effect[~missing]) - 1.0) < 0.5
    regression = RegressionForest(n_estimators=100, random_state=0).fit(X, np.where(missing, 5.0, X[:, 0]))
    np.testing.assert_allclose(regression.predict(X[missing][:20]), 5.0, atol=0.5)


@pytest.mark.parametrize("estimator", [RegressionForest, QuantileForest])
def test_a_fit_without_missing_values_is_the_fit_that_refuses_them(estimator):
    from korvane._estimator import seed_from
    from korvane.effects import _regression_forest

    X, y, _ = simulate(LINEAR, n=300)
    forest = estimator(n_estimators=20, random_state=4).fit(X, y)
    settings = forest._core_settings(*X.shape) | {"missing_values": False}
    refusing = _regression_forest(np.asfortranarray(X), y, None, settings, seed_from(4))
    query = np.asfortranarray(X[:50])
    np.testing.assert_array_equal(forest._forest.forest_weights(query), refusing.forest_weights(query))


def test_infinite_covariates_are_refused():
    X, y, w = simulate(CONSTANT, n=100)
    X[3, 1] = np.inf
    with pytest.raises(ValueError, match="infinity"):
        CausalForest(n_estimators=10).fit(X, y, w)


def test_a_side_floor_no_node_meets_gives_one_effect_everywhere():
    X, y, w = simulate(LINEAR, n=400)
    forest = CausalForest(n_estimators=20, min_side_samples=150, random_state=0).fit(X, y, w)
    effect = forest.predict(X[:10])
    np.testing.assert_allclose(effect, effect[0], rtol=1e-12)
    assert np.ptp(CausalForest(n_estimators=20, random_state=0).fit(X, y, w).predict(X[:10])) > 0
