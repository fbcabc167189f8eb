"""A fitted tree's structure in scikit-learn's layout, and decision paths."""

from __future__ import annotations

from functools import cached_property
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.sparse import csr_matrix

Int64Array = npt.NDArray[np.int64]

# scikit-learn's marks of a leaf in its node arrays.
TREE_LEAF = -1
TREE_UNDEFINED = -2


class TreeStructure:
    """The nodes of a fitted tree, laid out as scikit-learn's ``Tree``.

    Nodes are numbered depth first in pre-order: the root is node 0 and a
    node's left subtree comes before its right one. (korvane's core stores
    them in post-order; this is a read-only copy in scikit-learn's order.)

    Attributes
    ----------
    node_count : int
        Number of nodes, leaves included.
    n_leaves : int
        Number of leaves.
    max_depth : int
        Greatest depth of a leaf (the root is at depth 0).
    n_features : int
        Number of covariates the tree was fitted on.
    n_outputs : int
        1.
    children_left, children_right : ndarray of int64, shape (node_count,)
        The children of each node; -1 (``TREE_LEAF``) at a leaf.
    feature : ndarray of int64, shape (node_count,)
        The covariate each node splits on; -2 (``TREE_UNDEFINED``) at a leaf.
    threshold : ndarray of float64, shape (node_count,)
        A row goes left when its value is ``<= threshold``; -2.0 at a leaf.
        A threshold of ``inf`` splits "is missing" from "is present".
    missing_go_to_left : ndarray of uint8, shape (node_count,)
        1 where a row missing the node's covariate (NaN) goes left; 0 at a leaf.
    impurity : ndarray of float64, shape (node_count,)
        Not an impurity: the split's log-rank statistic (its score), the
        quantity `feature_importances_` sums; 0 at a leaf, where no split was
        scored.
    n_node_samples : ndarray of int64, shape (node_count,)
        Rows under each node. For a tree of a forest, the training rows the
        tree recorded there (its drawn rows, or with honesty its estimation
        rows, each draw once); for a `SurvivalTree`, the training rows of
        positive weight that reach the node (with honesty, both halves).
    leaf_index : ndarray of int64, shape (node_count,)
        At a leaf, its index among the leaves, as ``apply`` numbers it; -1 at a
        split.
    leaf_nodes : ndarray of int64, shape (n_leaves,)
        The node of each leaf index: ``leaf_nodes[estimator.apply(X)]`` gives
        the node ids scikit-learn's ``apply`` returns.
    """

    def __init__(self, nodes: dict[str, Any], n_features: int, n_node_samples: Any = None) -> None:
        self.children_left: Int64Array = _read_only(nodes["children_left"])
        self.children_right: Int64Array = _read_only(nodes["children_right"])
        self.feature: Int64Array = _read_only(nodes["feature"])
        self.threshold: npt.NDArray[np.float64] = _read_only(nodes["threshold"])
        self.impurity: npt.NDArray[np.float64] = _read_only(nodes["impurity"])
        self.missing_go_to_left: npt.NDArray[np.uint8] = _read_only(nodes["missing_go_to_left"].astype(np.uint8))
        self.leaf_index: Int64Array = _read_only(nodes["leaf"])
        counts = nodes.get("n_node_samples", n_node_samples)
        self._n_node_samples: Int64Array | None = None if counts is None else _read_only(counts)
        self.node_count = len(self.children_left)
        self.n_features = int(n_features)
        self.n_outputs = 1
        is_leaf = self.children_left == TREE_LEAF
        self.leaf_nodes: Int64Array = _read_only(np.flatnonzero(is_leaf).astype(np.int64))
        self.n_leaves = len(self.leaf_nodes)
        self.max_depth = _max_depth(self.children_left, self.children_right)

    @property
    def n_node_samples(self) -> Int64Array:
        if self._n_node_samples is None:
            raise AttributeError(
                "n_node_samples is not known for a SurvivalTree fitted before korvane counted rows per node; refit it"
            )
        return self._n_node_samples

    def decision_path(self, leaves: npt.ArrayLike) -> csr_matrix:
        """The nodes from the root to each given leaf index, as an indicator matrix.

        Parameters
        ----------
        leaves : array-like of int, shape (n_samples,)
            Leaf indices, as ``apply`` returns them.

        Returns
        -------
        indicator : scipy.sparse.csr_matrix of shape (n_samples, node_count)
            Entry (i, j) is 1 where node j lies on the path of row i.
        """
        path_ptr, path_nodes = self._paths
        return _indicator(path_ptr, path_nodes, np.asarray(leaves, dtype=np.intp), 1, self.node_count)

    @cached_property
    def _paths(self) -> tuple[Int64Array, Int64Array]:
        return _leaf_paths(self.children_left, self.children_right, self.leaf_nodes)

    def split_importance(self) -> npt.NDArray[np.float64]:
        """Per covariate, the sum of the scores of the splits on it; not normalised."""
        split = self.feature >= 0
        return np.bincount(self.feature[split], weights=self.impurity[split], minlength=self.n_features)

    def __repr__(self) -> str:
        return f"TreeStructure(node_count={self.node_count}, n_leaves={self.n_leaves}, max_depth={self.max_depth})"


