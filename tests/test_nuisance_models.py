"""The causal forests' nuisance models: cross-fitted scikit-learn estimators,
the out-of-bag forest and "auto"'s choice between the forest and a linear model."""

import pickle

import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.model_selection import KFold, StratifiedKFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from korvane import CausalForest, CausalSurvivalForest, Surv


class RowSpy(RegressorMixin, BaseEstimator):
    """Reads row ids from the last column: predicts 1 for a row it was fitted on, 0 otherwise."""

    def fit(self, X, y, sample_weight=None):
        self.seen_, self.weighted_ = set(X[:, -1].astype(int)), sample_weight is not None
        return self

    def predict(self, X):
        return np.array([float(int(i) in self.seen_) for i in X[:, -1]])


class SpyClassifier(ClassifierMixin, RowSpy):
    """RowSpy as a classifier: P(class 1) is 1 for a row it was fitted on, 1/2 otherwise."""

    def fit(self, X, y):
        self.classes_ = np.unique(y)
        return super().fit(X, y)

    def predict_proba(self, X):
        p = 0.5 + 0.5 * self.predict(X)
        return np.column_stack([1 - p, p])


class Predicts(RegressorMixin, BaseEstimator):
    def __init__(self, value=np.nan, columns=1, refuse=False):
        self.value, self.columns, self.refuse = value, columns, refuse

    def fit(self, X, y):
        assert not self.refuse, "a nuisance given as an array must not be fitted"
        return self

    def predict(self, X):
        return np.full((len(X), self.columns), self.value).squeeze()


def _data(n=300, binary=True, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(n, 3))
    w = rng.binomial(1, 0.3 + 0.4 * X[:, 0]).astype(float) if binary else X[:, 0] + rng.normal(size=n)
    return X, 2 * X[:, 1] + w * X[:, 0] + rng.normal(scale=0.5, size=n), w


def _forest(**settings):
    return CausalForest(**({"n_estimators": 20, "random_state": 0} | settings))


@pytest.mark.parametrize("binary, model_t, unseen", [(True, RowSpy(), 0.0), (False, RowSpy(), 0.0),
                                                     (True, SpyClassifier(), 0.5)])
@pytest.mark.parametrize("cv", [2, 5, KFold(3), KFold(4, shuffle=True, random_state=1)])
def test_cross_fitting_never_predicts_a_row_with_a_model_that_saw_it(cv, binary, model_t, unseen):
    X, y, w = _data(binary=binary)
    ids = np.arange(len(X), dtype=float)[:, None]
    forest = _forest(model_y=RowSpy(), model_t=model_t, cv=cv).fit(X, y, w, controls=ids)
    assert not forest.Y_hat_.any() and np.all(forest.W_hat_ == unseen)
    # ...and each model saw every row outside its own fold.
    for models in (forest.models_y_, forest.models_t_):
        seen = np.bincount(np.concatenate([sorted(m.seen_) for m in models]), minlength=len(X))
        assert np.all(seen == len(models) - 1)


@pytest.mark.parametrize("which", ["Y_hat", "W_hat"])
def test_an_array_given_to_fit_wins_over_the_model(which):
    X, y, w = _data()
    forest = _forest(**{"model_y" if which == "Y_hat" else "model_t": Predicts(refuse=True)})
    forest.fit(X, y, w, **{which: np.full(len(X), 0.25)})
    assert np.array_equal(getattr(forest, which + "_"), np.full(len(X), 0.25))
    assert forest.nuisance_choice_["y" if which == "Y_hat" else "treatment"] == "given"


_HALVES = (np.arange(150), np.arange(150, 300))


