"""Neural-network layers: the classes of ``_nimbra.nn``, importable by name
(``from nimbra.nn import Linear``), which the extension's attached submodule
is not."""

from _nimbra import nn as _nn

Linear = _nn.Linear
ReLU = _nn.ReLU
Sigmoid = _nn.Sigmoid

__all__ = ["Linear", "ReLU", "Sigmoid"]
