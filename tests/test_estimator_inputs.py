import time

import numpy as np
import pytest
from estimator_data import ESTIMATORS, make_data, make_frame
from scipy import sparse
from sklearn.utils.validation import _get_feature_names

from korvane import RandomSurvivalForest, RegressionForest, Surv, SurvivalTree

pd = pytest.importorskip("pandas")


def _rounded_data():
    """Covariates with integer values, so that every numeric dtype holds them exactly."""
    X, y = make_data()
    return np.round(X * 10), y


def _misaligned(X, order):
    """float64 values one byte into their buffer, as arrays deserialised in place
    (pickle's out-of-band buffers, Dask's blocks) can arrive."""
    raw = np.zeros(X.size * 8 + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=np.float64, count=X.size, offset=1).reshape(X.shape, order=order)
    out[...] = X
    assert not out.flags.aligned
    return out


X_FORMS = {
    "c_order": lambda X: np.ascontiguousarray(X),
    "float32": lambda X: X.astype(np.float32),
    "int16": lambda X: X.astype(np.int16),
    "uint8_shifted": lambda X: (X + 100).astype(np.uint8) - 0,
    "strided": lambda X: np.repeat(X, 2, axis=1)[:, ::2],
    "misaligned_c": lambda X: _misaligned(X, "C"),
    "misaligned_f": lambda X: _misaligned(X, "F"),
    "list": lambda X: X.tolist(),
    "pandas": lambda X: pd.DataFrame(X, columns=list("abcd")),
    "pandas_categories": lambda X: pd.DataFrame({c: pd.Categorical(X[:, j]) for j, c in enumerate("abcd")}),
    # As scikit-survival's data sets store 0/1 and other codes.
    "pandas_categories_of_strings": lambda X: pd.DataFrame(
        {c: pd.Categorical(X[:, j].astype(str)) for j, c in enumerate("abcd")}
    ),
    "csr_matrix": sparse.csr_matrix,
    "csc_array": sparse.csc_array,
    "coo_array_int": lambda X: sparse.coo_array(X.astype(np.int64)),
    "polars": lambda X: pytest.importorskip("polars").DataFrame(X, schema=list("abcd")),
}


@pytest.mark.parametrize("form", X_FORMS)
@pytest.mark.parametrize("name", ESTIMATORS)
def test_every_numeric_form_of_X_gives_the_model_of_its_float64_values(name, form):
    X, y = _rounded_data()
    given = X_FORMS[form](X)
    values = given.toarray() if sparse.issparse(given) else np.asarray(np.asarray(given), dtype=np.float64)
    model = ESTIMATORS[name]().fit(given, y)
    expected = ESTIMATORS[name]().fit(np.asfortranarray(values), y)
    assert np.array_equal(model.predict(given), expected.predict(values))
    # scikit-learn reads polars column names from 1.9 on (through narwhals); 1.7 does not.
    if form.startswith("pandas") or (form == "polars" and _get_feature_names(given) is not None):
        assert model.feature_names_in_.tolist() == list("abcd")
    assert model.n_features_in_ == 4


def test_fit_leaves_the_callers_arrays_unchanged():
    X, y = make_data()
    X_before, y_before = X.copy(), y.copy()
    RandomSurvivalForest(n_estimators=3).fit(X, y).predict(X)
    assert np.array_equal(X, X_before) and np.array_equal(y, y_before)


def _structured(fields, *columns):
    y = np.empty(len(columns[0]), dtype=fields)
    for (name, _), column in zip(fields, columns):
        y[name] = column
    return y


