"""Nuisance estimates and doubly robust scores of the causal survival forest.

The effect forest splits on, and averages, one estimating equation per row,
``numerator_i - tau * denominator_i``. Its terms come from nuisance forests
fitted here, each answering for a training row only with the trees that did
not draw that row (out of bag), so no row's score leans on its own outcome:

- the survival function of the event given (X, W), from a survival forest;
- the survival function of the censoring given (X, W), from a survival
  forest whose events are the censorings;
- the propensity e(x) = P(W = 1 | X = x), from a regression forest.

The outcome is a functional of the failure time truncated at a horizon h:
``min(T, h)`` (restricted mean survival time) or ``1{T > h}`` (survival
probability at h). Censoring is undone by the augmented inverse-probability-
of-censoring weighting (AIPCW) of that outcome.
"""

from __future__ import annotations

from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from korvane.effects import RegressionForest
from korvane.ensemble import RandomSurvivalForest
from korvane.surv import Surv

Float64Array = npt.NDArray[np.float64]
Target = Literal["RMST", "survival.probability"]
TARGETS: tuple[Target, ...] = ("RMST", "survival.probability")

# The (rows, grid times) curves are filled this many values at a time (32 MiB).
_BLOCK_VALUES = 1 << 22
# The scores hold a few (rows, grid times) arrays at once; past this many values
# each (1 GiB), a fit is refused rather than left to exhaust memory.
_MAX_GRID_VALUES = 1 << 27


class Horizon(NamedTuple):
    """The truncation of one target.

    `end` is the time from which the outcome is known: for the survival
    probability at y0 it is the next double above y0, so that ``T >= end``
    means ``T > y0`` even when failure times are tied at y0 (integer times).
    """

    end: float
    restricted_mean: bool

    @classmethod
    def of(cls, target: Target, horizon: float) -> Horizon:
        if target == "RMST":
            return cls(float(horizon), True)
        return cls(float(np.nextafter(horizon, np.inf)), False)


class Scores(NamedTuple):
    """The estimating equation's terms per training row, and the nuisances behind them."""

    numerator: Float64Array
    denominator: Float64Array
    propensity: Float64Array
    mean_outcome: Float64Array
    pseudo_outcome: Float64Array


class NuisanceSettings(NamedTuple):
    """How the nuisance forests are grown; `random_state` seeds each of them differently."""

    n_estimators: int = 200
    min_samples_leaf: int = 15
    random_state: int = 0
    n_jobs: int | None = None

    def seed(self, forest: int) -> int:
        """A 32-bit seed per nuisance forest (0 event, 1 censoring, 2 propensity)."""
        return int(np.random.SeedSequence(self.random_state).generate_state(3)[forest])


def observed_outcome(time: Float64Array, horizon: Horizon) -> Float64Array:
    """The outcome of a failure time: ``min(T, h)``, or ``1{T > y0}``."""
    if horizon.restricted_mean:
        return np.minimum(time, horizon.end)
    return (time >= horizon.end).astype(np.float64)


def time_grid(time: Float64Array, horizon: Horizon) -> Float64Array:
    """0 and every observed time before the horizon.

    The event and censoring curves fitted on these rows jump only at their
    times, so the curves are exact step functions on this grid.
    """
    return np.unique(np.concatenate(([0.0], time[time < horizon.end])))


def restricted_mean(survival: Float64Array, grid: Float64Array, horizon: Horizon) -> Float64Array:
    """E[outcome] per row from its survival curve on `grid`: the area under S up to h, or S(h-)."""
    if not horizon.restricted_mean:
        return np.asarray(survival[:, -1], dtype=np.float64)
    return np.asarray(survival @ np.diff(np.append(grid, horizon.end)), dtype=np.float64)


def outcome_given_alive(survival: Float64Array, grid: Float64Array, horizon: Horizon) -> Float64Array:
    """E[outcome | T > s] at every grid time s, per row.

    ``s + (area under S from s to h) / S(s)`` for the restricted mean,
    ``S(h-) / S(s)`` for the survival probability. A row whose curve reached
    0 answers with the outcome of a failure at s.
    """
    alive = np.maximum(survival, np.finfo(np.float64).tiny)
    if horizon.restricted_mean:
        pieces = survival * np.diff(np.append(grid, horizon.end))
        tail = np.cumsum(pieces[:, ::-1], axis=1)[:, ::-1]
        given = grid + tail / alive
        return np.where(survival > 0.0, given, grid)
    return np.where(survival > 0.0, survival[:, -1:] / alive, 0.0)


