"""Missing covariates (NaN) at fit and at prediction: the split each node
chooses against a brute-force reference, the side it records, how queries
with NaN descend, and what the public fits keep refusing."""

import struct
from typing import NamedTuple

import numpy as np
import pytest

import korvane
from korvane import _korvane_core as core
from conftest import make_survival
from model_bytes import header, sections

# --- reading a fitted tree back from its bytes -------------------------------


class Split(NamedTuple):
    feature: int
    threshold: float
    score: float
    missing_left: bool
    left: object
    right: object


def _bits(data, section, width, count):
    value = int.from_bytes(data[section.offset:section.offset + section.size], "little")
    return [(value >> (k * width)) & ((1 << width) - 1) for k in range(count)]


def first_tree(model):
    """The first tree of a model as nested Splits with leaf numbers at the bottom."""
    data = korvane.to_bytes(model)
    h, found = header(data), sections(data)
    n_nodes = struct.unpack_from("<I", data, found["tree sizes"].offset)[0]
    n_splits = (h["n_nodes"] - h["n_trees"]) // 2
    kinds = _bits(data, found["node kinds"], 1, n_nodes)
    features = _bits(data, found["split features"], max(h["n_features"] - 1, 0).bit_length(), n_splits)
    thresholds = struct.unpack_from(f"<{n_splits}d", data, found["thresholds"].offset)
    scores = struct.unpack_from(f"<{n_splits}d", data, found["scores"].offset)
    sides = _bits(data, found["missing sides"], 1, n_splits)
    open_, leaf, split = [], 0, 0
    for kind in kinds:
        if kind == 0:
            open_.append(leaf)
            leaf += 1
        else:
            right, left = open_.pop(), open_.pop()
            open_.append(Split(features[split], thresholds[split], scores[split], bool(sides[split]), left, right))
            split += 1
    return open_[0]


def descend(node, row):
    while isinstance(node, Split):
        value = row[node.feature]
        left = value <= node.threshold or (np.isnan(value) and node.missing_left)
        node = node.left if left else node.right
    return node


# --- the reference: brute force over thresholds and sides ---------------------


def log_rank_score(time, event, left):
    u = v = 0.0
    for t in np.unique(time[event]):
        at_risk = time >= t
        y, d = at_risk.sum(), (event & (time == t)).sum()
        y_left = (at_risk & left).sum()
        u += (event & (time == t) & left).sum() - d * y_left / y
        if y > 1:
            v += d * (y_left / y) * (1 - y_left / y) * (y - d) / (y - 1)
    return u * u / v if v > 0 else 0.0


def variance_score(outcome, left):
    n_left, n_right = left.sum(), (~left).sum()
    diff = outcome[left].mean() - outcome[~left].mean()
    return n_left * n_right / len(outcome) * diff * diff


def candidates(X, rows, min_leaf):
    """Every admissible (feature, threshold, missing_left, seen, left mask) of a
    node: per feature, the boundaries between present values with the missing
    rows right (the last being "is missing", threshold +inf), then left."""
    for feature in range(X.shape[1]):
        values = X[rows, feature]
        missing = np.isnan(values)
        present = np.unique(values[~missing])
        bounds = list(zip(present[:-1], present[1:]))
        if missing.any():
            bounds.append((present[-1], np.inf)) if len(present) else None
        sides = [False, True] if missing.any() else [False]
        for missing_left in sides:
            for low, high in bounds:
                if missing_left and high == np.inf:
                    continue
                left = (values <= low) | (missing & missing_left)
                if min_leaf <= left.sum() <= len(rows) - min_leaf:
                    threshold = np.inf if high == np.inf else (low + high) / 2
                    yield feature, threshold, missing_left, bool(missing.any()), left


def check_node(X, score_of, node, rows, min_leaf, depth, max_depth):
    """The core's split at `node` is the reference's best (up to rounding ties)
    and records the side the rules give; recurses with the core's partition."""
    found = list(candidates(X, rows, min_leaf)) if depth < max_depth and len(rows) >= 2 * min_leaf else []
    scored = [(score_of(rows, left), c) for c in found for left in [c[4]]]
    if not isinstance(node, Split):
        assert not scored or max(s for s, _ in scored) <= 0 or depth >= max_depth, "a leaf where a split scores"
        return 0
    best = max(s for s, _ in scored)
    chosen = [c for s, c in scored if c[0] == node.feature and c[1] == node.threshold
              and (c[2] == node.missing_left or not c[3])]
    assert chosen, f"the core's split {node[:4]} is not a candidate"
    chosen_score = max(score_of(rows, c[4]) for c in chosen)
    assert chosen_score == pytest.approx(best, rel=1e-9, abs=1e-12)
    feature, threshold, _, seen, left = chosen[0]
    if not seen:
        assert node.missing_left == (left.sum() >= (~left).sum()), "unseen: the larger child"
    left = (X[rows, feature] <= threshold) | (np.isnan(X[rows, feature]) & node.missing_left)
    return 1 + check_node(X, score_of, node.left, rows[left], min_leaf, depth + 1, max_depth) + \
        check_node(X, score_of, node.right, rows[~left], min_leaf, depth + 1, max_depth)


