"""Saving, loading, pickling and copying fitted models.

Every model kind is written in korvane's compact binary format (described in
``docs/FORMAT.md``): a versioned header, little-endian arrays and a checksum.
A file written by one version of korvane loads in every later one. Reading
checks the whole file before a model exists and raises ``ValueError`` saying
what is wrong with data that is not a valid model.
"""

from __future__ import annotations

import copyreg
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, TypeAlias, TypeVar, cast

from korvane._korvane_core import (
    GradientForest,
    LogRankSurvivalForest,
    LogRankSurvivalTree,
    _from_bytes,
    _to_bytes,
)

if TYPE_CHECKING:
    # collections.abc.Buffer from CPython 3.12 on.
    from typing_extensions import Buffer

__all__ = ["save", "load", "to_bytes", "from_bytes"]

Model: TypeAlias = LogRankSurvivalTree | LogRankSurvivalForest | GradientForest


def to_bytes(model: Model) -> bytes:
    """Encode a fitted model in korvane's binary format.

    Parameters
    ----------
    model : LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The fitted model.

    Returns
    -------
    bytes
        The encoded model; :func:`from_bytes` turns it back into an equal model.

    Raises
    ------
    TypeError
        If `model` is not one of the three model classes.

    Examples
    --------
    >>> import numpy as np
    >>> import korvane
    >>> X = np.asfortranarray(np.arange(20.0).reshape(10, 2))
    >>> tree = korvane.fit_log_rank_tree(X, np.arange(1.0, 11.0), np.ones(10, np.uint8), min_samples_leaf=2)
    >>> data = korvane.to_bytes(tree)
    >>> data[:4]
    b'\\x89KRV'
    """
    return _to_bytes(model)


def from_bytes(data: Buffer) -> Model:
    """Decode a model written by :func:`to_bytes` or :func:`save`.

    Parameters
    ----------
    data : bytes-like
        The encoded model (bytes, bytearray, memoryview or any object that
        exports a contiguous buffer).

    Returns
    -------
    LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The model, equal to the one that was encoded: same repr, predictions
        and weights to the last bit.

    Raises
    ------
    ValueError
        If `data` is not a valid model: wrong magic bytes, an unknown format
        version, truncated or corrupted data, or counts and indices that do not
        describe a model. The message says which.
    TypeError
        If `data` does not export a buffer.

    Examples
    --------
    >>> import numpy as np
    >>> import korvane
    >>> X = np.asfortranarray(np.arange(20.0).reshape(10, 2))
    >>> tree = korvane.fit_log_rank_tree(X, np.arange(1.0, 11.0), np.ones(10, np.uint8), min_samples_leaf=2)
    >>> korvane.from_bytes(korvane.to_bytes(tree))
    LogRankSurvivalTree(n_features=2, n_leaves=4, depth=3)
    """
    return _from_bytes(data)


def save(model: Model, path: str | os.PathLike[str]) -> None:
    """Write a fitted model to a file.

    Parameters
    ----------
    model : LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The fitted model.
    path : str or path-like
        The file to write; an existing file is replaced.

    Raises
    ------
    TypeError
        If `model` is not one of the three model classes.
    OSError
        If the file cannot be written.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> import korvane
    >>> X = np.asfortranarray(np.arange(20.0).reshape(10, 2))
    >>> tree = korvane.fit_log_rank_tree(X, np.arange(1.0, 11.0), np.ones(10, np.uint8), min_samples_leaf=2)
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     path = os.path.join(folder, "tree.korvane")
    ...     korvane.save(tree, path)
    ...     korvane.load(path)
    LogRankSurvivalTree(n_features=2, n_leaves=4, depth=3)
    """
    data = to_bytes(model)
    with open(path, "wb") as file:
        file.write(data)


def load(path: str | os.PathLike[str]) -> Model:
    """Read a model written by :func:`save`.

    Parameters
    ----------
    path : str or path-like
        The file to read.

    Returns
    -------
    LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The saved model.

    Raises
    ------
    ValueError
        If the file does not hold a valid model; the message says what is
        wrong.
    OSError
        If the file cannot be read.
    """
    with open(path, "rb") as file:
        data = file.read()
    return from_bytes(data)


_M = TypeVar("_M", LogRankSurvivalTree, LogRankSurvivalForest, GradientForest)


def _reduce(model: _M) -> tuple[Callable[[Buffer], _M], tuple[bytes]]:
    # The reconstructor is found by name, so a model pickled in one process
    # loads in any other with korvane installed; the bytes of a model read
    # back as a model of the same class.
    return cast("Callable[[Buffer], _M]", from_bytes), (to_bytes(model),)


def _register() -> None:
    """Make every model class picklable and copyable through the binary format."""
    copyreg.pickle(LogRankSurvivalTree, _reduce)
    copyreg.pickle(LogRankSurvivalForest, _reduce)
    copyreg.pickle(GradientForest, _reduce)
