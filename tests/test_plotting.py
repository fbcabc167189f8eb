import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
from matplotlib.figure import Figure  # noqa: E402

from korvane import StepFunction  # noqa: E402
from korvane.plotting import plot_step_functions  # noqa: E402


def test_each_curve_is_drawn_as_steps_from_time_zero_with_its_label():
    axes = Figure().add_subplot()
    curves = [StepFunction([2.0, 5.0], [0.8, 0.3], initial=1.0), StepFunction([1.0], [0.5], initial=1.0)]
    plot_step_functions(curves, ax=axes, labels=["a", "b"], color="k")
    assert [line.get_label() for line in axes.lines] == ["a", "b"]
    assert axes.lines[0].get_drawstyle() == "steps-post"  # each value holds until the next time
    assert np.array_equal(axes.lines[0].get_xdata(), [0.0, 2.0, 5.0])
    assert np.array_equal(axes.lines[0].get_ydata(), [1.0, 0.8, 0.3])
    with pytest.raises(ValueError, match="labels has 1 entries for 2 functions"):
        plot_step_functions(curves, ax=axes, labels=["a"])
