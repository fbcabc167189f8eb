"""The estimators' cost over the bare functions, and korvane's RandomSurvivalForest
beside scikit-survival's on GBSG2 and the synthetic sets.

    python benchmarks/estimators.py [--quick] [--reps N] [--baseline-python PATH]

Overhead: `RandomSurvivalForest.fit(X, y)` then `.predict(X_test)` on a C-ordered
NumPy array (and on a pandas frame) with a structured target, against what a
user of the functions writes: converting X to column-major float64 and the
event to uint8, `fit_log_rank_forest`, `predict_cumulative_hazard` on the
training event times, and the row sums. The two are run alternately, `--reps`
times each, and the medians compared.

Weights: the forest fit of the same data unweighted, with weights all 1 and with
random weights (the weighted search sums doubles), alternated in one process;
with --baseline-python (the interpreter of another korvane build, main's say),
the unweighted fit timed by each build in its own processes, alternated, for
a before/after ratio.

Side by side: each side fits and predicts in its own process (this file run
with --worker), so that its peak RSS above the process's start (imports and
data loaded) is its own. Both use 100 trees, floor(sqrt(p)) features per split,
bootstrap, 2 threads, out-of-bag scoring, and a leaf floor of 15 bootstrap
draws (on scikit-survival's side min_weight_fraction_leaf = 14.5 / n, since its
min_samples_leaf counts distinct rows; see benchmarks/README.md).
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

N_TREES = 100
MIN_LEAF = 15
THREADS = 2
SEED = 1
TEST_FRACTION = 0.25


def overhead(reps: int) -> None:
    from korvane import RandomSurvivalForest, Surv, fit_log_rank_forest
    from run import synthetic_data

    X, time_, event = synthetic_data(1_250, 10)
    X = np.ascontiguousarray(X)  # as users usually hold it
    X_train, X_test = X[:1_000], X[1_000:]
    y = Surv.from_arrays(event[:1_000].astype(bool), time_[:1_000])
    event_times = np.unique(time_[:1_000][event[:1_000] == 1])

    def bare():
        forest = fit_log_rank_forest(
            np.asfortranarray(X_train, dtype=np.float64), np.ascontiguousarray(y["time"]),
            y["event"].astype(np.uint8), n_trees=N_TREES, min_samples_leaf=MIN_LEAF, max_features=3, seed=SEED,
        )
        return forest.predict_cumulative_hazard(np.asfortranarray(X_test, dtype=np.float64), event_times).sum(axis=1)

    def estimator(X_fit, X_query):
        forest = RandomSurvivalForest(N_TREES, min_samples_leaf=MIN_LEAF, min_samples_split=2 * MIN_LEAF,
                                      random_state=SEED)
        return forest.fit(X_fit, y).predict(X_query)

    sides = {"functions": bare, "estimator, NumPy": lambda: estimator(X_train, X_test)}
    try:
        import pandas as pd

        frame_train, frame_test = pd.DataFrame(X_train).add_prefix("x"), pd.DataFrame(X_test).add_prefix("x")
        sides["estimator, pandas"] = lambda: estimator(frame_train, frame_test)
    except ImportError:
        pass
    seconds: dict[str, list[float]] = {name: [] for name in sides}
    for _ in range(reps):
        for name, run_side in sides.items():
            started = time.perf_counter()
            run_side()
            seconds[name].append(time.perf_counter() - started)
    base = statistics.median(seconds["functions"])
    print(f"Overhead at n = 1,000, p = 10, {N_TREES} trees, fit + predict of 250 rows, median of {reps}:")
    for name, values in seconds.items():
        middle = statistics.median(values)
        print(f"  {name:<20} {middle * 1e3:8.2f} ms   ratio {middle / base:.3f}")


def _weighting_data():
    from run import synthetic_data

    X, time_, event = synthetic_data(2_000, 10)
    return np.asfortranarray(X), np.ascontiguousarray(time_), event.astype(np.uint8)


def _fit_forest(X, time_, event, sample_weight=None):
    from korvane import _korvane_core as core

    settings = {"n_trees": N_TREES, "min_samples_leaf": MIN_LEAF, "max_features": 3, "seed": SEED}
    if sample_weight is None:
        return core.fit_log_rank_forest(X, time_, event, **settings)
    return core._grow_log_rank_forest(X, time_, event, sample_weight=sample_weight, **settings)


def weighting(reps: int, baseline_python: str | None) -> None:
    X, time_, event = _weighting_data()
    weights = {"unweighted": None, "weights all 1": np.ones(len(time_)),
               "random weights": np.random.default_rng(0).uniform(0.1, 3.0, len(time_))}
    seconds: dict[str, list[float]] = {name: [] for name in weights}
    for _ in range(reps):
        for name, weight in weights.items():
            started = time.perf_counter()
            _fit_forest(X, time_, event, weight)
            seconds[name].append(time.perf_counter() - started)
    base = statistics.median(seconds["unweighted"])
    print(f"Weights at n = 2,000, p = 10, {N_TREES} trees, forest fit, median of {reps}:")
    for name, values in seconds.items():
        middle = statistics.median(values)
        print(f"  {name:<20} {middle * 1e3:8.2f} ms   ratio {middle / base:.3f}")
    if baseline_python:
        builds = {"this build": sys.executable, "baseline build": baseline_python}
        fits: dict[str, list[float]] = {name: [] for name in builds}
        for _ in range(max(3, reps // 5)):
            for name, python in builds.items():
                command = [python, str(Path(__file__)), "--time-unweighted-fit", str(5)]
                fits[name].append(float(subprocess.run(command, check=True, capture_output=True, text=True).stdout))
        after, before = statistics.median(fits["this build"]), statistics.median(fits["baseline build"])
        print(f"  unweighted, this build / baseline build: {after * 1e3:.2f} / {before * 1e3:.2f} ms"
              f"   ratio {after / before:.3f}")


def time_unweighted_fit(reps: int) -> None:
    X, time_, event = _weighting_data()
    values = []
    for _ in range(reps):
        started = time.perf_counter()
        _fit_forest(X, time_, event)
        values.append(time.perf_counter() - started)
    print(statistics.median(values))


def cases(quick: bool) -> list[str]:
    return ["gbsg2", "synthetic-1000-10"] + ([] if quick else ["synthetic-10000-10", "synthetic-10000-50"])


def load_case(name: str):
    """Covariates (float64), event (bool) and time of a case, shuffled into train and test."""
    if name == "gbsg2":
        import pandas as pd
        from sksurv.datasets import load_gbsg2

        X_frame, y = load_gbsg2()
        X = pd.get_dummies(X_frame, drop_first=True).astype(np.float64).to_numpy()
        event, time_ = y["cens"], y["time"]
    else:
        from run import synthetic_data

        _, n, p = name.split("-")
        X, time_, indicator = synthetic_data(int(n), int(p))
        event = indicator == 1
    order = np.random.default_rng(SEED).permutation(len(time_))
    n_test = round(len(order) * TEST_FRACTION)
    test, train = order[:n_test], order[n_test:]
    return (X[train], event[train], time_[train]), (X[test], event[test], time_[test])


def make_side(side: str, n_train: int):
    if side == "korvane":
        from korvane import RandomSurvivalForest

        return RandomSurvivalForest(N_TREES, min_samples_leaf=MIN_LEAF, min_samples_split=2 * MIN_LEAF,
                                    oob_score=_korvane_has_oob(), n_jobs=THREADS, random_state=SEED)
    from sksurv.ensemble import RandomSurvivalForest

    return RandomSurvivalForest(N_TREES, min_samples_leaf=1, min_weight_fraction_leaf=(MIN_LEAF - 0.5) / n_train,
                                max_features="sqrt", oob_score=True, n_jobs=THREADS, random_state=SEED)


def _korvane_has_oob() -> bool:
    from korvane import _korvane_core as core

    return hasattr(core.LogRankSurvivalForest, "_oob_cumulative_hazard")


def worker(side: str, case: str) -> None:
    from korvane import Surv
    from korvane.metrics import concordance_index

    (X, event, time_), (X_test, event_test, time_test) = load_case(case)
    y = Surv.from_arrays(event, time_)
    model = make_side(side, len(time_))
    base_kb = _peak_rss_kb()
    started = time.perf_counter()
    model.fit(X, y)
    fitted = time.perf_counter()
    risk = model.predict(X_test)
    predicted = time.perf_counter()
    print(json.dumps({
        "fit": fitted - started,
        "predict": predicted - fitted,
        "oob": getattr(model, "oob_score_", None),
        "c": concordance_index(time_test, event_test, risk),
        "memory_mb": (_peak_rss_kb() - base_kb) / 1024,
    }))


def _peak_rss_kb() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def side_by_side(quick: bool) -> None:
    print(f"\nSide by side, {N_TREES} trees, {THREADS} threads, held-out {TEST_FRACTION:.0%} of rows:")
    header = f"  {'case':<20} {'side':<16} {'fit s':>8} {'predict s':>10} {'OOB C':>7} {'test C':>7} {'peak MB':>8}"
    print(header)
    for case in cases(quick):
        results = {}
        for side in ("korvane", "scikit-survival"):
            run = subprocess.run([sys.executable, __file__, "--worker", side, case], capture_output=True, text=True)
            if run.returncode != 0:
                print(f"  {case:<20} {side:<16} failed: {run.stderr.strip().splitlines()[-1]}")
                continue
            results[side] = result = json.loads(run.stdout.strip().splitlines()[-1])
            oob = "n/a" if result["oob"] is None else f"{result['oob']:.3f}"
            print(f"  {case:<20} {side:<16} {result['fit']:8.3f} {result['predict']:10.4f} {oob:>7} "
                  f"{result['c']:7.3f} {result['memory_mb']:8.1f}")
        if len(results) == 2:
            k, s = results["korvane"], results["scikit-survival"]
            print(f"  {'':<20} {'sksurv/korvane':<16} {s['fit'] / k['fit']:8.1f} {s['predict'] / k['predict']:10.1f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="GBSG2 and n = 1,000 only")
    parser.add_argument("--reps", type=int, default=21, help="repetitions of the overhead measurement")
    parser.add_argument("--baseline-python", help="interpreter of another korvane build, for before/after")
    parser.add_argument("--weights-only", action="store_true", help="only the weights measurement")
    parser.add_argument("--worker", nargs=2, metavar=("SIDE", "CASE"), help=argparse.SUPPRESS)
    parser.add_argument("--time-unweighted-fit", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return
    if args.time_unweighted_fit:
        time_unweighted_fit(args.time_unweighted_fit)
        return
    weighting(args.reps, args.baseline_python)
    if args.weights_only:
        return
    overhead(args.reps)
    side_by_side(args.quick)


if __name__ == "__main__":
    main()
