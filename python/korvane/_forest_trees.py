"""The trees of a fitted forest as light tree estimators that read the
forest's compiled model in place."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from korvane._tree_structure import TreeStructure
from korvane.tree import SurvivalTree


class _ForestTreeModel:
    """Tree `index` of a compiled forest, answering as a compiled tree does.

    It holds the forest and an index, nothing else, so the estimator that
    wraps it shares the forest's memory.
    """

    def __init__(self, forest: Any, index: int) -> None:
        self._forest, self._index = forest, index

    @property
    def n_features(self) -> int:
        return int(self._forest.n_features)

    def predict_cumulative_hazard(self, X: Any, times: Any) -> Any:
        return self._forest._tree_cumulative_hazard(self._index, X, times)

    def _apply(self, X: Any) -> Any:
        return self._forest._tree_apply(self._index, X)

    def _nodes(self) -> dict[str, Any]:
        nodes: dict[str, Any] = self._forest._tree_nodes(self._index)
        return nodes

    def _split_importance(self) -> npt.NDArray[np.float64]:
        return TreeStructure(self._nodes(), self.n_features).split_importance()


class ForestTree(SurvivalTree):
    """A tree of a fitted `RandomSurvivalForest`, answering as a fitted `SurvivalTree`.

    Made by ``RandomSurvivalForest.estimators_``; it reads the forest's
    compiled trees in place. Its parameters are the forest's tree settings.
    Fitting it grows a tree of its own, independent of the forest.
    """

    @classmethod
    def of(cls, forest: Any, index: int) -> ForestTree:
        tree_params = cls().get_params()
        view = cls(**{name: value for name, value in forest.get_params().items() if name in tree_params})
        view._model = _ForestTreeModel(forest._model, index)
        view.unique_times_ = forest.unique_times_
        view.n_features_in_ = forest.n_features_in_
        if hasattr(forest, "feature_names_in_"):
            view.feature_names_in_ = forest.feature_names_in_
        return view


class ForestTrees(Sequence[ForestTree]):
    """The trees of a fitted forest, made on access: each reads the forest's
    current compiled model, so the list follows warm-start fits."""

    def __init__(self, forest: Any) -> None:
        self._forest = forest

    def __len__(self) -> int:
        return int(self._forest._model.n_trees)

    @overload
    def __getitem__(self, index: int) -> ForestTree: ...

    @overload
    def __getitem__(self, index: slice) -> list[ForestTree]: ...

    def __getitem__(self, index: int | slice) -> ForestTree | list[ForestTree]:
        if isinstance(index, slice):
            return [self[k] for k in range(*index.indices(len(self)))]
        n = len(self)
        k = int(index)
        if not -n <= k < n:
            raise IndexError(f"tree index {k} is out of range for a forest of {n} trees")
        return ForestTree.of(self._forest, k % n)

    def __iter__(self) -> Iterator[ForestTree]:
        return (self[k] for k in range(len(self)))

    def __repr__(self) -> str:
        return f"<{len(self)} trees of {type(self._forest).__name__}>"
