"""Sample weights: the private entry points' checks, unweighted calls that stay
what the public functions give, weights as repeated rows through the
estimators, weighted scores and warm starts."""

import numpy as np
import pytest
from estimator_data import ESTIMATORS, make_data

from korvane import RandomSurvivalForest
from korvane import _korvane_core as core
from korvane.metrics import concordance_index


def _arrays(n=80, seed=0):
    X, y = make_data(n=n, seed=seed)
    return np.asfortranarray(X), y["time"].astype(np.float64), y["event"].astype(np.uint8)


def _log_rank_tree(X, time, event, **kw):
    return core._grow_log_rank_tree(X, time, event, min_samples_leaf=3, **kw)


def _log_rank_forest(X, time, event, **kw):
    return core._grow_log_rank_forest(X, time, event, n_trees=4, min_samples_leaf=3, seed=1, **kw)


def _gradient_forest(X, time, event, **kw):
    return core._grow_gradient_forest(X, time - time.mean(), n_trees=4, seed=1, **kw)


GROWERS = [_log_rank_tree, _log_rank_forest, _gradient_forest]


@pytest.mark.parametrize(
    ("grow", "public"),
    [
        (_log_rank_tree, lambda X, t, e: core.fit_log_rank_tree(X, t, e, min_samples_leaf=3)),
        (_log_rank_forest, lambda X, t, e: core.fit_log_rank_forest(X, t, e, n_trees=4, min_samples_leaf=3, seed=1)),
        (_gradient_forest, lambda X, t, e: core.fit_gradient_forest(X, t - t.mean(), n_trees=4, seed=1)),
    ],
    ids=["tree", "forest", "gradient"],
)
def test_without_weights_and_with_unit_weights_the_private_fit_is_the_public_one(grow, public):
    X, time, event = _arrays()
    expected = core._to_bytes(public(X, time, event))
    assert core._to_bytes(grow(X, time, event)) == expected
    unit = grow(X, time, event, sample_weight=np.ones(len(time)))
    if grow is _log_rank_tree:
        assert core._to_bytes(unit) == expected
    else:
        # The forest keeps its weights; its trees are the unweighted ones.
        plain = grow(X, time, event)
        assert np.array_equal(unit._apply(X), plain._apply(X))
        assert np.array_equal(unit.forest_weights(X), plain.forest_weights(X))


@pytest.mark.parametrize("grow", GROWERS, ids=lambda g: g.__name__.strip("_"))
@pytest.mark.parametrize(
    ("weight", "error", "message"),
    [
        (lambda n: np.ones(n - 1), ValueError, "sample_weight has 79"),
        (lambda n: np.ones((n, 1)), TypeError, "sample_weight"),
        (lambda n: np.ones(n, dtype=np.float32), TypeError, "sample_weight"),
        (lambda n: list(np.ones(n)), TypeError, "sample_weight"),
        (lambda n: np.r_[np.ones(n - 1), -0.5], ValueError, "sample_weight must be finite and >= 0, got -0.5 at row 79"),
        (lambda n: np.r_[np.nan, np.ones(n - 1)], ValueError, "sample_weight must be finite and >= 0, got NaN at row 0"),
        (lambda n: np.r_[np.inf, np.ones(n - 1)], ValueError, "at row 0"),
        (lambda n: np.zeros(n), ValueError, "sample_weight must have a finite, positive sum"),
        (lambda n: np.full(n, 1e308), ValueError, "sample_weight must have a finite, positive sum"),
    ],
)
def test_bad_weights_are_refused_naming_sample_weight(grow, weight, error, message):
    X, time, event = _arrays()
    with pytest.raises(error, match=message.replace("[", r"\[").replace("(", r"\(")):
        grow(X, time, event, sample_weight=weight(len(time)))


@pytest.mark.parametrize("grow", GROWERS, ids=lambda g: g.__name__.strip("_"))
def test_honest_fits_need_two_rows_of_positive_weight(grow):
    X, time, event = _arrays()
    weight = np.zeros(len(time))
    weight[0] = 1.0
    with pytest.raises(ValueError, match="sample_weight leaves 1 row of positive weight"):
        grow(X, time, event, sample_weight=weight, honesty=True)


def test_the_callers_weights_are_read_not_changed_nor_kept():
    X, time, event = _arrays()
    weight = np.linspace(0.1, 3.0, len(time))
    kept = weight.copy()
    forest = _log_rank_forest(X, time, event, sample_weight=weight)
    weight[:] = 1.0
    assert np.array_equal(kept, np.linspace(0.1, 3.0, len(time)))
    again = _log_rank_forest(X, time, event, sample_weight=kept)
    assert np.array_equal(forest.forest_weights(X), again.forest_weights(X))


