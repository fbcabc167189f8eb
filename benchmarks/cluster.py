"""A forest fitted locally against one fitted on a local Dask cluster, and a cost model.

    python benchmarks/cluster.py [--sizes 10000 100000] [--trees 50] [--reps 3]
                                     [--bandwidth-gbit 10]

For each n (synthetic data of run.py, p = 10, min_samples_leaf = 15), times:

- local: the estimator on 1 thread and on 2 threads (the core's pool);
- dask N=1, N=2: the estimator under ``joblib.parallel_backend("dask")`` on a
  LocalCluster of N worker processes x 1 thread (checked identical to the local fit);
- the parts of a cluster fit on N=2: sending the data (scatter to one worker,
  then to the other), the pieces (grown remotely, bytes back to the client),
  and the join (deserialising the pieces and joining them).

The cost model of a fit on N workers of one thread each:

    T(N) = t_data + ceil(pieces / N) * t_task + trees * t_tree / N + bytes_model / bandwidth + t_join

t_task is the measured round trip of an empty task (scheduling, per piece a
worker runs one after another; pieces = 4 per worker), t_tree the local
one-thread time per tree, t_data the measured time to place
the data on the workers (log2 N rounds of peer copies on a real cluster, as
each worker that holds them serves the next), bytes_model / bandwidth the
pieces' trip back to the client, t_join the measured join. The model is
printed beside the measured N=1 and N=2 fits, then projected to 10^6 rows x
1,000 trees on 8, 32 and 128 workers: t_tree grows with n as the power law
through the two measured sizes, the model and data bytes grow linearly in n
and in trees, and the network moves --bandwidth-gbit. Nothing here is part of
the test suite; no time is asserted.
"""

import argparse
import math
import statistics
import time

import joblib
import numpy as np
from distributed import Client, LocalCluster

from korvane import RandomSurvivalForest, Surv
from korvane import _korvane_core as core
from korvane._cluster import PIECES_PER_SLOT, ForestJob, TrainingData, split_trees
from korvane._dask_fit import grow_pieces_on_dask
from run import synthetic_data

SETTINGS = dict(min_samples_leaf=15, random_state=1)


def median_seconds(reps, action):
    seconds, result = [], None
    for _ in range(reps):
        started = time.perf_counter()
        result = action()
        seconds.append(time.perf_counter() - started)
    return statistics.median(seconds), result


def fit(X, y, trees, **params):
    return RandomSurvivalForest(n_estimators=trees, **SETTINGS, **params).fit(X, y)


def on_cluster(n_workers, reps, X, y, trees, reference):
    with LocalCluster(
        n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
    ) as cluster, Client(cluster) as client:

        def remote_fit():
            with joblib.parallel_backend("dask"):
                return fit(X, y, trees)

        seconds, forest = median_seconds(reps, remote_fit)
        assert core._to_bytes(forest._model) == reference, "the cluster's forest differs from the local one"
        parts = measured_parts(client, X, y, trees, forest) if n_workers == 2 else None
        if parts is not None:
            parts["task"], _ = median_seconds(20, lambda: client.submit(int, pure=False).result())
    return seconds, parts


def measured_parts(client, X, y, trees, forest):
    """Data placement, remote pieces and join of one fit, timed apart."""
    data = TrainingData((np.asfortranarray(X), np.ascontiguousarray(y["time"]), y["event"].astype(np.uint8)))
    started = time.perf_counter()
    future = client.scatter(data, broadcast=False, hash=False)
    client.replicate([future], n=2)
    t_data = time.perf_counter() - started
    client.cancel([future])
    job = ForestJob("_grow_log_rank_forest", data, {"n_trees": trees, "seed": forest._seed, **forest._settings})
    pieces = split_trees((0, trees), PIECES_PER_SLOT * 2)
    started = time.perf_counter()
    grown = grow_pieces_on_dask(client, job, pieces, None)
    t_pieces = time.perf_counter() - started
    started = time.perf_counter()
    core._join_forests([core._from_bytes(piece) for piece in grown])
    t_join = time.perf_counter() - started
    return {"data": t_data, "pieces": t_pieces, "join": t_join, "data_bytes": sum(a.nbytes for a in data.args)}


