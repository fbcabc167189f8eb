import doctest

import numpy as np
import pytest

import korvane._survival_target
import korvane.metrics
from korvane._survival_target import event_time_from_structured
from korvane.metrics import (
    _count_before_below,
    brier_score,
    concordance_index,
    concordance_index_censored,
    concordance_index_ipcw,
    cumulative_dynamic_auc,
    integrated_brier_score,
)

TARGET = [("event", "?"), ("time", "f8")]
KINDS = ["continuous", "tied", "chained"]


def target(event, time, dtype=TARGET):
    y = np.empty(len(time), dtype=dtype)
    y[[name for name in y.dtype.names if y.dtype[name].kind == "b"][0]] = event
    y[[name for name in y.dtype.names if y.dtype[name].kind != "b"][0]] = time
    return y


def survival_case(seed, kind, n=120):
    """Test and training targets, a risk score and survival estimates at evaluation times.

    "tied" has few distinct times and scores; "chained" has scores 0.6e-8
    apart, so that ties within the default tolerance chain across groups.
    """
    rng = np.random.default_rng(seed)
    if kind == "continuous":
        time, train_time = rng.exponential(size=n), rng.exponential(size=2 * n)
        risk = rng.normal(size=n)
    else:
        time, train_time = rng.integers(1, 9, n).astype(float), rng.integers(1, 9, 2 * n).astype(float)
        risk = rng.integers(0, 6, n) * (0.6e-8 if kind == "chained" else 1.0)
    test = target(rng.random(n) < 0.6, time)
    # Training follow-up reaches beyond the test times, with censorings at the end.
    train = target(rng.random(2 * n) < 0.5, np.concatenate((train_time[:-1], [time.max() + 1])))
    train["event"][-1] = False
    times = np.unique(np.quantile(time, [0.1, 0.3, 0.5, 0.7, 0.85]))
    times = times[times < time.max()]
    survival = rng.random((n, len(times)))
    if kind != "continuous":
        survival = np.round(survival * 4) / 4
    return train, test, risk, survival, times


@pytest.fixture(scope="module")
def peer():
    return pytest.importorskip("sksurv.metrics")


@pytest.mark.parametrize("tied_tol", [0.0, 1e-8, 0.5])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_harrell_concordance_matches_scikit_survival(peer, seed, kind, tied_tol):
    _, test, risk, _, _ = survival_case(seed, kind)
    ours = concordance_index_censored(test["event"], test["time"], risk, tied_tol=tied_tol)
    theirs = peer.concordance_index_censored(test["event"], test["time"], risk, tied_tol=tied_tol)
    assert ours[1:] == tuple(theirs[1:])
    assert ours[0] == pytest.approx(theirs[0], rel=1e-12)


@pytest.mark.parametrize("truncate", [False, True])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_uno_concordance_matches_scikit_survival(peer, seed, kind, truncate):
    train, test, risk, _, _ = survival_case(seed, kind)
    tau = float(np.median(test["time"])) if truncate else None
    ours = concordance_index_ipcw(train, test, risk, tau=tau)
    theirs = peer.concordance_index_ipcw(train, test, risk, tau=tau)
    assert ours[1:] == tuple(theirs[1:])
    assert ours[0] == pytest.approx(theirs[0], rel=1e-12)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_brier_scores_match_scikit_survival(peer, seed, kind):
    train, test, _, survival, times = survival_case(seed, kind)
    ours_times, ours = brier_score(train, test, survival, times)
    theirs_times, theirs = peer.brier_score(train, test, survival, times)
    np.testing.assert_array_equal(ours_times, theirs_times)
    np.testing.assert_allclose(ours, theirs, rtol=1e-12, atol=1e-15)
    integrated = integrated_brier_score(train, test, survival, times)
    assert integrated == pytest.approx(peer.integrated_brier_score(train, test, survival, times), rel=1e-12)