@pytest.mark.parametrize(
    "settings, fit, message",
    [
        ({"model_y": "lasso"}, {}, "model_y must be 'auto', 'forest'"),
        ({"model_t": object()}, {}, "model_t must be 'auto', 'forest'"),
        ({"model_y": Ridge}, {}, "model_y must be"),
        ({"model_y": LogisticRegression()}, {}, "model_y is a classifier, but y is not 0/1"),
        ({"model_y": Predicts(np.nan)}, {}, "model_y must predict one finite number per row"),
        ({"model_y": Predicts(0.0, columns=2)}, {}, "model_y must predict one finite number per row"),
        ({"cv": 1}, {}, "cv must be a number of folds >= 2"),
        ({"cv": True}, {}, "cv must be a number of folds >= 2"),
        ({"cv": "5"}, {}, "cv must be a number of folds >= 2"),
        ({"cv": 301}, {}, "cv=301 folds need at least as many rows"),
        ({"cv": [_HALVES[::-1], (_HALVES[0], np.arange(140, 300))]}, {}, "every row exactly once"),
        ({"cv": [_HALVES[::-1]]}, {}, "every row exactly once"),
        ({"cv": [(np.arange(300), _HALVES[0]), _HALVES]}, {}, "fold's own rows"),
        ({"model_t": LogisticRegression(), "cv": [(np.arange(1), np.arange(1, 300)), (np.arange(1, 300), np.arange(1))]},
         {}, "model_t: a training fold holds one class only"),
        ({}, {"controls": np.ones(300)}, r"controls must have shape \(300, n_controls\)"),
        ({}, {"controls": np.full((300, 1), np.inf)}, "controls must be finite or NaN"),
    ],
)
def test_bad_models_folds_and_controls_are_named_in_the_error(settings, fit, message):
    X, y, w = _data()
    with pytest.raises(ValueError, match=message):
        _forest(**({"model_y": Ridge()} | settings)).fit(X, y, w, **fit)


def test_a_stratified_splitter_on_a_continuous_treatment_is_named_in_the_error():
    X, y, w = _data(binary=False)
    with pytest.raises(ValueError, match=r"cv could not split the rows \(only a 0/1 treatment"):
        _forest(model_y=Ridge(), cv=StratifiedKFold(3)).fit(X, y, w)


def test_weights_reach_the_models_that_take_them_and_a_warning_names_those_that_do_not():
    X, y, w = _data()
    ids = np.arange(len(X), dtype=float)[:, None]
    with pytest.warns(UserWarning, match="model_t takes no sample_weight"):
        forest = _forest(model_y=make_pipeline(StandardScaler(), RowSpy()), model_t=Predicts(0.5)).fit(
            X, y, w, controls=ids, sample_weight=np.linspace(0.5, 2.0, len(X))
        )
    assert all(model[-1].weighted_ for model in forest.models_y_)


@pytest.mark.parametrize("model", ["auto", Ridge(), LogisticRegression()])
def test_a_fit_with_models_is_a_pure_function_of_its_inputs_and_random_state(model):
    X, y, w = _data()
    first, again = (_forest(model_t=model, random_state=4).fit(X, y, w) for _ in range(2))
    assert np.array_equal(first.W_hat_, again.W_hat_)
    assert np.array_equal(first.predict(X[:20]), again.predict(X[:20]))
    if not isinstance(model, str):  # the seed draws the folds
        assert not np.array_equal(_forest(model_t=model, random_state=5).fit(X, y, w).W_hat_, first.W_hat_)


def test_a_pickled_forest_with_models_answers_the_same():
    X, y, w = _data()
    forest = _forest(model_t=LogisticRegression(), cv=3).fit(X, y, w, controls=X[:, :1] ** 2)
    copy = pickle.loads(pickle.dumps(forest))
    assert np.array_equal(copy.predict(X, interval=True), forest.predict(X, interval=True))
    assert np.array_equal(copy.models_t_[1].coef_, forest.models_t_[1].coef_)


