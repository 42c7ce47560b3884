"""relu, sigmoid, gelu and softmax: exact float32 results against the scalar
reference for every class of float, the published anchor values, views
against copies, softmax's slices and its limits."""

import hashlib
import inspect
import math
import os

import numpy as np
import pytest

from _nimbra import Tensor

from reference import (
    assert_bits_equal,
    assert_tensor_bits,
    bit_array,
    bits_of,
    gelu_ref,
    map_ref,
    neighbours,
    exact_expf,
    relu_ref,
    run_python,
    sigmoid_ref,
    softmax_ref,
    special_values,
    tensor_of,
    values,
)

f32 = np.float32
REFS = {"relu": relu_ref, "sigmoid": sigmoid_ref, "gelu": gelu_ref}
ELEMENTWISE = list(REFS)


def float_classes():
    rng = np.random.default_rng(2024)
    parts = [
        special_values(),
        neighbours(88.0, 3), neighbours(-88.0, 3),
        neighbours(3.0, 2), neighbours(-3.0, 2),
        neighbours(0.0, 3),
        [1e-30, -1e-30, 1e-39, -1e-39, 3e38, -3e38, 100.0, -100.0, 1000.0, -1000.0, 10.0, -10.0],
        rng.uniform(-100, 100, 400),
        rng.standard_normal(400) * 4,
        rng.choice([-1, 1], 400) * np.exp2(rng.uniform(-149, 128, 400)),
    ]
    with np.errstate(over="ignore"):
        return np.concatenate([np.asarray(p, dtype=np.float64) for p in parts]).astype(np.float32)


CLASSES = float_classes()


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_every_float_class_matches_the_reference(name):
    got = getattr(tensor_of(CLASSES, Tensor), name)()
    assert_tensor_bits(got, map_ref(REFS[name], CLASSES), context=name)


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_lengths_around_vector_widths(name):
    # Specials land in every lane position and in the scalar tail.
    rng = np.random.default_rng(5)
    pool = np.concatenate([CLASSES, rng.standard_normal(64).astype(np.float32) * 5])
    for n in list(range(0, 41)) + [63, 64, 65, 127, 129, 257]:
        data = np.roll(pool, n)[:n]
        got = getattr(tensor_of(data, Tensor), name)()
        assert_tensor_bits(got, map_ref(REFS[name], data), context=f"{name}, {n} elements")


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_large_input_matches_the_reference_elementwise(name):
    # One long run through the vector loops, compared to the reference
    # evaluated on float32 arrays (each element the same single operations).
    rng = np.random.default_rng(9)
    data = np.concatenate([rng.uniform(-12, 12, 20_000), rng.uniform(-100, 100, 3_001)]).astype(np.float32)
    got = values(getattr(tensor_of(data, Tensor), name)())
    sample = rng.integers(0, data.size, 1500)
    assert_bits_equal(got[sample], map_ref(REFS[name], data[sample]), name)
    if name == "relu":
        assert_bits_equal(got, np.where(data > 0, data, f32(0)), name)


def test_relu_values():
    t = Tensor([-1.0, -0.0, 0.0, 2.0, math.nan, math.inf, -math.inf, -math.nan], [8])
    got = values(t.relu())
    assert bit_array(got).tolist() == [0, 0, 0, bits_of(2.0), 0, 0x7F800000, 0, 0]


def test_sigmoid_anchors():
    got = values(Tensor([0.0, 1.0, -2.0, 2.0, 100.0, -100.0, 88.0, -88.0, math.inf, -math.inf], [10]).sigmoid())
    want = [0.5, 0.7303371, 0.125, 0.87499994, 0.99999964, 3.8222333e-07, 0.99999964, 3.8222333e-07,
            0.99999964, 3.8222333e-07]
    assert bit_array(got).tolist() == bit_array(np.array(want, dtype=np.float32)).tolist()
    assert math.isnan(Tensor([math.nan], [1]).sigmoid().tolist()[0])


def test_sigmoid_never_reaches_zero_or_one():
    x = np.linspace(-200, 200, 4001, dtype=np.float32)
    y = values(tensor_of(x, Tensor).sigmoid())
    assert (y > 0).all() and (y < 1).all()
    assert (np.diff(y) >= 0).all(), "monotone over the sampled range"


def test_gelu_anchors():
    x = [0.0, 1.0, -1.0, 3.0, 10.0, -3.0, -10.0, 1e30, -1e30, 3e38, math.inf]
    got = values(Tensor(x, [len(x)]).gelu())
    want = np.array([0.0, 0.8471124, -0.15288758, 3.0, 10.0, -0.0, -0.0, 1e30, -0.0, 3e38, math.inf], dtype=np.float32)
    assert_bits_equal(got, want, "gelu anchors")
    assert math.isnan(Tensor([-math.inf], [1]).gelu().tolist()[0])
    assert math.isnan(Tensor([math.nan], [1]).gelu().tolist()[0])


