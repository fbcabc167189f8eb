"""Exact, fast, reproducible survival trees and forests for right-censored data."""

from korvane._korvane_core import (
    GradientForest,
    LogRankSurvivalForest,
    LogRankSurvivalTree,
    fit_gradient_forest,
    fit_log_rank_forest,
    fit_log_rank_tree,
    version,
)
from korvane.causal_survival import CausalSurvivalForest
from korvane.effects import CausalForest, QuantileForest, RegressionForest
from korvane.ensemble import RandomSurvivalForest
from korvane.functions import StepFunction
from korvane.surv import Surv
from korvane.tree import SurvivalTree
from korvane.persistence import from_bytes, load, save, to_bytes
from korvane.persistence import _register as _register_persistence

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
