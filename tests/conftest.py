from typing import NamedTuple

import numpy as np
import pytest


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