@pytest.mark.parametrize("tied_tol", [1e-8, 0.3])
@pytest.mark.parametrize("shared_score", [True, False])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_cumulative_dynamic_auc_matches_scikit_survival(peer, seed, kind, shared_score, tied_tol):
    train, test, risk, survival, times = survival_case(seed, kind)
    estimate = risk if shared_score else 1.0 - survival
    ours, ours_mean = cumulative_dynamic_auc(train, test, estimate, times, tied_tol=tied_tol)
    theirs, theirs_mean = peer.cumulative_dynamic_auc(train, test, estimate, times, tied_tol=tied_tol)
    np.testing.assert_allclose(ours, theirs, rtol=1e-12)
    assert ours_mean == pytest.approx(theirs_mean, rel=1e-12)


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning:sksurv")
@pytest.mark.parametrize("seed", range(3))
def test_weights_match_scikit_survival_where_the_censoring_survival_reaches_zero(peer, seed):
    """Training follow-up ends with a censoring inside the test follow-up, and the
    earliest test sample is censored: later samples weigh nothing in the Brier
    score, and the AUC has no case at the first time (NaN, as the mean)."""
    rng = np.random.default_rng(seed)
    test = target(np.r_[False, rng.random(59) < 0.6], np.r_[0.5, rng.integers(1, 10, 59)])
    train = target(np.r_[rng.random(40) < 0.5, False], np.r_[rng.integers(1, 6, 40), 6.0])
    survival, times = rng.random((60, 3)), [0.5, 2.0, 7.0]
    np.testing.assert_allclose(
        brier_score(train, test, survival, times)[1], peer.brier_score(train, test, survival, times)[1], rtol=1e-12
    )
    late_train = target(rng.random(80) < 0.5, np.r_[rng.integers(1, 11, 79), 11.0])
    late_train["event"][-1] = False
    for estimate in (survival, survival[:, 0]):
        ours, ours_mean = cumulative_dynamic_auc(late_train, test, estimate, times)
        theirs, theirs_mean = peer.cumulative_dynamic_auc(late_train, test, estimate, times)
        np.testing.assert_allclose(ours, theirs, rtol=1e-12)
        assert np.isnan(ours[0]) and np.isnan(ours_mean) and np.isnan(theirs_mean)


def brute_force_concordance(event, time, risk, weight, tied_tol):
    numerator = denominator = 0.0
    for i in np.flatnonzero(event):
        for j in range(len(time)):
            if time[i] < time[j] or (time[i] == time[j] and not event[j]):
                difference = risk[j] - risk[i]
                tied = abs(difference) <= tied_tol
                numerator += weight[i] * (0.5 if tied else float(difference < 0))
                denominator += weight[i]
    return numerator / denominator


@pytest.mark.parametrize("tied_tol", [0.0, 1e-8, 2.5e-8])
@pytest.mark.parametrize("kind", KINDS + ["near-tolerance"])
@pytest.mark.parametrize("seed", range(3))
def test_concordance_matches_the_pairwise_definition(seed, kind, tied_tol):
    """Also on scores whose rounded differences straddle the tolerance."""
    _, test, risk, _, _ = survival_case(seed, "tied" if kind == "near-tolerance" else kind, n=60)
    if kind == "near-tolerance":
        # Scores a few ulps off multiples of 1e-8 differ by just under or over it; near 0.7,
        # q + 1e-8 rounds up, so a search on that sum alone misplaces some of them.
        ulps = np.random.default_rng(seed).integers(-3, 4, len(risk)) * np.spacing(0.7)
        risk = 0.7 + risk * 1e-8 + ulps
    weight = np.ones(len(risk))
    c = concordance_index_censored(test["event"], test["time"], risk, tied_tol=tied_tol)[0]
    assert c == pytest.approx(brute_force_concordance(test["event"], test["time"], risk, weight, tied_tol), rel=1e-12)