def _target_forms():
    _, y = make_data()
    event, time = y["event"], y["time"]
    forms = {
        "bool_event": Surv.from_arrays(event, time),
        "int_event": Surv.from_arrays(event.astype(np.int64), time.astype(np.int32)),
        "time_first_any_names": _structured([("futime", "<f4"), ("died", "?")], time, event),
        "float_event_first": _structured([("status", "<f8"), ("days", "<i8")], event.astype(float), time),
        "pandas_frame": Surv.from_dataframe("dead", "days", pd.DataFrame({"days": time, "dead": event})),
        "pandas_nullable": Surv.from_dataframe("dead", "days", pd.DataFrame(
            {"days": pd.array(time.astype(int), dtype="Int64"), "dead": pd.array(event, dtype="boolean")})),
    }
    return forms


@pytest.mark.parametrize("form", ["bool_event", "int_event", "time_first_any_names", "float_event_first",
                                  "pandas_frame", "pandas_nullable", "scikit_survival"])
def test_every_form_of_the_target_gives_the_same_model(form):
    X, y = make_data()
    if form == "scikit_survival":
        target = pytest.importorskip("sksurv.util").Surv.from_arrays(y["event"], y["time"])
    else:
        target = _target_forms()[form]
    model = SurvivalTree(random_state=0).fit(X, target)
    assert np.array_equal(model.predict(X), SurvivalTree(random_state=0).fit(X, y).predict(X))


def _y_with(event=None, time=None):
    _, y = make_data(n=6)
    event = y["event"].astype(np.int64) if event is None else np.asarray(event)
    time = y["time"] if time is None else np.asarray(time, dtype=np.float64)
    return _structured([("event", event.dtype), ("time", "<f8")], event, time)


@pytest.mark.parametrize(
    ("y", "error", "message"),
    [
        (_y_with(event=[1, 2, 2, 1, 2, 1]), ValueError, r"y's event field 'event' holds 1 and 2.*\(event == 2\)"),
        (_y_with(event=[0, 1, 2, 1, 0, 1]), ValueError, r"must hold only 0 and 1 .*found \[2\]"),
        (_y_with(event=[0.0, 1.0, np.nan, 1.0, 0.0, 1.0]), ValueError, "must hold only 0 and 1"),
        (_y_with(time=[1, 2, -3, 4, 5, 6]), ValueError, r"time field 'time' must be finite and non-negative, got -3.0 at row 2"),
        (_y_with(time=[1, 2, 3, np.inf, 5, 6]), ValueError, "got inf at row 3"),
        (_y_with(time=[1, np.nan, 3, 4, 5, 6]), ValueError, "got nan at row 1"),
        (_y_with(event=[0, 0, 0, 0, 0, 0]), ValueError, "y has no event"),
        (_y_with()[:5], ValueError, "X has 6 rows but y has 5"),
        (_y_with()["time"], TypeError, r"y must be a structured array .*korvane.Surv.from_arrays"),
        (np.zeros(6, dtype=[("a", "?"), ("b", "<f8"), ("c", "<f8")]), ValueError, "exactly two fields"),
        (None, ValueError, "requires y to be passed"),
    ],
)
def test_targets_that_would_be_misread_are_refused_naming_y(y, error, message):
    X, _ = make_data(n=6)
    with pytest.raises(error, match=message):
        SurvivalTree().fit(X, y)


@pytest.mark.parametrize(
    ("event", "time", "message"),
    [
        ([1, 2], [1.0, 2.0], r"event holds 1 and 2"),
        ([True, False], [1.0, -1.0], "time must be finite and non-negative"),
        ([True], [1.0, 2.0], "event has 1 entries but time has 2"),
        (["yes", "no"], [1.0, 2.0], "event must hold booleans or 0/1"),
    ],
)
def test_surv_refuses_what_would_be_misread(event, time, message):
    with pytest.raises((ValueError, TypeError), match=message):
        Surv.from_arrays(event, time)


def test_surv_from_dataframe_names_a_missing_column():
    with pytest.raises(KeyError, match="time='days' is not a column of data"):
        Surv.from_dataframe("dead", "days", pd.DataFrame({"dead": [True]}))


