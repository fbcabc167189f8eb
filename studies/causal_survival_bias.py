"""Where the causal survival forest's error comes from: bias of the scores against the forest's
smoothing, variance, and which rows the intervals miss.

    python studies/causal_survival_bias.py --n 500 --reps 8 --designs 1 4
    python studies/causal_survival_bias.py --n 500 --reps 4 --variants "split on the plug-in effect"

The training draws, seeds and test rows are the study's (`causal_survival_study.py`), and the
forests are the ones its "causal survival forest" rows grow. Per variant it prints, averaged
over the test rows:

- bias2: squared bias, (mean over repetitions of the estimate - truth)^2 less the noise of
  that mean (spread / reps, so that few repetitions do not inflate it), split into
  - smoothing: that of the forest's "smoothed truth", the forest-weighted ratio of the
    training rows' true effects, sum_i a_i(x) tau(X_i) d_i / sum_i a_i(x) d_i (d the score's
    denominator): the bias the forest's weights make with exact scores;
  - scores: (mean estimate - mean smoothed truth)^2, what the scores' own bias adds;
- spread: variance of the estimate across repetitions; est.var: mean of the forest's own
  variance estimate; ratio: est.var / spread;
- coverage of the truth, coverage of the smoothed truth (the target the variance describes),
  and coverage of the truth per decile of the true effect (lowest first).

"oracle scores" grows the forest on the scores of the design's true nuisances (RMST only).
The other variants change one thing against the default forest on the same estimated scores.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np

import korvane
from causal_survival_designs import DESIGNS, Design, Sample, exact_truth, simulate
from causal_survival_study import Cell, Settings, cell_seed, target_time, test_rows
from effect_calibration import oracle_scores
from korvane._causal_survival_scores import (
    Horizon,
    NuisanceSettings,
    _survival_forest,
    causal_survival_scores,
    restricted_mean,
    survival_on_grid,
    time_grid,
    with_treatment,
)
from korvane._estimator import seed_from
from korvane.causal_survival import _ratio_variance
from korvane.effects import _effect, _little_bag_variance, _moment_terms, _positive_part_posterior, grow_effect_forest

Z = 1.959963984540054


class Fit(NamedTuple):
    """One training draw: its estimated scores, the plug-in effect of the event forest, the true
    effect of each training row, and the default forest's settings."""

    design: str
    sample: Sample
    numerator: np.ndarray
    denominator: np.ndarray
    gamma_centred: np.ndarray  # Gamma - m
    treatment_centred: np.ndarray  # W - e
    plug_in: np.ndarray  # mu(x, 1) - mu(x, 0)
    tau: np.ndarray
    horizon: Horizon
    settings: dict[str, Any]
    seed: int


class Run(NamedTuple):
    estimate: np.ndarray
    variance: np.ndarray
    smoothed: np.ndarray


def fit_scores(design: Design, n: int, rep: int, target: str) -> Fit:
    study_seed = cell_seed(Cell(design.name, n, rep))
    sample = simulate(design, n, np.random.default_rng(study_seed))
    seed = seed_from(study_seed)  # the core seed of CausalSurvivalForest(random_state=study_seed)
    horizon = Horizon.of(target, target_time(design, target))  # type: ignore[arg-type]
    study = Settings()
    nuisances = NuisanceSettings(study.nuisance_trees, study.min_samples_leaf, seed % 2**32, study.n_jobs)
    scores = causal_survival_scores(sample.X, sample.time, sample.event, sample.treatment, horizon, nuisances)
    # The event forest of the scores again (same data and seed): its effect at each row.
    grid = time_grid(sample.time, horizon)
    XW = with_treatment(sample.X, sample.treatment)
    events = _survival_forest(XW, sample.event, sample.time, nuisances, nuisances.seed(0))
    arms = [
        restricted_mean(survival_on_grid(events, with_treatment(sample.X, w), grid, nuisances.n_jobs), grid, horizon)
        for w in (0.0, 1.0)
    ]
    truth = exact_truth(design, sample.X)
    forest = korvane.CausalSurvivalForest(target, target_time(design, target), study.effect_trees, n_jobs=study.n_jobs)
    settings = forest._core_settings(*sample.X.shape) | {"min_side_samples": 0}
    return Fit(
        design.name,
        sample,
        scores.numerator,
        scores.denominator,
        scores.pseudo_outcome - scores.mean_outcome,
        sample.treatment - scores.propensity,
        arms[1] - arms[0],
        truth.rmst if target == "RMST" else truth.survival,
        horizon,
        settings,
        seed,
    )


