"""Neural-network layers: the classes of ``_nimbra.nn``, importable by name
(``from nimbra.nn import Linear``), which the extension's attached submodule
is not."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # What type checkers and the API reference read: the stubs declare the
    # submodule as _nimbra.nn, which at run time is only an attribute.
    from _nimbra.nn import Linear, ReLU, Sigmoid
else:
    from _nimbra import nn as _nn

    Linear = _nn.Linear
    ReLU = _nn.ReLU
    Sigmoid = _nn.Sigmoid

__all__ = ["Linear", "ReLU", "Sigmoid"]
