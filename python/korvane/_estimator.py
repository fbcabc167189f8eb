"""What the survival tree and the survival forest share: settings checks,
target handling and every prediction made from a cumulative hazard."""

from __future__ import annotations

import hashlib
import math
from collections.abc import Callable
from numbers import Integral, Real
from typing import Any, TypeVar, cast

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, _fit_context
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions, validate_parameter_constraints
from sklearn.utils.validation import check_is_fitted

from korvane._validation import check_features, check_sample_weight, check_survival_target
from korvane.functions import StepFunction
from korvane.metrics import concordance_index

# Predictions are computed for blocks of rows so that the (rows, times)
# intermediate stays near this many doubles (32 MiB) whatever the query size.
_BLOCK_VALUES = 1 << 22

Float64Array = npt.NDArray[np.float64]
_Array = TypeVar("_Array", bound=npt.NDArray[Any])

FitMethod = TypeVar("FitMethod", bound=Callable[..., Any])

# Each estimator declares its parameters' types and ranges in
# `_parameter_constraints`, so scikit-learn checks them (with its messages and
# `InvalidParameterError`) before `fit` does anything. The constraints more
# than one estimator declares:

COUNT_FROM_1 = Interval(Integral, 1, None, closed="left")
MAX_DEPTH: list[Any] = [COUNT_FROM_1, None]
MAX_FEATURES: list[Any] = [
    COUNT_FROM_1,
    Interval(RealNotInt, 0.0, 1.0, closed="right"),
    StrOptions({"sqrt", "log2"}),
    None,
]
N_JOBS: list[Any] = [Integral, None]
RANDOM_STATE: list[Any] = ["random_state", np.random.Generator]
HONESTY: dict[str, list[Any]] = {
    "honesty": ["boolean"],
    "honesty_fraction": [Interval(Real, 0.0, 1.0, closed="neither")],
}


def fit_context(*, nested_estimators: bool = False) -> Callable[[FitMethod], FitMethod]:
    """scikit-learn's wrapper of `fit`: the parameters are checked against the
    class's `_parameter_constraints` first. Estimators that fit models the
    user passes in (`nested_estimators`) let those check their own."""
    wrap = _fit_context(prefer_skip_nested_validation=not nested_estimators)

    def decorate(fit: FitMethod) -> FitMethod:
        return cast(FitMethod, wrap(fit))

    return decorate


def check_arguments(caller: str, constraints: dict[str, list[Any]], **values: Any) -> None:
    """A method's own arguments, checked as the parameters are, with the same messages."""
    validate_parameter_constraints(constraints, values, caller_name=caller)


