"""Use the compiled functions directly, on the arrays they read in place.

`load_veteran()` returns the arrays in the form the fit functions take
without copying: column-major float64 covariates, float64 times and uint8
event indicators (1 = event).
"""

import numpy as np

import korvane
from korvane.datasets import load_veteran

data = load_veteran()
forest = korvane.fit_log_rank_forest(
    data.X, data.event_time, data.event_indicator, n_trees=200, min_samples_leaf=10, seed=7
)
print(f"{forest.n_trees} trees on {forest.n_train_samples} patients and {forest.n_features} covariates")

# Query rows must be column-major float64 as well.
patients = np.asfortranarray(data.X[:3])
times = np.array([30.0, 90.0, 180.0])
hazard = forest.predict_cumulative_hazard(patients, times)  # shape (3 patients, 3 times)
print("S(t) at 30, 90, 180 days:")
print(np.round(np.exp(-hazard), 3))

# Forest weights: how much each training patient counts for a query patient.
weights = forest.forest_weights(patients)
assert weights.shape == (3, len(data.event_time)) and np.allclose(weights.sum(axis=1), 1.0)
print("training patients weighing most for patient 0:", np.argsort(weights[0])[::-1][:5])
