"""Metrics for risk predictions on right-censored data."""

import numpy as np

__all__ = ["concordance_index"]


def concordance_index(event_time, event_indicator, risk_score) -> float:
    """Harrell's concordance index of a risk score (higher score = earlier event).

    A pair of rows is comparable when the row with the shorter time had an
    event: that row should have the higher risk. At equal times an event is
    taken to come before a censoring, since the censored row was still alive
    then, so such a pair is comparable too; two events at the same time are
    not, nor is any pair whose shorter time is censored. A comparable pair
    scores 1 when the earlier row has the higher risk, 1/2 when the risks are
    equal and 0 otherwise; the index is the mean score, 0.5 for a random
    score and 1 for a perfect one.

    Runs in O(n log n).

    Parameters
    ----------
    event_time : array-like of shape (n_samples,)
        Time of each row's event or censoring.
    event_indicator : array-like of shape (n_samples,)
        As for the fit functions: a row is an event exactly when its
        indicator equals 1 (booleans work too).
    risk_score : array-like of shape (n_samples,)
        Predicted risk: higher means an earlier event.

    Returns
    -------
    c : float
        The concordance index.

    Raises
    ------
    ValueError
        When the lengths differ, a value is not finite, or no pair is
        comparable.
    """
    time = _finite_vector(event_time, "event_time")
    risk = _finite_vector(risk_score, "risk_score")
    event = _indicator_vector(event_indicator)
    if not len(time) == len(event) == len(risk):
        raise ValueError(
            f"event_time has {len(time)} entries, event_indicator {len(event)} "
            f"and risk_score {len(risk)}; they must have the same length"
        )
    concordant, tied_risk, comparable = _count_pairs(time, event, risk)
    if comparable == 0:
        raise ValueError(
            "concordance is undefined: no pair of rows is comparable "
            "(no event happens before another row's time)"
        )
    return (concordant + 0.5 * tied_risk) / comparable


def _finite_vector(values, name: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be a 1-D array of numbers")
    array = array.astype(np.float64)
    if not np.isfinite(array).all():
        raise ValueError(f"{name} contains NaN or infinite values")
    return array


def _indicator_vector(values) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "biuf":
        raise ValueError("event_indicator must be a 1-D array of 0/1 or booleans")
    return array == 1


def _count_pairs(time: np.ndarray, event: np.ndarray, risk: np.ndarray) -> tuple[int, int, int]:
    """Concordant, risk-tied and comparable pair counts.

    Rows are visited from the latest time to the earliest. When an event is
    visited, the counter holds exactly the rows it is comparable with: every
    later time and the censorings at its own time, which is why each group of
    equal times adds its censorings before its events are scored and its
    events only after.
    """
    risk_rank = np.unique(risk, return_inverse=True)[1]
    order = np.lexsort((event, -time))
    group_starts = np.flatnonzero(np.diff(time[order], prepend=np.nan))
    seen = _RankCounter(int(risk_rank.max(initial=0)) + 1)
    concordant = tied_risk = comparable = 0
    for group in np.split(order, group_starts[1:]):
        group_events = group[event[group]]
        for row in group[~event[group]]:
            seen.add(risk_rank[row])
        for row in group_events:
            lower = seen.count_below(risk_rank[row])
            concordant += lower
            tied_risk += seen.count_below(risk_rank[row] + 1) - lower
            comparable += seen.total
        for row in group_events:
            seen.add(risk_rank[row])
    return concordant, tied_risk, comparable


class _RankCounter:
    """Counts of inserted ranks in [0, size), with O(log n) prefix counts (a Fenwick tree)."""

    def __init__(self, size: int):
        self._tree = [0] * (size + 1)
        self.total = 0

    def add(self, rank: int) -> None:
        self.total += 1
        position = int(rank) + 1
        while position < len(self._tree):
            self._tree[position] += 1
            position += position & -position

    def count_below(self, rank: int) -> int:
        """Number of inserted ranks strictly below `rank`."""
        count = 0
        position = int(rank)
        while position > 0:
            count += self._tree[position]
            position -= position & -position
        return count
