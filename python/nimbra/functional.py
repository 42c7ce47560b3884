"""Accurate activation functions.

Each result is within one unit in the last place of the exact mathematical
function (almost always the float32 nearest to it), computed without the
C library's math functions, and the same bits on every CPU, vector width,
worker count and batch size. They differ from the methods ``Tensor.sigmoid``
and ``Tensor.gelu``, which are fixed fast approximations, and from
``Tensor.softmax``, whose sums are float32; use these functions where a
result should match another framework's to float32 precision.

Large inputs are spread over the worker pool, small ones stay on the calling
thread; the split never changes a bit. Every function returns a new
contiguous tensor and leaves its argument as it was. All of them are plain
module-level functions, so they pickle by reference and fit
``functools.partial``.
"""

from __future__ import annotations

import operator
from typing import Literal, SupportsIndex

import _nimbra
from _nimbra import Tensor

__all__ = ["sigmoid", "tanh", "gelu", "softmax", "log_softmax"]

_GELU_FORMS = ("none", "tanh")


def _tensor(t: object, name: str) -> Tensor:
    if not isinstance(t, Tensor):
        raise TypeError(f"{name}() argument 't' must be a Tensor, not {type(t).__name__}")
    return t


def _dim(t: Tensor, dim: SupportsIndex, name: str) -> int:
    """dim counted from the front, after checking that t has it."""
    try:
        d = operator.index(dim)
    except TypeError:
        raise TypeError(f"{name}() argument 'dim' must be an integer, not {type(dim).__name__}") from None
    n = max(t.ndim, 1)  # a 0-d tensor is one slice of one element
    if not -n <= d < n:
        raise ValueError(f"{name}(): dim {d} is out of range for a {t.ndim}-d tensor (expected {-n} to {n - 1})")
    return d % n


def sigmoid(t: Tensor) -> Tensor:
    """The logistic function ``1 / (1 + exp(-t))`` of every element.

    Within one unit in the last place of the exact function for every
    float32 input (checked for all of them); ``sigmoid(-inf)`` is 0,
    ``sigmoid(inf)`` is 1 and NaN stays NaN. ``Tensor.sigmoid`` is the
    library's fixed fast approximation instead.

    Parameters
    ----------
    t : Tensor
        Any shape.

    Returns
    -------
    Tensor
        A new tensor of the same shape.

    Raises
    ------
    TypeError
        If `t` is not a Tensor.

    Examples
    --------
    >>> import nimbra
    >>> nimbra.sigmoid(nimbra.Tensor([0.0, -10.0], [2])).tolist()
    [0.5, 4.539786823443137e-05]
    """
    return _nimbra._sigmoid(_tensor(t, "sigmoid"))


def tanh(t: Tensor) -> Tensor:
    """The hyperbolic tangent of every element.

    Within one unit in the last place of the exact function for every
    float32 input (checked for all of them); odd, so ``tanh(-0.0)`` is
    -0.0; ``tanh(+-inf)`` is +-1 and NaN stays NaN.

    Parameters
    ----------
    t : Tensor
        Any shape.

    Returns
    -------
    Tensor
        A new tensor of the same shape.

    Raises
    ------
    TypeError
        If `t` is not a Tensor.

    Examples
    --------
    >>> import nimbra
    >>> nimbra.tanh(nimbra.Tensor([0.0, 1.0], [2])).tolist()
    [0.0, 0.7615941762924194]
    """
    return _nimbra._tanh(_tensor(t, "tanh"))


