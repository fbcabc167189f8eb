"""An independent reading of korvane's binary model format (docs/FORMAT.md),
enough to find each section of a file and to reseal a file after editing it,
so that tests can craft files that pass the checksum and reach the checks
behind it."""

import struct
from typing import NamedTuple

HEADER = struct.Struct("<8sIB3sQIIQQQQ")
HEADER_FIELDS = ("magic", "version", "kind", "reserved", "size", "n_features", "n_trees", "n_nodes",
                 "n_times", "n_points", "n_train_samples")
SETTINGS = struct.Struct("<QQQQddIIBB6s")
SETTINGS_FIELDS = ("seed", "first_tree", "forest_n_trees", "min_samples_leaf", "subsample_fraction",
                   "honesty_fraction", "max_depth", "max_features_count", "max_features_kind", "flags",
                   "reserved")
TREE, LOG_RANK_FOREST, GRADIENT_FOREST = 1, 2, 3

_MASK = (1 << 64) - 1
_P1, _P2, _P3, _P4, _P5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0x85EBCA77C2B2AE63,
                           0x27D4EB2F165667C5)


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & _MASK


def _round(lane, word):
    return _rotl((lane + word * _P2) & _MASK, 31) * _P1 & _MASK


def xxh64(data: bytes) -> int:
    """XXH64 with seed 0, written from the published algorithm."""
    n, at = len(data), 0
    if n >= 32:
        lanes = [(_P1 + _P2) & _MASK, _P2, 0, (-_P1) & _MASK]
        while n - at >= 32:
            words = struct.unpack_from("<4Q", data, at)
            lanes = [_round(lane, word) for lane, word in zip(lanes, words)]
            at += 32
        h = (_rotl(lanes[0], 1) + _rotl(lanes[1], 7) + _rotl(lanes[2], 12) + _rotl(lanes[3], 18)) & _MASK
        for lane in lanes:
            h = ((h ^ _round(0, lane)) * _P1 + _P4) & _MASK
    else:
        h = _P5
    h = (h + n) & _MASK
    while n - at >= 8:
        h = (_rotl(h ^ _round(0, struct.unpack_from("<Q", data, at)[0]), 27) * _P1 + _P4) & _MASK
        at += 8
    if n - at >= 4:
        h = (_rotl(h ^ (struct.unpack_from("<I", data, at)[0] * _P1 & _MASK), 23) * _P2 + _P3) & _MASK
        at += 4
    for byte in data[at:]:
        h = _rotl(h ^ (byte * _P5 & _MASK), 11) * _P1 & _MASK
    h = (h ^ (h >> 33)) * _P2 & _MASK
    h = (h ^ (h >> 29)) * _P3 & _MASK
    return h ^ (h >> 32)


def reseal(data: bytes | bytearray) -> bytes:
    """`data` with its size field and checksum made to match its content."""
    body = bytearray(data[:-8])
    struct.pack_into("<Q", body, 16, len(body) + 8)
    return bytes(body) + struct.pack("<Q", xxh64(bytes(body)))


def header(data: bytes) -> dict:
    return dict(zip(HEADER_FIELDS, HEADER.unpack_from(data)))


def with_header(data: bytes, **fields) -> bytes:
    values = header(data) | fields
    edited = bytearray(data)
    HEADER.pack_into(edited, 0, *(values[name] for name in HEADER_FIELDS))
    return bytes(edited)


def settings(data: bytes) -> dict:
    return dict(zip(SETTINGS_FIELDS, SETTINGS.unpack_from(data, HEADER.size)))


def with_settings(data: bytes, **fields) -> bytes:
    values = settings(data) | fields
    edited = bytearray(data)
    SETTINGS.pack_into(edited, HEADER.size, *(values[name] for name in SETTINGS_FIELDS))
    return reseal(edited)


class Section(NamedTuple):
    offset: int
    size: int


def _packed(count, width):
    return (count * width + 7) // 8


def sections(data: bytes) -> dict[str, Section]:
    """Where each section of a valid file lies, in file order."""
    h = header(data)
    found, at = {"header": Section(0, HEADER.size)}, HEADER.size

    def add(name, size):
        nonlocal at
        found[name] = Section(at, size)
        at += size

    if h["kind"] != TREE:
        add("settings", SETTINGS.size)
        if settings(data)["flags"] & 16:  # growth rules
            add("growth rules", 24)
    add("tree sizes", 4 * h["n_trees"])
    tree_sizes = struct.unpack_from(f"<{h['n_trees']}I", data, found["tree sizes"].offset)
    n_splits = (h["n_nodes"] - h["n_trees"]) // 2
    add("node kinds", _packed(h["n_nodes"], 1))
    add("split features", _packed(n_splits, max(h["n_features"] - 1, 0).bit_length()))
    add("thresholds", 8 * n_splits)
    add("scores", 8 * n_splits)
    if h["version"] >= 2:
        add("missing sides", _packed(n_splits, 1))
    if h["kind"] != GRADIENT_FOREST:
        n_leaves = (h["n_nodes"] + h["n_trees"]) // 2
        add("curve times", 8 * h["n_times"])
        add("curve lengths", _packed(n_leaves, h["n_times"].bit_length()))
        add("curve time indices", _packed(h["n_points"], max(h["n_times"] - 1, 0).bit_length()))
        add("curve step widths", 10)
        events_width, at_risk_width, n_stored = struct.unpack_from("<BBQ", data, found["curve step widths"].offset)
        add("curve events", _packed(h["n_points"], events_width))
        add("curve at-risk counts", _packed(h["n_points"], at_risk_width))
        add("stored curve values", 8 * n_stored)
    if h["kind"] != TREE:
        widths = [((size + 1) // 2).bit_length() for size in tree_sizes]
        add("recorded leaves", sum(_packed(h["n_train_samples"], w) for w in widths))
        if settings(data)["flags"] & 8:  # weighted
            add("sample weights", 8 * h["n_train_samples"])
    add("checksum", 8)
    assert at == len(data), "the sections do not cover the file"
    return found
