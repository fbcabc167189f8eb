"""Forests grown on a cluster through joblib's backends equal the local fit to the
last bit; lost workers and Ctrl-C never leave a partial model or stray work."""

import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import joblib
import numpy as np
import pytest

from korvane import RandomSurvivalForest, Surv
from korvane import _korvane_core as core
from korvane._cluster import remote_backend, split_trees

distributed = pytest.importorskip("distributed")

# Generous: the machine is shared, and a worker restart takes seconds under load.
TIMEOUT = 60


def survival_data(n=600, p=4, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    y = Surv.from_arrays(rng.random(n) < 0.7, rng.exponential(np.exp(-X[:, 0])))
    return X, y


def model_bytes(estimator):
    return bytes(core._to_bytes(estimator._model))


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
    )
    with cluster, distributed.Client(cluster) as client:
        yield client


def fit_on(backend, X, y, **params):
    with joblib.parallel_backend(backend):
        return RandomSurvivalForest(random_state=7, **params).fit(X, y)


@pytest.mark.parametrize(
    "params",
    [
        {"n_estimators": 30},
        {"n_estimators": 1},  # fewer trees than pieces the cluster asks for
        {"n_estimators": 9, "bootstrap": False, "max_samples": 0.6},
        {"n_estimators": 12, "honesty": True, "max_depth": 4},
        {"n_estimators": 25, "oob_score": True},
    ],
    ids=["default", "one_tree", "subsample", "honest", "oob"],
)
def test_forest_grown_on_dask_equals_local_fit(client, params):
    X, y = survival_data()
    local = RandomSurvivalForest(random_state=7, **params).fit(X, y)
    remote = fit_on("dask", X, y, **params)
    assert model_bytes(remote) == model_bytes(local)
    assert np.array_equal(remote.predict(X), local.predict(X))
    if params.get("oob_score"):
        assert remote.oob_score_ == local.oob_score_


def test_forest_with_missing_values_grown_on_dask_equals_local_fit(client):
    X, y = survival_data()
    X[np.random.default_rng(1).random(X.shape) < 0.15] = np.nan
    local = RandomSurvivalForest(n_estimators=12, random_state=7).fit(X, y)
    remote = fit_on("dask", X, y, n_estimators=12)
    assert model_bytes(remote) == model_bytes(local)
    assert np.array_equal(remote.predict(X), local.predict(X))


def test_effect_forests_grown_on_dask_equal_local_fits(client):
    from korvane import CausalForest, CausalSurvivalForest

    X, y = survival_data()
    treatment = (np.random.default_rng(2).random(len(X)) < 0.5).astype(float)
    outcome = X[:, 0] + treatment * (X[:, 1] > 0)
    fits = [
        lambda: CausalForest(n_estimators=20, nuisance_estimators=10, random_state=7).fit(X, outcome, treatment),
        lambda: CausalSurvivalForest(horizon=1.0, n_estimators=20, nuisance_estimators=10, random_state=7).fit(X, y, treatment),
    ]
    for fit in fits:
        local = fit()
        with joblib.parallel_backend("dask"):
            remote = fit()
        assert bytes(core._to_bytes(remote._forest)) == bytes(core._to_bytes(local._forest))
        assert np.array_equal(remote.predict(X), local.predict(X))


def test_dask_array_predictions_on_the_cluster_equal_local_ones(client):
    da = pytest.importorskip("dask.array")
    import korvane.dask

    X, y = survival_data()
    forest = RandomSurvivalForest(n_estimators=10, random_state=7).fit(X, y)
    # Blocks and the model arrive deserialised in place, at any byte offset.
    survival = korvane.dask.predict_survival_function(forest, da.from_array(X, chunks=100))
    assert np.array_equal(client.compute(survival).result(), forest.predict_survival_function(X, return_array=True))


def test_warm_start_on_dask_adds_the_same_trees_as_one_local_fit(client):
    X, y = survival_data()
    forest = fit_on("dask", X, y, n_estimators=5, warm_start=True)
    with joblib.parallel_backend("dask"):
        forest.set_params(n_estimators=13).fit(X, y)
    local = RandomSurvivalForest(n_estimators=13, random_state=7).fit(X, y)
    assert model_bytes(forest) == model_bytes(local)


def test_training_data_reach_each_worker_once(client):
    client.run(lambda dask_worker: dask_worker.transfer_incoming_log.clear())
    X, y = survival_data(n=3000)
    fit_on("dask", X, y, n_estimators=40)  # eight pieces over two workers

    def data_transfers(dask_worker):
        return [key for entry in dask_worker.transfer_incoming_log for key in entry["keys"] if "TrainingData" in key]

    fetched = [key for keys in client.run(data_transfers).values() for key in keys]
    # Scattered to one worker; the other fetches it from that peer once,
    # not once per piece, and no piece carries the data itself.
    assert len(fetched) == 1


