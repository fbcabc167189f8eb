"""Fuzz the model reader: random truncations, bit flips and splices of valid files.

    python tools/fuzz_format.py [--inputs 100000] [--seed 1]

Every input is a mutation of a small valid model of one of the three kinds;
each mutation is tried as it is and, when long enough, resealed (size field and
checksum recomputed) so that it reaches the structural checks behind the
checksum. The reader must either raise ValueError or return a model that
survives its own round trip (written, read back, written again: the same
bytes); anything else (another exception, a crash, a hang) is a failure. Prints how the inputs ended, by message.
"""

import argparse
import collections
import random
import re
import sys
import time
from pathlib import Path

import korvane
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from conftest import fit_gradient_forest, fit_log_rank_forest, fit_tree, make_survival  # noqa: E402
from model_bytes import reseal  # noqa: E402


def valid_files() -> list[bytes]:
    """Small models of every kind, with and without honesty and depth limits."""
    data = make_survival(n=50, p=4, seed=9)
    models = [
        fit_tree(data, min_samples_leaf=3),
        fit_tree(data, min_samples_leaf=6, honesty=True, max_depth=3),
        fit_log_rank_forest(data, n_trees=3, min_samples_leaf=4),
        fit_log_rank_forest(data, n_trees=2, min_samples_leaf=3, honesty=True, bootstrap=False),
        fit_gradient_forest(data, n_trees=3, min_samples_leaf=3),
        fit_gradient_forest(data, n_trees=2, min_samples_leaf=2, max_depth=2),
        # Splits that send missing values left as well as right.
        korvane._korvane_core._grow_log_rank_forest(
            *with_missing(data), n_trees=2, min_samples_leaf=3, missing_values=True
        ),
    ]
    return [korvane.to_bytes(model) for model in models]


def with_missing(data, share=0.25):
    """`data` with a share of its covariates replaced by NaN."""
    X = data.X.copy(order="F")
    X[np.random.default_rng(0).random(X.shape) < share] = np.nan
    return data._replace(X=X)


def mutate(data: bytes, rng: random.Random) -> bytes:
    kind = rng.randrange(3)
    if kind == 0:
        return data[: rng.randrange(len(data))]
    if kind == 1:
        edited = bytearray(data)
        for _ in range(rng.choice([1, 1, 2, 3, 8])):
            edited[rng.randrange(len(edited))] ^= 1 << rng.randrange(8)
        return bytes(edited)
    # A splice: a run of the file (or of random bytes) inserted, replaced or removed.
    cut, length = rng.randrange(len(data)), rng.randrange(1, 64)
    other = rng.randrange(len(data))
    piece = data[other : other + length] if rng.random() < 0.7 else rng.randbytes(length)
    if rng.random() < 0.5:
        return data[:cut] + piece + data[cut + len(piece) :]
    return data[:cut] + piece + data[cut:] if rng.random() < 0.5 else data[:cut] + data[cut + length :]


def outcome(data: bytes) -> str:
    try:
        model = korvane.from_bytes(data)
    except ValueError as error:
        # Group messages by their wording, not their numbers.
        return re.sub(r"\d+", "N", str(error).removeprefix("cannot read a korvane model: "))
    written = korvane.to_bytes(model)
    again = korvane.from_bytes(written)
    if repr(again) != repr(model) or korvane.to_bytes(again) != written:
        raise AssertionError("an accepted model does not survive its own round trip")
    return "accepted as the same model" if written == data else "accepted (written back in another encoding)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--inputs", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    files = valid_files()
    counts: collections.Counter[str] = collections.Counter()
    started, tried = time.perf_counter(), 0
    while tried < args.inputs:
        mutated = mutate(rng.choice(files), rng)
        for data in [mutated, reseal(mutated)] if len(mutated) >= 72 else [mutated]:
            counts[outcome(data)] += 1
            tried += 1
    seconds = time.perf_counter() - started
    print(f"{tried:,} inputs from {len(files)} valid files ({', '.join(f'{len(f):,}' for f in files)} bytes) "
          f"in {seconds:.1f} s, seed {args.seed}; no crash, no hang, no other exception.")
    for message, count in counts.most_common():
        print(f"{count:>8,}  {message}")


if __name__ == "__main__":
    main()
