import math
import warnings

import numpy as np
import pytest
from estimator_data import ESTIMATORS, make_data

from korvane import RandomSurvivalForest, StepFunction, Surv, SurvivalTree, fit_log_rank_forest, fit_log_rank_tree
from korvane._estimator import seed_from
from korvane.ensemble import _subsample_fraction
from korvane.metrics import concordance_index


def _core_arrays(X, y):
    return np.asfortranarray(X, dtype=np.float64), np.ascontiguousarray(y["time"]), y["event"].astype(np.uint8)


@pytest.mark.parametrize(
    ("settings", "core_settings"),
    [
        ({}, {"max_features": 3}),
        ({"max_features": "log2", "min_samples_leaf": 0.05}, {"max_features": 3, "min_samples_leaf": 8}),
        ({"max_features": 0.5, "max_depth": 3}, {"max_features": 5, "max_depth": 3}),
        ({"max_features": None, "bootstrap": False, "max_samples": 90}, {"max_features": 11, "bootstrap": False,
                                                                        "subsample_fraction": 0.6}),
        ({"honesty": True, "honesty_fraction": 0.3}, {"max_features": 3, "honesty": True, "honesty_fraction": 0.3}),
    ],
)
def test_forest_grows_the_core_forest_its_settings_describe(settings, core_settings):
    X, y = make_data(n=150, p=11)
    forest = RandomSurvivalForest(n_estimators=8, random_state=4, **settings).fit(X, y)
    core_settings = {"min_samples_leaf": 3, **core_settings}
    expected = fit_log_rank_forest(*_core_arrays(X, y), n_trees=8, seed=seed_from(4), **core_settings)
    times = forest.unique_times_
    assert np.array_equal(forest.unique_times_, np.unique(y["time"]))
    hazard = forest.predict_cumulative_hazard_function(X, return_array=True)
    assert np.array_equal(hazard, expected.predict_cumulative_hazard(np.asfortranarray(X), times))
    at_events = expected.predict_cumulative_hazard(np.asfortranarray(X), times[forest.is_event_time_])
    assert np.array_equal(forest.predict(X), at_events.sum(axis=1))
    assert np.array_equal(forest.forest_weights(X[:5]), expected.forest_weights(np.asfortranarray(X[:5])))


def test_tree_grows_the_core_tree_its_settings_describe():
    X, y = make_data()
    tree = SurvivalTree(max_features="sqrt", min_samples_leaf=5, random_state=9).fit(X, y)
    expected = fit_log_rank_tree(*_core_arrays(X, y), min_samples_leaf=5, max_features=2, seed=seed_from(9))
    assert np.array_equal(
        tree.predict_cumulative_hazard_function(X, return_array=True),
        expected.predict_cumulative_hazard(np.asfortranarray(X), tree.unique_times_),
    )


@pytest.mark.parametrize("name", ESTIMATORS)
def test_curves_steps_and_quantiles_agree_with_the_hazard_array(name):
    X, y = make_data()
    model = ESTIMATORS[name]().fit(X, y)
    times = model.unique_times_
    hazard = model.predict_cumulative_hazard_function(X[:6], return_array=True)
    survival = model.predict_survival_function(X[:6], return_array=True)
    assert np.allclose(survival, np.exp(-hazard), rtol=0, atol=0)
    for curve, row in zip(model.predict_survival_function(X[:6]), survival):
        assert isinstance(curve, StepFunction)
        assert curve(0.0) == curve(times[0] - 0.5) == 1.0
        assert np.array_equal(curve(times), row)  # right-continuous: the jump counts at its time
        assert curve(times[-1] + 1e6) == row[-1]
    quantiles = model.predict_quantile_survival_time(X[:6], [0.25, 0.5, 0.999])
    for row, levels in zip(survival, quantiles):
        for level, answer in zip([0.25, 0.5, 0.999], levels):
            reached = np.flatnonzero(row <= 1 - level)
            assert answer == (times[reached[0]] if len(reached) else math.inf)
    assert np.array_equal(model.predict_median_survival_time(X[:6]), quantiles[:, 1])


_SKSURV_ESTIMATORS = {
    "forest": ("sksurv.ensemble", "RandomSurvivalForest", {"n_estimators": 5}),
    "tree": ("sksurv.tree", "SurvivalTree", {}),
}


