"""Reference implementations and bit-level helpers for the tests.

Every reference step is one IEEE-754 single-precision operation on numpy.float32
values (or float32 arrays, where each element sees the same single operation),
written in the same order as nimbra's kernels, so results can be compared bit for
bit; the element-wise activations are referred to one value at a time (see
method_ref). NumPy is only used to produce reference values here.
"""

import decimal
import math
import struct

import numpy as np

f32 = np.float32


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


def bits_of(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


# ---- tensors <-> float32 arrays ------------------------------------------------


def values(t):
    """The elements of tensor `t` (row-major logical order) as a float32 array."""
    return np.array(t.tolist(), dtype=np.float64).astype(np.float32)


def bit_array(a):
    """uint32 view of float32 data with every NaN collapsed to one pattern.

    IEEE leaves the payload of a NaN result open, so NaNs compare by class only;
    everything else, including the sign of zero, compares by its exact bits.
    """
    a = np.ascontiguousarray(np.asarray(a, dtype=np.float32))
    bits = a.view(np.uint32).copy()
    bits[np.isnan(a)] = 0x7FC00000
    return bits


def assert_bits_equal(got, want, context=""):
    got = np.asarray(got, dtype=np.float32).ravel()
    want = np.asarray(want, dtype=np.float32).ravel()
    assert got.shape == want.shape, f"{context}: length {got.shape} != {want.shape}"
    gb, wb = bit_array(got), bit_array(want)
    bad = np.nonzero(gb != wb)[0]
    if bad.size:
        i = int(bad[0])
        raise AssertionError(
            f"{context}: {bad.size} of {got.size} elements differ; first at {i}: "
            f"got {got[i]!r} (0x{int(gb[i]):08x}), want {want[i]!r} (0x{int(wb[i]):08x})"
        )


def assert_tensor_bits(t, want, shape=None, context=""):
    want = np.asarray(want, dtype=np.float32)
    expected_shape = list(want.shape) if shape is None else list(shape)
    assert t.shape == expected_shape, f"{context}: shape {t.shape} != {expected_shape}"
    assert_bits_equal(values(t), want, context)


def same_tensor_bits(x, y, context=""):
    assert x.shape == y.shape, f"{context}: shape {x.shape} != {y.shape}"
    assert_bits_equal(values(x), values(y), context)


def tensor_of(a, tensor_cls):
    """A fresh, contiguous nimbra tensor holding the float32 array `a`."""
    a = np.asarray(a, dtype=np.float32)
    return tensor_cls([float(v) for v in a.ravel()], list(a.shape))


def run_python(code, env_updates=None, timeout=120, launcher=()):
    """Runs `code` (dedented) in a fresh interpreter, started through the
    `launcher` command when one is given (such as taskset), with the same
    environment plus `env_updates` (a value of None removes the variable).
    The code sees EXTENSION, the path of the extension file. Returns its
    stdout, failing the test with the child's stderr when it exits non-zero."""
    import os
    import subprocess
    import sys
    import textwrap

    import _nimbra

    env = dict(os.environ)
    for key, value in (env_updates or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    prologue = f"EXTENSION = {_nimbra.__file__!r}\n"
    proc = subprocess.run(
        [*launcher, sys.executable, "-c", prologue + textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return proc.stdout


# ---- float classes -------------------------------------------------------------

SMALLEST_SUBNORMAL = f32_from_bits(0x00000001)
LARGEST_SUBNORMAL = f32_from_bits(0x007FFFFF)
SMALLEST_NORMAL = f32_from_bits(0x00800000)
LARGEST_FINITE = f32_from_bits(0x7F7FFFFF)


def special_values():
    """Zeros, subnormals, normals at the extremes, infinities and NaN."""
    base = [
        0.0, -0.0, SMALLEST_SUBNORMAL, LARGEST_SUBNORMAL, SMALLEST_NORMAL, LARGEST_FINITE,
        1.0, 0.5, 2.0, 1e-20, 1e20, math.inf, math.nan,
    ]
    out = []
    for v in base:
        out.append(v)
        out.append(-v)
    return out


def neighbours(v, count=2):
    """v and the `count` float32 values on each side of it."""
    below, above = [], []
    lo = hi = np.float32(v)
    for _ in range(count):
        lo = np.nextafter(lo, np.float32(-np.inf))
        hi = np.nextafter(hi, np.float32(np.inf))
        below.append(float(lo))
        above.append(float(hi))
    return below[::-1] + [float(np.float32(v))] + above


# ---- activations ---------------------------------------------------------------

def method_ref(name):
    """The Tensor method `name` (relu, sigmoid, gelu) applied to one float32
    value alone, through a one-element tensor: what a whole-tensor call must
    give element by element, whatever the tensor's length, layout, vector
    width or worker count. The approximations themselves are held to their
    formulas, at every float class, in the C++ kernel tests."""
    from _nimbra import Tensor

    def ref(x):
        return f32(getattr(Tensor([float(f32(x))], [1]), name)().tolist()[0])

    return ref


relu_ref = method_ref("relu")
sigmoid_ref = method_ref("sigmoid")
gelu_ref = method_ref("gelu")


def map_ref(fn, xs):
    return np.array([fn(v) for v in np.asarray(xs, dtype=np.float32).ravel()], dtype=np.float32)


# ---- softmax -------------------------------------------------------------------


def exact_expf(v):
    """exp(v) of a float32 v, correctly rounded to float32: worked out in
    34-digit decimal arithmetic (independent of any C library), then the
    nearest of the candidate floats around it."""
    with decimal.localcontext() as context:
        context.prec = 34
        e = decimal.Decimal(float(v)).exp()
        near = np.float32(float(e))
        candidates = (near, np.nextafter(near, f32(np.inf)), np.nextafter(near, f32(-np.inf)))
        return min(candidates, key=lambda c: abs(decimal.Decimal(float(c)) - e))


def softmax_ref(a, dim, exp=None):
    """Softmax of float32 array `a` along `dim`: max over non-NaN values,
    e = exp(v - m) in float32 summed in ascending order, then each e / sum.

    `exp` maps one float32 value to its float32 exponential; by default NumPy's
    float32 exp (which may differ from the correctly rounded one in the last
    place)."""
    a = np.asarray(a, dtype=np.float32)
    moved = np.ascontiguousarray(np.moveaxis(a, dim, -1))
    out = np.zeros(moved.shape, dtype=np.float32)
    flat_in = moved.reshape(-1, moved.shape[-1])
    flat_out = out.reshape(flat_in.shape)  # a view: out is contiguous
    with np.errstate(all="ignore"):
        for r in range(flat_in.shape[0]):
            row = flat_in[r]
            m = f32(-np.inf)
            for v in row:
                if v > m:
                    m = v
            if exp is None:
                e = np.exp(row - m).astype(np.float32)
            else:
                e = np.array([exp(float(v)) for v in (row - m)], dtype=np.float32)
            s = f32(0.0)
            for v in e:
                s = s + v
            flat_out[r] = e / s
    return np.moveaxis(out, -1, dim)


# ---- matmul --------------------------------------------------------------------


def matmul2d_ref(a, b):
    """[m, k] x [k, n]: every output is the float32 sum, in ascending p, of
    float32 products, starting from +0.0."""
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    m, k = a.shape
    k2, n = b.shape
    assert k == k2
    c = np.zeros((m, n), dtype=np.float32)
    with np.errstate(all="ignore"):
        for p in range(k):
            c = c + a[:, p:p + 1] * b[p:p + 1, :]
    return c


def matmul_ref(a, b):
    """Batched product with broadcast batch dimensions, each output matrix by
    matmul2d_ref."""
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    if a.ndim == 2 and b.ndim == 2:
        return matmul2d_ref(a, b)
    batch = np.broadcast_shapes(a.shape[:-2], b.shape[:-2])
    m, n = a.shape[-2], b.shape[-1]
    ab = np.broadcast_to(a, batch + a.shape[-2:])
    bb = np.broadcast_to(b, batch + b.shape[-2:])
    out = np.zeros(batch + (m, n), dtype=np.float32)
    for idx in np.ndindex(*batch):
        out[idx] = matmul2d_ref(ab[idx], bb[idx])
    return out


# ---- reductions ----------------------------------------------------------------


def sum_ref(a):
    """Left-to-right float32 sum starting from -0.0."""
    a = np.asarray(a, dtype=np.float32).ravel()
    with np.errstate(all="ignore"):
        if a.size == 0:
            return f32(-0.0)
        # accumulate is a strictly sequential chain of float32 additions
        return f32(-0.0) + np.add.accumulate(a, dtype=np.float32)[-1]


def mean_ref(a):
    a = np.asarray(a, dtype=np.float32)
    with np.errstate(all="ignore"):
        return sum_ref(a) / f32(a.size)
