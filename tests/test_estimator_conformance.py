"""scikit-learn's estimator checks, their survival-target counterparts, and the
scikit-learn tools a user combines the estimators with."""

import inspect

import numpy as np
import pytest
from estimator_data import ESTIMATORS, make_data, make_frame
from sklearn.base import clone
from sklearn.compose import ColumnTransformer
from sklearn.inspection import permutation_importance
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder
from sklearn.utils.estimator_checks import estimator_checks_generator, parametrize_with_checks

from korvane import QuantileForest, RandomSurvivalForest, RegressionForest, Surv, SurvivalTree

# These checks fit on a 1-D class or regression target that scikit-learn makes
# up; a survival target is a structured array of event and time, so fit
# refuses theirs. Each runs again below on the estimators adapted to turn that
# target into a survival target, and the property each protects is also tested
# with a survival target: below, in test_estimator_inputs.py (dtypes, layouts,
# NaN and infinity, feature counts) and in test_estimator_engine.py (pickle).
_NEEDS_NUMERIC_Y = [
    "check_fit_score_takes_y",
    "check_estimators_overwrite_params",
    "check_dont_overwrite_parameters",
    "check_estimators_fit_returns_self",
    "check_readonly_memmap_input",
    "check_n_features_in_after_fitting",
    "check_estimators_dtypes",
    "check_dtype_object",
    "check_pipeline_consistency",
    "check_estimators_nan_inf",
    "check_estimators_pickle",
    "check_f_contiguous_array_estimator",
    "check_methods_sample_order_invariance",
    "check_methods_subset_invariance",
    "check_fit2d_1sample",
    "check_fit2d_1feature",
    "check_dict_unchanged",
    "check_fit_idempotent",
    "check_fit_check_is_fitted",
    "check_n_features_in",
    "check_fit2d_predict1d",
    "check_sample_weights_pandas_series",
    "check_sample_weights_not_an_array",
    "check_sample_weights_list",
    "check_all_zero_sample_weights_error",
    "check_sample_weights_shape",
    "check_sample_weights_not_overwritten",
    "check_sample_weight_equivalence_on_dense_data",
    "check_sample_weight_equivalence_on_sparse_data",
    "check_estimator_sparse_array",
    "check_estimator_sparse_matrix",
    "check_estimator_sparse_tag",
]
EXPECTED_FAILED_CHECKS = {
    **{name: "fits on a numeric 1-D y; survival targets are structured (event, time)" for name in _NEEDS_NUMERIC_Y},
    "check_positive_only_tag_during_fit": "fits on a numeric 1-D y, refused with a TypeError before X is looked at",
}


_WEIGHTS_MOVE_THRESHOLDS = (
    "an effect forest's trees draw from every row, weights enter the splits and the means: "
    "a row of weight 0 still moves where thresholds fall"
)
_EFFECT_REGRESSOR_FAILED_CHECKS = {
    "check_sample_weight_equivalence_on_dense_data": _WEIGHTS_MOVE_THRESHOLDS,
    "check_sample_weight_equivalence_on_sparse_data": _WEIGHTS_MOVE_THRESHOLDS,
}
_QUANTILE_FAILED_CHECKS = {
    name: "predicts one column per quantile where the check expects one value per row"
    for name in ("check_estimator_sparse_array", "check_estimator_sparse_matrix")
}


# A listed check that starts passing fails the run, where scikit-learn can say so (1.8 on).
_STRICT = {"xfail_strict": True} if "xfail_strict" in inspect.signature(parametrize_with_checks).parameters else {}