# --- the estimators compared -----------------------------------------------------------------


def grown(fit: Fit, numerator: np.ndarray, denominator: np.ndarray, **settings: Any) -> Any:
    """The default effect forest on (X, numerator, denominator), with `settings` over its own."""
    return grow_effect_forest("_grow_ratio_forest", (fit.sample.X, numerator, denominator), None,
                              fit.settings | settings, fit.seed, 2, balance=fit.sample.treatment)


def oob_effect(fit: Fit) -> np.ndarray:
    """The default forest's out-of-bag effect at each training row (in bag for a row every tree drew)."""
    forest, values = grown(fit, fit.numerator, fit.denominator), np.column_stack((fit.numerator, fit.denominator))
    sums = forest._oob_weighted_sums(fit.sample.X, values)
    unseen = ~np.isfinite(sums[:, 0] / sums[:, 1])
    sums[unseen] = forest._weighted_sums(fit.sample.X[unseen], values)
    effect: np.ndarray = sums[:, 0] / sums[:, 1]
    return effect


def ratio_run(fit: Fit, X_test: np.ndarray, numerator: np.ndarray, split_numerator: np.ndarray,
              denominator: np.ndarray, **settings: Any) -> Run:
    """The default forest's ratio estimate, grown on `split_numerator` (the numerator unless a
    variant changes what the splits see) and answering with `numerator`."""
    forest = grown(fit, split_numerator, denominator, **settings)
    values = np.column_stack((numerator, denominator))
    sums = forest._weighted_sums(X_test, values)
    smoothed = forest._weighted_sums(X_test, np.column_stack((fit.tau * denominator, denominator)))
    variance = _ratio_variance(np.asarray(forest._tree_weighted_sums(X_test, values)), 2)
    return Run(sums[:, 0] / sums[:, 1], variance, smoothed[:, 0] / smoothed[:, 1])


def two_pass_run(fit: Fit, X_test: np.ndarray) -> Run:
    """The default forest's out-of-bag effects at the training rows, a smooth and far less noisy
    picture of where the effect changes, as what a second forest's splits see; its honest
    leaves answer with the scores."""
    return ratio_run(fit, X_test, fit.numerator, fit.denominator * oob_effect(fit), fit.denominator)


def boosted_run(fit: Fit, X_test: np.ndarray) -> Run:
    """One step of boosting: a second forest of the default's settings estimates, from the
    scores' residuals at the first forest's out-of-bag effects, what the first one missed."""
    effect = oob_effect(fit)
    residual = fit.numerator - effect * fit.denominator
    base = ratio_run(fit, X_test, fit.numerator, fit.numerator, fit.denominator)
    correction = ratio_run(fit._replace(seed=fit.seed + 1, tau=fit.tau - effect), X_test, residual, residual,
                           fit.denominator)
    return Run(base.estimate + correction.estimate, base.variance + correction.variance,
               base.smoothed + correction.smoothed)


def centred_run(fit: Fit, X_test: np.ndarray) -> Run:
    """Local centring: the causal forest's moment estimate on (Gamma - m, W - e), which centres
    both with forest-weighted means before splitting and in the estimate."""
    y, w = fit.gamma_centred, fit.treatment_centred
    forest = grow_effect_forest("_grow_causal_forest", (fit.sample.X, y, w), None, fit.settings, fit.seed, 2)
    values = _moment_terms(y, w, None)
    variance = _little_bag_variance(np.asarray(forest._tree_weighted_sums(X_test, values)), 2)
    smoothed = _effect(forest._weighted_sums(X_test, _moment_terms(fit.tau * w, w, None)))
    return Run(_effect(forest._weighted_sums(X_test, values)), variance, smoothed)


def linear_moments(X: np.ndarray, numerator: np.ndarray, denominator: np.ndarray) -> np.ndarray:
    """Per row: d, n, d X, n X and d X_j X_k (j <= k), whose forest-weighted sums make the local
    linear ratio's normal equations at any query."""
    upper = np.triu_indices(X.shape[1])
    return np.column_stack((denominator, numerator, denominator[:, None] * X, numerator[:, None] * X,
                            denominator[:, None] * X[:, upper[0]] * X[:, upper[1]]))


