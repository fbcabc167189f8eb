"""Data shared by the estimator tests: a survival set with a signal, as arrays
and as a frame with categorical columns."""

import numpy as np

from korvane import RandomSurvivalForest, Surv, SurvivalTree


def make_data(n=150, p=4, seed=0):
    """Column 0 drives the hazard; times are rounded so that some tie."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    time = np.round(rng.exponential(np.exp(-1.5 * X[:, 0])) * 20) + 1.0
    event = rng.random(n) < 0.75
    return X, Surv.from_arrays(event, time)


def make_frame(n=150, seed=0):
    """A frame like a clinical table: numeric columns and two categorical ones."""
    pd = __import__("pytest").importorskip("pandas")
    X, y = make_data(n, 3, seed)
    rng = np.random.default_rng(seed + 1)
    frame = pd.DataFrame(
        {
            "age": np.round(50 + 10 * X[:, 0]).astype(np.int64),
            "size": X[:, 1],
            "grade": pd.Categorical(rng.choice(["I", "II", "III"], size=n)),
            "menopause": rng.choice(["pre", "post"], size=n).astype(object),
            "positive": X[:, 2] > 0,
        }
    )
    return frame, y


ESTIMATORS = {
    "forest": lambda **kw: RandomSurvivalForest(n_estimators=12, random_state=0, **kw),
    "tree": lambda **kw: SurvivalTree(random_state=0, **kw),
}
