import fractions

import numpy as np
import pytest

from korvane import _korvane_core as core

from conftest import FITS, Survival, fit_gradient_forest, fit_log_rank_forest, fit_tree, model_outputs

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
BAD_MAX_FEATURES = "max_features must be None, 'sqrt', 'all', or a positive int"
ALIGNMENT = "must be 8-byte aligned with strides that are whole multiples of 8 bytes"
SUBSAMPLE = "subsample_fraction must lie in (0, 1], got "
HONESTY = "honesty_fraction must lie in (0, 1), got "


def misaligned(values):
    """A column-major copy of `values` starting one byte past an 8-byte boundary."""
    view = np.zeros(values.nbytes + 1, np.uint8)[1:].view(values.dtype).reshape(values.shape, order="F")
    view[...] = values
    return view


def packed_field(X):
    """X as a field of a packed record array: rows are 8 * p + 1 bytes apart."""
    records = np.zeros(len(X), dtype=[("x", "f8", X.shape[1:]), ("flag", "u1")])
    records["x"] = X
    return records["x"]


def first_rows(s, k):
    return Survival(np.asfortranarray(s.X[:k]), s.event_time[:k], s.event_indicator[:k])


def with_nan(X, row, col):
    X = X.copy(order="F")
    X[row:, col:] = np.nan
    return X


def all_events(X):
    return Survival(X, np.arange(1.0, len(X) + 1), np.ones(len(X), np.uint8))


SubArray = type("SubArray", (np.ndarray,), {})


@pytest.mark.parametrize(
    ("fit", "change", "settings"),
    [
        (fit_tree, lambda s: s._replace(X=s.X.view(SubArray), event_time=s.event_time.view(SubArray)), {}),
        (fit_tree, lambda s: s, {"min_samples_leaf": np.int64(5), "seed": np.uint64(2**64 - 1), "max_depth": np.int32(3)}),
        (fit_tree, lambda s: s, {"honesty": np.True_, "honesty_fraction": fractions.Fraction(1, 3)}),
        (fit_tree, lambda s: s, {"honesty": np.False_, "honesty_fraction": 7.0}),
        *[(fit_tree, lambda s: s, {"max_features": value}) for value in ("sqrt", "all", 3, 4)],
        *[(fit_tree, lambda s, X=X: all_events(X), {}) for X in (np.asfortranarray(np.ones((5, 3))), np.ones((1, 3)), np.ones((5, 3))[:, :1])],
        (fit_tree, lambda s: s._replace(event_time=-s.event_time, event_indicator=np.full(80, 255, np.uint8)), {"min_samples_leaf": 0, "max_depth": 0}),
        (fit_log_rank_forest, lambda s: s, {"n_trees": 1, "subsample_fraction": 1.0, "bootstrap": False}),
        (fit_gradient_forest, lambda s: s._replace(event_time=np.full(80, np.nan)), {"n_trees": 2}),
        (fit_gradient_forest, lambda s: s, {"n_trees": 2, "honesty": False, "honesty_fraction": 7.0}),
    ],
)
def test_accepted_argument_forms_and_unchecked_values_fit(survival, fit, change, settings):
    fit(change(survival), **settings)


def test_no_or_one_training_row_gives_a_single_leaf(survival):
    # The empty time array is strided: an empty array passes whatever its flags.
    assert core.fit_log_rank_tree(np.zeros((0, 2)), np.zeros(4)[::2][:0], np.zeros(0, np.uint8)).n_leaves == 1
    assert fit_tree(first_rows(survival, 1)).n_leaves == 1


@pytest.mark.parametrize(
    ("argument", "value"),
    [
        ("X", lambda s: s.X.tolist()),
        ("X", lambda s: s.X.astype(np.float32)),
        ("X", lambda s: s.X.astype(">f8")),
        ("X", lambda s: s.X[:, 0]),
        ("event_indicator", lambda s: s.event_indicator.astype(bool)),
        ("event_indicator", lambda s: s.event_indicator.astype(np.int64)),
    ],
)
def test_arrays_of_the_wrong_kind_are_refused_without_conversion(survival, argument, value):
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        core.fit_log_rank_tree(**survival._asdict() | {argument: value(survival)})


@pytest.mark.parametrize(
    ("settings", "error", "message"),
    [
        ({"min_samples_leaf": -1}, OverflowError, ""),
        ({"min_samples_leaf": 2.0}, TypeError, "argument 'min_samples_leaf': "),
        ({"seed": "7"}, TypeError, "argument 'seed': "),
        ({"max_depth": -1}, OverflowError, "number too small to fit in target type"),
        ({"max_depth": 2**32}, OverflowError, "number too large to fit in target type"),
        ({"max_depth": 1.5}, TypeError, "argument 'max_depth': "),
        ({"honesty": 1}, TypeError, "argument 'honesty': "),
        ({"honesty_fraction": None}, TypeError, "argument 'honesty_fraction': "),
    ],
)
def test_settings_that_do_not_convert(survival, settings, error, message):
    with pytest.raises(error) as raised:
        core.fit_log_rank_tree(*survival, **settings)
    assert type(raised.value) is error and str(raised.value).startswith(message)
    assert message or not str(raised.value).startswith("argument")