@pytest.mark.parametrize("name", ESTIMATORS)
def test_time_grid_is_scikit_survivals_on_veteran(name):
    from korvane.datasets import load_veteran

    module, cls, settings = _SKSURV_ESTIMATORS[name]
    peer_class = getattr(pytest.importorskip(module), cls)
    data = load_veteran()
    y = Surv.from_arrays(data.event_indicator, data.event_time)
    model = ESTIMATORS[name]().fit(data.X, y)
    peer = peer_class(random_state=0, **settings).fit(data.X, y)
    assert np.array_equal(model.unique_times_, peer.unique_times_)
    assert np.array_equal(model.is_event_time_, peer.is_event_time_)
    for method in ("predict_survival_function", "predict_cumulative_hazard_function"):
        ours, theirs = getattr(model, method), getattr(peer, method)
        assert ours(data.X[:3], return_array=True).shape == theirs(data.X[:3], return_array=True).shape
        assert np.array_equal(ours(data.X[:1])[0].x, theirs(data.X[:1])[0].x)


@pytest.mark.parametrize("name", ESTIMATORS)
def test_curves_hold_their_event_time_values_until_the_next_event(name):
    X, y = make_data()
    censored_alone = np.setdiff1d(y["time"][~y["event"]], y["time"][y["event"]])
    y["time"][np.flatnonzero(~y["event"])[:2]] = [0.5, 1e4]  # before the first and after the last event
    model = ESTIMATORS[name]().fit(X, y)
    times, is_event = model.unique_times_, model.is_event_time_
    assert len(censored_alone) > 0 and not is_event[[0, -1]].any()
    assert np.array_equal(times[~is_event], np.setdiff1d(y["time"], y["time"][y["event"]]))
    hazard = model.predict_cumulative_hazard_function(X[:5], return_array=True)
    at_events = model.predict_cumulative_hazard_function(X[:5], return_array=True, event_times_only=True)
    assert np.array_equal(hazard[:, is_event], at_events)
    last_event = np.cumsum(is_event) - 1
    carried = np.where(last_event >= 0, at_events[:, np.maximum(last_event, 0)], 0.0)
    assert np.array_equal(hazard, carried)
    assert np.array_equal(model.predict_survival_function(X[:1])[0].x, times)
    assert np.array_equal(model.predict_survival_function(X[:1], event_times_only=True)[0].x, times[is_event])


def test_times_of_rows_of_weight_zero_are_left_off_the_grid():
    X, y = make_data()
    weight = np.ones(len(y))
    y["time"][:2], weight[:2] = [1e4, 2e4], 0.0
    y["event"][0] = True
    tree = SurvivalTree(random_state=0).fit(X, y, sample_weight=weight)
    assert np.array_equal(tree.unique_times_, np.unique(y["time"][2:]))
    assert np.array_equal(tree.is_event_time_, np.isin(tree.unique_times_, y["time"][2:][y["event"][2:]]))


@pytest.mark.parametrize("name", ESTIMATORS)
def test_estimator_pickled_with_the_event_grid_alone_still_predicts(name):
    # Earlier releases kept only the event times in unique_times_ and had no is_event_time_.
    X, y = make_data()
    model = ESTIMATORS[name]().fit(X, y)
    expected = model.predict(X), model.predict_median_survival_time(X)
    model.unique_times_ = model.unique_times_[model.is_event_time_]
    del model.is_event_time_
    assert np.array_equal(model.predict(X), expected[0])
    assert np.array_equal(model.predict_median_survival_time(X), expected[1])
    assert model.predict_survival_function(X, return_array=True).shape == (len(X), len(model.unique_times_))


@pytest.mark.parametrize("q", [0.0, 1.0, -0.1, [[0.5]], np.nan])
def test_quantile_outside_the_open_unit_interval_is_refused(q):
    X, y = make_data()
    model = SurvivalTree().fit(X, y)
    with pytest.raises(ValueError, match="q must be a probability"):
        model.predict_quantile_survival_time(X, q)


@pytest.mark.parametrize("name", ESTIMATORS)
def test_score_is_harrells_c_of_the_risk_and_risk_runs_the_right_way(name):
    X, y = make_data(n=300)
    model = ESTIMATORS[name]().fit(X[:200], y[:200])
    held_out = model.score(X[200:], y[200:])
    assert held_out == concordance_index(y["time"][200:], y["event"][200:], model.predict(X[200:]))
    assert held_out > 0.6  # column 0 raises the hazard; a reversed risk would score below 0.4


