"""The four simulation designs of heterogeneous treatment effects on censored outcomes.

Each design draws covariates X (p columns, each U(0, 1)), a treatment W ~ Bernoulli(e(X)),
a failure time T truncated at the horizon h, a censoring time C, and observes
Y = min(T, C) rounded to two decimals with D = 1[T <= C]. The targets per row are the
difference in restricted mean survival time up to h and the difference in survival
probability at y0 between W = 1 and W = 0.

The truth per test row is a Monte Carlo average over the noise with the row's covariates
(both arms share their noise draws, which leaves the difference far less noisy than the
arms); `exact_truth` gives the same quantities in closed form, to check it.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import numpy.typing as npt
from scipy import special, stats

Array = npt.NDArray[np.float64]
N_FEATURES = 15


def beta_2_4_density(u: Array) -> Array:
    return 20.0 * u * (1.0 - u) ** 3


def balanced_propensity(X: Array) -> Array:
    return (1.0 + beta_2_4_density(X[:, 0])) / 4.0


class Noise(NamedTuple):
    """Uniform draws that make the failure times of both arms (shape: rows x draws)."""

    failure: Array
    censoring: Array


@dataclass(frozen=True)
class Design:
    """One design: its horizon h, the time y0 of the survival target, and its model.

    `failure(X, W, u)` maps uniforms u (rows x draws) to failure times by inverse
    transform, so that both arms can share the same u; `censoring` likewise.
    """

    name: str
    horizon: float
    y0: float
    propensity: Callable[[Array], Array]
    failure: Callable[[Array, Array, Array], Array]
    censoring: Callable[[Array, Array, Array], Array]
    effect_sign: Callable[[Array], Array]
    # Exact survival P(T > t | X, W) of the untruncated failure time, per row and time.
    survival: Callable[[Array, Array, Array], Array]
    integer_times: bool = False


def _column(values: Array, draws: Array) -> Array:
    """Per-row parameters broadcast against a (rows x draws) block."""
    return values[:, None] if draws.ndim == 2 else values


# Design 1: log-normal failure time, Weibull-type censoring that depends on W.
def _design1_location(X: Array, W: Array) -> Array:
    I1 = (X[:, 0] < 0.5).astype(np.float64)
    root = np.sqrt(X[:, 1])
    return -1.85 - 0.8 * I1 + 0.7 * root + 0.2 * X[:, 2] + (0.7 - 0.4 * I1 - 0.4 * root) * W


def _design1_failure(X: Array, W: Array, u: Array) -> Array:
    return np.exp(_column(_design1_location(X, W), u) + special.ndtri(u))


def _design1_censoring(X: Array, W: Array, u: Array) -> Array:
    I1 = (X[:, 0] < 0.5).astype(np.float64)
    root = np.sqrt(X[:, 1])
    rate = np.exp(-1.75 - 0.5 * root + 0.2 * X[:, 2] + (1.15 + 0.5 * I1 - 0.3 * root) * W)
    return np.sqrt(-np.log1p(-u) / _column(rate, u))


def _design1_survival(X: Array, W: Array, t: Array) -> Array:
    with np.errstate(divide="ignore"):
        return np.asarray(special.ndtr(_column(_design1_location(X, W), t) - np.log(t)))


# Design 2: proportional hazards in sqrt(T), uniform censoring.
def _design2_rate(X: Array, W: Array) -> Array:
    return np.exp(X[:, 0] + (-0.5 + X[:, 1]) * W)


def _design2_failure(X: Array, W: Array, u: Array) -> Array:
    return (-np.log1p(-u) / _column(_design2_rate(X, W), u)) ** 2


def _design2_censoring(X: Array, W: Array, u: Array) -> Array:
    return 3.0 * u


def _design2_survival(X: Array, W: Array, t: Array) -> Array:
    return np.exp(-_column(_design2_rate(X, W), t) * np.sqrt(t))


# Designs 3 and 4: Poisson counts as times.
def _poisson(mean: Array, u: Array) -> Array:
    return np.asarray(stats.poisson.ppf(u, _column(mean, u)), dtype=np.float64)


def _design3_mean(X: Array, W: Array) -> Array:
    return X[:, 1] ** 2 + X[:, 2] + 6.0 + 2.0 * (np.sqrt(X[:, 0]) - 0.3) * W


def _design4_mean(X: Array, W: Array) -> Array:
    return X[:, 1] + X[:, 2] + np.maximum(0.0, X[:, 0] - 0.3) * W


def _poisson_survival(mean: Callable[[Array, Array], Array]) -> Callable[[Array, Array, Array], Array]:
    def survival(X: Array, W: Array, t: Array) -> Array:
        return np.asarray(stats.poisson.sf(np.floor(t), _column(mean(X, W), t)))

    return survival


def _softplus_censoring(offset: float) -> Callable[[Array, Array, Array], Array]:
    def censoring(X: Array, W: Array, u: Array) -> Array:
        return _poisson(offset + np.logaddexp(0.0, X[:, 2]), u)

    return censoring


def _confounded_propensity(X: Array) -> Array:
    return 1.0 / ((1.0 + np.exp(-X[:, 0])) * (1.0 + np.exp(-X[:, 1])))


DESIGNS: dict[str, Design] = {
    "1": Design(
        "1", 1.5, 0.8, balanced_propensity, _design1_failure, _design1_censoring,
        lambda X: np.sign(0.7 - 0.4 * (X[:, 0] < 0.5) - 0.4 * np.sqrt(X[:, 1])), _design1_survival,
    ),
    "2": Design(
        "2", 2.0, 1.2, balanced_propensity, _design2_failure, _design2_censoring,
        lambda X: -np.sign(X[:, 1] - 0.5), _design2_survival,
    ),
    "3": Design(
        "3", 15.0, 10.0, balanced_propensity, lambda X, W, u: _poisson(_design3_mean(X, W), u),
        _softplus_censoring(12.0), lambda X: np.sign(np.sqrt(X[:, 0]) - 0.3),
        _poisson_survival(_design3_mean), integer_times=True,
    ),
    "4": Design(
        "4", 3.0, 2.0, _confounded_propensity, lambda X, W, u: _poisson(_design4_mean(X, W), u),
        _softplus_censoring(1.0), lambda X: np.sign(np.maximum(0.0, X[:, 0] - 0.3)),
        _poisson_survival(_design4_mean), integer_times=True,
    ),
}


class Sample(NamedTuple):
    X: Array
    treatment: Array
    time: Array
    event: npt.NDArray[np.bool_]


def covariates(n: int, rng: np.random.Generator, rho: float = 0.0, p: int = N_FEATURES) -> Array:
    """U(0, 1) columns; with rho > 0, Phi of a Gaussian with Toeplitz correlation rho^|j - k|."""
    if rho == 0.0:
        return rng.random((n, p))
    lags = np.abs(np.subtract.outer(np.arange(p), np.arange(p)))
    Z = rng.multivariate_normal(np.zeros(p), rho**lags, size=n, method="cholesky")
    return np.asarray(special.ndtr(Z))


def simulate(design: Design, n: int, rng: np.random.Generator, rho: float = 0.0) -> Sample:
    """n training rows of the design: failure times truncated at h, then censored, rounded to 0.01."""
    X = covariates(n, rng, rho)
    W = (rng.random(n) < design.propensity(X)).astype(np.float64)
    failure = np.minimum(design.failure(X, W, rng.random(n)), design.horizon)
    censoring = design.censoring(X, W, rng.random(n))
    time = np.round(np.minimum(failure, censoring), 2)
    return Sample(np.asfortranarray(X), W, time, failure <= censoring)


class Truth(NamedTuple):
    rmst: Array
    survival: Array


def monte_carlo_truth(
    design: Design, X: Array, rng: np.random.Generator, draws: int = 100_000, block_values: int = 1 << 23
) -> Truth:
    """Both targets per row of X, averaging `draws` noise draws that the two arms share."""
    rmst, survival = np.empty(len(X)), np.empty(len(X))
    rows_per_block = max(1, block_values // draws)
    for start in range(0, len(X), rows_per_block):
        block = slice(start, start + rows_per_block)
        u = rng.random((len(X[block]), draws))
        arms = [design.failure(X[block], np.full(len(X[block]), w), u) for w in (1.0, 0.0)]
        rmst[block] = np.mean(np.minimum(arms[0], design.horizon) - np.minimum(arms[1], design.horizon), axis=1)
        survival[block] = np.mean((arms[0] > design.y0).astype(np.float64) - (arms[1] > design.y0), axis=1)
    return Truth(rmst, survival)


def exact_truth(design: Design, X: Array, nodes: int = 4001) -> Truth:
    """Both targets in closed form: P(T > y0) per arm, and the area under P(T > t) up to h
    (a sum over the integer steps for Poisson times, Simpson's rule otherwise)."""
    arms = [np.full(len(X), w) for w in (1.0, 0.0)]
    survival = design.survival(X, arms[0], np.array(design.y0)) - design.survival(X, arms[1], np.array(design.y0))
    if design.integer_times:
        grid = np.arange(0.0, design.horizon)
        areas = [design.survival(X, W, grid[None, :].repeat(len(X), 0)).sum(axis=1) for W in arms]
    else:
        grid = np.linspace(0.0, design.horizon, nodes)
        from scipy.integrate import simpson

        areas = [simpson(design.survival(X, W, grid[None, :].repeat(len(X), 0)), x=grid, axis=1) for W in arms]
    return Truth(areas[0] - areas[1], np.asarray(survival, dtype=np.float64))