def survival_with_missing(seed, n=70, share=0.2):
    s = make_survival(n=n, p=3, seed=seed)
    rng = np.random.default_rng(seed + 100)
    X = s.X.copy(order="F")
    X[:, 1] = np.round(X[:, 1], 1)  # ties
    X[rng.random(X.shape) < share] = np.nan
    # Continuous times, so that distinct partitions do not tie by construction.
    time = s.event_time + rng.random(n) * 0.5
    return X, time, (s.event_indicator == 1).astype(np.uint8)


SINGLE_TREE = {"n_trees": 1, "bootstrap": False, "subsample_fraction": 1.0, "max_features": "all",
               "honesty": False, "missing_values": True}


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("criterion", ["log_rank", "gradient"])
def test_each_split_is_the_best_over_thresholds_and_missing_sides(criterion, seed):
    X, time, event = survival_with_missing(seed)
    min_leaf, max_depth = 1 + seed % 4, 3
    if criterion == "log_rank":
        model = core._grow_log_rank_forest(X, time, event, min_samples_leaf=min_leaf, max_depth=max_depth,
                                           seed=seed, **SINGLE_TREE)
        score_of = lambda rows, left: log_rank_score(time[rows], event[rows] == 1, left)  # noqa: E731
    else:
        model = core._grow_gradient_forest(X, time, min_samples_leaf=min_leaf, max_depth=max_depth,
                                           seed=seed, **SINGLE_TREE)
        score_of = lambda rows, left: variance_score(time[rows], left)  # noqa: E731
    tree = first_tree(model)
    assert check_node(X, score_of, tree, np.arange(len(time)), min_leaf, 0, max_depth) > 0


def test_missingness_alone_is_split_on():
    """When only whether a value is missing tells the risks apart, the root
    splits "is missing"."""
    rng = np.random.default_rng(0)
    n = 200
    X = np.asfortranarray(rng.normal(size=(n, 2)))
    missing = rng.random(n) < 0.3
    X[missing, 0] = np.nan
    time = np.where(missing, 1.0, 10.0) + rng.random(n)
    model = core._grow_log_rank_forest(X, time, np.ones(n, np.uint8), max_depth=1, **SINGLE_TREE)
    root = first_tree(model)
    assert (root.feature, root.threshold, root.missing_left) == (0, np.inf, False)


@pytest.mark.parametrize("fit", [
    pytest.param(lambda X, t, e, **kw: core._grow_log_rank_forest(X, t, e, n_trees=3, **kw), id="log_rank"),
    pytest.param(lambda X, t, e, **kw: core._grow_gradient_forest(X, t, n_trees=3, **kw), id="gradient"),
    pytest.param(lambda X, t, e, **kw: core._grow_log_rank_tree(X, t, e, **kw), id="tree"),
])
def test_queries_with_nan_descend_the_recorded_way(fit):
    X, time, event = survival_with_missing(3, n=120)
    model = fit(X, time, event, min_samples_leaf=3, seed=2, missing_values=True)
    tree = first_tree(model)
    rng = np.random.default_rng(1)
    query = np.where(rng.random((300, 3)) < 0.4, np.nan, rng.normal(size=(300, 3)))
    expected = [descend(tree, row) for row in query]
    assert np.asarray(model._apply(query)).reshape(300, -1)[:, 0].tolist() == expected


