import numpy as np
import pytest

from korvane.metrics import concordance_index


def brute_force_concordance(time, event, risk):
    score = comparable = 0.0
    for i in range(len(time)):
        for j in range(len(time)):
            if event[i] == 1 and (time[i] < time[j] or (time[i] == time[j] and event[j] != 1)):
                comparable += 1
                score += 1.0 if risk[i] > risk[j] else 0.5 if risk[i] == risk[j] else 0.0
    return score / comparable


def random_survival(seed, n=40):
    rng = np.random.default_rng(seed)
    # Few distinct values, so ties in time and in risk are common.
    return rng.integers(1, 8, n).astype(float), rng.integers(0, 2, n).astype(np.uint8), rng.integers(0, 5, n)


@pytest.mark.parametrize(
    ("time", "event", "risk", "expected"),
    [
        pytest.param([1, 2, 3, 4], [1, 1, 1, 1], [4, 3, 2, 1], 1.0, id="perfect"),
        pytest.param([1, 2, 3, 4], [1, 1, 1, 1], [1, 2, 3, 4], 0.0, id="reversed"),
        pytest.param([1, 2, 3, 4], [1, 0, 1, 0], [5, 5, 5, 5], 0.5, id="constant-risk"),
        pytest.param([1, 2, 3], [1, 1, 1], [2, 2, 1], 2.5 / 3, id="risk-tie-counts-half"),
        pytest.param([1, 2, 3], [0, 1, 1], [100, 2, 1], 1.0, id="early-censoring-is-never-compared"),
        pytest.param([2, 2, 3], [1, 0, 1], [1, 2, 0], 0.5, id="event-before-censoring-at-equal-time"),
        pytest.param([2, 2, 5], [1, 1, 0], [3, 1, 0], 1.0, id="tied-events-not-compared"),
        pytest.param([1, 2, 3], [2, 1, 1], [0, 2, 1], 1.0, id="indicator-2-is-censored"),
    ],
)
def test_concordance_on_hand_checked_cases(time, event, risk, expected):
    assert concordance_index(np.array(time, float), np.array(event, np.uint8), np.array(risk, float)) == expected


@pytest.mark.parametrize("seed", range(5))
def test_concordance_matches_the_pairwise_definition(seed):
    time, event, risk = random_survival(seed)
    assert concordance_index(time, event, risk) == pytest.approx(brute_force_concordance(time, event, risk), abs=1e-12)


@pytest.mark.parametrize("seed", range(3))
def test_concordance_depends_only_on_the_order_of_the_scores(seed):
    time, event, risk = random_survival(seed)
    c = concordance_index(time, event, risk)
    assert concordance_index(time, event, np.exp(risk) * 3 - 7) == pytest.approx(c, abs=1e-12)
    assert concordance_index(time, event, -risk) == pytest.approx(1 - c, abs=1e-12)
    assert concordance_index(time, event.astype(bool), risk) == c


@pytest.mark.parametrize(
    ("time", "event", "risk", "message"),
    [
        ([1, 2, 3], [1, 1], [1, 2, 3], "same length"),
        ([1, 2, np.nan], [1, 1, 1], [1, 2, 3], "event_time contains NaN"),
        ([1, 2, 3], [1, 1, 1], [1, np.inf, 3], "risk_score contains NaN or infinite"),
        ([[1, 2]], [1], [1], "event_time must be a 1-D array"),
        ([1, 2, 3], ["1", "0", "1"], [1, 2, 3], "event_indicator must be"),
        ([1, 2, 3], [0, 0, 0], [1, 2, 3], "no pair of rows is comparable"),
        ([4, 4], [1, 1], [1, 2], "no pair of rows is comparable"),
    ],
)
def test_concordance_refuses_bad_input(time, event, risk, message):
    with pytest.raises(ValueError, match=message):
        concordance_index(np.array(time, dtype=float), np.array(event), np.array(risk, dtype=float))


@pytest.mark.parametrize("event_dtype", [bool, np.int64, np.float64])
def test_indicators_passed_where_the_times_belong_are_refused_naming_the_order(event_dtype):
    from korvane.datasets import load_veteran

    data = load_veteran()
    event, risk = data.event_indicator.astype(event_dtype), -data.X[:, 1]
    assert concordance_index(data.event_time, event, risk) == pytest.approx(0.7093, abs=1e-4)
    with pytest.raises(ValueError, match=r"concordance_index takes \(event_time, event_indicator"):
        concordance_index(event, data.event_time, risk)


def test_times_of_only_zero_and_one_next_to_an_indicator_are_times():
    time, event, risk = np.array([0.0, 1.0, 1.0, 0.0]), np.array([1, 0, 1, 0]), [0.9, 0.1, 0.5, 0.2]
    assert concordance_index(time, event, risk) == brute_force_concordance(time, event, risk)
