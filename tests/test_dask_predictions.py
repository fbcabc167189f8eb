"""korvane.dask answers for Dask arrays and frames what the estimator answers for
the same rows in memory, block by block, with the model in the graph once."""

import numpy as np
import pytest

from korvane import RandomSurvivalForest, Surv, SurvivalTree

da = pytest.importorskip("dask.array")
kd = pytest.importorskip("korvane.dask")


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(230, 4))
    y = Surv.from_arrays(rng.random(230) < 0.7, rng.exponential(np.exp(-X[:, 0])))
    return X, y


@pytest.fixture(scope="module")
def forest(data):
    return RandomSurvivalForest(n_estimators=15, random_state=0).fit(*data)


METHODS = {
    "predict": lambda e, X: e.predict(X),
    "predict_survival_function": lambda e, X: e.predict_survival_function(X, return_array=True),
    "predict_cumulative_hazard_function": lambda e, X: e.predict_cumulative_hazard_function(X, return_array=True),
    "forest_weights": lambda e, X: e.forest_weights(X),
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("chunks", [(50, 4), (230, 4), (64, 2), (1, 4)], ids=["rows", "one_block", "columns_split", "row_blocks_of_one"])
def test_dask_array_answers_equal_the_in_memory_answers_with_known_chunks(forest, data, method, chunks):
    X = data[0]
    result = getattr(kd, method)(forest, da.from_array(X, chunks=chunks))
    expected = METHODS[method](forest, X)
    assert result.chunks[0] == da.from_array(X, chunks=chunks).chunks[0]
    assert result.shape == expected.shape and not np.isnan(result.shape).any()
    assert np.array_equal(result.compute(), expected)


@pytest.mark.parametrize("method", ["predict", "predict_survival_function"])
def test_a_tree_answers_too(data, method):
    X, y = data
    tree = SurvivalTree(random_state=0).fit(X, y)
    assert np.array_equal(getattr(kd, method)(tree, da.from_array(X, chunks=100)).compute(), METHODS[method](tree, X))


@pytest.mark.parametrize("method", METHODS)
def test_dask_frame_answers_keep_the_partitions_and_index(data, method):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    X, y = data
    frame = pd.DataFrame(X, columns=list("abcd"), index=np.arange(1000, 1230))
    forest = RandomSurvivalForest(n_estimators=15, random_state=0).fit(frame, y)
    lazy = dd.from_pandas(frame, npartitions=3)
    result = getattr(kd, method)(forest, lazy)
    assert result.npartitions == lazy.npartitions
    computed = result.compute()
    assert computed.index.tolist() == frame.index.tolist()
    assert np.array_equal(np.asarray(computed), METHODS[method](forest, frame))
    if method.endswith("function"):
        assert computed.columns.tolist() == forest.unique_times_.tolist()


def test_the_model_enters_the_graph_once(forest, data):
    risk = kd.predict(forest, da.from_array(data[0], chunks=10))
    graph = dict(risk.__dask_graph__())
    model_keys = [key for key in graph if str(key).startswith("RandomSurvivalForest")]
    assert len(model_keys) == 1 and risk.npartitions == 23


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f, X: kd.predict(f, X), TypeError, "dask array or a dask DataFrame"),
        (lambda f, X: kd.predict(f, da.from_array(X[:, 0])), ValueError, "must be 2-D"),
        (lambda f, X: kd.predict_survival_function(f, da.from_array(X), return_array=False), ValueError, "return_array"),
        (lambda f, X: kd.forest_weights(SurvivalTree(), da.from_array(X)), TypeError, "fitted forest"),
        (lambda f, X: kd.predict(RandomSurvivalForest(), da.from_array(X)), Exception, "not fitted"),
    ],
    ids=["numpy_input", "one_dimensional", "step_functions", "weights_of_a_tree", "unfitted"],
)
def test_what_cannot_be_answered_blockwise_is_refused_at_once(forest, data, call, error, message):
    with pytest.raises(error, match=message):
        call(forest, data[0])
