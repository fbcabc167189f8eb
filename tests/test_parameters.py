"""Parameters checked as scikit-learn checks them (scikit-survival's ranges for
the parameters it shares), scikit-survival's tree settings, and n_jobs counted
as joblib counts it."""

import joblib
import numpy as np
import pytest
from estimator_data import make_data
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.utils._param_validation import InvalidParameterError

from korvane import _korvane_core as core
from korvane import (
    CausalForest,
    CausalSurvivalForest,
    QuantileForest,
    RandomSurvivalForest,
    RegressionForest,
    SurvivalTree,
    ensemble,
)
from korvane._cluster import local_threads


def _survival_fit(make):
    X, y = make_data(n=60)
    return lambda **params: make(**params).fit(X, y)


def _effect_fit(make, **fixed):
    rng = np.random.default_rng(0)
    X, y, w = rng.normal(size=(60, 3)), rng.normal(size=60), rng.integers(0, 2, 60).astype(float)
    arguments = {CausalForest: (X, y, w), CausalSurvivalForest: (X, make_data(n=60)[1], w)}.get(make, (X, y))
    return lambda **params: make(**fixed, **params).fit(*arguments)


FITS = {
    "RandomSurvivalForest": _survival_fit(RandomSurvivalForest),
    "SurvivalTree": _survival_fit(SurvivalTree),
    "RegressionForest": _effect_fit(RegressionForest),
    "QuantileForest": _effect_fit(QuantileForest),
    "CausalForest": _effect_fit(CausalForest),
    "CausalSurvivalForest": _effect_fit(CausalSurvivalForest, horizon=1.0),
}


# The survival estimators' parameters that scikit-survival shares are compared
# with its messages below; these are the rest.
@pytest.mark.parametrize(
    ("estimator", "params", "expected"),
    [
        ("RandomSurvivalForest", {"random_state": "seed"}, r"'random_state' .*RandomState' or None or an instance of .*Generator'"),
        ("SurvivalTree", {"honesty_fraction": 1.0}, r"'honesty_fraction' .* a float in the range \(0.0, 1.0\)"),
        ("RegressionForest", {"min_samples_leaf": 1.0}, r"'min_samples_leaf' .* \(0.0, 1.0\)"),
        ("RegressionForest", {"max_samples": 1.5}, r"'max_samples' parameter of RegressionForest .* \(0.0, 1.0\]"),
        ("QuantileForest", {"quantiles": "median"}, r"'quantiles' parameter of QuantileForest must be an array-like"),
        ("QuantileForest", {"honesty": None}, r"'honesty' parameter of QuantileForest must be an instance of 'bool'"),
        ("CausalForest", {"min_side_samples": -1}, r"'min_side_samples' .* an int in the range \[0, inf\)"),
        ("CausalForest", {"nuisance_estimators": 0}, r"'nuisance_estimators' .* \[1, inf\) or None"),
        ("CausalSurvivalForest", {"min_child_fraction": -0.1}, r"'min_child_fraction' .* \[0.0, 0.5\)"),
        ("CausalSurvivalForest", {"target": "RMTS"}, r"'target' .* a str among \{.*'RMST'.*\}"),
    ],
)
def test_bad_parameters_raise_scikit_learns_error_naming_them(estimator, params, expected):
    # scikit-learn's error is both a ValueError and a TypeError, whichever callers catch.
    for caught in (ValueError, TypeError):
        with pytest.raises(caught, match=f"^The {expected}") as raised:
            FITS[estimator](**params)
        assert raised.type is InvalidParameterError
        assert f"parameter of {estimator} must be" in str(raised.value)


