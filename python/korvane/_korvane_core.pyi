from collections.abc import Callable
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "version",
    "fit_log_rank_tree",
    "fit_log_rank_forest",
    "fit_gradient_forest",
    "LogRankSurvivalTree",
    "LogRankSurvivalForest",
    "GradientForest",
]

_Float64Array = npt.NDArray[np.float64]
_UInt8Array = npt.NDArray[np.uint8]
_Flag = bool | np.bool_
_Fraction = SupportsFloat | SupportsIndex

class PanicException(BaseException):
    """An internal consistency check of the core failed."""

def version() -> str:
    """The version of korvane, as its package metadata gives it."""

def fit_log_rank_tree(
    X: _Float64Array,
    event_time: _Float64Array,
    event_indicator: _UInt8Array,
    *,
    min_samples_leaf: SupportsIndex = 15,
    max_depth: SupportsIndex | None = None,
    max_features: SupportsIndex | str | None = None,
    honesty: _Flag = False,
    honesty_fraction: _Fraction = 0.5,
    seed: SupportsIndex | None = None,
) -> LogRankSurvivalTree:
    """Fit a single log-rank survival tree."""

def fit_log_rank_forest(
    X: _Float64Array,
    event_time: _Float64Array,
    event_indicator: _UInt8Array,
    *,
    n_trees: SupportsIndex = 100,
    min_samples_leaf: SupportsIndex = 15,
    max_depth: SupportsIndex | None = None,
    max_features: SupportsIndex | str | None = None,
    bootstrap: _Flag = True,
    subsample_fraction: _Fraction = 1.0,
    honesty: _Flag = False,
    honesty_fraction: _Fraction = 0.5,
    seed: SupportsIndex | None = None,
) -> LogRankSurvivalForest:
    """Fit a random survival forest with log-rank splitting."""

def fit_gradient_forest(
    X: _Float64Array,
    pseudo_outcome: _Float64Array,
    *,
    n_trees: SupportsIndex = 500,
    min_samples_leaf: SupportsIndex = 5,
    max_depth: SupportsIndex | None = None,
    max_features: SupportsIndex | str | None = None,
    bootstrap: _Flag = False,
    subsample_fraction: _Fraction = 0.5,
    honesty: _Flag = True,
    honesty_fraction: _Fraction = 0.5,
    seed: SupportsIndex | None = None,
) -> GradientForest:
    """Fit a partition-only ("gradient") forest on `(X, pseudo_outcome)`."""

_Progress = Callable[[int, int], object]

def _grow_log_rank_forest(
    X: _Float64Array,
    event_time: _Float64Array,
    event_indicator: _UInt8Array,
    *,
    n_trees: SupportsIndex = 100,
    min_samples_leaf: SupportsIndex = 15,
    max_depth: SupportsIndex | None = None,
    max_features: SupportsIndex | str | None = None,
    bootstrap: _Flag = True,
    subsample_fraction: _Fraction = 1.0,
    honesty: _Flag = False,
    honesty_fraction: _Fraction = 0.5,
    seed: SupportsIndex | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
) -> LogRankSurvivalForest:
    """fit_log_rank_forest on a chosen number of threads, with progress reports."""

def _grow_gradient_forest(
    X: _Float64Array,
    pseudo_outcome: _Float64Array,
    *,
    n_trees: SupportsIndex = 500,
    min_samples_leaf: SupportsIndex = 5,
    max_depth: SupportsIndex | None = None,
    max_features: SupportsIndex | str | None = None,
    bootstrap: _Flag = False,
    subsample_fraction: _Fraction = 0.5,
    honesty: _Flag = True,
    honesty_fraction: _Fraction = 0.5,
    seed: SupportsIndex | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
) -> GradientForest:
    """fit_gradient_forest on a chosen number of threads, with progress reports."""

@final
class LogRankSurvivalTree:
    """Immutable handle to a fitted log-rank survival tree."""

    @property
    def n_features(self) -> int: ...
    @property
    def n_nodes(self) -> int: ...
    @property
    def n_leaves(self) -> int: ...
    @property
    def depth(self) -> int: ...
    def predict_cumulative_hazard(self, X: _Float64Array, times: _Float64Array) -> _Float64Array:
        """Cumulative hazard of each row of `X` at every time in `times`, shape `(n, k)`."""

class _Forest:
    """What both forest classes offer; not a class at run time."""

    @property
    def n_trees(self) -> int: ...
    @property
    def n_features(self) -> int: ...
    @property
    def n_train_samples(self) -> int: ...
    def forest_weights(self, X: _Float64Array) -> _Float64Array:
        """Weights over the training rows for each row of `X`, shape `(n_query, n_train)`."""
    def forest_weights_one(self, x: _Float64Array) -> _Float64Array:
        """Weights over the training rows for one query row, shape `(n_train,)`."""

@final
class LogRankSurvivalForest(_Forest):
    """Immutable handle to a fitted random survival forest."""

    def predict_cumulative_hazard(self, X: _Float64Array, times: _Float64Array) -> _Float64Array:
        """Tree-averaged cumulative hazard, shape `(n, k)`."""

@final
class GradientForest(_Forest):
    """Immutable handle to a fitted gradient (partition-only) forest."""
