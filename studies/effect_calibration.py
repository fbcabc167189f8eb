"""Monte Carlo calibration of the effect forests' intervals: bias, spread and estimated variance.

    python studies/effect_calibration.py [--reps 8] [--trees 400] [--only TEXT]
                                         [--econml-python .venv-econml/bin/python]
                                         [--min-side-samples 0] [--nuisances forest]

One data-generating process per setup, fixed test rows, new training draws per repetition.
Per method it prints, averaged over the test rows:

- bias2: the squared bias, (mean over repetitions of the estimate - truth)^2;
- spread: the empirical variance of the estimate across repetitions;
- est.var: the mean of the method's own variance estimate (from its 95% interval);
- ratio: est.var / spread (1 is calibrated; below 1 the little bags miss variance);
- coverage: share of (repetition, row) pairs whose 95% interval holds the truth.

Setups: the continuous-treatment setup of `causal.py` with its supports fixed (korvane's
CausalForest and, with `--econml-python`, EconML's CausalForestDML), design 4 without
censoring (CausalForest on the true outcomes), and the causal survival forest on designs 1
and 4 (RMST at n = 2,000) with nuisances estimated as in a fit and with the oracle
nuisances of the design (true propensity, event and censoring survival curves), which
splits the bias between the nuisances and the effect forest. `--min-side-samples` sets the
korvane forests' floor on treated and control rows per child, `--nuisances` CausalForest's
model_y and model_t ("forest" or "auto").
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path

import numpy as np
from scipy import stats

import korvane
from causal import THREADS, korvane_side, run_econml
from causal_survival_designs import DESIGNS, covariates, exact_truth, simulate
from korvane._causal_survival_scores import (
    Horizon,
    aipcw,
    observed_outcome,
    outcome_given_alive,
    restricted_mean,
    time_grid,
)
from korvane.causal_survival import _ratio_variance
from korvane.effects import grow_effect_forest

HERE = Path(__file__).resolve().parent
Z = 1.959963984540054


def continuous_setup(n: int, n_test: int) -> tuple[Callable, np.ndarray, np.ndarray]:
    """The econml-continuous draw of `causal.py` with its supports and coefficients fixed."""
    fixed = np.random.default_rng(0)
    n_w, support = 30, 5
    support_t, support_y = fixed.choice(n_w, support, replace=False), fixed.choice(n_w, support, replace=False)
    b, g = fixed.uniform(size=support), fixed.uniform(size=support)

    def draw(rng):
        X = rng.uniform(size=(n, 1))
        W = rng.normal(size=(n, n_w))
        T = W[:, support_t] @ b + rng.uniform(-1, 1, size=n)
        Y = np.exp(2 * X[:, 0]) * T + W[:, support_y] @ g + rng.uniform(-1, 1, size=n)
        return X, W, T, Y, None

    X_test = np.linspace(0.0, 1.0, n_test)[:, None]
    return draw, X_test, np.exp(2 * X_test[:, 0])


def design4_uncensored(n: int, n_test: int) -> tuple[Callable, np.ndarray, np.ndarray]:
    def draw(rng):
        X = rng.uniform(size=(n, 15))
        e = 1.0 / ((1.0 + np.exp(-X[:, 0])) * (1.0 + np.exp(-X[:, 1])))
        T = rng.binomial(1, e).astype(float)
        Y = rng.poisson(X[:, 1] + X[:, 2] + np.maximum(0.0, X[:, 0] - 0.3) * T).astype(float)
        return X, np.empty((n, 0)), T, Y, None

    X_test = np.random.default_rng(7).uniform(size=(n_test, 15))
    return draw, X_test, np.maximum(0.0, X_test[:, 0] - 0.3)


def interval_run(result: dict) -> tuple[np.ndarray, np.ndarray]:
    return np.asarray(result["effect"]), ((np.asarray(result["upper"]) - np.asarray(result["lower"])) / (2 * Z)) ** 2


# --- the causal survival forest with oracle nuisances --------------------------------------


def censoring_curve(design: str, X: np.ndarray, W: np.ndarray, grid: np.ndarray) -> np.ndarray:
    """P(C > s | X, W) of the design's censoring on the grid."""
    t = grid[None, :]
    if design == "1":
        I1, root = (X[:, 0] < 0.5).astype(float), np.sqrt(X[:, 1])
        rate = np.exp(-1.75 - 0.5 * root + 0.2 * X[:, 2] + (1.15 + 0.5 * I1 - 0.3 * root) * W)
        return np.exp(-rate[:, None] * t**2)
    if design == "2":
        return np.clip(1.0 - t / 3.0, 0.0, 1.0).repeat(len(X), 0)
    offset = 12.0 if design == "3" else 1.0
    return np.asarray(stats.poisson.sf(np.floor(t), (offset + np.logaddexp(0.0, X[:, 2]))[:, None]))


