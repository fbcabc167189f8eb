"""The effect forests' core entry points: relabelled splits, little bags,
sample weights and the weighted-sum queries."""

import numpy as np
import pytest

from korvane import _korvane_core as core


def effect_data(n=120, p=4, seed=0):
    rng = np.random.default_rng(seed)
    X = np.asfortranarray(rng.uniform(size=(n, p)))
    w = rng.binomial(1, 0.5, n) - 0.5
    y = X[:, 1] + w * (X[:, 0] > 0.5) + rng.normal(scale=0.3, size=n)
    return X, y, w.astype(float)


SMALL = dict(n_trees=8, min_samples_leaf=3, seed=7)


def grow(kind, X, a, b, **settings):
    grower = core._grow_causal_forest if kind == "causal" else core._grow_ratio_forest
    return grower(X, a, b, **(SMALL | settings))


KINDS = ["causal", "ratio"]


def ratio_columns(y, w):
    return y, 1.0 + np.abs(w)


@pytest.mark.parametrize("kind", KINDS)
def test_pieces_threads_and_bytes_give_the_whole_forest(kind):
    X, y, w = effect_data()
    a, b = (y, w) if kind == "causal" else ratio_columns(y, w)
    whole = grow(kind, X, a, b)
    pieces = [grow(kind, X, a, b, trees=(0, 3)), grow(kind, X, a, b, trees=(3, 8), n_threads=1)]
    expected = core._to_bytes(whole)
    assert core._to_bytes(core._join_forests(pieces)) == expected
    assert core._to_bytes(grow(kind, X, a, b, n_threads=-1)) == expected
    read = core._from_bytes(expected)
    np.testing.assert_array_equal(read._in_bag(), whole._in_bag())


def test_trees_of_a_little_bag_draw_from_one_half_sample():
    X, y, w = effect_data(n=101)
    forest = grow("causal", X, y, w, ci_group_size=4)
    in_bag = forest._in_bag().astype(bool)
    for group in range(2):
        drawn = in_bag[4 * group : 4 * group + 4].any(axis=0)
        # round(2 * 0.5 * 50) rows of a half of 50: every tree draws the whole half.
        assert drawn.sum() == 101 // 2
        assert (in_bag[4 * group : 4 * group + 4].sum(axis=1) == 50).all()
    assert (in_bag[0] != in_bag[4]).any()


def test_ratio_with_unit_denominators_splits_as_a_regression_forest():
    X, y, _ = effect_data()
    ratio = grow("ratio", X, y, np.ones(len(y)), ci_group_size=1, min_child_fraction=0.0)
    gradient = core._grow_gradient_forest(X, y, **SMALL)
    np.testing.assert_array_equal(ratio._apply(X), gradient._apply(X))


@pytest.mark.parametrize("kind", KINDS)
def test_unit_weights_give_the_unweighted_forest(kind):
    X, y, w = effect_data()
    a, b = (y, w) if kind == "causal" else ratio_columns(y, w)
    unweighted = core._to_bytes(grow(kind, X, a, b))
    assert core._to_bytes(grow(kind, X, a, b, sample_weight=np.ones(len(y)))) == unweighted


def test_weights_change_the_splits():
    X, y, w = effect_data()
    weight = np.where(X[:, 2] > 0.5, 5.0, 0.2)
    assert core._to_bytes(grow("causal", X, y, w, sample_weight=weight)) != core._to_bytes(grow("causal", X, y, w))


def test_balanced_children_give_shallower_trees():
    X, y, w = effect_data(n=400)
    free = grow("causal", X, y, w, min_child_fraction=0.0)._apply(X).max()
    balanced = grow("causal", X, y, w, min_child_fraction=0.3)._apply(X).max()
    assert balanced < free


@pytest.mark.parametrize("kind", KINDS)
def test_a_side_floor_trims_the_trees_and_one_no_node_meets_leaves_a_single_leaf(kind):
    X, y, w = effect_data(n=400)
    a, b = (y, w) if kind == "causal" else ratio_columns(y, w)
    balance = {} if kind == "causal" else {"balance": w}
    free = grow(kind, X, a, b, min_child_fraction=0.0)._apply(X).max()
    floored = grow(kind, X, a, b, min_child_fraction=0.0, min_side_samples=20, **balance)._apply(X).max()
    unmet = grow(kind, X, a, b, min_side_samples=200, **balance)._apply(X)
    assert floored < free
    assert (unmet == 0).all()


def test_the_ratio_forest_ignores_a_balance_column_without_a_floor():
    X, y, w = effect_data()
    a, b = ratio_columns(y, w)
    assert core._to_bytes(grow("ratio", X, a, b, balance=w)) == core._to_bytes(grow("ratio", X, a, b))


@pytest.mark.parametrize(
    ("balance", "message"),
    [
        (None, "min_side_samples = 2 needs a balance column"),
        (np.zeros(5), "X has 120 rows but balance has 5"),
        (np.r_[np.zeros(119), np.nan], "balance has NaN at row 119"),
    ],
)
def test_a_ratio_side_floor_needs_a_finite_balance_column_per_row(balance, message):
    X, y, w = effect_data()
    a, b = ratio_columns(y, w)
    with pytest.raises(ValueError, match=message):
        grow("ratio", X, a, b, min_side_samples=2, balance=balance)


