"""One measurement in a fresh process, so that its peak RSS belongs to it alone.

    python workers.py SIDE MODEL DATA_DIR HAZARD_OUT [options]

SIDE is korvane or sksurv, MODEL is forest, tree or weights. Fit and predict
are timed in this process, repetition after repetition, until --reps are done
or the next one would overrun --budget seconds. The last prediction is written
to HAZARD_OUT and one JSON line with the timings goes to stdout.
"""

import argparse
import importlib
import json
import sys
import time
from functools import partial
from pathlib import Path

import numpy as np

from casefiles import Split, read_split, write_hazard


def main() -> None:
    args = parse_args()
    for module in SIDE_MODULES[args.side]:
        importlib.import_module(module)
    split = read_split(args.data_dir)
    report: dict = {"rss_base_kb": peak_rss_kb()}
    if args.model == "weights":
        report.update(WEIGHTS[args.side](split, args))
    else:
        fit, predict = MODELS[(args.side, args.model)](args, split.X_train.shape[0])
        hazard, report["fit"], report["predict"] = repeat_fit_predict(fit, predict, split, args)
        write_hazard(args.hazard_out, hazard)
    report["rss_peak_kb"] = peak_rss_kb()
    print(json.dumps(report))


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser()
    parser.add_argument("side", choices=["korvane", "sksurv"])
    parser.add_argument("model", choices=["forest", "tree", "weights"])
    parser.add_argument("data_dir", type=Path)
    parser.add_argument("hazard_out", type=Path)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--budget", type=float, default=60.0)
    parser.add_argument("--n-trees", type=int, default=100)
    parser.add_argument("--min-leaf", type=int, default=15)
    parser.add_argument("--mtry", type=int, required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--weights-rows", type=int, default=1000)
    return parser.parse_args()


def peak_rss_kb() -> int:
    """Peak resident set so far; read before fitting, it is the cost of the imports and the data."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def repeat_fit_predict(fit, predict, split: Split, args):
    fit_seconds, predict_seconds = [], []
    started = time.perf_counter()
    while True:
        model = None  # release the previous model before growing the next
        t0 = time.perf_counter()
        model = fit(split.X_train, split.time_train, split.event_train)
        t1 = time.perf_counter()
        hazard = predict(model, split.X_test, split.times)
        t2 = time.perf_counter()
        fit_seconds.append(t1 - t0)
        predict_seconds.append(t2 - t1)
        elapsed = t2 - started
        if len(fit_seconds) >= args.reps or elapsed + (t2 - t0) > args.budget:
            return hazard, fit_seconds, predict_seconds


def time_reps(action, reps: int, clock=time.perf_counter) -> list[float]:
    seconds = []
    for _ in range(reps):
        t0 = clock()
        action()
        seconds.append(clock() - t0)
    return seconds


# korvane


def korvane_forest(args, n_train):
    from korvane import _korvane_core as core

    def fit(X, event_time, event_indicator):
        return core.fit_log_rank_forest(
            X, event_time, event_indicator,
            n_trees=args.n_trees, min_samples_leaf=args.min_leaf, max_features=args.mtry,
            bootstrap=True, subsample_fraction=1.0, seed=args.seed,
        )

    return fit, korvane_predict


def korvane_tree(args, n_train):
    from korvane import _korvane_core as core

    def fit(X, event_time, event_indicator):
        return core.fit_log_rank_tree(
            X, event_time, event_indicator, min_samples_leaf=args.min_leaf, seed=args.seed
        )

    return fit, korvane_predict


def korvane_predict(model, X, times):
    return model.predict_cumulative_hazard(X, times)


def korvane_weights(split: Split, args) -> dict:
    """Batched forest weights against the bare cost of writing an array of their size."""
    fit, _ = korvane_forest(args, split.X_train.shape[0])
    forest = fit(split.X_train, split.time_train, split.event_train)
    queries = np.ascontiguousarray(split.X_test[: args.weights_rows])
    shape = (queries.shape[0], split.X_train.shape[0])

    def write_array():
        np.empty(shape).fill(1.0)

    def weights():
        forest.forest_weights(queries)

    # Processor time too (of every thread of the process): on a loaded machine
    # wall times mostly measure the other work.
    return {
        "weights": time_reps(weights, args.reps),
        "write": time_reps(write_array, args.reps),
        "weights_cpu": time_reps(weights, args.reps, time.process_time),
        "write_cpu": time_reps(write_array, args.reps, time.process_time),
        "n_query": shape[0],
    }


# scikit-survival


def sksurv_forest(args, n_train):
    from sksurv.ensemble import RandomSurvivalForest

    # Bootstrap duplicates reach the trees as sample weights, so min_samples_leaf
    # would count distinct rows. The weight floor counts occurrences, as korvane
    # and ranger do; half a row below the integer keeps rounding from rejecting
    # a leaf of exactly min_leaf occurrences.
    make_model = partial(
        RandomSurvivalForest,
        n_estimators=args.n_trees, max_features=args.mtry,
        min_samples_leaf=1, min_samples_split=2,
        min_weight_fraction_leaf=(args.min_leaf - 0.5) / n_train,
        bootstrap=True, max_samples=None, n_jobs=args.threads, random_state=args.seed,
    )
    return sksurv_fit(make_model), sksurv_predict


def sksurv_tree(args, n_train):
    from sksurv.tree import SurvivalTree

    make_model = partial(
        SurvivalTree,
        max_features=None, min_samples_leaf=args.min_leaf,
        min_samples_split=2 * args.min_leaf, random_state=args.seed,
    )
    return sksurv_fit(make_model), sksurv_predict


def sksurv_fit(make_model):
    from sksurv.util import Surv

    def fit(X, event_time, event_indicator):
        return make_model().fit(X, Surv.from_arrays(event_indicator.astype(bool), event_time))

    return fit


def sksurv_predict(model, X, times):
    return step_values(
        model.unique_times_, model.predict_cumulative_hazard_function(X, return_array=True), times
    )


def step_values(knots: np.ndarray, values: np.ndarray, times: np.ndarray) -> np.ndarray:
    """Right-continuous step functions given at `knots` (one per row of `values`), read at `times`."""
    index = np.searchsorted(knots, times, side="right") - 1
    return np.where(index >= 0, values[:, np.maximum(index, 0)], 0.0)


def sksurv_weights(split: Split, args) -> dict:
    """Forest weights computed in NumPy from the leaf indices of a scikit-survival forest."""
    fit, _ = sksurv_forest(args, split.X_train.shape[0])
    forest = fit(split.X_train, split.time_train, split.event_train)
    train_leaves = forest.apply(split.X_train)
    query_leaves = forest.apply(split.X_test[: args.weights_rows])
    return {
        "weights": time_reps(lambda: weights_from_leaves(train_leaves, query_leaves), args.reps),
        "n_query": query_leaves.shape[0],
    }


def weights_from_leaves(train_leaves: np.ndarray, query_leaves: np.ndarray) -> np.ndarray:
    """w[q, i] = mean over trees of [leaf(i) == leaf(q)] / size of that leaf.

    Per tree the training rows are sorted by leaf once, and each query row
    scatters into the slice of its own leaf, so the work follows the leaf
    sizes rather than n_query * n_train comparisons.
    """
    n_query, n_trees = query_leaves.shape
    weights = np.zeros((n_query, train_leaves.shape[0]))
    for tree in range(n_trees):
        order = np.argsort(train_leaves[:, tree], kind="stable")
        sorted_leaves = train_leaves[order, tree]
        first = np.searchsorted(sorted_leaves, query_leaves[:, tree], side="left")
        sizes = np.searchsorted(sorted_leaves, query_leaves[:, tree], side="right") - first
        query_of_entry = np.repeat(np.arange(n_query), sizes)
        offset_in_leaf = np.arange(sizes.sum()) - np.repeat(np.cumsum(sizes) - sizes, sizes)
        rows = order[np.repeat(first, sizes) + offset_in_leaf]
        weights[query_of_entry, rows] += np.repeat(1.0 / np.maximum(sizes, 1), sizes)
    weights /= n_trees
    return weights


MODELS = {
    ("korvane", "forest"): korvane_forest,
    ("korvane", "tree"): korvane_tree,
    ("sksurv", "forest"): sksurv_forest,
    ("sksurv", "tree"): sksurv_tree,
}
WEIGHTS = {"korvane": korvane_weights, "sksurv": sksurv_weights}
# Imported before the baseline RSS is read, so that fit ΔMB is the model's own.
SIDE_MODULES = {
    "korvane": ["korvane._korvane_core"],
    "sksurv": ["sksurv.ensemble", "sksurv.tree", "sksurv.util"],
}

if __name__ == "__main__":
    sys.exit(main())
