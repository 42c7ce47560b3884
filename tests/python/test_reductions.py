"""sum and mean: one left-to-right float32 chain from -0.0, returned as a 0-d
Tensor; the mean divides by the element count rounded to float32. The
nimbra package's reductions along a dimension: their arguments, errors and
results (the numerics are the C++ suite's)."""

import inspect
import math

import numpy as np
import pytest

import _nimbra
import nimbra
import nimbra.reductions
from _nimbra import Tensor

from reference import assert_bits_equal, assert_tensor_bits, bit_array, bits_of, mean_ref, sum_ref, tensor_of, values


def scalar_bits(t):
    assert type(t) is _nimbra.Tensor
    assert t.shape == [] and t.ndim == 0 and t.size == 1
    return int(bit_array(values(t))[0])


def test_results_are_zero_dimensional_tensors():
    s = Tensor.ones([2, 3]).sum()
    assert type(s) is Tensor
    assert s.shape == [] and s.ndim == 0 and s.size == 1
    assert s.tolist() == [6.0]
    assert repr(s) == "Tensor(shape=[], dtype=f32)"
    m = Tensor.ones([2, 3]).mean()
    assert type(m) is Tensor and m.shape == [] and m.tolist() == [1.0]


@pytest.mark.parametrize(
    "data, shape, sum_bits, mean_bits",
    [
        ([16777216.0, 1.0, 1.0], [3], bits_of(16777216.0), bits_of(16777216.0 / 3)),
        ([1.0, 1.0, 16777216.0], [3], bits_of(16777218.0), bits_of(np.float32(16777218.0) / np.float32(3))),
        ([1.0, 2.0, 3.0, 4.0], [2, 2], bits_of(10.0), bits_of(2.5)),
        ([-0.0, -0.0, -0.0], [3], 0x80000000, 0x80000000),
        ([0.0], [1], 0x00000000, 0x00000000),
        ([-0.0, 0.0], [2], 0x00000000, 0x00000000),
        ([0.0, -0.0], [2], 0x00000000, 0x00000000),
        ([-0.0], [], 0x80000000, 0x80000000),
        ([2.5], [], bits_of(2.5), bits_of(2.5)),
        ([3e38, 3e38, -3e38], [3], 0x7F800000, 0x7F800000),
        ([1e-45, 1e-45, 1e-45], [3], 0x00000003, 0x00000001),
        ([-1.0, 1.0], [1, 2], 0x00000000, 0x00000000),
    ],
)
def test_exact_values(data, shape, sum_bits, mean_bits):
    t = Tensor(data, shape)
    assert scalar_bits(t.sum()) == sum_bits
    assert scalar_bits(t.mean()) == mean_bits


@pytest.mark.parametrize("shape", [[0], [2, 0], [0, 3], [3, 0, 2]])
def test_empty_tensor(shape):
    t = Tensor.zeros(shape)
    assert scalar_bits(t.sum()) == 0x80000000, "the sum of nothing is -0.0"
    assert math.isnan(t.mean().tolist()[0]), "the mean of nothing is NaN"
    assert scalar_bits(t.transpose(0, len(shape) - 1).sum()) == 0x80000000


@pytest.mark.parametrize(
    "data, nan",
    [([1.0, math.nan, 2.0], True), ([math.inf, -math.inf], True), ([math.inf, 1.0], False), ([-math.inf] * 2, False)],
)
def test_nan_and_infinity(data, nan):
    s = Tensor(data, [len(data)]).sum().tolist()[0]
    m = Tensor(data, [len(data)]).mean().tolist()[0]
    if nan:
        assert math.isnan(s) and math.isnan(m)
    else:
        assert s == m == sum(data)


def test_order_is_the_logical_order_of_a_view():
    # Storage order 1, 2^24, 1, 0 sums to 2^24; the transposed view reads
    # 1, 1, 2^24, 0 and sums to 2^24 + 2.
    t = Tensor([1.0, 16777216.0, 1.0, 0.0], [2, 2])
    assert t.sum().tolist() == [16777216.0]
    v = t.transpose(0, 1)
    assert v.sum().tolist() == [16777218.0]
    assert v.mean().tolist() == [float(np.float32(16777218.0) / np.float32(4))]
    assert v.reshape([4]).sum().tolist() == [16777218.0]


@pytest.mark.parametrize("n", [1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 33, 1000, 100_003])
def test_left_to_right_chain(n):
    # Magnitudes over many binades, so any other order (pairwise, blocked,
    # lanes, a wider accumulator) gives different bits.
    rng = np.random.default_rng(n)
    data = (rng.standard_normal(n) * np.exp2(rng.integers(-30, 30, n))).astype(np.float32)
    t = tensor_of(data, Tensor)
    assert scalar_bits(t.sum()) == bits_of(sum_ref(data))
    assert scalar_bits(t.mean()) == bits_of(mean_ref(data))


