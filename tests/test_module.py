import gc
import importlib.metadata
import importlib.util
import inspect
import operator
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
    assert core.version.__doc__ is None and core.version.__text_signature__ == "()"
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


# The extension's documented docstrings, word for word: the text signature
# CPython reads from the first line, then the text after the "--" line (None
# when nothing follows it). Classes carry no signature.
DOCUMENTED_DOCSTRINGS = {
    "version": ("()", None),
    "fit_log_rank_tree": (
        "(X, event_time, event_indicator, *, min_samples_leaf=15, max_depth=None, max_features=None, honesty=False, honesty_fraction=0.5, seed=None)",
        "Fit a single log-rank survival tree.\n\n"
        "When `honesty=True`, the training samples are shuffled and split into a\n"
        "splitting set (drives the log-rank score at each node) and an estimation\n"
        "set (drives the Nelson-Aalen leaf hazard). See Wager & Athey (2018) and\n"
        "Athey, Tibshirani & Wager (2019) on honest trees.",
    ),
    "fit_log_rank_forest": (
        "(X, event_time, event_indicator, *, n_trees=100, min_samples_leaf=15, max_depth=None, max_features=None, bootstrap=True, subsample_fraction=1.0, honesty=False, honesty_fraction=0.5, seed=None)",
        "Fit a random survival forest with log-rank splitting.\n\n"
        "Trees are fitted in parallel, each from its own seed derived\n"
        "deterministically from `seed`, so the forest is identical whatever\n"
        "the number of threads.",
    ),
    "fit_gradient_forest": (
        "(X, pseudo_outcome, *, n_trees=500, min_samples_leaf=5, max_depth=None, max_features=None, bootstrap=False, subsample_fraction=0.5, honesty=True, honesty_fraction=0.5, seed=None)",
        'Fit a partition-only ("gradient") forest on `(X, pseudo_outcome)`.\n\n'
        "Each tree uses variance-reduction splitting on the per-sample\n"
        "pseudo-outcome (no log-rank, no survival times). Predictions come\n"
        "through [`PyGradientForest.forest_weights`], not per-leaf payloads.\n\n"
        "`pseudo_outcome` length must equal `X.shape[0]`.",
    ),
    "LogRankSurvivalTree": (None, "Immutable handle to a fitted log-rank survival tree."),
    "LogRankSurvivalTree.predict_cumulative_hazard": (
        "($self, X, times)",
        "Predict the cumulative hazard $\\hat\\Lambda(t \\mid x)$ for each row\n"
        "of `X` at every time in `times`. Returns an `(n, k)` array.",
    ),
    "LogRankSurvivalForest": (None, "Immutable handle to a fitted random survival forest."),
    "LogRankSurvivalForest.predict_cumulative_hazard": (
        "($self, X, times)",
        "Tree-averaged cumulative hazard $\\hat\\Lambda(t | x)$ for each row of\n"
        "`X` at every time in `times`. Returns an `(n, k)` array.",
    ),
    "LogRankSurvivalForest.forest_weights": (
        "($self, X)",
        "For each row of `X`, return an `(n_train,)` weight vector over the training samples.\n\n"
        "$$\n"
        "w_i(x) = \\frac{1}{B} \\sum_b \\frac{\\mathbb{1}\\{\\mathrm{leaf}_b(x) = \\mathrm{leaf}_b(x_i)\\}}{|\\mathrm{leaf}_b(x)|}\n"
        "$$",
    ),
    "LogRankSurvivalForest.forest_weights_one": (
        "($self, x)",
        "Forest weights for a single query point. Returns a `(n_train,)`\n"
        "array \u2014 convenience over [`forest_weights`] when there's only one\n"
        "query.",
    ),
    "GradientForest": (
        None,
        "Immutable handle to a fitted gradient (partition-only) forest.\n\n"
        "Predictions are not computed from per-leaf payloads (there are none)\n"
        "but through `forest_weights`, which downstream code in the `pelidor`\n"
        "package combines with the per-training-row pseudo-outcomes.",
    ),
    "GradientForest.forest_weights": ("($self, X)", "Batched forest weights. Returns `(n_query, n_train)`."),
    "GradientForest.forest_weights_one": ("($self, x)", "Forest weights for a single query point. Returns `(n_train,)`."),
}


def public_callables():
    """Dotted names of the module's public functions and classes and of the classes' public methods."""
    names = list(core.__all__)
    for name in core.__all__:
        if isinstance(cls := getattr(core, name), type):
            names += [f"{name}.{m}" for m, v in vars(cls).items() if not m.startswith("_") and callable(v)]
    return names


def test_every_public_callable_has_a_documented_docstring():
    assert sorted(public_callables()) == sorted(DOCUMENTED_DOCSTRINGS)


@pytest.mark.parametrize("name", DOCUMENTED_DOCSTRINGS)
def test_public_docstrings_are_the_documented_ones(name):
    documented = operator.attrgetter(name)(core)
    assert (documented.__text_signature__, documented.__doc__) == DOCUMENTED_DOCSTRINGS[name]


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
