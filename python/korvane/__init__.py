"""Exact, fast, reproducible survival trees and forests for right-censored data."""

import importlib
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


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
    elif name.startswith("__"):
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    else:
        # The submodules the estimators import (metrics, ensemble, ...) were
        # attributes of the package right after `import korvane`; they still are.
        # Others (dask, plotting, datasets) need their own import, as before.
        for module in sorted(set(_LAZY.values())):
            importlib.import_module(module)
        if name not in globals():
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = globals()[name]
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
