"""Step functions: the predicted survival and cumulative hazard curves."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["StepFunction"]


class StepFunction:
    """A right-continuous step function of time.

    It equals `initial` before `x[0]`, `y[i]` from `x[i]` up to `x[i + 1]`,
    and `y[-1]` from the last jump on. A forest's curves jump only at the
    training event times, so past the last one they stay flat.

    Parameters
    ----------
    x : array-like of shape (k,)
        Ascending times of the steps.
    y : array-like of shape (k,)
        Value from each time on.
    initial : float, default=0.0
        Value before the first step: 0 for a cumulative hazard, 1 for a
        survival function.

    Attributes
    ----------
    x : ndarray of shape (k,)
        The step times (read-only).
    y : ndarray of shape (k,)
        The values (read-only).
    initial : float
        The value before `x[0]`.

    Examples
    --------
    >>> from korvane import StepFunction
    >>> survival = StepFunction([2.0, 5.0], [0.8, 0.5], initial=1.0)
    >>> survival([0.0, 2.0, 4.9, 7.0])
    array([1. , 0.8, 0.8, 0.5])
    """

    def __init__(self, x: Any, y: Any, *, initial: float = 0.0) -> None:
        self.x = _read_only(x)
        self.y = _read_only(y)
        if self.x.ndim != 1 or self.x.shape != self.y.shape:
            raise ValueError(f"x and y must be 1-D of one length, got shapes {self.x.shape} and {self.y.shape}")
        if np.any(np.diff(self.x) < 0) or np.isnan(self.x).any():
            raise ValueError("x must be ascending without NaN")
        self.initial = float(initial)

    def __call__(self, t: Any) -> Any:
        """Values at time(s) `t`.

        Parameters
        ----------
        t : float or array-like
            Time(s) at which to evaluate the function; any time is allowed,
            including times before the first step and after the last.

        Returns
        -------
        values : float or ndarray
            A float for a scalar `t`, else an array of `t`'s shape.

        Raises
        ------
        ValueError
            When a time is NaN.
        """
        times = np.asarray(t, dtype=np.float64)
        if np.isnan(times).any():
            raise ValueError("t must not contain NaN")
        steps = np.searchsorted(self.x, times, side="right")
        # Prepending the initial value makes "before the first step" index 0.
        values = np.concatenate([[self.initial], self.y])[steps]
        return float(values) if values.ndim == 0 else values

    def __repr__(self) -> str:
        return f"StepFunction(x={self.x!r}, y={self.y!r}, initial={self.initial!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, StepFunction):
            return NotImplemented
        return self.initial == other.initial and np.array_equal(self.x, other.x) and np.array_equal(self.y, other.y)

    __hash__ = None  # type: ignore[assignment]


def _read_only(values: Any) -> npt.NDArray[np.float64]:
    """A read-only float64 array; one that is read-only already is shared, not
    copied, so the many curves of one prediction share their times."""
    array = np.asarray(values, dtype=np.float64)
    if array.flags.writeable:
        array = array.copy()
        array.flags.writeable = False
    return array
