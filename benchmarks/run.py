"""Time korvane against scikit-survival and ranger on the same data with the same settings.

    python benchmarks/run.py [--quick] [--max-peer-seconds S] [--write-results]

Every measurement runs in its own process (benchmarks/workers.py for the
Python sides, benchmarks/ranger_fit.R for ranger), so each side's peak RSS is
its own and korvane's worker pool starts with the thread count we ask for.
Prints one table per question: forest fit and prediction, single tree, forest
weights, and korvane's fit at 1 and 2 threads.
"""

import argparse
import json
import math
import os
import platform
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path
from typing import NamedTuple

import numpy as np

from casefiles import Split, read_hazard, write_split
from korvane.datasets import load_veteran
from korvane.metrics import concordance_index

HERE = Path(__file__).resolve().parent
# The documentation's performance page: --write-results rewrites its head and the
# table's section and keeps every later section (the notes written by hand).
RESULTS_PATH = HERE.parent / "docs" / "performance.md"
PAGE_HEAD = """# Performance

How korvane's fits, predictions and forest weights compare in time and memory with
scikit-survival's and ranger's on the same data and settings, and, below the table, notes on
where korvane's time and memory go, newest first. `./dev.sh bench` reproduces the table: it
builds the wheel, installs the peers (scikit-survival from PyPI, ranger from Debian) and runs
`benchmarks/run.py`; `./dev.sh bench --quick` measures the small cases only, and
`./dev.sh bench --write-results` rewrites this table and keeps the notes. `benchmarks/README.md`
describes the settings, the other timing scripts and the C++ profilers; statistical studies of
the estimates (bias, coverage, calibration) are in `studies/`.
"""
TABLE_HEADING = "## korvane against scikit-survival and ranger"

THREADS = 2
N_TREES = 100
MIN_LEAF = 15
N_TEST = 1000
N_TIMES = 100
# Times are rounded up to this step, which gives tied times and, at large n,
# on the order of a thousand distinct ones.
TIME_STEP = 0.005
# Forest weights are an n_query x n_train float64 array: keep it near 80 MB.
MAX_WEIGHT_ENTRIES = 10_000_000
DATA_SEED = 20240607
FOREST_SEED = 1
STARTUP_SECONDS = 30.0

FULL_SIZES = [(1_000, 10), (1_000, 50), (10_000, 10), (10_000, 50), (50_000, 10), (50_000, 50)]
QUICK_SIZES = [(1_000, 10), (1_000, 50)]
# Every time distinct, as in registry and health-record data: the same data
# without the rounding to TIME_STEP.
FULL_CONTINUOUS_SIZES = [(1_000, 10), (10_000, 10), (50_000, 10)]
QUICK_CONTINUOUS_SIZES = [(1_000, 10)]


# Cases


class Holdout(NamedTuple):
    split: Split
    time_test: np.ndarray
    event_test: np.ndarray


@dataclass(frozen=True)
class Case:
    name: str
    n_train: int
    n_features: int
    holdouts: Callable[[], list[Holdout]]
    continuous: bool = False


def synthetic_case(n_train: int, n_features: int, continuous: bool = False) -> Case:
    def holdouts() -> list[Holdout]:
        X, event_time, event = synthetic_data(n_train + N_TEST, n_features, continuous)
        train, test = slice(0, n_train), slice(n_train, None)
        return [holdout(X, event_time, event, train, test)]

    name = f"synthetic n={n_train:,} p={n_features}" + (" continuous" if continuous else "")
    return Case(name, n_train, n_features, holdouts, continuous)


def synthetic_data(n: int, n_features: int, continuous: bool = False):
    """Weibull proportional hazards on four of the features, with independent exponential censoring.

    Times are rounded up to TIME_STEP unless `continuous`; the rest is the same data either way.
    """
    rng = np.random.default_rng([DATA_SEED, n, n_features])
    X = np.asfortranarray(rng.standard_normal((n, n_features)))
    log_risk = 0.8 * X[:, 0] - 0.6 * X[:, 1] + 0.5 * X[:, 2] * X[:, 3]
    shape = 1.5
    event_time = (rng.exponential(size=n) / np.exp(log_risk)) ** (1.0 / shape)
    censor_time = rng.exponential(scale=2.0, size=n)
    observed = np.minimum(event_time, censor_time)
    if not continuous:
        observed = np.ceil(observed / TIME_STEP) * TIME_STEP
    return X, observed, (event_time <= censor_time).astype(np.uint8)


