"""Missing covariates: held-out C of the forest grown on NaN against mean
imputation, and the cost of the missing-value code on data without NaN.

    python benchmarks/missing.py [--quick] [--seeds N] [--before SITE_DIR]

Quality. Synthetic survival data (benchmarks/run.py's Weibull proportional
hazards on four of ten features, about 35% censored), 1,000 training and 2,000
held-out rows, values removed from the four informative features of both:

- MCAR: each value missing with probability 0.2, whatever the data;
- MNAR: missingness tied to risk through the missing value itself: a value
  is missing with probability 0.5 where the log-risk term it takes part in
  is above its median (0.05 below), so "missing" signals a higher risk
  (about 27% missing).

Per data set and seed: korvane's RandomSurvivalForest grown on the data with
NaN; the same grown on mean-imputed data (scikit-learn's SimpleImputer fitted
on the training rows); and scikit-survival's RandomSurvivalForest on the
mean-imputed data and on the data with NaN as references. 100 trees, sqrt(p) features per split,
min_samples_leaf=15 (scikit-survival's counts distinct rows: its leaves are a
little larger), 2 threads. The score is Harrell's C of `predict` on the
held-out rows; the table gives the mean over seeds and korvane's gain over
its own imputation with the seeds' spread. scikit-survival's forest takes NaN
too, with its own rule for them: its column is a second reference.

Speed. With no NaN the missing-value code must cost nothing: fits of
`fit_log_rank_forest` (n = 5,000, p = 10, 100 trees, one thread; the time is
the process's CPU time, which a machine shared with other work disturbs far
less than the wall-clock time) by this korvane and, with
--before, by a baseline korvane installed in SITE_DIR (e.g. `pip install
--target SITE_DIR` of the commit before the change), alternating in fresh
processes, compared by median; the predictions of both must be the same bytes.
Without --before the same comparison runs this korvane against itself with
missing_values=True through `_grow_log_rank_forest`, which must also give the
same bytes.
"""

import argparse
import hashlib
import json
import os
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
SPEED_THREADS = 1
INFORMATIVE = [0, 1, 2, 3]


def simulate(n: int, p: int, seed: int):
    """benchmarks/run.py's data, with the log-risk term each informative feature takes part in."""
    rng = np.random.default_rng([7, seed, n, p])
    X = rng.standard_normal((n, p))
    interaction = 0.5 * X[:, 2] * X[:, 3]
    terms = np.stack([0.8 * X[:, 0], -0.6 * X[:, 1], interaction, interaction], axis=1)
    log_risk = terms[:, :3].sum(axis=1)
    event_time = (rng.exponential(size=n) / np.exp(log_risk)) ** (1.0 / 1.5)
    censor_time = rng.exponential(scale=2.0, size=n)
    time_ = np.minimum(event_time, censor_time)
    return X, time_, event_time <= censor_time, terms


def remove(X: np.ndarray, terms: np.ndarray, mechanism: str, rng: np.random.Generator) -> np.ndarray:
    X = X.copy()
    for feature in INFORMATIVE:
        if mechanism == "MCAR":
            chance = np.full(len(X), 0.2)
        else:
            # Missing more often where the value itself raises the risk.
            term = terms[:, feature]
            chance = np.where(term > np.median(term), 0.5, 0.05)
        X[rng.random(len(X)) < chance, feature] = np.nan
    return X


def quality(mechanism: str, seed: int, n_train: int, n_test: int) -> dict:
    from sklearn.impute import SimpleImputer
    from sksurv.ensemble import RandomSurvivalForest as PeerForest

    from korvane import RandomSurvivalForest, Surv
    from korvane.metrics import concordance_index

    X, time_, event, terms = simulate(n_train + n_test, 10, seed)
    X = remove(X, terms, mechanism, np.random.default_rng([11, seed]))
    train, test = slice(0, n_train), slice(n_train, None)
    y = Surv.from_arrays(event[train], time_[train])
    imputer = SimpleImputer(strategy="mean").fit(X[train])
    imputed_train, imputed_test = imputer.transform(X[train]), imputer.transform(X[test])
    settings = {"n_estimators": N_TREES, "min_samples_leaf": MIN_LEAF, "max_features": "sqrt", "random_state": seed}

    def c_index(risk):
        return concordance_index(time_[test], event[test], risk)

    ours = RandomSurvivalForest(**settings, n_jobs=THREADS)
    return {
        "missing share": float(np.isnan(X[:, INFORMATIVE]).mean()),
        "korvane, NaN": c_index(ours.fit(X[train], y).predict(X[test])),
        "korvane, mean imputed": c_index(ours.fit(imputed_train, y).predict(imputed_test)),
        "scikit-survival, mean imputed": c_index(
            PeerForest(**settings, n_jobs=THREADS).fit(imputed_train, y).predict(imputed_test)
        ),
        "scikit-survival, NaN": c_index(PeerForest(**settings, n_jobs=THREADS).fit(X[train], y).predict(X[test])),
    }