@pytest.mark.parametrize("criterion", ["log_rank", "gradient"])
def test_rows_missing_a_value_carry_their_weights_to_their_side(criterion):
    """Whole weights are copies of rows: the tree on weighted rows with NaN
    splits where the tree on the repeated rows does, missing sides included."""
    X, time, event = survival_with_missing(5, n=50, share=0.3)
    weight = np.random.default_rng(3).integers(0, 4, size=len(time)).astype(float)
    repeated = np.repeat(np.arange(len(time)), weight.astype(int))
    settings = {"max_depth": 1, "min_samples_leaf": 1, **SINGLE_TREE}
    if criterion == "log_rank":
        weighted = core._grow_log_rank_forest(X, time, event, sample_weight=weight, **settings)
        copies = core._grow_log_rank_forest(np.asfortranarray(X[repeated]), time[repeated], event[repeated],
                                            **settings)
    else:
        weighted = core._grow_gradient_forest(X, time, sample_weight=weight, **settings)
        copies = core._grow_gradient_forest(np.asfortranarray(X[repeated]), time[repeated], **settings)
    a, b = first_tree(weighted), first_tree(copies)
    assert np.isnan(X[weight > 0, a.feature]).any()
    assert (a.feature, a.threshold, a.missing_left) == (b.feature, b.threshold, b.missing_left)
    assert a.score == pytest.approx(b.score, rel=1e-12)


def test_without_nan_missing_values_change_only_the_recorded_sides():
    s = make_survival(n=90, p=4, seed=8)
    settings = {"n_trees": 4, "min_samples_leaf": 3, "seed": 5}
    refused = core._grow_log_rank_forest(*s, **settings)
    incorporated = core._grow_log_rank_forest(*s, **settings, missing_values=True)
    times = np.arange(0.0, 20.0)
    assert (refused.predict_cumulative_hazard(s.X, times).tobytes()
            == incorporated.predict_cumulative_hazard(s.X, times).tobytes())
    a, b = first_tree(refused), first_tree(incorporated)
    assert (a.feature, a.threshold, a.score) == (b.feature, b.threshold, b.score)
    assert not a.missing_left


@pytest.mark.parametrize("fit", [
    pytest.param(lambda s: core.fit_log_rank_tree(*s, min_samples_leaf=3), id="tree"),
    pytest.param(lambda s: core.fit_log_rank_forest(*s, n_trees=3, min_samples_leaf=3), id="log_rank"),
    pytest.param(lambda s: core.fit_gradient_forest(s.X, s.event_time, n_trees=3, min_samples_leaf=3),
                 id="gradient"),
])
def test_public_models_send_nan_right_at_every_split(fit):
    s = make_survival(n=60, p=3, seed=4)
    data = korvane.to_bytes(fit(s))
    sides = sections(data)["missing sides"]
    assert sides.size > 0 and data[sides.offset:sides.offset + sides.size] == bytes(sides.size)


@pytest.mark.parametrize("fit", [
    pytest.param(lambda X, s, **kw: core.fit_log_rank_forest(X, s.event_time, s.event_indicator, **kw),
                 id="fit_log_rank_forest"),
    pytest.param(lambda X, s, **kw: core.fit_log_rank_tree(X, s.event_time, s.event_indicator, **kw),
                 id="fit_log_rank_tree"),
    pytest.param(lambda X, s, **kw: core.fit_gradient_forest(X, s.event_time, **kw), id="fit_gradient_forest"),
    pytest.param(lambda X, s, **kw: core._grow_log_rank_forest(X, s.event_time, s.event_indicator, **kw),
                 id="_grow_log_rank_forest"),
    pytest.param(lambda X, s, **kw: core._grow_gradient_forest(X, s.event_time, **kw), id="_grow_gradient_forest"),
    pytest.param(lambda X, s, **kw: core._grow_log_rank_tree(X, s.event_time, s.event_indicator, **kw),
                 id="_grow_log_rank_tree"),
])
def test_nan_is_refused_unless_missing_values_are_asked_for(fit):
    s = make_survival(n=20, p=2, seed=1)
    X = s.X.copy(order="F")
    X[5, 1] = np.nan
    with pytest.raises(ValueError, match=r"^X has NaN at row 5, column 1$"):
        fit(X, s)


@pytest.mark.parametrize("value, text", [(np.inf, "inf"), (-np.inf, "-inf")])
@pytest.mark.parametrize("fit", [
    pytest.param(lambda X, s, **kw: core._grow_log_rank_forest(X, s.event_time, s.event_indicator, **kw),
                 id="log_rank"),
    pytest.param(lambda X, s, **kw: core._grow_gradient_forest(X, s.event_time, **kw), id="gradient"),
    pytest.param(lambda X, s, **kw: core._grow_log_rank_tree(X, s.event_time, s.event_indicator, **kw), id="tree"),
])
def test_missing_values_refuse_infinite_covariates(fit, value, text):
    s = make_survival(n=20, p=2, seed=1)
    X = s.X.copy(order="F")
    X[2, 0] = np.nan
    X[7, 1] = value
    with pytest.raises(ValueError, match=rf"^X has {text} at row 7, column 1; with missing_values=True only NaN"):
        fit(X, s, missing_values=True)


