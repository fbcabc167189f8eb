"""Size and speed of a saved forest: korvane's format against scikit-survival's pickle and ranger's saveRDS.

    python benchmarks/persistence.py [--sizes 1000 10000 50000] [--peer-trees N] [--max-peer-seconds S]

Each side fits a forest of the benchmark's settings (run.py: bootstrap, minimum leaf 15
occurrences, floor(sqrt(p)) features per node) on the same synthetic data, then saves it to
a file and loads it back, --reps times each; the table gives the file's size and the median
times. korvane runs in this process; each peer runs in its own (this script with --worker
sksurv, or ranger_save.R) and is stopped at the budget. A peer can grow fewer trees
(--peer-trees) where fitting all of them would not fit the budget: a saved forest grows
linearly with its trees, so the table also shows every size per 100 trees.
"""

import argparse
import json
import math
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from casefiles import Split, read_split, write_split
from run import FOREST_SEED, MIN_LEAF, synthetic_data
from workers import time_reps

HERE = Path(__file__).resolve().parent
N_FEATURES = 10
THREADS = 2
PEERS = ("sksurv", "ranger")


def measure_files(save, load, path: Path, reps: int) -> dict:
    save_seconds = time_reps(save, reps)
    return {"bytes": path.stat().st_size, "save": save_seconds, "load": time_reps(load, reps)}


def korvane_side(split: Split, n_trees: int, path: Path, reps: int) -> dict:
    import korvane

    t0 = time.perf_counter()
    forest = korvane.fit_log_rank_forest(
        split.X_train, split.time_train, split.event_train, n_trees=n_trees, min_samples_leaf=MIN_LEAF,
        max_features=math.isqrt(N_FEATURES), bootstrap=True, subsample_fraction=1.0, seed=FOREST_SEED)
    fit = time.perf_counter() - t0
    report = measure_files(lambda: korvane.save(forest, path), lambda: korvane.load(path), path, reps)
    # The model read back answers exactly as the one saved.
    hazard = np.linspace(0.0, float(split.time_train.max()), 50)
    assert np.array_equal(korvane.load(path).predict_cumulative_hazard(split.X_train[:200], hazard),
                          forest.predict_cumulative_hazard(split.X_train[:200], hazard))
    return report | {"fit": fit, "pickle_bytes": len(pickle.dumps(forest, protocol=pickle.HIGHEST_PROTOCOL))}


def sksurv_side(split: Split, n_trees: int, path: Path, reps: int) -> dict:
    from sksurv.ensemble import RandomSurvivalForest
    from sksurv.util import Surv

    n_train = split.X_train.shape[0]
    t0 = time.perf_counter()
    # As in workers.py: the weight floor counts bootstrap occurrences like the other sides.
    forest = RandomSurvivalForest(
        n_estimators=n_trees, max_features=math.isqrt(N_FEATURES), min_samples_leaf=1, min_samples_split=2,
        min_weight_fraction_leaf=(MIN_LEAF - 0.5) / n_train, bootstrap=True, max_samples=None,
        n_jobs=THREADS, random_state=FOREST_SEED,
    ).fit(split.X_train, Surv.from_arrays(split.event_train.astype(bool), split.time_train))
    fit = time.perf_counter() - t0

    def save():
        with open(path, "wb") as file:
            pickle.dump(forest, file, protocol=pickle.HIGHEST_PROTOCOL)

    def load():
        with open(path, "rb") as file:
            pickle.load(file)

    return measure_files(save, load, path, reps) | {"fit": fit}


def run_peer(command: list[str], budget: float) -> dict:
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=budget, cwd=HERE)
    except subprocess.TimeoutExpired:
        return {"skipped": f"skipped (over {budget:.0f} s)"}
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines()
        return {"skipped": f"failed: {lines[-1] if lines else done.returncode}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def peers(data_dir: Path, args) -> dict:
    settings = [args.reps, args.peer_trees, MIN_LEAF, math.isqrt(N_FEATURES), THREADS, FOREST_SEED]
    worker = [sys.executable, str(Path(__file__).resolve()), "--worker", "sksurv", "--data-dir", str(data_dir),
              "--n-trees", str(args.peer_trees), "--reps", str(args.reps)]
    ranger = ["Rscript", str(HERE / "ranger_save.R"), str(data_dir), str(data_dir / "forest.rds"),
              *map(str, settings)]
    commands = {"sksurv": ("scikit-survival pickle", worker), "ranger": ("ranger saveRDS", ranger)}
    return {commands[peer][0]: run_peer(commands[peer][1], args.max_peer_seconds) for peer in args.peers}


def row(n: int, side: str, trees: int, result: dict, reference: dict | None) -> list[str]:
    if "skipped" in result:
        return [f"{n:,}", side, str(trees), result["skipped"], "", "", "", "", ""]
    mb = result["bytes"] / 1e6
    per_100 = mb * 100 / trees
    ratio = "" if reference is None else f"{per_100 / (reference['bytes'] / 1e6 * 100 / reference['trees']):.3g}"
    return [f"{n:,}", side, str(trees), f"{mb:.3g}", f"{per_100:.3g}", ratio,
            f"{np.median(result['save']):.3g}", f"{np.median(result['load']):.3g}", f"{result['fit']:.3g}"]


def markdown(rows: list[list[str]]) -> str:
    headers = ["n", "side", "trees", "file MB", "MB per 100 trees", "size ×", "save s", "load s", "fit s"]
    widths = [max(len(r[i]) for r in [headers, *rows]) for i in range(len(headers))]
    line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(headers), line(["-" * w for w in widths]), *map(line, rows)])


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 50_000])
    parser.add_argument("--n-trees", type=int, default=100)
    parser.add_argument("--peer-trees", type=int, default=None, help="trees of the peers' forests (default --n-trees)")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--max-peer-seconds", type=float, default=600.0)
    parser.add_argument("--peers", nargs="*", choices=list(PEERS), default=list(PEERS),
                        help="the peers to run (none: korvane alone)")
    parser.add_argument("--worker", choices=["sksurv"], help=argparse.SUPPRESS)
    parser.add_argument("--data-dir", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.peer_trees = args.peer_trees or args.n_trees
    return args


def main() -> None:
    args = parse_args()
    if args.worker:
        print(json.dumps(sksurv_side(read_split(args.data_dir), args.n_trees, args.data_dir / "forest.pkl", args.reps)))
        return
    rows = []
    for n in args.sizes:
        X, event_time, event = synthetic_data(n, N_FEATURES)
        split = Split(np.asfortranarray(X), event_time, event, np.asfortranarray(X[:1]), np.ones(1))
        with tempfile.TemporaryDirectory(prefix="korvane-persist-") as tmp:
            data_dir = Path(tmp)
            write_split(data_dir, split)
            ours = korvane_side(split, args.n_trees, data_dir / "forest.korvane", args.reps) | {"trees": args.n_trees}
            print(f"n={n:,} korvane: {ours['bytes']:,} bytes (pickle {ours['pickle_bytes']:,})", file=sys.stderr, flush=True)
            rows.append(row(n, "korvane save", args.n_trees, ours, None))
            for side, result in peers(data_dir, args).items():
                print(f"n={n:,} {side}: {result}", file=sys.stderr, flush=True)
                rows.append(row(n, side, args.peer_trees, result | {"trees": args.peer_trees}, ours))
    print(markdown(rows))


if __name__ == "__main__":
    main()