def measure(n, trees, reps):
    X, event_time, event = synthetic_data(n, 10)
    y = Surv.from_arrays(event.astype(bool), event_time)
    one_thread, forest = median_seconds(reps, lambda: fit(X, y, trees, n_jobs=1))
    two_threads, _ = median_seconds(reps, lambda: fit(X, y, trees, n_jobs=2))
    reference = core._to_bytes(forest._model)
    row = {"n": n, "trees": trees, "local_1": one_thread, "local_2": two_threads, "model_bytes": len(reference)}
    row["dask_1"], _ = on_cluster(1, reps, X, y, trees, reference)
    row["dask_2"], row["parts"] = on_cluster(2, reps, X, y, trees, reference)
    row["t_tree"] = one_thread / trees
    # The loopback transfer rate the data placement achieved, for the result's trip.
    row["local_bandwidth"] = row["parts"]["data_bytes"] / max(row["parts"]["data"], 1e-9)
    return row


def modelled(row, trees, n_workers, cores=None):
    """The cost model for `n_workers`, its trees sharing `cores` (default: one core each)."""
    parts = row["parts"]
    parallel = min(n_workers, cores or n_workers)
    return (
        parts["data"]
        + _rounds(trees, n_workers) * parts["task"]
        + trees * row["t_tree"] / parallel
        + row["model_bytes"] / row["local_bandwidth"]
        + parts["join"]
    )


def _rounds(trees, n_workers):
    """Pieces each worker runs one after another."""
    return math.ceil(len(split_trees((0, trees), PIECES_PER_SLOT * n_workers)) / n_workers)


def projection(rows, trees, bandwidth, workers):
    """Seconds for 10^6 rows x `trees` trees on `workers` one-thread workers, and its parts."""
    small, large = rows[0], rows[-1]
    exponent = math.log(large["t_tree"] / small["t_tree"]) / math.log(large["n"] / small["n"])
    scale = 1_000_000 / large["n"]
    t_tree = large["t_tree"] * scale**exponent
    data_bytes = large["parts"]["data_bytes"] * scale
    model_bytes = large["model_bytes"] / large["trees"] * trees * scale
    join_rate = large["model_bytes"] / large["parts"]["join"]
    parts = {
        "data": math.ceil(math.log2(max(workers, 2))) * data_bytes / bandwidth,
        "tasks": _rounds(trees, workers) * large["parts"]["task"],
        "trees": trees * t_tree / workers,
        "result": model_bytes / bandwidth,
        "join": model_bytes / join_rate,
    }
    return sum(parts.values()), parts, exponent, model_bytes


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--trees", type=int, default=50)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--bandwidth-gbit", type=float, default=10.0)
    args = parser.parse_args()
    rows = []
    for n in args.sizes:
        row = measure(n, args.trees, args.reps)
        rows.append(row)
        parts = row["parts"]
        print(f"n = {n:,}, {args.trees} trees, p = 10, median of {args.reps}")
        print(f"  local 1 thread {row['local_1']:.2f} s   local 2 threads {row['local_2']:.2f} s")
        # On a shared machine two threads need not get two cores: the local
        # fits' speed-up says how many the trees actually had.
        cores = row["local_1"] / row["local_2"]
        for workers in (1, 2):
            print(
                f"  dask {workers}x1       {row[f'dask_{workers}']:.2f} s   (model {modelled(row, args.trees, workers):.2f} s; "
                f"with the {cores:.2f} cores the local fits found {modelled(row, args.trees, workers, cores):.2f} s)"
            )
        print(
            f"  parts on 2x1: data {parts['data']:.3f} s ({parts['data_bytes'] / 1e6:.1f} MB), "
            f"pieces {parts['pieces']:.2f} s, empty task {parts['task'] * 1e3:.1f} ms, join {parts['join']:.3f} s ({row['model_bytes'] / 1e6:.1f} MB model)"
        )
    bandwidth = args.bandwidth_gbit * 1e9 / 8
    print(f"projected: 10^6 rows x 1,000 trees, {args.bandwidth_gbit:g} Gbit/s network")
    for workers in (8, 32, 128):
        total, parts, exponent, model_bytes = projection(rows, 1000, bandwidth, workers)
        print(
            f"  {workers:>3} workers: {total:8.1f} s = data {parts['data']:.1f} + tasks {parts['tasks']:.1f} "
            f"+ trees {parts['trees']:.1f} "
            f"+ result {parts['result']:.1f} + join {parts['join']:.1f}"
        )
    print(f"  (tree time ~ n^{exponent:.2f}; model {model_bytes / 1e9:.1f} GB)")


if __name__ == "__main__":
    main()
