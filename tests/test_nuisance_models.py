"""The causal forest's nuisance models: cross-fitted scikit-learn estimators,
the out-of-bag forest and "auto"'s choice between the forest and a linear model."""

import pickle

import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import KFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer, StandardScaler

from korvane import CausalForest, CausalSurvivalForest, Surv


class RowSpy(RegressorMixin, BaseEstimator):
    """Fitted on the row ids in the last column; predicts 1 for a row it was
    fitted on, 0 for one it never saw."""

    def fit(self, X, y, sample_weight=None):
        self.seen_ = set(X[:, -1].astype(int))
        self.weighted_ = sample_weight is not None
        return self

    def predict(self, X):
        return np.array([float(int(i) in self.seen_) for i in X[:, -1]])


class SpyClassifier(ClassifierMixin, BaseEstimator):
    """RowSpy as a classifier: P(class 1) is 1 for a row it was fitted on, 1/2 for one it never saw."""

    def fit(self, X, y):
        self.classes_ = np.unique(y)
        self.seen_ = set(X[:, -1].astype(int))
        return self

    def predict_proba(self, X):
        seen = np.array([float(int(i) in self.seen_) for i in X[:, -1]])
        p = 0.5 + 0.5 * seen
        return np.column_stack([1 - p, p])


class NoWeights(RegressorMixin, BaseEstimator):
    def fit(self, X, y):
        self.mean_ = float(np.mean(y))
        return self

    def predict(self, X):
        return np.full(len(X), self.mean_)


class Refuses(RegressorMixin, BaseEstimator):
    def fit(self, X, y):
        raise AssertionError("a nuisance given as an array must not be fitted")

    def predict(self, X):
        raise AssertionError("never fitted")


def _data(n=300, binary=True, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(n, 3))
    w = rng.binomial(1, 0.3 + 0.4 * X[:, 0]).astype(float) if binary else X[:, 0] + rng.normal(size=n)
    y = 2 * X[:, 1] + w * X[:, 0] + rng.normal(scale=0.5, size=n)
    return X, y, w


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
    assert forest.nuisance_choice_ == {"y": "model", "treatment": "model"}


@pytest.mark.parametrize(
    "folds, message",
    [
        ([(np.arange(150, 300), np.arange(150)), (np.arange(150), np.arange(140, 300))], "exactly once"),
        ([(np.arange(150, 300), np.arange(150))], "exactly once"),
        ([(np.arange(300), np.arange(150)), (np.arange(150), np.arange(150, 300))], "own rows"),
        ([(np.arange(150, 300), np.arange(-1, 150)), (np.arange(150), np.arange(150, 299))], "exactly once"),
    ],
)
def test_folds_that_would_leak_or_drop_rows_are_refused(folds, message):
    X, y, w = _data()
    with pytest.raises(ValueError, match=f"cv must.*{message}"):
        _forest(model_y=Ridge(), cv=folds).fit(X, y, w)


@pytest.mark.parametrize("which", ["Y_hat", "W_hat"])
def test_an_array_given_to_fit_wins_over_the_model(which):
    X, y, w = _data()
    given = np.full(len(X), 0.25)
    forest = _forest(model_y=Refuses() if which == "Y_hat" else "auto", model_t=Refuses() if which == "W_hat" else "auto")
    with pytest.raises(AssertionError, match="must not be fitted"):
        forest.fit(X, y, w)
    forest.fit(X, y, w, **{which: given})
    assert np.array_equal(getattr(forest, which + "_"), given)
    label = "y" if which == "Y_hat" else "treatment"
    assert forest.nuisance_choice_[label] == "given"
    assert forest.nuisance_errors_[label]["given"] == pytest.approx(np.mean(({"Y_hat": y, "W_hat": w}[which] - 0.25) ** 2))


def test_a_classifier_gives_the_probability_of_treatment():
    X, y, w = _data()
    forest = _forest(model_t=LogisticRegression(), cv=3).fit(X, y, w)
    assert np.all((forest.W_hat_ > 0) & (forest.W_hat_ < 1))
    # The W_hat_ of a row is P(w = 1) from the model of the fold that did not see it.
    probabilities = np.stack([m.predict_proba(X)[:, 1] for m in forest.models_t_])
    assert np.all(np.isclose(probabilities, forest.W_hat_).sum(axis=0) >= 1)
    assert forest.nuisance_errors_["treatment"]["model"] < np.var(w)


