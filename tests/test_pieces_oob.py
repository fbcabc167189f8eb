"""Forests grown in pieces, the rows each tree drew, and the answers built on
them: out-of-bag hazards and weights, leaf indices and split importances."""

import numpy as np
import pytest

from conftest import make_survival, model_outputs
from korvane import _korvane_core as core

N_TREES = 10


def grow(kind, s, **settings):
    settings.setdefault("n_trees", N_TREES)
    settings.setdefault("seed", 7)
    if kind == "log_rank":
        return core._grow_log_rank_forest(*s, min_samples_leaf=5, **settings)
    return core._grow_gradient_forest(s.X, s.event_time - s.event_time.mean(), **settings)


SAMPLINGS = {
    "bootstrap": dict(bootstrap=True, subsample_fraction=1.0, honesty=False),
    "subsample": dict(bootstrap=False, subsample_fraction=0.6, honesty=False),
    "bootstrap_honest": dict(bootstrap=True, subsample_fraction=0.8, honesty=True),
    "subsample_honest": dict(bootstrap=False, subsample_fraction=0.5, honesty=True, honesty_fraction=0.3),
}
KINDS = ["log_rank", "gradient"]


def everything(forest, X):
    """All a forest tells about itself and the training rows, as bytes."""
    return b"".join(
        [
            model_outputs(forest, X),
            forest._apply(X).tobytes(),
            forest._in_bag().tobytes(),
            forest._honest_estimation().tobytes(),
            forest._split_importance().tobytes(),
        ]
    )


def pieces_of(kind, s, bounds, **settings):
    return [grow(kind, s, trees=(a, b), **settings) for a, b in zip(bounds, bounds[1:])]


@pytest.fixture(scope="module")
def data():
    return make_survival(n=90, p=4, seed=3)


@pytest.mark.parametrize("bounds", [[0, 3, 4, 9, 10], list(range(N_TREES + 1))], ids=["uneven", "one_per_piece"])
@pytest.mark.parametrize("sampling", SAMPLINGS)
@pytest.mark.parametrize("kind", KINDS)
def test_joined_pieces_are_the_forest_of_one_fit(kind, sampling, bounds, data):
    whole = grow(kind, data, **SAMPLINGS[sampling])
    pieces = pieces_of(kind, data, bounds, **SAMPLINGS[sampling])
    assert [p.n_trees for p in pieces] == list(np.diff(bounds))
    joined = core._join_forests(pieces)
    assert type(joined) is type(whole)
    assert everything(joined, data.X) == everything(whole, data.X)


@pytest.mark.parametrize("kind", KINDS)
def test_private_fit_of_all_trees_equals_the_public_fit(kind, data):
    public = core.fit_log_rank_forest if kind == "log_rank" else core.fit_gradient_forest
    settings = dict(n_trees=6, seed=3)
    if kind == "log_rank":
        expected = public(*data, min_samples_leaf=5, **settings)
    else:
        expected = public(data.X, data.event_time - data.event_time.mean(), **settings)
    assert everything(grow(kind, data, **settings), data.X) == everything(expected, data.X)


def test_pieces_of_a_forest_grown_further_join_with_its_first_trees(data):
    first = grow("log_rank", data, n_trees=4)
    further = grow("log_rank", data, n_trees=9, trees=(4, 9))
    assert everything(core._join_forests([first, further]), data.X) == everything(grow("log_rank", data, n_trees=9), data.X)


def test_tree_counts_never_change_pieces(data):
    whole = grow("log_rank", data)
    # trees=(0, n_trees) is the whole forest; a piece needs no neighbour to be right.
    assert everything(grow("log_rank", data, trees=[0, N_TREES]), data.X) == everything(whole, data.X)
    assert np.array_equal(grow("log_rank", data, trees=(2, 5))._in_bag(), whole._in_bag()[2:5])


@pytest.mark.parametrize(
    "trees, error, message",
    [
        ((3, 3), ValueError, r"0 <= start < stop <= n_trees = 10, got \(3, 3\)"),
        ((5, 2), ValueError, r"got \(5, 2\)"),
        ((0, 11), ValueError, r"got \(0, 11\)"),
        ((1,), TypeError, "argument 'trees'"),
        ("ab", TypeError, "argument 'trees'"),
        ((0.5, 2), TypeError, "argument 'trees'"),
        ((-1, 2), OverflowError, "negative"),
    ],
)
def test_tree_ranges_outside_the_forest_are_refused(trees, error, message, data):
    with pytest.raises(error, match=message):
        grow("log_rank", data, trees=trees)


