import numpy as np
import pytest

from korvane.datasets import load_veteran


def test_veteran_arrays_are_ready_for_the_fit_functions():
    data = load_veteran()
    assert data.X.shape == (137, 8) and data.X.dtype == np.float64
    assert data.X.flags.f_contiguous
    assert data.event_time.shape == (137,) and data.event_time.dtype == np.float64
    assert data.event_indicator.shape == (137,) and data.event_indicator.dtype == np.uint8
    assert len(data.feature_names) == data.X.shape[1]


def test_veteran_values_match_the_published_trial():
    data = load_veteran()
    column = {name: data.X[:, i] for i, name in enumerate(data.feature_names)}
    assert data.event_indicator.sum() == 128
    assert set(np.unique(data.event_indicator)) == {0, 1}
    assert (data.event_time > 0).all() and data.event_time.max() == 999
    assert column["trt"].sum() == 68 and column["prior"].sum() == 40
    assert set(np.unique(column["trt"])) == set(np.unique(column["prior"])) == {0.0, 1.0}
    assert ((column["karno"] >= 10) & (column["karno"] <= 100)).all()
    cell_types = data.X[:, [data.feature_names.index(f"celltype_{c}") for c in ("smallcell", "adeno", "large")]]
    assert cell_types.sum(axis=0).tolist() == [48, 27, 27]
    assert (cell_types.sum(axis=1) <= 1).all()


def test_veteran_first_row_keeps_its_source_values():
    # First line of the file: standard treatment, squamous, died on day 72, karno 60, diagtime 7, age 69, no prior.
    data = load_veteran()
    assert data.X[0].tolist() == [0, 60, 7, 69, 0, 0, 0, 0]
    assert (data.event_time[0], data.event_indicator[0]) == (72.0, 1)


def test_veteran_frame_has_typed_columns_and_encodes_back_to_the_arrays():
    pd = pytest.importorskip("pandas")
    data = load_veteran()
    X, y = load_veteran(as_frame=True)
    column = {name: data.X[:, i] for i, name in enumerate(data.feature_names)}
    assert [str(dtype) for dtype in X.dtypes] == ["category", "category", "int64", "int64", "int64", "category"]
    assert y.dtype == np.dtype([("event", "?"), ("time", "<f8")])
    assert np.array_equal(y["event"], data.event_indicator == 1) and np.array_equal(y["time"], data.event_time)
    assert np.array_equal(X["trt"] == "test", column["trt"]) and np.array_equal(X["prior"] == "yes", column["prior"])
    for name in ("karno", "diagtime", "age"):
        assert np.array_equal(X[name], column[name])
    dummies = pd.get_dummies(X["celltype"], prefix="celltype")
    for cell_type in ("smallcell", "adeno", "large"):
        assert np.array_equal(dummies[f"celltype_{cell_type}"], column[f"celltype_{cell_type}"])
