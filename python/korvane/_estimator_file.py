"""Fitted estimators as files: a header, a JSON description of the estimator's
state, the arrays and core models it holds as raw bytes, and a SHA-256 digest
(laid out in ``docs/FORMAT.md``, "Estimator files").

Reading never unpickles and never imports or constructs anything by a name
the file gives, other than the classes of `_CLASSES`, which are rebuilt from
their state the way pickle rebuilds them (no constructor runs). An untrusted
file can therefore at worst describe an estimator that answers wrongly or
raises; it cannot run code.
"""

from __future__ import annotations

import hashlib
import importlib
import itertools
import json
import struct
from typing import Any, Literal

import numpy as np

from korvane._korvane_core import (
    GradientForest,
    LogRankSurvivalForest,
    LogRankSurvivalTree,
    _from_bytes,
    _to_bytes,
    version,
)

MAGIC = b"\x89KRE\r\n\x1a\n"
VERSION = 1
# magic, format version, reserved (zero), file size, description size: the file
# size sits where a model file keeps its own, so one reader bounds both.
_HEADER = struct.Struct("<8sIIQQ")
_DIGEST_SIZE = hashlib.sha256().digest_size
# The deepest nesting of values an estimator's state may have: far above what
# any estimator holds, far below Python's recursion limit.
_MAX_DEPTH = 64
_PREFIX = "cannot read a korvane model: "

# Every class an estimator file may name, by the name it is written under, and
# where it lives. The korvane estimators are what a file holds; the
# scikit-learn classes are the nuisance models the causal forests fit
# themselves ("auto" and its linear candidates).
_CLASSES = {
    "korvane.RandomSurvivalForest": ("korvane.ensemble", "RandomSurvivalForest"),
    "korvane.SurvivalTree": ("korvane.tree", "SurvivalTree"),
    "korvane.RegressionForest": ("korvane.effects", "RegressionForest"),
    "korvane.QuantileForest": ("korvane.effects", "QuantileForest"),
    "korvane.CausalForest": ("korvane.effects", "CausalForest"),
    "korvane.CausalSurvivalForest": ("korvane.causal_survival", "CausalSurvivalForest"),
    "sklearn.Pipeline": ("sklearn.pipeline", "Pipeline"),
    "sklearn.StandardScaler": ("sklearn.preprocessing", "StandardScaler"),
    "sklearn.Lasso": ("sklearn.linear_model", "Lasso"),
    "sklearn.LogisticRegression": ("sklearn.linear_model", "LogisticRegression"),
}
_CORE_MODELS = (LogRankSurvivalTree, LogRankSurvivalForest, GradientForest)
# Random sources stored by their state: numpy's bit generators, rebuilt by name.
_BIT_GENERATORS = ("MT19937", "PCG64", "PCG64DXSM", "Philox", "SFC64")
# Array element kinds stored as raw bytes: booleans, numbers and fixed-width text.
_ARRAY_KINDS = "biufcSU"


def _class(name: str) -> type[Any]:
    module, attribute = _CLASSES[name]
    found: type[Any] = getattr(importlib.import_module(module), attribute)
    return found


def _class_name(value: Any) -> str | None:
    """The name `value`'s class is written under, when it is one of `_CLASSES`."""
    kind = type(value)
    for name, (_, attribute) in _CLASSES.items():
        if attribute == kind.__name__ and _class(name) is kind:
            return name
    return None


def is_estimator(value: Any) -> bool:
    """Whether `value` is a korvane estimator an estimator file can hold."""
    name = _class_name(value)
    return name is not None and name.startswith("korvane.")


def encode(estimator: Any) -> bytes:
    """The estimator file of a fitted korvane estimator (see `is_estimator`)."""
    from sklearn.utils.validation import check_is_fitted

    check_is_fitted(estimator)
    writer = _Writer(type(estimator).__name__)
    description = {"korvane": version(), "estimator": writer.value(estimator, ""), "blobs": writer.blobs}
    text = json.dumps(description, separators=(",", ":"), allow_nan=False).encode()
    size = _HEADER.size + len(text) + sum(len(blob) for blob in writer.data) + _DIGEST_SIZE
    body = b"".join([_HEADER.pack(MAGIC, VERSION, 0, size, len(text)), text, *writer.data])
    return body + hashlib.sha256(body).digest()


