"""Small real survival datasets shipped with the package, ready for the fit functions."""

import csv
import io
from importlib import resources
from typing import Any, Literal, NamedTuple, overload

import numpy as np

from korvane.surv import Surv

__all__ = ["SurvivalDataset", "SurvivalFrame", "load_veteran"]


class SurvivalDataset(NamedTuple):
    """Arrays in the form the fit functions take without copying.

    Parameters
    ----------
    X : ndarray of shape (n, p)
        float64 covariates, column-major.
    event_time : ndarray of shape (n,)
        float64 event or censoring times.
    event_indicator : ndarray of shape (n,)
        uint8, 1 = event observed, 0 = censored.
    feature_names : tuple of str
        Name of each column of `X`.
    """

    X: np.ndarray
    event_time: np.ndarray
    event_indicator: np.ndarray
    feature_names: tuple[str, ...]


class SurvivalFrame(NamedTuple):
    """A data frame of covariates and the matching survival target, for the estimators.

    Parameters
    ----------
    X : pandas.DataFrame
        The covariates, categorical columns as `category` dtype.
    y : ndarray of shape (n,)
        Structured target: fields ("event", bool) and ("time", float64).
    """

    X: Any
    y: np.ndarray


# squamous is the reference level: a patient with all three indicators at 0 has it.
_VETERAN_CELL_TYPES = ("smallcell", "adeno", "large")

_VETERAN_FEATURES = (
    "trt",
    "karno",
    "diagtime",
    "age",
    "prior",
    *(f"celltype_{cell_type}" for cell_type in _VETERAN_CELL_TYPES),
)


def _veteran_features(row: dict[str, str]) -> list[float]:
    return [
        # 1 = test chemotherapy, 0 = standard; the source codes them 2 and 1.
        float(row["trt"] == "2"),
        float(row["karno"]),
        float(row["diagtime"]),
        float(row["age"]),
        # The source codes prior therapy as 10 = yes, 0 = no.
        float(row["prior"] == "10"),
        *(float(row["celltype"] == cell_type) for cell_type in _VETERAN_CELL_TYPES),
    ]


@overload
def load_veteran(*, as_frame: Literal[False] = ...) -> SurvivalDataset: ...
@overload
def load_veteran(*, as_frame: Literal[True]) -> SurvivalFrame: ...


def load_veteran(*, as_frame: bool = False) -> SurvivalDataset | SurvivalFrame:
    """Veterans' Administration lung cancer trial: 137 patients, 128 deaths.

    Times are days from randomisation. The eight covariates are `trt`
    (1 = test chemotherapy, 0 = standard), `karno` (Karnofsky performance
    score, 100 = good), `diagtime` (months from diagnosis to randomisation),
    `age` (years), `prior` (1 = prior therapy) and three indicators of the
    tumour's cell type, `celltype_smallcell`, `celltype_adeno` and
    `celltype_large` (all three 0 for squamous cells).

    Kalbfleisch & Prentice (1980), The Statistical Analysis of Failure Time
    Data, Wiley; see `korvane/data/README.md` for origin and licence.

    Parameters
    ----------
    as_frame : bool, default=False
        Return a `SurvivalFrame` instead: a pandas DataFrame of the six
        source covariates, `trt` ("standard"/"test"), `celltype` (four
        levels) and `prior` ("no"/"yes") as categories, `karno`, `diagtime`
        and `age` as integers, with the target as a structured array
        (`korvane.Surv`). Needs pandas.

    Returns
    -------
    SurvivalDataset or SurvivalFrame

    Examples
    --------
    >>> from korvane.datasets import load_veteran
    >>> X, y = load_veteran(as_frame=True)
    >>> X["celltype"].cat.categories.tolist(), y.dtype.names
    (['adeno', 'large', 'smallcell', 'squamous'], ('event', 'time'))
    """
    rows = _veteran_rows()
    if as_frame:
        return _veteran_frame(rows)
    return SurvivalDataset(
        X=np.asfortranarray([_veteran_features(row) for row in rows], dtype=np.float64),
        event_time=np.array([float(row["time"]) for row in rows], dtype=np.float64),
        event_indicator=np.array([int(row["status"]) for row in rows], dtype=np.uint8),
        feature_names=_VETERAN_FEATURES,
    )


def _veteran_rows() -> list[dict[str, str]]:
    source = resources.files("korvane") / "data" / "veteran.csv"
    with io.TextIOWrapper(source.open("rb"), encoding="utf-8", newline="") as stream:
        return list(csv.DictReader(stream))


def _veteran_frame(rows: list[dict[str, str]]) -> SurvivalFrame:
    import pandas as pd

    def category(values: list[str], levels: list[str]) -> Any:
        return pd.Categorical(values, categories=levels)

    X = pd.DataFrame(
        {
            "trt": category(["test" if row["trt"] == "2" else "standard" for row in rows], ["standard", "test"]),
            "celltype": category([row["celltype"] for row in rows], ["adeno", "large", "smallcell", "squamous"]),
            "karno": np.array([int(row["karno"]) for row in rows], dtype=np.int64),
            "diagtime": np.array([int(row["diagtime"]) for row in rows], dtype=np.int64),
            "age": np.array([int(row["age"]) for row in rows], dtype=np.int64),
            "prior": category(["yes" if row["prior"] == "10" else "no" for row in rows], ["no", "yes"]),
        }
    )
    y = Surv.from_arrays([row["status"] == "1" for row in rows], [float(row["time"]) for row in rows])
    return SurvivalFrame(X, y)
