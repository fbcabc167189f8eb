"""Forests that estimate effects: regression, quantile and causal forests.

All three grow honest, partition-only trees in the core and predict through
forest weights: the weight of training row i for a query x is the average over
trees of 1/|leaf| when i was recorded in the leaf x reaches. The core sums
per-row values under these weights without building the weight matrix
(`_weighted_sums`), so a prediction costs one descent per tree and query row.

NaN in X marks a missing value, at fit and in queries, as for the survival
forests: every split sends the rows missing its covariate to the side that
scores best for them (or may split on "is missing" alone), and a split whose
rows all held the value sends NaN to its larger child. A fit without NaN grows
the forest of a fit that refuses NaN, to the last bit.
"""

from __future__ import annotations

import functools
import math
import warnings
from numbers import Integral, Real
from statistics import NormalDist
from typing import Any

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import DataConversionWarning
from sklearn.utils._param_validation import Interval, RealNotInt
from sklearn.utils.validation import check_is_fitted

from korvane import _korvane_core as core
from korvane import _nuisance as nuisance
from korvane._cluster import ForestJob, TrainingData, grow_forest, local_threads
from korvane._estimator import (
    COUNT_FROM_1,
    HONESTY,
    MAX_DEPTH,
    MAX_FEATURES,
    N_JOBS,
    RANDOM_STATE,
    Float64Array,
    check_arguments,
    fit_context,
    resolve_count,
    resolve_max_features,
    seed_from,
)
from korvane._validation import check_features

__all__ = ["CausalForest", "QuantileForest", "RegressionForest"]

# What the causal forests add to the effect forests' parameters. The nuisance
# models and folds are checked in `fit`, against the outcome they model.
EFFECT_CONSTRAINTS: dict[str, Any] = {
    "ci_group_size": [COUNT_FROM_1],
    "nuisance_estimators": [COUNT_FROM_1, None],
    "min_side_samples": [Interval(Integral, 0, None, closed="left")],
    "model_t": "no_validation",
    "cv": "no_validation",
}

# The complementary error function, elementwise (the normal distribution
# function is erfc(-x / sqrt 2) / 2).
_erfc = np.frompyfunc(math.erfc, 1, 1)

# Query rows per block of per-tree terms or forest weights, so that a block's
# intermediate stays near this many doubles (32 MiB).
_BLOCK_VALUES = 1 << 22


