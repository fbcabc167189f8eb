"""Score predicted survival curves over time on held-out patients.

Harrell's C judges only the order of the risk scores. The Brier score judges
the predicted probabilities themselves at each time, and the cumulative/dynamic
AUC how well the risk separates the patients who die by each time from those
who live past it. Both weight patients by the inverse probability of their
censoring, estimated on the training target.
"""

import numpy as np
from sklearn.model_selection import train_test_split

from korvane import RandomSurvivalForest, Surv
from korvane.datasets import load_veteran
from korvane.metrics import (
    brier_score,
    concordance_index_censored,
    concordance_index_ipcw,
    cumulative_dynamic_auc,
    integrated_brier_score,
)

data = load_veteran()
y = Surv.from_arrays(data.event_indicator, data.event_time)
X_train, X_test, y_train, y_test = train_test_split(data.X, y, test_size=0.3, random_state=0)
forest = RandomSurvivalForest(n_estimators=300, min_samples_leaf=10, random_state=0).fit(X_train, y_train)
risk = forest.predict(X_test)

harrell = concordance_index_censored(y_test["event"], y_test["time"], risk)[0]
uno = concordance_index_ipcw(y_train, y_test, risk)[0]
print(f"Harrell's C {harrell:.3f}, Uno's C {uno:.3f}")

# Times inside the held-out follow-up, where the censoring estimate is positive.
times = np.array([30.0, 60.0, 90.0, 180.0, 270.0])
times = times[(times >= y_test["time"].min()) & (times < y_test["time"].max())]
curves = forest.predict_survival_function(X_test)
survival = np.array([curve(times) for curve in curves])  # (patients, times)

times, scores = brier_score(y_train, y_test, survival, times)
for t, score in zip(times, scores):
    print(f"Brier score at day {t:3.0f}: {score:.3f}")
print(f"integrated Brier score: {integrated_brier_score(y_train, y_test, survival, times):.3f}")

auc, mean_auc = cumulative_dynamic_auc(y_train, y_test, risk, times)
print("time-dependent AUC:", np.round(auc, 3), f"mean {mean_auc:.3f}")