@parametrize_with_checks(
    [RandomSurvivalForest(n_estimators=5, random_state=0), SurvivalTree(random_state=0)],
    expected_failed_checks=lambda estimator: EXPECTED_FAILED_CHECKS,
    **_STRICT,
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


@parametrize_with_checks(
    [RegressionForest(n_estimators=10, random_state=0), QuantileForest(n_estimators=10, random_state=0)],
    expected_failed_checks=lambda estimator: _EFFECT_REGRESSOR_FAILED_CHECKS
    | (_QUANTILE_FAILED_CHECKS if isinstance(estimator, QuantileForest) else {}),
    **_STRICT,
)
def test_scikit_learn_estimator_checks_of_the_effect_regressors(estimator, check):
    check(estimator)


def _survival_target(y):
    """scikit-learn's made-up 1-D target as a survival target: every row an
    event, at a time in (0, 1) that grows with the value (labels by their order)."""
    if y is None:
        return None
    values = np.asarray(y)
    if not np.issubdtype(values.dtype, np.number):
        values = np.unique(values, return_inverse=True)[1]
    # Row by row, so repeating a row repeats its target (the weight checks).
    time = 1.0 / (1.0 + np.exp(-values.astype(np.float64)))
    return Surv.from_arrays(np.ones(len(time), dtype=bool), time)


class _SurvivalTargetAdapter:
    """Fits and scores the estimator on `_survival_target(y)`; everything else
    is the estimator's own, so each check's property is the estimator's."""

    def fit(self, X, y, sample_weight=None):
        return super().fit(X, _survival_target(y), sample_weight=sample_weight)

    def score(self, X, y, sample_weight=None):
        return super().score(X, _survival_target(y), sample_weight=sample_weight)


# Module-level classes, so that the pickle checks find them.
class AdaptedRandomSurvivalForest(_SurvivalTargetAdapter, RandomSurvivalForest):
    pass


class AdaptedSurvivalTree(_SurvivalTargetAdapter, SurvivalTree):
    pass


# check_estimators_nan_inf is not made for estimators that take NaN.
_ADAPTED_CHECKS = {*_NEEDS_NUMERIC_Y, "check_positive_only_tag_during_fit"} - {"check_estimators_nan_inf"}

# Weights equal repetition where the leaf floor cannot tell them apart and
# every tree is the full tree (as in _sample_weight_equivalence below).
_FULL_TREES = {"min_samples_leaf": 1, "min_samples_split": 2, "max_features": None}
_ADAPTED_ESTIMATORS = {
    "forest": lambda **kw: AdaptedRandomSurvivalForest(n_estimators=5, random_state=0, **kw),
    "tree": lambda **kw: AdaptedSurvivalTree(random_state=0, **kw),
}
_SETTINGS_FOR_CHECK = {
    f"check_sample_weight_equivalence_on_{data}_data": {"forest": {**_FULL_TREES, "bootstrap": False}, "tree": _FULL_TREES}
    for data in ("dense", "sparse")
}


def _check_name(check):
    return getattr(check, "func", check).__name__


def _numeric_target_checks():
    for kind, make in _ADAPTED_ESTIMATORS.items():
        for _, check in estimator_checks_generator(make(), legacy=True):
            name = _check_name(check)
            if name in _ADAPTED_CHECKS:
                estimator = make(**_SETTINGS_FOR_CHECK.get(name, {}).get(kind, {}))
                yield pytest.param(estimator, check, id=f"{type(estimator).__name__}-{name}")


_NUMERIC_TARGET_CHECKS = list(_numeric_target_checks())


@pytest.mark.parametrize(("estimator", "check"), _NUMERIC_TARGET_CHECKS)
def test_scikit_learn_estimator_checks_with_a_survival_target(estimator, check):
    check(estimator)


def test_every_check_refused_for_its_target_runs_with_a_survival_target():
    # A check scikit-learn renames or stops making would drop out unnoticed.
    # Which checks it makes changes between releases: the list is the pinned one's.
    pytest.importorskip("sklearn", minversion="1.9")
    ran = {param.id for param in _NUMERIC_TARGET_CHECKS}
    for make in _ADAPTED_ESTIMATORS.values():
        assert {f"{type(make()).__name__}-{name}" for name in _ADAPTED_CHECKS} <= ran


def _fit_is_idempotent_and_returns_self(make, X, y):
    model = make()
    assert model.fit(X, y) is model
    first = model.predict(X)
    assert np.array_equal(model.fit(X, y).predict(X), first)


def _fit_keeps_parameters_and_predict_keeps_state(make, X, y):
    model = make()
    before = clone(model).get_params()
    model.fit(X, y)
    assert {k: repr(v) for k, v in model.get_params().items()} == {k: repr(v) for k, v in before.items()}
    state = dict(vars(model))
    model.predict(X)
    model.predict_survival_function(X)
    assert vars(model).keys() == state.keys() and all(vars(model)[k] is state[k] for k in state)


def _answers_do_not_depend_on_order_or_batch(make, X, y):
    model = make().fit(X, y)
    whole = model.predict(X)
    order = np.random.default_rng(0).permutation(len(X))
    assert np.array_equal(model.predict(X[order]), whole[order])
    assert np.array_equal(np.concatenate([model.predict(X[:7]), model.predict(X[7:])]), whole)


def _read_only_memory_maps_are_accepted(make, X, y, tmp_path):
    np.save(tmp_path / "X.npy", X)
    np.save(tmp_path / "y.npy", y)
    X_map, y_map = np.load(tmp_path / "X.npy", mmap_mode="r"), np.load(tmp_path / "y.npy", mmap_mode="r")
    assert np.array_equal(make().fit(X_map, y_map).predict(X_map), make().fit(X, y).predict(X))


def _one_row_one_column_and_1d_queries(make, X, y):
    make().fit(X[:, :1], y).predict(X[:, :1])
    one_event = y[np.argmax(y["event"])][None]
    assert make().fit(X[:1], one_event).predict(X[:1]).shape == (1,)
    with pytest.raises(ValueError, match="Expected 2D array"):
        make().fit(X, y).predict(X[0])


def _sample_weight_equivalence(make, X, y):
    # Integer weights, zeros included, against the rows repeated that often,
    # the weighted rows shuffled. Every row is drawn, every feature a
    # candidate and leaves may hold one row, so each tree of the forest is the
    # full tree and the floor on leaf rows cannot tell weight from repetition.
    weight = np.random.default_rng(42).integers(0, 5, size=len(X))
    weight[np.argmax(y["event"])] = 1
    repeated = make(min_samples_leaf=1, min_samples_split=2, max_features=None, **_DRAW_EVERY_ROW[make])
    weighted = clone(repeated)
    repeated.fit(X.repeat(weight, axis=0), y.repeat(weight))
    order = np.random.default_rng(0).permutation(len(X))
    weighted.fit(X[order], y[order], sample_weight=weight[order])
    assert np.array_equal(weighted.unique_times_, repeated.unique_times_)
    assert np.array_equal(weighted.is_event_time_, repeated.is_event_time_)
    np.testing.assert_allclose(weighted.predict(X), repeated.predict(X), rtol=1e-12)


def _sample_weights_of_any_array_like_are_accepted_and_left_alone(make, X, y):
    pd = pytest.importorskip("pandas")
    weight = np.linspace(0.5, 2.0, len(X))
    kept = weight.copy()
    expected = make().fit(X, y, sample_weight=weight).predict(X)
    assert np.array_equal(weight, kept)
    for given in (weight.tolist(), tuple(weight), pd.Series(weight)):
        assert np.array_equal(make().fit(X, y, sample_weight=given).predict(X), expected)


def _bad_sample_weights_are_refused(make, X, y):
    n = len(X)
    for bad in (np.ones(n - 1), np.ones((n, 1)), np.zeros(n), np.full(n, -1.0), np.full(n, np.nan)):
        with pytest.raises(ValueError, match="sample_weight"):
            make().fit(X, y, sample_weight=bad)


def _unfitted_models_say_so(make, X, y):
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        make().predict(X)


# Settings under which every tree of a forest is grown on every row.
_DRAW_EVERY_ROW = {ESTIMATORS["forest"]: {"bootstrap": False}, ESTIMATORS["tree"]: {}}

COUNTERPARTS = [
    _fit_is_idempotent_and_returns_self,
    _fit_keeps_parameters_and_predict_keeps_state,
    _answers_do_not_depend_on_order_or_batch,
    _one_row_one_column_and_1d_queries,
    _unfitted_models_say_so,
    _sample_weight_equivalence,
    _sample_weights_of_any_array_like_are_accepted_and_left_alone,
    _bad_sample_weights_are_refused,
]


@pytest.mark.parametrize("name", ESTIMATORS)
@pytest.mark.parametrize("counterpart", COUNTERPARTS, ids=lambda f: f.__name__.strip("_"))
def test_survival_counterparts_of_the_estimator_checks(name, counterpart):
    X, y = make_data(n=60)
    counterpart(ESTIMATORS[name], X, y)


@pytest.mark.parametrize("name", ESTIMATORS)
def test_read_only_memory_maps_are_accepted(name, tmp_path):
    X, y = make_data(n=60)
    _read_only_memory_maps_are_accepted(ESTIMATORS[name], X, y, tmp_path)


def _frame_pipeline(**forest_settings):
    encode = ColumnTransformer(
        [("categories", OneHotEncoder(), ["grade", "menopause"])], remainder="passthrough", sparse_threshold=0
    )
    return Pipeline([("encode", encode), ("forest", RandomSurvivalForest(n_estimators=10, random_state=0,
                                                                         **forest_settings))])


def test_a_pipeline_encodes_a_frame_with_categories_and_cross_validates():
    frame, y = make_frame(n=200)
    folds = KFold(3, shuffle=True, random_state=0)
    scores = cross_val_score(_frame_pipeline(), frame, y, cv=folds)
    assert scores.shape == (3,) and (scores > 0.55).all()
    search = GridSearchCV(_frame_pipeline(), {"forest__min_samples_leaf": [3, 10]}, cv=folds).fit(frame, y)
    assert search.best_params_["forest__min_samples_leaf"] in (3, 10)
    assert search.best_estimator_.predict(frame).shape == (200,)


@pytest.mark.parametrize("name", ESTIMATORS)
def test_a_clone_refits_to_the_same_model(name):
    X, y = make_data()
    model = ESTIMATORS[name](max_depth=4).fit(X, y)
    copy = clone(model)
    assert not hasattr(copy, "n_features_in_") and copy.get_params() == model.get_params()
    assert np.array_equal(copy.fit(X, y).predict(X), model.predict(X))


def test_scikit_learn_permutation_importance_ranks_the_informative_column_first():
    X, y = make_data(n=300)
    forest = RandomSurvivalForest(n_estimators=20, random_state=0).fit(X, y)
    result = permutation_importance(forest, X, y, n_repeats=3, random_state=0)
    assert np.argmax(result.importances_mean) == 0