def test_an_int_random_state_gives_the_same_forest_and_a_random_state_object_advances():
    X, y = make_data()
    first = RandomSurvivalForest(n_estimators=5, random_state=3).fit(X, y).predict(X)
    assert np.array_equal(first, RandomSurvivalForest(n_estimators=5, random_state=3).fit(X, y).predict(X))
    for source in (np.random.RandomState(3), np.random.default_rng(3)):
        forest = RandomSurvivalForest(n_estimators=5, random_state=source)
        assert not np.array_equal(forest.fit(X, y).predict(X), forest.fit(X, y).predict(X))


def test_warm_start_adds_trees_that_make_exactly_the_larger_forest():
    X, y = make_data()
    grown = RandomSurvivalForest(n_estimators=4, warm_start=True, random_state=None).fit(X, y)
    grown.set_params(n_estimators=11).fit(X, y)
    at_once = fit_log_rank_forest(*_core_arrays(X, y), n_trees=11, min_samples_leaf=3, max_features=2,
                                  seed=grown._seed)
    assert grown.n_estimators_ == 11
    assert np.array_equal(grown.forest_weights(X), at_once.forest_weights(np.asfortranarray(X)))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"n_estimators": 3}, "must not be below the 6 trees"),
        ({"min_samples_leaf": 5}, "min_samples_leaf changed"),
        ({"data": "other"}, "X and y differ"),
    ],
)
def test_warm_start_refuses_what_cannot_extend_the_forest(change, message):
    X, y = make_data()
    forest = RandomSurvivalForest(n_estimators=6, warm_start=True, random_state=0).fit(X, y)
    if change.pop("data", None):
        X = X + 1.0
    with pytest.raises(ValueError, match=message):
        forest.set_params(**change).fit(X, y)


def test_warm_start_without_more_trees_warns_and_keeps_the_forest():
    X, y = make_data()
    forest = RandomSurvivalForest(n_estimators=6, warm_start=True, random_state=0).fit(X, y)
    before = forest.predict(X)
    with pytest.warns(UserWarning, match="grows no new tree"):
        forest.fit(X, y)
    assert np.array_equal(forest.predict(X), before)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"max_features": 5}, r"max_features=5 must lie in \[1, n_features=4\]"),
        ({"max_samples": 151}, r"max_samples=151 must lie in \[1, 150\]"),
        ({"max_samples": 1.5}, r"max_samples=1.5 as a fraction of the rows must lie in \(0, 1\]"),
        ({"n_jobs": 0}, "n_jobs must not be 0"),
        ({"oob_score": True, "bootstrap": False}, "oob_score needs rows each tree leaves out"),
        ({"oob_score": True, "bootstrap": False, "max_samples": 0.999}, "oob_score needs rows each tree leaves out"),
    ],
)
def test_settings_out_of_range_for_the_data_are_refused_naming_the_setting(settings, message):
    X, y = make_data()
    with pytest.raises(ValueError, match=message):
        RandomSurvivalForest(**settings).fit(X, y)


def test_min_samples_split_within_twice_the_leaf_floor_changes_nothing():
    X, y = make_data()
    plain = RandomSurvivalForest(n_estimators=3, random_state=1, min_samples_leaf=4).fit(X, y)
    split = RandomSurvivalForest(n_estimators=3, random_state=1, min_samples_leaf=4, min_samples_split=8).fit(X, y)
    assert np.array_equal(plain.predict(X), split.predict(X))


@pytest.mark.parametrize("n", [1, 2, 3, 7, 10, 49, 100, 999, 1000, 65_537, 1_000_003])
def test_an_int_max_samples_becomes_a_fraction_the_core_rounds_back_to_it(n):
    # The core draws round(f * n) rows, halves away from zero.
    counts = np.unique(np.linspace(1, n, num=min(n, 2000)).astype(int))
    for count in counts:
        assert math.floor(_subsample_fraction(int(count), n) * n + 0.5) == count


def test_step_function_validates_and_compares():
    curve = StepFunction([1.0, 2.0], [0.5, 0.25], initial=1.0)
    assert curve(np.array([[0.0, 1.0], [1.5, 9.0]])).tolist() == [[1.0, 0.5], [0.5, 0.25]]
    assert curve == StepFunction(np.array([1.0, 2.0]), [0.5, 0.25], initial=1.0)
    with pytest.raises(ValueError, match="NaN"):
        curve(np.nan)
    with pytest.raises(ValueError, match="ascending"):
        StepFunction([2.0, 1.0], [0.0, 1.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError):
            curve.x[0] = 5.0  # read-only: the curves of one prediction share their times