def test_gelu_is_exact_beyond_the_clamp():
    # Every x >= 3 reaches the clamp (the exact edge is a kernel fact, tested
    # in C++).
    rng = np.random.default_rng(4)
    big = np.concatenate([[3.0], rng.uniform(3.0, 1e6, 500)]).astype(np.float32)
    assert_bits_equal(values(tensor_of(big, Tensor).gelu()), big, "x at or beyond the upper clamp")
    low = -big
    got = values(tensor_of(low, Tensor).gelu())
    assert (bit_array(got) == 0x80000000).all(), "every finite x at or below the lower clamp gives -0.0"


@pytest.mark.parametrize("name", ELEMENTWISE)
@pytest.mark.parametrize("shape", [[], [1], [0], [0, 3], [2, 3], [2, 1, 3, 1], [1, 1, 1, 1, 1, 1, 1, 2]])
def test_shape_is_kept(name, shape):
    rng = np.random.default_rng(len(shape))
    data = (rng.standard_normal(shape) * 3).astype(np.float32)
    t = tensor_of(data, Tensor)
    got = getattr(t, name)()
    assert got.shape == shape
    assert_tensor_bits(got, map_ref(REFS[name], data).reshape(shape))
    assert_tensor_bits(t, data), "the input is unchanged"


# ---- softmax -----------------------------------------------------------------


def assert_close(got, want, context=""):
    got = np.asarray(got, dtype=np.float32)
    want = np.asarray(want, dtype=np.float32)
    assert got.shape == want.shape, context
    assert (np.isnan(got) == np.isnan(want)).all(), f"{context}: NaN positions differ"
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-37, equal_nan=True, err_msg=context)


def test_softmax_rows_and_columns():
    t = Tensor([1.0, 2.0, 3.0, 4.0], [2, 2])
    rows = values(t.softmax(1)).reshape(2, 2)
    assert abs(float(rows[0].sum()) - 1.0) < 1e-6
    assert_bits_equal(rows[0], rows[1], "[1, 2] and [3, 4] give the same row")
    cols = values(t.softmax(0)).reshape(2, 2)
    assert_bits_equal(cols[:, 0], cols[:, 1], "[1, 3] and [2, 4] give the same column")
    assert_close(rows, softmax_ref([[1, 2], [3, 4]], 1))
    assert_close(cols, softmax_ref([[1, 2], [3, 4]], 0))


def test_softmax_exact_values():
    assert Tensor([5.0], [1]).softmax(0).tolist() == [1.0]
    assert Tensor([7.5] * 4, [4]).softmax(0).tolist() == [0.25] * 4
    assert Tensor([-3.0] * 4, [2, 2]).softmax(0).tolist() == [0.5] * 4
    assert Tensor([1000.0, 1000.0], [2]).softmax(0).tolist() == [0.5, 0.5]
    got = values(Tensor([1.0, 2.0, 3.0], [3]).softmax(0))
    assert_close(got, [0.09003057, 0.24472848, 0.66524094])
    assert_bits_equal(values(Tensor([-1e30, 0.0], [2]).softmax(0)), [0.0, 1.0])


@pytest.mark.parametrize(
    "shape, dim",
    [
        ([2, 3, 4], 1), ([2, 3, 4], 0), ([2, 3, 4], 2), ([2, 3, 4], -1), ([2, 3, 4], -3),
        ([5], 0), ([1, 7], 1), ([7, 1], 1), ([7, 1], 0), ([3, 1, 1, 1, 1, 1, 4], 6),
        ([3, 1, 1, 1, 1, 1, 4], 0), ([300, 257], 1), ([300, 257], 0), ([4, 50, 70], 1), ([200, 3, 5], 2),
    ],
)
def test_softmax_slices(shape, dim):
    rng = np.random.default_rng(sum(shape) + dim)
    data = (rng.standard_normal(shape) * 4).astype(np.float32)
    got = tensor_of(data, Tensor).softmax(dim)
    assert got.shape == shape
    want = softmax_ref(data, dim)
    assert_close(values(got).reshape(shape), want, f"{shape} dim {dim}")
    sums = values(got).reshape(shape).sum(axis=dim, dtype=np.float64)
    assert np.abs(sums - 1).max() < 1e-5


