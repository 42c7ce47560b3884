"""Float32 tensors and neural-network layers, exact to the bit.

The extension module behind the ``nimbra`` package. It holds one class,
[`Tensor`][_nimbra.Tensor], and the submodule [`nn`][_nimbra.nn] with the
layers. Every result is computed in IEEE single precision in a fixed order
of operations, so it has the same bits on every CPU, vector width, thread
count and batch size.

Examples
--------
>>> from _nimbra import Tensor
>>> (Tensor([1, 2], [2]) + Tensor([10, 20], [2])).tolist()
[11.0, 22.0]
"""

import sys
from collections.abc import Iterator, Sequence
from types import EllipsisType
from typing import Any, Final, NoReturn, Protocol, SupportsIndex, final

from typing_extensions import Buffer, CapsuleType, TypeAlias

from . import nn as nn

__all__ = ["Tensor", "nn", "__version__"]

__version__: Final[str]
"""The version of the installed library, for example ``"0.1.0"``."""

# Numbers (anything float() or operator.index() accepts) or lists of them, to
# any depth; only lists are taken, never other sequences.
_NestedList: TypeAlias = list[Any]
_Shape: TypeAlias = Sequence[SupportsIndex]
if sys.version_info >= (3, 12):
    _BufferLike: TypeAlias = Buffer
else:
    # Before 3.12 the buffer protocol has no Python-level name, so stubs of
    # exporters such as NumPy's arrays do not declare it.
    _BufferLike: TypeAlias = Buffer | Any

# One entry of a basic index, and a whole index.
_IndexItem: TypeAlias = SupportsIndex | slice | EllipsisType | None
_Index: TypeAlias = _IndexItem | tuple[_IndexItem, ...]

class _DLPackProducer(Protocol):
    # Producers take keywords such as max_version as well; every one can be
    # called without any.
    def __dlpack__(self) -> object: ...

# The reductions of the nimbra package (nimbra.sum, ...): op is the code of
# sum, mean, max, min, argmax, argmin in that order.
def _reduce(op: int, t: Tensor, dim: SupportsIndex | None, keepdim: bool, /) -> Tensor: ...

