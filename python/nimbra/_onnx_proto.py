"""A reader of the part of the ONNX file format that feed-forward networks
use, in plain Python.

An ONNX file is one protocol-buffer message, ``ModelProto``. This module
decodes the wire format (varints, fixed-width numbers and length-delimited
fields) of the messages and fields listed below, skips every other field,
and hands tensor payloads out as ``memoryview`` slices of the source, so
weights reach ``Tensor.from_buffer`` without an intermediate copy. It
imports nothing beyond the standard library: reading a model costs neither
the ``onnx`` package nor NumPy.

Field numbers are those of ``onnx.proto`` (IR version 3 and later).
"""

from __future__ import annotations

import dataclasses
import struct
import sys
from typing import Union

Dim = Union[int, str, None]


class Malformed(ValueError):
    """The bytes are not a well-formed ONNX model."""


# Wire types.
_VARINT, _FIXED64, _BYTES, _FIXED32 = 0, 1, 2, 5

# TensorProto.DataType values.
FLOAT, UINT8, INT8, UINT16, INT16, INT32, INT64, STRING, BOOL, FLOAT16, DOUBLE = range(1, 12)
DTYPE_NAMES = {
    FLOAT: "float32", UINT8: "uint8", INT8: "int8", UINT16: "uint16", INT16: "int16",
    INT32: "int32", INT64: "int64", STRING: "string", BOOL: "bool", FLOAT16: "float16",
    DOUBLE: "float64", 12: "uint32", 13: "uint64", 14: "complex64", 15: "complex128",
    16: "bfloat16",
}
# The element types whose values this reader decodes: the typed field that
# holds them when raw_data is absent, and the struct format of one element
# in raw_data. float_data and double_data are fixed-width; the integer
# fields are varints.
_TYPED = {FLOAT: (4, "f"), DOUBLE: (10, "d"), INT32: (5, "i"), INT64: (7, "q"), UINT8: (5, "B"),
          INT8: (5, "b"), UINT16: (5, "H"), INT16: (5, "h"), BOOL: (5, "?")}

NATIVE_LITTLE_ENDIAN = sys.byteorder == "little"

Value = Union[int, memoryview]


