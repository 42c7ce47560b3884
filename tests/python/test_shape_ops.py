"""transpose and reshape: views and copies, their values in row-major logical
order, their errors, and their argument handling."""

import gc
import inspect

import numpy as np
import pytest

from _nimbra import Tensor

from reference import assert_tensor_bits


def arange(shape):
    n = int(np.prod(shape, dtype=np.int64))
    return Tensor([float(i) for i in range(n)], list(shape)), np.arange(n, dtype=np.float32).reshape(shape)


# ---- transpose -------------------------------------------------------------


def test_transpose_2d():
    t, _ = arange([2, 3])
    v = t.transpose(0, 1)
    assert v.shape == [3, 2]
    assert v.tolist() == [0.0, 3.0, 1.0, 4.0, 2.0, 5.0]
    assert t.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], "the source is unchanged"
    assert t.transpose(1, 0).tolist() == v.tolist()


@pytest.mark.parametrize(
    "shape, pairs",
    [
        ([2, 3, 4], [(0, 2)]),
        ([2, 3, 4], [(1, 2)]),
        ([2, 3, 4], [(0, 1), (1, 2)]),
        ([2, 3, 4], [(0, 2), (0, 1), (2, 1)]),
        ([2, 1, 3, 1, 2], [(0, 4), (1, 3), (2, 0)]),
        ([1, 2, 1, 3, 1, 2, 2], [(0, 6), (3, 5), (1, 6)]),  # seven dimensions
        ([2, 2, 2, 2, 2, 2, 2, 2], [(0, 7), (2, 5), (7, 3)]),
        ([3, 0, 2], [(0, 2)]),
    ],
)
def test_transpose_views_compose(shape, pairs):
    t, ref = arange(shape)
    for d0, d1 in pairs:
        t = t.transpose(d0, d1)
        ref = np.swapaxes(ref, d0, d1)
        assert t.shape == list(ref.shape)
        assert t.ndim == ref.ndim and t.size == ref.size
    assert_tensor_bits(t, ref)


@pytest.mark.parametrize("shape, dim", [([2, 3], 0), ([2, 3], 1), ([4], 0), ([2, 3, 4], 2)])
def test_transpose_same_dim_is_identity(shape, dim):
    t, ref = arange(shape)
    assert_tensor_bits(t.transpose(dim, dim), ref)


def test_transpose_twice_gives_back_the_source():
    t, ref = arange([3, 4, 5])
    assert_tensor_bits(t.transpose(0, 2).transpose(0, 2), ref)
    assert_tensor_bits(t.transpose(2, 0).transpose(0, 2), ref)


def test_transpose_keeps_special_values():
    data = [0.0, -0.0, float("inf"), float("-inf"), float("nan"), 1e-45]
    t = Tensor(data, [2, 3]).transpose(0, 1)
    want = np.array(data, dtype=np.float32).reshape(2, 3).T
    assert_tensor_bits(t, want)


def test_view_outlives_its_source():
    t, ref = arange([3, 5])
    v = t.transpose(0, 1)
    r = t.reshape([5, 3])
    del t
    gc.collect()
    assert_tensor_bits(v, ref.T)
    assert_tensor_bits(r, ref.reshape(5, 3))


@pytest.mark.parametrize(
    "shape, d0, d1, text",
    [
        ([2, 3], 0, 5, "Dimension out of bounds: dim 5 for tensor with 2 dimensions"),
        ([2, 3], 7, 1, "Dimension out of bounds: dim 7 for tensor with 2 dimensions"),
        ([2, 3], 2, 2, "Dimension out of bounds: dim 2 for tensor with 2 dimensions"),
        ([2, 3], 3, 9, "Dimension out of bounds: dim 9 for tensor with 2 dimensions"),
        ([], 0, 0, "Dimension out of bounds: dim 0 for tensor with 0 dimensions"),
        ([5], 0, 1, "Dimension out of bounds: dim 1 for tensor with 1 dimensions"),
        ([2, 3], 0, 2**64 - 1, "Dimension out of bounds: dim 18446744073709551615 for tensor with 2 dimensions"),
        ([1] * 7, 7, 0, "Dimension out of bounds: dim 7 for tensor with 7 dimensions"),
    ],
)
def test_transpose_out_of_bounds(shape, d0, d1, text):
    t = Tensor.zeros(shape)
    with pytest.raises(ValueError) as info:
        t.transpose(d0, d1)
    assert str(info.value) == "Transpose failed: " + text


