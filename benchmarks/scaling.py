"""Cost of a fit as the rows grow, with continuous times against the same times rounded.

    python benchmarks/scaling.py [--sizes 50000 200000] [--p 20] [--reps 3]
    python benchmarks/scaling.py --forest --sizes 1000000 [--trees 100] [--threads 2] [--kinds rounded]
    python benchmarks/scaling.py --dump DIR --sizes 1000000

--dump writes the data of each size and kind of time as raw files
(DIR/n<n>_<kind>.X column-major float64, .t float64, .e uint8) for the C++
program tree_shape.cpp, and fits nothing.

Without --forest: one tree on all p features (min_samples_leaf 15, one thread),
on the synthetic data of run.py with every time distinct and with the times
rounded to two decimals. The two are fitted alternately, best of --reps, and
timed in processor seconds of this process, so that other work on a shared
machine does not count; the ratio continuous / rounded is printed per size.

With --forest: one forest of --trees trees (floor(sqrt(p)) features per node,
bootstrap, min_samples_leaf 15) on --threads threads, once per kind of time,
with its wall time, its processor time and the peak RSS during the fit (the peak
is restarted before each fit where Linux allows it), also as its rise over the RSS
before the fit: the interpreter, the imported packages and the data are in the
latter.

Nothing here is part of the test suite.
"""

import argparse
import os
import time
from pathlib import Path

import numpy as np

from korvane import _korvane_core as core
from run import synthetic_data

MIN_LEAF = 15


def data(n: int, p: int, continuous: bool):
    X, event_time, event = synthetic_data(n, p, continuous=True)
    if not continuous:
        event_time = np.ceil(event_time * 100.0) / 100.0
    return X, event_time, event


def status_mb(field: str) -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(f"{field}:"):
            return int(line.split()[1]) / 1024
    return 0.0


def peak_rss_mb() -> float:
    return status_mb("VmHWM")


def restart_peak_rss() -> None:
    """Starts the peak (VmHWM) afresh from the current RSS, so that each fit reports its own peak."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def tree_seconds(X, event_time, event) -> float:
    started = time.process_time()
    core.fit_log_rank_tree(X, event_time, event, min_samples_leaf=MIN_LEAF, seed=1)
    return time.process_time() - started


def trees(args) -> None:
    print(f"one tree, p = {args.p}, all features per node, one thread; processor seconds, best of {args.reps}")
    print(f"{'n':>9} {'continuous s':>13} {'rounded s':>10} {'ratio':>6} {'groups c/r':>16}")
    for n in args.sizes:
        cases = {kind: data(n, args.p, kind == "continuous") for kind in ("continuous", "rounded")}
        best = {kind: float("inf") for kind in cases}
        for _ in range(args.reps):
            for kind, case in cases.items():
                best[kind] = min(best[kind], tree_seconds(*case))
        groups = "/".join(str(len(np.unique(case[1]))) for case in cases.values())
        ratio = best["continuous"] / best["rounded"]
        print(f"{n:>9,} {best['continuous']:>13.3f} {best['rounded']:>10.3f} {ratio:>6.2f} {groups:>16}", flush=True)


def forests(args) -> None:
    print(f"{args.trees} trees, p = {args.p}, {args.threads} threads")
    for n in args.sizes:
        for kind in args.kinds:
            X = event_time = event = None  # the previous kind's data go before the next are made
            X, event_time, event = data(n, args.p, kind == "continuous")
            restart_peak_rss()
            before = status_mb("VmRSS")
            wall, cpu = time.perf_counter(), time.process_time()
            # The public entry point takes the process's thread count; the private one takes ours.
            core._grow_log_rank_forest(X, event_time, event, n_trees=args.trees, min_samples_leaf=MIN_LEAF,
                                       seed=1, n_threads=args.threads)
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            peak = peak_rss_mb()
            print(f"n={n:,} {kind}: {wall:.1f} s wall, {cpu:.1f} processor s, peak RSS {peak:.0f} MB "
                  f"({peak - before:+.0f} MB over the RSS before the fit, {before:.0f} MB); "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)


def dump(args) -> None:
    directory = Path(args.dump)
    directory.mkdir(parents=True, exist_ok=True)
    for n in args.sizes:
        for kind in ("continuous", "rounded"):
            X, event_time, event = data(n, args.p, kind == "continuous")
            base = directory / f"n{n}_{kind}"
            np.asfortranarray(X).T.tofile(f"{base}.X")
            event_time.astype(np.float64).tofile(f"{base}.t")
            event.astype(np.uint8).tofile(f"{base}.e")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 50_000, 200_000])
    parser.add_argument("--p", type=int, default=20)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--forest", action="store_true")
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--dump", metavar="DIR")
    # The memory a fit frees stays with the process and the next fit reuses it, so only the
    # first forest of a process shows its own peak: one kind per run for memory.
    parser.add_argument("--kinds", nargs="+", choices=("continuous", "rounded"), default=["continuous", "rounded"])
    args = parser.parse_args()
    if args.dump:
        dump(args)
        return
    print(f"load average at the start: {os.getloadavg()}")
    (forests if args.forest else trees)(args)
    print(f"load average at the end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
