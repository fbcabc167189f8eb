"""CausalSurvivalForest: effects of a treatment on a censored outcome, with intervals."""

from functools import partial

import numpy as np
import pytest
from sklearn.base import clone

from korvane import CausalSurvivalForest, Surv
from korvane.causal_survival import _ratio_variance


def effect_data(n, seed, effect=True):
    """Exponential failure times whose log-rate the treatment moves by -X2 (or not at all);
    with horizon 1, the RMST effect is positive and grows with X2."""
    rng = np.random.default_rng(seed)
    X = rng.random((n, 4))
    W = (rng.random(n) < 0.3 + 0.4 * X[:, 0]).astype(float)
    rate = np.exp(X[:, 0] - (1.5 * X[:, 1] * W if effect else 0.0))
    failure, censoring = rng.exponential(1.0 / rate), rng.exponential(3.0, n)
    return X, Surv.from_arrays(failure <= censoring, np.round(np.minimum(failure, censoring), 2)), W


def true_rmst_effect(X, horizon=1.0):
    rates = [np.exp(X[:, 0] - 1.5 * X[:, 1] * w) for w in (1.0, 0.0)]
    return (1 - np.exp(-rates[0] * horizon)) / rates[0] - (1 - np.exp(-rates[1] * horizon)) / rates[1]


NUMPY_2 = int(np.__version__.split(".")[0]) >= 2
HORIZON = r"The 'horizon' parameter of CausalSurvivalForest must be a float in the range \(0.0, inf\)"
SMALL = {"n_estimators": 200, "nuisance_estimators": 100, "random_state": 3, "n_jobs": 1}


@pytest.fixture(scope="module")
def fitted():
    X, y, W = effect_data(800, 0)
    return CausalSurvivalForest(horizon=1.0, **SMALL).fit(X, y, W)


def bag_terms(per_tree):
    """(1, n_trees, 2) tree terms with the given numerators and unit denominators."""
    return np.stack((per_tree, np.ones_like(per_tree)), axis=-1)[None, :, :]


@pytest.mark.parametrize("noise", [0.0, 1e-3])
def test_little_bags_variance_is_the_spread_between_bags(noise):
    # Many bags: the bags' spread is known well, and a bag's own trees add little.
    bag_means = np.random.default_rng(1).normal(size=200)
    per_tree = np.repeat(bag_means, 2) + noise * np.tile([1.0, -1.0], 200)
    variance = _ratio_variance(bag_terms(per_tree), 2)
    assert variance[0] == pytest.approx(np.var(bag_means), rel=1e-4)


@pytest.mark.parametrize("n_bags", [3, 200])
def test_little_bags_variance_of_bags_that_differ_only_by_their_trees_is_small_but_positive(n_bags):
    variance = _ratio_variance(bag_terms(np.tile([1.0, -1.0], n_bags)), 2)  # every bag's mean is 0
    # Two trees of +-1 per bag would spread the bag means by 1 if they were drawn apart;
    # the spread seen is 0, which leaves a variance near 0 that is still positive.
    assert 0.0 < variance[0] < (0.6 if n_bags == 3 else 0.02)


def test_the_variance_scales_with_the_denominator_as_a_ratio_does():
    rng = np.random.default_rng(2)
    terms = np.stack((rng.normal(size=(4, 40)), rng.uniform(0.5, 1.5, (4, 40))), axis=-1)
    scaled = terms * np.array([1.0, 2.0])  # the effect halves, its variance quarters
    np.testing.assert_allclose(_ratio_variance(scaled, 2), _ratio_variance(terms, 2) / 4.0, rtol=1e-12)


def test_predictions_equal_the_forest_weighted_ratio_of_the_terms(fitted):
    X = np.asfortranarray(np.random.default_rng(1).random((50, 4)))
    terms = np.column_stack((fitted.numerator_, fitted.denominator_))
    sums = np.asarray(fitted._forest._weighted_sums(X, terms))
    estimate, lower, upper = fitted.predict(X, interval=True)
    np.testing.assert_array_equal(fitted.predict(X), estimate)
    np.testing.assert_allclose(estimate, sums[:, 0] / sums[:, 1], rtol=1e-12)
    np.testing.assert_allclose(upper - estimate, estimate - lower, rtol=1e-9)


def test_the_effect_is_recovered_with_intervals_that_cover_it(fitted):
    X = np.random.default_rng(2).random((400, 4))
    truth = true_rmst_effect(X)
    assert np.all((fitted.W_hat_ > 0.0) & (fitted.W_hat_ < 1.0))
    estimate, lower, upper = fitted.predict(X, interval=True)
    assert np.all((lower <= estimate) & (estimate <= upper))
    assert np.corrcoef(estimate, truth)[0, 1] > 0.7
    assert np.mean((lower <= truth) & (truth <= upper)) > 0.75