def aipcw(
    complete_value: Float64Array,
    alive_value: Float64Array,
    censoring_survival: Float64Array,
    time: Float64Array,
    event: npt.NDArray[np.bool_],
    grid: Float64Array,
    horizon: Horizon,
) -> Float64Array:
    """Augmented inverse-probability-of-censoring weighting of a per-row function of T.

    ``D f(Y) / K(Y-) + (1 - D) E[f | T > Y] / K(Y) - sum_{u} dL(u) E[f | T > u] / K(u)``
    with the sum over the censoring times at which the row was at risk of
    being censored (before Y, and at Y for a censored row), truncated at h
    (a row observed until h counts as complete). K is the censoring survival
    function on `grid` and ``dL(u) = 1 - K(u) / K(u-)`` its hazard: with the
    hazard taken from K itself, the weights of a constant telescope to that
    constant exactly, so a function that does not depend on T passes through
    unchanged whatever the censoring estimate.

    Parameters
    ----------
    complete_value : ndarray of shape (n,)
        f(Y) for a row whose truncated outcome is observed.
    alive_value : ndarray of shape (n, len(grid))
        E[f(T) | T > s] at each grid time s.
    censoring_survival : ndarray of shape (n, len(grid))
        K(s) = P(C > s | X, W) at each grid time.
    time, event : ndarray of shape (n,)
        Observed times and event indicators.
    grid : ndarray
        The times of `time_grid`.
    horizon : Horizon
        Truncation of the outcome.

    Returns
    -------
    transformed : ndarray of shape (n,)
    """
    n_grid = len(grid)
    complete = is_complete(time, event, horizon)
    before = _left_limits(censoring_survival)
    hazard = 1.0 - censoring_survival / before[:, :-1]
    integral = np.concatenate(
        (np.zeros((len(time), 1)), np.cumsum(hazard * alive_value / censoring_survival, axis=1)), axis=1
    )
    position = _grid_position(time, grid, horizon)
    stop = np.where(complete, position, position + 1)
    rows = np.arange(len(time))
    censored_at = np.minimum(position, n_grid - 1)
    observed = np.where(
        complete,
        complete_value / before[rows, position],
        alive_value[rows, censored_at] / censoring_survival[rows, censored_at],
    )
    return np.asarray(observed - integral[rows, stop], dtype=np.float64)


def is_complete(time: Float64Array, event: npt.NDArray[np.bool_], horizon: Horizon) -> npt.NDArray[np.bool_]:
    """Rows whose truncated outcome is observed: an event, or followed up to the horizon."""
    return np.asarray(event | (time >= horizon.end))


def _left_limits(survival: Float64Array) -> Float64Array:
    """Column k + 1 is the curve at grid time k; column k its value just before it (1 before 0)."""
    return np.concatenate((np.ones((len(survival), 1)), survival), axis=1)


def _grid_position(time: Float64Array, grid: Float64Array, horizon: Horizon) -> npt.NDArray[np.intp]:
    """Each row's time as a grid index; len(grid) for a row followed up to the horizon."""
    return np.where(time < horizon.end, np.searchsorted(grid, time), len(grid))


def inverse_censoring_weights(
    censoring_survival: Float64Array,
    time: Float64Array,
    event: npt.NDArray[np.bool_],
    grid: Float64Array,
    horizon: Horizon,
) -> Float64Array:
    """1 / K(Y-) for the complete rows, 0 for the rows censored before the horizon."""
    before = _left_limits(censoring_survival)[np.arange(len(time)), _grid_position(time, grid, horizon)]
    return np.where(is_complete(time, event, horizon), 1.0 / before, 0.0)


