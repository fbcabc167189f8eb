import fractions

import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import make_survival

FORTRAN = "X must be Fortran-contiguous (column-major) f64. Call np.asfortranarray(x, dtype=np.float64) before fitting."
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
BAD_MAX_FEATURES = "max_features must be None, 'sqrt', 'all', or a positive int"


def misaligned(values):
    """A column-major copy of `values` starting one byte past an 8-byte boundary."""
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(values.dtype).reshape(values.shape, order="F")
    view[...] = values
    return view


def packed_field(X):
    """X as a field of a packed record array: rows are 8 * p + 1 bytes apart."""
    n, p = X.shape
    records = np.zeros(n, dtype=[("x", "f8", (p,)), ("flag", "u1")])
    records["x"] = X
    return records["x"]


class SubArray(np.ndarray):
    pass


@pytest.mark.parametrize(
    ("argument", "value"),
    [
        ("X", lambda s: s.X.tolist()),
        ("X", lambda s: s.X.astype(np.float32)),
        ("X", lambda s: s.X.astype(np.int64)),
        ("X", lambda s: s.X.astype(">f8")),
        ("X", lambda s: s.X[:, 0]),
        ("X", lambda s: s.X[..., None]),
        ("event_time", lambda s: s.event_time.astype(np.float32)),
        ("event_time", lambda s: s.event_time[:, None]),
        ("event_indicator", lambda s: s.event_indicator.astype(bool)),
        ("event_indicator", lambda s: s.event_indicator.astype(np.int64)),
    ],
)
def test_arrays_of_the_wrong_kind_are_refused_without_conversion(survival, argument, value):
    arguments = survival._asdict() | {argument: value(survival)}
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        core.fit_log_rank_tree(**arguments)


def test_ndarray_subclasses_and_empty_strided_arrays_are_accepted(survival):
    X, t, e = survival
    core.fit_log_rank_tree(X.view(SubArray), t.view(SubArray), e)
    empty = np.zeros((0, 2), order="F")
    tree = core.fit_log_rank_tree(empty, np.zeros(4)[::2][:0], np.zeros(0, np.uint8))
    assert tree.n_leaves == 1


@pytest.mark.parametrize(
    ("argument", "value", "error", "message"),
    [
        ("min_samples_leaf", -1, OverflowError, None),
        ("min_samples_leaf", 2**64, OverflowError, None),
        ("min_samples_leaf", 2.0, TypeError, "argument 'min_samples_leaf': "),
        ("min_samples_leaf", None, TypeError, "argument 'min_samples_leaf': "),
        ("seed", -1, OverflowError, None),
        ("seed", "7", TypeError, "argument 'seed': "),
        ("max_depth", -1, OverflowError, "number too small to fit in target type"),
        ("max_depth", 2**32, OverflowError, "number too large to fit in target type"),
        ("max_depth", 2**70, OverflowError, None),
        ("max_depth", 1.5, TypeError, "argument 'max_depth': "),
        ("honesty", 1, TypeError, "argument 'honesty': "),
        ("honesty", None, TypeError, "argument 'honesty': "),
        ("honesty_fraction", "0.5", TypeError, "argument 'honesty_fraction': "),
        ("honesty_fraction", None, TypeError, "argument 'honesty_fraction': "),
    ],
)
def test_settings_that_do_not_convert(survival, argument, value, error, message):
    with pytest.raises(error) as raised:
        core.fit_log_rank_tree(*survival, **{argument: value})
    assert type(raised.value) is error
    text = str(raised.value)
    assert text.startswith(message) if message else not text.startswith("argument")


@pytest.mark.parametrize(
    "settings",
    [
        {"min_samples_leaf": np.int64(5), "seed": np.uint64(2**64 - 1), "max_depth": np.int32(3)},
        {"min_samples_leaf": True, "max_depth": None, "seed": None},
        {"honesty": np.True_, "honesty_fraction": fractions.Fraction(1, 3)},
        {"honesty": np.bool_(False), "honesty_fraction": 7.0},
        {"honesty": True, "honesty_fraction": np.float32(0.5)},
    ],
)
def test_settings_that_convert(survival, settings):
    core.fit_log_rank_tree(*survival, **settings)


def test_prefixed_type_error_keeps_the_original_cause(survival):
    root = KeyError("root")

    class Index:
        def __index__(self):
            raise TypeError("no index here") from root

    with pytest.raises(TypeError, match=r"^argument 'seed': no index here$") as raised:
        core.fit_log_rank_tree(*survival, seed=Index())
    assert raised.value.__cause__ is root


def test_other_exceptions_from_a_conversion_pass_through(survival):
    class Index:
        def __index__(self):
            raise ZeroDivisionError("inside __index__")

    with pytest.raises(ZeroDivisionError, match="^inside __index__$"):
        core.fit_log_rank_tree(*survival, min_samples_leaf=Index())