class _Writer:
    """Turns an estimator's state into JSON values and raw blobs.

    A value is JSON's own for None, bool, int and str, a list for a list, and
    otherwise an object with one tag (``float``, ``tuple``, ``dict``, ``blob``,
    ``scalar``, ``texts``, ``rng``; ``object`` with its ``state``). Arrays and
    core models become blobs; one object held in two places is one blob.
    """

    def __init__(self, owner: str) -> None:
        self._owner = owner
        self.blobs: list[dict[str, Any]] = []
        self.data: list[bytes] = []
        self._seen: dict[int, int] = {}
        self._held: list[Any] = []

    def value(self, value: Any, path: str) -> Any:
        kind = type(value)
        if value is None or kind in (bool, int, str):
            return value
        if kind is float:
            return {"float": value.hex()}
        if kind in (list, tuple):
            items = [self.value(item, f"{path}[{k}]") for k, item in enumerate(value)]
            return items if kind is list else {"tuple": items}
        if kind is dict:
            return {"dict": [[self.value(k, path), self.value(v, f"{path}[{k!r}]")] for k, v in value.items()]}
        if isinstance(value, np.ndarray) and value.dtype == object:
            return self._texts(value, path)
        if isinstance(value, (np.ndarray, *_CORE_MODELS)):
            return {"blob": self._blob(value, path)}
        if isinstance(value, np.generic):
            return {"scalar": self._blob(np.asarray(value), path)}
        if isinstance(value, (np.random.RandomState, np.random.Generator)):
            return self._random_source(value, path)
        return self._object(value, path)

    def _refuse(self, path: str, what: str) -> TypeError:
        where = f"{self._owner}.{path}" if path else self._owner
        return TypeError(
            f"cannot save {where}: it holds {what}, which korvane does not store "
            f"(only data, its estimators and its own nuisance models); pickle the estimator instead"
        )

    def _object(self, value: Any, path: str) -> Any:
        name = _class_name(value)
        if name is None:
            raise self._refuse(path, f"a {type(value).__name__}")
        state = value.__getstate__()
        prefix = f"{path}." if path else ""
        return {"object": name, "state": {key: self.value(item, prefix + key) for key, item in state.items()}}

    def _random_source(self, value: np.random.RandomState | np.random.Generator, path: str) -> Any:
        if isinstance(value, np.random.RandomState):
            return {"rng": "RandomState", "state": self.value(value.get_state(legacy=False), path)}
        return {"rng": "Generator", "state": self.value(value.bit_generator.state, path)}

    def _texts(self, value: np.ndarray, path: str) -> Any:
        if value.ndim == 1 and all(type(item) is str for item in value):
            return {"texts": list(value)}
        raise self._refuse(path, "an array of objects other than strings")

    def _blob(self, value: Any, path: str) -> int:
        if id(value) in self._seen:
            return self._seen[id(value)]
        if isinstance(value, np.ndarray):
            if value.dtype.kind not in _ARRAY_KINDS or value.dtype.fields is not None:
                raise self._refuse(path, f"an array of {value.dtype}")
            self.blobs.append(_array_description(value))
            self.data.append(value.tobytes(order="F" if self.blobs[-1]["fortran"] else "C"))
        else:
            self.data.append(_to_bytes(value))
            self.blobs.append({"kind": "model"})
        self.blobs[-1]["size"] = len(self.data[-1])
        self._held.append(value)
        self._seen[id(value)] = len(self.blobs) - 1
        return len(self.blobs) - 1


def _array_description(value: np.ndarray) -> dict[str, Any]:
    return {
        "kind": "array",
        "dtype": value.dtype.str,
        "shape": list(value.shape),
        "fortran": bool(value.ndim > 1 and value.flags.f_contiguous and not value.flags.c_contiguous),
        "writeable": bool(value.flags.writeable),
    }


