"""Saving, loading, pickling and copying fitted models and estimators.

A core model (tree, log-rank forest, gradient forest) is written in korvane's
compact binary format; a fitted scikit-learn-style estimator in an estimator
file that holds its settings, fitted attributes and core models (both
described in ``docs/FORMAT.md``). A file written by one version of korvane
loads in every later one. Reading checks the whole file before a model exists
and raises ``ValueError`` saying what is wrong with data that is not a valid
model; it never unpickles, so an untrusted file cannot run code.
"""

from __future__ import annotations

import contextlib
import copyreg
import os
import secrets
import stat
from collections.abc import Callable
from typing import TYPE_CHECKING, BinaryIO, TypeAlias, TypeVar, cast

from korvane import _estimator_file
from korvane._korvane_core import (
    GradientForest,
    LogRankSurvivalForest,
    LogRankSurvivalTree,
    _from_bytes,
    _to_bytes,
)

if TYPE_CHECKING:
    from korvane.causal_survival import CausalSurvivalForest
    from korvane.effects import CausalForest, QuantileForest, RegressionForest
    from korvane.ensemble import RandomSurvivalForest
    from korvane.tree import SurvivalTree
    # collections.abc.Buffer from CPython 3.12 on.
    from typing_extensions import Buffer

__all__ = ["save", "load", "to_bytes", "from_bytes"]

Model: TypeAlias = LogRankSurvivalTree | LogRankSurvivalForest | GradientForest
Estimator: TypeAlias = (
    "RandomSurvivalForest | SurvivalTree | RegressionForest | QuantileForest | CausalForest | CausalSurvivalForest"
)
Saved: TypeAlias = "Model | Estimator"

_MODELS = (LogRankSurvivalTree, LogRankSurvivalForest, GradientForest)
# The first bytes of a model file; it keeps its whole size as a u64 at byte
# 16, and so does an estimator file.
_MODEL_MAGIC = b"\x89KRV\r\n\x1a\n"
_SIZE_AT = 16


def to_bytes(model: Saved) -> bytes:
    """Encode a fitted model or estimator in korvane's binary format.

    Parameters
    ----------
    model : estimator, LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        A fitted `RandomSurvivalForest`, `SurvivalTree`, `RegressionForest`,
        `QuantileForest`, `CausalForest` or `CausalSurvivalForest`, or a core
        model.

    Returns
    -------
    bytes
        The encoded model; :func:`from_bytes` turns it back into an equal one.

    Raises
    ------
    TypeError
        If `model` is none of these, or an estimator holds what korvane does
        not store without pickle: a callable (``oob_score``), or a scikit-learn
        model other than those the causal forests fit themselves
        (``model_y``, ``model_t``, a ``cv`` splitter). The message names it.
    sklearn.exceptions.NotFittedError
        If the estimator is not fitted.

    Notes
    -----
    An estimator's ``random_state`` given as a NumPy ``RandomState`` or
    ``Generator`` is stored with the state it has when saved, as pickle stores it.

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
    if isinstance(model, _MODELS):
        return _to_bytes(model)
    if not _estimator_file.is_estimator(model):
        raise TypeError(
            "argument 'model': expected a fitted korvane estimator, LogRankSurvivalTree, LogRankSurvivalForest "
            f"or GradientForest, got {type(model).__name__}"
        )
    return _estimator_file.encode(model)


def from_bytes(data: Buffer) -> Saved:
    """Decode a model or estimator written by :func:`to_bytes` or :func:`save`.

    Parameters
    ----------
    data : bytes-like
        The encoded model (bytes, bytearray, memoryview or any object that
        exports a contiguous buffer).

    Returns
    -------
    estimator, LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The model, equal to the one that was encoded: same settings, fitted
        attributes and predictions, to the last bit.

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
    view = _byte_view(data)
    if view is None or view[: len(_estimator_file.MAGIC)] != _estimator_file.MAGIC:
        # The core reads model files and says what is wrong with anything else.
        return _from_bytes(data)
    return cast("Estimator", _estimator_file.decode(view))