SHARED_WITH_SCIKIT_SURVIVAL = [
    ("min_samples_leaf", [0, 1, 0.5, 0.51, 1.0, True]),
    ("min_samples_split", [1, 2, 0.99, 1.0, 0.0]),
    ("min_weight_fraction_leaf", [-0.1, 0.0, 0.5, 0.51, 1]),
    ("max_leaf_nodes", [None, 1, 2, 2.0]),
    ("max_features", [None, "sqrt", "log2", "auto", 0, 1.0, 1.01]),
    ("max_depth", [None, 0, 1, 1.5]),
    ("low_memory", [True, 1, None]),
    # korvane also takes a Generator, so its message differs: only what both take is compared.
    ("random_state", [None, 3, np.random.RandomState(0)]),
]
FOREST_ONLY = [
    ("n_estimators", [0, 1, 1.0]),
    ("max_samples", [None, 0.0, 0.5, 1.5, 1, 0, "all"]),
    ("oob_score", [True, "yes", len]),
    ("n_jobs", [None, -1, 0, 1.0]),
    ("verbose", [0, 2, True, "loud"]),
    ("warm_start", [False, 0]),
    ("bootstrap", [True, np.True_, "no"]),
]


@pytest.mark.parametrize(
    ("ours", "theirs", "name", "value"),
    [
        (korvane_class, f"sksurv.{module}.{korvane_class.__name__}", name, value)
        for korvane_class, module, shared in [
            (RandomSurvivalForest, "ensemble", SHARED_WITH_SCIKIT_SURVIVAL + FOREST_ONLY),
            (SurvivalTree, "tree", SHARED_WITH_SCIKIT_SURVIVAL),
        ]
        for name, values in shared
        for value in values
    ],
)
def test_shared_parameters_are_refused_exactly_where_scikit_survival_refuses_them(ours, theirs, name, value):
    module_name, class_name = theirs.rsplit(".", 1)
    # The constraints held to are those of the release pinned for the tests;
    # older ones (0.25, the newest for Python 3.10) bound max_samples otherwise.
    pytest.importorskip("sksurv", minversion="0.28")
    theirs = getattr(pytest.importorskip(module_name), class_name)
    outcomes = []
    for estimator in (ours(), theirs()):
        try:
            estimator.set_params(**{name: value})._validate_params()
            outcomes.append(None)
        except InvalidParameterError as error:
            outcomes.append(str(error))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize(
    ("params", "expected"),
    [
        ({}, {"min_samples_split": 6, "max_leaf_nodes": None, "min_weight_fraction_leaf": 0.0}),
        (
            {"min_samples_split": 0.1, "max_leaf_nodes": np.int64(8), "min_weight_fraction_leaf": 0.25},
            {"min_samples_split": 15, "max_leaf_nodes": 8, "min_weight_fraction_leaf": 0.25},
        ),
        # A fraction rounds up, to at least 2, as in scikit-learn.
        (
            {"min_samples_split": 0.001, "min_weight_fraction_leaf": 0},
            {"min_samples_split": 2, "min_weight_fraction_leaf": 0.0},
        ),
        ({"min_samples_split": np.int32(9)}, {"min_samples_split": 9}),
    ],
)
@pytest.mark.parametrize(
    ("make", "entry"), [(RandomSurvivalForest, "_grow_log_rank_forest"), (SurvivalTree, "_grow_log_rank_tree")]
)
def test_scikit_survivals_tree_settings_reach_the_core_resolved(monkeypatch, make, entry, params, expected):
    received = {}

    class Grown(Exception):
        pass

    def grow(*arrays, **settings):
        received.update(settings)
        raise Grown

    monkeypatch.setattr(core, entry, grow)
    X, y = make_data()
    with pytest.raises(Grown):
        make(**params).fit(X, y)
    assert {name: received[name] for name in expected} == expected
    assert all(type(received[name]) is type(value) for name, value in expected.items())


