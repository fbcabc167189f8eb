"""Simulation study of effect estimates on censored outcomes: the causal survival forest
against survival-forest baselines on the four designs of `causal_survival_designs`.

    python studies/causal_survival_study.py --reps 5              # every cell, RMST
    python studies/causal_survival_study.py --targets RMST survival.probability
    python studies/causal_survival_study.py --write-results       # table into RESULTS.md

Each repetition draws a training set; the test rows are fixed per design and their
truth is exact (closed form, which agrees with the Monte Carlo truth; see the harness
tests). Results are appended to a JSON-lines file, one line per (design, n, repetition,
method, target), so a run can be resumed or extended with more repetitions or methods.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

import korvane
from causal_survival_designs import DESIGNS, Design, Sample, covariates, exact_truth, simulate
from korvane._causal_survival_scores import (
    Horizon,
    NuisanceSettings,
    censoring_survival,
    inverse_censoring_weights,
    observed_outcome,
    restricted_mean,
    time_grid,
    with_treatment,
)

Array = np.ndarray
HERE = Path(__file__).resolve().parent
TARGETS = ("RMST", "survival.probability")


class Settings(NamedTuple):
    trees: int = 300  # each survival forest of the baselines
    effect_trees: int = 500  # the effect forests (causal survival, IPCW causal)
    nuisance_trees: int = 200
    min_samples_leaf: int = 15
    n_jobs: int = 2


class Prediction(NamedTuple):
    """Effect estimates on the test rows, with standard errors when the method gives them."""

    estimate: Array
    std_error: Array | None = None


def target_time(design: Design, target: str) -> float:
    return design.horizon if target == "RMST" else design.y0


# --- baselines built from korvane's random survival forests ------------------------------


def survival_forest(X: Array, time_: Array, event: Array, settings: Settings, seed: int) -> korvane.RandomSurvivalForest:
    forest = korvane.RandomSurvivalForest(
        settings.trees, min_samples_leaf=settings.min_samples_leaf, random_state=seed, n_jobs=settings.n_jobs
    )
    return forest.fit(X, korvane.Surv.from_arrays(event, time_))


def curve_summary(forest: korvane.RandomSurvivalForest, X: Array, target: str, when: float) -> Array:
    """The area under the predicted survival curve up to `when`, or the curve's value at `when`."""
    horizon = Horizon.of(target, when)  # type: ignore[arg-type]
    grid = time_grid(forest.unique_times_, horizon)
    hazard = np.asarray(forest._model.predict_cumulative_hazard(np.asfortranarray(X), grid))
    return restricted_mean(np.exp(-hazard), grid, horizon)


def with_columns(X: Array, treatment: Array | float, interactions: bool) -> Array:
    W = np.broadcast_to(np.asarray(treatment, dtype=np.float64), (len(X),))[:, None]
    blocks = [X, W, X * W] if interactions else [X, W]
    return np.asfortranarray(np.hstack(blocks))


def s_learner(interactions: bool) -> Callable[..., dict[str, Prediction]]:
    """One forest on (X, W) (and X * W), predicting each row under W = 1 and W = 0."""

    def fit_predict(
        sample: Sample, X_test: Array, design: Design, settings: Settings, seed: int, targets: list[str]
    ) -> dict[str, Prediction]:
        forest = survival_forest(
            with_columns(sample.X, sample.treatment, interactions), sample.time, sample.event, settings, seed
        )
        arms = [with_columns(X_test, w, interactions) for w in (1.0, 0.0)]
        return {
            target: Prediction(
                curve_summary(forest, arms[0], target, target_time(design, target))
                - curve_summary(forest, arms[1], target, target_time(design, target))
            )
            for target in targets
        }

    return fit_predict


def virtual_twins(
    sample: Sample, X_test: Array, design: Design, settings: Settings, seed: int, targets: list[str]
) -> dict[str, Prediction]:
    """One forest per arm (a T-learner)."""
    forests = [
        survival_forest(sample.X[arm], sample.time[arm], sample.event[arm], settings, seed + k)
        for k, arm in enumerate((sample.treatment == 1.0, sample.treatment == 0.0))
    ]
    return {
        target: Prediction(
            curve_summary(forests[0], X_test, target, target_time(design, target))
            - curve_summary(forests[1], X_test, target, target_time(design, target))
        )
        for target in targets
    }


def ipcw_causal_forest(
    sample: Sample, X_test: Array, design: Design, settings: Settings, seed: int, targets: list[str]
) -> dict[str, Prediction]:
    """A censoring forest on (X, W) weights each complete row by 1 / S_C(Y- | X, W); a causal
    forest with those sample weights regresses the truncated outcome on the treatment."""
    predictions = {}
    for target in targets:
        horizon = Horizon.of(target, target_time(design, target))  # type: ignore[arg-type]
        grid = time_grid(sample.time, horizon)
        nuisance = NuisanceSettings(settings.nuisance_trees, settings.min_samples_leaf, seed % 2**32, settings.n_jobs)
        XW = with_treatment(sample.X, sample.treatment)
        K = censoring_survival(XW, sample.event, sample.time, grid, horizon, nuisance)
        weights = inverse_censoring_weights(K, sample.time, sample.event, grid, horizon)
        # The nuisance forests this baseline was measured with (before "auto" became the default).
        forest = korvane.CausalForest(n_estimators=settings.effect_trees, model_y="forest", model_t="forest",
                                      random_state=seed, n_jobs=settings.n_jobs)
        forest.fit(sample.X, observed_outcome(sample.time, horizon), sample.treatment, sample_weight=weights)
        predictions[target] = Prediction(np.asarray(forest.predict(X_test)))
    return predictions


