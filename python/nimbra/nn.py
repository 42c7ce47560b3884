"""Neural-network layers: the classes of ``_nimbra.nn``, importable by name
(``from nimbra.nn import Linear``), which the extension's attached submodule
is not, and :class:`Sequential`, a chain of layers."""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, SupportsIndex, TypeAlias, overload

from _nimbra import Tensor

if TYPE_CHECKING:
    # What type checkers and the API reference read: the stubs declare the
    # submodule as _nimbra.nn, which at run time is only an attribute.
    from _nimbra.nn import Linear, ReLU, Sigmoid
else:
    from _nimbra import nn as _nn

    Linear = _nn.Linear
    ReLU = _nn.ReLU
    Sigmoid = _nn.Sigmoid

__all__ = ["Linear", "ReLU", "Sigmoid", "Sequential"]

Layer: TypeAlias = Callable[[Tensor], Tensor]
"""Anything that maps a tensor to a tensor: the ``nn`` classes, functions
such as ``nimbra.sigmoid``, or ``functools.partial`` of them."""


class Sequential:
    """Layers applied one after the other.

    Parameters
    ----------
    *layers : Callable[[Tensor], Tensor]
        The layers, in the order they are applied: instances of the ``nn``
        classes, functions such as ``nimbra.sigmoid``, or
        ``functools.partial`` of them (``partial(nimbra.softmax, dim=1)``).

    Raises
    ------
    TypeError
        If a layer is not callable.

    Notes
    -----
    A ``Sequential`` never changes after it is made, like the layers it
    holds. It pickles when its layers do: the ``nn`` classes travel as their
    parameters, and ``nimbra`` functions by reference (by name).

    Examples
    --------
    >>> import nimbra
    >>> from nimbra.nn import Linear, ReLU, Sequential, Sigmoid
    >>> net = Sequential(Linear(4, 8), ReLU(), Linear(8, 3), Sigmoid())
    >>> net(nimbra.Tensor.rand([2, 4])).shape
    [2, 3]
    >>> len(net), net[1:3]
    (4, Sequential(ReLU(), Linear(in_features=8, out_features=3)))
    """

    __slots__ = ("_layers",)
    _layers: tuple[Layer, ...]

    def __init__(self, *layers: Layer) -> None:
        for index, layer in enumerate(layers):
            if not callable(layer):
                raise TypeError(
                    f"Sequential: layer {index} must be callable (a Tensor -> Tensor function or layer), "
                    f"not {type(layer).__name__}"
                )
        object.__setattr__(self, "_layers", layers)

    def forward(self, input: Tensor) -> Tensor:
        """Apply every layer in order.

        Parameters
        ----------
        input : Tensor
            The first layer's input.

        Returns
        -------
        Tensor
            The last layer's output (``input`` itself when there are no
            layers).
        """
        for layer in self._layers:
            input = layer(input)
        return input

    __call__ = forward

    @overload
    def __getitem__(self, index: SupportsIndex) -> Layer: ...
    @overload
    def __getitem__(self, index: slice) -> Sequential: ...
    def __getitem__(self, index: SupportsIndex | slice) -> Layer | Sequential:
        """The layer at ``index``, or a new ``Sequential`` of a slice of them."""
        if isinstance(index, slice):
            return Sequential(*self._layers[index])
        return self._layers[index]

    def __len__(self) -> int:
        return len(self._layers)

    def __iter__(self) -> Iterator[Layer]:
        return iter(self._layers)

    def __repr__(self) -> str:
        parts = [_layer_repr(layer) for layer in self._layers]
        name = type(self).__name__
        line = f"{name}({', '.join(parts)})"
        if len(line) <= 88:
            return line
        return f"{name}(\n" + "".join(f"  {part},\n" for part in parts) + ")"

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Sequential is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Sequential is immutable: cannot delete {name!r}")

    def __reduce__(self) -> tuple[type[Sequential], tuple[Layer, ...]]:
        return (Sequential, self._layers)

    # Nothing here changes after it is made, so a copy is the object itself.
    def __copy__(self) -> Sequential:
        return self

    def __deepcopy__(self, memo: dict[int, Any], /) -> Sequential:
        return self


def _layer_repr(layer: Any) -> str:
    """A layer as a reader would write it: the ``nn`` classes with their
    sizes, functions by the name they are imported under, partials with
    their arguments."""
    if isinstance(layer, Linear):
        return f"Linear(in_features={layer.in_features}, out_features={layer.out_features})"
    if isinstance(layer, (ReLU, Sigmoid)):
        return f"{type(layer).__name__}()"
    if isinstance(layer, functools.partial):
        args = [_layer_repr(layer.func)]
        args += [repr(a) for a in layer.args]
        args += [f"{k}={v!r}" for k, v in layer.keywords.items()]
        return f"partial({', '.join(args)})"
    module = getattr(layer, "__module__", None)
    name = getattr(layer, "__qualname__", None)
    if not isinstance(name, str) or "<" in name:
        return repr(layer)
    if not isinstance(module, str):  # a method of a built-in class
        return name
    if module.split(".")[0] == "nimbra":
        import nimbra

        if getattr(nimbra, name, None) is layer:
            return f"nimbra.{name}"
    return name if module == "builtins" else f"{module}.{name}"
