"""Metrics for risk predictions on right-censored data.

Harrell's and Uno's concordance indices, the time-dependent Brier score and
its integral, and the cumulative/dynamic AUC. Every function runs in
O(n log n) for n test samples (the Brier score and the AUC per evaluation
time), and agrees with the usual definitions to rounding, including how risk
scores closer than `tied_tol` count as tied.
"""

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from korvane._survival_target import event_time_from_structured
from korvane.exceptions import NoComparablePairException

__all__ = [
    "concordance_index",
    "concordance_index_censored",
    "concordance_index_ipcw",
    "brier_score",
    "integrated_brier_score",
    "cumulative_dynamic_auc",
    "NoComparablePairException",
]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
SurvivalArray = npt.NDArray[Any]


def concordance_index(
    event_time: npt.ArrayLike,
    event_indicator: npt.ArrayLike,
    risk_score: npt.ArrayLike,
    sample_weight: npt.ArrayLike | None = None,
) -> float:
    """Harrell's concordance index of a risk score (higher score = earlier event).

    A pair of rows is comparable when the row with the shorter time had an
    event: that row should have the higher risk. At equal times an event is
    taken to come before a censoring, since the censored row was still alive
    then, so such a pair is comparable too; two events at the same time are
    not, nor is any pair whose shorter time is censored. A comparable pair
    scores 1 when the earlier row has the higher risk, 1/2 when the risks are
    equal and 0 otherwise; the index is the mean score, 0.5 for a random
    score and 1 for a perfect one.

    Runs in O(n log n). This is :func:`concordance_index_censored` with
    exact ties only.

    Parameters
    ----------
    event_time : array-like of shape (n_samples,)
        Time of each row's event or censoring.
    event_indicator : array-like of shape (n_samples,)
        As for the fit functions: a row is an event exactly when its
        indicator equals 1 (booleans work too).
    risk_score : array-like of shape (n_samples,)
        Predicted risk: higher means an earlier event.
    sample_weight : array-like of shape (n_samples,), optional
        Finite weights >= 0. Each comparable pair counts with the weight of
        its row with the earlier event (the event row), as inverse-probability
        weights enter Uno's index; None weighs every row 1.

    Returns
    -------
    c : float
        The concordance index.

    Raises
    ------
    NoComparablePairException
        When no pair is comparable, or all comparable pairs weigh 0 (a
        subclass of ValueError).
    ValueError
        When the lengths differ, a value is not finite, or `event_time` holds
        booleans, or only 0 and 1 while `event_indicator` holds other values:
        the arguments in scikit-survival's order (see
        :func:`concordance_index_censored`).

    Examples
    --------
    >>> concordance_index([1.0, 2.0, 3.0], [1, 1, 0], [0.9, 0.5, 0.1])
    1.0
    """
    time = _finite_vector(event_time, "event_time")
    risk = _finite_vector(risk_score, "risk_score")
    event = _indicator_vector(event_indicator)
    _check_not_swapped(event_time, event_indicator)
    if not len(time) == len(event) == len(risk):
        raise ValueError(
            f"event_time has {len(time)} entries, event_indicator {len(event)} "
            f"and risk_score {len(risk)}; they must have the same length"
        )
    pairs = _count_pairs(event, time, risk, tied_tol=0.0)
    if pairs.comparable.sum() == 0:
        raise NoComparablePairException(
            "concordance is undefined: no pair of rows is comparable "
            "(no event happens before another row's time)"
        )
    if sample_weight is None:
        return float(pairs.score(np.ones(len(pairs.comparable))))
    weight = _finite_vector(sample_weight, "sample_weight")
    _same_length(event_time=time, sample_weight=weight)
    if (weight < 0).any():
        raise ValueError("sample_weight must be >= 0")
    if _dot(weight[pairs.rows], pairs.comparable) == 0:
        raise NoComparablePairException("concordance is undefined: every comparable pair has weight 0")
    return float(pairs.score(weight[pairs.rows]))


