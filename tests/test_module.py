import gc
import importlib.metadata
import importlib.util
import inspect
import sys
import threading
import time

import numpy as np
import pytest

import korvane
from korvane import _korvane_core as core

from conftest import fit_gradient_forest, fit_log_rank_forest, fit_tree, make_survival, model_outputs

# In registration order.
PUBLIC = "version fit_log_rank_tree fit_log_rank_forest fit_gradient_forest LogRankSurvivalTree LogRankSurvivalForest GradientForest".split()


def fitted_models():
    s = make_survival(n=30, p=3)
    return [fit_tree(s, min_samples_leaf=5), fit_log_rank_forest(s, n_trees=3), fit_gradient_forest(s, n_trees=3)]


def test_module_lists_the_seven_public_names_in_registration_order():
    assert core.__all__ == PUBLIC
    assert [name for name in vars(core) if name in PUBLIC] == PUBLIC
    assert core.__doc__ == ""
    assert {getattr(core, name).__module__ for name in PUBLIC} == {"korvane._korvane_core"}
    # The package re-exports the module's names first, then adds its own.
    assert korvane.__all__[: len(PUBLIC)] == PUBLIC and korvane.__version__ == importlib.metadata.version("korvane")


def test_version_takes_no_arguments():
    assert core.version() == importlib.metadata.version("korvane")
    assert core.version.__doc__.startswith("The version of korvane") and core.version.__text_signature__ == "()"
    with pytest.raises(TypeError, match=r"^version\(\) takes 0 positional arguments but 1 was given$"):
        core.version(1)


@pytest.mark.parametrize(
    ("function", "signature"),
    [
        (core.fit_log_rank_tree, "(X, event_time, event_indicator, *, min_samples_leaf=15, max_depth=None, max_features=None, honesty=False, honesty_fraction=0.5, seed=None)"),
        (core.fit_log_rank_forest, "(X, event_time, event_indicator, *, n_trees=100, min_samples_leaf=15, max_depth=None, max_features=None, bootstrap=True, subsample_fraction=1.0, honesty=False, honesty_fraction=0.5, seed=None)"),
        (core.fit_gradient_forest, "(X, pseudo_outcome, *, n_trees=500, min_samples_leaf=5, max_depth=None, max_features=None, bootstrap=False, subsample_fraction=0.5, honesty=True, honesty_fraction=0.5, seed=None)"),
        (core.LogRankSurvivalForest.predict_cumulative_hazard, "(self, /, X, times)"),
        (core.GradientForest.forest_weights_one, "(self, /, x)"),
    ],
)
def test_signatures_are_introspectable(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ and not function.__doc__.startswith(function.__name__)


# At these sizes moving any one default changes the model.
@pytest.mark.parametrize(("fit", "n"), [(core.fit_log_rank_tree, 30), (core.fit_log_rank_forest, 30), (core.fit_gradient_forest, 80)])
def test_omitted_settings_act_as_the_defaults_the_signature_shows(fit, n):
    s = make_survival(n=n, seed=1)
    parameters = inspect.signature(fit).parameters
    arrays = s if "event_time" in parameters else s[:2]
    defaults = {name: p.default for name, p in parameters.items() if p.kind is p.KEYWORD_ONLY}
    assert model_outputs(fit(*arrays), s.X) == model_outputs(fit(*arrays, **defaults), s.X)


def test_docstrings_read_as_written():
    # Assembled from pieces at compile time: the joins must neither drop nor double a character.
    assert core.fit_gradient_forest.__doc__.startswith(
        'Fit a partition-only ("gradient") forest on `(X, pseudo_outcome)`.\n\n'
        "Each tree uses variance-reduction splitting on the per-sample\n"
        "pseudo-outcome (no log-rank, no survival times). Predictions come\n"
        "through `GradientForest.forest_weights`, not per-leaf payloads.\n\n"
        "Parameters\n"
        "----------\n"
        "X : ndarray of float64, shape (n_samples, n_features)\n"
        "    Covariates, column-major: ``np.asfortranarray(X, dtype=np.float64)``.\n"
        "    Read in place, never copied; NaN is refused.\n"
        "pseudo_outcome : ndarray of float64, shape (n_samples,)\n"
    )
    assert core.fit_gradient_forest.__doc__.endswith("so the forest is identical whatever\nthe number of threads.\n")
    assert core.LogRankSurvivalForest.__doc__.startswith("Immutable handle to a fitted random survival forest.\n\n")


@pytest.mark.parametrize("model", fitted_models(), ids=lambda m: type(m).__name__)
def test_model_classes_are_closed_immutable_handles(model):
    cls = type(model)
    assert cls.__module__ == "korvane._korvane_core" and cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    properties = [v for v in vars(cls).values() if isinstance(v, type(cls.n_features))]
    assert properties and all(p.__doc__ == "" for p in properties)
    with pytest.raises(AttributeError):
        model.n_features = 3
    with pytest.raises(AttributeError):
        model.note = "x"
    with pytest.raises(TypeError):
        cls.extra = 1
    assert not hasattr(model, "__dict__") and "__weakref__" not in dir(cls) and not gc.is_tracked(model)


def test_classes_are_created_once_per_process():
    spec = importlib.util.find_spec("korvane._korvane_core")
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh is not core and fresh.__all__ == PUBLIC
    assert fresh.LogRankSurvivalTree is core.LogRankSurvivalTree
    assert fresh.PanicException is core.PanicException


def test_panic_exception_escapes_except_exception():
    assert core.PanicException.__bases__ == (BaseException,)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda X, t, e: core.fit_log_rank_tree(X, t), r"fit_log_rank_tree\(\) missing 1 required positional argument: 'event_indicator'$"),
        (lambda X, t, e: core.fit_log_rank_tree(X), r"missing 2 required positional arguments: 'event_time' and 'event_indicator'$"),
        (lambda X, t, e: core.fit_log_rank_tree(), r"missing 3 required positional arguments: 'X', 'event_time', and 'event_indicator'$"),
        (lambda X, t, e: core.fit_log_rank_tree(X, t, e, 15), r"takes 3 positional arguments but 4 were given$"),
        (lambda X, t, e: core.fit_log_rank_tree(X, t, e, min_leaf=3), r"got an unexpected keyword argument 'min_leaf'$"),
        (lambda X, t, e: core.fit_log_rank_tree(X, t, e, X=X), r"got multiple values for argument 'X'$"),
    ],
)
def test_argument_binding_errors_use_cpython_wording(survival, call, message):
    with pytest.raises(TypeError, match=message):
        call(*survival)


