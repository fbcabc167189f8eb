from collections.abc import Callable, Sequence
from typing import SupportsFloat, SupportsIndex, TypeVar, final

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer  # collections.abc.Buffer from CPython 3.12 on

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
_UInt32Array = npt.NDArray[np.uint32]
_BoolArray = npt.NDArray[np.bool_]
_Int64Array = npt.NDArray[np.int64]
# children_left, children_right, feature, leaf (and n_node_samples): int64;
# threshold, impurity: float64; missing_go_to_left: bool.
_NodeArrays = dict[str, _Int64Array | _Float64Array | _BoolArray]
_TreeRange = tuple[SupportsIndex, SupportsIndex] | list[SupportsIndex]
_Progress = Callable[[int, int], object]
_AnyForest = TypeVar("_AnyForest", "LogRankSurvivalForest", "GradientForest")

class PanicException(BaseException):
    """An internal consistency check of the core failed."""

def version() -> str: ...

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

def _grow_log_rank_tree(
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
    sample_weight: _Float64Array | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
    missing_values: _Flag = False,
    min_samples_split: SupportsIndex = 2,
    max_leaf_nodes: SupportsIndex | None = None,
    min_weight_fraction_leaf: _Fraction = 0.0,
) -> LogRankSurvivalTree:
    """fit_log_rank_tree with sample weights, on a chosen number of threads,"""

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
    sample_weight: _Float64Array | None = None,
    trees: _TreeRange | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
    missing_values: _Flag = False,
    min_samples_split: SupportsIndex = 2,
    max_leaf_nodes: SupportsIndex | None = None,
    min_weight_fraction_leaf: _Fraction = 0.0,
) -> LogRankSurvivalForest:
    """fit_log_rank_forest, grown in pieces, on a chosen number of threads,"""

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
    sample_weight: _Float64Array | None = None,
    trees: _TreeRange | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
    missing_values: _Flag = False,
    min_samples_split: SupportsIndex = 2,
    max_leaf_nodes: SupportsIndex | None = None,
    min_weight_fraction_leaf: _Fraction = 0.0,
) -> GradientForest:
    """fit_gradient_forest, grown in pieces, on a chosen number of"""

def _grow_causal_forest(
    X: _Float64Array,
    outcome: _Float64Array,
    treatment: _Float64Array,
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
    ci_group_size: SupportsIndex = 2,
    min_child_fraction: _Fraction = 0.05,
    min_side_samples: SupportsIndex = 0,
    sample_weight: _Float64Array | None = None,
    trees: _TreeRange | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
    missing_values: _Flag = False,
    min_samples_split: SupportsIndex = 2,
    max_leaf_nodes: SupportsIndex | None = None,
    min_weight_fraction_leaf: _Fraction = 0.0,
) -> GradientForest:
    """A causal forest's partition: in each node, the rows of the centred"""

def _grow_ratio_forest(
    X: _Float64Array,
    numerator: _Float64Array,
    denominator: _Float64Array,
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
    ci_group_size: SupportsIndex = 2,
    min_child_fraction: _Fraction = 0.05,
    min_side_samples: SupportsIndex = 0,
    balance: _Float64Array | None = None,
    sample_weight: _Float64Array | None = None,
    trees: _TreeRange | None = None,
    n_threads: SupportsIndex | None = None,
    progress: _Progress | None = None,
    missing_values: _Flag = False,
    min_samples_split: SupportsIndex = 2,
    max_leaf_nodes: SupportsIndex | None = None,
    min_weight_fraction_leaf: _Fraction = 0.0,
) -> GradientForest:
    """The partition of a forest for the estimating equation"""

def _join_forests(pieces: Sequence[_AnyForest]) -> _AnyForest:
    """Join pieces grown by `_grow_*_forest(..., trees=...)` into one forest."""

def _to_bytes(model: LogRankSurvivalTree | LogRankSurvivalForest | GradientForest) -> bytes:
    """The fitted model in korvane's binary format (docs/FORMAT.md), as bytes."""

def _from_bytes(data: Buffer) -> LogRankSurvivalTree | LogRankSurvivalForest | GradientForest:
    """The model that `data` (any bytes-like object) holds in korvane's binary"""

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
    def _apply(self, X: _Float64Array) -> _UInt32Array:
        """The leaf each row of `X` reaches, uint32 `(n,)`."""
    def _nodes(self) -> _NodeArrays:
        """The tree's nodes in scikit-learn's layout (depth-first pre-order, root"""
    def _split_importance(self) -> _Float64Array:
        """Per feature, the sum of the log-rank statistics of the splits on it;"""

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
    def _oob_forest_weights(self, X: _Float64Array, *, n_threads: SupportsIndex | None = None) -> _Float64Array:
        """Out-of-bag forest weights of the training rows, `(n_train, n_train)`."""
    def _in_bag(self) -> _UInt32Array:
        """How often each tree drew each training row, uint32 `(n_trees, n_train)`:"""
    def _honest_estimation(self) -> _BoolArray:
        """Whether each training row estimated the leaves of each tree, bool"""
    def _apply(self, X: _Float64Array) -> _UInt32Array:
        """The leaf each tree sends each row of `X` to, uint32"""
    def _tree_apply(self, tree: SupportsIndex, X: _Float64Array) -> _UInt32Array:
        """The leaf tree `tree` sends each row of `X` to, uint32 `(n,)`."""
    def _tree_nodes(self, tree: SupportsIndex) -> _NodeArrays:
        """The nodes of tree `tree` in scikit-learn's layout (depth-first"""
    def _split_importance(self) -> _Float64Array:
        """Per feature, the sum of the scores of the splits on it (log-rank"""

@final
class LogRankSurvivalForest(_Forest):
    """Immutable handle to a fitted random survival forest."""

    def predict_cumulative_hazard(self, X: _Float64Array, times: _Float64Array) -> _Float64Array:
        """Tree-averaged cumulative hazard, shape `(n, k)`."""
    def _tree_cumulative_hazard(self, tree: SupportsIndex, X: _Float64Array, times: _Float64Array) -> _Float64Array:
        """Cumulative hazard of tree `tree` alone for each row of `X` at every"""
    def _oob_cumulative_hazard(
        self, X: _Float64Array, times: _Float64Array, *, n_threads: SupportsIndex | None = None
    ) -> _Float64Array:
        """Out-of-bag cumulative hazard of the training rows at every time in"""

@final
class GradientForest(_Forest):
    """Immutable handle to a fitted gradient (partition-only) forest."""

    def _weighted_sums(
        self, X: _Float64Array, values: _Float64Array, *, n_threads: SupportsIndex | None = None
    ) -> _Float64Array:
        """Forest-weighted sums of `values` for each row of `X`, `(n, k)`."""
    def _oob_weighted_sums(
        self, X: _Float64Array, values: _Float64Array, *, n_threads: SupportsIndex | None = None
    ) -> _Float64Array:
        """Out-of-bag forest-weighted sums of `values`, `(n_train, k)`: `X` holds"""
    def _tree_weighted_sums(
        self, X: _Float64Array, values: _Float64Array, *, n_threads: SupportsIndex | None = None
    ) -> _Float64Array:
        """Each tree's term of the forest-weighted sums of `values` for each row"""
