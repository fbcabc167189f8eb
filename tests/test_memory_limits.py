"""Sizes that cannot fit raise MemoryError before anything is allocated: a
product that would wrap around, or more bytes than the process can have."""

import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from conftest import fit_gradient_forest, fit_log_rank_forest, fit_tree, make_survival

NEEDS = r"needs (more than )?\d+ bytes, more than the \d+ bytes of memory this process can have"


def broadcast_rows(n_rows, n_features):
    """n_rows copies of one row, without the memory: every row has stride 0."""
    return as_strided(np.zeros(n_features), shape=(n_rows, n_features), strides=(0, 8))


@pytest.fixture(scope="module")
def models():
    s = make_survival(n=60, p=1)
    return {"tree": fit_tree(s), "log_rank": fit_log_rank_forest(s, n_trees=4), "gradient": fit_gradient_forest(s, n_trees=4)}


# 2**58 rows × 64 times is 2**64 elements: the old size computation wrapped to 0.
@pytest.mark.parametrize("n_rows", [2**58, 2**40, 2**32 + 1])
@pytest.mark.parametrize("model", ["tree", "log_rank"])
def test_hazard_of_too_many_query_rows_raises_memory_error(models, model, n_rows):
    with pytest.raises(MemoryError, match=rf"^a cumulative hazard of {n_rows} rows at 64 times {NEEDS}$"):
        models[model].predict_cumulative_hazard(broadcast_rows(n_rows, 1), np.arange(64.0))


@pytest.mark.parametrize("n_rows", [2**58, 2**30])
@pytest.mark.parametrize("model", ["log_rank", "gradient"])
def test_weights_of_too_many_query_rows_raise_memory_error(models, model, n_rows):
    with pytest.raises(MemoryError, match=rf"^a forest-weight matrix of {n_rows} query rows over 60 training rows {NEEDS}$"):
        models[model].forest_weights(broadcast_rows(n_rows, 1))


@pytest.mark.parametrize("fit", [fit_log_rank_forest, fit_gradient_forest])
@pytest.mark.parametrize("n_trees", [10**8, 2**40, 2**63])
def test_forest_too_large_for_memory_raises_before_growing_a_tree(fit, n_trees):
    started = time.monotonic()
    with pytest.raises(MemoryError, match=rf"^a forest of {n_trees} trees on 60 rows {NEEDS}$"):
        fit(make_survival(n=60), n_trees=n_trees)
    # Nothing was allocated or filled: 10**8 trees would take seconds to record.
    assert time.monotonic() - started < 5.0


def test_a_size_within_memory_still_succeeds(models):
    hazard = models["log_rank"].predict_cumulative_hazard(broadcast_rows(1000, 1), np.arange(64.0))
    assert hazard.shape == (1000, 64) and (hazard == hazard[0]).all()
