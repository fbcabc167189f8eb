"""Trees in scikit-learn's layout (`tree_`), decision paths, and a forest's
trees as estimators (`estimators_`), checked against walks of the thresholds
and against the forest's own answers."""

import pickle

import numpy as np
import pytest
from estimator_data import make_data

import korvane
from korvane import RandomSurvivalForest, SurvivalTree


def _data_with_missing(n=120, seed=0):
    X, y = make_data(n=n, p=4, seed=seed)
    X[np.random.default_rng(seed).random(X.shape) < 0.1] = np.nan
    return X, y


def _walk(structure, row):
    """The nodes a row passes through, found from the thresholds alone."""
    node, path = 0, [0]
    while structure.children_left[node] != -1:
        value = row[structure.feature[node]]
        left = value <= structure.threshold[node] or (np.isnan(value) and structure.missing_go_to_left[node])
        node = structure.children_left[node] if left else structure.children_right[node]
        path.append(node)
    return path


def _trees_of_each_kind(X, y):
    tree = SurvivalTree(min_samples_leaf=4, random_state=1).fit(X, y)
    forest = RandomSurvivalForest(n_estimators=4, min_samples_leaf=4, random_state=1).fit(X, y)
    honest = RandomSurvivalForest(n_estimators=3, honesty=True, min_samples_leaf=3, random_state=2).fit(X, y)
    return {"tree": tree, "forest tree": forest.estimators_[2], "honest forest tree": honest.estimators_[0]}


@pytest.fixture(scope="module")
def fitted():
    X, y = _data_with_missing()
    return X, y, _trees_of_each_kind(X, y)


@pytest.mark.parametrize("kind", ["tree", "forest tree", "honest forest tree"])
def test_each_row_walks_down_the_thresholds_to_the_leaf_apply_reports(fitted, kind):
    X, _, trees = fitted
    tree = trees[kind]
    structure, leaves, paths = tree.tree_, tree.apply(X), tree.decision_path(X)
    assert paths.shape == (len(X), structure.node_count)
    for i, row in enumerate(X):
        walked = _walk(structure, row)
        assert structure.leaf_index[walked[-1]] == leaves[i]
        assert structure.leaf_nodes[leaves[i]] == walked[-1]
        assert paths.indices[paths.indptr[i] : paths.indptr[i + 1]].tolist() == walked


@pytest.mark.parametrize("kind", ["tree", "forest tree", "honest forest tree"])
def test_nodes_form_one_preorder_tree_with_counts_summed_from_the_children(fitted, kind):
    structure = fitted[2][kind].tree_
    left, right = structure.children_left, structure.children_right
    split = left != -1
    children = np.concatenate([left[split], right[split]])
    # Every node but the root is the child of exactly one node, numbered after it.
    assert sorted(children.tolist()) == list(range(1, structure.node_count))
    assert (left[split] == np.flatnonzero(split) + 1).all()
    assert (right[split] > left[split]).all()
    assert ((structure.feature == -2) == ~split).all() and (structure.threshold[~split] == -2.0).all()
    assert (structure.impurity[~split] == 0).all() and (structure.impurity[split] >= 0).all()
    assert (structure.leaf_index[~split] == np.arange(structure.n_leaves)).all()
    counts = structure.n_node_samples
    assert (counts[split] == counts[left[split]] + counts[right[split]]).all()


def test_a_tree_counts_its_rows_of_positive_weight_and_knows_its_shape():
    X, y = _data_with_missing()
    weight = np.ones(len(X))
    weight[:10] = 0
    tree = SurvivalTree(min_samples_leaf=4, random_state=0).fit(X, y, sample_weight=weight)
    structure, model = tree.tree_, tree._model
    assert structure.n_node_samples[0] == len(X) - 10
    assert (structure.node_count, structure.n_leaves, structure.max_depth) == (model.n_nodes, model.n_leaves, model.depth)
    assert np.bincount(tree.apply(X[10:]), minlength=structure.n_leaves).tolist() == (
        structure.n_node_samples[structure.leaf_nodes].tolist()
    )


def test_the_trees_hazards_averaged_in_order_are_the_forests_to_the_bit():
    X, y = _data_with_missing()
    forest = RandomSurvivalForest(n_estimators=7, random_state=0).fit(X, y)
    total = np.zeros((len(X), len(forest.unique_times_)))
    for tree in forest.estimators_:
        total += tree.predict_cumulative_hazard_function(X, return_array=True)
    assert np.array_equal(total / forest.n_estimators_, forest.predict_cumulative_hazard_function(X, return_array=True))


def test_a_forest_tree_answers_as_its_own_one_tree_piece():
    X, y = _data_with_missing()
    forest = RandomSurvivalForest(n_estimators=5, random_state=0).fit(X, y)
    tree = forest.estimators_[3]
    piece = korvane._korvane_core._grow_log_rank_forest(
        np.asfortranarray(X), np.ascontiguousarray(y["time"]), y["event"].astype(np.uint8), n_trees=5, seed=forest._seed,
        trees=(3, 4), **forest._settings,
    )
    times = forest.unique_times_
    hazard = np.asarray(piece.predict_cumulative_hazard(np.asfortranarray(X), times))
    assert np.array_equal(tree.predict_cumulative_hazard_function(X, return_array=True), hazard)
    assert np.array_equal(tree.predict_survival_function(X, return_array=True), np.exp(-hazard))
    assert np.array_equal(tree.predict(X), hazard.sum(axis=1))
    assert np.array_equal(tree.apply(X), forest.apply(X)[:, 3])
    assert tree.n_features_in_ == 4 and tree.unique_times_ is forest.unique_times_


