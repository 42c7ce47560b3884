"""Running trained networks saved in the ONNX format.

:func:`load` turns the feed-forward graph of a multilayer perceptron, as
PyTorch's exporter and skl2onnx write it, into a :class:`Model`: a
:class:`nimbra.nn.Sequential` of nimbra layers that also keeps the graph's
input and output names and shapes.

The file is read by a small reader of the ONNX format included here, so
loading a model imports neither the ``onnx`` package nor NumPy; ``onnx``
(the ``nimbra[onnx]`` extra) is needed only to build models or to pass an
``onnx.ModelProto``.
"""

from __future__ import annotations

import array
import dataclasses
import functools
import math
import os
from collections.abc import Iterable
from typing import Any, Literal, NamedTuple, Protocol, TypeVar, Union

import nimbra
from _nimbra import Tensor

from . import _onnx_gelu, _onnx_proto
from ._onnx_proto import DTYPE_NAMES, Dim, Node, TensorData
from .nn import Layer, Linear, ReLU, Sequential

__all__ = ["load", "Model", "TensorInfo", "Flatten", "Reshape"]


class _ModelProto(Protocol):
    def SerializeToString(self) -> bytes: ...


_A = TypeVar("_A", int, float, bytes)


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, _ModelProto]


class TensorInfo(NamedTuple):
    """A graph input or output as the model file declares it.

    Attributes
    ----------
    name : str
        The value's name in the graph.
    shape : tuple of (int or str or None), or None
        Its dimensions: a size, the name of a symbolic size (such as
        ``"batch"``), or None where the file gives neither; None when the
        file gives no shape at all.
    dtype : str
        Its element type, such as ``"float32"``.
    """

    name: str
    shape: tuple[Dim, ...] | None
    dtype: str


class Model(Sequential):
    """The layers of an imported graph, with its inputs and outputs.

    A :class:`nimbra.nn.Sequential` (call it on a tensor, index it, pickle
    it) whose ``inputs`` and ``outputs`` describe the graph it came from.

    Attributes
    ----------
    inputs : tuple of TensorInfo
        The graph's input (one).
    outputs : tuple of TensorInfo
        The graph's output (one).
    """

    __slots__ = ("inputs", "outputs")
    inputs: tuple[TensorInfo, ...]
    outputs: tuple[TensorInfo, ...]

    def __init__(self, *layers: Layer, inputs: Iterable[TensorInfo] = (), outputs: Iterable[TensorInfo] = ()) -> None:
        super().__init__(*layers)
        object.__setattr__(self, "inputs", tuple(inputs))
        object.__setattr__(self, "outputs", tuple(outputs))

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_model, (tuple(self), self.inputs, self.outputs))


def _rebuild_model(layers: tuple[Layer, ...], inputs: tuple[TensorInfo, ...], outputs: tuple[TensorInfo, ...]) -> Model:
    return Model(*layers, inputs=inputs, outputs=outputs)


@dataclasses.dataclass(frozen=True, slots=True)
class Flatten:
    """ONNX ``Flatten``: a tensor of shape [d0, ..., dn] as the matrix
    [d0 * ... * d(axis-1), d(axis) * ... * dn], a view where the layout allows.

    Parameters
    ----------
    axis : int
        Where the second dimension begins; negative counts from the end.
    """

    axis: int = 1

    def __call__(self, input: Tensor) -> Tensor:
        shape = input.shape
        axis = self.axis + len(shape) if self.axis < 0 else self.axis
        if not 0 <= axis <= len(shape):
            raise ValueError(f"Flatten: axis {self.axis} is out of range for a tensor of shape {shape}")
        return input.reshape([math.prod(shape[:axis]), math.prod(shape[axis:])])


@dataclasses.dataclass(frozen=True, slots=True)
class Reshape:
    """ONNX ``Reshape`` to a fixed target: 0 keeps the input's size at that
    position, -1 takes whatever size the element count leaves.

    Parameters
    ----------
    shape : tuple of int
        The target, such as ``(-1, 784)`` or ``(0, -1)``.
    """

    shape: tuple[int, ...]

    def __post_init__(self) -> None:
        if self.shape.count(-1) > 1 or any(d < -1 for d in self.shape):
            raise ValueError(f"Reshape: a target holds sizes >= 0 and at most one -1, got {list(self.shape)}")

    def __call__(self, input: Tensor) -> Tensor:
        given = input.shape
        if any(d == 0 and i >= len(given) for i, d in enumerate(self.shape)):
            raise ValueError(f"Reshape: target {list(self.shape)} copies a dimension that shape {given} lacks")
        out = [given[i] if d == 0 else d for i, d in enumerate(self.shape)]
        if -1 in out:
            known = -math.prod(out)
            if known == 0 or input.size % known:
                raise ValueError(f"Reshape: cannot reshape a tensor of shape {given} to {list(self.shape)}")
            out[out.index(-1)] = input.size // known
        return input.reshape(out)