def test_prefixed_type_errors_keep_the_cause_and_other_errors_pass_through(survival):
    root = KeyError("root")

    class Index:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error from root

    with pytest.raises(TypeError, match=r"^argument 'seed': no index here$") as raised:
        core.fit_log_rank_tree(*survival, seed=Index(TypeError("no index here")))
    assert raised.value.__cause__ is root
    with pytest.raises(ZeroDivisionError, match="^inside$"):
        core.fit_log_rank_tree(*survival, min_samples_leaf=Index(ZeroDivisionError("inside")))


class RenamingMeta(type):
    """Gives its classes another __name__ than the one they were created with."""

    @property
    def __name__(cls):
        return "Impostor"


class Renamed(metaclass=RenamingMeta):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: core._to_bytes(Renamed()), "argument 'model': expected a LogRankSurvivalTree, LogRankSurvivalForest or GradientForest, got Renamed"),
        (lambda s: core._from_bytes(Renamed()), "argument 'data': a bytes-like object is required, not Renamed"),
        (lambda s: core.fit_log_rank_tree(*s, honesty=Renamed()), "argument 'honesty': expected a bool, got Renamed"),
        (lambda s: core._grow_log_rank_forest(*s, n_threads=Renamed()), "argument 'n_threads': expected None or an integer, got Renamed"),
        (lambda s: core._grow_log_rank_forest(*s, progress=Renamed()), "argument 'progress': expected None or a callable, got Renamed"),
        (lambda s: core._join_forests(Renamed()), "pieces must be a sequence, got Renamed"),
        (lambda s: core._join_forests([Renamed()]), "pieces[0] is a Renamed, not a forest"),
        (lambda s: core._join_forests([fit_log_rank_forest(s, n_trees=1), Renamed()]), "pieces[1] is a Renamed, but pieces[0] is a LogRankSurvivalForest"),
    ],
)
def test_type_errors_name_the_class_as_created_whatever_its_metaclass_answers(survival, call, message):
    with pytest.raises(TypeError) as raised:
        call(survival)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (0, "max_features must be >= 1"),
        (False, "max_features must be >= 1"),
        (5, "max_features=5 exceeds n_features=4"),
        (-1, BAD_MAX_FEATURES),
        ([1], BAD_MAX_FEATURES),
        ("log2", "max_features=\"log2\" not recognised; expected None, 'sqrt', 'all', or a positive int"),
        ("SQRT", 'max_features="SQRT" not'),
        ('a"b\\c', 'max_features="a\\"b\\\\c" not'),
        ("\t\r\n\0", 'max_features="\\t\\r\\n\\0" not'),
        ("\x01\x7f\u200b\ud800", 'max_features="\\u{1}\\u{7f}\\u{200b}\\u{d800}" not'),
    ],
)
def test_max_features_refusals(survival, value, message):
    with pytest.raises(ValueError) as raised:
        core.fit_log_rank_tree(*survival, max_features=value)
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize(
    ("fit", "settings", "message"),
    [
        (fit_log_rank_forest, {"subsample_fraction": 0.0, "bootstrap": True}, SUBSAMPLE + "0"),
        (fit_log_rank_forest, {"subsample_fraction": -0.0}, SUBSAMPLE + "-0"),
        (fit_log_rank_forest, {"subsample_fraction": 1e20}, SUBSAMPLE + "1" + "0" * 20),
        (fit_log_rank_forest, {"subsample_fraction": float("nan")}, SUBSAMPLE + "NaN"),
        (fit_log_rank_forest, {"n_trees": 0}, "n_trees must be >= 1"),
        (fit_log_rank_forest, {"honesty": True, "honesty_fraction": 1.0}, HONESTY + "1"),
        (fit_log_rank_forest, {"honesty": True, "honesty_fraction": -1e-7}, HONESTY + "-0.0000001"),
        # The gradient forest is honest unless told otherwise.
        (fit_gradient_forest, {"honesty_fraction": 0.0}, HONESTY + "0"),
    ],
)
def test_setting_values_out_of_range(survival, fit, settings, message):
    with pytest.raises(ValueError) as raised:
        fit(survival, **settings)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "change",
    [
        lambda s: s._replace(event_time=np.repeat(s.event_time, 2)[::2]),
        lambda s: s._replace(event_indicator=s.event_indicator[::-1]),
        lambda s: s._replace(event_time=misaligned(s.event_time)),
    ],
)
def test_one_dimensional_training_arrays_must_be_contiguous(survival, change):
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_log_rank_tree(*change(survival))
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        core.fit_gradient_forest(survival.X, change(survival).event_time[::-1])


@pytest.mark.parametrize("fit", [fit_tree, fit_gradient_forest])
@pytest.mark.parametrize("X", [np.ones((5, 3)), np.asfortranarray(np.ones((6, 3)))[::2]])
def test_training_matrix_must_be_column_major(fit, X):
    with pytest.raises(ValueError) as raised:
        fit(all_events(X))
    assert str(raised.value) == (
        "X must be Fortran-contiguous (column-major) f64. Call np.asfortranarray(x, dtype=np.float64) before fitting."
    )