def linear_system(sums: np.ndarray, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The normal equations sum_i a_i d_i z_i z_i' theta = sum_i a_i n_i z_i, z_i = (1, X_i - x),
    from the moment sums (..., k) at queries x (q, p); the leading axis of `sums` is the query's."""
    p = x.shape[1]
    upper = np.triu_indices(p)
    x = x.reshape(x.shape[:1] + (1,) * (sums.ndim - 2) + x.shape[1:])
    d, n, dX, nX = sums[..., 0], sums[..., 1], sums[..., 2 : 2 + p], sums[..., 2 + p : 2 + 2 * p]
    dXX = np.zeros(sums.shape[:-1] + (p, p))
    dXX[..., upper[0], upper[1]] = dXX[..., upper[1], upper[0]] = sums[..., 2 + 2 * p :]
    outer = dX[..., :, None] * x[..., None, :]
    cross = dX - d[..., None] * x
    system = np.empty(sums.shape[:-1] + (p + 1, p + 1))
    system[..., 0, 0], system[..., 0, 1:], system[..., 1:, 0] = d, cross, cross
    system[..., 1:, 1:] = dXX - outer - np.swapaxes(outer, -1, -2) + d[..., None, None] * x[..., :, None] * x[..., None, :]
    return system, np.concatenate((n[..., None], nX - n[..., None] * x), axis=-1)


def local_linear_run(fit: Fit, X_test: np.ndarray, penalty: float, top_share: bool) -> Run:
    """The ratio with a local linear correction: tau + beta'(X - x) fitted under the default
    forest's weights, beta under a ridge penalty of `penalty` times the weight of the
    denominators and each column's variance; on every column, or (`top_share`) on the columns
    with more than an even share of the forest's split importance."""
    forest = grown(fit, fit.numerator, fit.denominator)
    columns = np.arange(X_test.shape[1])
    if top_share:
        importance = np.asarray(forest._split_importance())
        columns = np.flatnonzero(importance > importance.sum() / len(importance))
    X, x = fit.sample.X[:, columns], X_test[:, columns]
    ridge = penalty * np.concatenate(([0.0], X.var(axis=0)))

    def solve(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        system, right = linear_system(forest._weighted_sums(X_test, values), x)
        system = system + system[:, :1, :1] * np.diag(ridge)
        return system, np.linalg.solve(system, right[..., None])[..., 0]

    moments = linear_moments(X, fit.numerator, fit.denominator)
    system, theta = solve(moments)
    smoothed = solve(linear_moments(X, fit.tau * fit.denominator, fit.denominator))[1][:, 0]
    # Delta method: each tree's normal equations at the forest's solution, through row 0 of the inverse.
    first_row = np.linalg.solve(np.swapaxes(system, -1, -2), np.eye(len(ridge))[:, :1][None].repeat(len(x), 0))[..., 0]
    variance = np.empty(len(x))
    for start in range(0, len(x), 50):
        block = slice(start, start + 50)
        trees, right = linear_system(np.asarray(forest._tree_weighted_sums(X_test[block], moments)), x[block])
        residual = right - np.einsum("qtij,qj->qti", trees, theta[block])
        variance[block] = bag_variance(np.einsum("qi,qti->qt", first_row[block], residual))
    return Run(theta[:, 0], variance, smoothed)


def bag_variance(psi: np.ndarray) -> np.ndarray:
    """The little bags' variance (pairs of trees) of the mean of per-tree terms psi, (q, trees)."""
    bags = psi.reshape(len(psi), -1, 2)
    between = bags.mean(axis=2).var(axis=1)
    noise = bags.var(axis=2, ddof=1).mean(axis=1) / 2
    error = np.maximum(between, noise) * math.sqrt(2.0 / bags.shape[1])
    variance: np.ndarray = _positive_part_posterior(between - noise, error)
    return variance


def clipped(values: np.ndarray, share: float) -> np.ndarray:
    low, high = np.quantile(values, [share, 1.0 - share])
    return np.clip(values, low, high)


Variant = Callable[[Fit, np.ndarray], Run]


def _oracle(fit: Fit, X_test: np.ndarray) -> Run:
    numerator, denominator = oracle_scores(fit.design, fit.sample, fit.horizon)
    return ratio_run(fit, X_test, numerator, numerator, denominator)


def _default(fit: Fit, X_test: np.ndarray, **settings: Any) -> Run:
    return ratio_run(fit, X_test, fit.numerator, fit.numerator, fit.denominator, **settings)


VARIANTS: dict[str, Variant] = {
    "causal survival forest": _default,
    "oracle scores": _oracle,
    "local centring": centred_run,
    "local linear, every column, ridge 0.1": lambda f, x: local_linear_run(f, x, 0.1, False),
    "local linear, every column, ridge 1": lambda f, x: local_linear_run(f, x, 1.0, False),
    "local linear, split columns, ridge 0.1": lambda f, x: local_linear_run(f, x, 0.1, True),
    "local linear, split columns, ridge 1": lambda f, x: local_linear_run(f, x, 1.0, True),
    "splits on numerators clipped at 5%": lambda f, x: ratio_run(f, x, f.numerator, clipped(f.numerator, 0.05),
                                                                 f.denominator),
    "split on the plug-in effect": lambda f, x: ratio_run(f, x, f.numerator, f.denominator * f.plug_in,
                                                          f.denominator),
    "split on the forest's out-of-bag effect": two_pass_run,
    "local linear, split columns, ridge 3": lambda f, x: local_linear_run(f, x, 3.0, True),
    "local linear, split columns, ridge 10": lambda f, x: local_linear_run(f, x, 10.0, True),
    "one step of boosting": boosted_run,
    "honest share 0.65": lambda f, x: _default(f, x, honesty_fraction=0.65),
    "leaves of 1": lambda f, x: _default(f, x, min_samples_leaf=1),
}
DEFAULT_VARIANTS = ["causal survival forest", "oracle scores", "local centring"]


# --- the report ------------------------------------------------------------------------------


def deciles(values: np.ndarray) -> np.ndarray:
    order = np.argsort(values, kind="stable")
    ranks = np.empty(len(values), dtype=np.intp)
    ranks[order] = np.arange(len(values))
    return ranks * 10 // len(values)


def row(label: str, truth: np.ndarray, runs: list[Run]) -> str:
    estimate, variance, smoothed = (np.array(part) for part in zip(*runs))
    mean, smooth = estimate.mean(axis=0), smoothed.mean(axis=0)
    spread, estimated = np.mean(estimate.var(axis=0, ddof=1)), np.mean(variance)
    half = Z * np.sqrt(variance)
    covered = np.abs(estimate - truth) <= half
    by_decile = " ".join(f"{covered[:, deciles(truth) == k].mean():.2f}" for k in range(10))
    reps = len(runs)
    # Each squared bias less the noise its mean over the repetitions adds (variance / reps).
    numbers = [
        np.mean((estimate - truth) ** 2),
        np.mean((mean - truth) ** 2) - spread / reps,
        np.mean((smooth - truth) ** 2) - np.mean(smoothed.var(axis=0, ddof=1)) / reps,
        np.mean((mean - smooth) ** 2) - np.mean((estimate - smoothed).var(axis=0, ddof=1)) / reps,
        spread,
        estimated,
    ]
    return (f"| {label} | {len(runs)} | " + " | ".join(f"{v:.4g}" for v in numbers)
            + f" | {estimated / spread:.2f} | {covered.mean():.3f} | {np.mean(np.abs(estimate - smoothed) <= half):.3f}"
            f" | {by_decile} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--designs", nargs="+", default=["1", "4"])
    parser.add_argument("--n", type=int, default=500)
    parser.add_argument("--reps", type=int, default=8)
    parser.add_argument("--targets", nargs="+", default=["RMST"])
    parser.add_argument("--variants", nargs="+", default=DEFAULT_VARIANTS, choices=list(VARIANTS))
    parser.add_argument("--test-rows", type=int, default=1000)
    args = parser.parse_args()
    if args.reps < 2:
        parser.error("--reps must be at least 2: the spread is a variance over the repetitions")
    print("| cell, variant | reps | MSE | bias2 | smoothing | scores | spread | est.var | ratio | coverage "
          "| of smoothed | coverage by decile of the true effect |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for name in args.designs:
        design = DESIGNS[name]
        X_test, truth = test_rows(design, args.test_rows, 0.0)
        X_test = np.asfortranarray(X_test)
        for target in args.targets:
            variants = [v for v in args.variants if v != "oracle scores" or target == "RMST"]
            runs: dict[str, list[Run]] = {v: [] for v in variants}
            for rep in range(args.reps):
                fit = fit_scores(design, args.n, rep, target)
                for variant in variants:
                    runs[variant].append(VARIANTS[variant](fit, X_test))
            values = truth.rmst if target == "RMST" else truth.survival
            for variant in variants:
                print(row(f"design {name} {target} n={args.n}: {variant}", values, runs[variant]), flush=True)


if __name__ == "__main__":
    main()