@pytest.mark.parametrize("seed", range(3))
def test_legacy_concordance_is_harrell_with_exact_ties(seed):
    _, test, risk, _, _ = survival_case(seed, "tied")
    indicator = test["event"].astype(np.uint8)
    expected = concordance_index_censored(test["event"], test["time"], risk, tied_tol=0.0)[0]
    assert concordance_index(test["time"], indicator, risk) == expected


@pytest.mark.parametrize("n", [1, 2, 7, 64, 100, 257])
def test_dominance_counts_match_direct_counting(n):
    rng = np.random.default_rng(n)
    ranks = rng.integers(0, 9, n)
    limit = rng.integers(0, n + 1, 50)
    bound = rng.integers(0, 10, 50)
    expected = [np.count_nonzero(ranks[:k] < b) for k, b in zip(limit, bound)]
    np.testing.assert_array_equal(_count_before_below(ranks, limit, bound), expected)


@pytest.mark.parametrize("seed", range(3))
def test_times_given_out_of_order_keep_their_columns(seed):
    train, test, risk, survival, times = survival_case(seed, "continuous")
    shuffle = np.random.default_rng(seed).permutation(len(times))
    for metric, estimate in ((brier_score, survival), (cumulative_dynamic_auc, 1.0 - survival)):
        in_order = metric(train, test, estimate, times)
        shuffled = metric(train, test, estimate[:, shuffle], times[shuffle])
        np.testing.assert_array_equal(np.hstack(shuffled), np.hstack(in_order))
    repeated = brier_score(train, test, survival, np.repeat(times, 2))
    np.testing.assert_array_equal(np.hstack(repeated), np.hstack(brier_score(train, test, survival, times)))


def test_metrics_leave_the_callers_arrays_unchanged():
    train, test, risk, survival, times = survival_case(0, "tied")
    originals = [a.copy() for a in (train, test, risk, survival, times)]
    concordance_index_ipcw(train, test, risk)
    brier_score(train, test, survival, times)
    cumulative_dynamic_auc(train, test, survival, times)
    for before, after in zip(originals, (train, test, risk, survival, times)):
        np.testing.assert_array_equal(before, after)


@pytest.mark.parametrize(
    "dtype",
    [
        pytest.param([("event", "?"), ("time", "f8")], id="event-first"),
        pytest.param([("duration", "f4"), ("observed", "?")], id="time-first-float32"),
        pytest.param([("status", "?"), ("days", "i8")], id="integer-time"),
    ],
)
def test_any_field_order_names_and_numeric_time(dtype):
    event, time = np.array([True, False, True, True]), np.array([3.0, 1.0, 2.0, 5.0])
    y = target(event, time, dtype)
    got_event, got_time = event_time_from_structured(y)
    np.testing.assert_array_equal(got_event, event)
    np.testing.assert_array_equal(got_time, time)
    assert got_time.dtype == np.float64
    got_event[:] = False
    assert y[y.dtype.names[0 if y.dtype[0].kind == "b" else 1]].any()


@pytest.mark.parametrize(
    ("y", "message"),
    [
        (np.array([1.0, 2.0]), "y must be a structured array"),
        ([(True, 1.0)], "y must be a structured array"),
        (np.zeros((2, 2), dtype=TARGET), "one-dimensional"),
        (np.zeros(0, dtype=TARGET), "y is empty"),
        (np.zeros(2, dtype=[("event", "?"), ("time", "f8"), ("x", "f8")]), "exactly two fields"),
        (np.zeros(2, dtype=[("event", "i4"), ("time", "f8")]), "exactly two fields"),
        (np.zeros(2, dtype=[("event", "?"), ("time", "U3")]), "exactly two fields"),
        (target([True, False], [1.0, np.nan]), "NaN or infinite"),
        (target([False, False], [1.0, 2.0]), "no event"),
    ],
)
def test_malformed_targets_are_refused(y, message):
    with pytest.raises(ValueError, match=message):
        event_time_from_structured(y)


