"""Every float a message prints is written with its shortest round-trip digits
and never with an exponent, at every magnitude a double can have."""

import re
import sys
from decimal import Decimal

import numpy as np
import pytest

from conftest import fit_gradient_forest, fit_log_rank_forest, fit_tree, make_survival

MAGNITUDES = [5e-324, 2.2250738585072014e-308, 1e-300, 1.5e-7, 0.1, 1.0, 3.0, 1e16, 1e21, 1e22, 1e23, 1.7976931348623157e308]


def fixed(value):
    """Python's shortest repr digits, laid out without exponent or a bare '.0'."""
    text = format(Decimal(repr(abs(value))).normalize(), "f")
    return ("-" if value < 0 else "") + text


def invalid(magnitude, upper_open):
    """A fraction outside (0, 1) or (0, 1] of this magnitude: the magnitude
    itself when it is out of range, otherwise its negative."""
    out = magnitude > 1.0 or (upper_open and magnitude == 1.0)
    return magnitude if out else -magnitude


# (fit, settings for a value, message before the value, message after it, accepts the value)
MESSAGES = [
    pytest.param(fit, lambda v: {"honesty": True, "honesty_fraction": invalid(v, True)}, "honesty_fraction must lie in (0, 1), got ", "", id=f"honesty_fraction-{fit.__name__}")
    for fit in (fit_tree, fit_log_rank_forest, fit_gradient_forest)
] + [
    pytest.param(fit, lambda v: {"subsample_fraction": invalid(v, False)}, "subsample_fraction must lie in (0, 1], got ", "", id=f"subsample_fraction-{fit.__name__}")
    for fit in (fit_log_rank_forest, fit_gradient_forest)
]


@pytest.mark.parametrize("magnitude", MAGNITUDES)
@pytest.mark.parametrize(("fit", "settings", "before", "after"), MESSAGES)
def test_out_of_range_fraction_prints_shortest_fixed_digits(fit, settings, before, after, magnitude):
    given = settings(magnitude)
    value = next(v for k, v in given.items() if k.endswith("fraction"))
    with pytest.raises(ValueError) as raised:
        fit(make_survival(n=20), **given)
    assert str(raised.value) == before + fixed(value) + after
    assert "e" not in fixed(value) and float(fixed(value)) == value


@pytest.mark.parametrize("magnitude", [m for m in MAGNITUDES if m <= 0.1])
@pytest.mark.parametrize("fit", [fit_log_rank_forest, fit_gradient_forest])
def test_honest_draw_too_small_prints_the_fraction_in_shortest_fixed_digits(fit, magnitude):
    with pytest.raises(ValueError) as raised:
        fit(make_survival(n=5), honesty=True, subsample_fraction=magnitude)
    expected = f"subsample_fraction={fixed(magnitude)} of 5 rows draws 1 row per tree, but an honest tree needs at least 2"
    assert str(raised.value) == expected


def test_the_two_named_extremes_print_as_plain_integers():
    assert fixed(1e23) == "100000000000000000000000"
    assert fixed(sys.float_info.max) == "17976931348623157" + "0" * 292
    with pytest.raises(ValueError, match=re.escape("got 17976931348623157" + "0" * 292)):
        fit_log_rank_forest(make_survival(n=20), subsample_fraction=sys.float_info.max)
