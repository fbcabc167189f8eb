"""Checks of the effect study's designs, truth and scoring; nothing is timed."""

import numpy as np
import pytest

from causal_survival_designs import DESIGNS, covariates, exact_truth, monte_carlo_truth, simulate
from causal_survival_study import SECTION, Prediction, replace_section, scores


@pytest.mark.parametrize("name", sorted(DESIGNS))
def test_the_monte_carlo_truth_agrees_with_the_closed_form(name):
    design = DESIGNS[name]
    rng = np.random.default_rng(0)
    X = covariates(40, rng)
    draws = 20_000
    simulated, exact = monte_carlo_truth(design, X, rng, draws=draws), exact_truth(design, X)
    # Far tighter than the spread of the effect over rows, which any slip in a design's
    # formula (in either form) would upset.
    for got, want in ((simulated.rmst, exact.rmst), (simulated.survival, exact.survival)):
        assert np.max(np.abs(got - want)) < 0.2 * np.std(want)


@pytest.mark.parametrize("name", sorted(DESIGNS))
def test_the_true_effect_has_the_sign_the_design_states(name):
    design = DESIGNS[name]
    X = covariates(500, np.random.default_rng(1))
    truth, sign = exact_truth(design, X), design.effect_sign(X)
    signed = sign != 0
    assert np.all(np.sign(truth.rmst[signed]) == sign[signed])
    assert np.all(np.abs(truth.rmst[~signed]) < 1e-12)


@pytest.mark.parametrize("name", sorted(DESIGNS))
@pytest.mark.parametrize("rho", [0.0, 0.5])
def test_samples_are_truncated_rounded_and_censored_as_designed(name, rho):
    design = DESIGNS[name]
    sample = simulate(design, 4000, np.random.default_rng(2), rho=rho)
    assert sample.X.shape == (4000, 15) and np.all((sample.X > 0) & (sample.X < 1))
    np.testing.assert_array_equal(sample.time, np.round(sample.time, 2))
    assert sample.time.max() <= design.horizon
    assert 0.0 < sample.event.mean() < 1.0
    assert set(np.unique(sample.treatment)) == {0.0, 1.0}
    if rho:
        lag_one = np.corrcoef(sample.X[:, 0], sample.X[:, 1])[0, 1]
        assert 0.35 < lag_one < 0.6


def test_scores_leave_rows_without_an_effect_out_of_the_sign_rate():
    truth = np.array([0.5, -0.2, 0.0, 0.1])
    sign = np.array([1.0, -1.0, 0.0, 1.0])
    prediction = Prediction(np.array([0.4, 0.1, -0.3, 0.2]), np.array([0.1, 0.1, 0.1, 0.05]))
    result = scores(prediction, truth, sign)
    assert result["mse"] == pytest.approx(np.mean([0.01, 0.09, 0.09, 0.01]))
    assert result["sign"] == pytest.approx(2 / 3)
    # Covered: |0.1| <= 0.196, |0.3| > 0.196, |0.3| > 0.196, |0.1| > 0.098.
    assert result["coverage"] == pytest.approx(0.25)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("# R\n\n### t\n", "# R\n\n### t\n\n" + SECTION + "\nnew\n"),
        ("# R\n\n" + SECTION + "\nold\n\n## Next\nkept\n", "# R\n\n" + SECTION + "\nnew\n\n## Next\nkept\n"),
        ("# R\n\n" + SECTION + "\nold\n", "# R\n\n" + SECTION + "\nnew\n"),
    ],
    ids=["appended", "replaced-before-another", "replaced-at-the-end"],
)
def test_the_study_rewrites_only_its_own_section_of_the_results(text, expected):
    assert replace_section(text, SECTION + "\nnew\n") == expected