def _error_case():
    e = np.array([True, False, True, True, False, True])
    t = np.array([1.0, 2.0, 2.0, 3.0, 4.0, 5.0])
    r = np.array([0.5, 0.4, 0.3, 0.2, 0.1, 0.0])
    y = target(e, t)
    short_train = target(e[:4], t[:4])
    ending_train = target([True, True, False, False], [1.0, 2.0, 3.0, 4.0])
    s = np.full((6, 2), 0.5)
    return e, t, r, y, short_train, ending_train, s


E, T, R, Y, SHORT_TRAIN, ENDING_TRAIN, S = _error_case()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(lambda: concordance_index_censored(E.astype(int), T, R), "event_indicator must be", id="int-event"),
        pytest.param(lambda: concordance_index_censored(E, T[:5], R), "event_time has 5", id="length"),
        pytest.param(lambda: concordance_index_censored(E[:1], T[:1], R[:1]), "at least two", id="one-sample"),
        pytest.param(lambda: concordance_index_censored(~np.ones(6, bool), T, R), "no event", id="censored"),
        pytest.param(lambda: concordance_index_censored(E, T, np.r_[R[:5], np.inf]), "estimate contains", id="inf"),
        pytest.param(lambda: concordance_index_censored(E, T, R[:, None]), "estimate must be a 1-D", id="2-D"),
        pytest.param(lambda: concordance_index_censored(E, T, R, tied_tol=-1), "tied_tol", id="negative-tol"),
        pytest.param(
            lambda: concordance_index_censored(np.array([True, True]), np.array([1.0, 1.0]), np.array([1.0, 2.0])),
            "no comparable pair",
            id="no-pair",
        ),
        pytest.param(lambda: concordance_index_ipcw(T, Y, R), "survival_train must be", id="plain-train"),
        pytest.param(lambda: concordance_index_ipcw(Y, Y, R[:5]), "estimate has 5", id="ipcw-length"),
        pytest.param(lambda: concordance_index_ipcw(Y, Y, R, tau=0.5), "tau", id="tau-before-events"),
        pytest.param(lambda: concordance_index_ipcw(SHORT_TRAIN, Y, R), "after the last time", id="beyond-train"),
        pytest.param(
            lambda: concordance_index_ipcw(ENDING_TRAIN, target([True, True, True], [1.0, 2.0, 4.0]), R[:3]),
            "censoring survival .* is zero",
            id="zero-censoring-survival",
        ),
        pytest.param(lambda: brier_score(Y, Y, S, [0.5, 2.0]), "times must lie within", id="before-follow-up"),
        pytest.param(lambda: brier_score(Y, Y, S, [2.0, 5.0]), "times must lie within", id="at-last-time"),
        pytest.param(lambda: brier_score(Y, Y, S, []), "times must be a non-empty", id="no-times"),
        pytest.param(lambda: brier_score(Y, Y, S, [2.0, np.nan]), "times must be", id="nan-time"),
        pytest.param(lambda: brier_score(Y, Y, S, [2.0, 3.0, 4.0]), "estimate has 2 columns", id="columns"),
        pytest.param(lambda: brier_score(Y, Y, S[:, 0], [2.0, 3.0]), "estimate is 1-D", id="1-D-many-times"),
        pytest.param(lambda: brier_score(Y, Y, S[:5], [2.0, 3.0]), "estimate must be", id="rows"),
        pytest.param(lambda: brier_score(Y, Y, S * np.nan, [2.0, 3.0]), "estimate contains", id="nan-estimate"),
        pytest.param(lambda: brier_score(SHORT_TRAIN, Y, S, [2.0, 4.0]), "after the last time", id="brier-beyond"),
        pytest.param(lambda: integrated_brier_score(Y, Y, S[:, :1], [2.0]), "at least two", id="one-time"),
        pytest.param(lambda: cumulative_dynamic_auc(Y, Y, R, [0.5]), "times must lie within", id="auc-times"),
        pytest.param(lambda: cumulative_dynamic_auc(Y, Y, R, [2.0], tied_tol=np.nan), "tied_tol", id="nan-tol"),
        pytest.param(lambda: cumulative_dynamic_auc(SHORT_TRAIN, Y, R, [2.0]), "after the last time", id="auc-beyond"),
    ],
)
def test_bad_input_is_refused_naming_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()


