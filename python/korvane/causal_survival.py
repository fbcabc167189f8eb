"""The causal survival forest: per-row effects of a treatment on a censored outcome."""

from __future__ import annotations

import numbers
from statistics import NormalDist
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.special import log_ndtr  # type: ignore[import-untyped]
from sklearn.base import BaseEstimator
from sklearn.utils.validation import check_is_fitted

from korvane import _korvane_core as core
from korvane._causal_survival_scores import TARGETS, Horizon, NuisanceSettings, causal_survival_scores
from korvane._estimator import check_honesty_fraction, check_int, resolve_max_features, seed_from
from korvane._validation import check_features, check_survival_target

__all__ = ["CausalSurvivalForest"]

Float64Array = npt.NDArray[np.float64]
# Queries are answered for blocks of rows so that the (rows, trees) leaf means
# stay near this many doubles (32 MiB).
_BLOCK_VALUES = 1 << 22


class CausalSurvivalForest(BaseEstimator):  # type: ignore[misc]
    """Heterogeneous effects of a binary treatment on a right-censored outcome.

    The effect at x is ``E[y(T(1)) - y(T(0)) | X = x]`` for the failure time T
    truncated at `horizon`, with y the restricted mean ``min(T, h)``
    (``target="RMST"``) or the survival indicator ``1{T > h}``
    (``target="survival.probability"``). Each training row contributes an
    estimating equation ``numerator_i - tau * denominator_i``, the doubly
    robust censoring-weighted (AIPCW) score built from out-of-bag nuisance
    forests: survival forests of the event and of the censoring given (X, W),
    and a regression forest of the propensity e(x). The effect forest splits
    each node on the gradient of that equation (the ratio relabeling) and
    answers with the forest-weighted ratio
    ``sum_i w_i(x) numerator_i / sum_i w_i(x) denominator_i``. Its trees are
    honest and grown on half-samples shared by groups of `ci_group_size` trees,
    which give the variance of each estimate (bootstrap of little bags).

    Parameters
    ----------
    target : {"RMST", "survival.probability"}, default="RMST"
        The difference in restricted mean survival time up to `horizon`, or in
        the probability of surviving past `horizon`.
    horizon : float
        The truncation time h (> 0); required.
    n_estimators : int, default=500
        Trees of the effect forest, a multiple of `ci_group_size`.
    min_samples_leaf : int, default=5
        Fewest estimation rows a leaf may hold.
    max_features : {"sqrt", "log2"}, int, float or None, default=None
        Covariates drawn at each split, as in `RandomSurvivalForest`; None
        draws all of them.
    sample_fraction : float, default=0.5
        Share of the rows each tree draws (without replacement); at most 0.5
        when `ci_group_size` is above 1, since groups share half-samples.
    honesty_fraction : float, default=0.5
        Share of a tree's rows that choose its splits; the rest estimate.
    ci_group_size : int, default=2
        Trees per half-sample; 1 grows no groups and gives no intervals.
    nuisance_estimators : int, default=200
        Trees of each nuisance forest.
    n_jobs : int, default=None
        Threads: None = the process default, -1 = all cores. Never changes a
        result.
    random_state : int, RandomState, Generator or None, default=None
        Source of the seeds of every forest.

    Attributes
    ----------
    n_features_in_ : int
        Covariates seen in `fit`.
    propensity_ : ndarray of shape (n_samples,)
        Out-of-bag estimates of e(x) at the training rows.
    numerator_, denominator_ : ndarray of shape (n_samples,)
        The training rows' estimating-equation terms.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import CausalSurvivalForest, Surv
    >>> rng = np.random.default_rng(0)
    >>> X = rng.random((400, 3))
    >>> W = rng.integers(0, 2, 400)
    >>> T = rng.exponential(1.0 / np.exp(X[:, 0] - W * X[:, 1]))
    >>> C = rng.exponential(3.0, 400)
    >>> y = Surv.from_arrays(T <= C, np.minimum(T, C))
    >>> forest = CausalSurvivalForest(horizon=1.0, n_estimators=100, random_state=0)
    >>> estimate, lower, upper = forest.fit(X, y, W).predict(X[:2], interval=True)
    >>> estimate.shape
    (2,)
    """

    def __init__(
        self,
        target: str = "RMST",
        horizon: float | None = None,
        n_estimators: int = 500,
        *,
        min_samples_leaf: int = 5,
        max_features: str | int | float | None = None,
        sample_fraction: float = 0.5,
        honesty_fraction: float = 0.5,
        ci_group_size: int = 2,
        nuisance_estimators: int = 200,
        n_jobs: int | None = None,
        random_state: Any = None,
    ) -> None:
        self.target = target
        self.horizon = horizon
        self.n_estimators = n_estimators
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.sample_fraction = sample_fraction
        self.honesty_fraction = honesty_fraction
        self.ci_group_size = ci_group_size
        self.nuisance_estimators = nuisance_estimators
        self.n_jobs = n_jobs
        self.random_state = random_state

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        return tags

    def fit(self, X: Any, y: Any, treatment: Any) -> CausalSurvivalForest:
        """Estimate the nuisances and grow the effect forest.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Numeric covariates, finite.
        y : structured array of shape (n_samples,)
            The survival target: an event field and a time field (>= 0), as
            `korvane.Surv.from_arrays(event, time)` makes it.
        treatment : array-like of shape (n_samples,)
            0/1 (or False/True) treatment; both arms must occur.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        horizon, settings = self._checked_settings()
        X_checked = check_features(self, X, reset=True, order="F")
        event, time = check_survival_target(y)
        W = _treatment(treatment, X_checked.shape[0])
        if len(time) != X_checked.shape[0]:
            raise ValueError(f"X has {X_checked.shape[0]} rows but y has {len(time)}")
        seed = seed_from(self.random_state)
        nuisance = NuisanceSettings(settings["nuisance_estimators"], 15, seed % 2**32, settings["n_threads"])
        scores = causal_survival_scores(X_checked, time, event.astype(bool), W, horizon, nuisance)
        self.propensity_, self.numerator_, self.denominator_ = scores.propensity, scores.numerator, scores.denominator
        self._model = core._grow_ratio_forest(
            X_checked,
            scores.numerator,
            scores.denominator,
            n_trees=settings["n_trees"],
            min_samples_leaf=settings["min_samples_leaf"],
            max_features=resolve_max_features(self.max_features, X_checked.shape[1]),
            bootstrap=False,
            subsample_fraction=settings["sample_fraction"],
            honesty=True,
            honesty_fraction=settings["honesty_fraction"],
            ci_group_size=settings["ci_group_size"],
            seed=seed,
            n_threads=settings["n_threads"],
        )
        self._terms = np.column_stack((scores.numerator, scores.denominator))
        return self

    def _checked_settings(self) -> tuple[Horizon, dict[str, Any]]:
        if self.target not in TARGETS:
            raise ValueError(f"target must be one of {', '.join(map(repr, TARGETS))}, got {self.target!r}")
        horizon = self.horizon
        if not isinstance(horizon, numbers.Real) or isinstance(horizon, bool) or not 0.0 < float(horizon) < np.inf:
            raise ValueError(f"horizon must be a finite time > 0, got {horizon!r}")
        group = check_int(self.ci_group_size, "ci_group_size", 1)
        trees = check_int(self.n_estimators, "n_estimators", group)
        if trees % group:
            raise ValueError(f"n_estimators={trees} must be a multiple of ci_group_size={group}")
        fraction = self.sample_fraction
        limit = 0.5 if group > 1 else 1.0
        if not isinstance(fraction, numbers.Real) or isinstance(fraction, bool) or not 0.0 < fraction <= limit:
            raise ValueError(f"sample_fraction must lie in (0, {limit}] with ci_group_size={group}, got {fraction!r}")
        return Horizon.of(self.target, float(horizon)), {
            "n_trees": trees,
            "ci_group_size": group,
            "sample_fraction": float(fraction),
            "min_samples_leaf": check_int(self.min_samples_leaf, "min_samples_leaf", 1),
            "honesty_fraction": check_honesty_fraction(self.honesty_fraction),
            "nuisance_estimators": check_int(self.nuisance_estimators, "nuisance_estimators", 1),
            "n_threads": _n_threads(self.n_jobs),
        }

    def predict(self, X: Any, interval: bool = False, alpha: float = 0.05) -> Any:
        """The estimated effect at each row of `X`, with intervals on request.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Covariates.
        interval : bool, default=False
            Also return the bounds of a ``1 - alpha`` confidence interval
            (normal, with the little-bags variance); needs ``ci_group_size > 1``.
        alpha : float, default=0.05
            Level of the intervals, in (0, 1).

        Returns
        -------
        estimate : ndarray of shape (n_queries,)
            Returned alone without `interval`.
        lower, upper : ndarray of shape (n_queries,)
            With `interval`, ``(estimate, lower, upper)``.
        """
        check_is_fitted(self)
        if not isinstance(interval, (bool, np.bool_)):
            raise ValueError(f"interval must be True or False, got {interval!r}")
        if interval and not (isinstance(alpha, numbers.Real) and 0.0 < float(alpha) < 1.0):
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        if interval and self.ci_group_size < 2:
            raise ValueError("intervals need ci_group_size of 2 or more at fit")
        estimate, variance = self._estimate(check_features(self, X, reset=False, order="F"), bool(interval))
        if not interval:
            return estimate
        half_width = NormalDist().inv_cdf(1.0 - float(alpha) / 2.0) * np.sqrt(variance)
        return estimate, estimate - half_width, estimate + half_width

    def predict_variance(self, X: Any) -> Float64Array:
        """The little-bags variance of each estimate of `predict` (needs ``ci_group_size > 1``).

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Covariates.

        Returns
        -------
        variance : ndarray of shape (n_queries,)
        """
        check_is_fitted(self)
        if self.ci_group_size < 2:
            raise ValueError("variances need ci_group_size of 2 or more at fit")
        return self._estimate(check_features(self, X, reset=False, order="F"), True)[1]

    def _estimate(self, X: Float64Array, with_variance: bool) -> tuple[Float64Array, Float64Array]:
        estimate, variance = np.empty(len(X)), np.empty(len(X))
        group_size = self.ci_group_size if with_variance else 0
        step = max(1, _BLOCK_VALUES // (2 * int(self._model.n_trees)))
        for start in range(0, len(X), step):
            block = slice(start, start + step)
            # Each tree's mean of the terms over the estimation rows in the query's leaf.
            means = np.asarray(
                self._model._tree_weighted_sums(
                    np.asfortranarray(X[block]), self._terms, n_threads=_n_threads(self.n_jobs)
                )
            )
            estimate[block], variance[block] = _ratio_and_variance(means[:, :, 0], means[:, :, 1], group_size)
        return estimate, variance


def _ratio_and_variance(
    numerator: Float64Array, denominator: Float64Array, group_size: int
) -> tuple[Float64Array, Float64Array]:
    """The forest's ratio estimate per query row from its trees' leaf means (n_queries,
    n_trees), and for group_size > 1 its bootstrap-of-little-bags variance by the delta
    method: the spread of the little bags' means of each tree's linearised term, less the
    part of it that comes from a bag holding only `group_size` trees."""
    mean_denominator = denominator.mean(axis=1)
    estimate = numerator.mean(axis=1) / mean_denominator
    if group_size < 2:
        return estimate, np.full_like(estimate, np.nan)
    term = (numerator - estimate[:, None] * denominator) / mean_denominator[:, None]
    bags = term.reshape(len(term), -1, group_size)
    bag_mean = bags.mean(axis=2)
    between = bag_mean.var(axis=1)
    within = bags.var(axis=2, ddof=1).mean(axis=1)
    return estimate, _positive_part(between - within / group_size, between, within / group_size, bags.shape[1])


def _positive_part(difference: Float64Array, between: Float64Array, noise: Float64Array, n_bags: int) -> Float64Array:
    """The mean of a variance known to be >= 0 given its unbiased but noisy estimate.

    The estimate is taken as normal around the true variance with the standard error of
    a variance over `n_bags` bags; the mean of the true variance truncated to [0, inf)
    then stays positive where clipping at 0 would claim an exact estimate, and equals
    the difference where that is many standard errors above 0.
    """
    scale = np.sqrt(2.0 / max(n_bags - 1, 1)) * np.maximum(between, noise)
    z = np.divide(difference, scale, out=np.zeros_like(difference), where=scale > 0)
    mills = np.exp(-0.5 * z**2 - 0.5 * np.log(2.0 * np.pi) - log_ndtr(z))
    return np.asarray(np.where(scale > 0, difference + scale * mills, 0.0), dtype=np.float64)


def _treatment(values: Any, n_rows: int) -> Float64Array:
    W = np.asarray(values)
    if W.ndim != 1 or W.shape[0] != n_rows:
        raise ValueError(f"treatment must be a vector of the {n_rows} rows of X, got shape {W.shape}")
    if W.dtype.kind not in "biuf" or not np.isin(W, (0, 1)).all():
        raise ValueError("treatment must hold only 0 and 1 (or False and True)")
    if W.min() == W.max():
        raise ValueError("treatment must hold both arms: every row has the same treatment")
    return W.astype(np.float64)


def _n_threads(n_jobs: Any) -> int | None:
    from korvane.ensemble import _n_threads as threads

    return threads(n_jobs)
