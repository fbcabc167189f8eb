"""Checks of the causal survival forest's error split (`causal_survival_bias.py`); nothing is timed."""

import numpy as np
import pytest

from causal_survival_bias import bag_variance, deciles, linear_moments, linear_system
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
