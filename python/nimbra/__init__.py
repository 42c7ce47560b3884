"""nimbra: float32 tensors and neural-network layers.

The same objects as the extension module ``_nimbra``, under the
distribution's own name: ``nimbra.Tensor is _nimbra.Tensor``, and
``nimbra.nn`` holds the classes of ``_nimbra.nn``.
"""

from _nimbra import Tensor, __version__

from . import nn

__all__ = ["Tensor", "nn", "__version__"]