def test_a_classifier_of_labels_minus_one_and_one_is_refused_before_anything_is_fitted():
    X, y, w = _data()
    with pytest.raises(ValueError, match="model_t is a classifier, but treatment is not 0/1"):
        _forest(model_y=Refuses(), model_t=LogisticRegression()).fit(X, y, 2 * w - 1)


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"model_y": "lasso"}, "model_y must be 'auto', 'forest'"),
        ({"model_t": object()}, "model_t must be 'auto', 'forest'"),
        ({"model_y": LogisticRegression()}, "model_y is a classifier, but y is not 0/1"),
        ({"model_y": Ridge, "cv": 2}, "model_y must be"),
        ({"model_t": Ridge(), "cv": 1}, "cv must be a number of folds >= 2"),
        ({"model_t": Ridge(), "cv": True}, "cv must be a number of folds >= 2"),
        ({"model_t": Ridge(), "cv": "5"}, "cv must be a number of folds >= 2"),
        ({"model_t": Ridge(), "cv": 301}, "cv=301 folds need at least as many rows"),
        ({"model_t": LogisticRegression(), "cv": [(np.arange(1), np.arange(1, 300)), (np.arange(1, 300), np.arange(1))]},
         "model_t: a training fold holds one class only"),
    ],
)
def test_bad_models_and_folds_are_named_in_the_error(settings, message):
    X, y, w = _data()
    with pytest.raises(ValueError, match=message):
        _forest(**settings).fit(X, y, w)


@pytest.mark.parametrize(
    "controls, message",
    [(np.ones(300), r"controls must have shape \(300, n_controls\)"), (np.ones((299, 2)), "controls must have shape"),
     (np.full((300, 1), np.inf), "controls must be finite or NaN"), ([["a"]] * 300, "controls must be numbers")],
)
def test_bad_controls_are_named_in_the_error(controls, message):
    X, y, w = _data()
    with pytest.raises(ValueError, match=message):
        _forest().fit(X, y, w, controls=controls)


class Predicts(RegressorMixin, BaseEstimator):
    def __init__(self, value=np.nan, columns=1):
        self.value = value
        self.columns = columns

    def fit(self, X, y):
        return self

    def predict(self, X):
        return np.full((len(X), self.columns), self.value).squeeze()


@pytest.mark.parametrize("model", [Predicts(np.nan), Predicts(np.inf), Predicts(0.0, columns=2)])
def test_a_model_that_predicts_other_than_one_finite_number_per_row_is_named(model):
    X, y, w = _data()
    with pytest.raises(ValueError, match="model_y must predict one finite number per row"):
        _forest(model_y=model).fit(X, y, w)


def test_weights_reach_the_models_that_take_them_and_a_warning_names_those_that_do_not():
    X, y, w = _data()
    ids = np.arange(len(X), dtype=float)[:, None]
    weight = np.linspace(0.5, 2.0, len(X))
    with pytest.warns(UserWarning, match="model_t takes no sample_weight"):
        forest = _forest(model_y=make_pipeline(StandardScaler(), RowSpy()), model_t=NoWeights()).fit(
            X, y, w, controls=ids, sample_weight=weight
        )
    assert all(model[-1].weighted_ for model in forest.models_y_)


def test_weights_enter_the_cross_fitted_models():
    X, y, w = _data()
    weight = np.where(np.arange(len(X)) % 2 == 0, 1.0, 1e-12)
    forest = _forest(model_y=LinearRegression(), cv=KFold(2)).fit(X, y, w, sample_weight=weight)
    # The first fold's model saw the second half, where odd rows weigh nothing.
    assert np.allclose(forest.models_y_[0].coef_, LinearRegression().fit(X[150::2], y[150::2]).coef_)
    assert not np.allclose(forest.models_y_[0].coef_, LinearRegression().fit(X[150:], y[150:]).coef_)


@pytest.mark.parametrize("model", ["auto", Ridge(), LogisticRegression()])
def test_a_fit_with_models_is_a_pure_function_of_its_inputs_and_random_state(model):
    X, y, w = _data()
    first, again = (_forest(model_t=model, random_state=4).fit(X, y, w) for _ in range(2))
    assert np.array_equal(first.W_hat_, again.W_hat_)
    assert np.array_equal(first.predict(X[:20]), again.predict(X[:20]))
    if not isinstance(model, str):
        # Other folds: the seed draws them.
        assert not np.array_equal(_forest(model_t=model, random_state=5).fit(X, y, w).W_hat_, first.W_hat_)


def test_a_pickled_forest_with_models_answers_the_same():
    X, y, w = _data()
    forest = _forest(model_y="auto", model_t=LogisticRegression(), cv=3).fit(X, y, w, controls=X[:, :1] ** 2)
    copy = pickle.loads(pickle.dumps(forest))
    assert np.array_equal(copy.predict(X, interval=True), forest.predict(X, interval=True))
    assert np.array_equal(copy.models_t_[1].coef_, forest.models_t_[1].coef_)
    assert copy.nuisance_choice_ == forest.nuisance_choice_


