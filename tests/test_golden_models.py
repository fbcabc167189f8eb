"""Five small models fitted by an independent implementation, with their exact
outputs (core/tests/data/models.json). Floats are shortest round-trip decimals,
so every comparison is bit for bit."""

import ast
import json
from pathlib import Path

import numpy as np
import pytest

from korvane import _korvane_core as core

MODELS = json.loads((Path(__file__).parents[1] / "core/tests/data/models.json").read_text())


def arrays():
    return {
        "X": np.asfortranarray(MODELS["X_rows"], dtype=np.float64),
        "event_time": np.array(MODELS["event_time"], dtype=np.float64),
        "event_indicator": np.array(MODELS["event_indicator"], dtype=np.uint8),
        "pseudo_outcome": np.array(MODELS["pseudo_outcome"], dtype=np.float64),
    }


def fit(call):
    """Runs a recorded call such as "fit_log_rank_tree(X, event_time, ..., seed=11)"."""
    expression = ast.parse(call, mode="eval").body
    given = arrays()
    positional = [given[argument.id] for argument in expression.args]
    keywords = {k.arg: ast.literal_eval(k.value) for k in expression.keywords}
    return getattr(core, expression.func.id)(*positional, **keywords)


def exact(recorded):
    return np.array(json.loads(recorded) if isinstance(recorded, str) else recorded, dtype=np.float64)


@pytest.mark.parametrize("case", MODELS["cases"], ids=lambda case: case["name"])
def test_recorded_model_is_reproduced_bit_for_bit(case):
    model = fit(case["call"])
    for name in ("n_nodes", "n_leaves", "depth", "n_trees", "n_train_samples"):
        if name in case:
            assert getattr(model, name) == int(case[name]), name
    query = np.asfortranarray(MODELS["query_rows"], dtype=np.float64)
    times = np.array(MODELS["times"], dtype=np.float64)
    if "predict_cumulative_hazard" in case:
        expected = exact(case["predict_cumulative_hazard"])
        assert model.predict_cumulative_hazard(query, times).tobytes() == expected.tobytes()
    if "forest_weights" in case:
        expected = exact(case["forest_weights"])
        assert model.forest_weights(query).tobytes() == expected.tobytes()
        assert model.forest_weights_one(query[3]).tobytes() == expected[3].tobytes()
