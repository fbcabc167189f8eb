"""Ctrl-C latency of korvane's long calls: how long after SIGINT each raises
KeyboardInterrupt.

    python benchmarks/interrupt_latency.py [--trials N] [--delay S]

For each call, N child processes each start the call, receive SIGINT after S
seconds (default 1.0) and report when KeyboardInterrupt reached Python; the
table gives the median and the largest latency. The calls are the ones a user
waits on: the 60-tree fit on 50,000 rows that used to ignore Ctrl-C for 39 s, a
500-tree fit, the gradient forest, one deep tree, predictions and forest
weights. Nothing here asserts a time; tests/test_interrupt.py checks the bound.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import time

SETUP = """
import sys, time
import numpy as np
import korvane._korvane_core as core

def survival(n, p, seed=0):
    rng = np.random.default_rng(seed)
    X = np.asfortranarray(rng.normal(size=(n, p)))
    return X, rng.exponential(np.exp(-X[:, 0])), (rng.random(n) < 0.7).astype(np.uint8)

def same_row(n, p):
    return np.lib.stride_tricks.as_strided(np.zeros(p), shape=(n, p), strides=(0, 8))
"""

CALLS = {
    "fit_log_rank_forest, 60 trees, 50,000 rows": ("X, t, e = survival(50000, 10)", "core.fit_log_rank_forest(X, t, e, n_trees=60)"),
    "fit_log_rank_forest, 500 trees, 50,000 rows": ("X, t, e = survival(50000, 10)", "core.fit_log_rank_forest(X, t, e, n_trees=500)"),
    "fit_gradient_forest, 500 trees, 50,000 rows": ("X, t, e = survival(50000, 10)", "core.fit_gradient_forest(X, t, n_trees=500)"),
    "fit_log_rank_tree, 50,000 rows, leaves of 1": ("X, t, e = survival(50000, 10)", "core.fit_log_rank_tree(X, t, e, min_samples_leaf=1)"),
    "predict_cumulative_hazard, 400,000 rows x 64 times": (
        "X, t, e = survival(2000, 4); model = core.fit_log_rank_forest(X, t, e, n_trees=500, min_samples_leaf=5)",
        "model.predict_cumulative_hazard(same_row(400000, 4), np.linspace(0.0, 3.0, 64))",
    ),
    "forest_weights, 5,000 x 5,000 rows": (
        "X, t, e = survival(5000, 4); model = core.fit_gradient_forest(X, t, n_trees=500, min_samples_leaf=500)",
        "model.forest_weights(same_row(5000, 4))",
    ),
}


def program(prepare, call):
    return SETUP + f"""
{prepare}
print("ready", flush=True)
try:
    {call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def latency(prepare, call, delay):
    """Seconds from SIGINT to KeyboardInterrupt, or None when the call ended first."""
    child = subprocess.Popen([sys.executable, "-c", program(prepare, call)], stdout=subprocess.PIPE, text=True)
    try:
        if child.stdout.readline() != "ready\n":
            raise RuntimeError("the child failed before the call")
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=600)
    finally:
        child.kill()
    words = output.split()
    return float(words[1]) - sent if words[0] == "interrupted" else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--delay", type=float, default=1.0)
    args = parser.parse_args()
    print(f"{'call':<52} {'median s':>9} {'max s':>7}   ({args.trials} trials, SIGINT after {args.delay} s, {os.cpu_count()} CPUs)")
    for name, (prepare, call) in CALLS.items():
        times = [latency(prepare, call, args.delay) for _ in range(args.trials)]
        done = [t for t in times if t is not None]
        note = f"  ({len(times) - len(done)} ended before SIGINT)" if len(done) < len(times) else ""
        if done:
            print(f"{name:<52} {statistics.median(done):>9.3f} {max(done):>7.3f}{note}")
        else:
            print(f"{name:<52} {'-':>9} {'-':>7}{note}")


if __name__ == "__main__":
    main()
