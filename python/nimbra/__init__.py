"""nimbra: float32 tensors and neural-network layers.

The same objects as the extension module ``_nimbra``, under the
distribution's own name: ``nimbra.Tensor is _nimbra.Tensor``, and
``nimbra.nn`` holds the classes of ``_nimbra.nn``; beside them the
reductions along a dimension (``nimbra.sum``, ``nimbra.argmax``, ...),
the accurate activation functions of ``nimbra.functional``
(``nimbra.sigmoid``, ``nimbra.tanh``, ``nimbra.gelu``, ``nimbra.softmax``,
``nimbra.log_softmax``), and ``nimbra.onnx``, which loads trained networks
from ONNX files.
"""

from _nimbra import Tensor, __version__

from . import functional, nn
from .functional import gelu, log_softmax, sigmoid, softmax, tanh
from .reductions import argmax, argmin, max, mean, min, sum

__all__ = ["Tensor", "nn", "__version__", "sum", "mean", "max", "min", "argmax", "argmin",
           "functional", "sigmoid", "tanh", "gelu", "softmax", "log_softmax", "onnx"]

# Last: the importer reaches the functions above through the package.
from . import onnx  # noqa: E402