def join_failures(data):
    log_rank = grow("log_rank", data, trees=(0, 2))
    other_rows = make_survival(n=91, p=4, seed=3)
    return {
        "empty": ([], ValueError, "at least one forest"),
        "not_a_sequence": (log_rank, TypeError, "pieces must be a sequence"),
        "not_a_forest": ([log_rank, 3], TypeError, r"pieces\[1\] is a int, but pieces\[0\] is a LogRankSurvivalForest"),
        "first_not_a_forest": ([core.fit_log_rank_tree(*data)], TypeError, r"pieces\[0\] is a LogRankSurvivalTree, not a forest"),
        "mixed_kinds": ([log_rank, grow("gradient", data, trees=(2, 4))], TypeError, "is a GradientForest"),
        "gap": ([log_rank, grow("log_rank", data, trees=(3, 4))], ValueError, r"pieces\[1\] cannot follow pieces\[0\]: trees 0 to 1 are followed by tree 3"),
        "repeat": ([log_rank, log_rank], ValueError, "followed by tree 0"),
        "seed": ([log_rank, grow("log_rank", data, trees=(2, 4), seed=8)], ValueError, "different seeds"),
        "settings": ([log_rank, grow("log_rank", data, trees=(2, 4), bootstrap=False)], ValueError, "different settings"),
        "rows": ([log_rank, grow("log_rank", other_rows, trees=(2, 4))], ValueError, "different numbers of training rows"),
        "features": ([log_rank, grow("log_rank", make_survival(n=90, p=3, seed=3), trees=(2, 4))], ValueError, "different numbers of features"),
    }


@pytest.mark.parametrize("case", list(join_failures(make_survival(n=90, p=4, seed=3))))
def test_pieces_that_do_not_make_one_forest_are_refused(case, data):
    pieces, error, message = join_failures(data)[case]
    with pytest.raises(error, match=message):
        core._join_forests(pieces)


@pytest.mark.parametrize("sampling", SAMPLINGS)
@pytest.mark.parametrize("kind", KINDS)
def test_in_bag_counts_are_each_trees_sample(kind, sampling, data):
    settings = SAMPLINGS[sampling]
    forest = grow(kind, data, **settings)
    counts, estimation = forest._in_bag(), forest._honest_estimation()
    n = data.X.shape[0]
    size = max(1, min(n, int(np.floor(settings["subsample_fraction"] * n + 0.5))))
    assert counts.dtype == np.uint32 and counts.shape == (N_TREES, n)
    assert estimation.dtype == np.bool_ and estimation.shape == (N_TREES, n)
    assert (counts.sum(axis=1) == size).all()
    if not settings["bootstrap"]:
        assert counts.max() == 1
    # Estimation rows are drawn rows; without honesty they are all of them.
    assert not (estimation & (counts == 0)).any()
    if not settings["honesty"]:
        assert np.array_equal(estimation, counts > 0)
    elif not settings["bootstrap"]:
        splitting = int(np.floor(settings["honesty_fraction"] * size + 0.5))
        assert (estimation.sum(axis=1) == size - splitting).all()
    # Trees draw differently from one another.
    assert len({row.tobytes() for row in counts}) == N_TREES


def one_tree_pieces(kind, data, settings):
    return pieces_of(kind, data, list(range(N_TREES + 1)), **settings)


def out_of_bag_average(per_tree, in_bag):
    """Sum over each row's out-of-bag trees, in tree order, divided once."""
    total = np.zeros_like(per_tree[0])
    for answer, counts in zip(per_tree, in_bag):
        total[counts == 0] += answer[counts == 0]
    n_oob = (in_bag == 0).sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return total / np.where(n_oob == 0, np.nan, n_oob)[:, None]


@pytest.mark.parametrize("sampling", SAMPLINGS)
def test_out_of_bag_hazard_averages_the_single_tree_forests_that_did_not_draw_the_row(sampling, data):
    settings = SAMPLINGS[sampling]
    forest = grow("log_rank", data, **settings)
    times = np.array([30.0, 1.0, 5.0, 12.0, 12.0, 60.0])
    trees = one_tree_pieces("log_rank", data, settings)
    in_bag = np.vstack([tree._in_bag() for tree in trees])
    assert np.array_equal(in_bag, forest._in_bag())
    expected = out_of_bag_average([tree.predict_cumulative_hazard(data.X, times) for tree in trees], in_bag)
    actual = forest._oob_cumulative_hazard(data.X, times)
    assert np.array_equal(actual, expected, equal_nan=True)
    assert not np.isnan(actual).all()


