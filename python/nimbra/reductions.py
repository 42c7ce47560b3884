"""Reductions along a dimension: ``sum``, ``mean``, ``max``, ``min``,
``argmax`` and ``argmin``.

Each reduces every slice of a tensor along one dimension in ascending
position, in float32, so a result has the same bits on every CPU, vector
width and thread count. ``dim=None`` reduces every element as one slice in
row-major order; for ``sum`` and ``mean`` that gives the bits of the methods
``Tensor.sum()`` and ``Tensor.mean()``.
"""

from typing import SupportsIndex

from _nimbra import Tensor, _reduce

__all__ = ["sum", "mean", "max", "min", "argmax", "argmin"]

# The codes of the reductions in _nimbra._reduce.
_SUM, _MEAN, _MAX, _MIN, _ARGMAX, _ARGMIN = range(6)

def sum(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Sum of the elements along a dimension.

    Each slice is added in ascending position as one float32 chain that
    starts from -0.0 (so an empty slice sums to -0.0); with `dim` None the
    result has the bits of ``t.sum()``.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The sums, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range.

    Examples
    --------
    >>> import nimbra
    >>> t = nimbra.Tensor([[1, 2, 3], [4, 5, 6]], [2, 3])
    >>> nimbra.sum(t, dim=0).tolist()
    [5.0, 7.0, 9.0]
    >>> nimbra.sum(t, dim=-1, keepdim=True).shape
    [2, 1]
    """
    return _reduce(_SUM, t, dim, keepdim)


def mean(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Mean of the elements along a dimension.

    Each slice's sum (as `sum` computes it) divided by the slice length
    rounded to float32; an empty slice gives NaN. With `dim` None the result
    has the bits of ``t.mean()``.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The means, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range.

    Examples
    --------
    >>> import nimbra
    >>> t = nimbra.Tensor([[1, 2, 3], [4, 5, 6]], [2, 3])
    >>> nimbra.mean(t, dim=1).tolist()
    [2.0, 5.0]
    """
    return _reduce(_MEAN, t, dim, keepdim)


def max(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Largest element along a dimension.

    NaN wins: a slice holding a NaN gives NaN. Of equal values the first is
    kept, so the result is always the element at ``argmax``.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The largest values, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range, or the reduced dimension is empty.

    Examples
    --------
    >>> import nimbra
    >>> t = nimbra.Tensor([[1, 5, 3], [4, 2, 6]], [2, 3])
    >>> nimbra.max(t, dim=1).tolist()
    [5.0, 6.0]
    """
    return _reduce(_MAX, t, dim, keepdim)


def min(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Smallest element along a dimension.

    NaN wins: a slice holding a NaN gives NaN. Of equal values the first is
    kept, so the result is always the element at ``argmin``.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The smallest values, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range, or the reduced dimension is empty.

    Examples
    --------
    >>> import nimbra
    >>> t = nimbra.Tensor([[1, 5, 3], [4, 2, 6]], [2, 3])
    >>> nimbra.min(t, dim=0).tolist()
    [1.0, 2.0, 3.0]
    """
    return _reduce(_MIN, t, dim, keepdim)


def argmax(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Position of the largest element along a dimension.

    The first position of the largest value, or of the first NaN when the
    slice holds one (with `dim` None: a position in row-major order).
    Positions come as float32 values; they are exact, since a reduced
    dimension may hold at most 2**24 elements.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The positions as float32 values, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range, or the reduced dimension is empty or longer than 2**24.

    Examples
    --------
    >>> import nimbra
    >>> scores = nimbra.Tensor([[0.1, 0.7, 0.2], [0.5, 0.2, 0.3]], [2, 3])
    >>> nimbra.argmax(scores, dim=1).tolist()
    [1.0, 0.0]
    """
    return _reduce(_ARGMAX, t, dim, keepdim)


def argmin(t: Tensor, dim: SupportsIndex | None = None, keepdim: bool = False) -> Tensor:
    """Position of the smallest element along a dimension.

    The first position of the smallest value, or of the first NaN when the
    slice holds one (with `dim` None: a position in row-major order).
    Positions come as float32 values; they are exact, since a reduced
    dimension may hold at most 2**24 elements.

    Parameters
    ----------
    t : Tensor
        The tensor to reduce.
    dim : int or None, optional
        The dimension to reduce; negative counts from the end. None (the
        default) reduces every element, in row-major order.
    keepdim : bool, optional
        Keep the reduced dimension (every dimension when `dim` is None) with
        size 1 instead of dropping it.

    Returns
    -------
    Tensor
        The positions as float32 values, shaped as `t` without (or with
        size 1 at) the reduced dimension.

    Raises
    ------
    TypeError
        If `t` is not a Tensor or `dim` is not an integer or None.
    ValueError
        If `dim` is out of range, or the reduced dimension is empty or longer than 2**24.

    Examples
    --------
    >>> import nimbra
    >>> t = nimbra.Tensor([[3, 1, 2], [1, 1, 0]], [2, 3])
    >>> nimbra.argmin(t, dim=1).tolist()
    [1.0, 2.0]
    """
    return _reduce(_ARGMIN, t, dim, keepdim)
