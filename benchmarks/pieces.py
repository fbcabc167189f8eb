"""Growing a forest in pieces against growing it at once.

    python benchmarks/pieces.py [--n 10000] [--trees 100] [--piece 10] [--reps 5]

Fits one forest of --trees trees with fit_log_rank_forest, and the same forest
as pieces of --piece trees (_grow_log_rank_forest with trees=(start, stop))
joined with _join_forests, on the synthetic data of run.py (p = 10). The two
are timed alternately, --reps times each; the medians and their ratio are
printed. The joined forest is checked to predict exactly what the one fit
predicts. Nothing here is part of the test suite.
"""

import argparse
import statistics
import time

import numpy as np

from korvane import _korvane_core as core
from run import synthetic_data

SETTINGS = dict(min_samples_leaf=15, seed=1)


def one_fit(X, event_time, event, n_trees, piece):
    return core.fit_log_rank_forest(X, event_time, event, n_trees=n_trees, **SETTINGS)


def in_pieces(X, event_time, event, n_trees, piece):
    pieces = [
        core._grow_log_rank_forest(X, event_time, event, n_trees=n_trees, trees=(start, min(start + piece, n_trees)), **SETTINGS)
        for start in range(0, n_trees, piece)
    ]
    return core._join_forests(pieces)


def timed(fit, *args):
    started = time.perf_counter()
    forest = fit(*args)
    return time.perf_counter() - started, forest


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--piece", type=int, default=10)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    X, event_time, event = synthetic_data(args.n, 10)
    inputs = (X, event_time, event, args.trees, args.piece)
    seconds = {one_fit: [], in_pieces: []}
    forests = {}
    for _ in range(args.reps):
        for fit in seconds:
            elapsed, forests[fit] = timed(fit, *inputs)
            seconds[fit].append(elapsed)
    times = np.quantile(event_time, np.linspace(0.05, 0.95, 20))
    same = np.array_equal(
        forests[one_fit].predict_cumulative_hazard(X[:500], times),
        forests[in_pieces].predict_cumulative_hazard(X[:500], times),
    )
    whole, pieces = (statistics.median(seconds[fit]) for fit in (one_fit, in_pieces))
    print(f"n = {args.n:,}, {args.trees} trees, pieces of {args.piece}, {args.reps} repetitions (medians)")
    print(f"one fit:          {whole:.3f} s")
    print(f"pieces + join:    {pieces:.3f} s")
    print(f"overhead ratio:   {pieces / whole:.3f}")
    print(f"identical predictions: {same}")


if __name__ == "__main__":
    main()
