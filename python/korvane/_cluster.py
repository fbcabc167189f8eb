"""Growing a forest's trees on a cluster through the active joblib backend.

A forest is defined by its seed: tree b's stream derives from (seed, b), so
any range of trees can be grown anywhere and the pieces, joined in tree
order, are the forest a single local fit grows, to the last bit. With one of
joblib's local backends active (the default) the core's own pool grows the
whole forest in this process; joblib adds nothing there but copies of the
data. With any other backend (Dask's, Ray's, Spark's, ...) the trees are
split into pieces, the training data go to the workers once, and each piece
comes back in the persistence format.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import joblib
import numpy as np
from joblib._parallel_backends import LokyBackend, MultiprocessingBackend, SequentialBackend, ThreadingBackend
from joblib.parallel import get_active_backend

from korvane import _korvane_core as core

# Pieces per worker thread: enough that a slow or lost worker delays the fit
# by a fraction of its share, few enough that each piece's fixed costs
# (sending, one serialised forest, the join) stay small.
PIECES_PER_SLOT = 4
# How often a piece whose data a dead worker took with it is sent again
# before the fit gives up.
RESUBMISSIONS = 3

_LOCAL_BACKENDS = (LokyBackend, ThreadingBackend, MultiprocessingBackend, SequentialBackend)

Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class TrainingData:
    """What every piece reads: the entry point's positional arrays and its
    array-valued keywords (such as sample weights), shipped to each worker once."""

    args: tuple[Any, ...]
    arrays: dict[str, Any] = field(default_factory=dict)

    def aligned(self) -> TrainingData:
        """The data with every array the engine would refuse as misaligned copied.

        Transports that deserialise arrays in place (Dask's out-of-band frames)
        may hand them over at any byte offset; the engine reads 8-byte aligned
        columns only.
        """
        return TrainingData(tuple(map(_aligned, self.args)), {name: _aligned(a) for name, a in self.arrays.items()})


@dataclass(frozen=True)
class ForestJob:
    """A forest to grow: the core entry point (a `_grow_*` name), its data and
    its scalar settings, including `n_trees` and `seed`."""

    entry: str
    data: TrainingData
    settings: dict[str, Any]

    def grow(self, trees: tuple[int, int] | None, n_threads: int | None, progress: Progress | None = None) -> Any:
        grow = getattr(core, self.entry)
        return grow(
            *self.data.args, **self.data.arrays, **self.settings, trees=trees, n_threads=n_threads, progress=progress
        )


def _aligned(value: Any) -> Any:
    if isinstance(value, np.ndarray) and not value.flags.aligned:
        return value.copy(order="K")
    return value


def remote_backend() -> Any | None:
    """The active joblib backend when it runs tasks away from this process's
    pool, else None (the core's threads then do better than joblib could)."""
    backend, _ = get_active_backend()
    if isinstance(backend, _LOCAL_BACKENDS) or _inside_dask_worker():
        return None
    return backend


def local_threads(n_jobs: int | None) -> int:
    """Threads of this process's pool for scikit-learn's `n_jobs`, counted as
    joblib counts them: None = 1 unless a `joblib.parallel_config` context
    sets n_jobs, -1 = all cores, -2 = all but one, and so on.

    Under a cluster backend, what runs in this process (out-of-bag answers, a
    fit that is itself a task of the cluster) counts this machine's cores,
    not the cluster's threads.
    """
    if n_jobs == 0:
        raise ValueError(
            "n_jobs must not be 0: None = 1 thread unless a joblib context sets n_jobs, "
            "k > 0 threads, -1 = all cores, -2 = all but one"
        )
    backend, _ = get_active_backend()
    if isinstance(backend, _LOCAL_BACKENDS):
        return int(joblib.effective_n_jobs(n_jobs))
    return int(ThreadingBackend().effective_n_jobs(1 if n_jobs is None else n_jobs))


def _inside_dask_worker() -> bool:
    # A fit that is itself a task of the cluster (one point of a parameter
    # grid) already has its share of the cluster: it grows in its own worker.
    try:
        from distributed import get_worker
    except ImportError:
        return False
    try:
        get_worker()
    except ValueError:
        return False
    return True


def grow_forest(
    job: ForestJob, trees: tuple[int, int] | None, n_threads: int | None, progress: Progress | None = None
) -> Any:
    """Trees [start, stop) of the job's forest (all when `trees` is None): on
    the local pool, or in pieces on the active joblib backend's workers,
    joined in order."""
    backend = remote_backend()
    if backend is None:
        return job.grow(trees, n_threads, progress)
    pieces = split_trees(trees or (0, job.settings["n_trees"]), PIECES_PER_SLOT * _slots(backend))
    if getattr(backend, "client", None) is not None and type(backend).__name__ == "DaskDistributedBackend":
        from korvane._dask_fit import grow_pieces_on_dask

        grown = grow_pieces_on_dask(backend.client, job, pieces, progress)
    else:
        grown = _grow_pieces_with_joblib(backend, job, pieces, progress)
    forests: list[Any] = [core._from_bytes(piece) for piece in grown]
    return core._join_forests(forests)


def split_trees(trees: tuple[int, int], n_pieces: int) -> list[tuple[int, int]]:
    """[start, stop) cut into at most `n_pieces` contiguous ranges whose sizes differ by at most one."""
    start, stop = trees
    count = max(1, min(n_pieces, stop - start))
    bounds = [start + (stop - start) * k // count for k in range(count + 1)]
    return list(zip(bounds[:-1], bounds[1:]))


def _slots(backend: Any) -> int:
    """Tasks the backend runs at once (its workers' threads), at least one."""
    try:
        return max(1, int(backend.effective_n_jobs(-1)))
    except (NotImplementedError, ValueError):
        return 1


def grow_piece(job: ForestJob, trees: tuple[int, int]) -> bytes:
    """Runs on a worker: one piece in the persistence format.

    One thread per piece: the backend already runs one task per worker
    thread, and more would only oversubscribe the worker's cores.
    """
    aligned = ForestJob(job.entry, job.data.aligned(), job.settings)
    return bytes(core._to_bytes(aligned.grow(trees, 1)))


def _grow_pieces_with_joblib(
    backend: Any, job: ForestJob, pieces: Sequence[tuple[int, int]], progress: Progress | None
) -> list[bytes]:
    """Any other joblib backend: Ray's keeps the data in its object store, one
    copy per node; the others receive it with every piece."""
    shipped = _ray_shipped(backend, job)
    parallel = joblib.Parallel(return_as="generator")
    results = parallel(joblib.delayed(_grow_piece_from)(shipped, piece) for piece in pieces)
    return list(_reporting(results, pieces, progress))


def _reporting(
    results: Iterator[bytes], pieces: Sequence[tuple[int, int]], progress: Progress | None
) -> Iterator[bytes]:
    total = pieces[-1][1] - pieces[0][0]
    done = 0
    for piece, result in zip(pieces, results):
        done += piece[1] - piece[0]
        if progress is not None:
            progress(done, total)
        yield result


class _RayShared:
    """A job whose data sit in Ray's object store; the piece fetches them where it runs."""

    def __init__(self, job: ForestJob) -> None:
        import ray

        self.entry, self.settings = job.entry, job.settings
        self.data = ray.put(job.data)

    def resolve(self) -> ForestJob:
        import ray

        return ForestJob(self.entry, ray.get(self.data), self.settings)


def _ray_shipped(backend: Any, job: ForestJob) -> ForestJob | _RayShared:
    if type(backend).__name__ == "RayBackend":
        return _RayShared(job)
    return job


def _grow_piece_from(shipped: ForestJob | _RayShared, trees: tuple[int, int]) -> bytes:
    job = shipped.resolve() if isinstance(shipped, _RayShared) else shipped
    return grow_piece(job, trees)

