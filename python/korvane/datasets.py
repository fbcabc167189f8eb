"""Small real survival datasets shipped with the package, ready for the fit functions."""

import csv
from importlib import resources
from typing import NamedTuple

import numpy as np

__all__ = ["SurvivalDataset", "load_veteran"]


class SurvivalDataset(NamedTuple):
    """Arrays in the form the fit functions take without copying."""

    X: np.ndarray
    """(n, p) float64 covariates, column-major."""
    event_time: np.ndarray
    """(n,) float64 event or censoring times."""
    event_indicator: np.ndarray
    """(n,) uint8, 1 = event observed, 0 = censored."""
    feature_names: tuple[str, ...]
    """Name of each column of `X`."""


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


def load_veteran() -> SurvivalDataset:
    """Veterans' Administration lung cancer trial: 137 patients, 128 deaths.

    Times are days from randomisation. The eight covariates are `trt`
    (1 = test chemotherapy, 0 = standard), `karno` (Karnofsky performance
    score, 100 = good), `diagtime` (months from diagnosis to randomisation),
    `age` (years), `prior` (1 = prior therapy) and three indicators of the
    tumour's cell type, `celltype_smallcell`, `celltype_adeno` and
    `celltype_large` (all three 0 for squamous cells).

    Kalbfleisch & Prentice (1980), The Statistical Analysis of Failure Time
    Data, Wiley; see `korvane/data/README.md` for origin and licence.
    """
    source = resources.files("korvane").joinpath("data", "veteran.csv")
    with source.open("r", encoding="utf-8", newline="") as stream:
        rows = list(csv.DictReader(stream))
    return SurvivalDataset(
        X=np.asfortranarray([_veteran_features(row) for row in rows], dtype=np.float64),
        event_time=np.array([float(row["time"]) for row in rows], dtype=np.float64),
        event_indicator=np.array([int(row["status"]) for row in rows], dtype=np.uint8),
        feature_names=_VETERAN_FEATURES,
    )
