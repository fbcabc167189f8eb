"""A single log-rank survival tree as a scikit-learn estimator."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils.validation import check_is_fitted

from korvane import _korvane_core as core
from korvane._estimator import Float64Array, LogRankSurvivalEstimator, seed_from
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
        Fewest rows a node must hold to be split: an int >= 2, or a float in
        (0, 1), the fraction ``ceil(min_samples_split * n_samples)`` of the
        training rows (at least 2).
    min_samples_leaf : int or float, default=3
        Fewest rows a leaf may hold: an int >= 1, or a float in (0, 0.5], the
        fraction ``ceil(min_samples_leaf * n_samples)`` of the training rows.
    min_weight_fraction_leaf : float, default=0.0
        Smallest share of the total sample weight a leaf may hold, in
        [0, 0.5]; without `sample_weight` every row weighs the same.
    max_features : {"sqrt", "log2"}, int, float or None, default=None
        Covariates drawn at each split: ``floor(sqrt(p))``, ``floor(log2(p))``,
        a count, a fraction of p (rounded down, at least 1), or all of them.
    random_state : int, RandomState, Generator or None, default=None
        Source of the tree's 64-bit seed (feature draws, honest split). An
        int gives the same tree on every fit.
    max_leaf_nodes : int, default=None
        Grow the tree best first, splitting the nodes with the best splits
        until it has this many leaves (an int >= 2); None = no limit.
    low_memory : bool, default=False
        Accepted for compatibility with scikit-survival; it has no effect:
        a korvane tree is always small (each leaf keeps only the event times
        of its own rows) and keeps every prediction method.
    honesty : bool, default=False
        Split the rows in two: one part chooses the splits, the other
        estimates the leaves' hazards.
    honesty_fraction : float, default=0.5
        Share of the rows that choose the splits when `honesty` is set.

    Attributes
    ----------
    unique_times_ : ndarray of shape (n_times,)
        Distinct times of the training rows of positive weight, events and
        censorings alike: the columns of ``return_array=True``.
    is_event_time_ : ndarray of bool, shape (n_times,)
        Whether an event happened at each of `unique_times_`.
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
    function is exp(-H) of the leaf's Nelson–Aalen estimate; `splitter`
    does not exist; `low_memory=True` keeps every prediction method (there
    it leaves only `predict`); `apply` numbers leaves, not nodes
    (``tree_.leaf_nodes[tree.apply(X)]`` gives the node ids); ``tree_.impurity``
    holds each split's log-rank statistic; step functions stay flat after the
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
        min_weight_fraction_leaf: float = 0.0,
        max_features: str | int | float | None = None,
        random_state: Any = None,
        max_leaf_nodes: int | None = None,
        low_memory: bool = False,
        honesty: bool = False,
        honesty_fraction: float = 0.5,
    ) -> None:
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.low_memory = low_memory
        self.honesty = honesty
        self.honesty_fraction = honesty_fraction

    def _fit_model(
        self,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        sample_weight: Float64Array | None,
    ) -> None:
        self._model = core._grow_log_rank_tree(
            X,
            time,
            event,
            **self._tree_settings(*X.shape),
            seed=seed_from(self.random_state),
            sample_weight=sample_weight,
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
