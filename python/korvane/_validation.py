"""Conversion of what users pass (NumPy, pandas, polars, structured targets) into
the arrays the core reads, with strict checks that name the argument at fault.

The core takes column-major float64 covariates, float64 times and uint8
indicators. Everything else is converted here, once, so the core's own checks
only ever see well-formed arrays. Covariates are always dense: a scipy.sparse
X is expanded to n_samples * n_features * 8 bytes, so its dense size is
checked against the machine's memory before anything is allocated.
"""

from __future__ import annotations

from typing import Any

import os

import numpy as np
import numpy.typing as npt
from scipy import sparse
from sklearn.base import BaseEstimator
from sklearn.utils.validation import validate_data

__all__ = ["check_features", "check_sample_weight", "check_survival_target", "event_vector", "time_vector"]

_ENCODER_HINT = (
    "encode them as numbers first, e.g. with sklearn.preprocessing.OneHotEncoder inside a "
    "sklearn.compose.ColumnTransformer, or with pandas.get_dummies"
)


def check_features(
    estimator: BaseEstimator, X: Any, *, reset: bool, order: str | None = None, allow_nan: bool = False
) -> npt.NDArray[np.float64]:
    """X as float64 (column-major when `order="F"`), checked for finite values.

    With `allow_nan`, NaN (a missing value; pandas' and polars' missing
    values become NaN) passes and only infinite values are refused. With
    `reset=True` the estimator learns `n_features_in_` and, for data frames
    with string column names, `feature_names_in_`; with `reset=False` the
    columns are checked against what it learned. A scipy.sparse X is made
    dense and pandas categorical columns whose categories are numbers become
    those numbers; both checks of X's size come before any pass over it.
    """
    _check_dense_size(X)
    if sparse.issparse(X):
        X = X.astype(np.float64).toarray(order="F" if order == "F" else "C")
    X = _categories_as_numbers(X)
    _refuse_non_numeric_columns(X)
    checked: npt.NDArray[np.float64] = validate_data(
        estimator,
        X,
        reset=reset,
        dtype=np.float64,
        order=order,
        ensure_all_finite="allow-nan" if allow_nan else True,
    )
    # Arrays deserialised in place (pickle's out-of-band buffers, as Dask
    # ships blocks) may start at any byte; the core reads aligned doubles only.
    if not checked.flags.aligned:
        checked = checked.copy(order="F" if order == "F" else "K")
    return checked


def check_sample_weight(sample_weight: Any, n_samples: int) -> npt.NDArray[np.float64] | None:
    """`sample_weight` as a new float64 vector (the caller's array is never
    changed), or None when it is None: finite, >= 0, one per row, not all 0."""
    if sample_weight is None:
        return None
    try:
        weight = np.array(sample_weight, dtype=np.float64, copy=True)
    except (TypeError, ValueError) as error:
        raise ValueError(f"sample_weight must be numbers, got {_describe(sample_weight)}") from error
    if weight.ndim == 0:
        weight = np.full(n_samples, float(weight))
    if weight.shape != (n_samples,):
        raise ValueError(f"sample_weight must have shape ({n_samples},), one weight per row, got {weight.shape}")
    if not np.isfinite(weight).all():
        raise ValueError("sample_weight must be finite; it has NaN or infinite values")
    if (weight < 0).any():
        raise ValueError("sample_weight must be >= 0; it has negative values")
    if not weight.sum() > 0:
        raise ValueError("sample_weight must not be all zero")
    return weight


def _check_dense_size(X: Any) -> None:
    """Refuse an X whose float64 copy could not fit in memory, from its shape
    alone: a sparse matrix, or a broadcast view whose rows share memory, would
    otherwise be expanded (or scanned for NaN for minutes) before anything
    found it too large."""
    shape = getattr(X, "shape", None)
    if not isinstance(shape, tuple) or len(shape) != 2:
        return
    n_rows, n_columns = (int(size) for size in shape)
    needed, limit = n_rows * n_columns * 8, _physical_memory()
    if needed > limit:
        raise MemoryError(
            f"X of {n_rows} rows and {n_columns} columns needs {needed} bytes as float64, "
            f"more than the {limit} bytes of this machine's memory"
        )


def _physical_memory() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return 2**63


def _categories_as_numbers(X: Any) -> Any:
    """A pandas frame's categorical columns whose categories are numbers, or
    strings of numbers (as in scikit-survival's data sets), as float64 values;
    a missing category becomes NaN. The caller's frame is not changed."""
    if not _is_pandas_frame(X):
        return X
    from pandas import CategoricalDtype

    numeric = {
        column: np.float64
        for column, dtype in X.dtypes.items()
        if isinstance(dtype, CategoricalDtype) and _are_numbers(dtype.categories)
    }
    return X.astype(numeric) if numeric else X