class LogRankSurvivalEstimator(BaseEstimator):  # type: ignore[misc]
    """Base of the log-rank survival estimators; not for direct use.

    Subclasses grow the core model in `_fit_model` and keep it in `_model`;
    every answer here comes from the model's cumulative hazard on
    `unique_times_`, every distinct training time, or on its event times
    ``unique_times_[is_event_time_]``, the only times where it jumps.
    """

    _model: Any

    # scikit-survival's ranges where it has the parameter.
    _parameter_constraints: dict[str, list[Any]] = {
        "max_depth": MAX_DEPTH,
        "min_samples_split": [
            Interval(Integral, 2, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="neither"),
        ],
        "min_samples_leaf": [COUNT_FROM_1, Interval(RealNotInt, 0.0, 0.5, closed="right")],
        "min_weight_fraction_leaf": [Interval(Real, 0.0, 0.5, closed="both")],
        "max_features": MAX_FEATURES,
        "max_leaf_nodes": [Interval(Integral, 2, None, closed="left"), None],
        "random_state": RANDOM_STATE,
        "low_memory": ["boolean"],
        **HONESTY,
    }

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        tags.target_tags.single_output = True
        # NaN in X is a missing value, at fit and in queries.
        tags.input_tags.allow_nan = True
        # Sparse X is made dense (see korvane._validation).
        tags.input_tags.sparse = True
        return tags

    @fit_context()
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> LogRankSurvivalEstimator:
        """Grow the model on covariates `X` and the survival target `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Numeric covariates: a NumPy array of any numeric dtype and order,
            or a pandas or polars data frame of numeric columns. Infinite
            values are refused; NaN marks a missing value: each split sends
            the rows missing its covariate to the side that scores best.
        y : structured array of shape (n_samples,)
            An event field (bool, or 0/1) and a time field (finite, >= 0),
            in either order, as `korvane.Surv.from_arrays(event, time)` or
            scikit-survival's `Surv` make them. At least one event.
        sample_weight : array-like of shape (n_samples,), default=None
            Frequency weights, finite and >= 0, not all 0 (for instance
            inverse-probability-of-censoring weights). A row of weight 2 gives
            the model of the data with that row twice: it counts twice in the
            at-risk and event counts of the log-rank splits and of the
            Nelson–Aalen leaves. A row of weight 0 gives the model without the
            row. `min_samples_leaf` still counts rows, not weight, as in
            scikit-learn. None weighs every row 1.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        X_checked, event, time = self._training_data(X, y, reset=True)
        weight = check_sample_weight(sample_weight, len(time))
        # A row of weight 0 is left out of the model, so its time is not on the grid either.
        kept = np.ones(len(time), dtype=bool) if weight is None else weight > 0
        observed = kept & (event == 1)
        if not observed.any():
            raise ValueError("y has no event of positive sample_weight: at least one must have weight above 0")
        self.unique_times_ = _read_only(np.unique(time[kept]))
        self.is_event_time_ = _read_only(np.isin(self.unique_times_, time[observed]))
        self._fit_model(X_checked, event, time, weight)
        return self

    def _tree_settings(self, n_samples: int, n_features: int) -> dict[str, Any]:
        """The core's keyword settings of how each tree grows."""
        return {
            "min_samples_leaf": resolve_count(self.min_samples_leaf, n_samples, 1),
            "min_samples_split": resolve_count(self.min_samples_split, n_samples, 2),
            "min_weight_fraction_leaf": float(self.min_weight_fraction_leaf),
            "max_leaf_nodes": None if self.max_leaf_nodes is None else int(self.max_leaf_nodes),
            "max_depth": None if self.max_depth is None else int(self.max_depth),
            "max_features": resolve_max_features(self.max_features, n_features),
            "honesty": bool(self.honesty),
            "honesty_fraction": float(self.honesty_fraction),
            "missing_values": True,
        }

    def _training_data(
        self, X: Any, y: Any, *, reset: bool
    ) -> tuple[Float64Array, npt.NDArray[np.uint8], Float64Array]:
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None")
        X_checked = check_features(self, X, reset=reset, order="F", allow_nan=True)
        event, time = check_survival_target(y)
        if len(event) != X_checked.shape[0]:
            raise ValueError(f"X has {X_checked.shape[0]} rows but y has {len(event)}")
        if not event.any():
            raise ValueError("y has no event: at least one row must have its event observed")
        return X_checked, event, time

    def _fit_model(
        self,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        sample_weight: Float64Array | None,
    ) -> None:
        raise NotImplementedError

    def _query(self, X: Any) -> Float64Array:
        check_is_fitted(self)
        return check_features(self, X, reset=False, allow_nan=True)

    def _event_times(self) -> Float64Array:
        """The distinct training event times: the grid of the risk score and the quantiles."""
        # An estimator pickled before the grid held censoring times has no
        # is_event_time_: its unique_times_ are its event times.
        is_event_time: npt.NDArray[np.bool_] | None = getattr(self, "is_event_time_", None)
        return self.unique_times_ if is_event_time is None else _read_only(self.unique_times_[is_event_time])

    def _times(self, caller: str, event_times_only: Any) -> Float64Array:
        check_arguments(caller, {"event_times_only": ["boolean"]}, event_times_only=event_times_only)
        return self._event_times() if event_times_only else self.unique_times_

    def _cumulative_hazard(self, X: Float64Array, times: Float64Array) -> Float64Array:
        return np.asarray(self._model.predict_cumulative_hazard(X, times))

    def _row_blocks(self, n_rows: int, n_times: int) -> list[slice]:
        size = max(1, _BLOCK_VALUES // max(1, n_times))
        return [slice(start, start + size) for start in range(0, n_rows, size)]

    def predict(self, X: Any) -> Float64Array:
        """Risk score of each row: the predicted cumulative hazard summed over the event times.

        This is the "ensemble mortality": a higher score means an earlier
        expected event, which is the orientation `score` and Harrell's C use.
        The sum runs over the distinct training event times
        ``unique_times_[is_event_time_]``, as in scikit-survival; times of
        censorings alone add no term.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        risk : ndarray of shape (n_samples,)
        """
        X_checked = self._query(X)
        times = self._event_times()
        risk = np.empty(X_checked.shape[0])
        for block in self._row_blocks(len(risk), len(times)):
            risk[block] = self._cumulative_hazard(X_checked[block], times).sum(axis=1)
        return risk

    def predict_cumulative_hazard_function(
        self, X: Any, return_array: bool = False, *, event_times_only: bool = False
    ) -> Any:
        """Predicted cumulative hazard H(t | x) of each row.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.
        return_array : bool, default=False
            Return the values on `unique_times_` as an array instead of
            step functions.
        event_times_only : bool, default=False
            Use the event times ``unique_times_[is_event_time_]`` instead of
            every distinct training time, for the array's columns and the
            step functions' `x`. The values there are the same: the hazard
            jumps only at event times.

        Returns
        -------
        hazard : ndarray of StepFunction of shape (n_samples,), or ndarray of shape (n_samples, n_times)
            Step functions with `x` = `unique_times_`, 0 before the first
            event time and jumping only at event times, or their values at
            `unique_times_` (one column per time, as in scikit-survival).
        """
        times = self._times("predict_cumulative_hazard_function", event_times_only)
        hazard = self._cumulative_hazard(self._query(X), times)
        if return_array:
            return hazard
        return _step_functions(times, hazard, initial=0.0)

    def predict_survival_function(
        self, X: Any, return_array: bool = False, *, event_times_only: bool = False
    ) -> Any:
        """Predicted survival function S(t | x) = exp(-H(t | x)) of each row.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.
        return_array : bool, default=False
            Return the values on `unique_times_` as an array instead of
            step functions.
        event_times_only : bool, default=False
            Use the event times ``unique_times_[is_event_time_]`` instead of
            every distinct training time, as in
            `predict_cumulative_hazard_function`.

        Returns
        -------
        survival : ndarray of StepFunction of shape (n_samples,), or ndarray of shape (n_samples, n_times)
            Step functions with `x` = `unique_times_`, 1 before the first
            event time, or their values at `unique_times_`.
        """
        times = self._times("predict_survival_function", event_times_only)
        survival = np.exp(-self._cumulative_hazard(self._query(X), times))
        if return_array:
            return survival
        return _step_functions(times, survival, initial=1.0)

    def predict_quantile_survival_time(self, X: Any, q: Any = 0.5) -> Float64Array:
        """Time by which a share `q` of rows like each one has had the event.

        The q-quantile of the predicted event time: the first event time
        where S(t | x) <= 1 - q. Where the predicted survival never falls
        that low within the training times, the answer is `inf`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.
        q : float or array-like of shape (m,), default=0.5
            Probabilities in (0, 1).

        Returns
        -------
        times : ndarray of shape (n_samples,) for a scalar `q`, else (n_samples, m)
        """
        levels = np.asarray(q, dtype=np.float64)
        if levels.ndim > 1 or not ((levels > 0) & (levels < 1)).all():
            raise ValueError(f"q must be a probability in (0, 1) or a 1-D array of them, got {q!r}")
        times = self._event_times()
        survival = np.exp(-self._cumulative_hazard(self._query(X), times))
        columns = [_first_time_at_or_below(survival, times, 1.0 - level) for level in levels.ravel()]
        return columns[0] if levels.ndim == 0 else np.stack(columns, axis=1)

    def predict_median_survival_time(self, X: Any) -> Float64Array:
        """Predicted median time to the event: the first event time where S(t | x) <= 1/2.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        times : ndarray of shape (n_samples,)
            `inf` where the predicted survival stays above 1/2.
        """
        return self.predict_quantile_survival_time(X, 0.5)

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Harrell's concordance index of `predict(X)` against the target `y`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.
        y : structured array of shape (n_samples,)
            Survival target, as for `fit`.
        sample_weight : array-like of shape (n_samples,), default=None
            Weights as for `fit`: each comparable pair counts with the weight
            of its row with the earlier event (see
            `korvane.metrics.concordance_index`).

        Returns
        -------
        c : float
            0.5 for a random ranking, 1 when the predicted risks order every
            comparable pair correctly.
        """
        risk = self.predict(X)
        event, time = check_survival_target(y)
        if len(event) != len(risk):
            raise ValueError(f"X has {len(risk)} rows but y has {len(event)}")
        # A NumPy float, as scikit-survival gives, for code that calls its methods.
        weight = check_sample_weight(sample_weight, len(risk))
        return np.float64(concordance_index(time, event, risk, sample_weight=weight))

    def apply(self, X: Any) -> npt.NDArray[np.uint32]:
        """Index of the leaf each row reaches (numbered among leaves, not nodes).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        leaves : ndarray of uint32
            Shape (n_samples,) for a tree, (n_samples, ``n_estimators_``) for a forest.
        """
        return np.asarray(self._model._apply(self._query(X)))

    @property
    def feature_importances_(self) -> Float64Array:
        """Log-rank split importance of each feature, summing to 1.

        Per feature, the log-rank statistics of the splits made on it,
        averaged over trees and normalised; all zeros when no split was made.
        It reflects the training data only (an impurity-style importance);
        `RandomSurvivalForest.oob_permutation_importance` measures importance
        on rows each tree did not see.
        """
        check_is_fitted(self)
        raw = np.asarray(self._model._split_importance(), dtype=np.float64)
        total = raw.sum()
        return raw / total if total > 0 else np.zeros_like(raw)


def _step_functions(times: Float64Array, values: Float64Array, initial: float) -> npt.NDArray[np.object_]:
    curves = np.empty(len(values), dtype=object)
    for row, curve in enumerate(values):
        curves[row] = StepFunction(times, _read_only(curve), initial=initial)
    return curves


def _first_time_at_or_below(survival: Float64Array, times: Float64Array, level: float) -> Float64Array:
    reached = survival <= level
    first = np.argmax(reached, axis=1)
    return np.where(reached.any(axis=1), times[first], np.inf)


def _read_only(array: _Array) -> _Array:
    array.flags.writeable = False
    return array


def training_digest(X: Float64Array, event: npt.NDArray[np.uint8], time: Float64Array) -> str:
    """A fingerprint of the training data, to recognise it when it is passed again."""
    digest = hashlib.blake2b(digest_size=16)
    for array in (X, event, time):
        digest.update(str(array.shape).encode())
        digest.update(memoryview(np.ascontiguousarray(array.T if array.ndim == 2 else array)).cast("B"))
    return digest.hexdigest()


# Checked values turned into the core's settings, where that needs the data.


def resolve_count(value: int | float, n_samples: int, least: int) -> int:
    """An int count as it is, or a fraction of the training rows rounded up,
    at least `least`, as scikit-learn's trees resolve min_samples_leaf and
    min_samples_split."""
    if isinstance(value, Integral):
        return int(value)
    return max(least, math.ceil(float(value) * n_samples))


def resolve_max_features(value: Any, n_features: int) -> int:
    """Number of features drawn at each split, as scikit-learn's trees count it."""
    if value is None:
        return n_features
    if value == "sqrt":
        return max(1, int(math.sqrt(n_features)))
    if value == "log2":
        return max(1, int(math.log2(n_features)))
    if isinstance(value, Integral):
        if int(value) > n_features:
            raise ValueError(f"max_features={value} must lie in [1, n_features={n_features}]")
        return int(value)
    return max(1, int(float(value) * n_features))


def seed_from(random_state: Any) -> int:
    """A 64-bit core seed drawn from `random_state` as scikit-learn reads it.

    An int gives the same seed, hence the same model, on every fit; None
    draws from NumPy's global generator; a RandomState or Generator draws from
    it, advancing it.
    """
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    return int(check_random_state(random_state).randint(0, 2**64, dtype=np.uint64))
