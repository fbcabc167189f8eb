"""Checks of the causal survival forest's error split (`causal_survival_bias.py`); nothing is timed."""

import numpy as np
import pytest

import korvane
from causal_survival_bias import Fit, Run, bag_variance, deciles, linear_moments, linear_system, ratio_run, row
from causal_survival_designs import Sample
from korvane._causal_survival_scores import Horizon
from korvane.causal_survival import _ratio_variance


def weighted_sums(weights, values):
    return weights @ values


@pytest.mark.parametrize("n_columns", [1, 3])
def test_the_normal_equations_from_moment_sums_are_those_of_the_weighted_least_squares(n_columns):
    rng = np.random.default_rng(0)
    X, numerator, denominator = rng.random((40, n_columns)), rng.normal(size=40), rng.random(40)
    weights, queries = rng.random((5, 40)), rng.random((5, n_columns))
    system, right = linear_system(weighted_sums(weights, linear_moments(X, numerator, denominator)), queries)
    for q in range(5):
        z = np.column_stack((np.ones(40), X - queries[q]))
        np.testing.assert_allclose(system[q], (z * (weights[q] * denominator)[:, None]).T @ z, rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(right[q], z.T @ (weights[q] * numerator), rtol=1e-10, atol=1e-12)


def test_the_local_linear_ratio_recovers_a_linear_effect_at_every_query():
    rng = np.random.default_rng(1)
    X, denominator = rng.random((60, 2)), rng.random(60) + 0.1
    effect = lambda x: 0.5 + x @ np.array([2.0, -1.0])
    weights, queries = rng.random((4, 60)), rng.random((4, 2))
    system, right = linear_system(weighted_sums(weights, linear_moments(X, effect(X) * denominator, denominator)),
                                  queries)
    np.testing.assert_allclose(np.linalg.solve(system, right[..., None])[:, 0, 0], effect(queries), rtol=1e-9)


def test_the_little_bags_of_per_tree_terms_give_the_forests_variance():
    rng = np.random.default_rng(2)
    terms = np.stack((rng.normal(1.0, 0.3, (6, 40)), rng.uniform(0.2, 0.4, (6, 40))), axis=-1)
    numerator, denominator = terms[..., 0], terms[..., 1]
    effect = numerator.mean(axis=1) / denominator.mean(axis=1)
    psi = (numerator - effect[:, None] * denominator) / denominator.mean(axis=1)[:, None]
    np.testing.assert_allclose(bag_variance(psi), _ratio_variance(terms, 2), rtol=1e-12)


def test_deciles_are_ten_equal_groups_in_the_order_of_the_values():
    values = np.random.default_rng(3).permutation(50)
    groups = deciles(values.astype(float))
    assert np.array_equal(np.bincount(groups), np.full(10, 5))
    assert np.all(np.diff(groups[np.argsort(values)]) >= 0)


def small_fit(tau, numerator, denominator, rng):
    n = len(tau)
    sample = Sample(np.asfortranarray(rng.random((n, 3))), rng.integers(0, 2, n).astype(float), rng.random(n),
                    np.ones(n, dtype=bool))
    settings = korvane.CausalSurvivalForest("RMST", 1.0, 20)._core_settings(n, 3) | {"min_side_samples": 0}
    zeros = np.zeros(n)
    return Fit("1", sample, numerator, denominator, zeros, zeros, zeros, tau, Horizon.of("RMST", 1.0), settings, 7)


def test_exact_scores_make_the_estimate_the_smoothed_truth_and_a_constant_effect_passes_unsmoothed():
    rng = np.random.default_rng(4)
    denominator = rng.uniform(0.1, 1.0, 80)
    varying = rng.normal(size=80)
    run = ratio_run(small_fit(varying, varying * denominator, denominator, rng), rng.random((6, 3)),
                    varying * denominator, varying * denominator, denominator)
    np.testing.assert_allclose(run.estimate, run.smoothed, rtol=1e-12)
    constant = np.full(80, 0.3)
    fit = small_fit(constant, rng.normal(size=80), denominator, rng)
    run = ratio_run(fit, rng.random((6, 3)), fit.numerator, fit.numerator, denominator)
    np.testing.assert_allclose(run.smoothed, 0.3, rtol=1e-12)


def test_the_squared_bias_of_unbiased_estimates_is_about_zero_whatever_the_repetitions():
    rng = np.random.default_rng(5)
    truth, reps, sd = rng.random(2000), 3, 0.1
    runs = [Run(truth + rng.normal(0.0, sd, 2000), np.full(2000, sd**2), truth) for _ in range(reps)]
    bias2 = float(row("unbiased", truth, runs).split("|")[4])
    # Uncorrected, the mean of 3 noisy estimates would show sd^2 / 3 = 0.0033 of squared bias.
    assert abs(bias2) < 0.1 * sd**2 / reps