def test_a_constant_treatment_leaves_every_tree_a_single_leaf():
    X, y, _ = effect_data()
    forest = grow("causal", X, y, np.full(len(y), 0.3))
    assert (forest._apply(X) == 0).all()


BAD_ARGUMENTS = [
    ({"treatment": np.zeros(5)}, ValueError, "X has 120 rows but treatment has 5"),
    ({"outcome": np.r_[np.nan, np.zeros(119)]}, ValueError, "outcome has NaN at row 0; it must be finite"),
    ({"treatment": np.r_[np.zeros(3), np.inf, np.zeros(116)]}, ValueError, "treatment has inf at row 3"),
    ({"sample_weight": np.zeros(7)}, ValueError, "sample_weight has 7"),
    ({"sample_weight": np.r_[np.ones(119), -1.0]}, ValueError, "sample_weight has -1 at row 119"),
    ({"sample_weight": np.zeros(120)}, ValueError, "sample_weight must not be all zero"),
    ({"sample_weight": np.r_[np.ones(119), np.nan]}, ValueError, "sample_weight has NaN at row 119"),
    ({"sample_weight": [1.0] * 120}, TypeError, "sample_weight"),
    ({"ci_group_size": 0}, ValueError, "ci_group_size must be at least 1"),
    ({"ci_group_size": 3}, ValueError, "n_trees = 8 is not a multiple of ci_group_size = 3"),
    ({"subsample_fraction": 0.6}, ValueError, "subsample_fraction must be at most 0.5"),
    ({"subsample_fraction": 0.6, "ci_group_size": 1}, None, None),
    ({"min_child_fraction": 0.5}, ValueError, r"min_child_fraction must lie in \[0, 0.5\), got 0.5"),
    ({"min_child_fraction": -0.1}, ValueError, "min_child_fraction must lie"),
]


@pytest.mark.parametrize(("change", "error", "message"), BAD_ARGUMENTS)
def test_arguments_are_checked_and_the_callers_arrays_kept(change, error, message):
    X, y, w = effect_data()
    arguments = {"outcome": y, "treatment": w} | change
    copies = {name: np.copy(value) for name, value in arguments.items() if isinstance(value, np.ndarray)}
    settings = {k: v for k, v in arguments.items() if k not in ("outcome", "treatment")}
    call = lambda: core._grow_causal_forest(X, arguments["outcome"], arguments["treatment"], **(SMALL | settings))
    if error is None:
        call()
    else:
        with pytest.raises(error, match=message):
            call()
    for name, copy in copies.items():
        np.testing.assert_array_equal(arguments[name], copy)


def test_an_honest_tree_needs_two_rows_of_its_half_sample():
    # 3 rows draw 2 per tree, but a half-sample holds only 1.
    X, y, w = effect_data(n=3)
    with pytest.raises(ValueError, match="each tree draws 1 row of 3 rows, but an honest tree needs at least 2"):
        core._grow_causal_forest(X, y, w, n_trees=2, subsample_fraction=0.5)


@pytest.fixture(scope="module")
def fitted():
    X, y, w = effect_data(n=150)
    forest = grow("causal", X, y, w, n_trees=12, ci_group_size=3, subsample_fraction=0.4)
    values = np.random.default_rng(1).normal(size=(150, 3))
    return X, forest, values


def test_weighted_sums_equal_the_weight_matrix_times_the_values(fitted):
    X, forest, values = fitted
    query = np.random.default_rng(2).uniform(size=(9, X.shape[1]))
    np.testing.assert_allclose(forest._weighted_sums(query, values), forest.forest_weights(query) @ values, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(forest._oob_weighted_sums(X, values), forest._oob_forest_weights(X) @ values, rtol=1e-12, atol=1e-13)


def test_tree_terms_average_to_the_weighted_sums(fitted):
    X, forest, values = fitted
    terms = forest._tree_weighted_sums(X[:5], values)
    assert terms.shape == (5, 12, 3)
    np.testing.assert_allclose(terms.mean(axis=1), forest._weighted_sums(X[:5], values), rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("method", ["_weighted_sums", "_oob_weighted_sums", "_tree_weighted_sums"])
def test_values_must_have_a_row_per_training_row(fitted, method):
    X, forest, values = fitted
    with pytest.raises(ValueError, match="values has 149 rows but forest was fit on 150"):
        getattr(forest, method)(X, values[1:])


def test_missing_covariates_are_refused_unless_asked_for():
    X, y, w = effect_data()
    X[3, 1] = np.nan
    with pytest.raises(ValueError, match="X has NaN at row 3, column 1"):
        grow("causal", X, y, w)
    forest = grow("causal", X, y, w, missing_values=True)
    assert forest._apply(X).shape == (120, 8)
