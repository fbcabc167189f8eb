"""The files through which the harness hands one train/test split to a worker process.

Raw little-endian float64 files, so the R driver reads them with readBin and
nothing has to parse a container format. Matrices are stored column-major,
the layout the fit functions take without copying. `dims.txt` holds
"n_train n_test n_features n_times".
"""

from pathlib import Path
from typing import NamedTuple

import numpy as np


class Split(NamedTuple):
    X_train: np.ndarray
    time_train: np.ndarray
    event_train: np.ndarray
    """uint8, 1 = event observed."""
    X_test: np.ndarray
    times: np.ndarray
    """The grid every side evaluates its cumulative hazard on."""


def write_split(directory: Path, split: Split) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    n_train, n_features = split.X_train.shape
    dims = (n_train, split.X_test.shape[0], n_features, split.times.size)
    (directory / "dims.txt").write_text(" ".join(map(str, dims)) + "\n")
    _write(directory / "X_train.f64", split.X_train.ravel(order="F"))
    _write(directory / "time_train.f64", split.time_train)
    _write(directory / "event_train.f64", split.event_train)
    _write(directory / "X_test.f64", split.X_test.ravel(order="F"))
    _write(directory / "times.f64", split.times)


def read_split(directory: Path) -> Split:
    n_train, n_test, n_features, n_times = map(int, (directory / "dims.txt").read_text().split())

    def matrix(name: str, n_rows: int) -> np.ndarray:
        return _read(directory / name).reshape((n_rows, n_features), order="F")

    return Split(
        X_train=matrix("X_train.f64", n_train),
        time_train=_read(directory / "time_train.f64"),
        event_train=_read(directory / "event_train.f64").astype(np.uint8),
        X_test=matrix("X_test.f64", n_test),
        times=_read(directory / "times.f64"),
    )


def write_hazard(path: Path, hazard: np.ndarray) -> None:
    """A worker's (n_test, n_times) cumulative hazard, row-major."""
    _write(path, hazard.ravel(order="C"))


def read_hazard(path: Path, n_test: int) -> np.ndarray:
    return _read(path).reshape((n_test, -1))


def _write(path: Path, values: np.ndarray) -> None:
    np.ascontiguousarray(values, dtype="<f8").tofile(path)


def _read(path: Path) -> np.ndarray:
    return np.fromfile(path, dtype="<f8")