def concordance_index_censored(
    event_indicator: npt.ArrayLike,
    event_time: npt.ArrayLike,
    estimate: npt.ArrayLike,
    tied_tol: float = 1e-8,
) -> tuple[np.float64, np.int64, np.int64, np.int64, np.int64]:
    """Harrell's concordance index for right-censored data.

    A pair of samples is comparable when the one with the shorter time had an
    event; at equal times an event is compared with a censoring (the censored
    sample was still at risk), two events are not. The pair is concordant
    when the earlier sample has the higher estimate, and counts one half when
    the two estimates differ by at most `tied_tol`.

    Parameters
    ----------
    event_indicator : array-like of bool, shape (n_samples,)
        True for an event, False for a censoring.
    event_time : array-like of float, shape (n_samples,)
        Time of the event or censoring.
    estimate : array-like of float, shape (n_samples,)
        Risk score: higher means an earlier event.
    tied_tol : float, default=1e-8
        Estimates whose difference is at most this are tied. Must be >= 0.

    Returns
    -------
    cindex : float
        Concordant pairs plus half the tied ones, over comparable pairs.
    concordant : int
    discordant : int
    tied_risk : int
        Comparable pairs with tied estimates.
    tied_time : int
        Comparable pairs of an event and a censoring at the same time.

    Raises
    ------
    NoComparablePairException
        When no pair is comparable (a subclass of ValueError).
    ValueError
        On inputs of different lengths, fewer than two samples, no event, a
        non-boolean indicator or non-finite values.

    Examples
    --------
    >>> import numpy as np
    >>> event = np.array([True, False, True, True])
    >>> time = np.array([1.0, 2.0, 2.0, 4.0])
    >>> c, concordant, discordant, tied_risk, tied_time = concordance_index_censored(
    ...     event, time, [0.8, 0.3, 0.5, 0.6])
    >>> print(c, concordant, discordant, tied_risk, tied_time)
    0.8 4 1 0 1
    """
    event = _boolean_vector(event_indicator, "event_indicator")
    time = _finite_vector(event_time, "event_time")
    risk = _finite_vector(estimate, "estimate")
    _same_length(event_indicator=event, event_time=time, estimate=risk)
    if len(time) < 2:
        raise ValueError("event_indicator needs at least two samples")
    if not event.any():
        raise ValueError("event_indicator has no event: every sample is censored")
    pairs = _count_pairs(event, time, risk, _tolerance(tied_tol))
    if pairs.comparable.sum() == 0:
        raise NoComparablePairException(
            "event_time allows no comparable pair: no event happens before another sample's time"
        )
    return (pairs.score(np.ones(len(pairs.comparable))), *pairs.totals())


def concordance_index_ipcw(
    survival_train: SurvivalArray,
    survival_test: SurvivalArray,
    estimate: npt.ArrayLike,
    tau: float | None = None,
    tied_tol: float = 1e-8,
) -> tuple[np.float64, np.int64, np.int64, np.int64, np.int64]:
    """Uno's concordance index: comparable pairs weighted by inverse probability of censoring.

    Each comparable pair whose earlier sample had its event at time t counts
    with weight 1 / G(t)^2, where G is the Kaplan-Meier estimate of the
    censoring distribution fitted on `survival_train`. This removes the
    dependence of Harrell's index on the censoring pattern.

    Parameters
    ----------
    survival_train : structured ndarray, shape (n_train,)
        Training target (a boolean event field and a numeric time field),
        used to estimate the censoring distribution.
    survival_test : structured ndarray, shape (n_samples,)
        Target of the samples the estimate is for.
    estimate : array-like of float, shape (n_samples,)
        Risk score: higher means an earlier event.
    tau : float, optional
        Only events before `tau` carry weight (a truncated index). Every event
        counts when None.
    tied_tol : float, default=1e-8
        Estimates whose difference is at most this are tied. Must be >= 0.

    Returns
    -------
    cindex : float
    concordant : int
    discordant : int
    tied_risk : int
    tied_time : int
        Unweighted pair counts as in :func:`concordance_index_censored`.

    Raises
    ------
    NoComparablePairException
        When no pair is comparable, or `tau` leaves every comparable pair
        without weight (a subclass of ValueError).
    ValueError
        On malformed targets, lengths that differ, no event (before `tau`),
        or an event of `survival_test` after the last time of
        `survival_train` or where the censoring survival is zero.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([(True, 1.0), (False, 2.0), (True, 3.0), (False, 4.0)],
    ...              dtype=[("event", "?"), ("time", "f8")])
    >>> print(*concordance_index_ipcw(y, y, [0.9, 0.5, 0.4, 0.1]))
    1.0 4 0 0 0
    """
    train_event, train_time = event_time_from_structured(survival_train, "survival_train")
    test_event, test_time = event_time_from_structured(survival_test, "survival_test")
    risk = _finite_vector(estimate, "estimate")
    _same_length(survival_test=test_time, estimate=risk)
    tol = _tolerance(tied_tol)
    weighted = test_event & (test_time < _tau(tau)) if tau is not None else test_event
    if not weighted.any():
        raise ValueError(f"tau={tau} is before every event of survival_test")
    censoring = _censoring_survival(train_event, train_time)
    weights = np.zeros(len(test_time))
    weights[weighted] = np.square(1.0 / _positive_censoring_survival(censoring, test_time[weighted]))
    pairs = _count_pairs(test_event, test_time, risk, tol)
    if pairs.comparable.sum() == 0:
        raise NoComparablePairException(
            "survival_test allows no comparable pair: no event happens before another sample's time"
        )
    if _dot(weights[pairs.rows], pairs.comparable) == 0:
        raise NoComparablePairException(
            f"tau={tau} leaves no comparable pair: every comparable pair starts at or after tau"
        )
    return (pairs.score(weights[pairs.rows]), *pairs.totals())