def decode(data: memoryview) -> Any:
    """The estimator an estimator file holds; ValueError for anything else."""
    text, blobs = _sections(data)
    try:
        description = json.loads(text.decode("utf-8"))
        reader = _Reader(blobs, description["blobs"])
        estimator = reader.value(description["estimator"], 0)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError, RecursionError, OverflowError) as error:
        message = str(error) if str(error).startswith(_PREFIX) else f"{_PREFIX}invalid estimator state: {error}"
        raise ValueError(message) from error
    if not is_estimator(estimator):
        raise ValueError(f"{_PREFIX}the file holds a {type(estimator).__name__}, not a korvane estimator")
    return estimator


def _sections(data: memoryview) -> tuple[bytes, memoryview]:
    """The description and the blobs of a checked file."""
    if len(data) < 12:
        raise ValueError(f"{_PREFIX}truncated: {len(data)} bytes hold no format version")
    version = int.from_bytes(data[8:12], "little")
    if version != VERSION:
        raise ValueError(
            f"{_PREFIX}unsupported estimator format version {version}; this korvane reads version {VERSION}"
        )
    least = _HEADER.size + _DIGEST_SIZE
    if len(data) < least:
        raise ValueError(f"{_PREFIX}truncated: {len(data)} bytes are fewer than the {least} of a header and digest")
    _, _, reserved, size, text_size = _HEADER.unpack(data[: _HEADER.size])
    if size > len(data):
        raise ValueError(f"{_PREFIX}truncated: the header declares {size} bytes but only {len(data)} are present")
    if size < len(data):
        raise ValueError(f"{_PREFIX}{len(data) - size} unexpected bytes follow the end of the model")
    if hashlib.sha256(data[:-_DIGEST_SIZE]).digest() != data[-_DIGEST_SIZE:]:
        raise ValueError(f"{_PREFIX}checksum mismatch: the data is corrupted")
    if reserved != 0:
        raise ValueError(f"{_PREFIX}reserved header bytes are not zero")
    end = len(data) - _DIGEST_SIZE
    if text_size > end - _HEADER.size:
        remain = end - _HEADER.size
        raise ValueError(f"{_PREFIX}the description needs {text_size} bytes but only {remain} remain")
    return bytes(data[_HEADER.size : _HEADER.size + text_size]), data[_HEADER.size + text_size : end]


class _Reader:
    """Rebuilds the values `_Writer` wrote, refusing anything it would not write."""

    def __init__(self, data: memoryview, blobs: Any) -> None:
        if type(blobs) is not list or not all(type(blob) is dict for blob in blobs):
            raise ValueError(f"{_PREFIX}the blob list is not a list of descriptions")
        sizes = [_count(blob["size"], "blob size") for blob in blobs]
        if sum(sizes) != len(data):
            raise ValueError(f"{_PREFIX}the blobs declare {sum(sizes)} bytes but {len(data)} follow the description")
        ends = list(itertools.accumulate(sizes))
        self._pieces = [(blob, data[end - n : end]) for blob, end, n in zip(blobs, ends, sizes)]
        self._read: dict[int, Any] = {}

    def value(self, node: Any, depth: int) -> Any:
        if depth > _MAX_DEPTH:
            raise ValueError(f"{_PREFIX}values are nested more than {_MAX_DEPTH} deep")
        if node is None or type(node) in (bool, int, str):
            return node
        if type(node) is list:
            return [self.value(item, depth + 1) for item in node]
        if type(node) is not dict:
            raise ValueError(f"{_PREFIX}unexpected value {node!r}")
        tag = "object" if "object" in node else next(iter(node), None)
        if tag not in _TAGS or set(node) != _TAGS[tag]:
            raise ValueError(f"{_PREFIX}unexpected value with keys {sorted(node)}")
        return getattr(self, f"_{tag}")(node, depth + 1)

    def _float(self, node: Any, depth: int) -> float:
        return float.fromhex(_typed(node["float"], str))

    def _tuple(self, node: Any, depth: int) -> tuple[Any, ...]:
        return tuple(self.value(item, depth) for item in _typed(node["tuple"], list))

    def _dict(self, node: Any, depth: int) -> dict[Any, Any]:
        pairs = [_typed(pair, list) for pair in _typed(node["dict"], list)]
        if any(len(pair) != 2 for pair in pairs):
            raise ValueError(f"{_PREFIX}a dict entry is not a key and a value")
        return {self.value(key, depth): self.value(item, depth) for key, item in pairs}

    def _texts(self, node: Any, depth: int) -> np.ndarray:
        texts = _typed(node["texts"], list)
        if not all(type(text) is str for text in texts):
            raise ValueError(f"{_PREFIX}an array of texts holds something else")
        array = np.empty(len(texts), dtype=object)
        array[:] = texts
        return array

    def _blob(self, node: Any, depth: int) -> Any:
        index = _count(node["blob"], "blob index")
        if index not in self._read:
            blob, data = self._pieces[index]
            self._read[index] = _array(blob, data) if blob.get("kind") != "model" else _model(blob, data)
        return self._read[index]

    def _scalar(self, node: Any, depth: int) -> Any:
        blob, data = self._pieces[_count(node["scalar"], "blob index")]
        # Checked before the blob is read: many scalars naming one large array
        # would otherwise copy it once each.
        if blob.get("shape") != []:
            raise ValueError(f"{_PREFIX}a scalar's blob is not a single value")
        return _array(blob, data)[()]

    def _rng(self, node: Any, depth: int) -> Any:
        state = _typed(self.value(node["state"], depth), dict)
        name = state.get("bit_generator")
        if name not in _BIT_GENERATORS:
            raise ValueError(f"{_PREFIX}unknown bit generator {name!r}")
        bit_generator = getattr(np.random, name)()
        if node["rng"] == "RandomState":
            source = np.random.RandomState(bit_generator)
            source.set_state(state)
            return source
        if node["rng"] != "Generator":
            raise ValueError(f"{_PREFIX}unknown random source {node['rng']!r}")
        bit_generator.state = state
        return np.random.Generator(bit_generator)

    def _object(self, node: Any, depth: int) -> Any:
        name = node["object"]
        if name not in _CLASSES:
            raise ValueError(f"{_PREFIX}the file names a class korvane does not load: {name!r}")
        fields = _typed(node["state"], dict)
        kind = _class(name)
        value = object.__new__(kind)
        value.__setstate__({key: self.value(item, depth) for key, item in fields.items()})
        return value