def test_arguments_bind_by_keyword(survival):
    X, t, e = survival
    tree = core.fit_log_rank_tree(event_indicator=e, X=X, event_time=t)
    assert np.array_equal(tree.predict_cumulative_hazard(times=t, X=X), tree.predict_cumulative_hazard(X, t))


def test_impossible_forest_size_raises_memory_error(survival):
    with pytest.raises(MemoryError):
        core.fit_log_rank_forest(*survival, n_trees=2**63)


def test_a_fit_lets_other_python_threads_run():
    rng = np.random.default_rng(1)
    X = np.asfortranarray(rng.normal(size=(4000, 10)))
    t, e = rng.exponential(size=4000), np.ones(4000, dtype=np.uint8)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.perf_counter()
        core.fit_log_rank_tree(X, t, e, min_samples_leaf=3)
        end = time.perf_counter()
    finally:
        done.set()
        ticker.join()
    margin = (end - start) / 4
    assert sum(start + margin < tick < end - margin for tick in ticks) >= 10


def test_repeated_calls_leak_no_references(survival):
    X, t, e = survival
    times = np.linspace(0, 20, 50)
    forest = core.fit_log_rank_forest(X, t, e, n_trees=2)
    buffer_type = type(forest.forest_weights(X).base)
    watched = [X, t, e, times, forest, core.LogRankSurvivalTree, core.LogRankSurvivalForest, buffer_type]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        core.fit_log_rank_tree(X, t, e).predict_cumulative_hazard(X, times)
        forest.forest_weights(X)
        forest.forest_weights_one(X[0])
        core.fit_log_rank_forest(X, t, e, n_trees=1)
        with pytest.raises(ValueError):
            forest.predict_cumulative_hazard(X[:, :2], times)
        with pytest.raises(TypeError):
            core.fit_log_rank_tree(X, t, e, seed="x")
    assert [sys.getrefcount(o) for o in watched] == before