def brier_score(
    survival_train: SurvivalArray,
    survival_test: SurvivalArray,
    estimate: npt.ArrayLike,
    times: npt.ArrayLike,
) -> tuple[FloatArray, FloatArray]:
    """Time-dependent Brier score of predicted survival probabilities.

    At time t, a sample with an event by t contributes S(t)^2 / G(T_i), a
    sample still at risk after t contributes (1 - S(t))^2 / G(t), and a
    sample censored by t contributes nothing, where S is the predicted
    survival, T_i the sample's time and G the Kaplan-Meier estimate of the
    censoring distribution fitted on `survival_train`. The score is the mean
    over all samples; lower is better.

    Parameters
    ----------
    survival_train : structured ndarray, shape (n_train,)
        Training target, used to estimate the censoring distribution.
    survival_test : structured ndarray, shape (n_samples,)
        Target of the samples the estimate is for.
    estimate : array-like of float, shape (n_samples, n_times) or (n_samples,)
        Predicted probability of surviving past each time: column k belongs
        to ``times[k]``. A 1-D estimate is allowed for a single time.
    times : array-like of float, shape (n_times,)
        Evaluation times, within ``[min(test time), max(test time))``.
        Repeated times count once; a 2-D estimate may then have one column
        per distinct time, in increasing order.

    Returns
    -------
    times : ndarray of float, shape (n_distinct_times,)
        The distinct evaluation times, in increasing order.
    brier_scores : ndarray of float, shape (n_distinct_times,)

    Raises
    ------
    ValueError
        On malformed targets, an estimate of the wrong shape or with
        non-finite values, times outside the follow-up of `survival_test`,
        or times (or test times) after the last time of `survival_train`
        while the censoring survival there is still positive.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([(True, 1.0), (False, 2.0), (True, 3.0), (False, 4.0)],
    ...              dtype=[("event", "?"), ("time", "f8")])
    >>> brier_score(y, y, [[0.2, 0.1], [0.9, 0.6], [0.8, 0.3], [0.9, 0.8]], [1.5, 3.0])
    (array([1.5, 3. ]), array([0.025  , 0.05125]))
    """
    train_event, train_time = event_time_from_structured(survival_train, "survival_train")
    test_event, test_time = event_time_from_structured(survival_test, "survival_test")
    grid = _evaluation_grid(estimate, times, test_time, shared_column=False)
    censoring = _censoring_survival(train_event, train_time)
    # A censoring survival of zero gives the sample no weight, as 1 / inf would.
    at_times = _inverse_or_zero(_step_at(censoring, grid.times, "times"))
    at_test = _inverse_or_zero(_step_at(censoring, test_time, "survival_test"))
    case_weight = np.where(test_event, at_test, 0.0)
    case_sums, control_sums = _squared_errors_by_time(grid.estimate, case_weight, test_time, grid.times)
    return grid.times, (case_sums + control_sums * at_times) / len(test_time)


# Rows of the estimate gathered at once: small enough to stay in cache while squared and summed.
_CHUNK_ROWS = 2048