def shipped_case() -> Case:
    """The package's own data set, in five folds: too small for a single held-out set."""
    data = load_veteran()
    n, n_features = data.X.shape
    n_folds = 5
    folds = np.array_split(np.random.default_rng(DATA_SEED).permutation(n), n_folds)

    def holdouts() -> list[Holdout]:
        return [
            holdout(data.X, data.event_time, data.event_indicator, np.setdiff1d(np.arange(n), fold), fold)
            for fold in folds
        ]

    return Case(f"veteran n={n} p={n_features} (5-fold)", n - n // n_folds, n_features, holdouts)


def holdout(X, event_time, event, train, test) -> Holdout:
    train_events = event_time[train][event[train] == 1]
    split = Split(
        X_train=np.asfortranarray(X[train]),
        time_train=event_time[train],
        event_train=event[train],
        X_test=np.asfortranarray(X[test]),
        times=np.quantile(train_events, np.linspace(0.05, 0.95, N_TIMES)),
    )
    return Holdout(split, event_time[test], event[test])


# Sides and jobs


@dataclass(frozen=True)
class Job:
    """One row of a table: a side, a model and the settings it is run with."""

    table: str
    label: str
    kind: str
    """forest, tree or weights: what the worker measures."""
    command: Callable[[Path, Path, "Options", int], list[str]]
    threads: int = THREADS
    budget_key: str = ""
    """Jobs with the same key share a fit, so one's timing predicts the other's."""
    growth: float = 1.5
    """Exponent of n in the fit time, to extrapolate to a larger n and skip what would overrun the budget."""
    python_path: str = ""
    """Where the worker imports korvane from first (another build); empty: the installed one."""


@dataclass(frozen=True)
class Options:
    reps: int
    budget: float
    n_features: int
    n_train: int


def python_worker(side: str, kind: str):
    def command(data_dir: Path, hazard_out: Path, options: Options, threads: int) -> list[str]:
        return [
            sys.executable, str(HERE / "workers.py"), side, kind, str(data_dir), str(hazard_out),
            "--reps", str(options.reps), "--budget", str(options.budget),
            "--n-trees", str(N_TREES), "--min-leaf", str(MIN_LEAF),
            "--mtry", str(math.isqrt(options.n_features)), "--threads", str(threads),
            "--seed", str(FOREST_SEED),
            "--weights-rows", str(min(N_TEST, MAX_WEIGHT_ENTRIES // options.n_train)),
        ]

    return command


def ranger_worker(data_dir: Path, hazard_out: Path, options: Options, threads: int) -> list[str]:
    settings = [options.reps, options.budget, N_TREES, MIN_LEAF, math.isqrt(options.n_features), threads, FOREST_SEED]
    return ["Rscript", str(HERE / "ranger_fit.R"), str(data_dir), str(hazard_out), *map(str, settings)]


FOREST, TREE, WEIGHTS, SCALING = "forest", "tree", "weights", "scaling"
TABLES = (FOREST, TREE, WEIGHTS, SCALING)
# The label of the forest weights of another korvane build (--baseline).
BASELINE = "korvane baseline"
JOBS = [
    Job(FOREST, "korvane", "forest", python_worker("korvane", "forest"), budget_key="korvane forest"),
    # Measured: scikit-survival ~n^1.75, ranger ~n^2.3 (its split search scores
    # every candidate against every distinct death time of the whole data).
    Job(FOREST, "scikit-survival", "forest", python_worker("sksurv", "forest"), budget_key="sksurv forest",
        growth=1.8),
    Job(FOREST, "ranger", "forest", ranger_worker, budget_key="ranger forest", growth=2.3),
    Job(TREE, "korvane", "tree", python_worker("korvane", "tree"), budget_key="korvane tree"),
    Job(TREE, "scikit-survival", "tree", python_worker("sksurv", "tree"), budget_key="sksurv tree", growth=1.8),
    Job(WEIGHTS, "korvane", "weights", python_worker("korvane", "weights"), budget_key="korvane forest"),
    Job(WEIGHTS, "NumPy from leaves", "weights", python_worker("sksurv", "weights"), budget_key="sksurv forest",
        growth=1.8),
    Job(SCALING, "korvane 1 thread", "forest", python_worker("korvane", "forest"), threads=1,
        budget_key="korvane forest"),
]


# Running


TIMINGS = ("fit", "predict", "weights", "write", "weights_cpu", "write_cpu")


@dataclass
class Measurement:
    seconds: dict[str, list[float]]
    """Every repetition of each timed step the worker reported: fit, predict, weights, write."""
    concordance: list[float]
    peak_mb: float
    base_mb: float
    n_query: int

    def median(self, step: str) -> float:
        return float(np.median(self.seconds[step]))


@dataclass
class Skipped:
    reason: str


class Budget:
    """Skips a job whose fit, extrapolated from the same side on fewer rows, would overrun the budget.

    Continuous and rounded times keep separate histories: the sides' costs grow
    differently with distinct times, and a skip at a large rounded case must not
    skip the small continuous cases that the table lists after it."""

    def __init__(self, seconds: float):
        self.seconds = seconds
        self.last_fit: dict[tuple[str, int], tuple[int, float | None]] = {}

    def check(self, job: Job, case: Case) -> Skipped | None:
        known = self.last_fit.get((job.budget_key, case.n_features, case.continuous))
        if known is None:
            return None
        n_train, seconds = known
        if seconds is None:
            return Skipped("skipped (budget)")
        estimate = seconds * max(1.0, case.n_train / n_train) ** job.growth
        return Skipped(f"skipped (budget, ~{estimate:.0f} s)") if estimate > self.seconds else None

    def record(self, job: Job, case: Case, result: "Measurement | Skipped") -> None:
        key = (job.budget_key, case.n_features, case.continuous)
        if isinstance(result, Skipped):
            if result.reason.startswith("skipped"):
                self.last_fit[key] = (case.n_train, None)
        elif "fit" in result.seconds and job.threads == THREADS:
            self.last_fit[key] = (case.n_train, float(np.median(result.seconds["fit"])))


def run_job(job: Job, case: Case, holdouts: list[Holdout], workdir: Path, options: Options) -> Measurement | Skipped:
    runs = []
    for index, held_out in enumerate(holdouts):
        data_dir = workdir / str(index)
        hazard_out = data_dir / f"hazard-{job.table}-{job.label.replace(' ', '_')}.f64"
        command = job.command(data_dir, hazard_out, options, job.threads)
        outcome = run_worker(command, job.threads, options.budget, job.python_path)
        if isinstance(outcome, Skipped):
            return outcome
        report, peak_kb = outcome
        concordance = None
        if job.kind != "weights":
            risk = read_hazard(hazard_out, held_out.split.X_test.shape[0]).sum(axis=1)
            concordance = concordance_index(held_out.time_test, held_out.event_test, risk)
        runs.append((report, peak_kb, concordance))
    reports = [report for report, _, _ in runs]
    return Measurement(
        seconds={
            step: [s for report in reports for s in report[step]]
            for step in TIMINGS if step in reports[0]
        },
        concordance=[c for _, _, c in runs if c is not None],
        peak_mb=max(peak for _, peak, _ in runs) / 1024,
        base_mb=max(report["rss_base_kb"] for report in reports) / 1024,
        n_query=max(report.get("n_query", 0) for report in reports),
    )


def run_worker(command: list[str], threads: int, budget: float, python_path: str = ""):
    """Run one worker; returns (its JSON report, its peak RSS in KB), or Skipped.

    The peak is the one the worker reads from /proc/self/status as it ends, not
    the rusage of the child: Linux carries the parent's resident set at the fork
    into the child's ru_maxrss, so every side would be charged this process's
    own size (with scikit-learn imported, about 170 MB)."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    if python_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [python_path, env.get("PYTHONPATH", "")]))
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        process = subprocess.Popen(command, stdout=stdout, stderr=stderr, env=env, cwd=HERE)
        # A worker starts no repetition that would end past the budget, so only a
        # first fit far slower than estimated runs into this deadline.
        status = wait_for(process, deadline=time.monotonic() + 1.25 * budget + STARTUP_SECONDS)
        if status is None:
            return Skipped("skipped (budget)")
        stdout.seek(0)
        stderr.seek(0)
        if status != 0:
            message = stderr.read().decode(errors="replace").strip().splitlines()
            return Skipped(f"failed: {message[-1] if message else f'exit {status}'}")
        report = json.loads(stdout.read().decode().strip().splitlines()[-1])
        return report, report["rss_peak_kb"]


def wait_for(process: subprocess.Popen, deadline: float):
    """Wait for the worker and return its exit status; kill it at the deadline (None)."""
    while True:
        pid, status = os.waitpid(process.pid, os.WNOHANG)
        if pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return process.returncode
        if time.monotonic() > deadline:
            process.kill()
            os.waitpid(process.pid, 0)
            process.returncode = -9
            return None
        time.sleep(0.05)


def run_case(case: Case, jobs: list[Job], args, budget: Budget, results: dict, stop_at: float) -> None:
    holdouts = case.holdouts()
    options = Options(args.reps, args.max_peer_seconds, case.n_features, case.n_train)
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as tmp:
        workdir = Path(tmp)
        for index, held_out in enumerate(holdouts):
            write_split(workdir / str(index), held_out.split)
        for job in jobs:
            if time.monotonic() > stop_at:
                result = Skipped("skipped (time limit)")
            else:
                result = budget.check(job, case) or run_job(job, case, holdouts, workdir, options)
            budget.record(job, case, result)
            results[(job.table, case.name, job.label)] = result
            print(f"  {case.name:<34} {job.table:<8} {job.label:<18} {progress(result)}", file=sys.stderr, flush=True)


def progress(result: Measurement | Skipped) -> str:
    if isinstance(result, Skipped):
        return result.reason
    parts = [f"{step} {median_seconds(values)}" for step, values in result.seconds.items()]
    return ", ".join(parts + [f"peak {result.peak_mb:.0f} MB"])


# Tables


def median_seconds(values: list[float]) -> str:
    return format_seconds(float(np.median(values)))


def format_seconds(value: float) -> str:
    return f"{value:.3g}" if value < 1000 else f"{value:.0f}"


def ratio(numerator: float, denominator: float) -> str:
    return f"{numerator / denominator:.3g}" if denominator > 0 else "-"


def markdown_table(headers: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in [headers, *rows]) for i in range(len(headers))]

    def line(cells):
        return "| " + " | ".join(cell.ljust(width) for cell, width in zip(cells, widths, strict=True)) + " |"

    return "\n".join([line(headers), line(["-" * width for width in widths]), *map(line, rows)])


def model_table(table: str, cases: list[Case], labels: list[str], results: dict) -> str:
    """One row per case and side; the first label is the reference of the × columns."""
    headers = ["case", "side", "fit s", "fit ×", "predict s", "predict ×", "C", "peak MB", "peak ×", "fit ΔMB"]
    rows = []
    for case in cases:
        reference = results.get((table, case.name, labels[0]))
        for label in labels:
            result = results.get((table, case.name, label))
            if isinstance(result, Skipped):
                rows.append([case.name, label, result.reason, *[""] * 7])
            elif isinstance(result, Measurement):
                rows.append([case.name, label, *model_cells(result, reference)])
    return markdown_table(headers, rows)


def model_cells(result: Measurement, reference: Measurement | Skipped | None) -> list[str]:
    fit, predict = result.median("fit"), result.median("predict")
    if isinstance(reference, Measurement):
        fit_ratio = ratio(fit, reference.median("fit"))
        predict_ratio = ratio(predict, reference.median("predict"))
        peak_ratio = ratio(result.peak_mb, reference.peak_mb)
    else:
        fit_ratio = predict_ratio = peak_ratio = "-"
    return [
        format_seconds(fit), fit_ratio, format_seconds(predict), predict_ratio,
        f"{np.mean(result.concordance):.3f}",
        f"{result.peak_mb:.0f}", peak_ratio, f"{result.peak_mb - result.base_mb:.0f}",
    ]


def weights_table(cases: list[Case], results: dict) -> str:
    """With a baseline build measured too, two more columns: its time and its time over the write."""
    with_baseline = any(key[0] == WEIGHTS and key[2] == BASELINE for key in results)
    headers = ["case", "n_query × n_train", "korvane s", "NumPy from leaves s", "NumPy ×", "write s", "korvane / write",
               "CPU / write CPU"]
    headers += ["baseline s", "baseline / write", "baseline CPU / write CPU"] if with_baseline else []
    rows = []
    for case in cases:
        ours = results.get((WEIGHTS, case.name, "korvane"))
        from_leaves = results.get((WEIGHTS, case.name, "NumPy from leaves"))
        if isinstance(ours, Skipped):
            rows.append([case.name, "", ours.reason, *[""] * (len(headers) - 3)])
        elif isinstance(ours, Measurement):
            korvane_s, write_s = ours.median("weights"), ours.median("write")
            if isinstance(from_leaves, Measurement):
                numpy_s = from_leaves.median("weights")
                numpy_cells = [format_seconds(numpy_s), ratio(numpy_s, korvane_s)]
            else:
                numpy_cells = [from_leaves.reason if from_leaves else "-", ""]
            rows.append([
                case.name, f"{ours.n_query:,} × {case.n_train:,}", format_seconds(korvane_s),
                *numpy_cells, format_seconds(write_s), ratio(korvane_s, write_s), cpu_ratio(ours),
                *(baseline_cells(results.get((WEIGHTS, case.name, BASELINE))) if with_baseline else []),
            ])
    return markdown_table(headers, rows)


def cpu_ratio(result: Measurement) -> str:
    """Processor time of the weights (all threads) over that of the write (one thread)."""
    if "weights_cpu" not in result.seconds:
        return "-"
    return ratio(result.median("weights_cpu"), result.median("write_cpu"))


def baseline_cells(baseline: "Measurement | Skipped | None") -> list[str]:
    if not isinstance(baseline, Measurement):
        return [baseline.reason if baseline else "-", "", ""]
    seconds = baseline.median("weights")
    return [format_seconds(seconds), ratio(seconds, baseline.median("write")), cpu_ratio(baseline)]


def scaling_table(cases: list[Case], results: dict) -> str:
    headers = ["case", "1 thread s", "2 threads s", "speed-up"]
    rows = []
    for case in cases:
        one, two = results.get((SCALING, case.name, "korvane 1 thread")), results.get((FOREST, case.name, "korvane"))
        if isinstance(one, Measurement) and isinstance(two, Measurement):
            t1, t2 = one.median("fit"), two.median("fit")
            rows.append([case.name, format_seconds(t1), format_seconds(t2), ratio(t1, t2)])
        elif isinstance(one, Skipped) or isinstance(two, Skipped):
            reason = next(r.reason for r in (one, two) if isinstance(r, Skipped))
            rows.append([case.name, reason, "", ""])
    return markdown_table(headers, rows)


def report(cases: list[Case], results: dict) -> str:
    settings = (
        f"{N_TREES} trees, minimum leaf {MIN_LEAF} rows counted with bootstrap duplicates, "
        f"floor(sqrt(p)) features per node, bootstrap with fraction 1.0, {THREADS} threads. "
        f"Held-out set: {N_TEST:,} rows (5 folds for the shipped data); predictions on {N_TIMES} times."
    )
    return "\n\n".join([
        f"Settings: {settings}",
        "`×` columns: that side's time or memory divided by korvane's (above 1: korvane is faster or leaner). "
        "Times are medians of the repetitions, in seconds. C: Harrell's concordance on the held-out rows of the "
        "summed cumulative hazard. Peak MB: the worker process's peak RSS; fit ΔMB: peak minus the RSS "
        "reached before fitting (interpreter, libraries, data).",
        "### Random survival forest: fit, and cumulative hazard of the held-out rows",
        model_table(FOREST, cases, ["korvane", "scikit-survival", "ranger"], results),
        "### Single survival tree (all features per node)",
        model_table(TREE, cases, ["korvane", "scikit-survival"], results),
        "### Forest weights for a batch of query rows",
        "NumPy from leaves: the weights computed in NumPy from the leaf indices of a scikit-survival forest of "
        "the same settings (`apply()`), every training row counting in its leaf. write: `np.empty(shape).fill(1.0)` "
        "for the same output shape.",
        weights_table(cases, results),
        "### korvane forest fit at 1 and 2 threads",
        scaling_table(cases, results),
    ])


def machine_description() -> str:
    cpu = next(
        (line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
         if line.startswith("model name")),
        platform.processor() or "unknown",
    )
    mem_kb = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text().splitlines()
                  if line.startswith("MemTotal:"))
    return (
        f"{len(os.sched_getaffinity(0))} CPUs available (nproc), {cpu}, {mem_kb / 1024**2:.1f} GiB memory; "
        f"{platform.system()} {platform.release()}; {versions()}"
    )


def load_average() -> str:
    """Other work on the machine slows every side; the table is only as good as this is low."""
    return ", ".join(f"{load:.2f}" for load in os.getloadavg())


def versions() -> str:
    found = [f"Python {platform.python_version()}", f"NumPy {np.__version__}"]
    probes = [
        ("korvane", [sys.executable, "-c", "import korvane; print(korvane.__version__)"]),
        ("scikit-survival", [sys.executable, "-c", "import sksurv; print(sksurv.__version__)"]),
        ("ranger", ["Rscript", "-e", 'cat(as.character(packageVersion("ranger")))']),
        ("checkout", ["git", "-C", str(HERE.parent), "describe", "--always", "--dirty"]),
    ]
    for name, command in probes:
        found.append(f"{name} {probe(command) or 'unavailable'}")
    return ", ".join(found)


def probe(command: list[str]) -> str | None:
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 1,000 and the shipped data only")
    parser.add_argument("--reps", type=int, default=None, help="repetitions per measurement (default 5, quick 3)")
    parser.add_argument("--max-peer-seconds", type=float, default=None,
                        help="skip a side whose single fit would take longer (default 300, quick 30)")
    parser.add_argument("--max-minutes", type=float, default=50.0, help="skip whatever is left after this long")
    parser.add_argument("--only", default=None, help="run only the sides whose label contains this text")
    parser.add_argument("--cases", nargs="+", default=None, metavar="NAME",
                        help="run only the cases whose name is one of these, e.g. 'synthetic n=1,000 p=10 continuous'")
    parser.add_argument("--tables", default=",".join(TABLES),
                        help=f"comma-separated tables to measure, of {', '.join(TABLES)} (default all)")
    parser.add_argument("--baseline", default=None, metavar="DIR",
                        help="also time the forest weights of the korvane package in DIR (another build), "
                             "each case right after this one's")
    parser.add_argument("--write-results", action="store_true", help=f"also write the table into {RESULTS_PATH.relative_to(HERE.parent)}")
    args = parser.parse_args()
    args.reps = args.reps or (3 if args.quick else 5)
    args.max_peer_seconds = args.max_peer_seconds or (30.0 if args.quick else 300.0)

    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    continuous_sizes = QUICK_CONTINUOUS_SIZES if args.quick else FULL_CONTINUOUS_SIZES
    cases = ([shipped_case()] + [synthetic_case(n, p) for n, p in sizes]
             + [synthetic_case(n, p, continuous=True) for n, p in continuous_sizes])
    if args.cases:
        if args.write_results:
            parser.error("--write-results writes the whole table; it cannot be combined with --cases")
        unknown = sorted(set(args.cases) - {case.name for case in cases})
        if unknown:
            parser.error(f"unknown cases {unknown}; this mode has {[case.name for case in cases]}")
        cases = [case for case in cases if case.name in args.cases]
    jobs = list(JOBS)
    if args.baseline:
        korvane_weights = next(job for job in JOBS if job.table == WEIGHTS and job.label == "korvane")
        at = jobs.index(korvane_weights) + 1
        jobs.insert(at, replace(korvane_weights, label=BASELINE, python_path=str(Path(args.baseline).resolve())))
    tables = set(args.tables.split(","))
    jobs = [job for job in jobs if job.table in tables and (args.only is None or args.only in job.label)]
    machine = machine_description()
    load_at_start = load_average()
    print(f"Machine: {machine}\nLoad average: {load_at_start}", file=sys.stderr)
    started = time.monotonic()
    budget, results = Budget(args.max_peer_seconds), {}
    for case in cases:
        run_case(case, jobs, args, budget, results, stop_at=started + 60 * args.max_minutes)
    elapsed = (time.monotonic() - started) / 60
    text = report(cases, results)
    print(text)
    if args.write_results:
        mode = "quick" if args.quick else "full"
        RESULTS_PATH.write_text(
            f"{PAGE_HEAD}\n{TABLE_HEADING}\n\n"
            f"Machine: {machine}\n\n"
            f"Load average (1, 5, 15 min) at the start: {load_at_start}; at the end: {load_average()}.\n\n"
            f"Produced by `benchmarks/run.py{' --quick' if args.quick else ''} --write-results` "
            f"({mode} mode, {elapsed:.0f} min, budget {args.max_peer_seconds:.0f} s per fit).\n\n{text}\n"
            + kept_sections(RESULTS_PATH)
        )


def kept_sections(path: Path) -> str:
    """The sections people write into the page by hand (from the first level-2 heading
    after the table's own on: the profile notes), kept when this one rewrites its table."""
    text = path.read_text() if path.exists() else ""
    start = text.find("\n## ", text.find(TABLE_HEADING) + 1)
    return "" if start < 0 else text[start:]


if __name__ == "__main__":
    main()