def kill_worker_during_fit(client, choose_victim, killed):
    """Kills a worker once pieces are running; `choose_victim(client, busy)` picks it."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        busy = [worker for worker, keys in client.processing().items() if any("-trees-" in k for k in keys)]
        if busy:
            victim = choose_victim(client, busy)
            pid = client.run(os.getpid, workers=[victim])[victim]
            os.kill(pid, signal.SIGKILL)
            killed.append(victim)
            return
        time.sleep(0.002)


def data_holder(client, busy):
    # The only copy of the scattered data dies with it: the pieces that need
    # it must be resubmitted with the data sent again.
    holders = client.run_on_scheduler(
        lambda dask_scheduler: [
            worker.address
            for key, task in dask_scheduler.tasks.items()
            if "TrainingData" in str(key)
            for worker in task.who_has
        ]
    )
    return holders[0] if holders else busy[0]


def last_busy(client, busy):
    return busy[-1]


@pytest.mark.parametrize("choose_victim", [data_holder, last_busy], ids=["data_holder", "busy_worker"])
def test_killed_worker_mid_fit_leaves_the_model_identical(client, choose_victim):
    X, y = survival_data(n=2000)
    killed = []
    killer = threading.Thread(target=kill_worker_during_fit, args=(client, choose_victim, killed))
    killer.start()
    try:
        remote = fit_on("dask", X, y, n_estimators=240)
    finally:
        killer.join()
        client.wait_for_workers(2, timeout=TIMEOUT)
    assert killed, "no worker was killed: the fit ended before any piece ran"
    local = RandomSurvivalForest(n_estimators=240, random_state=7).fit(X, y)
    assert model_bytes(remote) == model_bytes(local)


INTERRUPTED_CLIENT = textwrap.dedent(
    """
    import signal, sys, time
    import joblib, numpy as np
    from distributed import Client
    from korvane import RandomSurvivalForest, Surv

    # A process started in the background inherits SIGINT ignored; this one
    # stands for an interactive session, where Ctrl-C raises KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    client = Client(sys.argv[1])
    rng = np.random.default_rng(0)
    X = rng.normal(size=(3000, 4))
    y = Surv.from_arrays(rng.random(3000) < 0.7, rng.exponential(1.0, 3000))
    try:
        with joblib.parallel_backend("dask"):
            RandomSurvivalForest(n_estimators=20000, random_state=0).fit(X, y)
    except KeyboardInterrupt as interrupt:
        # As an interactive shell does: the traceback, and with it every
        # local of the interrupted fit, stays alive after Ctrl-C.
        sys.last_value = interrupt
        print("interrupted", flush=True)
        time.sleep(600)
    """
)


def korvane_tasks(client):
    return client.run_on_scheduler(
        lambda dask_scheduler: [str(key) for key in dask_scheduler.tasks if "korvane" in str(key)]
    )


def test_ctrl_c_in_the_client_cancels_the_remote_pieces(client):
    script = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CLIENT, client.scheduler.address],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        deadline = time.monotonic() + TIMEOUT
        while not any("-trees-" in key for key in korvane_tasks(client)):
            assert time.monotonic() < deadline and script.poll() is None, "the fit never reached the cluster"
            time.sleep(0.05)
        script.send_signal(signal.SIGINT)
        assert script.stdout.readline().strip() == "interrupted"
        while korvane_tasks(client):
            assert time.monotonic() < deadline, f"left on the cluster: {korvane_tasks(client)[:3]}"
            time.sleep(0.05)
        assert script.poll() is None  # the client is still connected: the pieces were cancelled, not dropped
    finally:
        script.kill()
        script.wait()


class Elsewhere(joblib.parallel.ParallelBackendBase):
    """Stands for a backend on other machines (Spark's, say): its tasks run on
    threads here, but every call crosses a pickle round trip, as it would the
    network."""

    supports_retrieve_callback = True
    submitted = 0

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self._threads = joblib.parallel.ThreadingBackend(**kwargs)

    def effective_n_jobs(self, n_jobs):
        return 2

    def configure(self, n_jobs=1, parallel=None, **kwargs):
        return self._threads.configure(2, parallel, **kwargs)

    def submit(self, func, callback=None):
        Elsewhere.submitted += 1
        return self._threads.submit(pickle.loads(pickle.dumps(func)), callback)

    def retrieve_result_callback(self, out):
        return self._threads.retrieve_result_callback(out)

    def terminate(self):
        self._threads.terminate()


def test_forest_grown_through_any_other_joblib_backend_equals_local_fit(capsys):
    joblib.register_parallel_backend("korvane-test-elsewhere", Elsewhere)
    X, y = survival_data()
    with joblib.parallel_backend("korvane-test-elsewhere"):
        remote = RandomSurvivalForest(n_estimators=11, random_state=7, verbose=1).fit(X, y)
    assert Elsewhere.submitted > 0
    assert model_bytes(remote) == model_bytes(RandomSurvivalForest(n_estimators=11, random_state=7).fit(X, y))
    assert capsys.readouterr().err.rstrip().endswith("11/11")


@pytest.mark.parametrize("backend", [None, "loky", "threading", "sequential"])
def test_local_backends_grow_on_the_core_pool(backend):
    if backend is None:
        assert remote_backend() is None
    else:
        with joblib.parallel_backend(backend, n_jobs=2):
            assert remote_backend() is None


@pytest.mark.parametrize(
    "trees, n_pieces",
    [((0, 100), 8), ((0, 3), 8), ((5, 13), 3), ((0, 1), 1), ((10, 11), 4), ((0, 7), 7)],
)
def test_pieces_cover_the_trees_in_order_with_balanced_sizes(trees, n_pieces):
    pieces = split_trees(trees, n_pieces)
    assert pieces[0][0] == trees[0] and pieces[-1][1] == trees[1]
    assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:]))
    sizes = [stop - start for start, stop in pieces]
    assert min(sizes) >= 1 and max(sizes) - min(sizes) <= 1
    assert len(pieces) == min(n_pieces, trees[1] - trees[0])


def test_forest_grown_on_ray_equals_local_fit(monkeypatch):
    ray = pytest.importorskip("ray")
    from ray.util.joblib import register_ray

    # A throwaway local instance: no token written to the user's home.
    monkeypatch.setenv("RAY_AUTH_MODE", "disabled")

    X, y = survival_data()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    try:
        register_ray()
        remote = fit_on("ray", X, y, n_estimators=20)
    finally:
        ray.shutdown()
    local = RandomSurvivalForest(n_estimators=20, random_state=7).fit(X, y)
    assert model_bytes(remote) == model_bytes(local)
