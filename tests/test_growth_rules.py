"""The growth rules min_samples_split, max_leaf_nodes and min_weight_fraction_leaf
of the private fits: checked, applied, kept by saved models and joins."""

import numpy as np
import pytest

import korvane
from conftest import make_survival
from korvane import _korvane_core as core


def log_rank_tree(s, **settings):
    return core._grow_log_rank_tree(*s, min_samples_leaf=1, **settings)


def log_rank_forest(s, **settings):
    return core._grow_log_rank_forest(*s, n_trees=4, min_samples_leaf=1, seed=3, **settings)


def gradient_forest(s, **settings):
    return core._grow_gradient_forest(s.X, s.event_time - s.event_time.mean(), n_trees=4, min_samples_leaf=1, seed=3, **settings)


def causal_forest(s, **settings):
    treatment = (s.X[:, 1] > 0).astype(np.float64)
    return core._grow_causal_forest(s.X, s.event_time, treatment, n_trees=4, min_samples_leaf=1, seed=3, **settings)


def ratio_forest(s, **settings):
    return core._grow_ratio_forest(s.X, s.event_time, np.ones_like(s.event_time), n_trees=4, min_samples_leaf=1, seed=3, **settings)


GROWS = {
    "tree": log_rank_tree,
    "log_rank": log_rank_forest,
    "gradient": gradient_forest,
    "causal": causal_forest,
    "ratio": ratio_forest,
}
DEFAULTS = dict(min_samples_split=2, max_leaf_nodes=None, min_weight_fraction_leaf=0.0)


def leaves(model):
    if hasattr(model, "n_leaves"):
        return [model.n_leaves]
    return [int(column.max()) + 1 for column in model._apply(make_survival(n=200, seed=5).X).T]


@pytest.fixture(scope="module")
def data():
    return make_survival(n=160, p=4, seed=2)


@pytest.mark.parametrize("grow", GROWS)
def test_the_defaults_spelled_out_give_the_model_of_none_given(grow, data):
    assert korvane.to_bytes(GROWS[grow](data, **DEFAULTS)) == korvane.to_bytes(GROWS[grow](data))


@pytest.mark.parametrize("grow", GROWS)
def test_each_rule_changes_the_trees_it_limits(grow, data):
    plain = leaves(GROWS[grow](data))
    assert all(n <= 5 for n in leaves(GROWS[grow](data, max_leaf_nodes=5)))
    assert leaves(GROWS[grow](data, min_samples_split=10_000)) == [1] * len(plain)
    assert sum(leaves(GROWS[grow](data, min_weight_fraction_leaf=0.2))) < sum(plain)


BAD_VALUES = [
    ("min_samples_split", 1, ValueError, "^min_samples_split must be >= 2, got 1$"),
    ("min_samples_split", 2.5, TypeError, "^argument 'min_samples_split': "),
    ("max_leaf_nodes", 1, ValueError, "^max_leaf_nodes must be None or >= 2, got 1$"),
    ("max_leaf_nodes", "3", TypeError, "^argument 'max_leaf_nodes': "),
    ("min_weight_fraction_leaf", 0.5000001, ValueError, r"^min_weight_fraction_leaf must lie in \[0, 0.5\], got 0.5000001$"),
    ("min_weight_fraction_leaf", -0.1, ValueError, r"^min_weight_fraction_leaf must lie in \[0, 0.5\], got -0.1$"),
    ("min_weight_fraction_leaf", float("nan"), ValueError, r"^min_weight_fraction_leaf must lie in \[0, 0.5\], got NaN$"),
    ("min_weight_fraction_leaf", "x", TypeError, "^argument 'min_weight_fraction_leaf': "),
]


@pytest.mark.parametrize("grow", GROWS)
@pytest.mark.parametrize(("name", "value", "error", "message"), BAD_VALUES)
def test_values_out_of_range_are_refused_naming_the_argument(grow, name, value, error, message, data):
    with pytest.raises(error, match=message):
        GROWS[grow](data, **{name: value})


@pytest.mark.parametrize("fit", [core.fit_log_rank_tree, core.fit_log_rank_forest])
def test_public_fits_take_no_growth_rules(fit, data):
    with pytest.raises(TypeError, match="min_samples_split"):
        fit(*data, min_samples_split=4)


@pytest.mark.parametrize("rule", [dict(min_samples_split=12), dict(max_leaf_nodes=6), dict(min_weight_fraction_leaf=0.1)])
@pytest.mark.parametrize("grow", ["log_rank", "gradient"])
def test_forests_with_a_rule_are_saved_with_it(grow, rule, data, tmp_path):
    forest = GROWS[grow](data, **rule)
    blob = korvane.to_bytes(forest)
    korvane.save(forest, tmp_path / "forest.korvane")
    loaded = korvane.load(tmp_path / "forest.korvane")
    assert korvane.to_bytes(loaded) == blob
    X = make_survival(n=30, seed=8).X
    assert loaded.forest_weights(X).tobytes() == forest.forest_weights(X).tobytes()
    whole = core._join_forests([GROWS[grow](data, trees=(0, 2), **rule), GROWS[grow](data, trees=(2, 4), **rule)])
    assert korvane.to_bytes(whole) == blob


@pytest.mark.parametrize("rule", [dict(min_samples_split=12), dict(max_leaf_nodes=6), dict(min_weight_fraction_leaf=0.1)])
def test_pieces_grown_with_other_rules_do_not_join(rule, data):
    with pytest.raises(ValueError, match="different settings"):
        core._join_forests([log_rank_forest(data, trees=(0, 2)), log_rank_forest(data, trees=(2, 4), **rule)])


def test_weighted_leaves_hold_the_share_of_the_weight(data):
    weight = np.random.default_rng(4).uniform(0.1, 3.0, size=len(data.event_time))
    tree = log_rank_tree(data, sample_weight=weight, min_weight_fraction_leaf=0.15)
    leaf = tree._apply(data.X).astype(np.intp)
    held = np.bincount(leaf, weights=weight, minlength=tree.n_leaves)
    assert tree.n_leaves > 1 and (held >= 0.15 * weight.sum() * (1 - 1e-12)).all()


@pytest.mark.parametrize(("extra", "n_leaves"), [(0, lambda n: n > 1), (1, lambda n: n == 1)])
def test_a_node_of_min_samples_split_rows_splits_and_of_one_fewer_does_not(extra, n_leaves, data):
    rows = len(data.event_time)
    assert n_leaves(log_rank_tree(data, min_samples_split=rows + extra).n_leaves)
