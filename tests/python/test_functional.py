"""The accurate activation functions of the nimbra package (nimbra.sigmoid,
tanh, gelu, softmax, log_softmax): what the package and the binding decide —
arguments, errors, shapes, the choice of kernel, pickling. Their numerics
are held to every float in the C++ tests."""

import functools
import inspect
import math
import pickle

import numpy as np
import pytest

import nimbra
from nimbra import Tensor

from reference import assert_bits_equal, bits_of, values

ELEMENTWISE = [nimbra.sigmoid, nimbra.tanh, nimbra.gelu, functools.partial(nimbra.gelu, approximate="tanh")]
SLICES = [nimbra.softmax, nimbra.log_softmax]


def name_of(fn):
    return getattr(fn, "__name__", None) or fn.func.__name__


@pytest.mark.parametrize("fn", ELEMENTWISE, ids=["sigmoid", "tanh", "gelu", "gelu-tanh"])
@pytest.mark.parametrize("shape", [[], [0], [3, 0], [7], [2, 3, 5]])
def test_elementwise_keep_the_shape_and_the_input(fn, shape):
    n = math.prod(shape)
    data = np.linspace(-4, 4, n, dtype=np.float32).reshape(shape)
    t = Tensor.from_buffer(data)
    got = fn(t)
    assert type(got) is Tensor and got is not t and got.shape == shape
    assert_bits_equal(values(t), data.ravel(), "the input is unchanged")
    if len(shape) == 3:
        view = t.transpose(0, 2)
        assert_bits_equal(values(fn(view)), values(fn(Tensor.from_buffer(np.ascontiguousarray(data.transpose(2, 1, 0))))),
                          "a view behaves like its copy")


def test_each_function_calls_its_own_kernel():
    x = Tensor([-10.0, -1.0, 0.0, 1.0], [4])
    # The accurate functions at points where the exact values are plain
    # float64 expressions (correctly rounded to float32 here) and where the
    # approximations of the methods differ from them.
    xs = np.array([-10.0, -1.0, 0.0, 1.0])
    assert_bits_equal(values(nimbra.sigmoid(x)), (1 / (1 + np.exp(-xs))).astype(np.float32), "sigmoid")
    assert_bits_equal(values(nimbra.tanh(x)), np.tanh(xs).astype(np.float32), "tanh")
    assert bits_of(nimbra.sigmoid(x).tolist()[0]) != bits_of(x.sigmoid().tolist()[0])
    erf_form, tanh_form = values(nimbra.gelu(x)), values(nimbra.gelu(x, approximate="tanh"))
    assert erf_form[1] == np.float32(-0.15865525393145707) and tanh_form[1] != erf_form[1]
    assert_bits_equal(values(nimbra.gelu(x, "none")), erf_form, "approximate by position")


@pytest.mark.parametrize("fn", SLICES)
def test_slices_along_every_dimension(fn):
    data = (np.arange(24, dtype=np.float32).reshape(2, 3, 4) - 10) / 3
    t = Tensor.from_buffer(data)
    for dim in range(-3, 3):
        got = values(fn(t, dim)).reshape(2, 3, 4)
        moved = np.moveaxis(data.astype(np.float64), dim, -1)
        logs = moved - moved.max(-1, keepdims=True)
        logs = logs - np.log(np.exp(logs).sum(-1, keepdims=True))
        want = np.moveaxis(logs if fn is nimbra.log_softmax else np.exp(logs), -1, dim)
        np.testing.assert_allclose(got, want, rtol=2e-7, atol=0, err_msg=f"dim {dim}")
    assert fn(t, np.int64(1)).shape == [2, 3, 4]
    assert fn(t, dim=True).shape == [2, 3, 4]  # bool is an int, as for indexing
    # A plain int in range goes straight to the extension; every other spelling
    # of the same dimension through the checks: the same bits.
    for dim in range(3):
        same = {values(fn(t, d)).tobytes() for d in (dim, dim - 3, np.int64(dim), np.int64(dim - 3))}
        assert len(same) == 1, f"dim {dim}"


