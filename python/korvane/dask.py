"""Predictions of a fitted korvane estimator for Dask arrays and DataFrames.

Each function maps the estimator's own method over the blocks (or
partitions) of `X` and returns a Dask collection, computed lazily:

- a Dask array `X` of shape (n, p) gives a Dask array whose row chunks are
  those of `X` (columns of `X` split into chunks are joined first);
- a Dask DataFrame gives a Dask Series (`predict`) or DataFrame with the
  partitions and index of `X`, the columns labelled by `unique_times_`
  (curves) or by training row (`forest_weights`).

The estimator enters the task graph once, as one key, so a cluster ships
its persistence bytes to each worker once, not with every block.

Examples
--------
>>> import dask.array as da
>>> import numpy as np
>>> import korvane.dask
>>> from korvane import RandomSurvivalForest, Surv
>>> rng = np.random.default_rng(0)
>>> X = rng.normal(size=(200, 3))
>>> y = Surv.from_arrays(rng.random(200) < 0.7, rng.exponential(np.exp(-X[:, 0])))
>>> forest = RandomSurvivalForest(n_estimators=20, random_state=0).fit(X, y)
>>> risk = korvane.dask.predict(forest, da.from_array(X, chunks=50))
>>> risk.chunks
((50, 50, 50, 50),)
>>> bool(np.array_equal(risk.compute(), forest.predict(X)))
True
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import Any

import dask.array as da
import numpy as np
import pandas as pd
from dask.delayed import delayed
from sklearn.utils.validation import check_is_fitted

__all__ = ["predict", "predict_survival_function", "predict_cumulative_hazard_function", "forest_weights"]


def predict(estimator: Any, X: Any) -> Any:
    """Risk scores of the rows of `X`, as the estimator's `predict` gives them.

    Parameters
    ----------
    estimator : SurvivalTree or RandomSurvivalForest
        A fitted estimator.
    X : dask.array.Array of shape (n_samples, n_features) or dask.dataframe.DataFrame
        Covariates.

    Returns
    -------
    risk : dask.array.Array of shape (n_samples,) or dask.dataframe.Series
    """
    return _map_blocks(estimator, X, "predict", {}, columns=None)


def predict_survival_function(estimator: Any, X: Any, return_array: bool = True) -> Any:
    """Survival functions of the rows of `X` at the estimator's `unique_times_`.

    Parameters
    ----------
    estimator : SurvivalTree or RandomSurvivalForest
        A fitted estimator.
    X : dask.array.Array of shape (n_samples, n_features) or dask.dataframe.DataFrame
        Covariates.
    return_array : bool, default=True
        Only True: step-function objects do not form a Dask collection.

    Returns
    -------
    survival : dask.array.Array of shape (n_samples, n_times) or dask.dataframe.DataFrame
    """
    _check_return_array(return_array)
    return _map_blocks(estimator, X, "predict_survival_function", {"return_array": True}, _times(estimator))


def predict_cumulative_hazard_function(estimator: Any, X: Any, return_array: bool = True) -> Any:
    """Cumulative hazards of the rows of `X` at the estimator's `unique_times_`.

    Parameters
    ----------
    estimator : SurvivalTree or RandomSurvivalForest
        A fitted estimator.
    X : dask.array.Array of shape (n_samples, n_features) or dask.dataframe.DataFrame
        Covariates.
    return_array : bool, default=True
        Only True: step-function objects do not form a Dask collection.

    Returns
    -------
    hazard : dask.array.Array of shape (n_samples, n_times) or dask.dataframe.DataFrame
    """
    _check_return_array(return_array)
    return _map_blocks(estimator, X, "predict_cumulative_hazard_function", {"return_array": True}, _times(estimator))


def forest_weights(estimator: Any, X: Any) -> Any:
    """Forest weights of the rows of `X` over the training rows.

    Parameters
    ----------
    estimator : RandomSurvivalForest
        A fitted forest.
    X : dask.array.Array of shape (n_samples, n_features) or dask.dataframe.DataFrame
        Covariates.

    Returns
    -------
    weights : dask.array.Array of shape (n_samples, n_training_rows) or dask.dataframe.DataFrame
    """
    if not hasattr(estimator, "forest_weights"):
        raise TypeError(f"forest_weights needs a fitted forest, got {type(estimator).__name__}")
    check_is_fitted(estimator)
    return _map_blocks(estimator, X, "forest_weights", {}, range(int(estimator._model.n_train_samples)))


def _check_return_array(return_array: Any) -> None:
    if return_array is not True:
        raise ValueError("return_array must be True: step functions do not form a Dask collection")


def _times(estimator: Any) -> Sequence[float]:
    check_is_fitted(estimator)
    return list(estimator.unique_times_)


def _map_blocks(estimator: Any, X: Any, method: str, kwargs: dict[str, Any], columns: Sequence[Any] | None) -> Any:
    check_is_fitted(estimator)
    # One key for the whole graph: each worker receives the model once.
    model = delayed(estimator, pure=False, traverse=False)
    if _is_dask_frame(X):
        meta = pd.Series(dtype=np.float64) if columns is None else pd.DataFrame(columns=list(columns), dtype=np.float64)
        return X.map_partitions(_frame_block, model, method, kwargs, columns, meta=meta)
    if isinstance(X, da.Array):
        return _array_blocks(model, X, method, kwargs, columns)
    raise TypeError(
        f"X must be a dask array or a dask DataFrame, got {type(X).__name__}; "
        f"in-memory data go to the estimator's own methods"
    )


def _is_dask_frame(X: Any) -> bool:
    # Dask's data frames need pyarrow; a frame exists only once they were imported.
    frames = sys.modules.get("dask.dataframe")
    return frames is not None and isinstance(X, frames.DataFrame)


def _array_blocks(model: Any, X: Any, method: str, kwargs: dict[str, Any], columns: Sequence[Any] | None) -> Any:
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D (n_samples, n_features), got shape {X.shape}")
    if X.numblocks[1] != 1:
        X = X.rechunk({1: -1})
    if columns is None:
        chunks: tuple[tuple[int, ...], ...] = (X.chunks[0],)
        return da.map_blocks(
            _array_block, X, model, method, kwargs, chunks=chunks, drop_axis=1, dtype=np.float64,
            meta=np.empty((0,)),
        )
    chunks = (X.chunks[0], (len(columns),))
    return da.map_blocks(_array_block, X, model, method, kwargs, chunks=chunks, dtype=np.float64, meta=np.empty((0, 0)))


def _array_block(block: Any, model: Any, method: str, kwargs: dict[str, Any]) -> Any:
    return np.asarray(getattr(model, method)(block, **kwargs))


def _frame_block(
    partition: pd.DataFrame, model: Any, method: str, kwargs: dict[str, Any], columns: Sequence[Any] | None
) -> Any:
    values = np.asarray(getattr(model, method)(partition, **kwargs))
    if columns is None:
        return pd.Series(values, index=partition.index, dtype=np.float64)
    return pd.DataFrame(values, index=partition.index, columns=list(columns))