def survival_on_grid(forest: Any, X: Float64Array, grid: Float64Array, n_jobs: int | None) -> Float64Array:
    """Out-of-bag survival of every training row at the grid times (rows of `X` may differ from
    the training covariates, e.g. with the treatment column flipped).

    A row that every tree drew has no out-of-bag answer and takes the whole forest's.
    """
    survival = np.empty((X.shape[0], len(grid)))
    step = max(1, _BLOCK_VALUES // max(1, X.shape[0]))
    model = forest._model
    for start in range(0, len(grid), step):
        times = np.ascontiguousarray(grid[start : start + step])
        hazard = np.asarray(model._oob_cumulative_hazard(X, times, n_threads=n_jobs))
        unseen = ~np.isfinite(hazard[:, 0])
        if unseen.any():
            hazard[unseen] = np.asarray(model.predict_cumulative_hazard(np.asfortranarray(X[unseen]), times))
        survival[:, start : start + step] = np.exp(-hazard)
    return survival


def _survival_forest(
    XW: Float64Array, event: npt.NDArray[np.bool_], time: Float64Array, settings: NuisanceSettings, seed: int
) -> RandomSurvivalForest:
    # With very few covariates, sqrt(p) of them per node would keep the treatment
    # column out of most splits; then every node draws all of them.
    forest = RandomSurvivalForest(
        settings.n_estimators,
        min_samples_leaf=settings.min_samples_leaf,
        max_features=None if XW.shape[1] < 4 else "sqrt",
        random_state=seed,
        n_jobs=settings.n_jobs,
    )
    return forest.fit(XW, Surv.from_arrays(event, time))


def with_treatment(X: Float64Array, treatment: Float64Array | float) -> Float64Array:
    """Covariates with the treatment as a last column, in the column order the core reads fastest."""
    XW = np.empty((X.shape[0], X.shape[1] + 1), order="F")
    XW[:, :-1] = X
    XW[:, -1] = treatment
    return XW


def censoring_survival(
    XW: Float64Array,
    event: npt.NDArray[np.bool_],
    time: Float64Array,
    grid: Float64Array,
    horizon: Horizon,
    settings: NuisanceSettings,
) -> Float64Array:
    """K(s | X, W) at the grid times, out of bag; 1 when no row is censored before the horizon."""
    censored = ~event & (time < horizon.end)
    if not censored.any():
        return np.ones((len(time), len(grid)))
    forest = _survival_forest(XW, ~event, time, settings, settings.seed(1))
    return survival_on_grid(forest, XW, grid, settings.n_jobs)


def propensity(X: Float64Array, treatment: Float64Array, settings: NuisanceSettings) -> Float64Array:
    """Out-of-bag estimate of e(x) = P(W = 1 | X = x) at the training rows, by a regression forest."""
    # Not honest: out of bag, a row's treatment is already kept out of its own estimate,
    # and the score needs an accurate e(x) more than one with intervals.
    forest = RegressionForest(
        settings.n_estimators, honesty=False, random_state=settings.seed(2), n_jobs=settings.n_jobs
    )
    oob: Float64Array = forest.fit(X, treatment).oob_prediction_
    # A row that every tree drew has no out-of-bag answer; the forest's own stands in.
    unseen = ~np.isfinite(oob)
    if unseen.any():
        oob[unseen] = forest.predict(X[unseen])
    return oob


def causal_survival_scores(
    X: Float64Array,
    time: Float64Array,
    event: npt.NDArray[np.bool_],
    treatment: Float64Array,
    horizon: Horizon,
    settings: NuisanceSettings = NuisanceSettings(),
    known_propensity: Float64Array | None = None,
) -> Scores:
    """The doubly robust score's numerator and denominator per training row.

    With mu(x, w) = E[y | X = x, W = w] from the event forest,
    m(x) = e(x) mu(x, 1) + (1 - e(x)) mu(x, 0), and Gamma the AIPCW transform
    of the outcome y (its conditional expectations given survival from the
    event forest), the score of tau is
    ``(W - e)(Gamma - m) - tau (W - e)^2``. The AIPCW transform of a constant
    is that constant, so the denominator's own transform is ``(W - e)^2``.

    Parameters
    ----------
    X : ndarray of shape (n, p)
        Covariates.
    time, event : ndarray of shape (n,)
        Observed times (>= 0) and event indicators.
    treatment : ndarray of shape (n,)
        0/1 treatment.
    horizon : Horizon
        The target's truncation.
    settings : NuisanceSettings
        Size and seed of the nuisance forests.
    known_propensity : ndarray of shape (n,), optional
        e(x) at the training rows, when known; estimated otherwise.

    Returns
    -------
    scores : Scores
    """
    grid = time_grid(time, horizon)
    if len(time) * len(grid) > _MAX_GRID_VALUES:
        raise ValueError(
            f"y has {len(grid)} distinct times before the horizon for {len(time)} rows, more than the "
            f"scores' curves hold ({_MAX_GRID_VALUES} values each): round the times to a coarser unit"
        )
    XW = with_treatment(X, treatment)
    event_forest = _survival_forest(XW, event, time, settings, settings.seed(0))
    arm_means = [
        restricted_mean(survival_on_grid(event_forest, with_treatment(X, arm), grid, settings.n_jobs), grid, horizon)
        for arm in (0.0, 1.0)
    ]
    e = propensity(X, treatment, settings) if known_propensity is None else known_propensity
    m = e * arm_means[1] + (1.0 - e) * arm_means[0]
    survival = survival_on_grid(event_forest, XW, grid, settings.n_jobs)
    censoring = censoring_survival(XW, event, time, grid, horizon, settings)
    gamma = aipcw(
        observed_outcome(time, horizon),
        outcome_given_alive(survival, grid, horizon),
        censoring,
        time,
        event,
        grid,
        horizon,
    )
    centred = treatment - e
    return Scores(centred * (gamma - m), centred**2, e, m, gamma)
