"""Saving and loading models: round trips to the last bit, pickling and
copying, refusal of every kind of invalid data, and files of earlier
versions."""

import array
import copy
import doctest
import hashlib
import json
import math
import os
import pickle
import random
import re
import struct
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
import sklearn

import korvane
import korvane.persistence
from conftest import FITS, fit_gradient_forest, fit_log_rank_forest, fit_tree, make_survival, model_outputs
from model_bytes import (GRADIENT_FOREST, LOG_RANK_FOREST, TREE, header, reseal, sections, settings,
                         with_header, with_settings, xxh64)

DATA = Path(__file__).parent / "data"
SURVIVAL = make_survival(n=60, p=5, seed=3)

SETTINGS = [
    pytest.param({}, id="defaults"),
    pytest.param({"honesty": True, "max_depth": 3, "max_features": 2}, id="honest"),
]


@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize("fit", FITS)
def test_a_model_read_back_answers_like_the_original_to_the_last_bit(fit, settings, tmp_path):
    extra = {} if fit is fit_tree else {"n_trees": 6, "bootstrap": False, "subsample_fraction": 0.6}
    model = fit(SURVIVAL, seed=4, **settings, **extra)
    data = korvane.to_bytes(model)
    korvane.save(model, tmp_path / "model.korvane")
    for read in (korvane.from_bytes(data), korvane.load(tmp_path / "model.korvane"),
                 korvane.from_bytes(bytearray(data)), korvane.from_bytes(np.frombuffer(data, np.uint8))):
        assert type(read) is type(model)
        assert model_outputs(read, SURVIVAL.X) == model_outputs(model, SURVIVAL.X)
        assert korvane.to_bytes(read) == data


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("fit", FITS)
def test_models_pickle_under_every_protocol(fit, protocol):
    model = fit(SURVIVAL, seed=1)
    read = pickle.loads(pickle.dumps(model, protocol=protocol))
    assert type(read) is type(model) and model_outputs(read, SURVIVAL.X) == model_outputs(model, SURVIVAL.X)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
@pytest.mark.parametrize("fit", FITS)
def test_models_copy(fit, duplicate):
    model = fit(SURVIVAL, seed=2)
    copied = duplicate({"model": model})["model"]
    assert type(copied) is type(model) and model_outputs(copied, SURVIVAL.X) == model_outputs(model, SURVIVAL.X)


def test_a_pickled_model_loads_in_a_fresh_process():
    model = fit_log_rank_forest(SURVIVAL, n_trees=3)
    script = "import pickle, sys; print(repr(pickle.loads(sys.stdin.buffer.read())))"
    done = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(model), capture_output=True, check=True)
    assert done.stdout.decode().strip() == repr(model)