@pytest.mark.parametrize(
    "shape, dim, spread",
    [([2, 3, 4], 1, 6), ([40, 65], 1, 6), ([40, 65], 0, 6), ([3, 70, 5], 1, 6),
     # Spreads wide enough that many arguments lie below -87, where the
     # exponential is left to its exact finish; many rows and columns per call.
     ([301, 129], 1, 60), ([129, 301], 0, 60), ([7, 33, 19], 1, 60)],
)
def test_softmax_bits_with_the_exact_exponential(shape, dim, spread):
    # With the correctly rounded exponential every step is determined: the
    # maximum, the ascending float32 sum and the division.
    rng = np.random.default_rng(len(shape) * 10 + dim)
    data = (rng.standard_normal(shape) * spread).astype(np.float32)
    got = values(tensor_of(data, Tensor).softmax(dim)).reshape(shape)
    assert_bits_equal(got, softmax_ref(data, dim, exp=exact_expf), f"{shape} dim {dim}")


@pytest.mark.parametrize("shape", [[2, 2], [3, 4, 5], [1, 1], [6]])
def test_softmax_negative_dim_counts_from_the_end(shape):
    rng = np.random.default_rng(len(shape))
    t = tensor_of(rng.standard_normal(shape).astype(np.float32), Tensor)
    for d in range(len(shape)):
        assert_tensor_bits(t.softmax(d - len(shape)), values(t.softmax(d)).reshape(shape))
    assert_tensor_bits(t.softmax(dim=-1), values(t.softmax(len(shape) - 1)).reshape(shape))


def test_softmax_special_values_per_slice():
    inf, nan = math.inf, math.nan
    rows = [
        [1.0, nan, 2.0],
        [1.0, inf, 2.0],
        [-inf, -inf, -inf],
        [-inf, 0.0, 0.0],
        [nan, nan, nan],
        [1.0, 2.0, 3.0],
        [-inf, inf, 0.0],
    ]
    got = values(Tensor([v for r in rows for v in r], [len(rows), 3]).softmax(1)).reshape(len(rows), 3)
    for i in (0, 1, 2, 4, 6):
        assert np.isnan(got[i]).all(), f"row {i} must be all NaN: {got[i]}"
    assert bit_array(got[3]).tolist() == [0, bits_of(0.5), bits_of(0.5)]
    assert_close(got[5], [0.09003057, 0.24472848, 0.66524094])
    # the same slices down columns
    cols = values(Tensor([v for r in zip(*rows) for v in r], [3, len(rows)]).softmax(0)).reshape(3, len(rows))
    assert_bits_equal(cols.T, got, "slices along dim 0")


def test_softmax_empty_outer_dimension():
    for dim in (1, -1):
        r = Tensor.zeros([0, 3]).softmax(dim)
        assert r.shape == [0, 3] and r.tolist() == []
    r = Tensor.zeros([2, 0, 3]).softmax(2)
    assert r.shape == [2, 0, 3] and r.tolist() == []
    # the sizes from dim 1 on multiply to 2**64, which wraps to 0 in 64 bits
    r = Tensor.zeros([0, 3, 2**32, 2**32]).softmax(1)
    assert r.shape == [0, 3, 2**32, 2**32] and r.tolist() == []


def test_softmax_views_behave_like_copies():
    rng = np.random.default_rng(12)
    a = (rng.standard_normal((6, 9)) * 3).astype(np.float32)
    view = tensor_of(a, Tensor).transpose(0, 1)
    copy = tensor_of(a.T, Tensor)
    for dim in (0, 1, -1):
        assert_tensor_bits(view.softmax(dim), values(copy.softmax(dim)).reshape(9, 6))
    b = (rng.standard_normal((3, 4, 5)) * 3).astype(np.float32)
    v3 = tensor_of(b, Tensor).transpose(0, 2)
    c3 = tensor_of(np.swapaxes(b, 0, 2), Tensor)
    for dim in range(3):
        assert_tensor_bits(v3.softmax(dim), values(c3.softmax(dim)).reshape(5, 4, 3))


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_elementwise_views_behave_like_copies(name):
    rng = np.random.default_rng(21)
    a = (rng.standard_normal((13, 7)) * 4).astype(np.float32)
    a[0, 0], a[3, 2], a[5, 6] = np.nan, -0.0, np.inf
    view = tensor_of(a, Tensor).transpose(0, 1)
    want = map_ref(REFS[name], a.T).reshape(7, 13)
    assert_tensor_bits(getattr(view, name)(), want)
    assert_tensor_bits(getattr(view.reshape([91]), name)(), want.ravel())