def gelu(t: Tensor, approximate: Literal["none", "tanh"] = "none") -> Tensor:
    """The Gaussian error linear unit of every element.

    With ``approximate="none"``, ``t * Phi(t)`` where ``Phi`` is the
    standard normal distribution function; with ``approximate="tanh"``,
    ``t / 2 * (1 + tanh(sqrt(2 / pi) * (t + 0.044715 * t**3)))`` with the
    exact constants (the two forms frameworks offer under these names).
    Each within one unit in the last place of its exact function for every
    float32 input (checked for all of them); ``gelu(-inf)`` is -0.0,
    ``gelu(inf)`` is inf and NaN stays NaN. ``Tensor.gelu`` is the
    library's fixed fast approximation instead.

    Parameters
    ----------
    t : Tensor
        Any shape.
    approximate : {"none", "tanh"}, default "none"
        Which of the two functions.

    Returns
    -------
    Tensor
        A new tensor of the same shape.

    Raises
    ------
    TypeError
        If `t` is not a Tensor.
    ValueError
        If `approximate` is neither ``"none"`` nor ``"tanh"``.

    Examples
    --------
    >>> import nimbra
    >>> x = nimbra.Tensor([-1.0, 1.0], [2])
    >>> nimbra.gelu(x).tolist()
    [-0.15865525603294373, 0.8413447737693787]
    >>> nimbra.gelu(x, approximate="tanh").tolist()
    [-0.15880800783634186, 0.8411920070648193]
    """
    t = _tensor(t, "gelu")
    if not isinstance(approximate, str) or approximate not in _GELU_FORMS:
        raise ValueError(f"gelu(): approximate must be 'none' or 'tanh', not {approximate!r}")
    return _nimbra._gelu(t, approximate == "tanh")


def _slices(t: object, dim: SupportsIndex, name: str, log: bool) -> Tensor:
    x = _tensor(t, name)
    d = _dim(x, dim, name)
    run = _nimbra._log_softmax if log else _nimbra._softmax
    if x.ndim == 0:
        return run(x.reshape([1]), 0).reshape([])
    return run(x, d)


def softmax(t: Tensor, dim: SupportsIndex) -> Tensor:
    """Normalised exponentials ``exp(t) / sum(exp(t))`` of every slice along `dim`.

    Every element within one unit in the last place of the exact value,
    checked for every float32 as one element of a slice beside fixed others.
    The exponentials and their sum are taken in double precision (the sum in
    ascending order along the slice), after subtracting the slice's maximum.
    A slice holding NaN or ``+inf``, or only ``-inf``, becomes NaN
    throughout; ``-inf`` beside finite values gives 0. ``Tensor.softmax``
    sums in float32 instead.

    Parameters
    ----------
    t : Tensor
        Any shape; a 0-d tensor is one slice of one element.
    dim : int
        The dimension the slices run along; negative values count from the
        end.

    Returns
    -------
    Tensor
        A new tensor of the same shape (empty if `t` has no elements).

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` not an integer.
    ValueError
        If `dim` is not one of `t`'s dimensions.

    Examples
    --------
    >>> import nimbra
    >>> nimbra.softmax(nimbra.Tensor([1.0, 2.0, 3.0], [3]), 0).tolist()
    [0.09003057330846786, 0.2447284758090973, 0.6652409434318542]
    """
    if type(t) is Tensor and type(dim) is int and 0 <= dim < t.ndim:  # the usual call, without the checks' frames
        return _nimbra._softmax(t, dim)
    return _slices(t, dim, "softmax", False)


def log_softmax(t: Tensor, dim: SupportsIndex) -> Tensor:
    """``t - log(sum(exp(t)))`` of every slice along `dim`.

    Every element within one unit in the last place of the exact value,
    checked for every float32 as one element of a slice beside fixed others;
    accurate also where the result is tiny (the slice's maximum beside much
    smaller values), unlike the logarithm of ``softmax``. A slice holding NaN
    or ``+inf``, or only ``-inf``, becomes NaN throughout; ``-inf`` beside
    finite values stays ``-inf``.

    Parameters
    ----------
    t : Tensor
        Any shape; a 0-d tensor is one slice of one element.
    dim : int
        The dimension the slices run along; negative values count from the
        end.

    Returns
    -------
    Tensor
        A new tensor of the same shape (empty if `t` has no elements).

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` not an integer.
    ValueError
        If `dim` is not one of `t`'s dimensions.

    Examples
    --------
    >>> import nimbra
    >>> nimbra.log_softmax(nimbra.Tensor([0.0, -50.0], [2]), 0).tolist()
    [-1.9287498933537385e-22, -50.0]
    """
    if type(t) is Tensor and type(dim) is int and 0 <= dim < t.ndim:
        return _nimbra._log_softmax(t, dim)
    return _slices(t, dim, "log_softmax", True)