def _max_depth(left: Int64Array, right: Int64Array) -> int:
    """The greatest depth of a leaf, counted one level of the tree at a time."""
    level, depth = np.zeros(1, dtype=np.int64), -1
    while len(level):
        split = level[left[level] != TREE_LEAF]
        level, depth = np.concatenate([left[split], right[split]]), depth + 1
    return depth


def _leaf_paths(left: Int64Array, right: Int64Array, leaf_nodes: Int64Array) -> tuple[Int64Array, Int64Array]:
    """The nodes on the path to each leaf, root first, as CSR arrays (indptr, indices).

    In pre-order a node's subtree is the run of nodes from it to the end of
    its rightmost descent, and leaves are numbered left to right, so node j
    lies on the paths of the run of leaves its subtree holds. An ancestor
    precedes its descendants, so a stable sort by leaf puts each path root first.
    """
    n = len(left)
    last = np.arange(n, dtype=np.int64)
    pending = np.flatnonzero(left != TREE_LEAF)
    while len(pending):  # follow right children down to the subtree's last node
        last[pending] = right[last[pending]]
        pending = pending[left[last[pending]] != TREE_LEAF]
    first_leaf = np.searchsorted(leaf_nodes, np.arange(n))
    counts = np.searchsorted(leaf_nodes, last, side="right") - first_leaf
    node = np.repeat(np.arange(n, dtype=np.int64), counts)
    # The k-th pair of node j is (j, first_leaf[j] + k).
    leaf = np.arange(len(node)) + np.repeat(first_leaf - (np.cumsum(counts) - counts), counts)
    order = np.argsort(leaf, kind="stable")
    return _starts(np.bincount(leaf, minlength=len(leaf_nodes))), node[order]


def node_samples(model: Any, X: Any) -> Int64Array:
    """Rows of `X` reaching each node of a compiled tree, in pre-order."""
    structure = TreeStructure(model._nodes(), model.n_features)
    counts: Int64Array = np.asarray(structure.decision_path(model._apply(X)).sum(axis=0)).ravel()
    return counts


def forest_decision_path(structures: list[TreeStructure], leaves: Any) -> tuple[csr_matrix, Int64Array]:
    """Stacked decision paths of every tree for its column of leaf indices
    (n_samples, n_trees), and the column where each tree's nodes start."""
    n_nodes_ptr, leaf_ptr = (_starts([getattr(s, size) for s in structures]) for size in ("node_count", "n_leaves"))
    path_ptr = _starts(np.concatenate([np.diff(s._paths[0]) for s in structures]))
    path_nodes = np.concatenate([s._paths[1] + n_nodes_ptr[b] for b, s in enumerate(structures)])
    # Row i's leaves of trees 0, 1, ... in a row, numbered among all the trees' leaves.
    flat = (np.asarray(leaves, dtype=np.intp) + leaf_ptr[:-1]).ravel()
    return _indicator(path_ptr, path_nodes, flat, len(structures), int(n_nodes_ptr[-1])), n_nodes_ptr


def _starts(sizes: Any) -> Int64Array:
    """Where each of consecutive blocks of these sizes starts, and the end."""
    starts = np.zeros(len(sizes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=starts[1:])
    return starts


def _indicator(path_ptr: Int64Array, path_nodes: Int64Array, leaves: Any, per_row: int, n_columns: int) -> csr_matrix:
    """The CSR indicator of the paths to `leaves`, each `per_row` consecutive leaves one row."""
    starts, lengths = path_ptr[leaves], path_ptr[leaves + 1] - path_ptr[leaves]
    ends = np.cumsum(lengths)
    offsets = np.repeat(starts - (ends - lengths), lengths) + np.arange(ends[-1] if len(ends) else 0)
    row_ptr = np.concatenate([[0], ends[per_row - 1 :: per_row]])
    data = np.ones(len(offsets), dtype=np.int64)
    return csr_matrix((data, path_nodes[offsets], row_ptr), shape=(len(leaves) // per_row, n_columns))


def _read_only(array: Any) -> Any:
    array = np.asarray(array)
    array.flags.writeable = False
    return array