@pytest.mark.parametrize(
    ("params", "most_leaves"),
    [
        ({"max_leaf_nodes": 4}, 4),
        ({"min_samples_split": 0.99}, 2),
        ({"min_samples_split": 151}, 1),
        ({"min_weight_fraction_leaf": 0.5}, 2),
    ],
)
def test_scikit_survivals_tree_limits_bound_the_leaves(params, most_leaves):
    X, y = make_data()
    leaves = [len(np.unique(SurvivalTree(min_samples_leaf=1, **p).fit(X, y).apply(X))) for p in ({}, params)]
    assert leaves[0] > most_leaves >= leaves[1]


@pytest.mark.parametrize("make", [RandomSurvivalForest, SurvivalTree])
@pytest.mark.parametrize("leaf", [1, 2])
def test_small_leaves_fit_with_the_default_min_samples_split(make, leaf):
    X, y = make_data()
    model = make(min_samples_leaf=leaf, random_state=0).fit(X, y)
    assert np.isfinite(model.predict(X)).all()


def test_grid_search_over_min_samples_leaf_fits_every_candidate():
    X, y = make_data()
    search = GridSearchCV(
        RandomSurvivalForest(n_estimators=10, random_state=0),
        {"min_samples_leaf": [1, 2, 5, 15]},
        cv=KFold(3, shuffle=True, random_state=0),
        error_score="raise",
    ).fit(X, y)
    assert np.isfinite(search.cv_results_["mean_test_score"]).all()


@pytest.mark.parametrize("make", [RandomSurvivalForest, SurvivalTree])
def test_low_memory_changes_no_prediction(make):
    X, y = make_data()
    plain = make(random_state=0).fit(X, y)
    light = make(random_state=0, low_memory=True).fit(X, y)
    np.testing.assert_array_equal(
        light.predict_survival_function(X, return_array=True), plain.predict_survival_function(X, return_array=True)
    )


class _Cluster(joblib.parallel.ParallelBackendBase):
    """A backend whose workers are elsewhere: it reports their 64 threads."""

    def effective_n_jobs(self, n_jobs):
        return 64

    def configure(self, n_jobs=1, parallel=None, **kwargs):
        return 64

    def apply_async(self, func, callback=None):
        raise AssertionError("only counted, never run")

    def submit(self, func, callback=None):
        raise AssertionError("only counted, never run")


CORES = joblib.cpu_count()


@pytest.mark.parametrize(
    ("n_jobs", "context", "expected"),
    [
        (None, {}, 1),
        (1, {}, 1),
        (3, {}, 3),
        (-1, {}, CORES),
        (-2, {}, max(1, CORES - 1)),
        (-10_000, {}, 1),
        (None, {"n_jobs": -1}, CORES),
        (None, {"backend": "threading", "n_jobs": 3}, 3),
        (2, {"n_jobs": -1}, 2),
        (-1, {"backend": "sequential"}, 1),
        # The parts of a fit that run here count this machine's cores, not the cluster's.
        (None, {"backend": "korvane-test-cluster"}, 1),
        (-1, {"backend": "korvane-test-cluster"}, CORES),
    ],
)
def test_n_jobs_counts_threads_as_joblib_does(n_jobs, context, expected):
    joblib.register_parallel_backend("korvane-test-cluster", _Cluster)
    with joblib.parallel_config(**context):
        assert local_threads(n_jobs) == expected


def test_a_forest_fit_uses_the_threads_a_joblib_context_asks_for(monkeypatch):
    asked = []
    grow = ensemble.grow_forest

    def recording(job, trees, n_threads, *rest):
        asked.append(n_threads)
        return grow(job, trees, n_threads, *rest)

    monkeypatch.setattr(ensemble, "grow_forest", recording)
    X, y = make_data()
    plain = RandomSurvivalForest(n_estimators=6, random_state=0).fit(X, y)
    with joblib.parallel_config(n_jobs=2):
        in_context = RandomSurvivalForest(n_estimators=6, random_state=0).fit(X, y)
    assert asked == [1, 2]
    np.testing.assert_array_equal(plain.predict(X), in_context.predict(X))