def _byte_view(data: Buffer) -> memoryview | None:
    """`data`'s bytes, when it exports a contiguous buffer."""
    try:
        view = memoryview(data)
    except TypeError:
        return None
    return view.cast("B") if view.c_contiguous else None


def save(model: Saved, path: str | os.PathLike[str]) -> None:
    """Write a fitted model or estimator to a file.

    The data goes to a new file beside `path`, which is flushed to disk and
    then renamed over `path`: a crash or an error mid-way never leaves a
    partly written model under the name, and a symbolic link at `path` is
    replaced, not followed.

    Parameters
    ----------
    model : estimator, LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        As for :func:`to_bytes`.
    path : str or path-like
        The file to write; an existing file is replaced.

    Raises
    ------
    TypeError
        If `model` cannot be stored (see :func:`to_bytes`).
    OSError
        If the file cannot be written; nothing is left behind.

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
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(8)}.tmp")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    descriptor = os.open(temporary, flags, 0o666)
    try:
        with open(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    """Make the rename itself durable, where the system lets a folder be synced."""
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


def load(path: str | os.PathLike[str]) -> Saved:
    """Read a model or estimator written by :func:`save`.

    Only a regular file is read, and never beyond the size its header
    declares: a FIFO, a device or a folder is refused without waiting for
    data from it.

    Parameters
    ----------
    path : str or path-like
        The file to read.

    Returns
    -------
    estimator, LogRankSurvivalTree, LogRankSurvivalForest or GradientForest
        The saved model or estimator.

    Raises
    ------
    ValueError
        If `path` is not a regular file or does not hold a valid model; the
        message says what is wrong.
    OSError
        If the file cannot be opened or read.
    """
    return from_bytes(_read_file(os.fspath(path)))


def _read_file(path: str) -> bytes:
    # Opening without blocking, then asking the open file what it is, leaves
    # no moment in which the path could be swapped for a FIFO that blocks.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    descriptor = os.open(path, flags)
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"cannot read a korvane model: {path!r} is not a regular file but {_file_kind(info)}")
    except BaseException:
        os.close(descriptor)
        raise
    with open(descriptor, "rb") as file:
        return _read_model(file, info.st_size, path)


def _read_model(file: BinaryIO, size: int, path: str) -> bytes:
    """The bytes of the model a file of `size` bytes holds: up to its header
    when the header is not korvane's (the reader then says what is wrong),
    else the size the header declares, which must be the file's."""
    head = _read_at_most(file, _SIZE_AT + 8)
    if head[: len(_MODEL_MAGIC)] not in (_MODEL_MAGIC, _estimator_file.MAGIC) or len(head) < _SIZE_AT + 8:
        return head
    declared = int.from_bytes(head[_SIZE_AT:], "little")
    if declared > size:
        raise ValueError(
            f"cannot read a korvane model: truncated: the header declares {declared} bytes but {path!r} holds {size}"
        )
    if declared < size:
        raise ValueError(f"cannot read a korvane model: {size - declared} unexpected bytes follow the end of the model")
    return head + _read_at_most(file, declared - len(head))


def _read_at_most(file: BinaryIO, size: int) -> bytes:
    """Up to `size` bytes, fewer only at the end of the file."""
    pieces, left = [], size
    while left > 0:
        piece = file.read(left)
        if not piece:
            break
        pieces.append(piece)
        left -= len(piece)
    return b"".join(pieces)


def _file_kind(info: os.stat_result) -> str:
    kinds = {stat.S_ISDIR: "a folder", stat.S_ISFIFO: "a FIFO", stat.S_ISCHR: "a character device",
             stat.S_ISBLK: "a block device", stat.S_ISSOCK: "a socket"}
    return next((kind for test, kind in kinds.items() if test(info.st_mode)), "not a file of data")


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