class _EffectForest(BaseEstimator):  # type: ignore[misc]
    """The settings and the plumbing the effect forests share."""

    _parameter_constraints: dict[str, list[Any]] = {
        "n_estimators": [COUNT_FROM_1],
        "min_samples_leaf": [COUNT_FROM_1, Interval(RealNotInt, 0.0, 1.0, closed="neither")],
        "max_depth": MAX_DEPTH,
        "max_features": MAX_FEATURES,
        "max_samples": [Interval(Real, 0.0, 1.0, closed="right")],
        "min_child_fraction": [Interval(Real, 0.0, 0.5, closed="left")],
        "n_jobs": N_JOBS,
        "random_state": RANDOM_STATE,
        **HONESTY,
    }

    def __init__(
        self,
        n_estimators: int = 500,
        *,
        min_samples_leaf: int | float = 5,
        max_depth: int | None = None,
        max_features: str | int | float | None = None,
        max_samples: float = 0.5,
        honesty: bool = True,
        honesty_fraction: float = 0.5,
        min_child_fraction: float = 0.05,
        n_jobs: int | None = None,
        random_state: Any = None,
    ) -> None:
        self.n_estimators = n_estimators
        self.min_child_fraction = min_child_fraction
        self.min_samples_leaf = min_samples_leaf
        self.max_depth = max_depth
        self.max_features = max_features
        self.max_samples = max_samples
        self.honesty = honesty
        self.honesty_fraction = honesty_fraction
        self.n_jobs = n_jobs
        self.random_state = random_state

    def _core_settings(self, n_samples: int, n_features: int) -> dict[str, Any]:
        """The core's keyword settings, other than the relabeling's own."""
        return {
            "n_trees": int(self.n_estimators),
            "min_samples_leaf": resolve_count(self.min_samples_leaf, n_samples, 1),
            "max_depth": None if self.max_depth is None else int(self.max_depth),
            "max_features": resolve_max_features(self.max_features, n_features),
            "bootstrap": False,
            "subsample_fraction": float(self.max_samples),
            "honesty": bool(self.honesty),
            "honesty_fraction": float(self.honesty_fraction),
            "min_child_fraction": float(self.min_child_fraction),
            "n_threads": local_threads(self.n_jobs),
            "missing_values": True,
        }

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        # NaN in X is a missing value, at fit and in queries.
        tags.input_tags.allow_nan = True
        # Sparse X is made dense (see korvane._validation).
        tags.input_tags.sparse = True
        return tags

    def _training_features(self, X: Any) -> Float64Array:
        """X for `fit`, column-major; NaN stays, as a missing value."""
        checked = check_features(self, X, reset=True, order="F", allow_nan=True)
        if len(checked) < 2:
            raise ValueError(f"X has n_samples={len(checked)}; a forest of subsamples needs at least 2 rows")
        return checked

    def _target(self, y: Any, n: int) -> Float64Array:
        """The outcome of `RegressionForest` and `QuantileForest`; a column
        vector is read as a vector, with scikit-learn's warning."""
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None")
        try:
            y = np.asarray(y, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise ValueError("y must be numbers") from error
        if y.ndim == 2 and y.shape[1] == 1:
            warnings.warn(
                "A column-vector y was passed when a 1d array was expected; it is read as one",
                DataConversionWarning,
                stacklevel=3,
            )
            y = y[:, 0]
        return _column(y, "y", n)

    def _query(self, X: Any) -> Float64Array:
        check_is_fitted(self, "_forest")
        return check_features(self, X, reset=False, allow_nan=True)

    def _sums(self, X: Float64Array, values: Float64Array) -> Float64Array:
        sums: Float64Array = self._forest._weighted_sums(X, values, n_threads=local_threads(self.n_jobs))
        return sums


class RegressionForest(RegressorMixin, _EffectForest):  # type: ignore[misc]
    """A regression forest: variance splits, honest trees, forest-weighted means.

    Each tree draws a subsample of the rows without replacement and, when
    honest, splits it in two: one half chooses the splits (the largest
    reduction of the outcome's variance), the other is recorded in the
    leaves. The prediction for x is the forest-weighted mean of the training
    outcomes, sum_i a_i(x) v_i y_i / sum_i a_i(x) v_i, with a_i(x) the forest
    weights and v_i the sample weights (1 without).

    Parameters
    ----------
    n_estimators : int, default=500
        Number of trees.
    min_samples_leaf : int or float, default=5
        Fewest rows a leaf holds (of each half when honest); a float in
        (0, 1) is a share of the training rows.
    max_depth : int, default=None
        Greatest depth of a leaf; None grows until `min_samples_leaf` stops.
    max_features : {"sqrt", "log2"}, int, float or None, default=None
        Covariates drawn at each node, as scikit-learn counts them; None is
        all of them.
    max_samples : float, default=0.5
        Share of the rows each tree draws, without replacement, in (0, 1].
    honesty : bool, default=True
        Split each tree's rows into a part that chooses the splits and a
        part that estimates the leaves.
    honesty_fraction : float, default=0.5
        Share of a tree's rows that choose the splits, in (0, 1).
    min_child_fraction : float, default=0.05
        Each side of a split holds at least this share of its node's
        splitting rows, in [0, 0.5): splits that cut off a few rows at the
        edge of a covariate's range are not taken.
    n_jobs : int, default=None
        Threads, as scikit-learn counts them: None = 1 unless a
        ``joblib.parallel_config`` (or ``parallel_backend``) context sets
        n_jobs, -1 = all cores, -2 = all but one, and so on. Never changes a
        result.
    random_state : int, RandomState, Generator or None, default=None
        Seed of every draw; an int gives the same forest on any machine.

    Attributes
    ----------
    oob_prediction_ : ndarray of shape (n_samples,)
        Each training row's prediction from the trees that did not draw it.
    n_features_in_ : int
        Number of covariates seen in `fit`.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import RegressionForest
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(400, 3))
    >>> y = 4 * (X[:, 0] > 0.5) + rng.normal(scale=0.1, size=400)
    >>> forest = RegressionForest(n_estimators=100, random_state=0).fit(X, y)
    >>> np.round(forest.predict([[0.1, 0.5, 0.5], [0.9, 0.5, 0.5]]), 1)
    array([0., 4.])
    """

    @fit_context()
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> RegressionForest:
        """Grow the forest on covariates `X` and outcomes `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Outcomes, finite.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights, not all 0; they weigh the variance splits
            and the means.

        Returns
        -------
        self : RegressionForest
        """
        X = self._training_features(X)
        y = self._target(y, len(X))
        weight = _sample_weight(sample_weight, len(X))
        self._forest = _regression_forest(X, y, weight, self._core_settings(*X.shape), seed_from(self.random_state))
        self._values = _mean_terms(y, weight)
        self.oob_prediction_ = _ratio(self._forest._oob_weighted_sums(X, self._values))
        return self

    def predict(self, X: Any) -> Float64Array:
        """The forest-weighted mean outcome of each row of `X`.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        ndarray of shape (n_queries,)
        """
        return _ratio(self._sums(self._query(X), self._values))


class QuantileForest(_EffectForest):
    """A quantile regression forest: weighted quantiles of the training outcomes.

    The trees are a `RegressionForest`'s; the prediction for x at level q is
    the smallest training outcome whose cumulative forest weight (outcomes
    in increasing order, weights a_i(x) v_i normalised to sum 1) reaches q.

    Parameters
    ----------
    quantiles : sequence of float, default=(0.1, 0.5, 0.9)
        Levels in [0, 1] that `predict` returns, in this order.
    n_estimators, min_samples_leaf, max_depth, max_features, max_samples, \
honesty, honesty_fraction, min_child_fraction, n_jobs, random_state
        As for `RegressionForest`.

    Attributes
    ----------
    n_features_in_ : int
        Number of covariates seen in `fit`.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import QuantileForest
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(500, 2))
    >>> y = rng.normal(scale=1 + 2 * X[:, 0])
    >>> forest = QuantileForest(quantiles=[0.1, 0.9], n_estimators=100, random_state=0).fit(X, y)
    >>> low, high = forest.predict([[0.05, 0.5], [0.95, 0.5]]).T
    >>> bool(high[1] - low[1] > high[0] - low[0])
    True
    """

    _parameter_constraints: dict[str, list[Any]] = {
        **_EffectForest._parameter_constraints,
        "quantiles": ["array-like", Interval(Real, 0.0, 1.0, closed="both")],
    }

    def __init__(
        self,
        quantiles: Any = (0.1, 0.5, 0.9),
        n_estimators: int = 500,
        *,
        min_samples_leaf: int | float = 5,
        max_depth: int | None = None,
        max_features: str | int | float | None = None,
        max_samples: float = 0.5,
        honesty: bool = True,
        honesty_fraction: float = 0.5,
        min_child_fraction: float = 0.05,
        n_jobs: int | None = None,
        random_state: Any = None,
    ) -> None:
        super().__init__(
            n_estimators,
            min_samples_leaf=min_samples_leaf,
            max_depth=max_depth,
            max_features=max_features,
            max_samples=max_samples,
            honesty=honesty,
            honesty_fraction=honesty_fraction,
            min_child_fraction=min_child_fraction,
            n_jobs=n_jobs,
            random_state=random_state,
        )
        self.quantiles = quantiles

    @fit_context()
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> QuantileForest:
        """Grow the forest on covariates `X` and outcomes `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights, not all 0.

        Returns
        -------
        self : QuantileForest
        """
        _levels(self.quantiles)
        X = self._training_features(X)
        y = self._target(y, len(X))
        weight = _sample_weight(sample_weight, len(X))
        self._forest = _regression_forest(X, y, weight, self._core_settings(*X.shape), seed_from(self.random_state))
        self._order = np.argsort(y, kind="stable")
        self._sorted_y = y[self._order]
        self._weight = weight
        return self

    def predict(self, X: Any) -> Float64Array:
        """The forest-weighted quantiles of the outcome for each row of `X`.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        ndarray of shape (n_queries, n_quantiles)
        """
        X = self._query(X)
        levels = _levels(self.quantiles)
        out = np.empty((len(X), len(levels)))
        n_train = len(self._sorted_y)
        step = max(1, _BLOCK_VALUES // max(n_train, 1))
        for start in range(0, len(X), step):
            weights = self._forest.forest_weights(X[start : start + step])
            if self._weight is not None:
                weights = weights * self._weight
            cumulative = np.cumsum(weights[:, self._order], axis=1)
            cumulative /= cumulative[:, -1:]
            for j, q in enumerate(levels):
                # The first position whose cumulative weight reaches q (less a
                # rounding margin, so that q = 1 finds the last weighted row).
                position = np.argmax(cumulative >= q - 1e-12, axis=1)
                out[start : start + step, j] = self._sorted_y[position]
        return out


class CausalForest(_EffectForest):
    """A causal forest: heterogeneous treatment effects by generalized random forests.

    Fit on covariates X, outcome y and treatment w (binary or continuous):

    1. Nuisances: m(x) = E[y | x] and e(x) = E[w | x] by whichever of an
       out-of-bag `RegressionForest` and a cross-fitted linear model errs
       less out of fold (``"auto"``), by one of the two, or by scikit-learn
       models cross-fitted over `cv` folds (`model_y`, `model_t`); or the
       `Y_hat`, `W_hat` given. Then the centred y - m(x), w - e(x). What
       the effect needs from the nuisances is accuracy: whatever part of m
       and e they miss stays in the centred values, where it pulls every
       effect towards the average effect (a bias that intervals do not
       cover). So the nuisance forests are not honest (out of bag, no row's
       outcome enters its own estimate already), and a linear model takes
       their place where it errs less: a forest approximates a linear
       signal in many columns coarsely.
    2. Splits: each node relabels its rows with the gradient of the local
       moment condition E[(w - e)(y - m - (w - e) tau)] = 0 at the node's own
       tau, and takes the split that most reduces the variance of the labels.
    3. Honest trees in little bags: trees come in groups of `ci_group_size`
       that draw their subsamples from one half-sample.
    4. The effect at x solves the moment condition under the forest weights
       a_i(x) v_i: tau(x) = cov_a(w, y) / var_a(w) of the centred values.

    `predict_variance` is the little bags' estimate: per tree b, the
    forest-level moment psi_b(x) of its leaf (the tree's term of the weighted
    moment at the forest's tau(x)); the variance between the groups' means of
    psi_b, less the within-group noise (total variance of psi_b less the
    between-group variance, over ci_group_size - 1), made non-negative by
    its posterior mean under a flat prior on [0, inf) with a normal error,
    and divided by the square of the weighted variance of the treatment.

    The intervals hold the forest's variance, not its bias: where the effect
    changes fast (or the nuisances miss much of y or w), the estimate is
    pulled towards neighbouring effects and coverage falls short of the
    level. With few little bags (a few hundred trees) the correction for the
    bags' own noise is itself noisy and the variance errs high, the more so
    the smaller the leaves; some 2,000 trees give variances whose mean
    matches the spread of the estimate across samples.

    Parameters
    ----------
    n_estimators : int, default=500
        Number of trees, a multiple of `ci_group_size`.
    min_samples_leaf, max_depth, max_features, honesty, honesty_fraction, \
min_child_fraction, n_jobs, random_state
        As for `RegressionForest`.
    max_samples : float, default=0.5
        Share of the rows each tree draws, at most 0.5 with little bags (a
        tree draws 2 * max_samples of its group's half-sample).
    ci_group_size : int, default=2
        Trees per little bag; 1 = none (no variance estimates).
    nuisance_estimators : int, default=None
        Trees of each nuisance forest; None is max(50, n_estimators // 4).
        The nuisance forests take the other settings of this forest, but
        are not honest.
    min_side_samples : int, default=0
        Each side of a split holds at least this many rows whose centred
        treatment w - e(x) lies above the node's mean of it, and as many at
        or below it (for a 0/1 treatment, mostly the treated and the control
        rows: a treated row with e(x) near 1 may fall below), so every child
        can estimate an effect; 0 = no such floor.
    model_y : {"auto", "forest"} or regressor, default="auto"
        The model of m(x) = E[y | x]. "auto": whichever of "forest" and a
        linear model has the smaller out-of-fold mean squared error; the
        linear model is `LassoCV` (or, for a 0/1 target,
        `LogisticRegressionCV` scored by log loss) on standardised columns,
        its penalty chosen once on all rows and the model with that penalty
        cross-fitted; the forest alone when X or the controls hold NaN, or
        with fewer than 50 rows. The choice is in `nuisance_choice_`.
        "forest": an out-of-bag `RegressionForest` (not honest,
        `nuisance_estimators` trees), the default of earlier versions. A
        scikit-learn regressor (or, for a 0/1 outcome, a classifier, whose
        ``predict_proba`` for class 1 is used) is cloned and fitted on all
        folds but one, for each fold, and predicts the fold it did not see;
        it gets `sample_weight` when its ``fit`` (or a pipeline's last step)
        takes it.
    model_t : {"auto", "forest"}, regressor or classifier, default="auto"
        The model of e(x) = E[treatment | x], as `model_y`; for a 0/1
        treatment, a classifier gives P(treatment = 1 | x).
    cv : int, splitter or iterable of (train, test) folds, default=5
        The folds of the cross-fitted models. An int k >= 2 is k shuffled
        folds drawn from `random_state` (stratified on a 0/1 treatment when
        each arm has k rows or more); the test folds of a splitter must hold
        every row exactly once.

    Attributes
    ----------
    Y_hat_, W_hat_ : ndarray of shape (n_samples,)
        The nuisance estimates the forest was centred with.
    nuisance_choice_ : dict
        For "y" and "treatment": "given" (the array passed to `fit`),
        "forest", "linear" (picked by "auto") or "model" (the estimator
        passed).
    nuisance_errors_ : dict
        For "y" and "treatment": the weighted mean squared error of each
        candidate looked at (both, for "auto"), out of fold ("given": of the
        array as passed).
    models_y_, models_t_ : list
        The fitted model of each fold, when a model was cross-fitted; empty
        otherwise.
    n_features_in_ : int
        Number of covariates seen in `fit`.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import CausalForest
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(1000, 3))
    >>> w = rng.binomial(1, 0.5, size=1000).astype(float)
    >>> y = X[:, 1] + w * (X[:, 0] > 0.5) + rng.normal(scale=0.5, size=1000)
    >>> forest = CausalForest(n_estimators=200, random_state=0).fit(X, y, w)
    >>> np.round(forest.predict([[0.1, 0.5, 0.5], [0.9, 0.5, 0.5]]), 0) + 0.0
    array([0., 1.])
    >>> effect, lower, upper = forest.predict([[0.9, 0.5, 0.5]], interval=True)
    >>> bool(lower[0] < effect[0] < upper[0])
    True
    """

    _parameter_constraints: dict[str, Any] = {
        **_EffectForest._parameter_constraints,
        **EFFECT_CONSTRAINTS,
        "model_y": "no_validation",
    }

    def __init__(
        self,
        n_estimators: int = 500,
        *,
        min_samples_leaf: int | float = 5,
        max_depth: int | None = None,
        max_features: str | int | float | None = None,
        max_samples: float = 0.5,
        honesty: bool = True,
        honesty_fraction: float = 0.5,
        min_child_fraction: float = 0.05,
        ci_group_size: int = 2,
        nuisance_estimators: int | None = None,
        min_side_samples: int = 0,
        model_y: Any = "auto",
        model_t: Any = "auto",
        cv: Any = 5,
        n_jobs: int | None = None,
        random_state: Any = None,
    ) -> None:
        super().__init__(
            n_estimators,
            min_samples_leaf=min_samples_leaf,
            max_depth=max_depth,
            max_features=max_features,
            max_samples=max_samples,
            honesty=honesty,
            honesty_fraction=honesty_fraction,
            min_child_fraction=min_child_fraction,
            n_jobs=n_jobs,
            random_state=random_state,
        )
        self.ci_group_size = ci_group_size
        self.nuisance_estimators = nuisance_estimators
        self.min_side_samples = min_side_samples
        self.model_y = model_y
        self.model_t = model_t
        self.cv = cv

    @fit_context(nested_estimators=True)
    def fit(
        self,
        X: Any,
        y: Any,
        treatment: Any,
        *,
        Y_hat: Any = None,
        W_hat: Any = None,
        controls: Any = None,
        sample_weight: Any = None,
    ) -> CausalForest:
        """Estimate the nuisances, centre, and grow the causal forest.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Outcomes, finite.
        treatment : array-like of shape (n_samples,)
            Treatment, finite: 0/1 or continuous.
        Y_hat, W_hat : array-like of shape (n_samples,), default=None
            Estimates of E[y | x] and E[treatment | x] (out of sample, e.g.
            cross-fitted); given, they are used instead of `model_y` /
            `model_t`.
        controls : array-like of shape (n_samples, n_controls), default=None
            Covariates that enter the nuisance models beside `X` but do not
            modify the effect (confounders); NaN marks a missing value.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights, not all 0: they weigh the nuisance
            models (those that take `sample_weight`), the splits and the
            moment conditions.

        Returns
        -------
        self : CausalForest
        """
        X = self._training_features(X)
        n = len(X)
        y = _column(y, "y", n)
        w = _column(treatment, "treatment", n)
        weight = _sample_weight(sample_weight, n)
        settings = self._core_settings(*X.shape)
        group_size = _little_bags(self.ci_group_size, settings)
        seed = seed_from(self.random_state)
        self._nuisances(X, y, w, weight, (Y_hat, W_hat, controls), settings, seed)
        y_centred, w_centred = y - self.Y_hat_, w - self.W_hat_
        floor = {"min_side_samples": int(self.min_side_samples)}
        self._forest = grow_effect_forest(
            "_grow_causal_forest", (X, y_centred, w_centred), weight, settings | floor, seed, ci_group_size=group_size
        )
        self._y, self._w, self._weight, self._group_size = y, w, weight, group_size
        self._values = _moment_terms(y_centred, w_centred, weight)
        self._X = X
        return self

    def _nuisances(
        self,
        X: Float64Array,
        y: Float64Array,
        w: Float64Array,
        weight: Float64Array | None,
        given: tuple[Any, Any, Any],
        settings: dict[str, Any],
        seed: int,
    ) -> None:
        """Set Y_hat_ and W_hat_ (and what made them): the arrays given, else
        model_y / model_t on X and the controls. Every setting is checked
        before any model is fitted."""
        Y_hat, W_hat, controls = given
        n = len(X)
        Y_hat = None if Y_hat is None else _column(Y_hat, "Y_hat", n)
        W_hat = None if W_hat is None else _column(W_hat, "W_hat", n)
        nuisance.check_model(self.model_y, "model_y", y, "y")
        nuisance.check_model(self.model_t, "model_t", w, "treatment")
        nuisance.check_folds(self.cv)
        Z = X if controls is None else _with_controls(X, controls)
        # The nuisance forests see the controls too: their max_features counts them.
        forest_settings = self._nuisance_settings(settings if Z is X else self._core_settings(*Z.shape))
        stratum = w if np.all((w == 0.0) | (w == 1.0)) else None
        folds = functools.cache(lambda: nuisance.make_folds(self.cv, Z, stratum, seed + 3))

        def one(values: Float64Array | None, model: Any, name: str, target: Float64Array, offset: int) -> Any:
            if values is not None:
                return nuisance.given(values, target, weight)
            oob = functools.partial(_oob_mean, Z, target, weight, forest_settings, seed + offset)
            return nuisance.estimate(model, name, target, Z, weight, folds, oob)

        found = {"y": one(Y_hat, self.model_y, "model_y", y, 1), "treatment": one(W_hat, self.model_t, "model_t", w, 2)}
        self.Y_hat_, self.W_hat_ = found["y"].estimate, found["treatment"].estimate
        self.nuisance_choice_ = {label: found[label].choice for label in found}
        self.nuisance_errors_ = {label: found[label].errors for label in found}
        self.models_y_, self.models_t_ = found["y"].models, found["treatment"].models

    def _nuisance_settings(self, settings: dict[str, Any]) -> dict[str, Any]:
        n_trees = self.nuisance_estimators
        if n_trees is None:
            n_trees = max(50, settings["n_trees"] // 4)
        return settings | {"n_trees": int(n_trees), "honesty": False}

    def predict(self, X: Any, interval: bool = False, alpha: float = 0.05) -> Any:
        """The estimated effect at each row of `X`, with intervals on request.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
        interval : bool, default=False
            Also return the bounds of the two-sided normal interval of level
            1 - alpha from `predict_variance`.
        alpha : float, default=0.05
            In (0, 1).

        Returns
        -------
        effect : ndarray of shape (n_queries,)
        lower, upper : ndarray of shape (n_queries,)
            Only with `interval=True`.
        """
        check_prediction_arguments(interval, alpha)
        X = self._query(X)
        if not interval:
            return _effect(self._sums(X, self._values))
        z = NormalDist().inv_cdf(1.0 - alpha / 2.0)
        effect = _effect(self._sums(X, self._values))
        half_width = z * np.sqrt(self._variance(X))
        return effect, effect - half_width, effect + half_width

    def predict_variance(self, X: Any) -> Float64Array:
        """The little bags' estimate of the variance of the effect at each row of `X`.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        ndarray of shape (n_queries,)
            See the class description for what is computed.
        """
        return self._variance(self._query(X))

    def _variance(self, X: Float64Array) -> Float64Array:
        group_size = self._group_size
        if group_size < 2:
            raise ValueError("variance estimates need little bags: fit with ci_group_size >= 2")
        n_trees = int(self._forest.n_trees)
        variance = np.empty(len(X))
        step = max(1, _BLOCK_VALUES // (n_trees * self._values.shape[1]))
        for start in range(0, len(X), step):
            block = slice(start, start + step)
            terms = self._forest._tree_weighted_sums(X[block], self._values, n_threads=local_threads(self.n_jobs))
            variance[block] = _little_bag_variance(terms, group_size)
        return variance

    def average_treatment_effect(self) -> tuple[float, float]:
        """The doubly robust (augmented inverse-propensity) average effect.

        With out-of-bag effects tau_i, nuisances m_i and e_i, and a binary
        treatment, the score of row i is
        tau_i + (w_i - e_i) / (e_i (1 - e_i)) * (y_i - m_i - (w_i - e_i) tau_i);
        the estimate is its (weighted) mean and the standard error the
        (weighted) standard deviation of the scores over sqrt(n).

        Returns
        -------
        estimate, standard_error : float
        """
        check_is_fitted(self, "_forest")
        if not np.all(np.isin(self._w, (0.0, 1.0))):
            raise ValueError("average_treatment_effect needs a binary (0/1) treatment")
        e = self.W_hat_
        if not np.all((e > 0.0) & (e < 1.0)):
            raise ValueError("average_treatment_effect needs W_hat strictly between 0 and 1 (overlap)")
        tau = _effect(self._forest._oob_weighted_sums(self._X, self._values))
        tau = np.where(np.isnan(tau), np.nanmean(tau), tau)
        residual = self._y - self.Y_hat_ - (self._w - e) * tau
        score = tau + (self._w - e) / (e * (1.0 - e)) * residual
        weight = np.ones(len(score)) if self._weight is None else self._weight
        estimate = float(np.average(score, weights=weight))
        # The variance of a weighted mean of independent scores.
        spread = np.sum(weight**2 * (score - estimate) ** 2) / np.sum(weight) ** 2
        n = len(score)
        return estimate, float(math.sqrt(spread * n / max(n - 1, 1)))


def _regression_forest(
    X: Float64Array, y: Float64Array, weight: Float64Array | None, settings: dict[str, Any], seed: int
) -> Any:
    """Variance splits of y: the ratio relabeling with unit denominators labels
    each node's rows y - mean(y), and a variance split does not see the shift."""
    return grow_effect_forest("_grow_ratio_forest", (X, y, np.ones(len(y))), weight, settings, seed, ci_group_size=1)


def grow_effect_forest(
    entry: str,
    columns: tuple[Float64Array, Float64Array, Float64Array],
    weight: Float64Array | None,
    settings: dict[str, Any],
    seed: int,
    ci_group_size: int,
    balance: Float64Array | None = None,
) -> Any:
    """An effect forest grown by the core entry point `entry` on (X, first
    column, second column), with `balance` the ratio forest's side-floor
    column: on the local pool, or in pieces on the active joblib backend's
    workers, the same forest to the last bit."""
    options = dict(settings)
    n_threads = options.pop("n_threads")
    arrays = {} if weight is None else {"sample_weight": weight}
    if balance is not None:
        arrays["balance"] = balance
    job = ForestJob(entry, TrainingData(columns, arrays), options | {"seed": seed % 2**64, "ci_group_size": ci_group_size})
    return grow_forest(job, None, n_threads)


def _oob_mean(
    X: Float64Array, y: Float64Array, weight: Float64Array | None, settings: dict[str, Any], seed: int
) -> Float64Array:
    """Out-of-bag forest-weighted means of y at the training rows; a row every
    tree drew takes the in-bag prediction."""
    forest = _regression_forest(X, y, weight, settings, seed)
    values = _mean_terms(y, weight)
    mean = _ratio(forest._oob_weighted_sums(X, values, n_threads=settings["n_threads"]))
    missing = np.isnan(mean)
    if missing.any():
        mean[missing] = _ratio(forest._weighted_sums(X[missing], values))
    return mean


def _mean_terms(y: Float64Array, weight: Float64Array | None) -> Float64Array:
    v = np.ones(len(y)) if weight is None else weight
    return np.column_stack([v * y, v])


def _ratio(sums: Float64Array) -> Float64Array:
    ratio: Float64Array = sums[:, 0] / sums[:, 1]
    return ratio


def _moment_terms(y: Float64Array, w: Float64Array, weight: Float64Array | None) -> Float64Array:
    """Per training row the terms of the weighted local moment condition:
    v, v w, v y, v w y, v w w."""
    v = np.ones(len(y)) if weight is None else weight
    return np.column_stack([v, v * w, v * y, v * w * y, v * w * w])


def _effect(sums: Float64Array) -> Float64Array:
    """tau = cov(w, y) / var(w) under the weights the sums carry (last axis:
    the moment terms)."""
    s_v, s_w, s_y, s_wy, s_ww = np.moveaxis(sums, -1, 0)
    effect: Float64Array = (s_v * s_wy - s_w * s_y) / (s_v * s_ww - s_w * s_w)
    return effect


def _little_bag_variance(terms: Float64Array, group_size: int) -> Float64Array:
    """The variance of the effect from each tree's moment terms, (n, n_trees, 5)."""
    forest_sums = terms.mean(axis=1)
    effect = _effect(forest_sums)
    s_v, s_w, s_y = forest_sums[:, 0], forest_sums[:, 1], forest_sums[:, 2]
    w_bar, y_bar = (s_w / s_v)[:, None], (s_y / s_v)[:, None]
    t_v, t_w, t_y, t_wy, t_ww = np.moveaxis(terms, -1, 0)
    # Each tree's weighted moment sum_i a_i v_i (w_i - w_bar)(y_i - y_bar - (w_i - w_bar) tau)
    # and its slope in tau, at the forest's means and effect.
    cross = t_wy - w_bar * t_y - y_bar * t_w + w_bar * y_bar * t_v
    slope = t_ww - 2.0 * w_bar * t_w + w_bar**2 * t_v
    psi = cross - effect[:, None] * slope
    n_groups = psi.shape[1] // group_size
    grouped = psi.reshape(len(psi), n_groups, group_size)
    centre = psi.mean(axis=1, keepdims=True)
    between = ((grouped.mean(axis=2) - centre) ** 2).mean(axis=1)
    total = ((psi - centre) ** 2).mean(axis=1)
    noise = (total - between) / (group_size - 1)
    variance = _positive_part_posterior(between - noise, np.maximum(between, noise) * math.sqrt(2.0 / n_groups))
    result: Float64Array = variance / slope.mean(axis=1) ** 2
    return result


def _positive_part_posterior(estimate: Float64Array, error: Float64Array) -> Float64Array:
    """The posterior mean of a variance known to be >= 0, observed as
    `estimate` with normal error of sd `error`, under a flat prior on [0, inf):
    the mean of a normal truncated at 0."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = estimate / error
        below = np.asarray(_erfc(-ratio / math.sqrt(2.0)), dtype=np.float64) / 2.0
        mean = estimate + error * np.exp(-0.5 * ratio**2) / math.sqrt(2 * math.pi) / below
    posterior: Float64Array = np.where(error > 0, mean, np.maximum(estimate, 0.0))
    return posterior


def _little_bags(ci_group_size: Any, settings: dict[str, Any]) -> int:
    """The group size, checked against the settings before any forest grows."""
    group_size = int(ci_group_size)
    if settings["n_trees"] % group_size != 0:
        raise ValueError(f"n_estimators={settings['n_trees']} is not a multiple of ci_group_size={group_size}")
    if group_size > 1 and settings["subsample_fraction"] > 0.5:
        raise ValueError(
            f"max_samples={settings['subsample_fraction']} is above 0.5: with ci_group_size > 1 each tree "
            f"draws from a half-sample"
        )
    return group_size


def _with_controls(X: Float64Array, controls: Any) -> Float64Array:
    """X beside the controls, column-major as the forests read it."""
    try:
        extra = np.asarray(controls, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError("controls must be numbers") from error
    if extra.ndim != 2 or len(extra) != len(X):
        raise ValueError(f"controls must have shape ({len(X)}, n_controls), got {extra.shape}")
    if np.isinf(extra).any():
        raise ValueError("controls must be finite or NaN (missing)")
    return np.asfortranarray(np.column_stack((X, extra)))


def _column(values: Any, name: str, n: int) -> Float64Array:
    try:
        column = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be numbers") from error
    if column.ndim != 1 or len(column) != n:
        raise ValueError(f"{name} must have shape ({n},), got {column.shape}")
    if not np.all(np.isfinite(column)):
        raise ValueError(f"{name} must be finite")
    return np.ascontiguousarray(column)


def _sample_weight(sample_weight: Any, n: int) -> Float64Array | None:
    if sample_weight is None:
        return None
    weight = _column(sample_weight, "sample_weight", n)
    if np.any(weight < 0) or not np.any(weight > 0):
        raise ValueError("sample_weight must be >= 0 and not all zero")
    return weight


_INTERVAL_OPTIONS: dict[str, list[Any]] = {
    "interval": ["boolean"],
    "alpha": [Interval(Real, 0.0, 1.0, closed="neither")],
}


def check_prediction_arguments(interval: Any, alpha: Any) -> None:
    """The interval options of an effect forest's `predict`."""
    check_arguments("predict", _INTERVAL_OPTIONS, interval=interval, alpha=alpha)


def _levels(quantiles: Any) -> Float64Array:
    try:
        levels = np.atleast_1d(np.asarray(quantiles, dtype=np.float64))
    except (TypeError, ValueError) as error:
        raise ValueError(f"quantiles must be levels in [0, 1], got {quantiles!r}") from error
    if levels.ndim != 1 or len(levels) == 0 or not np.all((levels >= 0.0) & (levels <= 1.0)):
        raise ValueError(f"quantiles must be levels in [0, 1], got {quantiles!r}")
    return levels

