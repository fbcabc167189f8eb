"""Drawing predicted curves with matplotlib (an optional dependency)."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from korvane.functions import StepFunction

__all__ = ["plot_step_functions"]


def plot_step_functions(
    functions: Iterable[StepFunction],
    *,
    ax: Any = None,
    labels: Sequence[str] | None = None,
    **step_kwargs: Any,
) -> Any:
    """Draw step functions, such as predicted survival curves, as steps from time 0.

    Parameters
    ----------
    functions : iterable of StepFunction
        What `predict_survival_function` or
        `predict_cumulative_hazard_function` return.
    ax : matplotlib.axes.Axes, optional
        Where to draw; the current axes of `matplotlib.pyplot` when omitted.
    labels : sequence of str, optional
        A legend label per function.
    **step_kwargs
        Passed on to `Axes.step` for every curve (colour, line width, ...).

    Returns
    -------
    ax : matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ImportError
        When matplotlib is not installed, saying how to install it.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> from korvane import StepFunction
    >>> from korvane.plotting import plot_step_functions
    >>> ax = plot_step_functions([StepFunction([1.0, 3.0], [0.7, 0.2], initial=1.0)], labels=["a"])
    >>> len(ax.lines)
    1
    """
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError as error:
            raise ImportError("plotting needs matplotlib: python -m pip install matplotlib") from error
        ax = plt.gca()
    curves = list(functions)
    if labels is not None and len(labels) != len(curves):
        raise ValueError(f"labels has {len(labels)} entries for {len(curves)} functions")
    for index, curve in enumerate(curves):
        times = np.concatenate([[0.0], curve.x])
        values = np.concatenate([[curve.initial], curve.y])
        label = None if labels is None else labels[index]
        ax.step(times, values, where="post", label=label, **step_kwargs)
    if labels is not None:
        ax.legend()
    return ax