def _varint(buf: memoryview, pos: int, end: int) -> tuple[int, int]:
    result = shift = 0
    while True:
        if pos >= end:
            raise Malformed("a number runs past the end of its message")
        byte = buf[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if byte < 0x80:
            return result, pos
        shift += 7
        if shift >= 70:
            raise Malformed("a number is longer than 10 bytes")


def _signed(value: int) -> int:
    """An int64's value (negative numbers travel as 64-bit two's complement)."""
    value &= (1 << 64) - 1
    return value - (1 << 64) if value >= 1 << 63 else value


class Message:
    """The fields of one message, by number, each a list of (wire type, value)
    in the order written: varints and fixed-width numbers as ints (the
    latter as their raw bits), length-delimited fields as memoryviews."""

    __slots__ = ("fields", "what")

    def __init__(self, buf: memoryview, what: str) -> None:
        self.what = what
        self.fields: dict[int, list[tuple[int, Value]]] = {}
        pos, end = 0, len(buf)
        while pos < end:
            key, pos = _varint(buf, pos, end)
            number, wire = key >> 3, key & 7
            if number == 0:
                raise Malformed(f"{what} has a field numbered 0")
            value: Value
            if wire == _VARINT:
                value, pos = _varint(buf, pos, end)
            elif wire == _BYTES:
                length, pos = _varint(buf, pos, end)
                if length > end - pos:
                    raise Malformed(f"a field of {what} runs past the end of its message")
                value = buf[pos:pos + length]
                pos += length
            elif wire in (_FIXED32, _FIXED64):
                size = 4 if wire == _FIXED32 else 8
                if size > end - pos:
                    raise Malformed(f"a field of {what} runs past the end of its message")
                value = int.from_bytes(buf[pos:pos + size], "little")
                pos += size
            else:
                raise Malformed(f"field {number} of {what} has wire type {wire}, which ONNX never writes")
            self.fields.setdefault(number, []).append((wire, value))

    def __contains__(self, number: int) -> bool:
        return number in self.fields

    def _all(self, number: int, wire: int, name: str) -> list[Value]:
        found = self.fields.get(number, [])
        if any(w != wire for w, _ in found):
            raise Malformed(f"{self.what}: {name} has the wrong wire type")
        return [v for _, v in found]

    def blobs(self, number: int, name: str) -> list[memoryview]:
        return [v for v in self._all(number, _BYTES, name) if isinstance(v, memoryview)]

    def blob(self, number: int, name: str) -> memoryview | None:
        found = self.blobs(number, name)
        return found[-1] if found else None  # as in protocol buffers, the last one wins

    def messages(self, number: int, name: str) -> list[Message]:
        return [Message(b, f"{name} of {self.what}") for b in self.blobs(number, name)]

    def message(self, number: int, name: str) -> Message | None:
        found = self.messages(number, name)
        return found[-1] if found else None

    def strings(self, number: int, name: str) -> list[str]:
        try:
            return [bytes(b).decode("utf-8") for b in self.blobs(number, name)]
        except UnicodeDecodeError:
            raise Malformed(f"{self.what}: {name} is not UTF-8 text") from None

    def string(self, number: int, name: str) -> str:
        found = self.strings(number, name)
        return found[-1] if found else ""

    def integer(self, number: int, name: str, default: int = 0) -> int:
        found = self._all(number, _VARINT, name)
        return _signed(int(found[-1])) if found else default

    def single(self, number: int, name: str) -> float:
        found = self._all(number, _FIXED32, name)
        return _unpack("<f", int(found[-1]), 4) if found else 0.0

    def ints(self, number: int, name: str) -> list[int]:
        """A repeated integer field, packed or not."""
        out: list[int] = []
        for wire, v in self.fields.get(number, []):
            if wire == _VARINT and isinstance(v, int):
                out.append(_signed(v))
            elif wire == _BYTES and isinstance(v, memoryview):
                pos, end = 0, len(v)
                while pos < end:
                    n, pos = _varint(v, pos, end)
                    out.append(_signed(n))
            else:
                raise Malformed(f"{self.what}: {name} has the wrong wire type")
        return out

    def reals(self, number: int, name: str, fmt: str) -> list[float]:
        """A repeated float ("f") or double ("d") field, packed or not."""
        size = struct.calcsize(fmt)
        out: list[float] = []
        for wire, v in self.fields.get(number, []):
            if wire == (_FIXED32 if size == 4 else _FIXED64) and isinstance(v, int):
                out.append(_unpack("<" + fmt, v, size))
            elif wire == _BYTES and isinstance(v, memoryview) and len(v) % size == 0:
                out.extend(struct.unpack(f"<{len(v) // size}{fmt}", v))
            else:
                raise Malformed(f"{self.what}: {name} has the wrong wire type or length")
        return out


def _unpack(fmt: str, bits: int, size: int) -> float:
    value: float = struct.unpack(fmt, bits.to_bytes(size, "little"))[0]
    return value


# ---------------------------------------------------------------------------
# The messages


@dataclasses.dataclass(frozen=True)
class TensorData:
    """A TensorProto: its name, dims and element type, and its elements.

    ``payload`` holds the elements' little-endian bytes (raw_data, packed
    float_data or double_data, or external data read by the caller);
    ``values`` holds them decoded instead where the file wrote them as
    varints or unpacked numbers. ``external`` holds the external-data
    entries when the elements live in another file.
    """

    name: str
    dims: tuple[int, ...]
    dtype: int
    payload: memoryview | bytes | None = None
    values: tuple[float, ...] | None = None
    external: dict[str, str] | None = None

    @property
    def numel(self) -> int:
        n = 1
        for d in self.dims:
            n *= d
        return n

    @property
    def format(self) -> str | None:
        """The struct format of one element, for the types this reader decodes."""
        typed = _TYPED.get(self.dtype)
        return typed[1] if typed else None

    def checked(self) -> TensorData:
        """Itself, after checking it holds as many elements as its dims say."""
        fmt = self.format
        if fmt is None or self.external is not None:
            return self
        have = len(self.payload) // struct.calcsize(fmt) if self.payload is not None else len(self.values or ())
        if (self.payload is not None and len(self.payload) % struct.calcsize(fmt)) or have != self.numel:
            raise Malformed(f"tensor {self.name!r} of shape {list(self.dims)} does not hold {self.numel} elements")
        return self

    def scalars(self) -> list[float]:
        """Every element as a Python number (for small constants, after
        checked())."""
        if self.values is not None:
            return list(self.values)
        fmt = self.format
        if fmt is None or self.payload is None:
            raise Malformed(f"tensor {self.name!r} holds {DTYPE_NAMES.get(self.dtype, self.dtype)}, not numbers")
        return list(struct.unpack(f"<{self.numel}{fmt}", self.payload))


def tensor(m: Message) -> TensorData:
    name = m.string(8, "name")
    dims = tuple(m.ints(1, "dims"))
    if any(d < 0 for d in dims):
        raise Malformed(f"tensor {name!r} has a negative dimension: {list(dims)}")
    dtype = m.integer(2, "data_type")
    if 3 in m:
        raise Malformed(f"tensor {name!r} is split into segments, which no current writer produces")
    if m.integer(14, "data_location") == 1:
        external = {e.string(1, "key"): e.string(2, "value") for e in m.messages(13, "external_data")}
        return TensorData(name, dims, dtype, external=external)
    raw = m.blob(9, "raw_data")
    if raw is not None:
        return TensorData(name, dims, dtype, payload=raw)
    typed = _TYPED.get(dtype)
    if typed is None:
        return TensorData(name, dims, dtype)
    number, fmt = typed
    found = m.fields.get(number, [])
    if fmt in "fd":
        if len(found) == 1 and found[0][0] == _BYTES and isinstance(found[0][1], memoryview):
            # Packed floats and doubles are little-endian fixed-width numbers,
            # laid out as raw_data would be.
            return TensorData(name, dims, dtype, payload=found[0][1])
        return TensorData(name, dims, dtype, values=tuple(m.reals(number, "typed data", fmt)))
    return TensorData(name, dims, dtype, values=tuple(float(v) for v in m.ints(number, "typed data")))


@dataclasses.dataclass(frozen=True)
class Attribute:
    name: str
    message: Message

    def value(self) -> float | int | bytes | TensorData | list[int] | list[float]:
        """The value of the field the attribute's type names (or, when the
        writer left the type out, of the one field that is set)."""
        m = self.message
        kind = m.integer(20, "type")
        number = {1: 2, 2: 3, 3: 4, 4: 5, 6: 7, 7: 8}.get(kind)
        if number is None:
            number = next((n for n in (2, 3, 4, 5, 7, 8) if n in m), 0)
        if number == 2:
            return m.single(2, "f")
        if number == 3:
            return m.integer(3, "i")
        if number == 4:
            return bytes(m.blob(4, "s") or b"")
        if number == 5:
            t = m.message(5, "t")
            if t is None:
                raise Malformed(f"attribute {self.name!r} has no tensor")
            return tensor(t)
        if number == 7:
            return m.reals(7, "floats", "f")
        if number == 8:
            return m.ints(8, "ints")
        raise Malformed(f"attribute {self.name!r} has no value of a kind this reader knows")


@dataclasses.dataclass(frozen=True)
class Node:
    position: int
    name: str
    op_type: str
    domain: str
    inputs: tuple[str, ...]
    outputs: tuple[str, ...]
    attributes: dict[str, Attribute]

    @property
    def standard(self) -> bool:
        return self.domain in ("", "ai.onnx")

    def describe(self) -> str:
        op = self.op_type if self.standard else f"{self.domain}.{self.op_type}"
        return f"node {self.name!r} ({op}, position {self.position})"


def node(m: Message, position: int) -> Node:
    attributes = {}
    for a in m.messages(5, "attribute"):
        name = a.string(1, "name")
        attributes[name] = Attribute(name, a)
    return Node(position, m.string(3, "name"), m.string(4, "op_type"), m.string(7, "domain"),
                tuple(m.strings(1, "input")), tuple(m.strings(2, "output")), attributes)


@dataclasses.dataclass(frozen=True)
class ValueInfo:
    name: str
    dtype: int | None  # None without type information, -1 for a value that is not a tensor
    shape: tuple[Dim, ...] | None


def value_info(m: Message) -> ValueInfo:
    name = m.string(1, "name")
    dtype: int | None = None
    shape: tuple[Dim, ...] | None = None
    t = m.message(2, "type")
    tt = t.message(1, "tensor_type") if t is not None else None
    if t is not None and tt is None:
        dtype = -1  # a sequence, map or other value that is not a tensor
    if tt is not None:
        dtype = tt.integer(1, "elem_type")
        s = tt.message(2, "shape")
        if s is not None:
            dims: list[Dim] = []
            for d in s.messages(1, "dim"):
                dims.append(d.integer(1, "dim_value") if 1 in d else d.string(2, "dim_param") if 2 in d else None)
            shape = tuple(dims)
    return ValueInfo(name, dtype, shape)


@dataclasses.dataclass(frozen=True)
class Graph:
    nodes: tuple[Node, ...]
    initializers: dict[str, TensorData]
    inputs: tuple[ValueInfo, ...]
    outputs: tuple[ValueInfo, ...]
    has_sparse_initializers: bool


@dataclasses.dataclass(frozen=True)
class Model:
    graph: Graph
    opsets: dict[str, int]


def model(source: bytes | bytearray | memoryview) -> Model:
    """Decodes a ModelProto; Malformed (a ValueError) when it is not one."""
    top = Message(memoryview(source).cast("B"), "the model")
    g = top.message(7, "graph")
    if g is None:
        raise Malformed("the model has no graph")
    opsets = {e.string(1, "domain"): e.integer(2, "version") for e in top.messages(8, "opset_import")}
    initializers = {}
    for t in g.messages(5, "initializer"):
        data = tensor(t)
        initializers[data.name] = data
    graph = Graph(
        tuple(node(n, i) for i, n in enumerate(g.messages(1, "node"))),
        initializers,
        tuple(value_info(v) for v in g.messages(11, "input")),
        tuple(value_info(v) for v in g.messages(12, "output")),
        15 in g,
    )
    return Model(graph, opsets)