@pytest.mark.parametrize("fn", SLICES)
def test_slices_of_0d_and_empty_tensors(fn):
    one = fn(Tensor([2.5], [1]).reshape([]), 0)
    assert one.shape == [] and one.tolist() == [0.0 if fn is nimbra.log_softmax else 1.0]
    assert fn(Tensor([2.5], [1]).reshape([]), -1).tolist() == one.tolist()
    for shape in ([0], [0, 3], [3, 0], [2, 0, 4]):
        for dim in range(len(shape)):
            got = fn(Tensor.zeros(shape), dim)
            assert got.shape == shape and got.tolist() == []


@pytest.mark.parametrize("fn", ELEMENTWISE + SLICES)
@pytest.mark.parametrize("bad", [[1.0, 2.0], np.zeros(3, dtype=np.float32), 3.0, None])
def test_only_tensors_are_taken(fn, bad):
    args = (bad, 0) if fn in SLICES else (bad,)
    with pytest.raises(TypeError, match=rf"^{name_of(fn)}\(\) argument 't' must be a Tensor, not {type(bad).__name__}$"):
        fn(*args)


@pytest.mark.parametrize("bad", ["exact", "TANH", "", None, 1, True])
def test_gelu_names_the_allowed_forms(bad):
    with pytest.raises(ValueError, match=r"^gelu\(\): approximate must be 'none' or 'tanh', not "):
        nimbra.gelu(Tensor([1.0], [1]), approximate=bad)


@pytest.mark.parametrize("fn", SLICES)
def test_dim_errors(fn):
    t = Tensor.zeros([2, 3])
    name = fn.__name__
    for dim in (2, -3, 2**70, -(2**70)):
        with pytest.raises(ValueError, match=rf"^{name}\(\): dim {dim} is out of range for a 2-d tensor \(expected -2 to 1\)$"):
            fn(t, dim)
    with pytest.raises(ValueError, match=r"expected -1 to 0\)$"):
        fn(Tensor([1.0], [1]).reshape([]), 1)
    for dim in (1.0, "1", None, [1]):
        with pytest.raises(TypeError, match=rf"^{name}\(\) argument 'dim' must be an integer, not {type(dim).__name__}$"):
            fn(t, dim)
    with pytest.raises(TypeError):
        fn(t)  # dim is required


def test_signatures_and_names():
    assert str(inspect.signature(nimbra.gelu)) == "(t: 'Tensor', approximate: \"Literal['none', 'tanh']\" = 'none') -> 'Tensor'"
    assert [str(inspect.signature(f)) for f in (nimbra.softmax, nimbra.log_softmax)] == [
        "(t: 'Tensor', dim: 'SupportsIndex') -> 'Tensor'"] * 2
    assert nimbra.softmax is nimbra.functional.softmax
    for fn in (nimbra.sigmoid, nimbra.tanh, nimbra.gelu, nimbra.softmax, nimbra.log_softmax):
        for section in ("Parameters", "Returns", "Raises", "Examples"):
            assert f"\n{section}\n---" in inspect.getdoc(fn), (fn.__name__, section)


def test_functions_pickle_by_reference():
    for fn in (nimbra.sigmoid, nimbra.tanh, nimbra.gelu, nimbra.softmax, nimbra.log_softmax):
        data = pickle.dumps(fn)
        assert b"nimbra.functional" in data and pickle.loads(data) is fn
    layer = functools.partial(nimbra.softmax, dim=1)
    again = pickle.loads(pickle.dumps(layer))
    x = Tensor([[1.0, 2.0], [3.0, 5.0]], [2, 2])
    assert_bits_equal(values(again(x)), values(layer(x)), "a pickled partial")


def test_binding_functions_check_their_own_arguments():
    import _nimbra

    t = Tensor([1.0, 2.0], [2])
    with pytest.raises(TypeError, match=r"^argument 't': 'list' object cannot be converted to 'Tensor'$"):
        _nimbra._softmax([1.0], 0)
    with pytest.raises(OverflowError):
        _nimbra._softmax(t, -1)  # the package counts from the front before calling
    with pytest.raises(ValueError, match=r"^softmax failed: Dimension out of bounds: dim 1 for tensor with 1 dimensions$"):
        _nimbra._softmax(t, 1)
    with pytest.raises(ValueError, match=r"^log_softmax failed: "):
        _nimbra._log_softmax(t, 3)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        _nimbra._gelu(t, False, 1)