def causal_survival_forest(**options: Any) -> Callable[..., dict[str, Prediction]]:
    """The causal survival forest with `options` (e.g. `min_side_samples`, children with at
    least that many treated and as many control rows) over its defaults."""

    def fit(
        sample: Sample, X_test: Array, design: Design, settings: Settings, seed: int, targets: list[str]
    ) -> dict[str, Prediction]:
        predictions = {}
        for target in targets:
            forest = korvane.CausalSurvivalForest(
                target, target_time(design, target), settings.effect_trees,
                nuisance_estimators=settings.nuisance_trees, random_state=seed, n_jobs=settings.n_jobs,
                **options,
            )
            forest.fit(sample.X, korvane.Surv.from_arrays(sample.event, sample.time), sample.treatment)
            estimate = forest.predict(X_test)
            predictions[target] = Prediction(estimate, np.sqrt(forest.predict_variance(X_test)))
        return predictions

    return fit


METHODS: dict[str, Callable[..., dict[str, Prediction]]] = {
    "causal survival forest": causal_survival_forest(),
    "causal survival forest, side floor 5": causal_survival_forest(min_side_samples=5),
    "causal survival forest, child floor 0.05": causal_survival_forest(min_child_fraction=0.05),
    "causal survival forest, child floor 0.1": causal_survival_forest(min_child_fraction=0.1),
    "causal survival forest, child floor 0.3": causal_survival_forest(min_child_fraction=0.3),
    "causal survival forest, honest share 0.35": causal_survival_forest(honesty_fraction=0.35),
    "causal survival forest, leaves of 2": causal_survival_forest(min_samples_leaf=2),
    "S-learner": s_learner(interactions=False),
    "S-learner, X*W": s_learner(interactions=True),
    "virtual twins": virtual_twins,
    "IPCW causal forest": ipcw_causal_forest,
}
# The study's methods unless --methods names others: the variants of the causal survival
# forest are measured against its defaults, not run by default (a child floor of 0.05 was
# the default before 0.2).
DEFAULT_METHODS = [name for name in METHODS if not name.startswith("causal survival forest, ")]


# --- the study ----------------------------------------------------------------------------


class Cell(NamedTuple):
    design: str
    n: int
    rep: int


def cell_seed(cell: Cell) -> int:
    return 1_000_003 * int(cell.design) + 10_007 * cell.n + cell.rep


def test_rows(design: Design, rows: int, rho: float) -> tuple[Array, Any]:
    X = covariates(rows, np.random.default_rng(7 + int(design.name)), rho)
    return X, exact_truth(design, X)


def scores(prediction: Prediction, truth: Array, sign: Array) -> dict[str, float | None]:
    """Mean squared error, the share of signs right (rows with a zero true effect left out),
    and the share of 95% intervals that hold the truth."""
    signed = sign != 0
    result: dict[str, float | None] = {
        "mse": float(np.mean((prediction.estimate - truth) ** 2)),
        "sign": float(np.mean(np.sign(prediction.estimate[signed]) == sign[signed])),
        "coverage": None,
    }
    if prediction.std_error is not None:
        half_width = 1.959963984540054 * prediction.std_error
        result["coverage"] = float(np.mean(np.abs(prediction.estimate - truth) <= half_width))
    return result


def read_records(path: Path) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def run_cells(
    cells: list[Cell],
    methods: list[str],
    targets: list[str],
    settings: Settings,
    test_size: int,
    out: Path,
    rho: float = 0.0,
) -> Iterator[dict[str, Any]]:
    done = {(r["design"], r["n"], r["rep"], r["method"], r["target"]) for r in read_records(out)}
    tests = {name: test_rows(DESIGNS[name], test_size, rho) for name in {c.design for c in cells}}
    for cell in cells:
        design = DESIGNS[cell.design]
        sample = simulate(design, cell.n, np.random.default_rng(cell_seed(cell)), rho)
        X_test, truth = tests[cell.design]
        for method in methods:
            missing = [t for t in targets if (cell.design, cell.n, cell.rep, method, t) not in done]
            if not missing:
                continue
            started = time.perf_counter()
            predictions = METHODS[method](sample, X_test, design, settings, cell_seed(cell), missing)
            seconds = time.perf_counter() - started
            for target, prediction in predictions.items():
                truth_values = truth.rmst if target == "RMST" else truth.survival
                record = {**cell._asdict(), "method": method, "target": target, "seconds": seconds}
                record.update(scores(prediction, truth_values, design.effect_sign(X_test)))
                with out.open("a") as stream:
                    stream.write(json.dumps(record) + "\n")
                yield record


