"""The nuisances of the causal forest, m(x) = E[y | x] and e(x) = E[w | x]:
the out-of-bag regression forest, a scikit-learn model cross-fitted over folds,
or ("auto") whichever of the forest and a linear model errs less out of fold.

Every estimate of a row comes from a model that never saw that row: the forest
answers out of bag, a model answers for the fold it was not fitted on. The
effect forest's intervals hold its variance only; a nuisance fitted on its own
row leaks the row's noise into the centred values and biases the effect.
"""

from __future__ import annotations

import numbers
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from sklearn.base import clone, is_classifier
from sklearn.linear_model import Lasso, LassoCV, LogisticRegression, LogisticRegressionCV
from sklearn.model_selection import KFold, StratifiedKFold, check_cv
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.validation import has_fit_parameter

from korvane._estimator import Float64Array

# The string settings of model_y / model_t.
_NAMED = ("auto", "forest")

# Folds of the linear models' own choice of penalty.
_INNER_FOLDS = 5
# Fewest rows for which "auto" considers the linear model: below, the default
# folds of the cross-fitting and of the penalty hold a handful of rows each.
_LINEAR_ROWS = 50

Folds = list[tuple[np.ndarray, np.ndarray]]


@dataclass
class Nuisance:
    """One nuisance estimate and how it was made."""

    estimate: Float64Array
    # "given" (an array passed to fit), "forest", "linear" (the lasso or
    # logistic model "auto" picked) or "model" (the estimator passed).
    choice: str
    # The fitted model of each fold ("linear" and "model" only).
    models: list[Any] = field(default_factory=list)
    # Out-of-fold mean squared error of each candidate looked at.
    errors: dict[str, float] = field(default_factory=dict)


def check_model(model: Any, name: str, target: Float64Array, target_name: str) -> None:
    """Refuse a model_y / model_t that is neither named nor an estimator
    instance, or a classifier of a target that is not 0/1: a classifier's
    nuisance is P(target = 1 | x), which is E[target | x] only for a 0/1
    target."""
    if isinstance(model, str):
        if model in _NAMED:
            return
    # A class has an unbound fit; clone needs get_params.
    elif not isinstance(model, type) and hasattr(model, "fit") and hasattr(model, "get_params"):
        if not is_classifier(model):
            if hasattr(model, "predict"):
                return
        elif hasattr(model, "predict_proba"):
            if not _is_binary(target):
                raise ValueError(f"{name} is a classifier, but {target_name} is not 0/1: pass a regressor")
            return
    raise ValueError(
        f"{name} must be 'auto', 'forest', a scikit-learn regressor or a classifier with predict_proba, got {model!r}"
    )


def check_folds(cv: Any) -> None:
    """Refuse a cv that is neither a fold count >= 2 nor a splitter."""
    if isinstance(cv, numbers.Integral) and not isinstance(cv, bool):
        if int(cv) >= 2:
            return
    elif not isinstance(cv, (str, bool)) and (hasattr(cv, "split") or hasattr(cv, "__iter__")):
        return
    raise ValueError(f"cv must be a number of folds >= 2, a scikit-learn splitter or an iterable of folds, got {cv!r}")


def make_folds(cv: Any, Z: Float64Array, stratum: Float64Array | None, seed: int) -> Folds:
    """The (train, test) folds: a fold count is shuffled with `seed` (and
    stratified on `stratum`, a 0/1 treatment, when each arm can fill every
    fold); a splitter or an iterable is taken as it is, but its test folds
    must hold every row exactly once, or some row would get no estimate or
    two, and no training fold may hold a row of its test fold."""
    n = len(Z)
    if isinstance(cv, numbers.Integral):
        k = int(cv)
        if k > n:
            raise ValueError(f"cv={k} folds need at least as many rows, got {n}")
        if stratum is not None and min(np.sum(stratum == 0), np.sum(stratum == 1)) >= k:
            splitter: Any = StratifiedKFold(k, shuffle=True, random_state=seed % 2**32)
        else:
            splitter = KFold(k, shuffle=True, random_state=seed % 2**32)
        return list(splitter.split(Z, stratum))
    try:
        folds = [(np.asarray(train), np.asarray(test)) for train, test in check_cv(cv).split(Z, stratum)]
    except (TypeError, ValueError) as error:
        # A stratified splitter given no 0/1 treatment fails deep inside scikit-learn
        # with a message about array shapes; say which argument it was.
        needs = "" if stratum is not None else " (only a 0/1 treatment is passed to it as classes)"
        raise ValueError(f"cv could not split the rows{needs}: {error}") from error
    tested = np.concatenate([test for _, test in folds] + [np.empty(0, np.intp)]).astype(np.intp)
    if len(tested) != n or np.any(tested < 0) or np.any(np.bincount(tested, minlength=n) != 1):
        raise ValueError("cv must give test folds that hold every row exactly once")
    if any(np.intersect1d(train, test).size for train, test in folds):
        raise ValueError("cv must not train a fold's model on the fold's own rows")
    return folds