@pytest.mark.parametrize(
    "shape, dim, needles",
    [
        ([2, 3], 2, ["dim 2", "2 dimensions"]),
        ([2, 3], -3, ["dim -3", "2 dimensions"]),
        ([2, 3], 2**31 - 1, ["dim 2147483647", "2 dimensions"]),
        ([2, 3], -(2**31), ["dim -2147483648", "2 dimensions"]),
        ([], 0, ["dim 0", "0 dimensions"]),
        ([], -1, ["dim -1", "0 dimensions"]),
        ([5], 1, ["dim 1", "1 dimensions"]),
        ([0, 3], 0, ["dim 0", "[0, 3]"]),
        ([0, 3], -2, ["dim -2", "[0, 3]"]),
        ([3, 0], 0, ["dim 0", "[3, 0]"]),
        ([3, 0], 1, ["dim 1", "[3, 0]"]),
        ([2, 0, 3], 1, ["dim 1", "[2, 0, 3]"]),
        ([2, 0, 3], 0, ["dim 0", "[2, 0, 3]"]),
    ],
)
def test_softmax_beyond_its_limits_is_value_error(shape, dim, needles):
    t = Tensor.zeros(shape)
    with pytest.raises(ValueError) as info:
        t.softmax(dim)
    text = str(info.value)
    assert text.startswith("Softmax failed: ")
    for needle in needles:
        assert needle in text, f"{needle!r} not in {text!r}"
    assert t.shape == shape, "the tensor is unchanged"


@pytest.mark.parametrize("dim", [2**31, -(2**31) - 1, 2**63, -(2**64)])
def test_softmax_dim_beyond_32_bits_is_overflow_error(dim):
    with pytest.raises(OverflowError):
        Tensor.zeros([2, 2]).softmax(dim)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_softmax_dim_index_protocol():
    t = Tensor([1.0, 2.0, 3.0, 4.0], [2, 2])
    assert t.softmax(Index(-1)).tolist() == t.softmax(1).tolist()
    assert t.softmax(True).tolist() == t.softmax(1).tolist()


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda t: t.softmax(1.0), "argument 'dim': "),
        (lambda t: t.softmax("1"), "argument 'dim': "),
        (lambda t: t.softmax(None), "argument 'dim': "),
        (lambda t: t.softmax(), "Tensor.softmax() missing 1 required positional argument: 'dim'"),
        (lambda t: t.softmax(0, 1), "Tensor.softmax() takes 1 positional arguments but 2 were given"),
        (lambda t: t.softmax(0, dim=1), "Tensor.softmax() got multiple values for argument 'dim'"),
        (lambda t: t.softmax(axis=1), "Tensor.softmax() got an unexpected keyword argument 'axis'"),
    ],
)
def test_softmax_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call(Tensor.zeros([2, 2]))
    assert str(info.value).startswith(text)


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_elementwise_methods_take_no_arguments(name):
    t = Tensor.zeros([2])
    with pytest.raises(TypeError):
        getattr(t, name)(1)
    with pytest.raises(TypeError):
        getattr(t, name)(x=1)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("relu", "($self)", "ReLU activation"),
        ("sigmoid", "($self)", "Sigmoid activation"),
        ("gelu", "($self)", "GELU activation"),
        ("softmax", "($self, dim)", "Softmax"),
    ],
)
def test_docs_and_signatures(name, signature, doc):
    method = getattr(Tensor, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature
    assert str(inspect.signature(getattr(Tensor.zeros([1]), name))) == signature.replace("$self", "").replace(
        "(, ", "(")


# ---- instruction sets and worker counts ---------------------------------------------


def variant_inputs():
    rng = np.random.default_rng(77)
    data = np.concatenate([CLASSES, rng.uniform(-10, 10, 997).astype(np.float32)])
    return data, (rng.standard_normal((37, 129)) * 5).astype(np.float32)


def variant_lines(use_nimbra):
    data, block = variant_inputs()
    out = []
    for name in ELEMENTWISE:
        r = values(getattr(tensor_of(data, Tensor), name)()) if use_nimbra else map_ref(REFS[name], data)
        out.append(f"{name} {hashlib.sha256(bit_array(r).tobytes()).hexdigest()}")
    if use_nimbra:
        t = tensor_of(block, Tensor)
        for dim in (0, 1):
            out.append(f"softmax{dim} {hashlib.sha256(bit_array(values(t.softmax(dim))).tobytes()).hexdigest()}")
    return out


def test_instruction_sets_and_worker_counts_agree():
    here = os.path.dirname(os.path.abspath(__file__))
    code = f"import sys\nsys.path.insert(0, {here!r})\nfrom test_activations import variant_lines\n" \
           "print('\\n'.join(variant_lines(True)))\n"
    expected = variant_lines(False)
    in_process = variant_lines(True)
    assert in_process[: len(expected)] == expected
    for env in ({"NIMBRA_ISA": "baseline", "RAYON_NUM_THREADS": "1"},
                {"NIMBRA_ISA": "avx2", "RAYON_NUM_THREADS": "5"}):
        assert run_python(code, env).split() == " ".join(in_process).split(), env
