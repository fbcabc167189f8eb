"""Time korvane.metrics against scikit-survival's metrics on the same inputs.

    python benchmarks/metrics.py [--sizes 1000,10000,100000] [--times 50] [--reps 3]

Prints, for each test size n and each function, the time of each side (best
of --reps runs, or of as many as fit in a second; one run when a side takes
over ten seconds) and the ratio
scikit-survival / korvane, plus the largest difference between the two
sides' results. The training target has n samples too. Nothing is asserted.
scikit-survival's concordance indices compare every pair of samples: at
n = 100,000 each takes minutes and several GB of memory.
"""

import argparse
import time
from collections.abc import Callable
from typing import Any

import numpy as np
from sksurv import metrics as peer

from korvane import metrics as korvane

SLOW_SECONDS = 10.0


def make_case(n: int, n_times: int, seed: int) -> dict[str, Any]:
    """Exponential event times with a linear risk, independent censoring, tied times to two decimals.

    Follow-up ends at time 3 in both sets, so every test event lies within
    the training follow-up where the censoring distribution is known.
    """
    rng = np.random.default_rng(seed)
    target_type = [("event", "?"), ("time", "f8")]

    def target(risk: np.ndarray) -> np.ndarray:
        event_time = rng.exponential(np.exp(-risk))
        censoring = np.minimum(rng.exponential(1.5, len(risk)), 3.0)
        y = np.empty(len(risk), dtype=target_type)
        y["event"] = event_time <= censoring
        y["time"] = np.floor(np.minimum(event_time, censoring) * 100) / 100 + 0.01
        return y

    risk = rng.normal(size=n)
    test = target(risk)
    train = target(rng.normal(size=n))
    # Keep the evaluation times inside both follow-ups.
    upper = min(np.quantile(test["time"], 0.9), train["time"].max())
    times = np.linspace(np.quantile(test["time"], 0.05), upper, n_times)
    survival = np.exp(-np.outer(np.exp(risk + rng.normal(scale=0.3, size=n)), times))
    return {"train": train, "test": test, "risk": risk + rng.normal(scale=0.5, size=n), "survival": survival, "times": times}


def calls(case: dict[str, Any]) -> dict[str, Callable[[Any], Any]]:
    train, test, risk, survival, times = (case[k] for k in ("train", "test", "risk", "survival", "times"))
    return {
        "concordance_index_censored": lambda m: m.concordance_index_censored(test["event"], test["time"], risk),
        "concordance_index_ipcw": lambda m: m.concordance_index_ipcw(train, test, risk),
        "brier_score": lambda m: m.brier_score(train, test, survival, times),
        "integrated_brier_score": lambda m: m.integrated_brier_score(train, test, survival, times),
        "cumulative_dynamic_auc (1-D)": lambda m: m.cumulative_dynamic_auc(train, test, risk, times),
        "cumulative_dynamic_auc (2-D)": lambda m: m.cumulative_dynamic_auc(train, test, 1.0 - survival, times),
    }


def timed(function: Callable[[], Any], reps: int) -> tuple[float, Any]:
    """Best of `reps` runs, and of as many more as fit in a second: short calls vary most on a shared machine."""
    best = spent = 0.0
    runs = 0
    result = None
    while runs < reps or (spent < 1.0 and runs < 100):
        start = time.perf_counter()
        result = function()
        elapsed = time.perf_counter() - start
        best = elapsed if runs == 0 else min(best, elapsed)
        spent += elapsed
        runs += 1
        if best > SLOW_SECONDS:
            break
    return best, result


def largest_difference(a: Any, b: Any) -> float:
    flat_a = np.concatenate([np.ravel(np.asarray(x, dtype=float)) for x in (a if isinstance(a, tuple) else (a,))])
    flat_b = np.concatenate([np.ravel(np.asarray(x, dtype=float)) for x in (b if isinstance(b, tuple) else (b,))])
    return float(np.max(np.abs(flat_a - flat_b) / np.maximum(np.abs(flat_a), 1.0)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000,10000,100000", help="comma-separated test sizes")
    parser.add_argument("--times", type=int, default=100, help="evaluation times for the Brier score and the AUC")
    parser.add_argument("--reps", type=int, default=3, help="runs per measurement (the best counts)")
    args = parser.parse_args()
    print(f"{'n':>7}  {'function':<30} {'scikit-survival':>15} {'korvane':>10} {'ratio':>8}  {'max rel diff':>12}")
    for n in (int(size) for size in args.sizes.split(",")):
        case = make_case(n, args.times, seed=n)
        for name, call in calls(case).items():
            ours, our_result = timed(lambda: call(korvane), args.reps)
            theirs, their_result = timed(lambda: call(peer), args.reps)
            difference = largest_difference(their_result, our_result)
            print(f"{n:>7}  {name:<30} {theirs:>14.4f}s {ours:>9.4f}s {theirs / ours:>7.1f}x  {difference:>12.1e}", flush=True)


if __name__ == "__main__":
    main()
