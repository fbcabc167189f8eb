"""Predict and draw survival curves for patients of the veteran trial.

Each prediction is a step function of time: call it at any times, or ask for
the values at the training event times as an array. The curves of the
patients with the lowest and highest predicted risk are drawn to
`survival_curves.png`.
"""

import matplotlib

matplotlib.use("Agg")  # draw to a file, with no display needed
import matplotlib.pyplot as plt
import numpy as np

from korvane import RandomSurvivalForest, Surv
from korvane.datasets import load_veteran
from korvane.plotting import plot_step_functions

data = load_veteran()
y = Surv.from_arrays(data.event_indicator, data.event_time)
forest = RandomSurvivalForest(n_estimators=200, min_samples_leaf=10, random_state=0).fit(data.X, y)

risk = forest.predict(data.X)
lowest, highest = np.argmin(risk), np.argmax(risk)
curves = forest.predict_survival_function(data.X[[lowest, highest]])

# A curve is 1 before the first death and steps down at the training death times.
days = [30.0, 90.0, 180.0, 365.0]
for name, curve in zip(["lowest risk", "highest risk"], curves):
    print(f"{name}: S(t) at {days} days = {np.round(curve(days), 3)}")

# The same values on the grid of training death times, one row per patient.
grid = forest.predict_survival_function(data.X[[lowest, highest]], return_array=True)
assert grid.shape == (2, len(forest.unique_times_))
assert np.allclose(grid[0], curves[0](forest.unique_times_))

fig, ax = plt.subplots(figsize=(6, 4))
plot_step_functions(curves, ax=ax, labels=["lowest predicted risk", "highest predicted risk"])
ax.set_xlabel("days since randomisation")
ax.set_ylabel("predicted survival S(t)")
fig.savefig("survival_curves.png", dpi=100)
print("curves written to survival_curves.png")