def load(source: Source) -> Model:
    """Load a feed-forward network from an ONNX model.

    Parameters
    ----------
    source : str, os.PathLike, bytes, bytearray, memoryview or onnx.ModelProto
        The model: a file's path, its contents, or the ``onnx`` package's
        in-memory form.

    Returns
    -------
    Model
        A :class:`nimbra.nn.Sequential` of the graph's layers, with the
        graph's input and output names and shapes in ``inputs`` and
        ``outputs``.

    Raises
    ------
    NotImplementedError
        If the graph holds a node this importer does not support (the
        message names the node, its operator and its position), or is not
        a chain of layers from one input to its output.
    ValueError
        If the bytes are not a well-formed ONNX model.
    TypeError
        If ``source`` is of another type.
    OSError
        If the file cannot be read.

    Notes
    -----
    Supported: ``Gemm`` (any ``transA``, ``transB``, ``alpha``, ``beta``;
    folded into the weights of an :class:`nimbra.nn.Linear` once, here),
    ``MatMul`` with a constant right operand, followed or not by an ``Add``
    of a bias row (one ``Linear``), ``Relu``, ``Sigmoid``, ``Tanh``,
    ``Gelu`` and the ``Erf`` and ``Tanh`` subgraphs exporters write for it,
    ``Softmax`` and ``LogSoftmax`` on any axis, ``Flatten``, ``Reshape`` to
    a constant target, ``Identity``, ``Cast`` to float32 and ``Dropout`` (as
    in inference). Of a graph with several outputs, such as a classifier's
    labels and probabilities, the one float32 tensor is imported, without
    the nodes that only feed the others.
    Sigmoid, Tanh, GELU, softmax and log-softmax are the accurate
    functions ``nimbra.sigmoid``, ``nimbra.tanh``, ``nimbra.gelu``,
    ``nimbra.softmax`` and ``nimbra.log_softmax``.

    Examples
    --------
    >>> import nimbra
    >>> model = nimbra.onnx.load("mlp.onnx")            # doctest: +SKIP
    >>> probabilities = model(nimbra.Tensor.from_buffer(batch))  # doctest: +SKIP
    >>> classes = nimbra.argmax(probabilities, dim=1)   # doctest: +SKIP
    """
    base: str | None = None
    data: bytes | bytearray | memoryview
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        with open(path, "rb") as f:
            data = f.read()
        base = os.path.dirname(os.path.abspath(path))
    elif isinstance(source, (bytes, bytearray, memoryview)):
        data = source
    elif type(source).__name__ == "ModelProto" and callable(getattr(source, "SerializeToString", None)):
        data = source.SerializeToString()
    else:
        raise TypeError(
            f"nimbra.onnx.load: source must be a path, bytes or an onnx.ModelProto, not {type(source).__name__}"
        )
    try:
        model = _onnx_proto.model(data)
        return _Importer(model, base).run()
    except _onnx_proto.Malformed as e:
        raise ValueError(f"nimbra.onnx.load: not a well-formed ONNX model: {e}") from None


def _unsupported(node: Node, why: str) -> NotImplementedError:
    return NotImplementedError(f"nimbra.onnx.load: cannot import {node.describe()}: {why}")