@pytest.mark.parametrize("d0, d1", [(0, -1), (-1, 0), (2**64, 0), (0, 2**64), (-(2**70), 0)])
def test_transpose_negative_or_huge_index_is_overflow_error(d0, d1):
    with pytest.raises(OverflowError):
        Tensor.zeros([2, 3]).transpose(d0, d1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_transpose_index_protocol():
    t, ref = arange([2, 3])
    assert_tensor_bits(t.transpose(Index(1), False), ref.T)
    assert_tensor_bits(t.transpose(dim1=0, dim0=1), ref.T)


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((1.0, 0), {}, "argument 'dim0': "),
        ((0, 1.0), {}, "argument 'dim1': "),
        (("0", 1), {}, "argument 'dim0': "),
        ((0, None), {}, "argument 'dim1': "),
        ((0,), {}, "Tensor.transpose() missing 1 required positional argument: 'dim1'"),
        ((), {}, "Tensor.transpose() missing 2 required positional arguments: 'dim0' and 'dim1'"),
        ((0, 1, 2), {}, "Tensor.transpose() takes 2 positional arguments but 3 were given"),
        ((0,), {"dim0": 1}, "Tensor.transpose() got multiple values for argument 'dim0'"),
        ((0, 1), {"dim": 1}, "Tensor.transpose() got an unexpected keyword argument 'dim'"),
    ],
)
def test_transpose_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        Tensor.zeros([2, 3]).transpose(*args, **kwargs)
    assert str(info.value).startswith(text)


def test_argument_error_wins_over_range_error():
    # dim0 is converted first; a bad dim1 type is reported even though dim0 is out of range
    with pytest.raises(TypeError, match=r"^argument 'dim1': "):
        Tensor.zeros([2, 3]).transpose(9, 1.5)
    with pytest.raises(OverflowError):
        Tensor.zeros([2, 3]).transpose(-1, 1.5)


# ---- reshape ---------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, new",
    [
        ([2, 3], [3, 2]),
        ([2, 3], [6]),
        ([2, 3], [1, 6, 1]),
        ([2, 3], [2, 3]),
        ([], [1]),
        ([], [1, 1]),
        ([1], []),
        ([1, 1, 1], []),
        ([4, 6], [2, 2, 2, 3]),
        ([2, 3, 4], [1, 1, 1, 1, 1, 1, 24]),
        ([1, 1, 1, 1, 1, 1, 24], [4, 6]),
    ],
)
def test_reshape_keeps_row_major_order(shape, new):
    t, ref = arange(shape)
    r = t.reshape(new)
    assert r.shape == new
    assert_tensor_bits(r, ref.reshape(new))
    assert_tensor_bits(t, ref), "the source is unchanged"


@pytest.mark.parametrize("shape, new", [([0, 3], [3, 0]), ([0, 3], [0]), ([2, 0], [0, 5, 7]), ([0], [2**40, 0])])
def test_reshape_empty(shape, new):
    r = Tensor.zeros(shape).reshape(new)
    assert r.shape == new
    assert r.size == 0
    assert r.tolist() == []


def test_reshape_shape_forms():
    t, ref = arange([2, 3])
    for shape in ([3, 2], (3, 2), range(3, 1, -1), [Index(3), Index(2)]):
        assert_tensor_bits(t.reshape(shape), ref.reshape(3, 2))
    assert_tensor_bits(t.reshape(shape=[6]), ref.ravel())


@pytest.mark.parametrize(
    "shape, new, text",
    [
        ([2, 3], [4], "Cannot reshape tensor of 6 elements to shape [4]"),
        ([2, 3], [], "Cannot reshape tensor of 6 elements to shape []"),
        ([2, 3], [3, 3], "Cannot reshape tensor of 6 elements to shape [3, 3]"),
        ([2, 3], [6, 0], "Cannot reshape tensor of 6 elements to shape [6, 0]"),
        ([], [2], "Cannot reshape tensor of 1 elements to shape [2]"),
        ([], [0], "Cannot reshape tensor of 1 elements to shape [0]"),
        ([0, 3], [1], "Cannot reshape tensor of 0 elements to shape [1]"),
        ([0, 3], [], "Cannot reshape tensor of 0 elements to shape []"),
    ],
)
def test_reshape_count_mismatch(shape, new, text):
    t = Tensor.zeros(shape)
    with pytest.raises(ValueError) as info:
        t.reshape(new)
    assert str(info.value) == "Reshape failed: Invalid shape: " + text
    with pytest.raises(ValueError) as info:
        t.transpose(0, 1).reshape(new) if len(shape) == 2 else t.reshape(new)
    assert str(info.value) == "Reshape failed: Invalid shape: " + text


