import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import fit_tree, make_survival, model_outputs


def nelson_aalen(event_time, event_indicator, times):
    """Cumulative hazard of all rows at each of `times`, summed in time order."""
    jumps = np.unique(event_time[event_indicator == 1])
    steps = [np.sum((event_time == u) & (event_indicator == 1)) / np.sum(event_time >= u) for u in jumps]
    return np.concatenate([[0.0], np.cumsum(steps)])[np.searchsorted(jumps, times, side="right")]


@pytest.mark.parametrize("settings", [{"max_depth": 0}, {"min_samples_leaf": 41}])
def test_single_leaf_tree_predicts_the_nelson_aalen_curve_of_all_rows(survival, settings):
    X, t, e = survival
    tree = core.fit_log_rank_tree(X, t, e, **settings)
    assert (tree.n_nodes, tree.n_leaves, tree.depth) == (1, 1, 0)
    times = np.array([t.max(), 0.0, 3.0, 1.0, 3.0, t.min(), 1e9, -1.0])
    predicted = tree.predict_cumulative_hazard(X[:5], times)
    expected = nelson_aalen(t, e, times)
    assert all(np.array_equal(row, expected) for row in predicted)
    assert predicted[0, 7] == 0.0 and predicted[0, 2] == predicted[0, 4]


def test_repr_and_properties(survival):
    X, t, e = survival
    assert repr(core.fit_log_rank_tree(X[:, :3], t, e, max_depth=0)) == (
        "LogRankSurvivalTree(n_features=3, n_leaves=1, depth=0)"
    )
    tree = core.fit_log_rank_tree(X, t, e, min_samples_leaf=5)
    assert tree.n_features == 4 and tree.n_nodes == 2 * tree.n_leaves - 1 > 1
    assert repr(tree) == f"LogRankSurvivalTree(n_features=4, n_leaves={tree.n_leaves}, depth={tree.depth})"
    assert 1 <= core.fit_log_rank_tree(X, t, e, min_samples_leaf=5, max_depth=2).depth <= 2


def test_without_honesty_and_with_every_feature_the_seed_is_never_used(survival):
    trees = [fit_tree(survival, min_samples_leaf=5, seed=s) for s in (0, 1, 2**64 - 1)]
    assert len({model_outputs(tree, survival.X) for tree in trees}) == 1


def test_row_major_and_column_major_training_give_the_same_tree():
    X, t, e = make_survival(n=60, p=1)
    column = core.fit_log_rank_tree(X, t, e, min_samples_leaf=5)
    strided = core.fit_log_rank_tree(np.ascontiguousarray(np.repeat(X, 2, axis=1))[:, ::2], t, e, min_samples_leaf=5)
    assert model_outputs(column, X) == model_outputs(strided, X)


def test_predictions_are_new_writeable_c_ordered_float64_arrays(survival):
    X, t, e = survival
    tree = core.fit_log_rank_tree(X, t, e, min_samples_leaf=5)
    times = np.array([1.0, 5.0, 10.0])
    first = tree.predict_cumulative_hazard(X, times)
    assert first.shape == (80, 3) and first.dtype == np.float64
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.aligned
    first[:] = -1.0
    assert (tree.predict_cumulative_hazard(X, times) >= 0).all()


@pytest.mark.parametrize(("rows", "k"), [(5, 0), (0, 3), (0, 0)])
def test_empty_predictions_keep_their_shape(survival, rows, k):
    X, t, e = survival
    tree = core.fit_log_rank_tree(X, t, e)
    predicted = tree.predict_cumulative_hazard(X[:rows], np.zeros(k))
    assert predicted.shape == (rows, k) and predicted.dtype == np.float64 and predicted.flags.c_contiguous


def test_query_layout_is_free_but_feature_count_must_match(survival):
    X, t, e = survival
    tree = core.fit_log_rank_tree(X, t, e, min_samples_leaf=5)
    times = np.array([2.0, 8.0])
    expected = tree.predict_cumulative_hazard(X, times)
    assert np.array_equal(tree.predict_cumulative_hazard(np.ascontiguousarray(X), times), expected)
    assert np.array_equal(tree.predict_cumulative_hazard(X[::-1], times), expected[::-1])
    assert np.array_equal(tree.predict_cumulative_hazard(np.repeat(X, 2, axis=0)[::2], times), expected)
    for columns in (3, 5):
        with pytest.raises(ValueError, match=f"^X has {columns} features but tree was fit on 4$"):
            tree.predict_cumulative_hazard(np.ones((2, columns)), times)
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        tree.predict_cumulative_hazard(X, np.arange(4.0)[::2])
    # Both arguments are converted before their shapes are checked.
    with pytest.raises(TypeError, match="^argument 'times': "):
        tree.predict_cumulative_hazard(np.ones((2, 3)), [1.0])
    packed = np.zeros(3, dtype=[("x", "f8", (4,)), ("flag", "u1")])["x"]
    with pytest.raises(ValueError, match=r"^X must be 8-byte aligned .* X\.copy\(\)$"):
        tree.predict_cumulative_hazard(packed, times)