_TAGS = {
    "float": {"float"},
    "tuple": {"tuple"},
    "dict": {"dict"},
    "blob": {"blob"},
    "scalar": {"scalar"},
    "texts": {"texts"},
    "rng": {"rng", "state"},
    "object": {"object", "state"},
}


def _typed(value: Any, kind: type) -> Any:
    if type(value) is not kind:
        raise ValueError(f"{_PREFIX}expected a {kind.__name__}, got {type(value).__name__}")
    return value


def _count(value: Any, what: str) -> int:
    if type(value) is not int or value < 0:
        raise ValueError(f"{_PREFIX}{what} {value!r} is not a count")
    return value


def _array(blob: dict[str, Any], data: memoryview) -> np.ndarray:
    if set(blob) != {"kind", "size", "dtype", "shape", "fortran", "writeable"} or blob["kind"] != "array":
        raise ValueError(f"{_PREFIX}an array blob is described by {sorted(blob)}")
    dtype = np.dtype(_typed(blob["dtype"], str))
    if dtype.kind not in _ARRAY_KINDS or dtype.fields is not None or dtype.itemsize == 0:
        raise ValueError(f"{_PREFIX}arrays of {dtype} are not read")
    shape = [_count(n, "array dimension") for n in _typed(blob["shape"], list)]
    count = int(np.prod(shape, dtype=object)) if shape else 1
    if count * dtype.itemsize != len(data):
        raise ValueError(f"{_PREFIX}an array of shape {tuple(shape)} and {dtype} does not take {len(data)} bytes")
    order: Literal["C", "F"] = "F" if _typed(blob["fortran"], bool) else "C"
    flat = np.frombuffer(data, dtype=dtype, count=count)
    array: np.ndarray = np.array(flat.reshape(tuple(shape), order=order), order=order)
    array.flags.writeable = _typed(blob["writeable"], bool)
    return array


def _model(blob: dict[str, Any], data: memoryview) -> Any:
    if set(blob) != {"kind", "size"}:
        raise ValueError(f"{_PREFIX}a model blob is described by {sorted(blob)}")
    return _from_bytes(data)