@pytest.mark.parametrize("sampling", SAMPLINGS)
@pytest.mark.parametrize("kind", KINDS)
def test_out_of_bag_weights_average_the_single_tree_weights_of_trees_that_did_not_draw_the_row(kind, sampling, data):
    settings = SAMPLINGS[sampling]
    forest = grow(kind, data, **settings)
    trees = one_tree_pieces(kind, data, settings)
    in_bag = forest._in_bag()
    expected = out_of_bag_average([tree.forest_weights(data.X) for tree in trees], in_bag)
    assert np.array_equal(forest._oob_forest_weights(data.X), expected, equal_nan=True)


def test_rows_every_tree_drew_have_no_out_of_bag_answer(data):
    forest = grow("log_rank", data, bootstrap=False, subsample_fraction=1.0)
    assert np.isnan(forest._oob_cumulative_hazard(data.X, np.array([1.0, 9.0]))).all()
    assert np.isnan(forest._oob_forest_weights(data.X)).all()


@pytest.mark.parametrize("query", ["oob_hazard", "oob_weights"])
@pytest.mark.parametrize(
    "X, message",
    [
        (lambda d: d.X[:-1], "X has 89 rows but forest was fit on 90 training rows"),
        (lambda d: d.X[:, :3], "X has 3 features but forest was fit on 4"),
    ],
    ids=["rows", "features"],
)
def test_out_of_bag_queries_take_the_training_rows(query, X, message, data):
    forest = grow("log_rank", data)
    call = {
        "oob_hazard": lambda x: forest._oob_cumulative_hazard(x, np.array([1.0])),
        "oob_weights": forest._oob_forest_weights,
    }[query]
    with pytest.raises(ValueError, match=message):
        call(np.ascontiguousarray(X(data)))


@pytest.mark.parametrize("sampling", SAMPLINGS)
@pytest.mark.parametrize("kind", KINDS)
def test_forest_weights_follow_from_shared_leaves(kind, sampling, data):
    """w[q, i] averages 1 / |leaf| over the trees where query q shares the leaf
    in which training row i estimated."""
    forest = grow(kind, data, **SAMPLINGS[sampling])
    queries = make_survival(n=25, p=4, seed=11).X
    query_leaves, train_leaves = forest._apply(queries), forest._apply(data.X)
    assert query_leaves.dtype == np.uint32 and query_leaves.shape == (25, N_TREES)
    estimation = forest._honest_estimation()
    expected = np.zeros((25, data.X.shape[0]))
    for b in range(N_TREES):
        shared = (query_leaves[:, b, None] == train_leaves[None, :, b]) & estimation[b]
        sizes = shared.sum(axis=1, keepdims=True)
        expected += np.where(shared, 1.0 / np.maximum(sizes, 1), 0.0)
    assert np.array_equal(forest.forest_weights(queries), expected / N_TREES)


@pytest.mark.parametrize("kind", KINDS)
def test_split_importance_is_non_negative_and_zero_for_an_unused_feature(kind, data):
    X = np.asfortranarray(np.column_stack([data.X, np.full(data.X.shape[0], 2.5)]))
    forest = grow(kind, data._replace(X=X))
    importance = forest._split_importance()
    assert importance.shape == (5,) and importance.dtype == np.float64
    assert (importance >= 0).all() and importance[4] == 0.0 and importance[:4].sum() > 0
    # Averaged over trees: the forest's importance is the mean of its one-tree pieces'.
    pieces = one_tree_pieces(kind, data._replace(X=X), {})
    assert np.allclose(importance, np.mean([p._split_importance() for p in pieces], axis=0), rtol=1e-12)


def test_tree_leaf_indices_group_rows_of_equal_predictions(data):
    tree = core.fit_log_rank_tree(*data, min_samples_leaf=5)
    leaves = tree._apply(data.X)
    assert leaves.dtype == np.uint32 and leaves.shape == (data.X.shape[0],)
    # Every leaf holds a training row, and rows in one leaf share their curve.
    assert set(leaves.tolist()) == set(range(tree.n_leaves))
    hazard = tree.predict_cumulative_hazard(data.X, np.arange(40.0))
    for leaf in range(tree.n_leaves):
        assert (hazard[leaves == leaf] == hazard[leaves == leaf][0]).all()


@pytest.mark.parametrize("n_threads", [None, 1, 2, -1])
def test_thread_counts_and_progress_never_change_the_forest(n_threads, data):
    reports = []
    forest = grow("log_rank", data, trees=(2, 7), n_threads=n_threads, progress=lambda *a: reports.append(a))
    assert everything(forest, data.X) == everything(grow("log_rank", data, trees=(2, 7)), data.X)
    assert reports[-1] == (5, 5)