def summary_table(records: list[dict[str, Any]], target: str) -> str:
    """Markdown: per design and n, each method's mean MSE (with its standard error over the
    repetitions), sign rate and coverage."""
    rows = ["| design | n | method | reps | MSE | (s.e.) | sign rate | coverage |", "|---|---|---|---|---|---|---|---|"]
    keys = sorted({(r["design"], r["n"], r["method"]) for r in records if r["target"] == target})
    order = list(METHODS)
    keys.sort(key=lambda k: (k[0], k[1], order.index(k[2]) if k[2] in order else len(order)))
    for design, n, method in keys:
        chosen = [r for r in records if (r["design"], r["n"], r["method"], r["target"]) == (design, n, method, target)]
        mse = np.array([r["mse"] for r in chosen])
        coverage = [r["coverage"] for r in chosen if r["coverage"] is not None]
        spread = mse.std(ddof=1) / np.sqrt(len(mse)) if len(mse) > 1 else float("nan")
        covered = f"{np.mean(coverage):.3f}" if coverage else "–"
        sign_rate = np.mean([r["sign"] for r in chosen])
        rows.append(
            f"| {design} | {n:,} | {method} | {len(chosen)} | {mse.mean():.4g} | {spread:.2g} | {sign_rate:.3f} | {covered} |"
        )
    return "\n".join(rows)


SECTION = "## Treatment effects on censored outcomes"


def replace_section(text: str, section: str) -> str:
    """`text` with its study section (from SECTION to the next level-2 heading) replaced by
    `section`, or with `section` appended."""
    start = text.find(SECTION)
    if start < 0:
        return text.rstrip("\n") + "\n\n" + section
    end = text.find("\n## ", start + len(SECTION))
    return text[:start] + section + ("" if end < 0 else "\n" + text[end + 1 :])


def section_text(records: list[dict[str, Any]], targets: list[str], settings: Settings, test_size: int) -> str:
    seconds = sum({(r["design"], r["n"], r["rep"], r["method"]): r["seconds"] for r in records}.values())
    parts = [
        f"{SECTION}\n",
        "Produced by `studies/causal_survival_study.py --write-results` "
        f"({seconds / 60:.0f} min of fitting on 2 shared cores). Four designs of censored survival "
        "with a heterogeneous treatment effect (`causal_survival_designs.py`), p = 15 independent "
        f"U(0, 1) covariates, {test_size:,} fixed test rows per design with their exact truth. "
        f"Forests: {settings.trees} trees for each survival forest of the baselines, "
        f"{settings.effect_trees} for the effect forests, {settings.nuisance_trees} for each nuisance "
        f"forest; leaves of at least {settings.min_samples_leaf} rows for the survival forests. "
        "MSE: mean over the repetitions of the test rows' mean squared error (s.e.: its standard "
        "error over the repetitions). Sign rate: share of test rows whose estimated effect has the "
        "true sign (design 4 leaves out the rows without an effect). Coverage: share of test rows "
        "whose 95% interval holds the true effect.\n",
    ]
    for target in targets:
        parts.append(f"### {target}\n\n{summary_table(records, target)}\n")
    return "\n".join(parts)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--designs", nargs="+", default=list(DESIGNS))
    parser.add_argument("--n", nargs="+", type=int, default=[500, 2000])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--methods", nargs="+", default=DEFAULT_METHODS)
    parser.add_argument("--test-rows", type=int, default=1000)
    parser.add_argument("--rho", type=float, default=0.0, help="correlation of neighbouring covariates")
    parser.add_argument("--out", type=Path, help="results file (default: one per rho, beside this script)")
    parser.add_argument("--targets", nargs="+", default=list(TARGETS))
    parser.add_argument("--write-results", action="store_true", help="write the tables into RESULTS.md")
    args = parser.parse_args(argv)
    unknown = sorted(set(args.methods) - set(METHODS))
    if unknown:
        parser.error(f"unknown methods {unknown}; this korvane offers {list(METHODS)}")
    if args.write_results and args.rho != 0.0:
        parser.error("--write-results writes the tables of independent covariates (rho = 0) only")
    out = args.out or HERE / ("causal_survival_results.jsonl" if args.rho == 0.0 else f"causal_survival_results_rho{args.rho:g}.jsonl")
    cells = [Cell(d, n, rep) for rep in range(args.reps) for n in args.n for d in args.designs]
    for record in run_cells(cells, args.methods, args.targets, Settings(), args.test_rows, out, args.rho):
        print(json.dumps(record), file=sys.stderr, flush=True)
    records = read_records(out)
    section = section_text(records, args.targets, Settings(), args.test_rows)
    print(section)
    if args.write_results:
        path = HERE / "RESULTS.md"
        path.write_text(replace_section(path.read_text(), section))


if __name__ == "__main__":
    main()
