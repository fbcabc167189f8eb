"""The private fits run on a chosen number of threads without changing a bit
of the forest, and report progress from the calling thread, throttled."""

import functools
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import make_survival, model_outputs

GROWS = [
    pytest.param(core.fit_log_rank_forest, core._grow_log_rank_forest, lambda s: tuple(s), id="log_rank"),
    pytest.param(core.fit_gradient_forest, core._grow_gradient_forest, lambda s: (s.X, s.event_time - s.event_time.mean()), id="gradient"),
]


@pytest.mark.parametrize(("fit", "grow", "arrays"), GROWS)
@pytest.mark.parametrize("n_threads", [None, 1, 2, 3, -1, 5])
def test_thread_count_never_changes_the_forest(fit, grow, arrays, n_threads):
    s = make_survival(n=150, p=5, seed=2)
    settings = {"n_trees": 24, "seed": 9, "honesty": True, "subsample_fraction": 0.7}
    reference = model_outputs(fit(*arrays(s), **settings), s.X)
    assert model_outputs(grow(*arrays(s), **settings, n_threads=n_threads), s.X) == reference


@pytest.mark.parametrize(
    ("n_threads", "error", "message"),
    [
        (0, ValueError, "^n_threads must be None, -1 or a positive integer, got 0$"),
        (-2, ValueError, "^n_threads must be None, -1 or a positive integer, got -2$"),
        (-(2**70), ValueError, r"^n_threads must be None, -1 or a positive integer, got -\d+$"),
        (2.0, TypeError, "^argument 'n_threads': expected None or an integer, got float$"),
        ("2", TypeError, "^argument 'n_threads': expected None or an integer, got str$"),
    ],
)
def test_invalid_thread_counts_are_refused(survival, n_threads, error, message):
    with pytest.raises(error, match=message):
        core._grow_log_rank_forest(*survival, n_trees=2, n_threads=n_threads)


def test_a_progress_that_is_not_callable_is_refused(survival):
    with pytest.raises(TypeError, match="^argument 'progress': expected None or a callable, got int$"):
        core._grow_log_rank_forest(*survival, n_trees=2, progress=3)


def slow_fit_data():
    rng = np.random.default_rng(4)
    X = np.asfortranarray(rng.normal(size=(1500, 6)))
    return X, rng.exponential(size=1500), (rng.random(1500) < 0.7).astype(np.uint8)


@pytest.mark.parametrize("n_threads", [None, 1])
def test_progress_reports_from_the_calling_thread_at_most_ten_times_a_second(n_threads):
    reports = []

    def progress(finished, total):
        reports.append((finished, total, time.monotonic(), threading.get_ident()))

    forest = core._grow_log_rank_forest(*slow_fit_data(), n_trees=200, min_samples_leaf=3, seed=1, n_threads=n_threads, progress=progress)
    assert forest.n_trees == 200
    finished = [r[0] for r in reports]
    assert finished[-1] == 200 and finished == sorted(set(finished))
    assert {r[1] for r in reports} == {200}
    assert {r[3] for r in reports} == {threading.get_ident()}
    gaps = np.diff([r[2] for r in reports])
    assert (gaps >= 0.099).all(), gaps


def test_an_exception_in_progress_stops_the_fit_and_propagates():
    calls = []

    def progress(finished, total):
        calls.append(finished)
        raise RuntimeError("enough")

    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^enough$"):
        core._grow_log_rank_forest(*slow_fit_data(), n_trees=20000, min_samples_leaf=3, progress=progress)
    assert len(calls) == 1 and calls[0] < 20000
    # The pool is free again: the next fit runs and equals the public one.
    s = make_survival()
    assert model_outputs(core._grow_log_rank_forest(*s, n_trees=5), s.X) == model_outputs(core.fit_log_rank_forest(*s, n_trees=5), s.X)


@pytest.mark.parametrize("n_threads", [None, 1, 2])
def test_small_pieces_grown_with_the_calling_thread_equal_the_forest_grown_on_the_pool(n_threads):
    # 150 rows and 2 features per node: a piece of 100 trees is small enough
    # for the calling thread to take part; the 600 trees at once are not.
    s = make_survival(n=150, p=5, seed=2)
    settings = {"n_trees": 600, "seed": 9, "min_samples_leaf": 5, "n_threads": n_threads}
    whole = core._grow_log_rank_forest(*s, **settings)
    pieces = [core._grow_log_rank_forest(*s, **settings, trees=(k, k + 100)) for k in range(0, 600, 100)]
    assert core._to_bytes(core._join_forests(pieces)) == core._to_bytes(whole)


UNDER_ADDRESS_SPACE_LIMIT = """
import hashlib, resource, sys
import numpy as np
from korvane import _korvane_core as core
from korvane import RandomSurvivalForest
rng = np.random.default_rng(3)
X = np.asfortranarray(rng.normal(size=(120, 4)))
time, event = rng.exponential(size=120), (rng.random(120) < 0.7).astype(np.uint8)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))
forest = core._grow_log_rank_forest(X, time, event, n_trees=5, seed=1, n_threads={n_threads})
y = np.array([(bool(e), t) for e, t in zip(event, time)], dtype=[("event", "?"), ("time", "f8")])
estimator = RandomSurvivalForest(n_estimators=5, n_jobs={n_threads}, random_state=0).fit(X, y)
print(hashlib.sha256(core._to_bytes(forest)).hexdigest(), estimator.predict(X[:3]).tolist())
"""


@functools.cache
def run_under_address_space_limit(n_threads, environment):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"} | dict(environment)
    script = UNDER_ADDRESS_SPACE_LIMIT.replace("{n_threads}", repr(n_threads))
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    ("n_threads", "environment"),
    [(2000, {}), (65535, {}), (None, {"RAYON_NUM_THREADS": "2000"})],
    ids=["per_call_2000", "per_call_65535", "pool_of_2000"],
)
def test_more_threads_than_the_process_can_start_never_abort(n_threads, environment):
    """Thread counts far beyond the processors, under an address-space limit
    that leaves room for a few threads only, fit the same forest as one thread."""
    found = run_under_address_space_limit(n_threads, tuple(environment.items()))
    reference = run_under_address_space_limit(1, ())
    assert found.returncode == 0, found.stderr
    assert reference.returncode == 0, reference.stderr
    assert found.stdout == reference.stdout
