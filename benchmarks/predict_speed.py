"""Processor seconds of a forest's cumulative-hazard predictions.

    python benchmarks/predict_speed.py LABEL

Fits a 100-tree forest on 10,000 rows (p = 20, continuous times) and times
`predict_cumulative_hazard` for 10,000 held-out rows on a grid of 100 ascending
times, at the sorted training event times (in blocks of 1,000 rows), and on the
grid shuffled. Compare two builds by running this with each one's module first
on PYTHONPATH, alternated, and taking ratios: the machine is shared.
"""

import sys
import time

import numpy as np

from korvane import _korvane_core as core


def seconds(work) -> float:
    started = time.process_time()
    work()
    return time.process_time() - started


def main() -> None:
    rng = np.random.default_rng(3)
    n, p = 10_000, 20
    X = np.asfortranarray(rng.normal(size=(n, p)))
    event_time = rng.exponential(size=n) * np.exp(0.5 * X[:, 0])
    event = (rng.random(n) < 0.7).astype(np.uint8)
    queries = rng.normal(size=(10_000, p))
    forest = core._grow_log_rank_forest(X, event_time, event, n_trees=100, seed=1, n_threads=2)
    grid = np.linspace(0, np.quantile(event_time, 0.95), 100)
    training_times = np.unique(event_time[event == 1])

    def at_training_times() -> None:
        for first in range(0, len(queries), 1000):
            forest.predict_cumulative_hazard(queries[first : first + 1000], training_times)

    shuffled = rng.permutation(grid)
    on_grid = min(seconds(lambda: forest.predict_cumulative_hazard(queries, grid)) for _ in range(3))
    at_training = min(seconds(at_training_times) for _ in range(2))
    on_shuffled = min(seconds(lambda: forest.predict_cumulative_hazard(queries, shuffled)) for _ in range(3))
    print(f"{sys.argv[1] if len(sys.argv) > 1 else ''} grid {on_grid:.3f} "
          f"training_times {at_training:.3f} ({len(training_times)} times) shuffled_grid {on_shuffled:.3f}",
          flush=True)


if __name__ == "__main__":
    main()