_CENSORED_FIRST = target([False, True], [1.0, 2.0])


@pytest.mark.parametrize(
    ("ours", "theirs"),
    [
        pytest.param(
            lambda m: m.concordance_index_censored(np.array([False, True]), np.array([1.0, 2.0]), np.array([1.0, 2.0])),
            True,
            id="harrell",
        ),
        pytest.param(lambda m: m.concordance_index_ipcw(Y, _CENSORED_FIRST, R[:2]), True, id="uno"),
        pytest.param(lambda m: m.concordance_index_ipcw(Y, Y, R, tau=0.5), False, id="uno-tau-before-events"),
        pytest.param(lambda m: m.concordance_index_censored(~np.ones(6, bool), T, R), False, id="no-event"),
        pytest.param(lambda m: m.integrated_brier_score(Y, Y, S[:, :1], [2.0]), False, id="one-time"),
    ],
)
def test_no_comparable_pair_raises_scikit_survivals_exception_where_it_does(peer, ours, theirs):
    from korvane.exceptions import NoComparablePairException

    assert korvane.metrics.NoComparablePairException is NoComparablePairException
    assert issubclass(NoComparablePairException, ValueError)
    peer_exception = pytest.importorskip("sksurv.exceptions").NoComparablePairException
    for module, exception in ((korvane.metrics, NoComparablePairException), (peer, peer_exception)):
        with pytest.raises(ValueError) as raised:
            ours(module)
        assert isinstance(raised.value, exception) == theirs


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: concordance_index(T, E, R, sample_weight=np.where(E, 0.0, 1.0)), id="weights-0"),
        pytest.param(lambda: concordance_index(np.array([4.0, 4.0]), np.array([1, 1]), R[:2]), id="tied-events"),
        pytest.param(lambda: concordance_index_ipcw(Y, target([True, True], [2.0, 2.0]), R[:2]), id="uno-tied"),
    ],
)
def test_an_undefined_concordance_raises_no_comparable_pair(call):
    # scikit-survival returns NaN in these cases; a NaN score would pass silently through model selection.
    with pytest.raises(korvane.metrics.NoComparablePairException):
        call()


@pytest.mark.parametrize("module", [korvane.metrics, korvane._survival_target], ids=lambda m: m.__name__)
def test_docstring_examples_run(module):
    failures, tried = doctest.testmod(module)
    assert tried > 0 and failures == 0


def _metric_calls(train, test, risk, survival, times):
    return {
        "concordance_index_censored": lambda m: m.concordance_index_censored(test["event"], test["time"], risk),
        "concordance_index_ipcw": lambda m: m.concordance_index_ipcw(train, test, risk),
        "brier_score": lambda m: m.brier_score(train, test, survival, times),
        "integrated_brier_score": lambda m: m.integrated_brier_score(train, test, survival, times),
        "cumulative_dynamic_auc": lambda m: m.cumulative_dynamic_auc(train, test, risk, times),
    }


@pytest.mark.parametrize("metric", list(_metric_calls(*survival_case(0, "tied"))))
def test_results_have_scikit_survival_types(peer, metric):
    """Code written for scikit-survival calls NumPy methods on the results (``c.round(3)``)."""
    call = _metric_calls(*survival_case(0, "tied"))[metric]

    def types(result):
        return [type(value) for value in result] if isinstance(result, tuple) else [type(result)]

    assert types(call(korvane.metrics)) == types(call(peer))
