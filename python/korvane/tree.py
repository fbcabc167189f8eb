"""A single log-rank survival tree as a scikit-learn estimator."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils.validation import check_is_fitted

from korvane import _korvane_core as core
from korvane._estimator import (
    Float64Array,
    LogRankSurvivalEstimator,
    check_flag,
    check_honesty_fraction,
    check_min_samples_split,
    resolve_max_depth,
    resolve_max_features,
    resolve_min_samples_leaf,
    seed_from,
)
from korvane._tree_structure import TreeStructure, node_samples

__all__ = ["SurvivalTree"]


class SurvivalTree(LogRankSurvivalEstimator):
    """A survival tree: log-rank splitting, Nelson–Aalen leaves.

    At every node the tree takes the split with the largest log-rank
    statistic among `max_features` covariates; each leaf holds the
    Nelson–Aalen cumulative hazard of its rows.

    Parameters
    ----------
    max_depth : int, default=None
        Maximum depth; None grows until the leaf floor stops it.
    min_samples_split : int or float, default=6
        Accepted for compatibility where it means what it means in
        scikit-learn: at most ``2 * min_samples_leaf``. Larger values are
        refused.
    min_samples_leaf : int or float, default=3
        Fewest rows a leaf may hold; a float in (0, 1) is a fraction of the
        training rows, rounded up.
    max_features : {"sqrt", "log2"}, int, float or None, default=None
        Covariates drawn at each split; None = all of them.
    random_state : int, RandomState, Generator or None, default=None
        Source of the tree's 64-bit seed (feature draws, honest split). An
        int gives the same tree on every fit.
    honesty : bool, default=False
        Split the rows in two: one part chooses the splits, the other
        estimates the leaves' hazards.
    honesty_fraction : float, default=0.5
        Share of the rows that choose the splits when `honesty` is set.

    Attributes
    ----------
    unique_times_ : ndarray of shape (n_times,)
        Distinct event times of the training data.
    n_features_in_ : int
        Number of covariates seen in `fit`.
    feature_names_in_ : ndarray of shape (``n_features_in_``,)
        Column names, when `X` was a data frame with string column names
        (for polars frames, with a scikit-learn that reads their names: 1.9 does).
    feature_importances_ : ndarray of shape (``n_features_in_``,)
        Log-rank split importance, normalised to sum 1.
    tree_ : TreeStructure
        The nodes in scikit-learn's ``Tree`` layout (``children_left``,
        ``feature``, ``threshold``, ``n_node_samples``, ...), numbered as
        `decision_path` numbers them.

    Notes
    -----
    Differences from scikit-survival's ``SurvivalTree``: the survival
    function is exp(-H) of the leaf's Nelson–Aalen estimate; `splitter`,
    `max_leaf_nodes`, `min_weight_fraction_leaf` and `low_memory` do not
    exist; `min_samples_split` above ``2 * min_samples_leaf`` is refused;
    `apply` numbers leaves, not nodes (``tree_.leaf_nodes[tree.apply(X)]``
    gives the node ids); ``tree_.impurity`` holds each split's log-rank
    statistic; step functions stay flat after the
    last event time; `honesty` is an addition. `sample_weight` are frequency
    weights in the log-rank splits and the Nelson–Aalen leaves (a weight of 2
    gives the tree of the row twice, 0 the tree without it), while
    `min_samples_leaf` counts rows, as in scikit-learn. NaN in `X` is a
    missing value, at fit and in queries, as in `RandomSurvivalForest`.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import SurvivalTree, Surv
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(100, 2))
    >>> y = Surv.from_arrays(rng.random(100) < 0.8, rng.exponential(np.exp(-X[:, 0])))
    >>> tree = SurvivalTree(min_samples_leaf=10).fit(X, y)
    >>> tree.predict_median_survival_time(X[:3]).shape
    (3,)
    """

    def __init__(
        self,
        *,
        max_depth: int | None = None,
        min_samples_split: int | float = 6,
        min_samples_leaf: int | float = 3,
        max_features: str | int | float | None = None,
        random_state: Any = None,
        honesty: bool = False,
        honesty_fraction: float = 0.5,
    ) -> None:
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.honesty = honesty
        self.honesty_fraction = honesty_fraction

    def _fit_model(
        self,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        sample_weight: Float64Array | None,
    ) -> None:
        n_samples, n_features = X.shape
        min_samples_leaf = resolve_min_samples_leaf(self.min_samples_leaf, n_samples)
        check_min_samples_split(self.min_samples_split, min_samples_leaf, n_samples)
        self._model = core._grow_log_rank_tree(
            X,
            time,
            event,
            min_samples_leaf=min_samples_leaf,
            max_depth=resolve_max_depth(self.max_depth),
            max_features=resolve_max_features(self.max_features, n_features),
            honesty=check_flag(self.honesty, "honesty"),
            honesty_fraction=check_honesty_fraction(self.honesty_fraction),
            seed=seed_from(self.random_state),
            sample_weight=sample_weight,
            missing_values=True,
        )
        self._node_samples = node_samples(self._model, X if sample_weight is None else X[sample_weight > 0])

    @property
    def tree_(self) -> TreeStructure:
        """The fitted tree's nodes, laid out as scikit-learn's ``Tree`` (see `TreeStructure`)."""
        check_is_fitted(self)
        return TreeStructure(self._model._nodes(), self.n_features_in_, getattr(self, "_node_samples", None))

    def decision_path(self, X: Any) -> Any:
        """The nodes each row passes through, as scikit-learn's trees give them.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        indicator : scipy.sparse.csr_matrix of shape (n_samples, ``tree_.node_count``)
            Entry (i, j) is 1 where row i passes through node j (numbered as in
            `tree_`).
        """
        return self.tree_.decision_path(self.apply(X))
