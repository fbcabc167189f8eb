"""Exact, fast, reproducible survival trees and forests for right-censored data."""

import importlib.util
from typing import TYPE_CHECKING, Any

from korvane._korvane_core import (
    GradientForest,
    LogRankSurvivalForest,
    LogRankSurvivalTree,
    fit_gradient_forest,
    fit_log_rank_forest,
    fit_log_rank_tree,
    version,
)
from korvane.functions import StepFunction
from korvane.persistence import from_bytes, load, save, to_bytes
from korvane.persistence import _register as _register_persistence

if TYPE_CHECKING:
    from korvane.causal_survival import CausalSurvivalForest
    from korvane.effects import CausalForest, QuantileForest, RegressionForest
    from korvane.ensemble import RandomSurvivalForest
    from korvane.surv import Surv
    from korvane.tree import SurvivalTree

# The estimators stand on scikit-learn, whose import (with SciPy's) costs about
# 150 MB and a second; a program that calls only the core functions above, or
# loads a saved model, should not pay for it. They and the submodules are
# imported on first use instead.
_LAZY = {
    "CausalSurvivalForest": "korvane.causal_survival",
    "CausalForest": "korvane.effects",
    "QuantileForest": "korvane.effects",
    "RegressionForest": "korvane.effects",
    "RandomSurvivalForest": "korvane.ensemble",
    "Surv": "korvane.surv",
    "SurvivalTree": "korvane.tree",
}


# Submodules on optional libraries were never attributes before their own import.
_OWN_IMPORT = ("dask", "plotting", "datasets")


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
    elif (
        not name.startswith("__")
        and name not in _OWN_IMPORT
        and importlib.util.find_spec(f"{__name__}.{name}") is not None
    ):
        value = importlib.import_module(f"{__name__}.{name}")
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


__all__ = [
    "version",
    "fit_log_rank_tree",
    "fit_log_rank_forest",
    "fit_gradient_forest",
    "LogRankSurvivalTree",
    "LogRankSurvivalForest",
    "GradientForest",
    "RandomSurvivalForest",
    "CausalSurvivalForest",
    "SurvivalTree",
    "RegressionForest",
    "QuantileForest",
    "CausalForest",
    "Surv",
    "StepFunction",
    "save",
    "load",
    "to_bytes",
    "from_bytes",
]
__version__ = version()
_register_persistence()