def test_chain_detects_reordering():
    # The test data really does tell the orders apart.
    rng = np.random.default_rng(100_003)
    data = (rng.standard_normal(100_003) * np.exp2(rng.integers(-30, 30, 100_003))).astype(np.float32)
    assert bits_of(sum_ref(data)) != bits_of(np.sum(data, dtype=np.float32))
    assert bits_of(sum_ref(data)) != bits_of(np.float32(np.sum(data, dtype=np.float64)))


@pytest.mark.parametrize("shape, pairs", [([4, 5], [(0, 1)]), ([3, 4, 5], [(0, 2), (1, 2)]), ([2, 1, 3], [(0, 2)])])
def test_views_sum_in_logical_order(shape, pairs):
    rng = np.random.default_rng(len(shape))
    data = (rng.standard_normal(shape) * np.exp2(rng.integers(-20, 20, shape))).astype(np.float32)
    t, ref = tensor_of(data, Tensor), data
    for d0, d1 in pairs:
        t, ref = t.transpose(d0, d1), np.swapaxes(ref, d0, d1)
    assert scalar_bits(t.sum()) == bits_of(sum_ref(ref))
    assert scalar_bits(t.mean()) == bits_of(mean_ref(ref))


def test_mean_divides_by_the_count_rounded_to_float32():
    # 2^24 + 1 ones: the chain stops at 2^24, and the count rounds to 2^24 as
    # well, so the mean is exactly 1.0 (a division by the exact count is not).
    t = Tensor.ones([(1 << 24) + 1])
    assert t.sum().tolist() == [16777216.0]
    assert t.mean().tolist() == [1.0]


def test_zero_dimensional_input():
    for v in (-0.0, 0.0, 7.25, math.inf):
        t = Tensor([v], [])
        assert_tensor_bits(t.sum(), np.float32(v) + np.float32(-0.0))
        assert_tensor_bits(t.mean(), np.float32(v) + np.float32(-0.0))


@pytest.mark.parametrize("name", ["sum", "mean"])
def test_methods_take_no_arguments(name):
    t = Tensor.ones([2, 2])
    with pytest.raises(TypeError):
        getattr(t, name)(0)
    with pytest.raises(TypeError):
        getattr(t, name)(dim=0)


@pytest.mark.parametrize("name, doc", [("sum", "Sum all elements"), ("mean", "Mean of all elements")])
def test_docs_and_signatures(name, doc):
    method = getattr(Tensor, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == "($self)"
    assert str(inspect.signature(getattr(Tensor.zeros([1]), name))) == "()"


# ---- nimbra.sum, mean, max, min, argmax, argmin along a dimension -----------------
FUNCTIONS = {
    "sum": ("Sum", np.sum), "mean": ("Mean", np.mean), "max": ("Max", np.max),
    "min": ("Min", np.min), "argmax": ("Argmax", np.argmax), "argmin": ("Argmin", np.argmin),
}


def test_functions_are_exported():
    assert set(FUNCTIONS) <= set(nimbra.__all__)
    for name in FUNCTIONS:
        assert getattr(nimbra, name) is getattr(nimbra.reductions, name)
        assert list(inspect.signature(getattr(nimbra, name)).parameters) == ["t", "dim", "keepdim"]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("dim", [None, 0, 1, -1, -2, np.int64(1)])
@pytest.mark.parametrize("keepdim", [False, True])
def test_dim_and_keepdim(name, dim, keepdim):
    # Distinct values: the results are NumPy's, and argmax comes as float32.
    a = np.arange(12, dtype=np.float32).reshape(3, 4)[:, [2, 0, 3, 1]] * np.float32(1.5)
    t = tensor_of(a, Tensor)
    got = getattr(nimbra, name)(t, dim, keepdim=keepdim)
    want = np.asarray(FUNCTIONS[name][1](a, axis=None if dim is None else int(dim), keepdims=keepdim))
    assert type(got) is Tensor and got.shape == list(want.shape)
    assert_bits_equal(values(got), want.astype(np.float32), f"{name} dim={dim}")


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        (([1.0],), {}, TypeError, "argument 't': 'list' object cannot be converted to 'Tensor'"),
        ((Tensor.zeros([2]), 0.0), {}, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        ((Tensor.zeros([2]), True), {}, TypeError, "argument 'dim': an integer or None is required, not bool"),
        ((Tensor.zeros([2]), 2**70), {}, OverflowError, ""),
        ((Tensor.zeros([2, 3]), 2), {}, ValueError,
         "{} failed: Invalid operation: dim 2 is out of range for a tensor with 2 dimensions (expected -2 to 1)"),
        ((Tensor.zeros([2]),), {"axis": 0}, TypeError, "unexpected keyword argument 'axis'"),
    ],
)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_argument_errors(name, args, kwargs, error, text):
    with pytest.raises(error) as info:
        getattr(nimbra, name)(*args, **kwargs)
    assert text.format(FUNCTIONS[name][0]) in str(info.value)


def test_keepdim_is_read_for_its_truth():
    t = Tensor.ones([2, 3])
    assert nimbra.sum(t, 1, 1).shape == [2, 1] and nimbra.sum(t, 1, []).shape == [2]

    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        nimbra.sum(t, 1, Undecided())

