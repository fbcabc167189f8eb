"""A forest's pieces on a Dask cluster, through the client joblib's Dask backend holds.

The client is used directly rather than through joblib's task batching so
that the training data are scattered once (the pieces refer to them by key,
and a worker that lacks them fetches them from a peer once), each piece is a
task of its own that the scheduler reruns elsewhere when its worker dies,
and an interrupted fit cancels what it submitted.
"""

from __future__ import annotations

import uuid
from collections.abc import Sequence
from typing import Any, NoReturn

from distributed import Future, as_completed
from distributed.scheduler import KilledWorker

from korvane._cluster import RESUBMISSIONS, ForestJob, Progress, TrainingData, grow_piece


def grow_pieces_on_dask(
    client: Any, job: ForestJob, pieces: Sequence[tuple[int, int]], progress: Progress | None
) -> list[bytes]:
    """The pieces' persistence bytes, in the order of `pieces`."""
    run = _DaskRun(client, job)
    try:
        return run.collect(pieces, progress)
    finally:
        # On success this only releases the scattered data; on an error or
        # Ctrl-C it also stops the pieces still queued or running, so the
        # cluster does no work for a fit that already failed.
        run.cancel()


def _grow_piece_task(entry: str, data: TrainingData, settings: dict[str, Any], trees: tuple[int, int]) -> bytes:
    return grow_piece(ForestJob(entry, data, settings), trees)


class _DaskRun:
    def __init__(self, client: Any, job: ForestJob) -> None:
        self._client, self._job = client, job
        self._name = f"korvane-{job.entry.removeprefix('_grow_')}-{uuid.uuid4().hex[:12]}"
        self._futures: dict[tuple[int, int], Future[bytes]] = {}
        self._scatter()

    def _scatter(self) -> None:
        # One future for the whole data set: one key, one transfer per worker.
        self._data = self._client.scatter(self._job.data, broadcast=False, hash=False)

    def _submit(self, trees: tuple[int, int]) -> Future[bytes]:
        future: Future[bytes] = self._client.submit(
            _grow_piece_task,
            self._job.entry,
            self._data,
            self._job.settings,
            trees,
            key=f"{self._name}-trees-{trees[0]}-{trees[1]}-{uuid.uuid4().hex[:6]}",
            pure=False,
        )
        self._futures[trees] = future
        return future

    def collect(self, pieces: Sequence[tuple[int, int]], progress: Progress | None) -> list[bytes]:
        grown: dict[tuple[int, int], bytes] = {}
        total = sum(stop - start for start, stop in pieces)
        resubmissions = 0
        pending = as_completed([self._submit(piece) for piece in pieces])
        owner = {future.key: piece for piece, future in self._futures.items()}
        for future in pending:
            piece = owner[future.key]
            if future.status == "finished":
                grown[piece] = future.result()
                if progress is not None:
                    progress(sum(stop - start for start, stop in grown), total)
                continue
            if future.status != "cancelled":
                _raise_piece_error(future, piece)
            # The scheduler cancels a piece when the only copy of the data
            # it needs died with its worker: send the data again and rerun.
            resubmissions += 1
            if resubmissions > RESUBMISSIONS * len(pieces):
                raise RuntimeError(
                    f"the forest's training data were lost with their workers {resubmissions - 1} times; "
                    f"the fit stops rather than return a partial forest"
                )
            if self._data.status != "finished":
                self._scatter()
            retry = self._submit(piece)
            owner[retry.key] = piece
            pending.add(retry)
        return [grown[piece] for piece in pieces]

    def cancel(self) -> None:
        self._client.cancel([*self._futures.values(), self._data], force=True)


def _raise_piece_error(future: Future[bytes], piece: tuple[int, int]) -> NoReturn:
    try:
        future.result()
    except KilledWorker as error:
        raise RuntimeError(
            f"growing trees {piece[0]} to {piece[1] - 1} killed every worker that tried them "
            f"(out of memory?); no forest was made"
        ) from error
    raise RuntimeError(f"trees {piece[0]} to {piece[1] - 1} ended as {future.status!r}; no forest was made")
