"""Random survival forest as a scikit-learn estimator."""

from __future__ import annotations

import math
import numbers
import sys
import warnings
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
from sklearn.utils import Bunch
from sklearn.utils._param_validation import Interval, RealNotInt
from sklearn.utils.validation import check_is_fitted

from korvane import _korvane_core as core
from korvane._cluster import ForestJob, TrainingData, grow_forest, local_threads
from korvane._estimator import (
    COUNT_FROM_1,
    N_JOBS,
    Float64Array,
    LogRankSurvivalEstimator,
    check_arguments,
    seed_from,
    training_digest,
)
from korvane._forest_trees import ForestTrees
from korvane._tree_structure import forest_decision_path
from korvane.metrics import concordance_index
from korvane.surv import Surv

__all__ = ["RandomSurvivalForest"]

# Out-of-bag hazards are summed over blocks of times so that the (rows, times)
# intermediate stays near this many doubles (32 MiB).
_OOB_BLOCK_VALUES = 1 << 22


class RandomSurvivalForest(LogRankSurvivalEstimator):
    """A random survival forest: log-rank splitting, Nelson–Aalen leaves.

    Each tree is grown on a bootstrap sample (or a subsample) of the rows;
    at every node it draws `max_features` covariates and takes the split
    with the largest log-rank statistic. A leaf holds the Nelson–Aalen
    cumulative hazard of its rows; the forest predicts the average over
    trees. The forest is identical, to the last bit, for one `random_state`
    integer whatever `n_jobs` and the machine.

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.
    max_depth : int, default=None
        Maximum depth of a tree; None grows until the leaf floor stops it.
    min_samples_split : int or float, default=6
        Fewest rows a node must hold to be split: an int >= 2, or a float in
        (0, 1), the fraction ``ceil(min_samples_split * n_samples)`` of the
        training rows (at least 2).
    min_samples_leaf : int or float, default=3
        Fewest rows a leaf may hold: an int >= 1, or a float in (0, 0.5], the
        fraction ``ceil(min_samples_leaf * n_samples)`` of the training rows.
        Rows drawn more than once by the bootstrap count once per draw.
    min_weight_fraction_leaf : float, default=0.0
        Smallest share of the total sample weight a leaf may hold, in
        [0, 0.5]; without `sample_weight` every row weighs the same.
    max_features : {"sqrt", "log2"}, int, float or None, default="sqrt"
        Covariates drawn at each split: ``floor(sqrt(p))``, ``floor(log2(p))``,
        a count, a fraction of p (rounded down, at least 1), or all of them.
    max_leaf_nodes : int, default=None
        Grow each tree best first, splitting the nodes with the best splits
        until it has this many leaves (an int >= 2); None = no limit.
    bootstrap : bool, default=True
        Draw each tree's rows with replacement; otherwise without
        replacement (all rows unless `max_samples` says fewer).
    oob_score : bool or callable, default=False
        Compute `oob_score_`, Harrell's C of the out-of-bag risk scores, or
        ``oob_score(y, oob_prediction)`` when a callable.
    n_jobs : int, default=None
        Threads for the fit and the out-of-bag predictions, as scikit-learn
        counts them: None = 1 unless a ``joblib.parallel_config`` (or
        ``parallel_backend``) context sets n_jobs, -1 = all cores, -2 = all
        but one, and so on. Never changes a result. Under a
        joblib backend that runs tasks on a cluster (Dask's, Ray's, ...), the
        trees grow there instead, in pieces of one thread each; see
        "Running on a cluster" in the user guide.
    random_state : int, RandomState, Generator or None, default=None
        Source of the forest's 64-bit seed. An int gives the same forest on
        every fit.
    verbose : int, default=0
        Above 0, draw a progress bar of the trees grown on standard error.
    warm_start : bool, default=False
        Refit with a larger `n_estimators` on the same data adds only the new
        trees; the result equals a forest grown with that many trees at once.
    max_samples : int, float or None, default=None
        Rows drawn per tree: None = as many as there are rows, an int count,
        or a float fraction of the rows (rounded half away from zero). Also
        applies without bootstrap (subsampling without replacement).
    low_memory : bool, default=False
        Accepted for compatibility with scikit-survival; it has no effect:
        a korvane forest is always small (each leaf keeps only the event times
        of its own rows) and keeps every prediction method.
    honesty : bool, default=False
        Grow honest trees: each tree's rows are split in two, one part chooses
        the splits and the other estimates the leaves' hazards.
    honesty_fraction : float, default=0.5
        Share of a tree's rows that choose the splits when `honesty` is set.

    Attributes
    ----------
    n_estimators_ : int
        Number of trees grown.
    estimators_ : sequence of SurvivalTree
        The trees, each with a `SurvivalTree`'s predictions, ``tree_``,
        ``apply`` and ``decision_path``, reading the forest in place.
    unique_times_ : ndarray of shape (n_times,)
        Distinct times of the training rows of positive weight, events and
        censorings alike: the columns of ``return_array=True`` and the `x` of
        the step functions.
    is_event_time_ : ndarray of bool, shape (n_times,)
        Whether an event happened at each of `unique_times_`; the predicted
        curves jump only there, and `predict` sums the hazard over them.
    n_features_in_ : int
        Number of covariates seen in `fit`.
    feature_names_in_ : ndarray of shape (``n_features_in_``,)
        Column names, when `X` was a data frame with string column names
        (for polars frames, with a scikit-learn that reads their names: 1.9 does).
    oob_score_ : float
        Harrell's C of `oob_prediction_` (with `oob_score`).
    oob_prediction_ : ndarray of shape (n_samples,)
        Each training row's risk score averaged over the trees that did not
        draw it; NaN for a row every tree drew (with `oob_score`).
    feature_importances_ : ndarray of shape (``n_features_in_``,)
        Log-rank split importance, normalised to sum 1.

    Notes
    -----
    Differences from scikit-survival's ``RandomSurvivalForest``:

    - The survival function is exp(-H) of the averaged Nelson–Aalen
      cumulative hazard, not an average of Kaplan–Meier curves.
    - The leaf floor counts a row drawn twice by the bootstrap twice.
    - `low_memory=True` keeps every prediction method (there it leaves
      only `predict`).
    - `sample_weight` are frequency weights in the log-rank splits and the
      Nelson–Aalen leaves. As in scikit-learn's forests, the bootstrap draws
      rows uniformly, by count, whatever their weights (only rows of weight 0
      are never drawn): the weights act inside each tree, not on the draw.
    - `max_samples` also applies with ``bootstrap=False``.
    - Results do not depend on `n_jobs`.
    - `apply` returns leaf indices (numbered among each tree's leaves) as
      uint32; ``estimators_[b].tree_.leaf_nodes`` maps them to node ids.
      `estimators_` are views of the compiled trees, not separate models.
    - Step functions stay flat after the last training event time instead of
      refusing later times.
    - `honesty`, `honesty_fraction`, `forest_weights` and
      `oob_permutation_importance` are additions.

    Missing values: NaN in `X` marks a missing value, at fit and in queries
    (infinite values are refused). Every split sends the rows missing its
    covariate to the side whose log-rank statistic is higher (right on a
    tie) and may split on "is missing" alone; a split whose rows all held
    the value sends NaN to its larger child. So that a missing value keeps
    what it tells about risk, impute only where that is not wanted.

    Examples
    --------
    >>> import numpy as np
    >>> from korvane import RandomSurvivalForest, Surv
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(200, 3))
    >>> y = Surv.from_arrays(rng.random(200) < 0.7, rng.exponential(np.exp(-X[:, 0])))
    >>> forest = RandomSurvivalForest(n_estimators=50, random_state=0).fit(X, y)
    >>> forest.predict(X[:2]).shape
    (2,)
    >>> forest.predict_survival_function(X[:1])[0](0.0)
    1.0
    """

    _parameter_constraints: dict[str, list[Any]] = {
        **LogRankSurvivalEstimator._parameter_constraints,
        "n_estimators": [COUNT_FROM_1],
        "bootstrap": ["boolean"],
        "oob_score": ["boolean", callable],
        "n_jobs": N_JOBS,
        "verbose": ["verbose"],
        "warm_start": ["boolean"],
        "max_samples": [None, Interval(RealNotInt, 0.0, None, closed="neither"), COUNT_FROM_1],
    }

    def __init__(
        self,
        n_estimators: int = 100,
        *,
        max_depth: int | None = None,
        min_samples_split: int | float = 6,
        min_samples_leaf: int | float = 3,
        min_weight_fraction_leaf: float = 0.0,
        max_features: str | int | float | None = "sqrt",
        max_leaf_nodes: int | None = None,
        bootstrap: bool = True,
        oob_score: bool | Callable[..., float] = False,
        n_jobs: int | None = None,
        random_state: Any = None,
        verbose: int = 0,
        warm_start: bool = False,
        max_samples: int | float | None = None,
        low_memory: bool = False,
        honesty: bool = False,
        honesty_fraction: float = 0.5,
    ) -> None:
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.max_samples = max_samples
        self.low_memory = low_memory
        self.honesty = honesty
        self.honesty_fraction = honesty_fraction

    def _core_settings(self, n_samples: int, n_features: int) -> dict[str, Any]:
        """The core's keyword settings, other than the tree count and the seed."""
        return self._tree_settings(n_samples, n_features) | {
            "bootstrap": bool(self.bootstrap),
            "subsample_fraction": _subsample_fraction(self.max_samples, n_samples),
        }

    def _fit_model(
        self,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        sample_weight: Float64Array | None,
    ) -> None:
        n_estimators = int(self.n_estimators)
        settings = self._core_settings(*X.shape)
        if self.oob_score and not settings["bootstrap"] and _draws_every_row(settings["subsample_fraction"], len(time)):
            raise ValueError(
                "oob_score needs rows each tree leaves out: set bootstrap=True, or max_samples below the row count"
            )
        run = _Run(local_threads(self.n_jobs), _ProgressBar.when(self.verbose), sample_weight)
        digest = training_digest(X, event, time)
        if self.warm_start and hasattr(self, "_model"):
            self._check_warm_start(settings, digest, sample_weight)
            self._model = self._grown_further(X, event, time, n_estimators, settings, run)
        else:
            self._seed = seed_from(self.random_state)
            self._model = _grow(X, time, event, n_estimators, settings, self._seed, None, run)
        self._settings, self._training_digest = settings, digest
        self._sample_weight = sample_weight
        self.n_estimators_ = int(self._model.n_trees)
        if self.oob_score:
            self._score_out_of_bag(X, event, time, run.n_threads)

    def _weights(self) -> Float64Array | None:
        # A forest fitted before weights existed has none.
        weights: Float64Array | None = getattr(self, "_sample_weight", None)
        return weights

    def _check_warm_start(self, settings: dict[str, Any], digest: str, sample_weight: Float64Array | None) -> None:
        # Forest weights and out-of-bag answers refer to the training rows,
        # so every tree of one forest must have been grown on the same data.
        if digest != self._training_digest:
            raise ValueError("warm_start adds trees grown on the same data: X and y differ from the first fit")
        before = self._weights()
        same = before is sample_weight is None or (
            before is not None and sample_weight is not None and np.array_equal(before, sample_weight)
        )
        if not same:
            raise ValueError("warm_start adds trees grown with the same sample_weight as the first fit")
        # A forest fitted before a setting existed lacks it; joining the pieces
        # still refuses trees grown under other rules.
        changed = sorted(name for name, value in settings.items() if self._settings.get(name, value) != value)
        if changed:
            raise ValueError(f"warm_start adds trees with the same settings, but {', '.join(changed)} changed")

    def _grown_further(
        self,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        n_estimators: int,
        settings: dict[str, Any],
        run: _Run,
    ) -> Any:
        grown = int(self._model.n_trees)
        if n_estimators < grown:
            raise ValueError(
                f"n_estimators={n_estimators} must not be below the {grown} trees already grown with warm_start"
            )
        if n_estimators == grown:
            warnings.warn("warm_start fit without a larger n_estimators grows no new tree", UserWarning, stacklevel=3)
            return self._model
        added = _grow(X, time, event, n_estimators, settings, self._seed, (grown, n_estimators), run)
        return core._join_forests([self._model, added])

    def _score_out_of_bag(
        self, X: Float64Array, event: npt.NDArray[np.uint8], time: Float64Array, n_threads: int | None
    ) -> None:
        risk = np.zeros(len(time))
        times = self._event_times()
        step = max(1, _OOB_BLOCK_VALUES // max(1, len(time)))
        for start in range(0, len(times), step):
            hazard = self._model._oob_cumulative_hazard(X, times[start : start + step], n_threads=n_threads)
            risk += np.asarray(hazard).sum(axis=1)
        self.oob_prediction_ = risk
        seen = np.isfinite(risk)
        if not seen.all():
            warnings.warn(
                f"{int((~seen).sum())} training rows were drawn by every tree and have no out-of-bag "
                f"prediction; more trees give every row one",
                UserWarning,
                stacklevel=4,
            )
        # Rows of weight 0 are in no tree: their out-of-bag answer exists but
        # weighs nothing in the weighted C.
        weight = self._weights()
        if callable(self.oob_score):
            self.oob_score_ = float(self.oob_score(Surv.from_arrays(event[seen], time[seen]), risk[seen]))
        else:
            self.oob_score_ = concordance_index(
                time[seen], event[seen], risk[seen], sample_weight=None if weight is None else weight[seen]
            )

    @property
    def estimators_(self) -> ForestTrees:
        """The fitted trees, each answering as a fitted `SurvivalTree`.

        A sequence made on access that reads the forest's compiled trees in
        place (no tree is copied); it follows later warm-start fits. The
        mean of the trees' cumulative hazards, summed in order, is the
        forest's to the last bit.
        """
        check_is_fitted(self)
        return ForestTrees(self)

    def decision_path(self, X: Any) -> tuple[Any, npt.NDArray[np.int64]]:
        """The nodes each row passes through in every tree, as scikit-learn's forests give them.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        indicator : scipy.sparse.csr_matrix of shape (n_samples, n_nodes)
            The trees' indicators side by side: entry (i, j) is 1 where row i
            passes through node j.
        n_nodes_ptr : ndarray of shape (``n_estimators_`` + 1,)
            Columns ``n_nodes_ptr[b]:n_nodes_ptr[b + 1]`` belong to tree b,
            numbered as its ``tree_``.
        """
        trees = [tree.tree_ for tree in self.estimators_]
        return forest_decision_path(trees, self.apply(X))

    def forest_weights(self, X: Any) -> Float64Array:
        """Weight of every training row for each query row.

        ``w_i(x)`` averages over trees the indicator that training row i was
        recorded in the leaf x reaches, divided by that leaf's size; each row
        of the result sums to 1.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Covariates, in any form `fit` takes.

        Returns
        -------
        weights : ndarray of shape (n_queries, n_training_rows)
        """
        return np.asarray(self._model.forest_weights(self._query(X)))

    def oob_permutation_importance(
        self, X: Any, y: Any, *, n_repeats: int = 5, random_state: Any = None
    ) -> Bunch:
        """Out-of-bag permutation importance: the drop in out-of-bag C when a column is shuffled.

        For each tree and covariate, the covariate's values are permuted among
        the rows the tree did not draw, and those rows are passed down that
        tree again. The out-of-bag risk scores built from the permuted rows
        are scored with Harrell's C against `y`; the importance is the
        unpermuted out-of-bag C minus that score.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The training covariates, exactly as passed to `fit`.
        y : structured array of shape (n_samples,)
            The training target, exactly as passed to `fit`.
        n_repeats : int, default=5
            Permutations per covariate.
        random_state : int, RandomState, Generator or None, default=None
            Source of the permutations; None derives them from the forest's
            own seed, so a fitted forest always gives the same answer.

        Returns
        -------
        result : Bunch
            `importances` of shape (n_features, n_repeats), their
            `importances_mean` and `importances_std`, and `baseline_score`,
            the unpermuted out-of-bag C.

        Raises
        ------
        ValueError
            When `X` and `y` are not the training data.
        """
        check_is_fitted(self)
        check_arguments("oob_permutation_importance", {"n_repeats": [COUNT_FROM_1]}, n_repeats=n_repeats)
        repeats = int(n_repeats)
        X_checked, event, time = self._training_data(X, y, reset=False)
        if training_digest(X_checked, event, time) != self._training_digest:
            raise ValueError("X and y must be the data the forest was fitted on")
        rng = np.random.default_rng(self._seed if random_state is None else seed_from(random_state))
        permuted = _OutOfBagPermutations(self, X_checked, event, time, repeats, rng)
        importances = permuted.baseline - permuted.scores
        return Bunch(
            importances=importances,
            importances_mean=importances.mean(axis=1),
            importances_std=importances.std(axis=1),
            baseline_score=permuted.baseline,
        )


class _OutOfBagPermutations:
    """Out-of-bag risk scores of the training rows, unpermuted and with each
    column permuted within each tree's out-of-bag rows, scored with Harrell's C."""

    def __init__(
        self,
        forest: RandomSurvivalForest,
        X: Float64Array,
        event: npt.NDArray[np.uint8],
        time: Float64Array,
        repeats: int,
        rng: np.random.Generator,
    ) -> None:
        self._forest, self._X, self._rng, self._repeats = forest, X, rng, repeats
        n, p = X.shape
        self._risk = np.zeros(n)
        self._permuted_risk = np.zeros((p, repeats, n))
        self._trees_left_out = np.zeros(n)
        in_bag = np.asarray(forest._model._in_bag())
        for tree in range(forest.n_estimators_):
            self._add_tree(tree, np.flatnonzero(in_bag[tree] == 0), event, time)
        seen = self._trees_left_out > 0
        scored = (time[seen], event[seen])
        self.baseline = concordance_index(*scored, self._risk[seen] / self._trees_left_out[seen])
        self.scores = np.array(
            [
                [concordance_index(*scored, risk[seen] / self._trees_left_out[seen]) for risk in column]
                for column in self._permuted_risk
            ]
        )

    def _add_tree(self, tree: int, out_of_bag: npt.NDArray[np.intp], event: Any, time: Any) -> None:
        if len(out_of_bag) == 0:
            return
        forest = self._forest
        job = _log_rank_job(self._X, time, event, forest.n_estimators_, forest._settings, forest._seed, forest._weights())
        piece = job.grow((tree, tree + 1), None)
        leaf_risk = _leaf_risk(piece, self._X, forest._event_times())
        rows = np.asfortranarray(self._X[out_of_bag])
        self._risk[out_of_bag] += leaf_risk[_leaves(piece, rows)]
        self._trees_left_out[out_of_bag] += 1
        for column in range(rows.shape[1]):
            shuffled = np.asfortranarray(np.tile(rows, (self._repeats, 1)))
            for repeat in range(self._repeats):
                block = slice(repeat * len(rows), (repeat + 1) * len(rows))
                shuffled[block, column] = self._rng.permutation(rows[:, column])
            leaves = _leaves(piece, shuffled).reshape(self._repeats, len(rows))
            self._permuted_risk[column][:, out_of_bag] += leaf_risk[leaves]


def _leaves(one_tree_forest: Any, X: Float64Array) -> npt.NDArray[np.intp]:
    return np.asarray(one_tree_forest._apply(X))[:, 0].astype(np.intp)


def _leaf_risk(one_tree_forest: Any, X: Float64Array, times: Float64Array) -> Float64Array:
    """Risk score of each leaf of a one-tree forest, from one training row in it.

    Every leaf holds at least one of the rows that chose its splits, so each
    leaf has a training row to stand for it.
    """
    leaves = _leaves(one_tree_forest, X)
    present, representative = np.unique(leaves, return_index=True)
    risk = np.zeros(int(present.max()) + 1)
    hazard = one_tree_forest.predict_cumulative_hazard(np.asfortranarray(X[representative]), times)
    risk[present] = np.asarray(hazard).sum(axis=1)
    return risk


def _grow(
    X: Float64Array,
    time: Float64Array,
    event: npt.NDArray[np.uint8],
    n_trees: int,
    settings: dict[str, Any],
    seed: int,
    trees: tuple[int, int] | None,
    run: _Run,
) -> Any:
    """Trees [start, stop) of the forest of `n_trees` trees that `seed` defines
    (all when `trees` is None), on the local pool or the active joblib backend."""
    job = _log_rank_job(X, time, event, n_trees, settings, seed, run.sample_weight)
    forest = grow_forest(job, trees, run.n_threads, run.progress)
    if run.progress is not None:
        start, stop = trees or (0, n_trees)
        run.progress.finish(stop - start)
    return forest


def _log_rank_job(
    X: Float64Array,
    time: Float64Array,
    event: npt.NDArray[np.uint8],
    n_trees: int,
    settings: dict[str, Any],
    seed: int,
    sample_weight: Float64Array | None,
) -> ForestJob:
    arrays = {} if sample_weight is None else {"sample_weight": sample_weight}
    data = TrainingData((X, time, event), arrays)
    return ForestJob("_grow_log_rank_forest", data, {"n_trees": n_trees, "seed": seed, **settings})


def _subsample_fraction(max_samples: int | float | None, n_samples: int) -> float:
    """The share of rows each tree draws, such that the core's round(f * n) gives back an int count exactly."""
    if max_samples is None:
        return 1.0
    if isinstance(max_samples, numbers.Integral):
        if int(max_samples) > n_samples:
            raise ValueError(f"max_samples={max_samples} must lie in [1, {n_samples}], the number of rows")
        # (c / n) * n is within an ulp of c, far from the rounding boundary.
        return int(max_samples) / n_samples
    if float(max_samples) > 1.0:
        raise ValueError(f"max_samples={max_samples} as a fraction of the rows must lie in (0, 1]")
    return float(max_samples)


def _draws_every_row(fraction: float, n_samples: int) -> bool:
    """Whether subsampling without replacement draws all rows (the core rounds halves away from zero)."""
    return math.floor(fraction * n_samples + 0.5) >= n_samples


class _Run(NamedTuple):
    """How a fit runs (threads and progress never change what it grows) and the rows' weights."""

    n_threads: int | None = None
    progress: _ProgressBar | None = None
    sample_weight: Float64Array | None = None


class _ProgressBar:
    """A one-line bar of the trees grown, redrawn on standard error."""

    WIDTH = 30

    def __init__(self) -> None:
        self._done, self._total = 0, 0

    @classmethod
    def when(cls, verbose: Any) -> _ProgressBar | None:
        return cls() if verbose else None

    def __call__(self, done: int, total: int) -> None:
        self._done, self._total = done, total
        filled = self.WIDTH * done // max(total, 1)
        sys.stderr.write(f"\rgrowing trees [{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{total}")
        sys.stderr.flush()

    def finish(self, grown: int) -> None:
        """Draws the full bar, which a fit quicker than the core's reporting interval never showed."""
        total = self._total or grown
        self(total, total)
        sys.stderr.write("\n")
        sys.stderr.flush()
