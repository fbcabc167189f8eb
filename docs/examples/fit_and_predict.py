"""Fit a random survival forest on the veteran lung cancer trial and predict.

Holds out a quarter of the patients, fits on the rest, and reports Harrell's
C on the held-out patients and their predicted median survival.
"""

import numpy as np
from sklearn.model_selection import train_test_split

from korvane import RandomSurvivalForest, Surv
from korvane.datasets import load_veteran

data = load_veteran()
y = Surv.from_arrays(data.event_indicator, data.event_time)
X_train, X_test, y_train, y_test = train_test_split(data.X, y, test_size=0.25, random_state=0)

forest = RandomSurvivalForest(n_estimators=300, min_samples_leaf=10, random_state=0)
forest.fit(X_train, y_train)

# A higher risk score means an earlier expected death.
risk = forest.predict(X_test)
print(f"Harrell's C on {len(y_test)} held-out patients: {forest.score(X_test, y_test):.3f}")

median_days = forest.predict_median_survival_time(X_test[:5])
for patient, (score, days) in enumerate(zip(risk[:5], median_days)):
    print(f"patient {patient}: risk {score:7.1f}, predicted median survival {days:5.0f} days")

# The same integer random_state gives the same forest, to the last bit.
again = RandomSurvivalForest(n_estimators=300, min_samples_leaf=10, random_state=0).fit(X_train, y_train)
assert np.array_equal(again.predict(X_test), risk)