def _squared_errors_by_time(
    survival: FloatArray, case_weight: FloatArray, time: FloatArray, times: FloatArray
) -> tuple[FloatArray, FloatArray]:
    """Per evaluation time: the weighted sum of S^2 over cases and the sum of (1 - S)^2 over controls.

    Samples ending between two consecutive evaluation times (block k: after
    times[k-1], at or before times[k]) are controls at the earlier times and
    cases, or censored with weight 0, at the later ones. So the rows are
    taken block by block, a chunk at a time, and each chunk's row slices are
    squared and summed whole: one read of the estimate, no masks.
    """
    block = np.searchsorted(times, time, side="left")
    # Block numbers are small integers, which a stable sort orders by counting.
    by_block = np.argsort(block.astype(np.uint16 if len(times) < 2**16 else np.int64), kind="stable")
    bounds = np.concatenate(([0], np.cumsum(np.bincount(block, minlength=len(times) + 1))))
    case_sums = np.zeros(len(times))
    control_sums = np.zeros(len(times))
    # One buffer for every chunk: a fresh array per chunk would fault its pages in each time.
    buffer = np.empty((min(_CHUNK_ROWS, len(survival)), len(times)))
    for k in range(len(times) + 1):
        for start in range(bounds[k], bounds[k + 1], _CHUNK_ROWS):
            rows = by_block[start : min(start + _CHUNK_ROWS, bounds[k + 1])]
            chunk = np.take(survival, rows, axis=0, out=buffer[: len(rows)])
            misses = np.subtract(1.0, chunk[:, :k], out=chunk[:, :k])
            control_sums[:k] += np.einsum("ij,ij->j", misses, misses)
            cases = chunk[:, k:]
            case_sums[k:] += np.einsum("i,ij,ij->j", case_weight[rows], cases, cases)
    return case_sums, control_sums


def integrated_brier_score(
    survival_train: SurvivalArray,
    survival_test: SurvivalArray,
    estimate: npt.ArrayLike,
    times: npt.ArrayLike,
) -> np.float64:
    """Brier score integrated over `times` by the trapezoidal rule, divided by the time range.

    Parameters
    ----------
    survival_train : structured ndarray, shape (n_train,)
        Training target, used to estimate the censoring distribution.
    survival_test : structured ndarray, shape (n_samples,)
        Target of the samples the estimate is for.
    estimate : array-like of float, shape (n_samples, n_times)
        Predicted probability of surviving past each time, as for
        :func:`brier_score`.
    times : array-like of float, shape (n_times,)
        Evaluation times, as for :func:`brier_score`; at least two distinct
        times are needed.

    Returns
    -------
    ibs : float

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([(True, 1.0), (False, 2.0), (True, 3.0), (False, 4.0)],
    ...              dtype=[("event", "?"), ("time", "f8")])
    >>> float(round(integrated_brier_score(y, y, [[0.2, 0.1], [0.9, 0.6], [0.8, 0.3], [0.9, 0.8]], [1.5, 3.0]), 6))
    0.038125
    """
    grid_times, scores = brier_score(survival_train, survival_test, estimate, times)
    if len(grid_times) < 2:
        raise ValueError("times needs at least two distinct values to integrate over")
    area = np.sum(np.diff(grid_times) * (scores[1:] + scores[:-1]) / 2.0)
    return np.float64(area / (grid_times[-1] - grid_times[0]))


def cumulative_dynamic_auc(
    survival_train: SurvivalArray,
    survival_test: SurvivalArray,
    estimate: npt.ArrayLike,
    times: npt.ArrayLike,
    tied_tol: float = 1e-8,
) -> tuple[FloatArray, np.float64]:
    """Cumulative/dynamic AUC: how well the estimate separates events by t from survivors past t.

    At time t the cases are the samples with an event at or before t, each
    weighted by 1 / G(T_i) (G: Kaplan-Meier estimate of the censoring
    distribution fitted on `survival_train`), and the controls are the
    samples whose time exceeds t. The AUC is the weighted share of
    case-control pairs in which the case has the higher estimate, ties
    (estimates that chain within `tied_tol` of each other) counting one half.
    A time without any case gives NaN.

    Parameters
    ----------
    survival_train : structured ndarray, shape (n_train,)
        Training target, used to estimate the censoring distribution.
    survival_test : structured ndarray, shape (n_samples,)
        Target of the samples the estimate is for.
    estimate : array-like of float, shape (n_samples, n_times) or (n_samples,)
        Risk score (higher means an earlier event): one column per time, or
        one score per sample used at every time.
    times : array-like of float, shape (n_times,)
        Evaluation times, within ``[min(test time), max(test time))``.
    tied_tol : float, default=1e-8
        Tolerance for tied estimates. Must be >= 0.

    Returns
    -------
    auc : ndarray of float, shape (n_distinct_times,)
        AUC at each distinct time, in increasing order of time.
    mean_auc : float
        The AUCs averaged with the weights of the Kaplan-Meier estimate of
        `survival_test`'s event distribution over the times.

    Raises
    ------
    ValueError
        As :func:`brier_score`, and when an event of `survival_test` lies
        after the last time of `survival_train` or where the censoring
        survival is zero.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([(True, 1.0), (False, 2.0), (True, 3.0), (False, 4.0)],
    ...              dtype=[("event", "?"), ("time", "f8")])
    >>> auc, mean_auc = cumulative_dynamic_auc(y, y, [0.9, 0.5, 0.6, 0.1], [1.5, 3.0])
    >>> print(auc, mean_auc)
    [1. 1.] 1.0
    """
    train_event, train_time = event_time_from_structured(survival_train, "survival_train")
    test_event, test_time = event_time_from_structured(survival_test, "survival_test")
    grid = _evaluation_grid(estimate, times, test_time, shared_column=True)
    tol = _tolerance(tied_tol)
    censoring = _censoring_survival(train_event, train_time)
    case_weight = np.zeros(len(test_time))
    case_weight[test_event] = 1.0 / _positive_censoring_survival(censoring, test_time[test_event])
    if grid.estimate.ndim == 1:
        scores = _auc_over_times(_TieGroups.of(grid.estimate, tol), test_time, case_weight, grid.times)
    else:
        scores = _auc_per_column(grid.estimate, tol, test_time, case_weight, grid.times)
    return scores, _mean_auc(scores, grid.times, test_event, test_time)