class _Importer:
    """Walks the graph's nodes in order, following the chain of values from
    the graph's input, and makes one layer (or none) per node or pattern."""

    def __init__(self, model: _onnx_proto.Model, base: str | None) -> None:
        self.graph = model.graph
        self.base = base
        opset = model.opsets.get("", model.opsets.get("ai.onnx"))
        if opset is None:
            raise _onnx_proto.Malformed("the model imports no version of the standard operator set")
        self.opset = opset
        self.consts: dict[str, TensorData] = dict(self.graph.initializers)
        self.tensors: dict[str, Tensor] = {}
        for n in self.graph.nodes:
            if n.op_type == "Constant" and n.standard:
                self._constant(n)
        self.output = self._output()
        self.needed = self._cone(self.output.name)
        self.consumers: dict[str, list[int]] = {}
        for n in self.graph.nodes:
            if n.position in self.needed:
                for name in n.inputs:
                    if name:
                        self.consumers.setdefault(name, []).append(n.position)
        self.outputs = frozenset({self.output.name})

    def _output(self) -> _onnx_proto.ValueInfo:
        """The graph's output, or of several its one float32 tensor (a
        classifier's probabilities beside its labels)."""
        outputs = self.graph.outputs
        found = outputs if len(outputs) == 1 else [o for o in outputs if o.dtype == _onnx_proto.FLOAT]
        if len(found) != 1:
            raise NotImplementedError(
                f"nimbra.onnx.load: a graph needs one output, or one float32 tensor among its outputs; this one "
                f"has {[(o.name, DTYPE_NAMES.get(o.dtype or 0, 'of another type')) for o in outputs]}"
            )
        return found[0]

    def _cone(self, name: str) -> set[int]:
        """The positions of the nodes the value `name` is computed from."""
        producer = {out: n for n in self.graph.nodes for out in n.outputs if out}
        needed: set[int] = set()
        stack = [name]
        while stack:
            n = producer.get(stack.pop())
            if n is not None and n.position not in needed:
                needed.add(n.position)
                stack.extend(i for i in n.inputs if i)
        return needed

    # ---- the walk ----------------------------------------------------------

    def run(self) -> Model:
        g = self.graph
        inputs = [v for v in g.inputs if v.name not in self.consts]
        if len(inputs) != 1:
            raise NotImplementedError(
                f"nimbra.onnx.load: only graphs with one input are supported; this one has "
                f"{[v.name for v in inputs]}"
            )
        for v in (inputs[0], self.output):
            if v.dtype not in (None, _onnx_proto.FLOAT):
                raise NotImplementedError(
                    f"nimbra.onnx.load: the graph's {'input' if v is inputs[0] else 'output'} {v.name!r} holds "
                    f"{DTYPE_NAMES.get(v.dtype, 'values of another type')}, not float32"
                )
        if g.has_sparse_initializers:
            raise NotImplementedError("nimbra.onnx.load: sparse initializers are not supported")
        self.current = inputs[0].name
        self.rank = len(inputs[0].shape) if inputs[0].shape is not None else None
        layers: list[Layer] = []
        skip: set[int] = set()
        for n in g.nodes:
            if n.position in skip or n.position not in self.needed:
                continue
            if n.op_type == "Constant" and n.standard:
                continue
            layers.extend(self._node(n, skip))
        if self.current != self.output.name:
            raise NotImplementedError(
                f"nimbra.onnx.load: the graph's output {self.output.name!r} is not the end of its chain of "
                f"nodes (which ends in {self.current!r})"
            )
        return Model(*layers, inputs=[self._info(inputs[0])], outputs=[self._info(self.output)])

    @staticmethod
    def _info(v: _onnx_proto.ValueInfo) -> TensorInfo:
        return TensorInfo(v.name, v.shape, DTYPE_NAMES.get(v.dtype or _onnx_proto.FLOAT, str(v.dtype)))

    def _node(self, n: Node, skip: set[int]) -> list[Layer]:
        data = [name for name in n.inputs if name and name not in self.consts]
        if not data:
            raise _unsupported(n, "it computes only from constants, outside the chain of layers")
        if any(name != self.current for name in data):
            stray = next(name for name in data if name != self.current)
            raise _unsupported(
                n, f"it reads {stray!r}, which is not the output of the layer before it (only chains of layers "
                   f"are supported)"
            )
        if not n.standard:
            raise _unsupported(n, f"operators of the domain {n.domain!r} are not supported")
        if n.inputs[0] != self.current and n.op_type not in _onnx_gelu.MATH_OPS:
            raise _unsupported(n, "the chain's value must be its first input")
        convert = _CONVERTERS.get(n.op_type)
        if convert is not None:
            return convert(self, n, skip)
        if n.op_type in _onnx_gelu.MATH_OPS:
            found = _onnx_gelu.match(
                self.graph.nodes, n.position, self.current, self._scalar, self.consumers, self.outputs
            )
            if found is None:
                raise _unsupported(
                    n, f"element-wise {n.op_type} on the data is supported only as part of a GELU subgraph, "
                       f"and none begins here"
                )
            form, end, positions = found
            skip.update(positions)
            self.current = end
            return [_gelu(form)]
        raise _unsupported(n, "this operator is not supported")

    def _advance(self, n: Node, layers: list[Layer], rank: int | None = -1) -> list[Layer]:
        """The node's first output becomes the chain's value; `rank` its rank
        (-1: unchanged)."""
        if len(n.outputs) < 1 or not n.outputs[0]:
            raise _unsupported(n, "it has no output")
        self.current = n.outputs[0]
        if rank != -1:
            self.rank = rank
        return layers

    # ---- constants -----------------------------------------------------------

    def _constant(self, n: Node) -> None:
        if len(n.outputs) != 1 or len(n.attributes) != 1:
            raise _onnx_proto.Malformed(f"{n.describe()} must have one output and one attribute")
        (name, attribute), = n.attributes.items()
        value = attribute.value()
        if name == "value" and isinstance(value, TensorData):
            self.consts[n.outputs[0]] = value
        elif name in ("value_float", "value_int") and isinstance(value, (int, float)):
            dtype = _onnx_proto.FLOAT if name == "value_float" else _onnx_proto.INT64
            self.consts[n.outputs[0]] = TensorData(n.outputs[0], (), dtype, values=(float(value),))
        elif name in ("value_floats", "value_ints") and isinstance(value, list):
            dtype = _onnx_proto.FLOAT if name == "value_floats" else _onnx_proto.INT64
            self.consts[n.outputs[0]] = TensorData(n.outputs[0], (len(value),), dtype, values=tuple(value))
        else:
            raise _unsupported(n, f"constants given as {name!r} are not supported")

    def _check(self, t: TensorData) -> TensorData:
        """The constant with its elements at hand and of the declared count."""
        return (self._external(t) if t.external is not None else t).checked()

    def _external(self, t: TensorData) -> TensorData:
        assert t.external is not None
        if self.base is None:
            raise ValueError(
                f"nimbra.onnx.load: tensor {t.name!r} is stored in an external file; load the model from its path"
            )
        location = t.external.get("location", "")
        path = os.path.normpath(os.path.join(self.base, location))
        if not location or os.path.isabs(location) or not path.startswith(self.base + os.sep):
            raise _onnx_proto.Malformed(f"tensor {t.name!r} names the external file {location!r}")
        try:
            offset = int(t.external.get("offset", "0"))
            length = int(t.external["length"]) if "length" in t.external else -1
        except ValueError:
            raise _onnx_proto.Malformed(f"tensor {t.name!r} has a malformed external offset or length") from None
        with open(path, "rb") as f:
            f.seek(offset)
            payload = f.read(length)
        if length >= 0 and len(payload) != length:
            raise _onnx_proto.Malformed(f"the external file {location!r} ends before tensor {t.name!r}")
        return TensorData(t.name, t.dims, t.dtype, payload=payload)

    def _scalar(self, name: str) -> float | None:
        t = self.consts.get(name)
        if t is None or t.numel != 1 or t.format is None:
            return None
        return float(self._check(t).scalars()[0])

    def _ints(self, n: Node, name: str) -> list[int]:
        t = self.consts.get(name)
        if t is None or t.dtype not in (_onnx_proto.INT64, _onnx_proto.INT32):
            raise _unsupported(n, f"its input {name!r} must be a constant of integers")
        return [int(v) for v in self._check(t).scalars()]

    def _rows(self, name: str, b: Tensor) -> Tensor:
        """The transpose of the constant matrix `name` (= `b`) in row-major
        order, made once: a layer given the transpose of a row-major matrix
        as its weight multiplies by that matrix, with no copy of its own."""
        key = name + "\0T"
        made = self.tensors.get(key)
        if made is None:
            made = self.tensors[key] = b.transpose(0, 1).reshape([b.shape[1], b.shape[0]])
        return made

    def _tensor(self, n: Node, name: str) -> Tensor:
        """The constant `name` as a tensor, made once per constant."""
        made = self.tensors.get(name)
        if made is not None:
            return made
        t = self.consts.get(name)
        if t is None:
            raise _unsupported(n, f"its input {name!r} must be a constant")
        if t.dtype not in (_onnx_proto.FLOAT, _onnx_proto.DOUBLE):
            raise _unsupported(
                n, f"its constant {name!r} holds {DTYPE_NAMES.get(t.dtype, t.dtype)}; float32 and float64 are supported"
            )
        t = self._check(t)
        if t.numel == 0:
            made = Tensor.zeros(list(t.dims))
        else:
            fmt: Literal["f", "d"] = "f" if t.dtype == _onnx_proto.FLOAT else "d"
            if t.values is not None:
                buf = memoryview(array.array(fmt, t.values)).cast("B")
            elif _onnx_proto.NATIVE_LITTLE_ENDIAN:
                assert t.payload is not None
                buf = memoryview(t.payload).cast("B")
            else:
                swapped = array.array(fmt, bytes(t.payload or b""))
                swapped.byteswap()
                buf = memoryview(swapped).cast("B")
            made = Tensor.from_buffer(buf.cast(fmt, list(t.dims)))
        self.tensors[name] = made
        return made

    # ---- attributes ----------------------------------------------------------

    @staticmethod
    def _attr(n: Node, name: str, default: _A) -> _A:
        """The node's attribute `name`, of the kind of `default` (a float
        attribute may be written as an integer), or `default` when absent."""
        a = n.attributes.get(name)
        if a is None:
            return default
        value = a.value()
        if isinstance(default, float) and isinstance(value, int):
            value = float(value)
        if type(value) is not type(default):
            raise _onnx_proto.Malformed(f"{n.describe()}: its attribute {name!r} is not a {type(default).__name__}")
        return value

    # ---- the layers ------------------------------------------------------------

    def _linear(self, n: Node, weight: Tensor, bias: Tensor | None) -> Linear:
        out = weight.shape[0]
        if bias is None:
            bias = Tensor.zeros([out])
        elif bias.shape != [out]:
            if bias.size != 1 and bias.shape[-1:] != [out] or any(d != 1 for d in bias.shape[:-1]):
                raise _unsupported(
                    n, f"its bias of shape {bias.shape} is not a row of {out} values (one per output)"
                )
            bias = Tensor.zeros([out]) + bias.reshape([bias.size])
        return Linear.from_weights(weight, bias)

    def _gemm(self, n: Node, skip: set[int]) -> list[Layer]:
        if self.rank not in (None, 2):
            raise _unsupported(n, f"Gemm takes a matrix, and the chain's value here has {self.rank} dimensions")
        if len(n.inputs) < 2:
            raise _onnx_proto.Malformed(f"{n.describe()} has fewer than two inputs")
        alpha = self._attr(n, "alpha", 1.0)
        beta = self._attr(n, "beta", 1.0)
        b = self._tensor(n, n.inputs[1])
        if b.ndim != 2:
            raise _unsupported(n, f"its B has shape {b.shape}, not a matrix")
        # Y = A' B' (+ C): the layer multiplies by B' [in, out], and its
        # weight [out, in] is B'^T.
        if self._attr(n, "transB", 0):
            b = self._rows(n.inputs[1], b)
        if alpha != 1.0:
            b = b * Tensor([alpha], [1])
        weight = b.transpose(0, 1)
        bias = None
        if len(n.inputs) > 2 and n.inputs[2]:
            bias = self._tensor(n, n.inputs[2])
            if beta != 1.0:
                bias = bias * Tensor([beta], [1])
        layers: list[Layer] = []
        if self._attr(n, "transA", 0):
            layers.append(functools.partial(Tensor.transpose, dim0=0, dim1=1))
        layers.append(self._linear(n, weight, bias))
        return self._advance(n, layers, 2)

    def _matmul(self, n: Node, skip: set[int]) -> list[Layer]:
        if len(n.inputs) != 2 or n.inputs[1] not in self.consts:
            raise _unsupported(n, "only a product with a constant matrix on the right is supported")
        b = self._tensor(n, n.inputs[1])
        if b.ndim != 2:
            raise _unsupported(n, f"its right operand has shape {b.shape}, not a matrix")
        if self.rank is not None and self.rank < 2:
            raise _unsupported(n, "the chain's value here is not a matrix")
        bias = None
        out = n.outputs[0] if n.outputs else ""
        users = self.consumers.get(out, [])
        if len(users) == 1 and out not in self.outputs:
            add = self.graph.nodes[users[0]]
            other = [name for name in add.inputs if name != out]
            if (add.op_type == "Add" and add.standard and len(add.inputs) == 2 and len(other) == 1
                    and other[0] in self.consts):
                candidate = self._tensor(add, other[0])
                if candidate.ndim <= 1 or (candidate.ndim == 2 and candidate.shape[0] == 1):
                    bias = candidate
                    skip.add(add.position)
                    n = add
        return self._advance(n, [self._linear(n, b.transpose(0, 1), bias)])

    def _activation(self, n: Node, skip: set[int]) -> list[Layer]:
        layer: Layer
        if n.op_type == "Relu":
            layer = ReLU()
        elif n.op_type == "Sigmoid":
            layer = nimbra.sigmoid
        elif n.op_type == "Tanh":
            layer = nimbra.tanh
        else:
            approximate = self._attr(n, "approximate", b"none")
            if approximate not in (b"none", b"tanh"):
                raise _unsupported(n, f"approximate={approximate.decode(errors='replace')!r} is not a GELU")
            layer = _gelu(approximate.decode())
        return self._advance(n, [layer])

    def _axis(self, n: Node, default: int, past_end: int = 0) -> int:
        """The node's axis attribute, checked against the rank of the chain's
        value where it is known (an axis may equal the rank when
        `past_end` is 1)."""
        axis = self._attr(n, "axis", default)
        rank = self.rank if self.rank is not None else 1 << 30
        if not -rank <= axis < rank + past_end:
            raise _onnx_proto.Malformed(f"{n.describe()} has axis {axis}, beyond the {rank} dimensions of its input")
        return axis

    def _softmax(self, n: Node, skip: set[int]) -> list[Layer]:
        axis = self._axis(n, -1 if self.opset >= 13 else 1)
        if self.opset < 13 and axis != -1 and (self.rank is None or axis not in (self.rank - 1, -1)):
            # Before opset 13 the axis splits the shape into two, and the
            # normalisation runs over everything after it.
            raise _unsupported(n, f"before opset 13, {n.op_type} is supported only over the last dimension")
        function = nimbra.softmax if n.op_type == "Softmax" else nimbra.log_softmax
        return self._advance(n, [functools.partial(function, dim=axis)])

    def _flatten(self, n: Node, skip: set[int]) -> list[Layer]:
        return self._advance(n, [Flatten(self._axis(n, 1, past_end=1))], 2)

    def _reshape(self, n: Node, skip: set[int]) -> list[Layer]:
        if len(n.inputs) != 2:
            raise _unsupported(n, "only the two-input form of Reshape (opset 5 and later) is supported")
        target = self._ints(n, n.inputs[1])
        if self._attr(n, "allowzero", 0) and 0 in target:
            raise _unsupported(n, "allowzero=1 with a size of 0 in the target is not supported")
        try:
            layer = Reshape(tuple(target))
        except ValueError as e:
            raise _onnx_proto.Malformed(f"{n.describe()}: {e}") from None
        return self._advance(n, [layer], len(target))

    def _cast(self, n: Node, skip: set[int]) -> list[Layer]:
        to = self._attr(n, "to", 0)
        if to != _onnx_proto.FLOAT:
            raise _unsupported(n, f"a cast to {DTYPE_NAMES.get(to, to)}: the chain's values are float32")
        return self._advance(n, [])

    def _identity(self, n: Node, skip: set[int]) -> list[Layer]:
        if n.op_type == "Dropout":
            if len(n.outputs) > 1 and n.outputs[1] and (self.consumers.get(n.outputs[1]) or n.outputs[1] in self.outputs):
                raise _unsupported(n, "its mask output is used")
            if len(n.inputs) > 2 and n.inputs[2]:
                mode = self.consts.get(n.inputs[2])
                if mode is None or any(self._check(mode).scalars()):
                    raise _unsupported(n, "it runs in training mode")
        return self._advance(n, [])


def _gelu(approximate: str) -> Layer:
    form: Literal["none", "tanh"] = "tanh" if approximate == "tanh" else "none"
    return functools.partial(nimbra.gelu, approximate=form)


_CONVERTERS = {
    "Gemm": _Importer._gemm,
    "MatMul": _Importer._matmul,
    "Relu": _Importer._activation,
    "Sigmoid": _Importer._activation,
    "Tanh": _Importer._activation,
    "Gelu": _Importer._activation,
    "Softmax": _Importer._softmax,
    "LogSoftmax": _Importer._softmax,
    "Flatten": _Importer._flatten,
    "Reshape": _Importer._reshape,
    "Identity": _Importer._identity,
    "Cast": _Importer._cast,
    "Dropout": _Importer._identity,
}