def test_out_of_bag_answers_cover_rows_with_missing_values():
    X, time, event = survival_with_missing(6, n=80, share=0.3)
    settings = {"n_trees": 8, "min_samples_leaf": 3, "seed": 1, "missing_values": True}
    forest = core._grow_log_rank_forest(X, time, event, **settings)
    times = np.array([2.0, 5.0])
    oob = forest._oob_cumulative_hazard(X, times)
    # Each tree alone (a piece of one tree), asked about every row.
    per_tree = np.stack([core._grow_log_rank_forest(X, time, event, trees=(b, b + 1), **settings)
                         .predict_cumulative_hazard(X, times) for b in range(8)])
    out = forest._in_bag() == 0
    for i in range(len(time)):
        if out[:, i].any():
            np.testing.assert_allclose(oob[i], per_tree[out[:, i], i].mean(axis=0), rtol=1e-12)
        else:
            assert np.isnan(oob[i]).all()
    assert np.isnan(X).any(axis=1)[out.any(axis=0)].any()


def test_pieces_grown_with_missing_values_join_into_the_whole_forest():
    X, time, event = survival_with_missing(9, n=60)
    settings = {"n_trees": 6, "min_samples_leaf": 3, "seed": 4, "missing_values": True}
    whole = core._grow_log_rank_forest(X, time, event, **settings)
    pieces = [core._grow_log_rank_forest(X, time, event, trees=r, **settings) for r in [(0, 2), (2, 6)]]
    assert korvane.to_bytes(core._join_forests(pieces)) == korvane.to_bytes(whole)


# --- the estimators ----------------------------------------------------------


def test_the_forest_estimator_takes_nan_at_fit_and_in_queries():
    from estimator_data import make_data
    from korvane import RandomSurvivalForest

    X, y = make_data(n=200)
    X_missing = X.copy()
    X_missing[np.random.default_rng(2).random(X.shape) < 0.2] = np.nan
    forest = RandomSurvivalForest(n_estimators=10, random_state=0)
    assert forest.__sklearn_tags__().input_tags.allow_nan
    risk = forest.fit(X_missing, y).predict(X_missing)
    assert np.isfinite(risk).all()
    # The missing values carry the signal: column 0 drives the hazard.
    assert forest.score(X_missing, y) > 0.6
    curves = forest.predict_survival_function(X_missing[:3])
    assert all(0.0 <= curve(5.0) <= 1.0 for curve in curves)
    # Without NaN at fit, a query's NaN goes to the larger child of each split.
    plain = RandomSurvivalForest(n_estimators=10, random_state=0).fit(X, y)
    assert np.isfinite(plain.predict(X_missing)).all()
    assert (plain.predict(X) == RandomSurvivalForest(n_estimators=10, random_state=0).fit(X, y).predict(X)).all()


def test_missing_values_of_data_frames_become_nan():
    pd = pytest.importorskip("pandas")
    from estimator_data import make_data
    from korvane import RandomSurvivalForest

    X, y = make_data(n=120, p=3)
    frame = pd.DataFrame({"a": X[:, 0], "b": pd.array(np.round(X[:, 1] * 10).astype(int), dtype="Int64"),
                          "c": X[:, 2]})
    frame.loc[::7, "a"] = None
    frame.loc[::5, "b"] = pd.NA
    as_array = frame.astype(float).to_numpy()
    assert np.isnan(as_array).any()
    forest = RandomSurvivalForest(n_estimators=5, random_state=1)
    assert (forest.fit(frame, y).predict(frame) == forest.fit(as_array, y).predict(as_array)).all()


def test_the_tree_estimator_takes_nan_at_fit_and_in_queries():
    from estimator_data import make_data
    from korvane import SurvivalTree

    X, y = make_data(n=200)
    X[np.random.default_rng(4).random(X.shape) < 0.2] = np.nan
    tree = SurvivalTree(min_samples_leaf=10, random_state=0).fit(X, y)
    assert tree.__sklearn_tags__().input_tags.allow_nan
    assert np.isfinite(tree.predict(X)).all() and tree.score(X, y) > 0.6


@pytest.mark.parametrize("estimator", ["RandomSurvivalForest", "SurvivalTree"])
@pytest.mark.parametrize("bad", [np.inf, -np.inf])
def test_the_estimators_still_refuse_infinity(estimator, bad):
    import korvane
    from estimator_data import make_data

    X, y = make_data(n=40)
    X[3, 1] = bad
    with pytest.raises(ValueError, match="Input X contains infinity"):
        getattr(korvane, estimator)().fit(X, y)