# ---------------------------------------------------------------- input checks


def _finite_vector(values: npt.ArrayLike, name: str) -> FloatArray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be a 1-D array of numbers")
    array = array.astype(np.float64)
    if not np.isfinite(array).all():
        raise ValueError(f"{name} contains NaN or infinite values")
    return array


def _check_not_swapped(event_time: npt.ArrayLike, event_indicator: npt.ArrayLike) -> None:
    """Refuse an indicator passed where the times belong, as a call in scikit-survival's order would.

    Booleans are never times. Times that are all 0 or 1 next to an indicator
    with other values are the two arguments swapped: taken as given, almost
    every row would count as censored and the index would be silently wrong.
    """
    time, indicator = np.asarray(event_time), np.asarray(event_indicator)
    if time.dtype.kind == "b" or (_is_zero_one(time) and not _is_zero_one(indicator)):
        raise ValueError(
            "event_time holds event indicators: concordance_index takes (event_time, event_indicator, "
            "risk_score); for scikit-survival's order (event_indicator, event_time, estimate) use "
            "concordance_index_censored"
        )


def _is_zero_one(values: npt.NDArray[Any]) -> bool:
    return bool(np.isin(values, (0, 1)).all())


def _indicator_vector(values: npt.ArrayLike) -> BoolArray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "biuf":
        raise ValueError("event_indicator must be a 1-D array of 0/1 or booleans")
    return np.asarray(array == 1, dtype=np.bool_)


def _boolean_vector(values: npt.ArrayLike, name: str) -> BoolArray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind != "b":
        raise ValueError(f"{name} must be a 1-D array of booleans, got dtype {array.dtype} and shape {array.shape}")
    return np.array(array, dtype=np.bool_)


def _same_length(**arrays: npt.NDArray[Any]) -> None:
    lengths = {name: len(array) for name, array in arrays.items()}
    if len(set(lengths.values())) > 1:
        described = ", ".join(f"{name} has {length}" for name, length in lengths.items())
        raise ValueError(f"samples differ in number: {described}")


def _tolerance(tied_tol: float) -> float:
    tol = float(tied_tol)
    if not tol >= 0.0:
        raise ValueError(f"tied_tol must be a number >= 0, got {tied_tol}")
    return tol


def _tau(tau: float) -> float:
    value = float(tau)
    if np.isnan(value):
        raise ValueError("tau must be a number, got NaN")
    return value


class _EvaluationGrid(NamedTuple):
    times: FloatArray
    """Distinct evaluation times, increasing."""
    estimate: FloatArray
    """(n_samples, len(times)), or (n_samples,) for a score shared by every time."""