def quality_table(seeds: int, n_train: int, n_test: int) -> None:
    print(f"Held-out Harrell's C, n_train={n_train}, n_test={n_test}, p=10, mean over {seeds} seeds")
    columns = ["korvane, NaN", "korvane, mean imputed", "scikit-survival, mean imputed", "scikit-survival, NaN"]
    print(f"| data | missing | {' | '.join(columns)} | NaN − imputed (min, max) |")
    print("|---|---:|" + "---:|" * len(columns) + "---|")
    for mechanism in ["MCAR", "MNAR"]:
        runs = [quality(mechanism, seed, n_train, n_test) for seed in range(seeds)]
        means = [statistics.fmean(run[column] for run in runs) for column in columns]
        gains = [run["korvane, NaN"] - run["korvane, mean imputed"] for run in runs]
        share = statistics.fmean(run["missing share"] for run in runs)
        cells = " | ".join(f"{mean:.4f}" for mean in means)
        print(f"| {mechanism} | {share:.0%} | {cells} | {statistics.fmean(gains):+.4f} ({min(gains):+.4f}, {max(gains):+.4f}) |")


# --- speed without NaN ---------------------------------------------------------

WORKER = """
import hashlib, json, sys, time
import numpy as np
import korvane._korvane_core as core
sys.path.insert(0, {here!r})
from run import synthetic_data
X, t, e = synthetic_data({n}, 10)
grow = {grow}
times = []
for _ in range({reps}):
    start = time.process_time()
    forest = grow()
    times.append(time.process_time() - start)
hazard = forest.predict_cumulative_hazard(X[:500], np.quantile(t, np.linspace(0.05, 0.95, 20)))
print(json.dumps({{"times": times, "digest": hashlib.sha256(hazard.tobytes()).hexdigest(), "module": core.__file__}}))
"""

PUBLIC_FIT = f"lambda: core.fit_log_rank_forest(X, t, e, n_trees={N_TREES}, seed=1)"
MISSING_FIT = f"lambda: core._grow_log_rank_forest(X, t, e, n_trees={N_TREES}, seed=1, missing_values=True)"


def timed(grow: str, n: int, reps: int, site: str | None) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(SPEED_THREADS))
    if site is not None:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    code = WORKER.format(here=str(HERE), n=n, grow=grow, reps=reps)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def speed(n: int, rounds: int, before: str | None) -> None:
    label = f"baseline in {before}" if before else "missing_values=True"
    after_times, before_times, digests = [], [], set()
    for _ in range(rounds):
        # Alternating, so that a change in the machine's load hits both sides.
        after = timed(PUBLIC_FIT, n, 2, None)
        other = timed(PUBLIC_FIT if before else MISSING_FIT, n, 2, before)
        after_times += after["times"]
        before_times += other["times"]
        digests |= {after["digest"], other["digest"]}
        modules = (after["module"], other["module"])
    after_median, before_median = statistics.median(after_times), statistics.median(before_times)
    print(f"\nFit without NaN, n={n}, p=10, {N_TREES} trees, {SPEED_THREADS} thread, CPU s, {len(after_times)} fits each")
    print(f"  this korvane, fit_log_rank_forest: {after_median:.3f} s   ({modules[0]})")
    print(f"  {label}: {before_median:.3f} s   ({modules[1]})")
    print(f"  ratio this / {'baseline' if before else 'missing_values=True'}: {after_median / before_median:.3f}")
    print(f"  predictions identical: {'yes' if len(digests) == 1 else 'NO'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 seeds, 3 speed rounds")
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--before", help="a directory holding a baseline korvane package (pip install --target)")
    parser.add_argument("--only", choices=["quality", "speed"])
    args = parser.parse_args()
    seeds, rounds = (2, 3) if args.quick else (args.seeds, args.rounds)
    started = time.perf_counter()
    if args.only != "speed":
        quality_table(seeds, 1_000, 2_000)
    if args.only != "quality":
        speed(5_000, rounds, args.before)
    print(f"\n({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
