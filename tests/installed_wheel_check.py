"""Checks the repaired wheel from inside a fresh environment that has nothing but
the wheel and its declared dependencies installed.

Run with that environment's interpreter (``python -I``, from outside the source
tree): korvane must import from the environment, fit a forest on its worker pool,
and have every oneTBB library in the process mapped from files the wheel
installed. A build machine always has the system's oneTBB too, so a wheel that
still needed it would pass every other test there; the loader's own record of
what it mapped is the only evidence that tells the two apart.
"""

import os
import sys
import sysconfig

import numpy as np

import korvane


def mapped_files(maps_text: str, name_prefix: str) -> list[str]:
    """Paths of the files mapped in this process whose name starts with `name_prefix`."""
    paths = {line.split(maxsplit=5)[5] for line in maps_text.splitlines() if len(line.split(maxsplit=5)) == 6}
    return sorted(path for path in paths if os.path.basename(path).startswith(name_prefix))


def outside(paths: list[str], directory: str) -> list[str]:
    directory = os.path.join(os.path.realpath(directory), "")
    return [path for path in paths if not os.path.realpath(path).startswith(directory)]


def fit_tiny_forest() -> None:
    rng = np.random.default_rng(0)
    X = np.asfortranarray(rng.normal(size=(40, 3)))
    event_time = rng.exponential(size=40) + 0.1
    event_indicator = (rng.random(40) < 0.7).astype(np.uint8)
    forest = korvane.fit_log_rank_forest(X, event_time, event_indicator, n_trees=8, seed=1)
    hazard = forest.predict_cumulative_hazard(X, np.array([0.5, 1.0]))
    if not (hazard.shape == (40, 2) and np.all(np.isfinite(hazard)) and np.all(hazard[:, 0] <= hazard[:, 1])):
        raise SystemExit(f"the forest predicted nonsense: {hazard!r}")


def main() -> int:
    site_packages = sysconfig.get_path("platlib")
    fit_tiny_forest()
    with open("/proc/self/maps") as maps:
        tbb = mapped_files(maps.read(), "libtbb")
    failures = []
    if sys.prefix == sys.base_prefix:
        failures.append(f"not run inside a virtual environment: {sys.prefix}")
    if outside([korvane.__file__], site_packages):
        failures.append(f"korvane imported from {korvane.__file__}, not from {site_packages}")
    if not tbb:
        failures.append("no oneTBB library is mapped after a fit: the check would prove nothing")
    if outside(tbb, site_packages):
        failures.append(f"oneTBB mapped from outside {site_packages}: {outside(tbb, site_packages)}")
    for failure in failures:
        print(f"installed wheel: {failure}", file=sys.stderr)
    print(f"installed korvane {korvane.__version__} fits with oneTBB from {', '.join(tbb) or 'nowhere'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