def _evaluation_grid(
    estimate: npt.ArrayLike, times: npt.ArrayLike, test_time: FloatArray, shared_column: bool
) -> _EvaluationGrid:
    """Check the times and the estimate; a 1-D estimate stays 1-D only when `shared_column` allows it."""
    given = np.ravel(np.asarray(times))
    if given.size == 0 or given.dtype.kind not in "biuf" or not np.isfinite(given).all():
        raise ValueError("times must be a non-empty array of finite numbers")
    distinct, first = np.unique(given.astype(np.float64), return_index=True)
    if distinct[0] < test_time.min() or distinct[-1] >= test_time.max():
        raise ValueError(
            f"times must lie within the follow-up of survival_test, [{test_time.min()}, {test_time.max()}), "
            f"got [{distinct[0]}, {distinct[-1]}]"
        )
    values = np.asarray(estimate)
    if values.ndim not in (1, 2) or values.dtype.kind not in "biuf" or len(values) != len(test_time):
        raise ValueError(
            f"estimate must be a 1-D or 2-D array of numbers with one row per sample of survival_test "
            f"({len(test_time)}), got shape {values.shape}"
        )
    values = np.asarray(values, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError("estimate contains NaN or infinite values")
    if values.ndim == 1:
        if shared_column:
            return _EvaluationGrid(distinct, values)
        if len(distinct) > 1:
            raise ValueError(f"estimate is 1-D but there are {len(distinct)} times: give one column per time")
        return _EvaluationGrid(distinct, values[:, np.newaxis])
    return _EvaluationGrid(distinct, _columns_by_time(values, given, first, len(distinct)))


def _columns_by_time(values: FloatArray, given: npt.NDArray[Any], first: IntArray, distinct: int) -> FloatArray:
    """Reorder the estimate's columns to follow the sorted distinct times.

    Column k belongs to the k-th time as given, so unsorted times carry their
    columns along. A matrix with one column per distinct time (when `times`
    repeats a value) is taken to be in increasing time order already.
    """
    columns = values.shape[1]
    if columns == len(given):
        already_sorted = distinct == len(given) and bool(np.all(first == np.arange(distinct)))
        return values if already_sorted else values[:, first]
    if columns == distinct:
        return values
    raise ValueError(f"estimate has {columns} columns but times has {len(given)} values; give one column per time")


def _dot(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> np.float64:
    """Inner product without BLAS, whose threads can spend milliseconds synchronising on a busy machine."""
    return np.float64(np.einsum("i,i->", a.astype(np.float64, copy=False), b.astype(np.float64, copy=False)))


# ---------------------------------------------------------------- concordance


class _PairCounts(NamedTuple):
    """Comparable pairs grouped by their earlier sample, which is always an event."""

    rows: IntArray
    """Index of each event sample."""
    concordant: IntArray
    tied_risk: IntArray
    comparable: IntArray
    tied_time: int

    def score(self, weights: FloatArray) -> np.float64:
        """Weighted concordance, each event's pairs weighted by `weights` (one per row of `rows`)."""
        numerator = _dot(weights, self.concordant + 0.5 * self.tied_risk)
        return np.float64(numerator / _dot(weights, self.comparable))

    def totals(self) -> tuple[np.int64, np.int64, np.int64, np.int64]:
        """Concordant, discordant, tied-risk and tied-time pair counts, as NumPy
        integers (what scikit-survival's callers may call NumPy methods on)."""
        concordant = np.int64(self.concordant.sum())
        tied_risk = np.int64(self.tied_risk.sum())
        discordant = np.int64(self.comparable.sum()) - concordant - tied_risk
        return concordant, discordant, tied_risk, np.int64(self.tied_time)


def _count_pairs(event: BoolArray, time: FloatArray, risk: FloatArray, tied_tol: float) -> _PairCounts:
    """Count each event's comparable, concordant and tied pairs in O(n log n).

    Samples are placed in increasing time, events before censorings at equal
    times. An event is then comparable with exactly the samples placed after
    the last event at its time, so each count is a number of samples at
    positions >= some bound whose risk rank lies below some bound: a
    two-dimensional dominance count, answered for all events at once.
    """
    n = len(time)
    order = np.lexsort((~event, time))
    rows = np.flatnonzero(event)
    distinct_time, time_index = np.unique(time, return_inverse=True)
    events_at = np.bincount(time_index, weights=event, minlength=len(distinct_time)).astype(np.int64)
    samples_at = np.bincount(time_index, minlength=len(distinct_time))
    first_at = np.cumsum(samples_at) - samples_at
    # Position of the first sample the event is compared with.
    first_compared = (first_at + events_at)[time_index[rows]]

    distinct_risk, risk_rank = np.unique(risk, return_inverse=True)
    below_tied = _count_differences_below(distinct_risk, risk[rows], -tied_tol, inclusive=False)
    up_to_tied = _count_differences_below(distinct_risk, risk[rows], tied_tol, inclusive=True)
    ranks_below = np.concatenate(([0], np.cumsum(np.bincount(risk_rank, minlength=len(distinct_risk)))))
    before = _count_before_below(
        risk_rank[order].astype(np.int64),
        np.concatenate((first_compared, first_compared)),
        np.concatenate((below_tied, up_to_tied)),
    )
    concordant = ranks_below[below_tied] - before[: len(rows)]
    up_to = ranks_below[up_to_tied] - before[len(rows) :]
    tied_time = int(_dot(events_at, samples_at - events_at))
    return _PairCounts(rows, concordant, up_to - concordant, n - first_compared, tied_time)


def _count_differences_below(values: FloatArray, query: FloatArray, bound: float, inclusive: bool) -> IntArray:
    """For each query q, how many of the increasing `values` v have fl(v - q) < bound (<= if inclusive).

    The rounded difference is what decides a tie, so it is what is compared.
    fl(v - q) never decreases with v, so the count is found by a search on
    q + bound, whose rounding can put it a few values off, then corrected
    one value at a time against the exact test.
    """

    def passes(index: IntArray) -> BoolArray:
        difference = values[index] - query
        return np.asarray(difference <= bound if inclusive else difference < bound, dtype=np.bool_)

    count = np.searchsorted(values, query + bound, side="right" if inclusive else "left").astype(np.int64)
    last = len(values) - 1
    while (step := (count > 0) & ~passes(np.maximum(count - 1, 0))).any():
        count -= step
    while (step := (count <= last) & passes(np.minimum(count, last))).any():
        count += step
    return count


def _count_before_below(ranks: IntArray, limit: IntArray, bound: IntArray) -> IntArray:
    """For each query j, the number of positions p < limit[j] with ranks[p] < bound[j].

    A merge-sort tree built level by level: at level L the positions are cut
    into aligned blocks of 2**L, each block's ranks sorted, all stored as one
    sorted array of keys (block, rank). The prefix [0, limit) is the union
    of one block per set bit of `limit`, and a search in the keys counts the
    block's ranks below the bound. Each level's keys come from merging the
    previous level's sorted pairs of blocks (a stable sort of sorted runs).
    """
    shift = max(int(bound.max(initial=0)), int(ranks.max(initial=0))).bit_length()
    rank_mask = (1 << shift) - 1
    keys = (np.arange(len(ranks), dtype=np.int64) << shift) | ranks
    counts = np.zeros(len(limit), dtype=np.int64)
    level = 0
    while (1 << level) <= len(ranks):
        covers = ((limit >> level) & 1).astype(np.bool_)
        block = (limit[covers] >> level) - 1
        found = np.searchsorted(keys, (block << shift) | bound[covers])
        counts[covers] += found - (block << level)
        level += 1
        keys = np.sort(((keys >> (shift + 1)) << shift) | (keys & rank_mask), kind="stable")
    return counts


# ---------------------------------------------------------------- censoring weights


class _StepCurve(NamedTuple):
    """A right-continuous step function: `value[k]` from `time[k]` until the next time, 1 before the first."""

    time: FloatArray
    value: FloatArray


def _kaplan_meier(event: BoolArray, time: FloatArray, of_censoring: bool) -> _StepCurve:
    """Kaplan-Meier estimate of the event survival, or of the censoring survival.

    For the censoring distribution the roles swap, and events at a time are
    taken to happen before the censorings there: they leave the risk set
    first, so a time with events but no censoring does not move the curve.
    """
    distinct, index, samples_at = np.unique(time, return_inverse=True, return_counts=True)
    events_at = np.bincount(index, weights=event, minlength=len(distinct))
    at_risk = np.cumsum(samples_at[::-1])[::-1].astype(np.float64)
    if of_censoring:
        leaving = samples_at - events_at
        at_risk = at_risk - events_at
    else:
        leaving = events_at
    share = np.divide(leaving, at_risk, out=np.zeros(len(distinct)), where=leaving > 0)
    return _StepCurve(distinct, np.cumprod(1.0 - share))


def _censoring_survival(event: BoolArray, time: FloatArray) -> _StepCurve:
    return _kaplan_meier(event, time, of_censoring=True)


def _step_at(curve: _StepCurve, points: FloatArray, name: str) -> FloatArray:
    """The curve at `points`; unknown, and refused, after its last time unless it reached 0 there."""
    last = curve.time[-1]
    if curve.value[-1] > 0 and (points > last).any():
        raise ValueError(
            f"{name} has a time after the last time of survival_train ({last}), "
            f"where the censoring distribution is unknown: got {points.max()}"
        )
    index = np.searchsorted(curve.time, points, side="right") - 1
    return np.where(index >= 0, curve.value[np.maximum(index, 0)], 1.0)


def _positive_censoring_survival(curve: _StepCurve, event_times: FloatArray) -> FloatArray:
    survival = _step_at(curve, event_times, "survival_test")
    if (survival == 0).any():
        raise ValueError(
            "survival_test has an event at a time where the censoring survival estimated "
            f"from survival_train is zero (time {event_times[survival == 0].min()}); it cannot be weighted"
        )
    return survival


def _inverse_or_zero(values: FloatArray) -> FloatArray:
    return np.divide(1.0, values, out=np.zeros(len(values)), where=values > 0)


# ---------------------------------------------------------------- cumulative/dynamic AUC


class _TieGroups(NamedTuple):
    """Samples grouped by tied risk, group 0 holding the highest."""

    group: IntArray
    n_groups: int

    @classmethod
    def of(cls, risk: FloatArray, tied_tol: float) -> "_TieGroups":
        """Ties chain: in decreasing order, a score joins the previous group when within `tied_tol` of its last score."""
        order = np.argsort(risk)[::-1]
        ranked = risk[order]
        group = np.empty(len(risk), dtype=np.int64)
        group[order] = np.concatenate(([0], np.cumsum(np.abs(np.diff(ranked)) > tied_tol)))
        return cls(group, int(group[order[-1]]) + 1)


def _auc_over_times(groups: _TieGroups, time: FloatArray, case_weight: FloatArray, times: FloatArray) -> FloatArray:
    """AUC at each of the increasing `times` for one ranking, moving only the samples that end in between."""
    by_time = np.argsort(time, kind="stable")
    ended = np.searchsorted(time[by_time], times, side="right")
    cases = np.zeros(groups.n_groups)
    controls = np.bincount(groups.group, minlength=groups.n_groups).astype(np.float64)
    scores = np.empty(len(times))
    start = 0
    for k, stop in enumerate(ended):
        moved = by_time[start:stop]
        np.add.at(cases, groups.group[moved], case_weight[moved])
        np.subtract.at(controls, groups.group[moved], 1.0)
        scores[k] = _auc(cases, controls)
        start = stop
    return scores


def _auc_per_column(
    risk: FloatArray, tied_tol: float, time: FloatArray, case_weight: FloatArray, times: FloatArray
) -> FloatArray:
    """AUC at each time for its own column of scores.

    Each column is ranked starting from the previous column's order: a
    model's scores at nearby times usually rank the samples alike, and a
    stable sort of nearly sorted values takes about one pass.
    """
    order = np.arange(len(time))
    ranked_time, ranked_weight = time, case_weight
    scores = np.empty(len(times))
    # Contiguous columns: reading a column of the row-major matrix in rank order misses the cache at every element.
    for k, (at, column) in enumerate(zip(times, np.ascontiguousarray(risk.T))):
        ranked = column[order]
        # Nearly the identity, so the arrays already in rank order are reordered by almost sequential reads.
        resorted = np.argsort(ranked, kind="stable")
        order, ranked = order[resorted], ranked[resorted]
        ranked_time, ranked_weight = ranked_time[resorted], ranked_weight[resorted]
        starts = np.flatnonzero(np.concatenate(([True], np.diff(ranked) > tied_tol)))
        cases = (ranked_time <= at) * ranked_weight
        controls = (ranked_time > at).astype(np.float64)
        if len(starts) < len(ranked):
            cases, controls = np.add.reduceat(cases, starts), np.add.reduceat(controls, starts)
        scores[k] = _auc(cases[::-1], controls[::-1])
    return scores


def _auc(cases: FloatArray, controls: FloatArray) -> float:
    """Weighted share of (case, control) pairs with the case in a higher tie group, ties counting 1/2.

    `cases` and `controls` are the case weight and control count of each
    tie group, highest risk first. This equals the area under the ROC curve
    traced by lowering the threshold one tie group at a time; NaN without
    any case.
    """
    # cumsum - cases / 2: the case weight of the higher groups plus half the group's own.
    pairs = _dot(controls, np.cumsum(cases) - 0.5 * cases)
    with np.errstate(invalid="ignore", divide="ignore"):
        return float(pairs / (cases.sum() * controls.sum()))


def _mean_auc(scores: FloatArray, times: FloatArray, test_event: BoolArray, test_time: FloatArray) -> np.float64:
    """Average over the times, each AUC weighted by the drop of the test set's survival estimate there."""
    if len(times) == 1:
        return np.float64(scores[0])
    survival = _kaplan_meier(test_event, test_time, of_censoring=False)
    at_times = _step_at(survival, times, "times")
    drops = -np.diff(np.concatenate(([1.0], at_times)))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.float64(_dot(scores, drops) / (1.0 - at_times[-1]))
