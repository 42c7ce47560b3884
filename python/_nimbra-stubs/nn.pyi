"""Neural-network layers: [`Linear`][_nimbra.nn.Linear], [`ReLU`][_nimbra.nn.ReLU] and [`Sigmoid`][_nimbra.nn.Sigmoid].

Each layer is applied with ``forward(input)`` or by calling it, and never
changes: there is no training state. The submodule is the attribute ``nn``
of ``_nimbra``; import its classes by name from ``nimbra.nn``.

Examples
--------
>>> from _nimbra import Tensor, nn
>>> nn.ReLU()(Tensor([-1.0, 1.0], [2])).tolist()
[0.0, 1.0]
"""

from typing import Any, SupportsIndex, final

from . import Tensor

__all__ = ["Linear", "ReLU", "Sigmoid"]

@final
class Linear:
    """Fully connected layer: ``forward(x)`` is ``x @ weight.T + bias``.

    The weight has shape ``[out_features, in_features]`` and the bias
    ``[out_features]``. A new layer draws them from the calling thread's
    random generator: the weight uniform in ``[-w, w)`` with
    ``w = sqrt(6 / in_features)`` and the bias uniform in ``[-c, c)`` with
    ``c = 1 / sqrt(in_features)``.
    [`from_weights`][_nimbra.nn.Linear.from_weights] makes a layer from
    given tensors instead.

    Examples
    --------
    >>> from _nimbra import Tensor, nn
    >>> layer = nn.Linear(3, 2)
    >>> layer.weight.shape, layer.bias.shape
    ([2, 3], [2])
    >>> layer(Tensor.ones([4, 3])).shape
    [4, 2]
    """

    def __new__(cls, in_features: SupportsIndex, out_features: SupportsIndex) -> Linear:
        """Make a layer with random weight and bias.

        Parameters
        ----------
        in_features : int
            The size of the last input dimension, at least 1.
        out_features : int
            The size of the last output dimension (0 is allowed).

        Returns
        -------
        Linear
            The layer.

        Raises
        ------
        ValueError
            When `in_features` is 0.
        TypeError
            When a size is not an integer.
        OverflowError
            When a size is negative or does not fit in 64 bits.
        """
    @staticmethod
    def from_weights(weight: Tensor, bias: Tensor) -> Linear:
        """Make a layer from a given weight and bias, without drawing random numbers.

        The layer shares the two tensors (nothing is copied).

        Parameters
        ----------
        weight : Tensor
            Shape ``[out_features, in_features]``, with ``in_features`` at
            least 1.
        bias : Tensor
            Shape ``[out_features]``.

        Returns
        -------
        Linear
            The layer.

        Raises
        ------
        ValueError
            ``"Linear.from_weights failed: ..."`` when the shapes do not fit
            together.
        TypeError
            When an argument is not a tensor.

        Examples
        --------
        >>> from _nimbra import Tensor, nn
        >>> layer = nn.Linear.from_weights(Tensor([1, 2], [1, 2]), Tensor([0.5], [1]))
        >>> layer(Tensor([1, 1], [1, 2])).tolist()
        [3.5]
        """

    @property
    def weight(self) -> Tensor:
        """The weight, shape ``[out_features, in_features]``."""

    @property
    def bias(self) -> Tensor:
        """The bias, shape ``[out_features]``."""

    @property
    def in_features(self) -> int:
        """The size of the last input dimension."""

    @property
    def out_features(self) -> int:
        """The size of the last output dimension."""

    def forward(self, input: Tensor) -> Tensor:
        """Apply the layer: ``input @ weight.T + bias``.

        Parameters
        ----------
        input : Tensor
            At least 2 dimensions, the last of size ``in_features``; the
            leading dimensions are batch dimensions.

        Returns
        -------
        Tensor
            The input's shape with the last size replaced by
            ``out_features``.

        Raises
        ------
        ValueError
            ``"Linear forward failed: ..."`` for an input of another shape.
        TypeError
            When `input` is not a tensor.

        Examples
        --------
        >>> from _nimbra import Tensor, nn
        >>> nn.Linear(3, 2).forward(Tensor.ones([5, 4, 3])).shape
        [5, 4, 2]
        """

    def __call__(self, input: Tensor) -> Tensor:
        """The same as [`forward`][_nimbra.nn.Linear.forward]."""

    def __copy__(self) -> Linear:
        """The layer itself: layers never change."""

    def __deepcopy__(self, memo: dict[int, Any], /) -> Linear:
        """The layer itself: layers never change."""

@final
class ReLU:
    """The rectified linear unit as a layer; see [`Tensor.relu`][_nimbra.Tensor.relu].

    Examples
    --------
    >>> from _nimbra import Tensor, nn
    >>> nn.ReLU().forward(Tensor([-2.0, 3.0], [2])).tolist()
    [0.0, 3.0]
    """

    def __new__(cls) -> ReLU: ...
    def forward(self, input: Tensor) -> Tensor:
        """Apply [`Tensor.relu`][_nimbra.Tensor.relu] to `input`.

        Parameters
        ----------
        input : Tensor
            Any shape.

        Returns
        -------
        Tensor
            A new tensor of the same shape.

        Raises
        ------
        TypeError
            When `input` is not a tensor.
        """

    def __call__(self, input: Tensor) -> Tensor:
        """The same as [`forward`][_nimbra.nn.ReLU.forward]."""

    def __copy__(self) -> ReLU:
        """The layer itself: layers never change."""

    def __deepcopy__(self, memo: dict[int, Any], /) -> ReLU:
        """The layer itself: layers never change."""

@final
class Sigmoid:
    """The logistic sigmoid as a layer; see [`Tensor.sigmoid`][_nimbra.Tensor.sigmoid] for its approximation and error bound.

    Examples
    --------
    >>> from _nimbra import Tensor, nn
    >>> nn.Sigmoid()(Tensor([0.0], [1])).tolist()
    [0.5]
    """

    def __new__(cls) -> Sigmoid: ...
    def forward(self, input: Tensor) -> Tensor:
        """Apply [`Tensor.sigmoid`][_nimbra.Tensor.sigmoid] to `input`.

        Parameters
        ----------
        input : Tensor
            Any shape.

        Returns
        -------
        Tensor
            A new tensor of the same shape.

        Raises
        ------
        TypeError
            When `input` is not a tensor.
        """

    def __call__(self, input: Tensor) -> Tensor:
        """The same as [`forward`][_nimbra.nn.Sigmoid.forward]."""

    def __copy__(self) -> Sigmoid:
        """The layer itself: layers never change."""

    def __deepcopy__(self, memo: dict[int, Any], /) -> Sigmoid:
        """The layer itself: layers never change."""