def test_non_numeric_columns_are_named_with_how_to_encode_them():
    frame, y = make_frame()
    with pytest.raises(ValueError, match=r"non-numeric columns 'grade' \(category\), 'menopause' \((object|str)\);"
                                         r" encode them .*OneHotEncoder"):
        RandomSurvivalForest().fit(frame, y)
    polars = pytest.importorskip("polars")
    with pytest.raises(ValueError, match=r"non-numeric columns 'menopause' \(String\)"):
        RandomSurvivalForest().fit(polars.DataFrame({"age": frame["age"].to_numpy(),
                                                     "menopause": frame["menopause"].to_numpy().astype(str)}), y)


def test_a_missing_numeric_category_is_a_missing_value_and_the_frame_is_kept():
    X, y = _rounded_data()
    X[::7, 1] = np.nan
    frame = pd.DataFrame({"a": X[:, 0], "b": pd.Categorical(X[:, 1]), "c": X[:, 2], "d": X[:, 3]})
    before = frame.copy()
    model = RandomSurvivalForest(n_estimators=5, random_state=0).fit(frame, y)
    expected = RandomSurvivalForest(n_estimators=5, random_state=0).fit(X, y)
    assert np.array_equal(model.predict(frame), expected.predict(X))
    pd.testing.assert_frame_equal(frame, before)


HUGE = 2**40


@pytest.mark.parametrize(
    "make_X",
    [
        pytest.param(lambda: np.broadcast_to(np.zeros((1, 3)), (HUGE, 3)), id="broadcast"),
        pytest.param(lambda: sparse.coo_array((HUGE, 3)), id="sparse"),
    ],
)
# One estimator of each family: the survival ones share their fit and predict.
@pytest.mark.parametrize("make", [RandomSurvivalForest, RegressionForest])
def test_an_x_too_large_for_memory_is_refused_before_any_pass_over_it(make, make_X):
    X, y = make_data(p=3)
    if make is RegressionForest:
        y = X[:, 0] + 1.0
    model = make().fit(X, y)
    huge = make_X()
    started = time.monotonic()
    for call in (model.predict, lambda huge: make().fit(huge, y)):
        with pytest.raises(MemoryError, match=rf"^X of {HUGE} rows and 3 columns needs {HUGE * 24} bytes as float64"):
            call(huge)
    # Scanning the view for NaN, or expanding it, would take minutes.
    assert time.monotonic() - started < 5.0


# Infinity is refused everywhere; NaN only by an estimator that does not take
# it as a missing value (tests/test_missing_values.py has those that do).
REFUSED_VALUES = [
    pytest.param(name, bad, id=f"{name}-{bad}")
    for name in ESTIMATORS
    for bad in [np.nan, np.inf]
    if not (np.isnan(bad) and ESTIMATORS[name]().__sklearn_tags__().input_tags.allow_nan)
]


@pytest.mark.parametrize("name, bad", REFUSED_VALUES)
def test_a_query_or_training_row_with_nan_or_infinity_is_refused(name, bad):
    X, y = make_data()
    model = ESTIMATORS[name]().fit(X, y)
    query = X[:3].copy()
    query[1, 2] = bad
    for call in (model.predict, model.predict_survival_function, model.predict_median_survival_time):
        with pytest.raises(ValueError, match="Input X contains (NaN|infinity)"):
            call(query)
    with pytest.raises(ValueError, match="Input X contains"):
        ESTIMATORS[name]().fit(np.vstack([query, X[3:]]), y)


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
def test_a_query_with_other_columns_is_refused():
    X, y = make_data()
    model = RandomSurvivalForest(n_estimators=2).fit(pd.DataFrame(X, columns=list("abcd")), y)
    with pytest.raises(ValueError, match="X has 3 features, but RandomSurvivalForest is expecting 4"):
        model.predict(X[:, :3])
    with pytest.raises(ValueError, match="Feature names must be in the same order"):
        model.predict(pd.DataFrame(X, columns=list("badc")))
