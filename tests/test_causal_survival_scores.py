"""The doubly robust censoring-weighted scores behind the causal survival forest."""

import numpy as np
import pytest

from korvane._causal_survival_scores import (
    Horizon,
    NuisanceSettings,
    aipcw,
    causal_survival_scores,
    inverse_censoring_weights,
    observed_outcome,
    outcome_given_alive,
    restricted_mean,
    time_grid,
)

TARGETS = [("RMST", 1.5), ("survival.probability", 1.0)]


def transformed(time, event, horizon, survival, censoring):
    """The AIPCW transform of the target's outcome for curves given as functions of t."""
    grid = time_grid(time, horizon)
    grid_rows = np.broadcast_to(grid, (len(time), len(grid)))
    alive = outcome_given_alive(survival(grid_rows), grid, horizon)
    return aipcw(observed_outcome(time, horizon), alive, censoring(grid_rows), time, event, grid, horizon)


def exponential_data(n, rng, rate=1.0, censoring_rate=0.5):
    # Rounded, as observed times are, which keeps the grid of distinct times short.
    failure, censoring = np.round(rng.exponential(1 / rate, n), 2), np.round(rng.exponential(1 / censoring_rate, n), 2)
    return np.minimum(failure, censoring), failure <= censoring


@pytest.mark.parametrize(("target", "at"), TARGETS + [("RMST", 0.3), ("survival.probability", 4.0)])
def test_a_constant_passes_through_the_censoring_weights_unchanged(target, at):
    # Holds for any censoring curve and any row, including times at 0, tied times and
    # rows observed beyond the horizon: it pins the left limits and the risk sets.
    rng = np.random.default_rng(0)
    time = np.round(rng.exponential(1.0, 300), 1)
    event = rng.random(300) < 0.6
    horizon = Horizon.of(target, at)
    grid = time_grid(time, horizon)
    censoring = np.cumprod(rng.uniform(0.9, 1.0, (300, len(grid))), axis=1)
    constant = np.full(300, 2.5)
    result = aipcw(constant, np.full((300, len(grid)), 2.5), censoring, time, event, grid, horizon)
    np.testing.assert_allclose(result, constant, rtol=1e-12)


@pytest.mark.parametrize(("target", "at"), TARGETS)
@pytest.mark.parametrize(
    ("right_survival", "right_censoring"), [(True, True), (False, True), (True, False)], ids=["both", "censoring", "survival"]
)
def test_the_transform_is_unbiased_when_either_curve_is_right(target, at, right_survival, right_censoring):
    rng = np.random.default_rng(1)
    time, event = exponential_data(40_000, rng)
    horizon = Horizon.of(target, at)
    survival = (lambda t: np.exp(-t)) if right_survival else (lambda t: np.exp(-3.0 * t))
    censoring = (lambda t: np.exp(-0.5 * t)) if right_censoring else (lambda t: np.ones_like(t))
    truth = 1.0 - np.exp(-at) if target == "RMST" else np.exp(-at)
    pseudo = transformed(time, event, horizon, survival, censoring)
    assert abs(pseudo.mean() - truth) < 4.0 * pseudo.std() / np.sqrt(len(pseudo))


@pytest.mark.parametrize(("target", "at"), TARGETS)
def test_inverse_censoring_weights_with_the_true_curve_give_an_unbiased_mean(target, at):
    rng = np.random.default_rng(6)
    time, event = exponential_data(40_000, rng)
    horizon = Horizon.of(target, at)
    grid = time_grid(time, horizon)
    censoring = np.exp(-0.5 * np.broadcast_to(grid, (len(time), len(grid))))
    weighted = inverse_censoring_weights(censoring, time, event, grid, horizon) * observed_outcome(time, horizon)
    truth = 1.0 - np.exp(-at) if target == "RMST" else np.exp(-at)
    assert abs(weighted.mean() - truth) < 4.0 * weighted.std() / np.sqrt(len(weighted))


def test_with_both_curves_wrong_the_transform_is_biased():
    # The counterpart of the test above: its tolerance does tell a biased transform.
    rng = np.random.default_rng(1)
    time, event = exponential_data(40_000, rng)
    pseudo = transformed(time, event, Horizon.of("RMST", 1.5), lambda t: np.exp(-3.0 * t), np.ones_like)
    assert abs(pseudo.mean() - (1.0 - np.exp(-1.5))) > 10.0 * pseudo.std() / np.sqrt(len(pseudo))


