from typing import NamedTuple

import numpy as np
import pytest

from korvane import _korvane_core as core


class Survival(NamedTuple):
    X: np.ndarray
    event_time: np.ndarray
    event_indicator: np.ndarray


def make_survival(n=80, p=4, seed=0):
    """Column-major covariates with a signal in column 0, tied times and a few
    indicator bytes of 2 (censored, like 0)."""
    rng = np.random.default_rng(seed)
    X = np.asfortranarray(rng.normal(size=(n, p)))
    event_time = np.round(rng.exponential(np.exp(-X[:, 0])) * 10) + 1.0
    event_indicator = rng.choice(np.array([0, 1, 1, 2], dtype=np.uint8), size=n)
    return Survival(X, event_time, event_indicator)


@pytest.fixture
def survival():
    return make_survival()


def fit_tree(s, **settings):
    return core.fit_log_rank_tree(*s, **settings)


def fit_log_rank_forest(s, **settings):
    return core.fit_log_rank_forest(*s, **settings)


def fit_gradient_forest(s, **settings):
    """Grown on the centred times as pseudo-outcomes."""
    return core.fit_gradient_forest(s.X, s.event_time - s.event_time.mean(), **settings)


FITS = [pytest.param(fit_tree, id="tree")]
FOREST_FITS = [
    pytest.param(fit_log_rank_forest, id="log_rank"),
    pytest.param(fit_gradient_forest, id="gradient"),
]
FITS += FOREST_FITS


def model_outputs(model, X):
    """Everything a model tells about itself and about `X`, as bytes."""
    answers = [repr(model).encode()]
    if hasattr(model, "predict_cumulative_hazard"):
        answers.append(model.predict_cumulative_hazard(X, np.arange(30.0)).tobytes())
    if hasattr(model, "forest_weights"):
        answers.append(model.forest_weights(X).tobytes())
    return b"".join(answers)