@pytest.mark.parametrize(
    ("value", "outcome"),
    [
        ("sqrt", None),
        ("all", None),
        (3, None),
        (True, None),
        (np.int64(4), None),
        (0, "max_features must be >= 1"),
        (False, "max_features must be >= 1"),
        (5, "max_features=5 exceeds n_features=4"),
        (-1, BAD_MAX_FEATURES),
        (2.0, BAD_MAX_FEATURES),
        ([1], BAD_MAX_FEATURES),
        (2**40, BAD_MAX_FEATURES),
        ("log2", 'max_features="log2" not recognised; expected None, \'sqrt\', \'all\', or a positive int'),
        ("SQRT", 'max_features="SQRT" not'),
        (" all", 'max_features=" all" not'),
        ('a"b\\c', 'max_features="a\\"b\\\\c" not'),
        ("\t\r\n\0", 'max_features="\\t\\r\\n\\0" not'),
        ("\x01\x7f\u200b", 'max_features="\\u{1}\\u{7f}\\u{200b}" not'),
        ("héllo ünïcode", 'max_features="héllo ünïcode" not'),
        ("\ud800", 'max_features="\\u{d800}" not'),
    ],
)
def test_max_features(survival, value, outcome):
    if outcome is None:
        core.fit_log_rank_tree(*survival, max_features=value)
    else:
        with pytest.raises(ValueError) as raised:
            core.fit_log_rank_tree(*survival, max_features=value)
        assert str(raised.value).startswith(outcome)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"subsample_fraction": 0.0}, "subsample_fraction must lie in (0, 1], got 0"),
        ({"subsample_fraction": -0.0}, "subsample_fraction must lie in (0, 1], got -0"),
        ({"subsample_fraction": 1.5}, "subsample_fraction must lie in (0, 1], got 1.5"),
        ({"subsample_fraction": 1e20}, "subsample_fraction must lie in (0, 1], got 1" + "0" * 20),
        ({"subsample_fraction": float("nan")}, "subsample_fraction must lie in (0, 1], got NaN"),
        ({"subsample_fraction": -float("inf")}, "subsample_fraction must lie in (0, 1], got -inf"),
        ({"subsample_fraction": 0.0, "bootstrap": True}, "subsample_fraction must lie in (0, 1], got 0"),
        ({"n_trees": 0}, "n_trees must be >= 1"),
        ({"honesty": True, "honesty_fraction": 1.0}, "honesty_fraction must lie in (0, 1), got 1"),
        ({"honesty": True, "honesty_fraction": -1e-7}, "honesty_fraction must lie in (0, 1), got -0.0000001"),
        ({"honesty": True, "honesty_fraction": float("inf")}, "honesty_fraction must lie in (0, 1), got inf"),
    ],
)
def test_setting_values_out_of_range(survival, settings, message):
    with pytest.raises(ValueError) as raised:
        core.fit_log_rank_forest(*survival, **settings)
    assert str(raised.value) == message


def test_one_dimensional_training_arrays_must_be_contiguous(survival):
    X, t, e = make_survival(n=40)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_log_rank_tree(X, np.repeat(t, 2)[::2], e)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_log_rank_tree(X, t, e[::-1])
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_log_rank_tree(X, misaligned(t), e)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_gradient_forest(X, np.repeat(t, 2)[::2])


@pytest.mark.parametrize(
    ("X", "accepted"),
    [
        (np.ones((5, 3)), False),
        (np.asfortranarray(np.ones((5, 3))), True),
        (np.ones((1, 3)), True),
        (np.ones((5, 3))[:, :1], True),
        (np.asfortranarray(np.ones((6, 3)))[::2], False),
    ],
)
def test_training_matrix_layout(X, accepted):
    n = X.shape[0]
    call = lambda: core.fit_log_rank_tree(X, np.arange(1.0, n + 1), np.ones(n, np.uint8))
    if accepted:
        call()
    else:
        with pytest.raises(ValueError, match=f"^{FORTRAN.replace('(', '[(]').replace(')', '[)]')}$"):
            call()