@final
class Tensor:
    """An n-dimensional array of float32 values that never changes.

    A tensor has a shape (a list of sizes, outermost first; ``[]`` for a
    0-d tensor holding one value) and its elements. Operations return new
    tensors; [`transpose`][_nimbra.Tensor.transpose] and most
    [`reshape`][_nimbra.Tensor.reshape] calls return views that share the
    elements of their source. Tensors are immutable, so sharing is safe.

    Examples
    --------
    >>> from _nimbra import Tensor
    >>> t = Tensor([[1, 2, 3], [4, 5, 6]], [2, 3])
    >>> t
    Tensor(shape=[2, 3], dtype=f32)
    >>> t.tolist()
    [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    >>> Tensor([5.0], []).shape
    []
    """

    def __new__(cls, data: _NestedList, shape: _Shape) -> Tensor:
        """Make a tensor from numbers in nested lists and a shape.

        Parameters
        ----------
        data : list
            The elements in row-major order: numbers (anything ``float()``
            accepts), or lists of them nested to any depth. Only the total count
            of values matters; the nesting need not match the shape.
        shape : sequence of int
            The size of each dimension. Its product must equal the number of
            values.

        Returns
        -------
        Tensor
            A new contiguous tensor.

        Raises
        ------
        ValueError
            ``"Data must be a list"`` when `data` is not a list,
            ``"Invalid data type in list"`` for an item that is neither a number
            nor a list, and ``"Failed to create tensor: Invalid shape: ..."``
            when the number of values differs from the shape's element count.
        TypeError
            When `shape` is not a sequence of integers (a ``str`` is refused).
        OverflowError
            When a size is negative or does not fit in 64 bits.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([[1, 2], [3, 4, 5, 6]], [2, 3]).tolist()
        [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
        """

    @staticmethod
    def zeros(shape: _Shape) -> Tensor:
        """Create a tensor filled with zeros.

        Parameters
        ----------
        shape : sequence of int
            The size of each dimension; ``[]`` gives a 0-d tensor.

        Returns
        -------
        Tensor
            A new tensor of that shape whose elements are all ``+0.0``.

        Raises
        ------
        TypeError
            When `shape` is not a sequence of integers.
        OverflowError
            When a size is negative or does not fit in 64 bits.
        MemoryError
            When the elements cannot be allocated.
        ValueError
            When the byte count lies beyond the addressable range.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.zeros([2, 2]).tolist()
        [0.0, 0.0, 0.0, 0.0]
        """

    @staticmethod
    def ones(shape: _Shape) -> Tensor:
        """Create a tensor filled with ones.

        Parameters
        ----------
        shape : sequence of int
            The size of each dimension; ``[]`` gives a 0-d tensor.

        Returns
        -------
        Tensor
            A new tensor of that shape whose elements are all ``1.0``.

        Raises
        ------
        TypeError
            When `shape` is not a sequence of integers.
        OverflowError
            When a size is negative or does not fit in 64 bits.
        MemoryError
            When the elements cannot be allocated.
        ValueError
            When the byte count lies beyond the addressable range.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.ones([3]).tolist()
        [1.0, 1.0, 1.0]
        """

    @staticmethod
    def randn(shape: _Shape) -> Tensor:
        """Create a tensor of standard normal random values.

        The values (mean 0, standard deviation 1) come from the calling
        thread's generator, a ChaCha12 stream keyed from the operating
        system's random source. There is no seed: two calls, two processes
        or a parent and its forked child never repeat a stream.

        Parameters
        ----------
        shape : sequence of int
            The size of each dimension.

        Returns
        -------
        Tensor
            A new tensor of that shape.

        Raises
        ------
        TypeError
            When `shape` is not a sequence of integers.
        OverflowError
            When a size is negative or does not fit in 64 bits.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.randn([128]).shape
        [128]
        """

    @staticmethod
    def rand(shape: _Shape) -> Tensor:
        """Create a tensor of uniform random values in ``[0, 1)``.

        Drawn from the calling thread's generator, as
        [`randn`][_nimbra.Tensor.randn] is; 1.0 is never drawn.

        Parameters
        ----------
        shape : sequence of int
            The size of each dimension.

        Returns
        -------
        Tensor
            A new tensor of that shape.

        Raises
        ------
        TypeError
            When `shape` is not a sequence of integers.
        OverflowError
            When a size is negative or does not fit in 64 bits.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> all(0.0 <= v < 1.0 for v in Tensor.rand([100]).tolist())
        True
        """

    @staticmethod
    def from_buffer(obj: _BufferLike) -> Tensor:
        """Create a tensor from a copy of any buffer's elements, with its shape.

        Reads any object that exports a buffer: NumPy arrays,
        ``array.array``, ``memoryview``, ``bytes``, another tensor. Items may
        be float32, float64, or signed or unsigned integers of 1 to 8 bytes,
        in either byte order, at any strides (negative and zero too). Each
        becomes the nearest float32, as the constructor converts a Python
        number (64-bit integers through a double first). The elements are
        copied, since the source may change while a tensor never does.

        Parameters
        ----------
        obj : buffer
            The exporter. Its shape becomes the tensor's shape (0-d and empty
            buffers included).

        Returns
        -------
        Tensor
            A new contiguous tensor.

        Raises
        ------
        TypeError
            When `obj` exports no buffer, or its items are of another
            format (float16, bool, complex, structures).
        ValueError
            When the exporter describes its buffer inconsistently.

        Examples
        --------
        >>> import array
        >>> from _nimbra import Tensor
        >>> Tensor.from_buffer(array.array("d", [0.5, 2.0])).tolist()
        [0.5, 2.0]
        """

    @staticmethod
    def from_dlpack(obj: _DLPackProducer) -> Tensor:
        """Create a tensor from a copy of the elements of any DLPack producer.

        Reads NumPy arrays, PyTorch and JAX tensors and anything else with
        ``__dlpack__``, in the versioned form of DLPack 1.x or the older
        unversioned one, at any strides. The elements must be on the CPU and
        float32, float64, or signed or unsigned integers of 8 to 64 bits;
        each becomes the nearest float32 as in
        [`from_buffer`][_nimbra.Tensor.from_buffer]. The elements are copied,
        since the source may change while a tensor never does; the producer
        gets its memory back when the call returns.

        Parameters
        ----------
        obj : DLPack producer
            The source. Its shape becomes the tensor's shape.

        Returns
        -------
        Tensor
            A new contiguous tensor.

        Raises
        ------
        TypeError
            When `obj` has no ``__dlpack__``, or its elements are of another
            type (float16, bfloat16, bool, complex).
        BufferError
            When the elements are on another device than the CPU, or the
            producer exports a DLPack version this library cannot read.

        Examples
        --------
        >>> import numpy as np
        >>> from _nimbra import Tensor
        >>> Tensor.from_dlpack(np.arange(6, dtype=np.int64).reshape(2, 3)[:, ::2]).tolist()
        [0.0, 2.0, 3.0, 5.0]
        """

    @property
    def shape(self) -> list[int]:
        """The size of each dimension, outermost first (a new list).

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.zeros([2, 3]).shape
        [2, 3]
        """

    @property
    def ndim(self) -> int:
        """The number of dimensions (0 for a 0-d tensor).

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.zeros([2, 3]).ndim
        2
        """

    @property
    def size(self) -> int:
        """The number of elements: the product of the sizes (1 for a 0-d tensor).

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.zeros([2, 3]).size
        6
        """

    def matmul(self, other: Tensor) -> Tensor:
        """Matrix product, with broadcast batch dimensions; the same as ``self @ other``.

        Both operands need at least 2 dimensions. The last two are the
        matrices (``[n, k] @ [k, m]`` gives ``[n, m]``); the dimensions
        before them are batch dimensions and broadcast against each other
        as in [`+`][_nimbra.Tensor.__add__]. Each output element is one
        float32 sum over ``k`` in ascending order, so a batched product has
        the bits of the products of its matrices one by one.

        Parameters
        ----------
        other : Tensor
            The right operand.

        Returns
        -------
        Tensor
            A new tensor of shape ``batch + [n, m]``.

        Raises
        ------
        TypeError
            When `other` is not a tensor.
        ValueError
            ``"Matmul failed: ..."`` when an operand has fewer than 2
            dimensions, the inner sizes differ or the batch dimensions do
            not broadcast.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> a = Tensor([[1, 2], [3, 4]], [2, 2])
        >>> a.matmul(Tensor([1, 1], [2, 1])).tolist()
        [3.0, 7.0]
        """

    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """Swap two dimensions, as a view that shares this tensor's elements.

        Parameters
        ----------
        dim0, dim1 : int
            The two dimensions, from 0 (negative indices are not taken).

        Returns
        -------
        Tensor
            A view with the two sizes and strides swapped.

        Raises
        ------
        ValueError
            ``"Transpose failed: Dimension out of bounds: ..."`` when a
            dimension does not exist.
        TypeError
            When a dimension is not an integer.
        OverflowError
            When a dimension is negative.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([[1, 2, 3], [4, 5, 6]], [2, 3]).transpose(0, 1).tolist()
        [1.0, 4.0, 2.0, 5.0, 3.0, 6.0]
        """

    def reshape(self, shape: _Shape) -> Tensor:
        """The same elements, in row-major order, under another shape.

        A view that shares the elements when the layout allows it (always
        for a contiguous tensor), else a contiguous copy.

        Parameters
        ----------
        shape : sequence of int
            The new sizes; their product must equal
            [`size`][_nimbra.Tensor.size]. There is no ``-1`` wildcard.

        Returns
        -------
        Tensor
            A tensor of the new shape.

        Raises
        ------
        ValueError
            ``"Reshape failed: Invalid shape: ..."`` when the element counts
            differ.
        TypeError
            When `shape` is not a sequence of integers.
        OverflowError
            When a size is negative or does not fit in 64 bits.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([1, 2, 3, 4, 5, 6], [6]).reshape([3, 2]).shape
        [3, 2]
        """

    def relu(self) -> Tensor:
        """Rectified linear unit: ``x`` where ``x > 0``, else ``+0.0``.

        NaN and ``-0.0`` become ``+0.0``.

        Returns
        -------
        Tensor
            A new contiguous tensor of the same shape.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([-1.0, 0.0, 2.0], [3]).relu().tolist()
        [0.0, 0.0, 2.0]
        """

    def sigmoid(self) -> Tensor:
        """Logistic sigmoid ``1 / (1 + exp(-x))`` by a fixed fast approximation.

        The exponential is a degree-4 Taylor polynomial (its reciprocal for
        negative arguments) of the argument clamped to ``[-88, 88]``. The
        result is reproduced to the bit everywhere, but it is not the exact
        function: the largest absolute error against the exact sigmoid over
        every finite float32 is 1.07e-2 (at ``x = 3.52``), and 7.3e-4 for
        ``|x| <= 1``. The result never reaches 0 or 1: inputs of 88 and
        above give 0.99999964, inputs of -88 and below 3.8222333e-07.

        Returns
        -------
        Tensor
            A new contiguous tensor of the same shape.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([0.0, -2.0], [2]).sigmoid().tolist()
        [0.5, 0.125]
        """

    def gelu(self) -> Tensor:
        """Gaussian error linear unit ``x * Phi(x)`` by a fixed fast approximation.

        The tanh form ``0.5 * x * (1 + tanh(sqrt(2/pi) * (x + 0.044715 x^3)))``
        with tanh replaced by the rational function
        ``c (27 + c^2) / (27 + 9 c^2)`` of its argument clamped to
        ``[-3, 3]``. The result is reproduced to the bit everywhere, but it
        is not the exact function: the largest absolute error against the
        exact ``x * Phi(x)`` over every finite float32 is 2.17e-2 (at
        ``x = 1.96``), and 5.8e-3 for ``|x| <= 1``. For ``x >= 3`` the result
        is ``x`` itself, and for finite ``x <= -3`` it is ``-0.0``.

        Returns
        -------
        Tensor
            A new contiguous tensor of the same shape.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([0.0, 3.0, -3.0], [3]).gelu().tolist()
        [0.0, 3.0, -0.0]
        """

    def softmax(self, dim: SupportsIndex) -> Tensor:
        """Normalised exponentials along one dimension.

        Each slice along `dim` becomes ``exp(x - max) / sum(exp(x - max))``,
        with the maximum and the sum taken in ascending order along the
        slice. A slice holding NaN or ``+inf``, or only ``-inf``, becomes
        NaN throughout.

        Parameters
        ----------
        dim : int
            The dimension; negative values count from the end (``-1`` is the
            last).

        Returns
        -------
        Tensor
            A new contiguous tensor of the same shape.

        Raises
        ------
        ValueError
            ``"Softmax failed: ..."`` when `dim` names no dimension (any
            `dim` of a 0-d tensor) or when a size at or after `dim` is 0.
        TypeError
            When `dim` is not an integer.
        OverflowError
            When `dim` does not fit in 32 signed bits.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([1, 1, 1, 1], [2, 2]).softmax(-1).tolist()
        [0.5, 0.5, 0.5, 0.5]
        """

    def sum(self) -> Tensor:
        """The sum of all elements, as a 0-d tensor.

        One float32 accumulator, starting at ``-0.0``, adds the elements in
        row-major order, one at a time. An empty tensor sums to ``-0.0``.

        Returns
        -------
        Tensor
            A new 0-d tensor (shape ``[]``); ``float()`` gives its value.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> float(Tensor([1, 2, 3], [3]).sum())
        6.0
        """

    def mean(self) -> Tensor:
        """The mean of all elements, as a 0-d tensor.

        The [`sum`][_nimbra.Tensor.sum] divided by the element count (as the
        nearest float32) in one float32 division; NaN for an empty tensor.

        Returns
        -------
        Tensor
            A new 0-d tensor (shape ``[]``).

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> float(Tensor([1, 2, 3, 4], [2, 2]).mean())
        2.5
        """

    def tolist(self) -> list[float]:
        """The elements as a flat list of floats, in row-major order.

        The list is flat whatever the rank: a ``[2, 2]`` tensor gives four
        floats. Each float32 value is widened to a Python float exactly.

        Returns
        -------
        list of float
            A new list of [`size`][_nimbra.Tensor.size] floats.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor([0.1], [1]).tolist()
        [0.10000000149011612]
        """
    # Operands are tensors only; anything else gets NotImplemented.
    def __add__(self, other: Tensor, /) -> Tensor:
        """Element-wise sum with broadcasting: ``self + other``.

        Shapes are aligned from the right; each pair of sizes must be equal
        or one of them 1, and a missing dimension counts as 1. Both operands
        must be tensors (there are no scalar operands: use a 0-d tensor).
        Large operations run on the worker pool; the result does not depend
        on the number of workers.

        Returns
        -------
        Tensor
            A new contiguous tensor of the broadcast shape.

        Raises
        ------
        ValueError
            ``"Addition failed: Cannot broadcast shapes ..."`` when the shapes
            do not broadcast.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> (Tensor([1, 2, 3, 4], [2, 2]) + Tensor([10, 20], [2])).tolist()
        [11.0, 22.0, 13.0, 24.0]
        """

    def __radd__(self, other: Tensor, /) -> Tensor:
        """``other + self``; see [`__add__`][_nimbra.Tensor.__add__]."""

    def __sub__(self, other: Tensor, /) -> Tensor:
        """Element-wise difference with broadcasting: ``self - other``.

        Broadcasting as in [`__add__`][_nimbra.Tensor.__add__].

        Returns
        -------
        Tensor
            A new contiguous tensor of the broadcast shape.

        Raises
        ------
        ValueError
            ``"Subtraction failed: ..."`` when the shapes do not broadcast.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> (Tensor([5, 7], [2]) - Tensor([1], [1])).tolist()
        [4.0, 6.0]
        """

    def __rsub__(self, other: Tensor, /) -> Tensor:
        """``other - self``; see [`__sub__`][_nimbra.Tensor.__sub__]."""

    def __mul__(self, other: Tensor, /) -> Tensor:
        """Element-wise product with broadcasting: ``self * other``.

        Broadcasting as in [`__add__`][_nimbra.Tensor.__add__].

        Returns
        -------
        Tensor
            A new contiguous tensor of the broadcast shape.

        Raises
        ------
        ValueError
            ``"Multiplication failed: ..."`` when the shapes do not
            broadcast.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> (Tensor([1, 2], [2]) * Tensor([3.0], [])).tolist()
        [3.0, 6.0]
        """

    def __rmul__(self, other: Tensor, /) -> Tensor:
        """``other * self``; see [`__mul__`][_nimbra.Tensor.__mul__]."""

    def __matmul__(self, other: Tensor, /) -> Tensor:
        """Matrix product ``self @ other``; see [`matmul`][_nimbra.Tensor.matmul].

        Raises
        ------
        ValueError
            ``"Matmul failed: ..."`` when the shapes do not fit.
        """

    def __rmatmul__(self, other: Tensor, /) -> Tensor:
        """``other @ self``; see [`matmul`][_nimbra.Tensor.matmul]."""

    def __float__(self) -> float:
        """The value of a one-element tensor, such as a [`sum`][_nimbra.Tensor.sum].

        Returns
        -------
        float
            The element, widened exactly.

        Raises
        ------
        TypeError
            When the tensor does not have exactly one element.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> float(Tensor([2.5], [1, 1]))
        2.5
        """

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> Any:
        """The elements as a NumPy array: what ``np.asarray(t)`` and ``np.array(t)`` call.

        Without a copy the array is a read-only view of the tensor's
        elements, with its shape and strides; it keeps them alive after the
        tensor is gone. NumPy is imported by this method only.

        Parameters
        ----------
        dtype : data-type, optional
            The array's type; anything but ``None`` and ``float32`` means a
            converted copy.
        copy : bool, optional
            ``True`` always copies (the copy is writable), ``False`` never
            does, ``None`` copies only when `dtype` needs it.

        Returns
        -------
        numpy.ndarray
            The view or the copy.

        Raises
        ------
        BufferError
            When the tensor's sizes are too large to export (``[0, 2**63]``).
        ValueError
            When ``copy=False`` but `dtype` needs a copy, or the tensor has
            more dimensions than NumPy takes (64).

        Examples
        --------
        >>> import numpy as np
        >>> from _nimbra import Tensor
        >>> a = np.asarray(Tensor([[1, 2], [3, 4]], [2, 2]))
        >>> a.shape, a.flags.writeable
        ((2, 2), False)
        >>> np.array(Tensor([1, 2], [2]), dtype=np.float64, copy=True).tolist()
        [1.0, 2.0]
        """

    def __int__(self) -> int:
        """The value of a one-element tensor, truncated toward zero as ``int(float(t))`` does.

        Tensors have no ``__index__``, so they never pass as indices.

        Returns
        -------
        int
            The element without its fraction.

        Raises
        ------
        TypeError
            When the tensor does not have exactly one element.
        ValueError
            When the element is NaN.
        OverflowError
            When the element is infinite.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> int(Tensor([-2.75], []))
        -2
        """

    def __getitem__(self, key: _Index, /) -> Tensor:
        """A view of the elements `key` selects, as NumPy's basic indexing selects them.

        An integer (negative from the end) removes its dimension, a slice
        (any step, negative too) keeps part of it, ``...`` stands for every
        dimension not named and ``None`` inserts one of size 1; dimensions
        left over are kept whole. The view shares this tensor's memory: no
        element is copied. Iterating a tensor walks its first dimension
        through this method.

        Parameters
        ----------
        key : int, slice, ellipsis, None, or a tuple of them
            The index.

        Returns
        -------
        Tensor
            The view; an integer on every dimension gives a 0-d tensor.

        Raises
        ------
        IndexError
            When an integer lies outside its dimension, there are more
            indices than dimensions, or more than one ``...``.
        TypeError
            When an index is of another kind: floats, booleans, lists,
            tensors and arrays are not indices. Iterating a 0-d tensor
            raises it too.
        ValueError
            When a slice has the step 0.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> t = Tensor([[1, 2, 3], [4, 5, 6]], [2, 3])
        >>> t[1].tolist(), t[:, ::-2].tolist(), t[..., None].shape
        ([4.0, 5.0, 6.0], [3.0, 1.0, 6.0, 4.0], [2, 3, 1])
        """

    def __iter__(self) -> Iterator[Tensor]:
        """The views ``t[0]``, ``t[1]``, ... along the first dimension.

        Raises
        ------
        TypeError
            For a 0-d tensor, which has no dimension to walk.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> [row.tolist() for row in Tensor([[1, 2], [3, 4]], [2, 2])]
        [[1.0, 2.0], [3.0, 4.0]]
        """

    def __setitem__(self, key: _Index, value: object, /) -> NoReturn:
        """Always raises ``TypeError``: tensors are immutable."""

    def __delitem__(self, key: _Index, /) -> NoReturn:
        """Always raises ``TypeError``: tensors are immutable."""

    def __dlpack__(
        self,
        *,
        stream: int | None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> CapsuleType:
        """Export the elements as a DLPack capsule (for ``np.from_dlpack``, ``torch.from_dlpack``).

        A consumer of DLPack 1.0 or later gets the elements without a copy,
        flagged read-only; an older consumer, or ``copy=True``, gets a copy.
        The capsule keeps the elements alive after the tensor is gone.

        Parameters
        ----------
        stream : None
            Must be ``None``: the CPU has no streams.
        max_version : tuple of int, optional
            The newest DLPack version the consumer reads; ``None`` or a
            version below 1.0 gets the unversioned capsule.
        dl_device : tuple of int, optional
            Must be ``None`` or the CPU, ``(1, 0)``.
        copy : bool, optional
            ``True`` always copies, ``False`` never does (and needs
            DLPack 1.0), ``None`` copies only for an unversioned consumer.

        Returns
        -------
        capsule
            A ``"dltensor_versioned"`` or ``"dltensor"`` capsule.

        Raises
        ------
        BufferError
            For another device, or ``copy=False`` with an unversioned
            consumer, or a tensor whose geometry DLPack cannot express.
        ValueError
            When `stream` is not ``None``.

        Examples
        --------
        >>> import numpy as np
        >>> from _nimbra import Tensor
        >>> np.from_dlpack(Tensor([1, 2], [2])).tolist()
        [1.0, 2.0]
        """

    def __dlpack_device__(self) -> tuple[int, int]:
        """The DLPack device of the elements: ``(1, 0)``, the CPU.

        Examples
        --------
        >>> from _nimbra import Tensor
        >>> Tensor.zeros([1]).__dlpack_device__()
        (1, 0)
        """
    # Tensors never change, so a copy is the tensor itself.
    def __copy__(self) -> Tensor:
        """The tensor itself: tensors never change, so a copy would be equal forever."""

    def __deepcopy__(self, memo: dict[int, Any], /) -> Tensor:
        """The tensor itself, as [`__copy__`][_nimbra.Tensor.__copy__] gives."""
    # The interpreter names the buffer protocol from 3.12 on; 3.11 exports the
    # same buffer without these names.
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """Export the elements as a read-only buffer, without a copy.

            The buffer has format ``"f"``, the tensor's shape and its byte
            strides (a transposed view keeps its strides). This is what
            ``memoryview(t)`` and ``np.asarray(t)`` use.

            Raises
            ------
            BufferError
                For a writable request, or a contiguous request from a view
                that is not contiguous.
            """

        def __release_buffer__(self, buffer: memoryview, /) -> None:
            """Release a buffer made by [`__buffer__`][_nimbra.Tensor.__buffer__]."""

# The accurate activations behind nimbra.functional, which checks and
# documents the arguments.
def _sigmoid(t: Tensor) -> Tensor: ...
def _tanh(t: Tensor) -> Tensor: ...
def _gelu(t: Tensor, tanh: bool) -> Tensor: ...
def _softmax(t: Tensor, dim: SupportsIndex) -> Tensor: ...
def _log_softmax(t: Tensor, dim: SupportsIndex) -> Tensor: ...