def test_integer_times_tied_at_the_survival_time_count_as_failures_before_it():
    # T and C on the integers, ties T = C observed as events, target P(T > 2): a failure
    # at exactly 2 is a failure, a censoring at exactly 2 shows T > 2.
    rng = np.random.default_rng(2)
    n, p_fail, p_cens = 60_000, 0.35, 0.25
    failure, censoring = rng.geometric(p_fail, n) - 1.0, rng.geometric(p_cens, n) - 1.0
    time, event = np.minimum(failure, censoring), failure <= censoring
    horizon = Horizon.of("survival.probability", 2.0)
    survival = lambda t: (1 - p_fail) ** (np.floor(t) + 1)  # noqa: E731  P(T > t)
    wrong_survival = lambda t: np.full_like(t, 0.9)  # noqa: E731
    censoring_curve = lambda t: (1 - p_cens) ** (np.floor(t) + 1)  # noqa: E731
    truth = (1 - p_fail) ** 3
    for curve, weights in ((survival, np.ones_like), (wrong_survival, censoring_curve)):
        pseudo = transformed(time, event, horizon, curve, weights)
        assert abs(pseudo.mean() - truth) < 4.0 * pseudo.std() / np.sqrt(n)


@pytest.mark.parametrize(("target", "at"), TARGETS)
def test_restricted_mean_and_conditional_outcome_of_an_exact_curve(target, at):
    grid = np.linspace(0.0, at, 20001)[:-1] if target == "RMST" else np.linspace(0.0, at, 11)
    horizon = Horizon.of(target, at)
    survival = np.exp(-grid)[None, :]
    mean = restricted_mean(survival, grid, horizon)[0]
    given = outcome_given_alive(survival, grid, horizon)[0]
    if target == "RMST":
        assert mean == pytest.approx(1.0 - np.exp(-at), rel=1e-4)
        # E[min(T, h) | T > s] = s + (1 - exp(-(h - s))) for a unit exponential.
        np.testing.assert_allclose(given[::4000], grid[::4000] + 1.0 - np.exp(-(at - grid[::4000])), rtol=1e-3)
    else:
        assert mean == pytest.approx(np.exp(-at))
        np.testing.assert_allclose(given, np.exp(-(at - grid)))


def design_two(n, rng, censoring_beyond=None):
    """Proportional hazards in sqrt(T) with an effect that changes sign, as in the study."""
    X = rng.random((n, 5))
    W = (rng.random(n) < 0.5).astype(float)
    failure = (rng.exponential(1.0, n) / np.exp(X[:, 0] + (X[:, 1] - 0.5) * W)) ** 2
    censoring = rng.uniform(0.0, 3.0, n) if censoring_beyond is None else censoring_beyond + rng.random(n)
    return np.asfortranarray(X), np.minimum(failure, censoring), failure <= censoring, W


SMALL = NuisanceSettings(n_estimators=60, min_samples_leaf=10, random_state=0, n_jobs=1)


@pytest.mark.parametrize(("target", "at"), [("RMST", 2.0), ("survival.probability", 1.2)])
def test_censoring_only_after_the_horizon_gives_the_uncensored_score(target, at):
    rng = np.random.default_rng(3)
    X, time, event, W = design_two(300, rng, censoring_beyond=2.5)
    assert not event.all()
    scores = causal_survival_scores(X, time, event, W, Horizon.of(target, at), SMALL)
    outcome = np.minimum(time, at) if target == "RMST" else (time > at).astype(float)
    centred = W - scores.propensity
    np.testing.assert_allclose(scores.pseudo_outcome, outcome, atol=1e-12)
    np.testing.assert_allclose(scores.numerator, centred * (outcome - scores.mean_outcome), atol=1e-12)
    np.testing.assert_allclose(scores.denominator, centred**2)


def test_nuisances_answer_out_of_bag_and_in_range():
    rng = np.random.default_rng(4)
    X, time, event, W = design_two(300, rng)
    scores = causal_survival_scores(X, time, event, W, Horizon.of("RMST", 2.0), SMALL)
    assert np.all((scores.propensity > 0.0) & (scores.propensity < 1.0))
    assert np.all((scores.mean_outcome >= 0.0) & (scores.mean_outcome <= 2.0))
    assert np.isfinite(scores.numerator).all()


@pytest.mark.parametrize(("target", "at"), [("RMST", 2.0), ("survival.probability", 1.2)])
def test_the_scores_average_to_the_true_average_effect(target, at):
    rng = np.random.default_rng(5)
    X, time, event, W = design_two(2000, rng)
    scores = causal_survival_scores(X, time, event, W, Horizon.of(target, at), SMALL)
    estimate = scores.numerator.sum() / scores.denominator.sum()
    influence = (scores.numerator - estimate * scores.denominator) / scores.denominator.mean()
    # Truth by quadrature over X1, X2 ~ U(0, 1) of the closed-form arm curves.
    u = (np.arange(400) + 0.5) / 400
    x1, x2 = np.meshgrid(u, u)
    rates = [np.exp(x1 + (x2 - 0.5) * w) for w in (1.0, 0.0)]
    if target == "RMST":
        root = np.sqrt(at)
        arms = [2.0 / r**2 * (1.0 - np.exp(-r * root) * (1.0 + r * root)) for r in rates]
    else:
        arms = [np.exp(-r * np.sqrt(at)) for r in rates]
    truth = float(np.mean(arms[0] - arms[1]))
    assert abs(estimate - truth) < 3.5 * influence.std() / np.sqrt(len(influence))
