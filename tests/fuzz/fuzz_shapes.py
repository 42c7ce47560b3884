#!/usr/bin/env python3
"""Shape and dimension arguments: zeros/ones/rand/randn, reshape, transpose,
softmax, matmul and broadcasting + - *, on small tensors that may be
strided views, with generated size lists and dimension indices passed
positionally, by keyword or wrongly.

NumPy is the reference: element-wise results and matmul of small integers
are exact, so they must agree bit for bit."""

import math
import operator

import atheris
import numpy as np

from _nimbra import Tensor

with atheris.instrument_imports():
    from fuzzlib import EXPECTED, allocation_is_safe, call, gen_index, gen_sizes, run_actions

SPECIALS = [0.0, -0.0, 1.0, -3.0, 0.5, float("inf"), float("-inf"), float("nan"), 1e30, 1e-40]


def gen_tensor(fdp, exact):
    """A tensor of at most 256 elements, possibly a transposed view, and the
    same array in NumPy. `exact` keeps the values small integers."""
    shape = [fdp.ConsumeIntInRange(0, 4) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    n = math.prod(shape)
    if exact or fdp.ConsumeBool():
        values = [float(fdp.ConsumeIntInRange(-8, 8)) for _ in range(n)]
    else:
        values = [fdp.PickValueInList(SPECIALS) for _ in range(n)]
    t = Tensor(values, shape)
    ref = np.array(values, dtype=np.float32).reshape(shape)
    if len(shape) >= 2 and fdp.ConsumeBool():
        i, j = fdp.ConsumeIntInRange(0, len(shape) - 1), fdp.ConsumeIntInRange(0, len(shape) - 1)
        t, ref = t.transpose(i, j), ref.swapaxes(i, j)
    return t, ref


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32).ravel()


def same(t, ref):
    assert t.shape == list(ref.shape), (t.shape, ref.shape)
    got = np.array(t.tolist(), dtype=np.float32)
    assert np.array_equal(got.view(np.uint32), bits(ref)), (got, ref)


def constructor(fdp):
    name = fdp.PickValueInList(["zeros", "ones", "rand", "randn"])
    shape, sizes, exact = gen_sizes(fdp)
    if not allocation_is_safe(sizes, exact):
        return
    t = call(fdp, getattr(Tensor, name), ["shape"], [shape])
    values = np.array(t.tolist(), dtype=np.float32)
    if exact:
        assert t.shape == sizes, (t.shape, sizes)
    assert values.size == t.size == math.prod(t.shape)
    if name in ("zeros", "ones"):
        assert np.array_equal(bits(values), bits(np.full(values.shape, name == "ones", np.float32)))
    elif name == "rand":
        assert ((values >= 0) & (values < 1)).all()
    else:
        assert np.isfinite(values).all()


def reshape(fdp):
    t, ref = gen_tensor(fdp, False)
    shape, sizes, exact = gen_sizes(fdp)
    r = call(fdp, t.reshape, ["shape"], [shape])
    assert np.array_equal(bits(r.tolist()), bits(ref))
    if exact:
        same(r, ref.reshape(sizes))


def transpose(fdp):
    t, ref = gen_tensor(fdp, False)
    d0, v0, _ = gen_index(fdp)
    d1, v1, _ = gen_index(fdp)
    valid = all(v is not None and 0 <= v < ref.ndim for v in (v0, v1))
    try:
        r = call(fdp, t.transpose, ["dim0", "dim1"], [d0, d1])
    except EXPECTED:
        assert not valid, (ref.shape, v0, v1)
        raise
    same(r, ref.swapaxes(v0, v1))


def softmax(fdp):
    t, ref = gen_tensor(fdp, True)
    dim, value, _ = gen_index(fdp)
    if fdp.ConsumeBool() and value is not None:
        dim = value = -value
    r = call(fdp, t.softmax, ["dim"], [dim])
    assert r.shape == list(ref.shape)
    if ref.ndim:
        assert value is not None and -ref.ndim <= value < ref.ndim, (ref.shape, value)
    if ref.ndim and ref.size:
        axis = value % ref.ndim
        e = np.exp(ref.astype(np.float64) - ref.max(axis=axis, keepdims=True))
        expected = e / e.sum(axis=axis, keepdims=True)
        assert np.allclose(np.array(r.tolist()).reshape(ref.shape), expected, rtol=1e-5, atol=1e-7)


def binary(fdp):
    op = fdp.ConsumeIntInRange(0, 4)
    a, ra = gen_tensor(fdp, True)
    b, rb = gen_tensor(fdp, op >= 3 or fdp.ConsumeBool())
    with np.errstate(all="ignore"):
        try:
            expected = (np.add, np.subtract, np.multiply, np.matmul, np.matmul)[op](ra, rb)
        except ValueError:
            expected = None
    try:
        if op == 4:
            r = call(fdp, a.matmul, ["other"], [b])
        else:
            r = (operator.add, operator.sub, operator.mul, operator.matmul)[op](a, b)
    except EXPECTED:
        # Broadcasting follows NumPy's rule; matmul may refuse what NumPy
        # promotes (a 1-d operand).
        assert expected is None or op >= 3, (ra.shape, rb.shape, op)
        raise
    assert expected is not None, (ra.shape, rb.shape, op)
    same(r, expected)


OPERATIONS = [constructor, reshape, transpose, softmax, binary]


if __name__ == "__main__":
    run_actions(OPERATIONS, EXPECTED)