def test_without_an_effect_the_intervals_hold_zero():
    X, y, W = effect_data(800, 4, effect=False)
    known = 0.3 + 0.4 * X[:, 0]  # the propensity effect_data draws with
    forest = CausalSurvivalForest(horizon=1.0, **SMALL).fit(X, y, W, W_hat=known)
    np.testing.assert_array_equal(forest.W_hat_, known)
    _, lower, upper = forest.predict(X[:200], interval=True)
    assert np.mean((lower <= 0.0) & (0.0 <= upper)) > 0.85


def test_missing_covariates_are_routed_not_refused():
    # X2 drives the effect; with a fifth of it missing, the rows that hold it
    # still show the effect growing with it, and every row gets an interval.
    X, y, W = effect_data(800, 6)
    X[np.random.default_rng(6).random(800) < 0.2, 1] = np.nan
    forest = CausalSurvivalForest(horizon=1.0, **SMALL).fit(X, y, W)
    assert np.all((forest.W_hat_ > 0.0) & (forest.W_hat_ < 1.0))
    estimate, lower, upper = forest.predict(X, interval=True)
    assert np.isfinite(estimate).all() and np.all((lower <= estimate) & (estimate <= upper))
    held = ~np.isnan(X[:, 1])
    assert np.corrcoef(estimate[held], true_rmst_effect(X[held]))[0, 1] > 0.6


def test_survival_probability_target_has_the_sign_of_the_effect():
    X, y, W = effect_data(800, 5)
    forest = CausalSurvivalForest("survival.probability", 0.5, **SMALL).fit(X, y, W)
    estimate = forest.predict(np.array([[0.5, 0.9, 0.5, 0.5], [0.5, 0.05, 0.5, 0.5]]))
    # P(T > 0.5) rises by exp(-rate(1) 0.5) - exp(-rate(0) 0.5): about 0.28 and 0.02.
    assert estimate[0] > 0.1 and estimate[0] > estimate[1] + 0.1


def test_one_random_state_gives_the_same_bits_whatever_the_threads():
    X, y, W = effect_data(300, 6)
    settings = {**SMALL, "n_estimators": 40, "nuisance_estimators": 30}
    one = CausalSurvivalForest(horizon=1.0, **{**settings, "n_jobs": 1}).fit(X, y, W).predict(X, interval=True)
    two = CausalSurvivalForest(horizon=1.0, **{**settings, "n_jobs": 2}).fit(X, y, W).predict(X, interval=True)
    for a, b in zip(one, two, strict=True):
        np.testing.assert_array_equal(a, b)


def test_clone_keeps_the_settings():
    forest = CausalSurvivalForest(
        "survival.probability", 2.0, 100, ci_group_size=4, min_child_fraction=0.1, random_state=1
    )
    assert clone(forest).get_params() == forest.get_params()
    assert clone(forest).min_child_fraction == 0.1


@pytest.mark.parametrize(
    ("settings", "arguments", "message"),
    [
        ({"target": "median"}, {}, r"The 'target' parameter of CausalSurvivalForest must be a str among"),
        ({"horizon": None}, {}, HORIZON),
        ({"horizon": 0.0}, {}, HORIZON),
        ({"horizon": np.inf}, {}, HORIZON),
        ({"n_estimators": 101}, {}, "n_estimators=101 is not a multiple of ci_group_size=2"),
        ({"max_samples": 0.8}, {}, "max_samples=0.8 is above 0.5"),
        ({"ci_group_size": 0}, {}, r"The 'ci_group_size' parameter of CausalSurvivalForest must be an int in the range \[1, inf\)"),
        ({"min_child_fraction": 0.5}, {}, r"The 'min_child_fraction' parameter of CausalSurvivalForest must be a float in the range \[0.0, 0.5\)"),
        ({}, {"treatment": "values 2"}, "treatment must hold only 0 and 1"),
        ({}, {"treatment": "one arm"}, "treatment must hold both arms"),
        ({}, {"treatment": "short"}, "treatment must be a vector of the 100 rows"),
        ({}, {"y": "short"}, "X has 100 rows but y has 99"),
        ({}, {"W_hat": 1.0}, "W_hat must lie strictly between 0 and 1"),
    ],
)
def test_bad_settings_and_inputs_are_refused_by_name(settings, arguments, message):
    X, y, W = effect_data(100, 7)
    kept = (X.copy(), y.copy(), W.copy())
    treatment = {"values 2": W * 2, "one arm": np.ones(100), "short": W[:-1]}.get(arguments.get("treatment"), W)
    target = y[:-1] if arguments.get("y") == "short" else y
    forest = CausalSurvivalForest(**{"horizon": 1.0, **SMALL, **settings})
    propensity = {"W_hat": np.full(100, arguments["W_hat"])} if "W_hat" in arguments else {}
    with pytest.raises(ValueError, match=message):
        forest.fit(X, target, treatment, **propensity)
    for before, after in zip(kept, (X, y, W), strict=True):
        np.testing.assert_array_equal(before, after)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"interval": "yes"}, "The 'interval' parameter of predict must be an instance of 'bool'"),
        ({"interval": True, "alpha": 1.5}, r"The 'alpha' parameter of predict must be a float in the range \(0.0, 1.0\)"),
    ],
)
def test_bad_prediction_options_are_refused(fitted, options, message):
    with pytest.raises(ValueError, match=message):
        fitted.predict(np.zeros((2, 4)), **options)


