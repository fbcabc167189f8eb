"""Demo: `python -m korvane` fits a random survival forest on the shipped
veteran lung cancer trial, scores it on held-out patients and plots their
predicted survival curves."""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import korvane
from korvane import fit_log_rank_forest
from korvane.datasets import SurvivalDataset, load_veteran
from korvane.metrics import concordance_index

TEST_FRACTION = 0.3
N_TREES = 500
N_CURVES = 4


def main(argv: list[str] | None = None) -> int:
    args = _parse_args(argv)
    data = load_veteran()
    train_rows, test_rows = _split_rows(len(data.event_time), args.seed)
    train, test = _subset(data, train_rows), _subset(data, test_rows)
    print(
        f"korvane {korvane.__version__}: veteran lung cancer trial, {len(data.event_time)} patients, "
        f"{len(data.feature_names)} covariates; {len(train_rows)} train / {len(test_rows)} held out "
        f"(seed {args.seed})"
    )

    started = time.perf_counter()
    forest = fit_log_rank_forest(train.X, train.event_time, train.event_indicator, n_trees=N_TREES, seed=args.seed)
    print(f"{forest!r} fitted in {time.perf_counter() - started:.2f} s")

    death_times = np.unique(train.event_time[train.event_indicator == 1])
    hazard = forest.predict_cumulative_hazard(test.X, death_times)
    mortality = hazard.sum(axis=1)
    forest_c = concordance_index(test.event_time, test.event_indicator, mortality)
    karno_c = concordance_index(test.event_time, test.event_indicator, -test.X[:, data.feature_names.index("karno")])
    print(f"Harrell's C on the {len(test_rows)} held-out patients: {forest_c:.3f} (Karnofsky score alone: {karno_c:.3f})")
    print(
        f"  risk score = ensemble mortality: predicted cumulative hazard summed over "
        f"the {len(death_times)} distinct training death times"
    )
    return _plot_survival(args.output, test, death_times, hazard, mortality)


def _parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m korvane", description=__doc__)
    parser.add_argument(
        "--output", type=Path, default=Path("korvane_demo.png"), help="PNG to write (default: %(default)s)"
    )
    parser.add_argument(
        "--seed", type=int, default=0, help="seed of the train/test split and of the forest (default: %(default)s)"
    )
    args = parser.parse_args(argv)
    if not 0 <= args.seed < 2**64:
        parser.error(f"--seed must lie in [0, 2**64 - 1], got {args.seed}")
    return args


def _split_rows(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    shuffled = np.random.default_rng(seed).permutation(n)
    n_test = round(n * TEST_FRACTION)
    return np.sort(shuffled[n_test:]), np.sort(shuffled[:n_test])


def _subset(data: SurvivalDataset, rows: np.ndarray) -> SurvivalDataset:
    return data._replace(
        X=np.asfortranarray(data.X[rows]), event_time=data.event_time[rows], event_indicator=data.event_indicator[rows]
    )


def _plot_survival(output, test: SurvivalDataset, death_times, hazard, mortality) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print(
            "matplotlib is not installed, so no plot was written; "
            "`python -m pip install matplotlib` adds it (or run `./dev.sh demo`)",
            file=sys.stderr,
        )
        return 0

    figure = Figure(figsize=(8, 5), layout="constrained")
    axes = figure.add_subplot()
    curve_times = np.concatenate([[0.0], death_times])
    # Patients spread from the lowest to the highest predicted risk, so the curves differ.
    by_risk = np.argsort(mortality, kind="stable")
    for patient in by_risk[np.linspace(0, len(by_risk) - 1, N_CURVES).round().astype(int)]:
        survival = np.exp(-np.concatenate([[0.0], hazard[patient]]))
        (line,) = axes.step(curve_times, survival, where="post", label=_describe(test, patient))
        observed_time = test.event_time[patient]
        observed = survival[np.searchsorted(curve_times, observed_time, side="right") - 1]
        marker = "x" if test.event_indicator[patient] == 1 else "o"
        axes.plot(observed_time, observed, marker, color=line.get_color(), markersize=8)
    axes.set(
        xlabel="days since randomisation",
        ylabel="predicted survival S(t) = exp(-H(t))",
        ylim=(0, 1.02),
        title="Random survival forest, held-out patients of the veteran lung cancer trial",
    )
    axes.grid(alpha=0.3)
    axes.legend(title="x = died, o = censored", fontsize="small")
    try:
        figure.savefig(output, dpi=100)
    except OSError as error:
        print(f"cannot write {output}: {error}", file=sys.stderr)
        return 1
    print(f"survival curves of {N_CURVES} held-out patients written to {output}")
    return 0


def _describe(data: SurvivalDataset, row: int) -> str:
    features = dict(zip(data.feature_names, data.X[row]))
    cell_type = next(
        (name.removeprefix("celltype_") for name, value in features.items() if name.startswith("celltype_") and value),
        "squamous",
    )
    outcome = "died" if data.event_indicator[row] == 1 else "censored"
    return (
        f"age {features['age']:.0f}, Karnofsky {features['karno']:.0f}, {cell_type}: "
        f"{outcome} on day {data.event_time[row]:.0f}"
    )


if __name__ == "__main__":
    sys.exit(main())