def test_trees_share_the_forests_model_and_follow_warm_start_and_pickling():
    X, y = make_data(n=80)
    forest = RandomSurvivalForest(n_estimators=3, warm_start=True, random_state=0).fit(X, y)
    first = forest.estimators_[0]
    assert first._model._forest is forest._model
    forest.set_params(n_estimators=5).fit(X, y)
    trees = forest.estimators_
    assert len(trees) == 5 and trees[-1]._model._index == 4 and trees[0].tree_.node_count == first.tree_.node_count
    with pytest.raises(IndexError, match="out of range"):
        trees[5]
    copy = pickle.loads(pickle.dumps(forest))
    for mine, theirs in zip(forest.estimators_, copy.estimators_, strict=True):
        assert np.array_equal(mine.predict(X), theirs.predict(X))
        assert np.array_equal(mine.tree_.n_node_samples, theirs.tree_.n_node_samples)
    assert np.array_equal(pickle.loads(pickle.dumps(first)).predict(X), first.predict(X))


def test_forest_decision_path_stacks_the_trees_paths():
    X, y = _data_with_missing()
    forest = RandomSurvivalForest(n_estimators=4, random_state=0).fit(X, y)
    indicator, n_nodes_ptr = forest.decision_path(X)
    trees = list(forest.estimators_)
    assert n_nodes_ptr.tolist() == np.cumsum([0] + [t.tree_.node_count for t in trees]).tolist()
    assert indicator.shape == (len(X), n_nodes_ptr[-1])
    for b, tree in enumerate(trees):
        block = indicator[:, n_nodes_ptr[b] : n_nodes_ptr[b + 1]]
        assert (block != tree.decision_path(X)).nnz == 0
        reached = tree.tree_.leaf_nodes[forest.apply(X)[:, b]]
        assert (block[np.arange(len(X)), reached] == 1).all()


def test_tree_split_scores_sum_to_the_models_importances():
    X, y = make_data(n=150)
    forest = RandomSurvivalForest(n_estimators=4, random_state=0).fit(X, y)
    per_tree = np.mean([tree._model._split_importance() for tree in forest.estimators_], axis=0)
    np.testing.assert_allclose(per_tree, forest._model._split_importance(), rtol=1e-12)
    tree = SurvivalTree(random_state=0).fit(X, y)
    np.testing.assert_allclose(tree.tree_.split_importance(), tree._model._split_importance(), rtol=1e-12)


@pytest.mark.parametrize(("index", "error"), [(4, IndexError), (-1, OverflowError), (2**70, OverflowError)])
def test_a_tree_outside_the_forest_is_refused(index, error):
    X, y = make_data(n=60)
    model = RandomSurvivalForest(n_estimators=4, random_state=0).fit(X, y)._model
    with pytest.raises(error):
        model._tree_nodes(index)
    with pytest.raises(error):
        model._tree_apply(index, np.asfortranarray(X))


def test_an_unfitted_forest_has_no_trees():
    assert not hasattr(RandomSurvivalForest(), "estimators_")
    assert not hasattr(SurvivalTree(), "tree_")


def test_a_tree_pickled_without_row_counts_says_so_and_keeps_the_rest():
    X, y = make_data(n=60)
    tree = SurvivalTree(random_state=0).fit(X, y)
    del tree._node_samples
    assert tree.tree_.node_count == tree._model.n_nodes
    with pytest.raises(AttributeError, match="refit"):
        tree.tree_.n_node_samples


@pytest.mark.parametrize("kind", ["log-rank", "gradient"])
def test_both_forest_classes_give_node_tables_that_agree_with_their_leaves(kind):
    X, y = _data_with_missing()
    X = np.asfortranarray(X)
    time, event = np.ascontiguousarray(y["time"]), y["event"].astype(np.uint8)
    core = korvane._korvane_core
    if kind == "log-rank":
        model = core._grow_log_rank_forest(X, time, event, n_trees=3, seed=0, missing_values=True)
    else:
        model = core._grow_gradient_forest(X, time, n_trees=3, seed=0, honesty=True, missing_values=True)
    model = korvane.from_bytes(korvane.to_bytes(model))
    recorded = model._honest_estimation()
    for b in range(model.n_trees):
        nodes = model._tree_nodes(b)
        leaf_of_node = nodes["leaf"][nodes["children_left"] == -1]
        assert leaf_of_node.tolist() == list(range(len(leaf_of_node)))
        assert nodes["n_node_samples"][0] == recorded[b].sum()
        assert np.array_equal(model._tree_apply(b, X), model._apply(X)[:, b])


def test_a_one_leaf_tree_is_one_node_every_row_passes_through():
    X, y = make_data(n=20)
    tree = SurvivalTree(min_samples_leaf=15).fit(X, y)
    structure = tree.tree_
    assert (structure.node_count, structure.n_leaves, structure.max_depth) == (1, 1, 0)
    assert structure.n_node_samples.tolist() == [20]
    assert tree.decision_path(X).toarray().tolist() == [[1]] * 20
    assert structure.decision_path([]).shape == (0, 1)