def estimate(
    model: Any,
    name: str,
    target: Float64Array,
    Z: Float64Array,
    weight: Float64Array | None,
    folds: Callable[[], Folds],
    forest: Callable[[], Float64Array],
) -> Nuisance:
    """The nuisance of `target` by `model` (checked by `check_model`): the forest, the model
    cross-fitted over `folds()`, or "auto"'s choice between the forest and a
    linear model by their out-of-fold errors (the forest's own on a tie).
    `folds` and `forest` are called only when needed."""
    if isinstance(model, str) and model == "forest":
        return _scored(Nuisance(forest(), "forest"), target, weight)
    if not isinstance(model, str):
        return _cross_fitted(model, "model", name, Z, target, weight, folds())
    candidates = [_scored(Nuisance(forest(), "forest"), target, weight)]
    linear = _linear_model(name, Z, target, weight, folds)
    if linear is not None:
        candidates.append(_cross_fitted(linear, "linear", name, Z, target, weight, folds()))
    errors = {c.choice: c.errors[c.choice] for c in candidates}
    best = min(candidates, key=lambda c: c.errors[c.choice])
    best.errors = errors
    return best


def _cross_fitted(
    model: Any, choice: str, name: str, Z: Float64Array, target: Float64Array, weight: Float64Array | None, folds: Folds
) -> Nuisance:
    values, models = cross_fit(model, name, Z, target, weight, folds)
    return _scored(Nuisance(values, choice, models), target, weight)


def given(values: Float64Array, target: Float64Array, weight: Float64Array | None) -> Nuisance:
    """An estimate passed to fit, scored like the others (in sample, if it was fitted so)."""
    return _scored(Nuisance(values, "given"), target, weight)


def cross_fit(
    model: Any, name: str, Z: Float64Array, target: Float64Array, weight: Float64Array | None, folds: Folds
) -> tuple[Float64Array, list[Any]]:
    """Each fold's rows predicted by a clone of `model` fitted on the other folds."""
    out = np.empty(len(target))
    fitted = []
    for train, test in folds:
        part = clone(model)
        _fit(part, name, Z[train], target[train], None if weight is None else weight[train])
        out[test] = _predict(part, name, Z[test])
        fitted.append(part)
    return out, fitted


def _fit(model: Any, name: str, Z: Float64Array, target: Float64Array, weight: Float64Array | None) -> None:
    if is_classifier(model):
        if len(np.unique(target)) < 2:
            raise ValueError(f"{name}: a training fold holds one class only; use fewer folds (cv)")
        target = target.astype(np.intp)
    if weight is None:
        model.fit(Z, target)
    elif has_fit_parameter(model, "sample_weight"):
        model.fit(Z, target, sample_weight=weight)
    elif isinstance(model, Pipeline) and has_fit_parameter(model.steps[-1][1], "sample_weight"):
        model.fit(Z, target, **{f"{model.steps[-1][0]}__sample_weight": weight})
    else:
        warnings.warn(f"{name} takes no sample_weight: it is fitted without the weights", UserWarning, stacklevel=5)
        model.fit(Z, target)


def _predict(model: Any, name: str, Z: Float64Array) -> Float64Array:
    if is_classifier(model):
        classes = list(model.classes_)
        values = np.asarray(model.predict_proba(Z))[:, classes.index(1)]
    else:
        values = np.asarray(model.predict(Z), dtype=np.float64)
    values = values.reshape(-1) if values.size == len(Z) else values
    if values.shape != (len(Z),) or not np.all(np.isfinite(values)):
        raise ValueError(f"{name} must predict one finite number per row, got shape {values.shape}")
    return np.asarray(values, dtype=np.float64)


def _is_binary(values: Float64Array) -> bool:
    return bool(np.all((values == 0.0) | (values == 1.0)))


def _linear_model(
    name: str, Z: Float64Array, target: Float64Array, weight: Float64Array | None, folds: Callable[[], Folds]
) -> Any:
    """The linear candidate of "auto", on standardised columns: logistic
    regression for a 0/1 target, the lasso otherwise. The penalty is chosen
    once, by 5-fold cross-validation on all rows (one number learnt from a
    row barely leans on it), and the model with that penalty is what is
    cross-fitted: choosing it again in every fold costs five times as much.
    None where no such model can be fitted: missing values (the forest takes
    them), too few rows for folds within folds, a class too rare for them."""
    if np.isnan(Z).any() or len(Z) < _LINEAR_ROWS:
        return None
    if not (_is_binary(target) and len(np.unique(target)) == 2):
        lasso = make_pipeline(StandardScaler(), LassoCV(cv=_INNER_FOLDS, max_iter=10000))
        _fit(lasso, name, Z, target, weight)
        return make_pipeline(StandardScaler(), Lasso(alpha=lasso[-1].alpha_, max_iter=10000))
    rarest = min(min(np.sum(target[train] == 0), np.sum(target[train] == 1)) for train, _ in folds())
    if rarest < _INNER_FOLDS:
        return None
    # The penalty that predicts probabilities best, not labels, from a grid
    # that spans what standardised columns need: the choice costs most of
    # the linear candidate's time, in proportion to the grid's length.
    settings: dict[str, Any] = {
        "Cs": np.logspace(-3, 2, 6),
        "cv": _INNER_FOLDS,
        "max_iter": 1000,
        "scoring": "neg_log_loss",
    }
    if "use_legacy_attributes" in LogisticRegressionCV().get_params():
        # Versions that know this setting warn unless it and l1_ratios are set.
        settings |= {"l1_ratios": (0.0,), "use_legacy_attributes": False}
    logistic = make_pipeline(StandardScaler(), LogisticRegressionCV(**settings))
    _fit(logistic, name, Z, target, weight)
    penalty = float(np.ravel(logistic[-1].C_)[0])
    return make_pipeline(StandardScaler(), LogisticRegression(C=penalty, max_iter=1000))


def _scored(nuisance: Nuisance, target: Float64Array, weight: Float64Array | None) -> Nuisance:
    nuisance.errors = {nuisance.choice: float(np.average((target - nuisance.estimate) ** 2, weights=weight))}
    return nuisance