def test_a_weighted_forest_saves_joins_and_rows_of_weight_zero_are_never_drawn():
    X, time, event = _arrays()
    weight = np.linspace(0.0, 2.0, len(time))
    whole = _log_rank_forest(X, time, event, sample_weight=weight)
    pieces = [_log_rank_forest(X, time, event, sample_weight=weight, trees=t) for t in ((0, 1), (1, 4))]
    assert core._to_bytes(core._join_forests(pieces)) == core._to_bytes(whole)
    loaded = core._from_bytes(core._to_bytes(whole))
    assert np.array_equal(loaded.forest_weights(X), whole.forest_weights(X))
    assert np.array_equal(loaded._in_bag(), whole._in_bag())
    assert not whole._in_bag()[:, 0].any()
    other = _log_rank_forest(X, time, event, sample_weight=weight[::-1].copy(), trees=(1, 4))
    with pytest.raises(ValueError, match="different sample weights"):
        core._join_forests([pieces[0], other])


@pytest.mark.parametrize("name", ESTIMATORS)
def test_weight_zero_fits_the_model_without_the_rows(name):
    X, y = make_data(n=70)
    weight = np.ones(len(X))
    weight[[3, 20, 50]] = 0.0
    kept = weight > 0
    make = ESTIMATORS[name]
    settings = {"bootstrap": True} if name == "forest" else {}
    expected = make(**settings).fit(X[kept], y[kept])
    weighted = make(**settings).fit(X, y, sample_weight=weight)
    assert np.array_equal(weighted.predict(X), expected.predict(X))


def test_weighted_score_counts_each_pair_with_its_event_rows_weight():
    time, event, risk = np.array([1.0, 2.0, 3.0]), np.array([1, 1, 0]), np.array([0.9, 0.1, 0.5])
    # Pairs (0, 1) and (0, 2) concordant, (1, 2) discordant.
    assert concordance_index(time, event, risk) == pytest.approx(2 / 3)
    assert concordance_index(time, event, risk, sample_weight=[1.0, 3.0, 7.0]) == pytest.approx(2 / 5)
    assert concordance_index(time, event, risk, sample_weight=np.ones(3)) == concordance_index(time, event, risk)
    with pytest.raises(ValueError, match="weight 0"):
        concordance_index(time, event, risk, sample_weight=[0.0, 0.0, 1.0])
    X, y = make_data(n=60)
    model = ESTIMATORS["tree"]().fit(X, y)
    assert model.score(X, y, sample_weight=np.ones(60)) == model.score(X, y)
    with pytest.raises(ValueError, match="sample_weight"):
        model.score(X, y, sample_weight=np.ones(59))


def test_weighted_warm_start_makes_the_larger_weighted_forest_and_keeps_its_weights():
    X, y = make_data(n=80)
    weight = np.linspace(0.2, 2.0, len(X))
    grown = RandomSurvivalForest(n_estimators=4, warm_start=True, random_state=0).fit(X, y, sample_weight=weight)
    grown.set_params(n_estimators=9).fit(X, y, sample_weight=weight)
    at_once = RandomSurvivalForest(n_estimators=9, random_state=0).fit(X, y, sample_weight=weight)
    assert np.array_equal(grown.predict(X), at_once.predict(X))
    for other in (None, weight[::-1]):
        with pytest.raises(ValueError, match="same sample_weight"):
            grown.set_params(n_estimators=12).fit(X, y, sample_weight=other)


def test_weighted_out_of_bag_score_weighs_the_out_of_bag_pairs():
    X, y = make_data(n=90)
    weight = np.random.default_rng(3).uniform(0.0, 2.0, len(X))
    forest = RandomSurvivalForest(n_estimators=30, oob_score=True, random_state=0).fit(X, y, sample_weight=weight)
    seen = np.isfinite(forest.oob_prediction_)
    expected = concordance_index(y["time"][seen], y["event"][seen], forest.oob_prediction_[seen], sample_weight=weight[seen])
    assert forest.oob_score_ == expected
    assert forest.oob_permutation_importance(X, y, n_repeats=2).importances.shape == (4, 2)


@pytest.mark.parametrize(
    ("last_weight", "message"),
    [(-1.0, "not finite numbers >= 0"), (np.nan, "not finite numbers >= 0"), (2.0**-70, "not the rounded weights of a fit")],
)
def test_a_weighted_file_with_weights_no_fit_rounds_to_is_refused(last_weight, message):
    from model_bytes import reseal

    X, time, event = _arrays()
    data = bytearray(core._to_bytes(_log_rank_forest(X, time, event, sample_weight=np.linspace(0.5, 2.0, len(time)))))
    # The weights are the last section, just before the checksum.
    data[-16:-8] = np.float64(last_weight).tobytes()
    with pytest.raises(ValueError, match=message):
        core._from_bytes(reseal(data))