def test_length_mismatches_name_every_length(survival):
    X, t, e = survival
    with pytest.raises(ValueError, match="^X has 80 rows but event_time has 79 and event_indicator has 80$"):
        core.fit_log_rank_forest(X, t[1:], e)
    with pytest.raises(ValueError, match="^X has 80 rows but event_time has 80 and event_indicator has 79$"):
        core.fit_log_rank_tree(X, t, e[1:])
    with pytest.raises(ValueError, match="^X has 80 rows but pseudo_outcome has 79$"):
        core.fit_gradient_forest(X, t[1:])


@pytest.mark.parametrize("fit", FITS)
def test_seed_none_zero_and_omitted_give_the_same_model(survival, fit):
    # Honest trees drawing two of four features per node use their streams.
    seeds = [{}, {"seed": None}, {"seed": 0}, {"seed": 1}]
    outputs = [model_outputs(fit(survival, max_features=2, honesty=True, **seed), survival.X) for seed in seeds]
    assert outputs[0] == outputs[1] == outputs[2] != outputs[3]


FORTRAN_3X2 = np.asfortranarray(np.ones((3, 2)))


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"event_indicator": np.ones(3, np.int64), "event_time": np.ones(2)}, TypeError, "argument 'event_indicator'"),
        ({"X": [[1.0]], "seed": "x"}, TypeError, "argument 'X'"),
        ({"n_trees": 0, "max_depth": "x"}, TypeError, "argument 'max_depth'"),
        ({"event_time": np.ones(4)[::2], "event_indicator": np.ones(5, np.uint8)}, TypeError, NOT_CONTIGUOUS),
        ({"event_time": np.ones(2)}, ValueError, "X has 3 rows but event_time has 2"),
        ({"subsample_fraction": 2.0}, ValueError, "X must be Fortran"),
        ({"X": FORTRAN_3X2, "honesty": True, "honesty_fraction": 2.0, "max_features": 9}, ValueError, "honesty_fraction"),
        ({"X": FORTRAN_3X2, "event_time": np.array([1.0, np.nan, 2.0]), "max_features": 9}, ValueError, "event_time has NaN"),
        ({"X": FORTRAN_3X2, "max_features": 9}, ValueError, "max_features=9 exceeds"),
    ],
)
def test_a_call_wrong_in_several_ways_reports_the_earliest_check(arguments, error, message):
    base = {"X": np.ones((3, 2)), "event_time": np.ones(3), "event_indicator": np.ones(3, np.uint8)}
    with pytest.raises(error) as raised:
        core.fit_log_rank_forest(**(base | arguments))
    assert type(raised.value) is error and str(raised.value).startswith(message)


@pytest.mark.parametrize(
    ("fit", "change", "settings", "message"),
    [
        (fit_tree, lambda s: s._replace(X=packed_field(s.X)[:, :1]), {}, f"X {ALIGNMENT}; pass a copy made with X.copy(order='F')"),
        (fit_tree, lambda s: s._replace(X=misaligned(s.X)), {}, f"X {ALIGNMENT}"),
        (fit_tree, lambda s: s._replace(X=s.X[:, :0]), {}, "X must have at least one column"),
        (fit_tree, lambda s: s._replace(event_time=np.where(np.arange(80) >= 3, np.nan, s.event_time)), {}, "event_time has NaN at row 3"),
        (fit_tree, lambda s: s._replace(X=with_nan(s.X, 2, 1)), {}, "X has NaN at row 2, column 1"),
        (fit_tree, lambda s: first_rows(s, 1), {"honesty": True}, "X must have at least 2 rows for an honest tree, got 1"),
        (fit_log_rank_forest, lambda s: first_rows(s, 0), {}, "X must have at least one row to fit a forest"),
        (
            fit_log_rank_forest,
            lambda s: first_rows(s, 2),
            {"honesty": True, "subsample_fraction": 0.5},
            "subsample_fraction=0.5 of 2 rows draws 1 row per tree, but an honest tree needs at least 2",
        ),
        (fit_gradient_forest, lambda s: s._replace(X=with_nan(s.X, 7, 0)), {}, "X has NaN at row 7, column 0"),
        (fit_gradient_forest, lambda s: first_rows(s, 1), {}, "subsample_fraction=0.5 of 1 row draws 1 row per tree"),
    ],
)
def test_training_data_the_core_cannot_fit_is_refused(survival, fit, change, settings, message):
    with pytest.raises(ValueError) as raised:
        fit(change(survival), **settings)
    assert str(raised.value).startswith(message)


def test_inputs_are_read_in_place_and_left_unchanged(survival):
    X, t, e = survival
    copies = [a.copy() for a in survival]
    forest = core.fit_log_rank_forest(X, t, e, n_trees=3)
    core.fit_gradient_forest(X, t, n_trees=3)
    forest.predict_cumulative_hazard(X, t)
    forest.forest_weights(X)
    forest.forest_weights_one(X[0])
    assert all(np.array_equal(a, b) for a, b in zip(survival, copies))