@pytest.mark.parametrize(
    "signal, missing, expected", [("linear", False, "linear"), ("step", False, "forest"), ("linear", True, "forest")]
)
def test_auto_picks_the_model_that_errs_less_out_of_fold(signal, missing, expected):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(600, 10))
    w = (X[:, :5] @ rng.uniform(size=5) if signal == "linear" else 3.0 * (X[:, 0] > 0)) + rng.normal(scale=0.3, size=600)
    y = w + X[:, 5] + rng.normal(size=600)
    if missing:  # the linear candidate takes no missing values
        X[rng.random(X.shape) < 0.02] = np.nan
    forest = _forest().fit(X, y, w)
    assert forest.nuisance_choice_["treatment"] == expected
    errors = forest.nuisance_errors_["treatment"]
    assert errors[expected] == min(errors.values()) and ("linear" in errors) is not missing
    if expected == "forest":  # the forest "auto" picks is "forest"'s, to the last bit
        assert np.array_equal(_forest(model_t="forest").fit(X, y, w).W_hat_, forest.W_hat_)


def test_auto_on_too_few_rows_for_folds_within_folds_keeps_the_forest():
    X, y, w = _data(n=20)
    assert _forest().fit(X, y, w).nuisance_choice_ == {"y": "forest", "treatment": "forest"}


def test_controls_enter_the_nuisances_but_not_the_effect():
    rng = np.random.default_rng(3)
    X, C = rng.uniform(size=(800, 1)), rng.normal(size=(800, 4))
    w = C[:, 0] + rng.normal(scale=0.5, size=800)
    y = (1.0 + X[:, 0]) * w + 2.0 * C[:, 0] + C[:, 1] + rng.normal(scale=0.5, size=800)
    forest = _forest(n_estimators=100).fit(X, y, w, controls=C)
    assert forest.n_features_in_ == 1
    grid = np.linspace(0.1, 0.9, 9)[:, None]
    assert np.mean((forest.predict(grid) - (1.0 + grid[:, 0])) ** 2) < 0.05
    blind = _forest(n_estimators=100).fit(X, y, w)
    assert np.mean((blind.predict(grid) - (1.0 + grid[:, 0])) ** 2) > 0.5


def _survival_data(n=300):
    rng = np.random.default_rng(0)
    X = rng.random((n, 3))
    W = rng.binomial(1, 0.2 + 0.6 * X[:, 2])
    T, C = rng.exponential(1.0 / np.exp(X[:, 0] - W * X[:, 1])), rng.exponential(3.0, n)
    return X, Surv.from_arrays(T <= C, np.minimum(T, C)), W


@pytest.mark.parametrize(
    "model_t, W_hat, expected",
    [(SpyClassifier(), None, 0.5), (Predicts(refuse=True), 0.4, 0.4), (Predicts(1.0), None, "strictly between 0 and 1"),
     ("logistic", None, "model_t must be 'auto', 'forest'")],
)
def test_a_causal_survival_forest_takes_its_propensities_from_model_t(model_t, W_hat, expected):
    X, y, W = _survival_data()
    X = np.hstack([X, np.arange(len(X), dtype=float)[:, None]])  # row ids for the spy
    forest = CausalSurvivalForest(horizon=1.0, n_estimators=20, model_t=model_t, random_state=0)
    given = {} if W_hat is None else {"W_hat": np.full(len(X), W_hat)}
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            forest.fit(X, y, W, **given)
    else:
        assert np.array_equal(forest.fit(X, y, W, **given).W_hat_, np.full(len(X), expected))


def test_a_causal_survival_forest_whose_auto_picks_the_forest_is_the_forest_fit():
    X, y, W = _survival_data()
    X[::7, 0] = np.nan
    fits = [CausalSurvivalForest(horizon=1.0, n_estimators=20, model_t=m, random_state=0).fit(X, y, W)
            for m in ("auto", "forest")]
    assert fits[0].nuisance_choice_ == {"treatment": "forest"}
    assert np.array_equal(fits[0].predict(X), fits[1].predict(X))