@pytest.mark.parametrize(
    "signal, missing, expected",
    [("linear", False, "linear"), ("step", False, "forest"), ("linear", True, "forest")],
)
def test_auto_picks_the_model_that_errs_less_out_of_fold(signal, missing, expected):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(600, 10))
    w = (X[:, :5] @ rng.uniform(size=5) if signal == "linear" else 3.0 * (X[:, 0] > 0)) + rng.normal(scale=0.3, size=600)
    y = w + X[:, 5] + rng.normal(size=600)
    if missing:
        X[rng.random(X.shape) < 0.02] = np.nan
    forest = _forest(model_y="auto", model_t="auto").fit(X, y, w)
    assert forest.nuisance_choice_["treatment"] == expected
    errors = forest.nuisance_errors_["treatment"]
    assert errors[expected] == min(errors.values())
    assert ("linear" in errors) is not missing


def test_auto_that_picks_the_forest_fits_the_forest_of_forest_to_the_last_bit():
    rng = np.random.default_rng(2)
    X = rng.uniform(size=(400, 2))
    w = rng.binomial(1, np.where(X[:, 0] > 0.5, 0.8, 0.2)).astype(float)
    y = 4.0 * (X[:, 1] > 0.5) + w + rng.normal(scale=0.2, size=400)
    auto = _forest(model_y="auto", model_t="auto").fit(X, y, w)
    assert auto.nuisance_choice_ == {"y": "forest", "treatment": "forest"}
    forest = _forest().fit(X, y, w)
    assert np.array_equal(auto.predict(X), forest.predict(X))
    assert forest.models_y_ == [] and forest.nuisance_choice_ == {"y": "forest", "treatment": "forest"}


def test_controls_enter_the_nuisances_but_not_the_effect():
    rng = np.random.default_rng(3)
    X, C = rng.uniform(size=(800, 1)), rng.normal(size=(800, 4))
    w = C[:, 0] + rng.normal(scale=0.5, size=800)
    y = (1.0 + X[:, 0]) * w + 2.0 * C[:, 1] + rng.normal(scale=0.5, size=800)
    forest = _forest(n_estimators=100, model_y="auto", model_t="auto").fit(X, y, w, controls=C)
    assert forest.n_features_in_ == 1
    blind = _forest(n_estimators=100, model_y="auto", model_t="auto").fit(X, y, w)
    assert forest.nuisance_errors_["y"]["linear"] < blind.nuisance_errors_["y"]["linear"] / 2
    grid = np.linspace(0.1, 0.9, 9)[:, None]
    assert np.mean((forest.predict(grid) - (1.0 + grid[:, 0])) ** 2) < 0.05


def _survival_data(n=300):
    rng = np.random.default_rng(0)
    X = rng.random((n, 3))
    W = rng.binomial(1, 0.2 + 0.6 * X[:, 2])
    T = rng.exponential(1.0 / np.exp(X[:, 0] - W * X[:, 1]))
    C = rng.exponential(3.0, n)
    return X, Surv.from_arrays(T <= C, np.minimum(T, C)), W


def _survival_forest(**settings):
    return CausalSurvivalForest(**({"horizon": 1.0, "n_estimators": 20, "random_state": 0} | settings))


def test_a_causal_survival_forest_takes_its_propensities_from_the_model():
    X, y, W = _survival_data()
    ids = np.arange(len(X), dtype=float)[:, None]
    spy = _survival_forest(model_t=make_pipeline(FunctionTransformer(lambda Z: Z[:, -1:]), SpyClassifier()))
    assert np.array_equal(spy.fit(np.hstack([X, ids]), y, W).W_hat_, np.full(len(X), 0.5))
    logistic = _survival_forest(model_t=LogisticRegression(), cv=3).fit(X, y, W)
    assert logistic.nuisance_choice_ == {"treatment": "model"} and len(logistic.models_t_) == 3
    given = _survival_forest(model_t=Refuses()).fit(X, y, W, W_hat=np.full(len(X), 0.4))
    assert np.array_equal(given.W_hat_, np.full(len(X), 0.4)) and given.nuisance_choice_ == {"treatment": "given"}


@pytest.mark.parametrize(
    "settings, message",
    [({"model_t": Predicts(1.0)}, "model_t's propensities must lie strictly between 0 and 1"),
     ({"model_t": "logistic"}, "model_t must be 'auto', 'forest'"), ({"model_t": Ridge(), "cv": 0}, "cv must be")],
)
def test_a_causal_survival_forest_names_a_bad_propensity_model(settings, message):
    X, y, W = _survival_data()
    with pytest.raises(ValueError, match=message):
        _survival_forest(**settings).fit(X, y, W)


def test_a_causal_survival_forest_whose_auto_picks_the_forest_is_the_forest_fit():
    X, y, W = _survival_data()
    X[::7, 0] = np.nan  # the linear candidate takes no missing values
    auto = _survival_forest(model_t="auto").fit(X, y, W)
    assert auto.nuisance_choice_ == {"treatment": "forest"}
    assert np.array_equal(auto.predict(X), _survival_forest().fit(X, y, W).predict(X))