def test_length_mismatches_name_every_length(survival):
    X, t, e = survival
    with pytest.raises(ValueError, match="^X has 80 rows but event_time has 79 and event_indicator has 80$"):
        core.fit_log_rank_forest(X, t[1:], e)
    with pytest.raises(ValueError, match="^X has 80 rows but pseudo_outcome has 79$"):
        core.fit_gradient_forest(X, t[1:])


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"event_indicator": np.ones(3, np.int64), "event_time": np.ones(2)}, TypeError, "argument 'event_indicator'"),
        ({"X": [[1.0]], "seed": "x"}, TypeError, "argument 'X'"),
        ({"min_samples_leaf": "x", "max_depth": "x"}, TypeError, "argument 'min_samples_leaf'"),
        ({"bootstrap": None, "honesty": None}, TypeError, "argument 'bootstrap'"),
        ({"n_trees": 0, "max_depth": "x"}, TypeError, "argument 'max_depth'"),
        ({"event_time": np.ones(4)[::2], "event_indicator": np.ones(5, np.uint8)}, TypeError, NOT_CONTIGUOUS),
        ({"event_time": np.ones(2)}, ValueError, "X has 3 rows but event_time has 2"),
        ({"subsample_fraction": 2.0}, ValueError, "X must be Fortran"),
        ({"X": np.asfortranarray(np.ones((3, 2))), "n_trees": 0, "subsample_fraction": 2.0}, ValueError, "subsample_fraction"),
        ({"X": np.asfortranarray(np.ones((3, 2))), "n_trees": 0, "honesty": True, "honesty_fraction": 2.0}, ValueError, "n_trees"),
        ({"X": np.asfortranarray(np.ones((3, 2))), "honesty": True, "honesty_fraction": 2.0, "max_features": 9}, ValueError, "honesty_fraction"),
        ({"X": np.asfortranarray(np.ones((3, 2))), "event_time": np.array([1.0, np.nan, 2.0]), "max_features": 9}, ValueError, "event_time has NaN"),
        ({"X": np.asfortranarray(np.ones((3, 2))), "max_features": 9}, ValueError, "max_features=9 exceeds"),
    ],
)
def test_a_call_wrong_in_several_ways_reports_the_earliest_check(arguments, error, message):
    base = {"X": np.ones((3, 2)), "event_time": np.ones(3), "event_indicator": np.ones(3, np.uint8)}
    with pytest.raises(error) as raised:
        core.fit_log_rank_forest(**(base | arguments))
    assert type(raised.value) is error and str(raised.value).startswith(message)


ALIGNMENT = "must be 8-byte aligned with strides that are whole multiples of 8 bytes"


@pytest.mark.parametrize(
    ("fit", "change", "message"),
    [
        ("tree", {"X": lambda s: packed_field(s.X)[:, :1]}, f"X {ALIGNMENT}; pass a copy made with X.copy(order='F')"),
        ("tree", {"X": lambda s: misaligned(s.X)}, f"X {ALIGNMENT}"),
        ("tree", {"X": lambda s: s.X[:, :0]}, "X must have at least one column"),
        ("tree", {"event_time": lambda s: np.where(np.arange(80) >= 3, np.nan, s.event_time)}, "event_time has NaN at row 3"),
        ("tree", {"X": lambda s: np.asfortranarray(np.where((np.arange(80) >= 2)[:, None] & (np.arange(4) >= 1), np.nan, s.X))}, "X has NaN at row 2, column 1"),
        ("tree", {"X": lambda s: s.X[:1], "event_time": lambda s: s.event_time[:1], "event_indicator": lambda s: s.event_indicator[:1], "honesty": True}, "X must have at least 2 rows for an honest tree, got 1"),
        ("forest", {"X": lambda s: s.X[:0], "event_time": lambda s: s.event_time[:0], "event_indicator": lambda s: s.event_indicator[:0]}, "X must have at least one row to fit a forest"),
        ("forest", {"X": lambda s: np.asfortranarray(s.X[:2]), "event_time": lambda s: s.event_time[:2], "event_indicator": lambda s: s.event_indicator[:2], "honesty": True, "subsample_fraction": 0.5}, "subsample_fraction=0.5 of 2 rows draws 1 row per tree, but an honest tree needs at least 2"),
        ("gradient", {"X": lambda s: np.asfortranarray(np.where(np.arange(80)[:, None] == 7, np.nan, s.X))}, "X has NaN at row 7, column 0"),
        ("gradient", {"X": lambda s: s.X[:1], "event_time": lambda s: s.event_time[:1]}, "subsample_fraction=0.5 of 1 row draws 1 row per tree"),
    ],
)
def test_training_data_the_core_cannot_fit_is_refused(survival, fit, change, message):
    arguments = survival._asdict() | {k: (v(survival) if callable(v) else v) for k, v in change.items()}
    if fit == "gradient":
        arguments["pseudo_outcome"] = arguments.pop("event_time")
        del arguments["event_indicator"]
    function = {"tree": core.fit_log_rank_tree, "forest": core.fit_log_rank_forest, "gradient": core.fit_gradient_forest}[fit]
    with pytest.raises(ValueError) as raised:
        function(**arguments)
    assert str(raised.value).startswith(message)


def test_unchecked_values_reach_the_core(survival):
    X, t, e = survival
    core.fit_gradient_forest(X, np.full(80, np.nan), n_trees=2)
    core.fit_log_rank_tree(X, -t, np.full(80, 255, np.uint8), min_samples_leaf=0, max_depth=0)
    assert core.fit_log_rank_tree(X[:1], t[:1], e[:1]).n_leaves == 1


def test_inputs_are_read_in_place_and_left_unchanged(survival):
    X, t, e = survival
    copies = [a.copy() for a in survival]
    forest = core.fit_log_rank_forest(X, t, e, n_trees=3)
    core.fit_gradient_forest(X, t, n_trees=3)
    forest.predict_cumulative_hazard(X, t)
    forest.forest_weights(X)
    forest.forest_weights_one(X[0])
    assert all(np.array_equal(a, b) for a, b in zip(survival, copies))
    readonly = [a.copy(order="K") for a in survival]
    for a in readonly:
        a.flags.writeable = False
    assert core.fit_log_rank_tree(*readonly).n_leaves == core.fit_log_rank_tree(*survival).n_leaves
