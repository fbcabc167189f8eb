"""Demo: `python -m korvane` fits a random survival forest on the shipped
veteran lung cancer trial, scores it on held-out patients and plots their
predicted survival curves."""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import korvane
from korvane import RandomSurvivalForest, Surv
from korvane.datasets import SurvivalDataset, load_veteran
from korvane.metrics import concordance_index

TEST_FRACTION = 0.3
N_TREES = 500
MIN_SAMPLES_LEAF = 15
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
    forest = RandomSurvivalForest(N_TREES, min_samples_leaf=MIN_SAMPLES_LEAF, n_jobs=-1, random_state=args.seed)
    forest.fit(train.X, _target(train))
    # scikit-learn wraps a long repr over lines; the report keeps it on one.
    print(f"{' '.join(repr(forest).split())} fitted in {time.perf_counter() - started:.2f} s")

    forest_c = forest.score(test.X, _target(test))
    karno_c = concordance_index(test.event_time, test.event_indicator, -test.X[:, data.feature_names.index("karno")])
    print(f"Harrell's C on the {len(test_rows)} held-out patients: {forest_c:.3f} (Karnofsky score alone: {karno_c:.3f})")
    print(
        f"  risk score = ensemble mortality: predicted cumulative hazard summed over "
        f"the {int(forest.is_event_time_.sum())} distinct training death times"
    )
    return _plot_survival(args.output, test, forest)


def _target(data: SurvivalDataset) -> np.ndarray:
    return Surv.from_arrays(data.event_indicator, data.event_time)


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


def _plot_survival(output: Path, test: SurvivalDataset, forest: RandomSurvivalForest) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print(
            "matplotlib is not installed, so no plot was written; "
            "`python -m pip install matplotlib` adds it (or run `./dev.sh demo`)",
            file=sys.stderr,
        )
        return 0
    from korvane.plotting import plot_step_functions

    figure = Figure(figsize=(8, 5), layout="constrained")
    axes = figure.add_subplot()
    # Patients spread from the lowest to the highest predicted risk, so the curves differ.
    by_risk = np.argsort(forest.predict(test.X), kind="stable")
    patients = by_risk[np.linspace(0, len(by_risk) - 1, N_CURVES).round().astype(int)]
    curves = forest.predict_survival_function(test.X[patients])
    plot_step_functions(curves, ax=axes, labels=[_describe(test, patient) for patient in patients])
    for line, curve, patient in zip(axes.lines, curves, patients):
        observed_time = test.event_time[patient]
        marker = "x" if test.event_indicator[patient] == 1 else "o"
        axes.plot(observed_time, curve(observed_time), marker, color=line.get_color(), markersize=8)
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
