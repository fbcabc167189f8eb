"""scikit-survival code runs unchanged once its imports name korvane's modules.

The same script runs twice, once under each set of imports; what it prints
must have the same shape (the numbers differ within what the differences
page explains).
"""

import numpy as np
import pytest

pytest.importorskip("sksurv")

IMPORTS = {
    "sksurv": """
from sksurv.ensemble import RandomSurvivalForest
from sksurv.tree import SurvivalTree
from sksurv.util import Surv
from sksurv.exceptions import NoComparablePairException
from sksurv.metrics import (concordance_index_censored, concordance_index_ipcw, brier_score,
                            integrated_brier_score, cumulative_dynamic_auc)
""",
    "korvane": """
from korvane import RandomSurvivalForest, SurvivalTree, Surv
from korvane.exceptions import NoComparablePairException
from korvane.metrics import (concordance_index_censored, concordance_index_ipcw, brier_score,
                             integrated_brier_score, cumulative_dynamic_auc)
""",
}

# Written as a scikit-survival user writes it: a frame with categorical
# columns, the usual parameter pairs, NumPy methods on the metrics' results.
SCRIPT = """
import numpy as np
from sklearn.model_selection import GridSearchCV, train_test_split
from sksurv.datasets import load_whas500

X, y = load_whas500()
X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=0)
forest = RandomSurvivalForest(n_estimators=10, min_samples_split=10, min_samples_leaf=3, n_jobs=-1,
                              random_state=0).fit(X_train, y_train)
out["c"] = forest.score(X_test, y_test)
out["grid"] = (len(forest.unique_times_), int(forest.is_event_time_.sum()))
out["curves"] = forest.predict_survival_function(X_test.iloc[:3], return_array=True).shape
functions = forest.predict_survival_function(X_test)
out["x"] = functions[0].x.shape
out["trees"] = (len(forest.estimators_), forest.estimators_[0].tree_.node_count > 0)
risk = forest.predict(X_test)
out["harrell"] = concordance_index_censored(y_test["fstat"], y_test["lenfol"], risk)[0].round(3)
out["uno"] = concordance_index_ipcw(y_train, y_test, risk)[0].round(3)
times = np.percentile(y_test["lenfol"], [25, 50, 74])
estimates = np.asarray([[f(t) for t in times] for f in functions])
out["brier"] = brier_score(y_train, y_test, estimates, times)[1].shape
out["ibs"] = integrated_brier_score(y_train, y_test, estimates, times).round(3)
out["auc"] = cumulative_dynamic_auc(y_train, y_test, risk, times)[0].shape
search = GridSearchCV(RandomSurvivalForest(n_estimators=5, random_state=0),
                      {"min_samples_leaf": [1, 2, 5, 15], "max_leaf_nodes": [None, 8]}, cv=2)
out["search"] = np.isfinite(search.fit(X_train, y_train).cv_results_["mean_test_score"]).all()
tree = SurvivalTree(max_depth=3, min_samples_leaf=10, max_leaf_nodes=6,
                    min_weight_fraction_leaf=0.01).fit(X_train, y_train)
out["tree"] = (tree.tree_.n_leaves <= 6, tree.decision_path(X_test).shape[0])
try:
    concordance_index_censored(np.array([False, False, True]), np.arange(3.0), np.arange(3.0))
except NoComparablePairException:
    out["no pairs"] = "raised"
"""


def run(library):
    out = {}
    exec(IMPORTS[library] + SCRIPT, {"out": out})
    return out


def test_scikit_survival_code_runs_unchanged_with_korvanes_names():
    ours, theirs = run("korvane"), run("sksurv")
    assert ours.keys() == theirs.keys()
    for name in ("grid", "curves", "x", "trees", "brier", "auc", "search", "tree", "no pairs"):
        assert ours[name] == theirs[name], name
    for name in ("c", "harrell", "uno", "ibs"):
        assert type(ours[name]) is type(theirs[name]), name
        assert abs(ours[name] - theirs[name]) < 0.05, name