def test_reshape_to_a_count_beyond_64_bits_is_value_error():
    # The product wraps to 0 in 64 bits; it must not be taken for an empty shape.
    with pytest.raises(ValueError):
        Tensor.zeros([0]).reshape([2**32, 2**32])
    with pytest.raises(ValueError):
        Tensor.zeros([2, 3]).reshape([2**63, 4])


@pytest.mark.parametrize(
    "shape, pairs, new",
    [
        ([2, 3], [(0, 1)], [6]),
        ([2, 3], [(0, 1)], [3, 2]),
        ([2, 3], [(0, 1)], [2, 3]),
        ([2, 3, 4], [(0, 2)], [24]),
        ([2, 3, 4], [(0, 2)], [4, 6]),
        ([2, 3, 4], [(0, 1)], [24]),  # innermost stride 1, outer dimensions permuted
        ([2, 3, 4], [(1, 2), (0, 1)], [2, 12]),
        ([1, 1], [(0, 1)], [1]),
        ([5, 1], [(0, 1)], [5]),
        ([0, 3], [(0, 1)], [0]),
        ([3, 1, 4], [(0, 1)], [1, 12]),  # a transposed size-1 dimension
    ],
)
def test_reshape_of_a_transposed_view_gathers(shape, pairs, new):
    t, ref = arange(shape)
    for d0, d1 in pairs:
        t = t.transpose(d0, d1)
        ref = np.swapaxes(ref, d0, d1)
    r = t.reshape(new)
    assert_tensor_bits(r, ref.reshape(new))
    # and the copy behaves like any fresh tensor afterwards
    assert_tensor_bits(r.reshape([r.size]), ref.ravel())


def test_transpose_of_a_reshaped_transpose():
    t, ref = arange([4, 6])
    r = t.transpose(0, 1).reshape([3, 2, 4]).transpose(0, 2).reshape([8, 3]).transpose(1, 0)
    want = np.swapaxes(np.swapaxes(ref, 0, 1).reshape(3, 2, 4), 0, 2).reshape(8, 3).T
    assert_tensor_bits(r, want)


def test_reshape_view_chain():
    t, ref = arange([2, 3, 4])
    r = t.reshape([6, 4]).reshape([4, 6]).reshape([24]).reshape([2, 12])
    assert_tensor_bits(r, ref.reshape(2, 12))
    assert_tensor_bits(r.transpose(0, 1), ref.reshape(2, 12).T)


@pytest.mark.parametrize(
    "shape, text",
    [
        ("6", "argument 'shape': Can't extract `str` to `Vec`"),
        (6, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
        ({6: 1}, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
        ([6.0], "argument 'shape': "),
    ],
)
def test_reshape_bad_shape_is_type_error(shape, text):
    with pytest.raises(TypeError) as info:
        Tensor.zeros([2, 3]).reshape(shape)
    assert str(info.value).startswith(text)


def test_reshape_negative_size_is_overflow_error():
    with pytest.raises(OverflowError):
        Tensor.zeros([2, 3]).reshape([-6])
    with pytest.raises(OverflowError):
        Tensor.zeros([2, 3]).reshape([2**64])


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda t: t.reshape(), "Tensor.reshape() missing 1 required positional argument: 'shape'"),
        (lambda t: t.reshape([6], [6]), "Tensor.reshape() takes 1 positional arguments but 2 were given"),
        (lambda t: t.reshape([6], shape=[6]), "Tensor.reshape() got multiple values for argument 'shape'"),
        (lambda t: t.reshape(size=[6]), "Tensor.reshape() got an unexpected keyword argument 'size'"),
    ],
)
def test_reshape_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call(Tensor.zeros([2, 3]))
    assert str(info.value) == text


@pytest.mark.parametrize(
    "name, signature, doc",
    [("transpose", "($self, dim0, dim1)", "Transpose"), ("reshape", "($self, shape)", "Reshape tensor")],
)
def test_docs_and_signatures(name, signature, doc):
    method = getattr(Tensor, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature
    assert str(inspect.signature(getattr(Tensor.zeros([1]), name))) == signature.replace("$self, ", "")
