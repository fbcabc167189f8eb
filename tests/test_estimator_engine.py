"""Estimator features built on the engine's private entry points: out-of-bag
answers, leaves, importances, threads, progress and persistence."""

import io
import pickle
import warnings

import numpy as np
import pytest
from estimator_data import ESTIMATORS, make_data

from korvane import RandomSurvivalForest, Surv, SurvivalTree
from korvane import _korvane_core as core
from korvane.metrics import concordance_index


def test_out_of_bag_risk_and_score_come_from_the_trees_that_left_each_row_out():
    X, y = make_data(n=200)
    forest = RandomSurvivalForest(n_estimators=60, random_state=0, oob_score=True).fit(X, y)
    event_times = forest.unique_times_[forest.is_event_time_]
    hazard = forest._model._oob_cumulative_hazard(np.asfortranarray(X), event_times)
    assert np.allclose(forest.oob_prediction_, hazard.sum(axis=1), rtol=1e-12, atol=0)
    assert forest.oob_score_ == concordance_index(y["time"], y["event"], forest.oob_prediction_)
    # Rows a tree was grown on look better to it; out of bag, the score is honest.
    assert 0.6 < forest.oob_score_ < forest.score(X, y)


def test_rows_no_tree_left_out_have_no_out_of_bag_risk_and_a_warning_says_so():
    X, y = make_data(n=100)
    with pytest.warns(UserWarning, match="drawn by every tree"):
        forest = RandomSurvivalForest(n_estimators=2, random_state=0, oob_score=True).fit(X, y)
    unseen = np.isnan(forest.oob_prediction_)
    assert 0 < unseen.sum() < 100
    assert forest.oob_score_ == concordance_index(y["time"][~unseen], y["event"][~unseen],
                                                  forest.oob_prediction_[~unseen])


def test_a_callable_oob_score_receives_the_target_and_the_out_of_bag_risk():
    X, y = make_data(n=100)
    seen = {}

    def scorer(target, risk):
        seen["target"], seen["risk"] = target, risk
        return 0.25

    forest = RandomSurvivalForest(n_estimators=30, random_state=0, oob_score=scorer).fit(X, y)
    assert forest.oob_score_ == 0.25
    assert np.array_equal(seen["target"], Surv.from_arrays(y["event"], y["time"]))
    assert np.array_equal(seen["risk"], forest.oob_prediction_)


def test_out_of_bag_permutation_importance_finds_the_signal_and_repeats_itself():
    X, y = make_data(n=200)
    forest = RandomSurvivalForest(n_estimators=25, random_state=0, oob_score=True).fit(X, y)
    result = forest.oob_permutation_importance(X, y, n_repeats=3)
    assert result.importances.shape == (4, 3)
    assert np.argmax(result.importances_mean) == 0 and result.importances_mean[0] > 0.05
    assert abs(result.importances_mean[1:]).max() < result.importances_mean[0] / 3
    assert result.baseline_score == pytest.approx(forest.oob_score_, abs=0.01)  # summed in another order
    assert np.array_equal(forest.oob_permutation_importance(X, y, n_repeats=3).importances, result.importances)
    other = forest.oob_permutation_importance(X, y, n_repeats=3, random_state=1).importances
    assert not np.array_equal(other, result.importances)
    with pytest.raises(ValueError, match="must be the data the forest was fitted on"):
        forest.oob_permutation_importance(X[::-1], y[::-1])


def test_leaves_are_per_tree_and_forest_weights_fall_only_on_rows_sharing_one():
    X, y = make_data(n=120)
    forest = RandomSurvivalForest(n_estimators=7, random_state=0).fit(X, y)
    train_leaves, query_leaves = forest.apply(X), forest.apply(X[:10])
    assert train_leaves.shape == (120, 7) and query_leaves.shape == (10, 7)
    shares_a_leaf = (query_leaves[:, None, :] == train_leaves[None, :, :]).any(axis=2)
    weights = forest.forest_weights(X[:10])
    assert ((weights > 0) <= shares_a_leaf).all()
    tree = SurvivalTree(max_depth=3, random_state=0).fit(X, y)
    leaves = tree.apply(X)
    assert leaves.shape == (120,) and len(np.unique(leaves)) <= 8
    risk = tree.predict(X)
    assert all(len(np.unique(risk[leaves == leaf])) == 1 for leaf in np.unique(leaves))


@pytest.mark.parametrize("name", ESTIMATORS)
def test_split_importances_sum_to_one_and_rank_the_signal_first(name):
    X, y = make_data(n=300)
    importances = ESTIMATORS[name](max_features=None).fit(X, y).feature_importances_
    assert importances.sum() == pytest.approx(1.0) and np.argmax(importances) == 0
    stump = ESTIMATORS[name](min_samples_leaf=200).fit(X, y)
    assert np.array_equal(stump.feature_importances_, np.zeros(4))


def test_thread_counts_never_change_the_forest():
    X, y = make_data(n=200)
    forests = [RandomSurvivalForest(n_estimators=16, random_state=0, n_jobs=n).fit(X, y) for n in (1, 2, -1, -2, None)]
    for forest in forests[1:]:
        assert np.array_equal(forest.forest_weights(X), forests[0].forest_weights(X))


@pytest.mark.parametrize("verbose", [0, 1])
def test_verbose_draws_a_progress_bar_of_the_trees(verbose, capsys):
    X, y = make_data(n=300)
    RandomSurvivalForest(n_estimators=30, random_state=0, verbose=verbose).fit(X, y)
    err = capsys.readouterr().err
    assert ("growing trees" in err and err.rstrip().endswith("30/30")) == bool(verbose)


def _pickled(model):
    return pickle.loads(pickle.dumps(model))


def _joblib_round_trip(model):
    joblib = pytest.importorskip("joblib")
    buffer = io.BytesIO()
    joblib.dump(model, buffer)
    buffer.seek(0)
    return joblib.load(buffer)


def _core_models_pickle():
    X, y = make_data(n=20)
    try:
        pickle.dumps(SurvivalTree().fit(X, y)._model)
    except TypeError:
        return False
    return True


@pytest.mark.skipif(not _core_models_pickle(), reason="core models do not pickle yet")
@pytest.mark.parametrize("round_trip", [_pickled, _joblib_round_trip], ids=["pickle", "joblib"])
@pytest.mark.parametrize("name", ESTIMATORS)
def test_fitted_estimators_survive_pickle_and_joblib(name, round_trip):
    X, y = make_data()
    model = ESTIMATORS[name]().fit(X, y)
    copy = round_trip(model)
    assert np.array_equal(copy.predict(X), model.predict(X))
    assert np.array_equal(copy.unique_times_, model.unique_times_)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        copy.set_params(max_depth=2).fit(X, y)