def oracle_scores(design_name: str, sample, horizon: Horizon) -> tuple[np.ndarray, np.ndarray]:
    design = DESIGNS[design_name]
    X, W, time, event = sample.X, sample.treatment, sample.time, sample.event
    grid = time_grid(time, horizon)
    curve = lambda w: design.survival(X, np.broadcast_to(w, len(X)).astype(float), grid[None, :].repeat(len(X), 0))
    arm_means = [restricted_mean(curve(w), grid, horizon) for w in (0.0, 1.0)]
    e = design.propensity(X)
    m = e * arm_means[1] + (1 - e) * arm_means[0]
    survival = curve(W)
    K = censoring_curve(design_name, X, W, grid)
    gamma = aipcw(observed_outcome(time, horizon), outcome_given_alive(survival, grid, horizon), K, time, event, grid,
                  horizon)
    return (W - e) * (gamma - m), (W - e) ** 2


def csf_run(design_name: str, n: int, X_test: np.ndarray, trees: int, oracle: bool, seed: int, min_side: int):
    design = DESIGNS[design_name]
    sample = simulate(design, n, np.random.default_rng(seed))
    forest = korvane.CausalSurvivalForest("RMST", design.horizon, trees, random_state=seed, n_jobs=THREADS,
                                          min_side_samples=min_side)
    if not oracle:
        forest.fit(sample.X, korvane.Surv.from_arrays(sample.event, sample.time), sample.treatment)
        return forest.predict(X_test), forest.predict_variance(X_test)
    numerator, denominator = oracle_scores(design_name, sample, Horizon.of("RMST", design.horizon))
    settings = forest._core_settings(n, X_test.shape[1]) | {"min_side_samples": min_side}
    grown = grow_effect_forest("_grow_ratio_forest", (sample.X, numerator, denominator), None, settings, seed, 2,
                               balance=sample.treatment.astype(np.float64))
    values = np.column_stack((numerator, denominator))
    X_test = np.asfortranarray(X_test)
    sums = grown._weighted_sums(X_test, values)
    terms = np.asarray(grown._tree_weighted_sums(X_test, values))
    return sums[:, 0] / sums[:, 1], _ratio_variance(terms, 2)


# --- the report ---------------------------------------------------------------------------


def report(name: str, truth: np.ndarray, runs: list[tuple[np.ndarray, np.ndarray]]) -> None:
    estimates = np.array([r[0] for r in runs])
    variances = np.array([r[1] for r in runs])
    bias2 = np.mean((estimates.mean(axis=0) - truth) ** 2)
    spread = np.mean(estimates.var(axis=0, ddof=1))
    estimated = np.mean(variances)
    covered = np.mean(np.abs(estimates - truth) <= Z * np.sqrt(variances))
    mse = np.mean((estimates - truth) ** 2)
    print(f"| {name} | {len(runs)} | {mse:.4g} | {bias2:.4g} | {spread:.4g} | {estimated:.4g} | "
          f"{estimated / spread:.2f} | {covered:.3f} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=8)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--only", default="")
    parser.add_argument("--econml-python", default="")
    parser.add_argument("--min-side-samples", type=int, default=0)
    parser.add_argument("--nuisances", default="forest", help="CausalForest's model_y and model_t: forest or auto")
    args = parser.parse_args()
    print("| method | reps | MSE | bias2 | spread | est.var | ratio | coverage |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    setups = {"continuous": continuous_setup(1000, 101), "design4-uncensored": design4_uncensored(2000, 300)}
    for name, (draw, X_test, truth) in setups.items():
        if args.only not in name:
            continue
        trains = [draw(np.random.default_rng(5000 + rep)) for rep in range(args.reps)]
        runs = [interval_run(korvane_side(train, X_test, args.trees, rep, args.nuisances, args.min_side_samples))
                for rep, train in enumerate(trains)]
        report(f"{name}: CausalForest, {args.nuisances} nuisances", truth, runs)
        if args.econml_python:
            binary = name != "continuous"
            runs = [interval_run(run_econml(args.econml_python, train, X_test, args.trees, rep, binary))
                    for rep, train in enumerate(trains)]
            report(f"{name}: CausalForestDML", truth, runs)
    for design_name in ("4", "1"):
        for oracle in (False, True):
            name = f"csf design {design_name}, {'oracle' if oracle else 'estimated'} nuisances"
            if args.only not in name:
                continue
            X_test = covariates(300, np.random.default_rng(7 + int(design_name)))
            truth = exact_truth(DESIGNS[design_name], X_test).rmst
            runs = [csf_run(design_name, 2000, X_test, args.trees, oracle, 9000 + rep, args.min_side_samples)
                    for rep in range(args.reps)]
            report(name, truth, runs)


if __name__ == "__main__":
    main()