def test_intervals_need_little_bags():
    X, y, W = effect_data(200, 8)
    forest = CausalSurvivalForest(horizon=1.0, ci_group_size=1, max_samples=0.7, **{**SMALL, "n_estimators": 20})
    forest.fit(X, y, W)
    assert forest.predict(X[:3]).shape == (3,)
    with pytest.raises(ValueError, match="variance estimates need little bags"):
        forest.predict(X[:3], interval=True)


def test_a_side_floor_reaches_the_effect_forest():
    X, y, W = effect_data(300, seed=3)
    settings = dict(horizon=1.0, n_estimators=20, random_state=0)
    unmet = CausalSurvivalForest(min_side_samples=100, **settings).fit(X, y, W).predict(X[:10])
    np.testing.assert_allclose(unmet, unmet[0], rtol=1e-12)
    assert np.ptp(CausalSurvivalForest(**settings).fit(X, y, W).predict(X[:10])) > 0


# Estimates of korvane a0dc2a3 (when 0.05 was the default child floor), as float.hex, for
# effect_data(300, 5), SMALL with 100 trees and 50 nuisance trees, the first 4 rows.
EARLIER_ESTIMATES = {
    ("RMST", 1.0): (
        ["0x1.e0f6b04b4f864p-3", "0x1.dbba93116560fp-3", "0x1.584680445184bp-2", "0x1.187a810ce72bcp-2"],
        ["0x1.b40d56367d98cp-9", "0x1.8ce533408731ep-9", "0x1.1e105136a7305p-8", "0x1.9f7e9039bb2a3p-7"],
    ),
    ("survival.probability", 0.5): (
        ["0x1.d092d817e6f03p-3", "0x1.eaad14ccd2036p-3", "0x1.52ac64a214497p-2", "0x1.08ee580a3e04ap-2"],
        ["0x1.db2526d0b98e8p-7", "0x1.59b72243f547ep-7", "0x1.41b004267773ep-5", "0x1.f3b6883f21b6cp-7"],
    ),
}


@pytest.mark.parametrize(("target", "horizon"), list(EARLIER_ESTIMATES))
def test_a_child_floor_of_0_05_grows_the_forests_of_earlier_versions(target, horizon):
    X, y, W = effect_data(300, 5)
    settings = {**SMALL, "n_estimators": 100, "nuisance_estimators": 50}
    forest = CausalSurvivalForest(target, horizon, min_child_fraction=0.05, **settings).fit(X, y, W)
    estimates, variances = (np.array([float.fromhex(v) for v in vs]) for vs in EARLIER_ESTIMATES[target, horizon])
    # Recorded under NumPy 2; NumPy 1 sums the scores' terms in another order, which moves
    # the last bit of some estimates.
    same = np.testing.assert_array_equal if NUMPY_2 else partial(np.testing.assert_allclose, rtol=1e-13)
    same(forest.predict(X[:4]), estimates)
    same(forest.predict_variance(X[:4]), variances)


def test_the_default_child_floor_is_a_fifth_of_the_node():
    X, y, W = effect_data(300, 5)
    settings = {**SMALL, "n_estimators": 40, "nuisance_estimators": 30}
    default, fifth, earlier = (
        CausalSurvivalForest(horizon=1.0, **settings, **floor).fit(X, y, W).predict(X)
        for floor in ({}, {"min_child_fraction": 0.2}, {"min_child_fraction": 0.05})
    )
    np.testing.assert_array_equal(default, fifth)
    assert not np.array_equal(default, earlier)
