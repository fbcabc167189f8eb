"""Saving and loading models: round trips to the last bit, pickling and
copying, refusal of every kind of invalid data, and files of earlier
versions."""

import copy
import doctest
import math
import pickle
import random
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

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
    (3, "argument 'model': expected a LogRankSurvivalTree, LogRankSurvivalForest or GradientForest, got int"),
])
def test_to_bytes_refuses_what_is_not_a_model(argument, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        korvane.to_bytes(argument)


def test_from_bytes_refuses_what_is_not_bytes_like():
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not str$"):
        korvane.from_bytes("model")


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
    (TREE, lambda d: reseal(with_header(d, version=3)), "unsupported format version 3; this korvane reads versions 1 to 2"),
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


def answers(model, query=QUERY):
    found = {"repr": np.array(repr(model))}
    if hasattr(model, "predict_cumulative_hazard"):
        found["hazard"] = model.predict_cumulative_hazard(query, np.arange(0.0, 30.0, 1.5))
    if hasattr(model, "forest_weights"):
        found["weights"] = model.forest_weights(query)
    return found


def write_compatibility_files(version=2, cases=COMPATIBILITY_V2, query=QUERY_V2):
    """Run once per format version: python -c 'import test_persistence as t; t.write_compatibility_files()'."""
    for parameter in cases:
        name, fit = parameter.values
        model = fit(COMPATIBILITY_DATA)
        korvane.save(model, DATA / f"{name}.v{version}.korvane")
        np.savez(DATA / f"{name}.v{version}.answers.npz", **answers(model, query))


@pytest.mark.parametrize("name, fit", COMPATIBILITY_V2)
def test_files_of_format_version_2_load_and_answer_as_recorded(name, fit):
    model = korvane.load(DATA / f"{name}.v2.korvane")
    recorded = np.load(DATA / f"{name}.v2.answers.npz")
    found = answers(model, QUERY_V2)
    assert sorted(found) == sorted(recorded.files)
    for key, value in found.items():
        assert value.tobytes() == recorded[key].tobytes(), key


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
    for _ in range(300):
        data = edited_setting(rng.choice(files), rng)
        try:
            model = korvane.from_bytes(data)
        except ValueError as error:
            assert str(error).startswith("cannot read a korvane model: ")
            continue
        every_answer(model)
        if not (settings(data)["flags"] & 2 and settings(data)["min_samples_leaf"] == 0):
            np.testing.assert_allclose(np.asarray(model.forest_weights(SURVIVAL.X[:7])).sum(axis=1), 1.0)