@pytest.mark.parametrize("argument, message", [
    (3, "argument 'model': expected a fitted korvane estimator, LogRankSurvivalTree, LogRankSurvivalForest "
        "or GradientForest, got int"),
])
def test_to_bytes_refuses_what_is_not_a_model(argument, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        korvane.to_bytes(argument)


def test_from_bytes_refuses_what_is_not_bytes_like():
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not str$"):
        korvane.from_bytes("model")


@pytest.mark.parametrize("exporter", [
    pytest.param(lambda data: memoryview(b"\0" + data)[1:], id="memoryview-at-an-offset"),
    pytest.param(lambda data: array.array("B", data), id="array"),
    pytest.param(lambda data: np.frombuffer(data, np.uint8).reshape(1, -1), id="2-d-array"),
])
def test_from_bytes_reads_any_contiguous_buffer_from_its_first_byte(exporter):
    model = fit_tree(SURVIVAL, seed=5)
    data = korvane.to_bytes(model)
    assert korvane.to_bytes(korvane.from_bytes(exporter(data))) == data


def released_view():
    view = memoryview(b"model")
    view.release()
    return view


@pytest.mark.parametrize("data, error, message", [
    (None, TypeError, "argument 'data': a bytes-like object is required, not NoneType"),
    (memoryview(b"abcdef")[::2], BufferError, "memoryview: underlying buffer is not C-contiguous"),
    (np.zeros((4, 4), np.uint8).T, ValueError, "ndarray is not C-contiguous"),
    (released_view(), ValueError, "operation forbidden on released memoryview object"),
    (bytearray(), ValueError, "cannot read a korvane model: truncated: 0 bytes hold no format version"),
])
def test_from_bytes_passes_on_what_the_buffer_refuses(data, error, message):
    with pytest.raises(error) as raised:
        korvane.from_bytes(data)
    assert type(raised.value) is error and str(raised.value) == message


def test_persistence_examples_run():
    assert doctest.testmod(korvane.persistence).failed == 0


# Invalid data: each case edits a valid file of one kind, reseals it unless the
# checksum is what it breaks, and names the error the reader must give.

def pack_bits(data: bytes, section, bit: int, width: int, value: int) -> bytes:
    """`data` with the `width`-bit field at bit `bit` of a section set to `value`."""
    edited = bytearray(data)
    for k in range(width):
        byte, shift = divmod(bit + k, 8)
        at = section.offset + byte
        edited[at] = (edited[at] & ~(1 << shift)) | (((value >> k) & 1) << shift)
    return bytes(edited)


def set_f64(data, section, index, value):
    edited = bytearray(data)
    struct.pack_into("<d", edited, section.offset + 8 * index, value)
    return reseal(edited)


def first_split_feature(data, value):
    width = (header(data)["n_features"] - 1).bit_length()
    return reseal(pack_bits(data, sections(data)["split features"], 0, width, value))


def node_kind(data, node, kind):
    return reseal(pack_bits(data, sections(data)["node kinds"], node, 1, kind))


def first_recorded_code(data, value):
    n_leaves = (struct.unpack_from("<I", data, sections(data)["tree sizes"].offset)[0] + 1) // 2
    return reseal(pack_bits(data, sections(data)["recorded leaves"], 0, n_leaves.bit_length(), value))


def swap_curve_times(data):
    times = sections(data)["curve times"]
    edited = bytearray(data)
    first, second = edited[times.offset:times.offset + 8], edited[times.offset + 8:times.offset + 16]
    edited[times.offset:times.offset + 16] = second + first
    return reseal(edited)


def first_two_indices_equal(data):
    """The first curve with two points lists one time twice."""
    h, found = header(data), sections(data)
    length_width, index_width = h["n_times"].bit_length(), (h["n_times"] - 1).bit_length()
    lengths = bits(data, found["curve lengths"], length_width, (h["n_nodes"] + 1) // 2)
    start = next(sum(lengths[:k]) for k, length in enumerate(lengths) if length >= 2)
    index = bits(data, found["curve time indices"], index_width, start + 1)[start]
    return reseal(pack_bits(data, found["curve time indices"], (start + 1) * index_width, index_width, index))


def curve_widths(data):
    return struct.unpack_from("<BB", data, sections(data)["curve step widths"].offset)


def with_step_widths(data, events_width):
    edited = bytearray(data)
    edited[sections(data)["curve step widths"].offset] = events_width
    return bytes(edited)


def first_step_events(data, events, at_risk):
    """The first curve point's counts set to `events` among `at_risk`."""
    events_width, at_risk_width = curve_widths(data)
    found = sections(data)
    edited = pack_bits(data, found["curve events"], 0, events_width, events)
    return reseal(pack_bits(edited, found["curve at-risk counts"], 0, at_risk_width, at_risk))


def bits(data, section, width, count):
    value = int.from_bytes(data[section.offset:section.offset + section.size], "little")
    return [(value >> (k * width)) & ((1 << width) - 1) for k in range(count)]


def padding_bit(data):
    kinds = sections(data)["node kinds"]
    n_nodes = header(data)["n_nodes"]
    assert n_nodes % 8, "the fixture needs padding after the node kinds"
    return reseal(pack_bits(data, kinds, n_nodes, 1, 1))


def missing_sides_padding_bit(data):
    h = header(data)
    n_splits = (h["n_nodes"] - h["n_trees"]) // 2
    assert n_splits % 8, "the fixture needs padding after the missing sides"
    return reseal(pack_bits(data, sections(data)["missing sides"], n_splits, 1, 1))


def flip_body_byte(data):
    edited = bytearray(data)
    edited[len(data) // 2] ^= 0x10
    return bytes(edited)


INVALID = [
    # (kind, edit, message)
    (TREE, lambda d: b"\x89PNG" + d[4:], "does not start with the format's magic bytes"),
    (TREE, lambda d: b"", "does not start with the format's magic bytes|truncated"),
    (TREE, lambda d: d[:10], "truncated: 10 bytes hold no format version"),
    (TREE, lambda d: reseal(with_header(d, version=4)), "unsupported format version 4; this korvane reads versions 1 to 3"),
    (TREE, lambda d: reseal(with_header(d, version=0)), "unsupported format version 0"),
    (TREE, lambda d: d[:40], "truncated: 40 bytes are fewer than the 72 of a header and checksum"),
    (TREE, lambda d: d[:-1], r"truncated: the header declares \d+ bytes but only \d+ are present"),
    (TREE, lambda d: d + b"\0", r"1 unexpected bytes follow the end of the model"),
    (LOG_RANK_FOREST, flip_body_byte, "checksum mismatch: the data is corrupted"),
    (TREE, lambda d: reseal(with_header(d, kind=4)), "unknown model kind 4"),
    (TREE, lambda d: reseal(with_header(d, reserved=b"\0\1\0")), "reserved header bytes are not zero"),
    (TREE, lambda d: reseal(with_header(d, n_trees=2)), "a tree model holds 1 tree and no training rows"),
    (GRADIENT_FOREST, lambda d: reseal(with_header(d, n_times=1)), "a gradient forest has no leaf curves"),
    (LOG_RANK_FOREST, lambda d: reseal(with_header(d, n_train_samples=2**40)), "training rows are more than 4294967295"),
    (LOG_RANK_FOREST, lambda d: reseal(with_header(d, n_nodes=header(d)["n_nodes"] + 2)), "the trees have .* nodes but the header says"),
    (LOG_RANK_FOREST, lambda d: with_settings(with_header(d, n_trees=2**32 - 1), forest_n_trees=2**40), "the tree sizes needs .* bytes but only"),
    (LOG_RANK_FOREST, lambda d: reseal(with_header(d, n_points=2**62)), "the curve time indices needs more bytes"),
    (LOG_RANK_FOREST, lambda d: reseal(with_header(d, n_train_samples=2**32 - 1)), "the recorded leaves needs .* bytes"),
    (TREE, lambda d: reseal(with_header(d, n_points=header(d)["n_points"] - 1)), "the counts in the header do not match|the curve is longer than the curve times or the header's points allow"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, subsample_fraction=0.0), r"settings: subsample_fraction must lie in \(0, 1\], got 0$"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, flags=settings(d)["flags"] | 2, honesty_fraction=1.5), r"settings: honesty_fraction must lie in \(0, 1\), got 1.5$"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, flags=16), "unknown settings flags"),
    # Version 1 had no weights: its flag there is as unknown as it was to its readers.
    (LOG_RANK_FOREST, lambda d: with_settings(with_header(d, version=1), flags=settings(d)["flags"] | 8), "unknown settings flags"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, flags=settings(d)["flags"] | 8), "the sample weights needs 480 bytes but only 0 remain"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, max_depth=4), "a value for an option that is off"),
    (LOG_RANK_FOREST, lambda d: with_settings(d, max_features_kind=3), "unknown max_features kind 3"),
    (GRADIENT_FOREST, lambda d: with_settings(d, first_tree=2), "trees 2 to 6 are not part of a forest of 4 trees"),
    (LOG_RANK_FOREST, lambda d: reseal(bytearray(d[:sections(d)["tree sizes"].offset]) + struct.pack("<I", 2) + d[sections(d)["tree sizes"].offset + 4:]), "tree 0 has 2 nodes; a binary tree has an odd number"),
    (TREE, lambda d: node_kind(d, 0, 1), r"tree 0: the nodes do not form a tree \(split node 0 has fewer than two subtrees"),
    (LOG_RANK_FOREST, lambda d: node_kind(d, struct.unpack_from("<I", d, sections(d)["tree sizes"].offset)[0] - 1, 0), r"tree 0: the nodes do not form a tree \(they leave 3 separate subtrees\)"),
    (TREE, lambda d: first_split_feature(d, 7), "tree 0, node .*: split feature 7 is out of range for 5 features"),
    (LOG_RANK_FOREST, lambda d: set_f64(d, sections(d)["thresholds"], 0, math.nan), "split threshold is NaN"),
    (GRADIENT_FOREST, lambda d: set_f64(d, sections(d)["scores"], 1, math.nan), "split score is NaN"),
    (LOG_RANK_FOREST, lambda d: first_recorded_code(d, 2**((struct.unpack_from("<I", d, sections(d)["tree sizes"].offset)[0] + 1) // 2).bit_length() - 1), "tree 0: training row 0 is recorded in leaf .* but the tree has .* leaves"),
    (TREE, swap_curve_times, "the curve times are not sorted: time 1 does not follow time 0"),
    (TREE, lambda d: set_f64(d, sections(d)["curve times"], 0, math.nan), "curve time 0 is NaN"),
    (TREE, first_two_indices_equal, "tree 0, leaf .*: the curve times are not increasing"),
    (TREE, lambda d: first_step_events(d, 1, at_risk=0), "tree 0, leaf 0: the cumulative hazard is negative, decreasing, NaN or has counts that are not a step"),
    (TREE, lambda d: reseal(with_step_widths(d, 33)), "a curve count is wider than 32 bits"),
    (LOG_RANK_FOREST, padding_bit, "the padding bits after the node kinds are not zero"),
    (GRADIENT_FOREST, missing_sides_padding_bit, "the padding bits after the missing-value sides are not zero"),
]

FIXTURES = {
    TREE: lambda: fit_tree(SURVIVAL, min_samples_leaf=5),
    LOG_RANK_FOREST: lambda: fit_log_rank_forest(SURVIVAL, n_trees=3, min_samples_leaf=5),
    GRADIENT_FOREST: lambda: fit_gradient_forest(SURVIVAL, n_trees=4, min_samples_leaf=5),
}


@pytest.fixture(scope="module")
def valid_files():
    return {kind: korvane.to_bytes(fit()) for kind, fit in FIXTURES.items()}


@pytest.mark.parametrize("kind, edit, message", INVALID, ids=[case[2][:40] for case in INVALID])
def test_invalid_data_is_refused_with_what_is_wrong(valid_files, kind, edit, message):
    with pytest.raises(ValueError, match=f"^cannot read a korvane model: .*(?:{message})"):
        korvane.from_bytes(edit(valid_files[kind]))


def test_the_test_reader_finds_every_section(valid_files):
    """The layout in docs/FORMAT.md, as read here, covers each file exactly."""
    for data in valid_files.values():
        assert sections(data)["checksum"].offset == len(data) - 8
        assert struct.unpack("<Q", data[-8:])[0] == xxh64(data[:-8])


def mutations(data: bytes, rng: random.Random):
    """Random truncations, bit flips and splices of `data`, each also resealed."""
    choice = rng.randrange(3)
    if choice == 0:
        mutated = data[:rng.randrange(len(data))]
    elif choice == 1:
        edited = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            edited[rng.randrange(len(edited))] ^= 1 << rng.randrange(8)
        mutated = bytes(edited)
    else:
        cut, other = rng.randrange(len(data)), rng.randrange(len(data))
        mutated = data[:cut] + data[other:other + rng.randrange(1, 64)] + data[cut:]
    yield mutated
    if len(mutated) >= 72:
        yield reseal(mutated)


def assert_survives_round_trip(model):
    """An accepted model writes bytes that read back as the same model."""
    data = korvane.to_bytes(model)
    again = korvane.from_bytes(data)
    assert repr(again) == repr(model) and korvane.to_bytes(again) == data


def test_corrupted_data_is_refused_or_read_as_a_model_that_round_trips(valid_files):
    rng = random.Random(5)
    tried = 0
    while tried < 3000:
        data = valid_files[rng.choice(list(valid_files))]
        for mutated in mutations(data, rng):
            tried += 1
            try:
                model = korvane.from_bytes(mutated)
            except ValueError as error:
                assert str(error).startswith("cannot read a korvane model: ")
            else:
                assert_survives_round_trip(model)


# Files written by each version of the format: later versions must read them.

COMPATIBILITY = [
    pytest.param("log_rank_tree", lambda s: fit_tree(s, min_samples_leaf=4, seed=11), id="tree"),
    pytest.param("log_rank_forest", lambda s: fit_log_rank_forest(s, n_trees=4, min_samples_leaf=4, seed=11), id="log_rank"),
    pytest.param("gradient_forest", lambda s: fit_gradient_forest(s, n_trees=4, min_samples_leaf=4, honesty=True, seed=11), id="gradient"),
]
COMPATIBILITY_DATA = make_survival(n=40, p=3, seed=21)
QUERY = np.linspace(-2.0, 2.0, 24).reshape(8, 3)


def with_missing(s, share=0.25, seed=5):
    """`s` with a share of its covariates replaced by NaN."""
    X = s.X.copy(order="F")
    X[np.random.default_rng(seed).random(X.shape) < share] = np.nan
    return s._replace(X=X)


# Version 2 adds where each split sends missing values: models grown with them
# answer queries that miss values through the recorded sides.
COMPATIBILITY_V2 = [
    pytest.param("log_rank_tree", lambda s: fit_tree(s, min_samples_leaf=4, seed=11), id="tree"),
    pytest.param("log_rank_forest_missing", lambda s: korvane._korvane_core._grow_log_rank_forest(
        *with_missing(s), n_trees=4, min_samples_leaf=4, seed=11, missing_values=True), id="log_rank_missing"),
    pytest.param("gradient_forest_missing", lambda s: korvane._korvane_core._grow_gradient_forest(
        with_missing(s).X, s.event_time, n_trees=4, min_samples_leaf=4, seed=11, missing_values=True),
        id="gradient_missing"),
]
QUERY_V2 = np.where(np.arange(24).reshape(8, 3) % 4 == 1, np.nan, QUERY)


# Version 3 adds the growth rules of forests grown with one other than its
# default.
COMPATIBILITY_V3 = [
    pytest.param("log_rank_forest_best_first", lambda s: korvane._korvane_core._grow_log_rank_forest(
        *s, n_trees=4, min_samples_leaf=2, seed=11, max_leaf_nodes=4, min_samples_split=6), id="log_rank_best_first"),
    pytest.param("gradient_forest_weight_fraction", lambda s: korvane._korvane_core._grow_gradient_forest(
        s.X, s.event_time, n_trees=4, min_samples_leaf=1, seed=11, min_weight_fraction_leaf=0.15,
        sample_weight=np.linspace(0.5, 2.0, len(s.event_time))), id="gradient_weight_fraction"),
]


def answers(model, query=QUERY):
    found = {"repr": np.array(repr(model))}
    if hasattr(model, "predict_cumulative_hazard"):
        found["hazard"] = model.predict_cumulative_hazard(query, np.arange(0.0, 30.0, 1.5))
    if hasattr(model, "forest_weights"):
        found["weights"] = model.forest_weights(query)
    return found


def write_compatibility_files(version=3, cases=COMPATIBILITY_V3, query=QUERY_V2):
    """Run once per format version: python -c 'import test_persistence as t; t.write_compatibility_files()'."""
    for parameter in cases:
        name, fit = parameter.values
        model = fit(COMPATIBILITY_DATA)
        korvane.save(model, DATA / f"{name}.v{version}.korvane")
        np.savez(DATA / f"{name}.v{version}.answers.npz", **answers(model, query))


@pytest.mark.parametrize(("version", "name", "fit"), [
    *[pytest.param(2, *case.values, id=f"v2-{case.id}") for case in COMPATIBILITY_V2],
    *[pytest.param(3, *case.values, id=f"v3-{case.id}") for case in COMPATIBILITY_V3],
])
def test_files_of_format_versions_2_on_load_answer_as_recorded_and_save_as_they_were(version, name, fit):
    """A model is saved in the version that first holds it, so each file saves
    again to its own bytes, and so does the model fitted anew."""
    path = DATA / f"{name}.v{version}.korvane"
    model = korvane.load(path)
    recorded = np.load(DATA / f"{name}.v{version}.answers.npz")
    found = answers(model, QUERY_V2)
    assert sorted(found) == sorted(recorded.files)
    for key, value in found.items():
        assert value.tobytes() == recorded[key].tobytes(), key
    assert korvane.to_bytes(model) == path.read_bytes()
    assert korvane.to_bytes(fit(COMPATIBILITY_DATA)) == path.read_bytes()


@pytest.mark.parametrize("name, fit", COMPATIBILITY)
def test_files_of_format_version_1_load_and_answer_as_recorded(name, fit):
    model = korvane.load(DATA / f"{name}.v1.korvane")
    recorded = np.load(DATA / f"{name}.v1.answers.npz")
    found = answers(model)
    assert sorted(found) == sorted(recorded.files)
    for key, value in found.items():
        assert value.tobytes() == recorded[key].tobytes(), key


@pytest.mark.parametrize("name", ["log_rank_forest", "gradient_forest"])
def test_version_1_models_send_missing_values_right(name):
    """Version 1 stores no sides: NaN goes right, as it went when the file was written
    (a value above every threshold goes the same way)."""
    model = korvane.load(DATA / f"{name}.v1.korvane")
    assert (model._apply(QUERY_V2).tolist()
            == model._apply(np.where(np.isnan(QUERY_V2), np.inf, QUERY_V2)).tolist())


# Fitted estimators: files that hold settings, fitted attributes and core models.

ESTIMATOR_HEADER = struct.Struct("<8sIIQQ")


def survival_estimator_data(n=90, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    time = np.round(rng.exponential(np.exp(-X[:, 0])) * 10) + 1.0
    return X, korvane.Surv.from_arrays(rng.random(n) < 0.7, time), rng


def effect_data(n=90, seed=0):
    """Covariates, an outcome, a 0/1 treatment and a survival target."""
    X, y_survival, rng = survival_estimator_data(n, seed)
    w = (rng.random(n) < 0.5).astype(float)
    outcome = X[:, 1] + w * (X[:, 0] > 0) + rng.normal(scale=0.3, size=n)
    return X, outcome, w, y_survival


def fitted_estimator(kind):
    """A fitted estimator of each kind, with the state that makes it hard to store."""
    X, outcome, w, y = effect_data()
    weight = np.linspace(0.5, 2.0, len(X))
    if kind == "forest":
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame(X, columns=["age", "size", "grade"])
        forest = korvane.RandomSurvivalForest(n_estimators=8, oob_score=True, max_features=2, random_state=3)
        with warnings.catch_warnings():  # a few rows are in every tree's bag
            warnings.simplefilter("ignore", UserWarning)
            return forest.fit(frame, y, sample_weight=weight), frame, y
    if kind == "tree":
        return korvane.SurvivalTree(honesty=True, random_state=np.random.RandomState(7)).fit(X, y), X, y
    if kind == "regression":
        return korvane.RegressionForest(n_estimators=10, random_state=1).fit(X, outcome, weight), X, outcome
    if kind == "quantile":
        forest = korvane.QuantileForest(quantiles=[0.2, 0.5], n_estimators=10, random_state=np.random.default_rng(2))
        return forest.fit(X, outcome), X, outcome
    if kind == "causal":
        # "auto" picks the linear nuisance models here, kept in models_y_ and models_t_.
        forest = korvane.CausalForest(n_estimators=10, random_state=4).fit(X, outcome, w)
        assert forest.nuisance_choice_ == {"y": "linear", "treatment": "linear"}
        return forest, X, outcome
    forest = korvane.CausalSurvivalForest(horizon=8.0, n_estimators=10, model_t="auto", random_state=5)
    return forest.fit(X, y, w), X, y


ESTIMATOR_KINDS = ["forest", "tree", "regression", "quantile", "causal", "causal_survival"]
ANSWERS = {
    "predict": lambda e, X, y: e.predict(X),
    "survival": lambda e, X, y: e.predict_survival_function(X, return_array=True),
    "hazard": lambda e, X, y: e.predict_cumulative_hazard_function(X, return_array=True),
    "median": lambda e, X, y: e.predict_median_survival_time(X),
    "apply": lambda e, X, y: e.apply(X),
    "score": lambda e, X, y: e.score(X, y),
    "importances": lambda e, X, y: e.feature_importances_,
    "forest_weights": lambda e, X, y: e.forest_weights(X),
    "interval": lambda e, X, y: e.predict(X, interval=True),
    "variance": lambda e, X, y: e.predict_variance(X),
    "average_effect": lambda e, X, y: e.average_treatment_effect(),
}


def estimator_answers(estimator, X, y):
    """Every answer the estimator gives about X (and its training target), as bytes."""
    found = {}
    for name, answer in ANSWERS.items():
        try:
            found[name] = np.asarray(answer(estimator, X, y)).tobytes()
        except (AttributeError, TypeError):
            pass
    return found


def same_value(a, b):
    if isinstance(a, np.random.RandomState):
        return type(b) is np.random.RandomState and str(a.get_state(legacy=False)) == str(b.get_state(legacy=False))
    if isinstance(a, np.random.Generator):
        return type(b) is np.random.Generator and a.bit_generator.state == b.bit_generator.state
    if isinstance(a, np.ndarray):
        return (type(b) is np.ndarray and a.dtype == b.dtype and a.shape == b.shape
                and a.flags.writeable == b.flags.writeable
                and (a.tolist() == b.tolist() if a.dtype == object else a.tobytes() == b.tobytes()))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same_value, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    if hasattr(a, "get_params"):
        return type(a) is type(b) and same_value(vars(a), vars(b))
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("kind", ESTIMATOR_KINDS)
def test_a_saved_estimator_loads_with_its_settings_attributes_and_answers_to_the_last_bit(kind, tmp_path):
    estimator, X, y = fitted_estimator(kind)
    before = estimator_answers(estimator, X, y)
    korvane.save(estimator, tmp_path / "estimator.korvane")
    loaded = korvane.load(tmp_path / "estimator.korvane")
    assert type(loaded) is type(estimator)
    params = estimator.get_params()
    assert all(same_value(value, loaded.get_params()[name]) for name, value in params.items())
    fitted = [name for name in vars(estimator) if name.endswith("_")]
    assert [name for name in fitted if not same_value(getattr(estimator, name), getattr(loaded, name))] == []
    assert estimator_answers(loaded, X, y) == before and len(before) >= 1
    assert korvane.to_bytes(loaded) == korvane.to_bytes(estimator)


def test_a_loaded_forest_grows_on_with_warm_start_as_the_saved_one_would():
    X, y, _ = survival_estimator_data()
    forest = korvane.RandomSurvivalForest(n_estimators=4, warm_start=True, random_state=0).fit(X, y)
    loaded = korvane.from_bytes(korvane.to_bytes(forest))
    loaded.set_params(n_estimators=9).fit(X, y)
    at_once = korvane.RandomSurvivalForest(n_estimators=9, random_state=0).fit(X, y)
    assert loaded.predict(X).tobytes() == at_once.predict(X).tobytes()
    with pytest.raises(ValueError, match="X and y differ from the first fit"):
        korvane.from_bytes(korvane.to_bytes(forest)).set_params(n_estimators=9).fit(X[:-1], y[:-1])


def refused_estimators():
    from sklearn.linear_model import LinearRegression
    from sklearn.model_selection import KFold

    X, outcome, w, y = effect_data(n=60)
    return [
        (korvane.RandomSurvivalForest(n_estimators=15, oob_score=lambda y, risk: 0.5, random_state=0), (X, y),
         "RandomSurvivalForest.oob_score: it holds a function"),
        (korvane.CausalForest(n_estimators=4, model_y=LinearRegression(), random_state=0), (X, outcome, w),
         "CausalForest.model_y: it holds a LinearRegression"),
        (korvane.CausalForest(n_estimators=4, model_y="forest", model_t="forest", cv=KFold(3), random_state=0),
         (X, outcome, w), "CausalForest.cv: it holds a KFold"),
    ]


def test_an_estimator_holding_what_cannot_be_stored_is_refused_naming_it(tmp_path):
    for estimator, data, message in refused_estimators():
        estimator.fit(*data)
        with pytest.raises(TypeError, match=f"^cannot save {re.escape(message)}.*pickle the estimator instead$"):
            korvane.save(estimator, tmp_path / "refused.korvane")
        assert list(tmp_path.iterdir()) == []


def test_an_unfitted_estimator_or_another_class_is_refused():
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError, match="QuantileForest instance is not fitted yet"):
        korvane.to_bytes(korvane.QuantileForest())

    class Subclassed(korvane.SurvivalTree):
        pass

    X, y, _ = survival_estimator_data()
    for other in (Subclassed().fit(X, y), korvane.Surv):
        with pytest.raises(TypeError, match="^argument 'model': expected a fitted korvane estimator"):
            korvane.to_bytes(other)


# Invalid estimator files: each case edits a valid file (its header or its JSON
# description), reseals it unless the digest is what it breaks, and names the error.

def estimator_parts(data):
    magic, version, reserved, size, text_size = ESTIMATOR_HEADER.unpack_from(data)
    text_end = ESTIMATOR_HEADER.size + text_size
    return json.loads(data[ESTIMATOR_HEADER.size:text_end]), data[text_end:-32]


def estimator_file(description, blobs, version=1, reserved=0, text=None):
    """An estimator file of a description (or raw `text`) and blobs, sealed with its digest."""
    text = json.dumps(description).encode() if text is None else text
    size = ESTIMATOR_HEADER.size + len(text) + len(blobs) + 32
    body = ESTIMATOR_HEADER.pack(b"\x89KRE\r\n\x1a\n", version, reserved, size, len(text)) + text + blobs
    return body + hashlib.sha256(body).digest()


def edit_description(edit):
    def edited(data):
        description, blobs = estimator_parts(data)
        edit(description)
        return estimator_file(description, blobs)
    return edited


def first_array(description):
    return next(blob for blob in description["blobs"] if blob["kind"] == "array")


def nested(description, depth=70):
    value = None
    for _ in range(depth):
        value = [value]
    description["estimator"]["state"]["n_estimators"] = value


INVALID_ESTIMATOR_FILES = [
    (lambda d: d[:11], "truncated: 11 bytes hold no format version"),
    (lambda d: d[:40], "truncated: 40 bytes are fewer than the 64 of a header and digest"),
    (lambda d: d[:-1], r"truncated: the header declares \d+ bytes but only \d+ are present"),
    (lambda d: d + b"\0\0", "2 unexpected bytes follow the end of the model"),
    (lambda d: d[:60] + bytes([d[60] ^ 1]) + d[61:], "checksum mismatch: the data is corrupted"),
    (lambda d: estimator_file(*estimator_parts(d), version=2), "unsupported estimator format version 2"),
    (lambda d: estimator_file(*estimator_parts(d), reserved=1), "reserved header bytes are not zero"),
    (lambda d: estimator_file(None, b"", text=b"\xff{"), "invalid estimator state"),
    (edit_description(lambda e: e["blobs"][0].update(size=e["blobs"][0]["size"] + 1)), r"the blobs declare \d+ bytes"),
    (edit_description(lambda e: e.update(estimator={"object": "builtins.eval", "state": {}})),
     "the file names a class korvane does not load: 'builtins.eval'"),
    (edit_description(lambda e: e.update(estimator={"object": "sklearn.Lasso", "state": {
        "_sklearn_version": sklearn.__version__}})),
     "the file holds a Lasso, not a korvane estimator"),
    (edit_description(lambda e: e.update(estimator=[1])), "the file holds a list, not a korvane estimator"),
    (edit_description(lambda e: first_array(e).update(dtype="|O")), "arrays of object are not read"),
    (edit_description(lambda e: first_array(e).update(shape=[3, 4])), r"an array of shape \(3, 4\) .* does not take"),
    (edit_description(lambda e: first_array(e).update(pickle=True)), "an array blob is described by"),
    (edit_description(lambda e: e["estimator"]["state"].update(random_state={"blob": 99})), "list index out of range"),
    (edit_description(lambda e: e["estimator"]["state"].update(random_state={"rng": "RandomState", "state": {
        "dict": [["bit_generator", "Mystery"]]}})), "unknown bit generator 'Mystery'"),
    (edit_description(lambda e: e["estimator"]["state"].update(max_depth={"eval": "1"})), "unexpected value"),
    (edit_description(nested), "values are nested more than 64 deep"),
    (edit_description(lambda e: e["estimator"]["state"].update(max_depth={"scalar": e["estimator"]["state"][
        "unique_times_"]["blob"]})), "a scalar's blob is not a single value"),
]


@pytest.fixture(scope="module")
def forest_file():
    X, y, _ = survival_estimator_data()
    return korvane.to_bytes(korvane.RandomSurvivalForest(n_estimators=3, random_state=0).fit(X, y))


@pytest.mark.parametrize("edit, message", INVALID_ESTIMATOR_FILES,
                         ids=[case[1][:40] for case in INVALID_ESTIMATOR_FILES])
def test_invalid_estimator_files_are_refused_with_what_is_wrong(forest_file, edit, message):
    with pytest.raises(ValueError, match=f"^cannot read a korvane model: .*(?:{message})"):
        korvane.from_bytes(edit(forest_file))


def test_corrupted_estimator_files_are_refused_or_read_as_an_estimator(forest_file):
    """Random damage to the description, resealed so that it reaches the reader behind the digest."""
    description, blobs = estimator_parts(forest_file)
    text = json.dumps(description).encode()
    rng = random.Random(11)
    # 150 edits reach each family of refusal the reader has (the JSON, the keys,
    # the class, the dtypes, the blob sizes) and some files that still read.
    for _ in range(150):
        edited = bytearray(text)
        for _ in range(rng.randint(1, 3)):
            edited[rng.randrange(len(edited))] = rng.choice(b'{}[]",:0123456789-.abeflnrstu \\')
        try:
            estimator = korvane.from_bytes(estimator_file(None, blobs, text=bytes(edited)))
        except ValueError as error:
            assert str(error).startswith("cannot read a korvane model: ")
        else:
            assert isinstance(estimator, korvane.RandomSurvivalForest)


# Files on disk: only regular files are read, within their declared size; a save
# replaces the file whole or not at all.

def not_regular_files(tmp_path):
    cases = [(tmp_path, "a folder")]
    if os.path.exists("/dev/zero"):
        cases.append(("/dev/zero", "a character device"))
    if hasattr(os, "mkfifo"):
        os.mkfifo(tmp_path / "fifo")
        cases.append((tmp_path / "fifo", "a FIFO"))
    return cases


def test_load_refuses_what_is_not_a_regular_file_without_reading_or_waiting(tmp_path):
    # A FIFO without a writer blocks a reader and /dev/zero never ends: a fresh
    # process, killed on timeout, keeps a fault from stalling the suite.
    for path, kind in not_regular_files(tmp_path):
        script = f"import korvane\ntry:\n    korvane.load({str(path)!r})\nexcept ValueError as e:\n    print(e)\n"
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=True)
        assert done.stdout.strip() == f"cannot read a korvane model: {str(path)!r} is not a regular file but {kind}"


@pytest.mark.parametrize("kind", ["model", "estimator"])
def test_load_refuses_a_declared_size_other_than_the_files(kind, forest_file, valid_files, tmp_path):
    data = forest_file if kind == "estimator" else valid_files[TREE]
    path = tmp_path / "model.korvane"
    path.write_bytes(data[:16] + struct.pack("<Q", 2**60) + data[24:])
    with pytest.raises(ValueError, match=rf"truncated: the header declares {2**60} bytes but .* holds {len(data)}$"):
        korvane.load(path)
    path.write_bytes(data + b"\0" * 1000)
    with pytest.raises(ValueError, match="^cannot read a korvane model: 1000 unexpected bytes follow"):
        korvane.load(path)


def test_save_replaces_a_symbolic_link_instead_of_writing_through_it(tmp_path, valid_files):
    target = tmp_path / "elsewhere.txt"
    target.write_bytes(b"keep me")
    link = tmp_path / "model.korvane"
    try:
        link.symlink_to(target)
    except OSError:
        pytest.skip("this system makes no symbolic links")
    model = korvane.from_bytes(valid_files[TREE])
    korvane.save(model, link)
    assert target.read_bytes() == b"keep me"
    assert not link.is_symlink() and link.read_bytes() == valid_files[TREE]


@pytest.mark.parametrize("existing", [None, b"the previous model"], ids=["new", "existing"])
def test_a_save_that_fails_mid_write_leaves_the_previous_file_and_nothing_else(existing, tmp_path, monkeypatch,
                                                                               valid_files):
    path = tmp_path / "model.korvane"
    if existing is not None:
        path.write_bytes(existing)

    def fail(descriptor):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", fail)
    with pytest.raises(OSError, match="disk full"):
        korvane.save(korvane.from_bytes(valid_files[LOG_RANK_FOREST]), path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ([] if existing is None else ["model.korvane"])
    if existing is not None:
        assert path.read_bytes() == existing


# Settings and recorded leaves the fit never writes: refused at load, so that
# no answer of a loaded model meets them.

def tree_0_codes(data):
    """The recorded leaf of each training row in tree 0, and the code width."""
    n_leaves = (struct.unpack_from("<I", data, sections(data)["tree sizes"].offset)[0] + 1) // 2
    width = n_leaves.bit_length()
    return bits(data, sections(data)["recorded leaves"], width, header(data)["n_train_samples"]), width, n_leaves


def tree_0_recoded(data, recode):
    """`data` with tree 0's code of each training row i replaced by recode(i, code, n_leaves)."""
    codes, width, n_leaves = tree_0_codes(data)
    for i, code in enumerate(codes):
        data = pack_bits(data, sections(data)["recorded leaves"], i * width, width, recode(i, code, n_leaves))
    return reseal(data)


def emptied_leaf(data):
    """Tree 0's rows of its leaf 1 moved to its leaf 0."""
    return tree_0_recoded(data, lambda i, code, n: 0 if code == 1 else code)


def unrecorded_row(data):
    """Tree 0's first recorded row marked as not recorded."""
    first = next(i for i, code in enumerate(tree_0_codes(data)[0]) if code < tree_0_codes(data)[2])
    return tree_0_recoded(data, lambda i, code, n: n if i == first else code)


def weights_set(data, values):
    found = sections(data)["sample weights"]
    edited = bytearray(data)
    struct.pack_into(f"<{len(values)}d", edited, found.offset, *values)
    return reseal(edited)


def zero_weight_on_a_recorded_row(data):
    codes, _, n_leaves = tree_0_codes(data)
    first = next(i for i, code in enumerate(codes) if code < n_leaves)
    weights = list(struct.unpack_from(f"<{len(codes)}d", data, sections(data)["sample weights"].offset))
    return weights_set(data, weights[:first] + [0.0] + weights[first + 1:])


def one_positive_weight(data):
    n = header(data)["n_train_samples"]
    return weights_set(data, [1.0] + [0.0] * (n - 1))


LOADER_FIXTURES = {
    "honest": lambda: korvane._korvane_core._grow_log_rank_forest(
        *SURVIVAL, n_trees=3, honesty=True, bootstrap=False, subsample_fraction=0.8, min_samples_leaf=1, seed=2),
    "weighted": lambda: korvane._korvane_core._grow_log_rank_forest(
        *SURVIVAL, n_trees=3, honesty=True, min_samples_leaf=3, seed=2,
        sample_weight=np.arange(len(SURVIVAL.event_time)) % 3 + 1.0),
}

REFUSED_AT_LOAD = [
    ("honest", lambda d: with_settings(d, subsample_fraction=0.02), "settings: each tree draws 1 row of 60 rows, but an honest tree needs at least 2"),
    ("honest", lambda d: with_settings(d, forest_n_trees=0, first_tree=0), "settings: n_trees must be >= 1"),
    ("honest", lambda d: with_settings(d, max_features_kind=2, max_features_count=0), "settings: max_features must be >= 1"),
    ("honest", lambda d: with_settings(d, max_features_kind=2, max_features_count=6), "settings: max_features=6 exceeds n_features=5"),
    ("honest", lambda d: reseal(with_header(d, n_features=0)), "inconsistent counts: a model has at least one feature"),
    ("honest", lambda d: reseal(with_header(d, n_trees=0)), "inconsistent counts: a forest holds at least one tree grown on at least one row"),
    ("honest", emptied_leaf, "tree 0: no training row is recorded in leaf 1"),
    ("honest", unrecorded_row, "tree 0: 23 rows are recorded in its leaves, but each tree estimates its leaves on 24 rows"),
    ("weighted", one_positive_weight, "settings with the sample weights: each tree draws 1 row of 1 row, but an honest tree needs at least 2"),
    ("weighted", zero_weight_on_a_recorded_row, r"tree 0: training row \d+ is recorded in a leaf but has weight 0"),
]


@pytest.mark.parametrize("fixture, edit, message", REFUSED_AT_LOAD, ids=[case[2][:50] for case in REFUSED_AT_LOAD])
def test_settings_and_recorded_leaves_a_fit_never_writes_are_refused(fixture, edit, message):
    data = korvane.to_bytes(LOADER_FIXTURES[fixture]())
    with pytest.raises(ValueError, match=f"^cannot read a korvane model: (?:{message})$"):
        korvane.from_bytes(edit(data))


GENUINE_EDGES = [
    pytest.param({"honesty": True, "min_samples_leaf": 0}, id="honest_leaves_may_be_empty"),
    pytest.param({"honesty": True, "bootstrap": True, "min_samples_leaf": 1}, id="honest_bootstrap"),
    pytest.param({"honesty": True, "subsample_fraction": 4 / 60, "bootstrap": False}, id="honest_fewest_rows"),
    pytest.param({"honesty": True, "sample_weight": np.r_[np.zeros(58), 1.0, 2.0]}, id="two_positive_weights"),
]


@pytest.mark.parametrize("settings", GENUINE_EDGES)
def test_forests_at_the_edges_of_what_a_fit_accepts_load(settings):
    model = korvane._korvane_core._grow_log_rank_forest(*SURVIVAL, n_trees=8, seed=6, **settings)
    assert_survives_round_trip(model)


def every_answer(model):
    """Calls every query of a loaded model; only ValueError may refuse one."""
    X = SURVIVAL.X
    queries = [lambda: model.forest_weights(X[:7]), lambda: model.forest_weights_one(X[0]), lambda: model._apply(X[:7])]
    queries += [lambda: model._in_bag(), lambda: model._honest_estimation(), lambda: model._oob_forest_weights(X),
                lambda: model._split_importance()]
    values = np.ones((len(X), 2))
    if hasattr(model, "_weighted_sums"):
        queries += [lambda: model._weighted_sums(X[:7], values), lambda: model._tree_weighted_sums(X[:7], values),
                    lambda: model._oob_weighted_sums(X, values)]
    if hasattr(model, "predict_cumulative_hazard"):
        queries += [lambda: model.predict_cumulative_hazard(X[:7], np.array([1.0, 5.0])),
                    lambda: model._oob_cumulative_hazard(X, np.array([1.0, 5.0]))]
    for query in queries:
        try:
            query()
        except (ValueError, MemoryError):
            pass


def edited_setting(data, rng):
    choice = rng.randrange(6)
    current = settings(data)
    if choice == 0:
        return with_settings(data, subsample_fraction=rng.choice([0.0, 1e-9, 0.01, 0.02, 0.04, 0.5, 1.0]))
    if choice == 1:
        return with_settings(data, flags=current["flags"] | 2, honesty_fraction=rng.choice([0.01, 0.5, 0.99, 1.0]))
    if choice == 2:
        return with_settings(data, flags=current["flags"] ^ rng.choice([1, 2, 4]), honesty_fraction=0.0, max_depth=0)
    if choice == 3:
        return with_settings(data, max_features_kind=rng.randrange(3), max_features_count=rng.randrange(8) if current["max_features_kind"] == 2 else 0)
    if choice == 4:
        return with_settings(data, min_samples_leaf=rng.choice([0, 1, 5, 60, 2**63]))
    return tree_0_recoded(data, lambda i, code, n: rng.randrange(n + 1) if rng.random() < 0.1 else code)


def test_edited_settings_and_leaves_load_only_as_models_whose_every_answer_works():
    rng = random.Random(11)
    files = [korvane.to_bytes(fit()) for fit in LOADER_FIXTURES.values()]
    files.append(korvane.to_bytes(fit_gradient_forest(SURVIVAL, n_trees=3, min_samples_leaf=3, honesty=True, seed=2)))
    # 120 edits reach every refusal these edits can provoke, and many models that load.
    for _ in range(120):
        data = edited_setting(rng.choice(files), rng)
        try:
            model = korvane.from_bytes(data)
        except ValueError as error:
            assert str(error).startswith("cannot read a korvane model: ")
            continue
        every_answer(model)
        if not (settings(data)["flags"] & 2 and settings(data)["min_samples_leaf"] == 0):
            np.testing.assert_allclose(np.asarray(model.forest_weights(SURVIVAL.X[:7])).sum(axis=1), 1.0)