def _are_numbers(categories: Any) -> bool:
    try:
        np.asarray(categories, dtype=np.float64)
    except (TypeError, ValueError):
        return False
    return True


def _is_pandas_frame(X: Any) -> bool:
    return type(X).__module__.split(".")[0] == "pandas" and hasattr(X, "dtypes") and hasattr(X, "columns")


def _refuse_non_numeric_columns(X: Any) -> None:
    """Data frame columns that are not numbers are named, with how to encode them."""
    described = _non_numeric_columns(X)
    if described:
        raise ValueError(f"X has non-numeric columns {', '.join(described)}; {_ENCODER_HINT}")


def _non_numeric_columns(X: Any) -> list[str]:
    if _is_pandas_frame(X):
        from pandas.api.types import is_bool_dtype, is_numeric_dtype

        return [
            f"{column!r} ({dtype})"
            for column, dtype in X.dtypes.items()
            if not (is_numeric_dtype(dtype) or is_bool_dtype(dtype))
        ]
    if type(X).__module__.split(".")[0] == "polars" and hasattr(X, "schema"):
        import polars

        return [
            f"{column!r} ({dtype})"
            for column, dtype in X.schema.items()
            if not (dtype.is_numeric() or dtype == polars.Boolean)
        ]
    return []


def check_survival_target(y: Any, name: str = "y") -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.float64]]:
    """The event indicator (uint8, 1 = event) and times of a structured target.

    `y` is a structured array of two fields: the event indicator (bool, or
    numbers that are all 0 or 1) and the time (numbers, finite, >= 0), in
    either order. A bool field is the event; without one, the first field is
    the event, as in scikit-survival.
    """
    event_field, time_field = _target_fields(y, name)
    event = event_vector(y[event_field], f"{name}'s event field {event_field!r}")
    time = time_vector(y[time_field], f"{name}'s time field {time_field!r}")
    return event.astype(np.uint8), time


def _target_fields(y: Any, name: str) -> tuple[str, str]:
    names = getattr(getattr(y, "dtype", None), "names", None)
    if not isinstance(y, np.ndarray) or names is None:
        raise TypeError(
            f"{name} must be a structured array with an event field and a time field, "
            f"got {_describe(y)}; make one with korvane.Surv.from_arrays(event, time) "
            f"or korvane.Surv.from_dataframe('event', 'time', data)"
        )
    if len(names) != 2 or y.ndim != 1:
        raise ValueError(
            f"{name} must be a 1-D structured array of exactly two fields (event, time), "
            f"got fields {list(names)} and shape {y.shape}"
        )
    bool_fields = [field for field in names if y.dtype[field].kind == "b"]
    if len(bool_fields) == 1:
        event_field = bool_fields[0]
        return event_field, names[1] if names[0] == event_field else names[0]
    return names[0], names[1]


def _describe(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return f"a {value.ndim}-D {value.dtype} array"
    return f"{type(value).__module__}.{type(value).__qualname__}"


def event_vector(values: Any, what: str) -> npt.NDArray[np.bool_]:
    """Event indicators as bool: from bools, or from numbers that are all 0 or 1."""
    array = _vector(values, what)
    if array.dtype.kind == "b":
        return np.asarray(array, dtype=np.bool_)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold booleans or 0/1 numbers, got {array.dtype}")
    present = np.unique(array)
    if np.isin(present, (0, 1)).all():
        return np.asarray(array == 1, dtype=np.bool_)
    if np.isin(present, (1, 2)).all():
        # R's survival objects code a censoring as 1 and an event as 2; read
        # as 0/1, every event would silently become a censoring.
        raise ValueError(
            f"{what} holds 1 and 2, the coding 1 = censored, 2 = event; "
            f"korvane expects True/1 = event, False/0 = censored: pass (event == 2)"
        )
    unexpected = [value.item() for value in present if value not in (0, 1)][:5]
    raise ValueError(f"{what} must hold only 0 and 1 (or booleans), found {unexpected}")


def time_vector(values: Any, what: str) -> npt.NDArray[np.float64]:
    """Times as float64, refusing NaN, infinite and negative values with the first one's row."""
    array = _vector(values, what)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold numbers, got {array.dtype}")
    time = array.astype(np.float64)
    bad = ~(np.isfinite(time) & (time >= 0))
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(f"{what} must be finite and non-negative, got {float(time[row])!r} at row {row}")
    return time


def _vector(values: Any, what: str) -> npt.NDArray[Any]:
    if hasattr(values, "to_numpy"):  # pandas and polars series
        values = values.to_numpy()
    array = np.asarray(values)
    if array.dtype == object:
        # pandas' nullable columns come out as objects; without missing values
        # they hold plain numbers or booleans.
        array = np.array(array.tolist())
    if array.ndim != 1:
        raise ValueError(f"{what} must be 1-D, got shape {array.shape}")
    return array
