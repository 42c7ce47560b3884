"""matmul and the @ operator: every output is the float32 sum in ascending p of
float32 products from +0.0, for 2-D and batched operands alike; batch
broadcasting, views, the three errors, and sizes at the limits."""

import hashlib
import inspect
import itertools
import math
import operator
import os

import numpy as np
import pytest

from _nimbra import Tensor

from reference import (
    assert_bits_equal,
    assert_tensor_bits,
    bit_array,
    matmul2d_ref,
    matmul_ref,
    run_python,
    tensor_of,
    values,
)

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"


def wide(rng, shape):
    """Values over many binades: any other summation order changes bits."""
    return (rng.standard_normal(shape) * np.exp2(rng.integers(-12, 12, shape))).astype(np.float32)


def product(a, b):
    return tensor_of(a, Tensor).matmul(tensor_of(b, Tensor))


def test_small_example():
    a = Tensor([1.0, 2.0, 3.0, 4.0], [2, 2])
    b = Tensor([5.0, 6.0, 7.0, 8.0], [2, 2])
    c = a.matmul(b)
    assert c.shape == [2, 2]
    assert c.tolist() == [19.0, 22.0, 43.0, 50.0]
    assert (a @ b).tolist() == c.tolist()
    assert Tensor.ones([2, 3]).matmul(Tensor.ones([3, 4])).shape == [2, 4]
    assert a.matmul(other=b).tolist() == c.tolist()


SIZES_M = [1, 7, 65]
SIZES_NK = [1, 8, 63, 64, 65, 129, 257]


@pytest.mark.parametrize("m", SIZES_M)
def test_2d_bits_across_block_edges(m):
    rng = np.random.default_rng(m)
    for n, k in itertools.product(SIZES_NK, SIZES_NK):
        if n * k > 65 * 257:
            continue
        a, b = wide(rng, (m, k)), wide(rng, (k, n))
        assert_tensor_bits(product(a, b), matmul2d_ref(a, b), context=f"m={m} n={n} k={k}")


def test_reference_order_is_observable():
    # The data above really tells ascending p apart from other orders.
    rng = np.random.default_rng(1)
    a, b = wide(rng, (7, 257)), wide(rng, (257, 65))
    assert (bit_array(matmul2d_ref(a, b)) != bit_array(a @ b)).any()


@pytest.mark.parametrize(
    "sa, sb",
    [
        ([2, 0], [0, 3]),
        ([0, 3], [3, 4]),
        ([2, 3], [3, 0]),
        ([0, 0], [0, 0]),
        ([0, 5], [5, 0]),
        ([4, 2, 0], [0, 3]),
        ([0, 2, 3], [3, 4]),
        ([2, 3], [0, 3, 4]),
        ([3, 0, 2], [2, 2]),
        ([2**40, 0, 3], [3, 4]),
        ([1, 0], [0, 1]),
    ],
)
def test_empty_operands(sa, sb):
    c = Tensor.ones(sa).matmul(Tensor.ones(sb))
    batch = list(np.broadcast_shapes(tuple(sa[:-2]), tuple(sb[:-2])))
    want_shape = batch + [sa[-2], sb[-1]]
    assert c.shape == want_shape
    if c.size:
        assert (bit_array(values(c)) == 0).all(), "k = 0 gives +0.0 everywhere"
    else:
        assert c.tolist() == []


@pytest.mark.parametrize(
    "a, b",
    [
        ([[-1.0]], [[0.0]]),
        ([[-0.0]], [[5.0]]),
        ([[-1.0, -1.0]], [[0.0], [0.0]]),
        ([[-0.0, 0.0, -0.0]], [[1.0], [-1.0], [1.0]]),
    ],
)
def test_products_of_negative_zero_sum_to_positive_zero(a, b):
    a, b = np.array(a, dtype=np.float32), np.array(b, dtype=np.float32)
    assert bit_array(values(product(a, b))).tolist() == [0]
    batched = tensor_of(a[None], Tensor).matmul(tensor_of(b, Tensor))
    assert batched.shape == [1, 1, 1]
    assert bit_array(values(batched)).tolist() == [0]


def test_nan_and_infinity_propagate():
    inf, nan = math.inf, math.nan
    a = np.array([[0.0, 1.0], [1.0, 1.0], [1.0, 2.0], [nan, 0.0], [1.0, 0.0]], dtype=np.float32)
    b = np.array([[inf, 1.0, 0.0], [1.0, -inf, 2.0]], dtype=np.float32)
    want = matmul2d_ref(a, b)
    got = values(product(a, b)).reshape(5, 3)
    assert_bits_equal(got, want)
    assert math.isnan(got[0, 0]), "0 * inf in a product makes the output NaN"
    assert np.isnan(got[3]).all(), "a NaN in a row of a reaches every output of that row"
    assert got[2, 0] == inf and got[1, 1] == -inf
    assert_bits_equal(values(tensor_of(a[None], Tensor) @ tensor_of(b[None], Tensor)), want, "batched")


def test_special_values_through_the_blocked_path():
    rng = np.random.default_rng(8)
    a, b = wide(rng, (9, 130)), wide(rng, (130, 70))
    a[2, 100], a[4, 3], b[64, 5], b[7, 69], b[129, 0] = np.nan, np.inf, -np.inf, np.nan, 0.0
    a[5, 129], b[128, 66] = 3e38, 3e38
    assert_tensor_bits(product(a, b), matmul2d_ref(a, b))


# ---- batches -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "sa, sb, out",
    [
        ([5, 2, 3], [3, 4], [5, 2, 4]),
        ([2, 3], [5, 3, 4], [5, 2, 4]),
        ([2, 1, 2, 3], [3, 3, 4], [2, 3, 2, 4]),
        ([3, 1, 4, 5], [1, 2, 5, 6], [3, 2, 4, 6]),
        ([2, 4, 3], [2, 3, 5], [2, 4, 5]),
        ([1, 1, 1, 1, 1, 2, 3], [3, 2], [1, 1, 1, 1, 1, 2, 2]),
        ([2, 1, 1, 1, 1, 1, 2, 3], [1, 1, 1, 1, 1, 2, 3, 1], [2, 1, 1, 1, 1, 2, 2, 1]),
        ([4, 7, 65], [65, 9], [4, 7, 9]),
    ],
)
def test_batched_products(sa, sb, out):
    rng = np.random.default_rng(len(sa) * 7 + len(sb))
    a, b = wide(rng, sa), wide(rng, sb)
    c = product(a, b)
    assert c.shape == out
    assert_tensor_bits(c, matmul_ref(a, b))


def test_broadcast_batch_picks_the_right_matrices():
    # output (x, y) is A[x, 0] times B[y]
    rng = np.random.default_rng(3)
    a, b = wide(rng, (2, 1, 2, 3)), wide(rng, (3, 3, 4))
    c = values(product(a, b)).reshape(2, 3, 2, 4)
    for x, y in itertools.product(range(2), range(3)):
        single = values(product(a[x, 0], b[y])).reshape(2, 4)
        assert_bits_equal(c[x, y], single, f"output ({x}, {y})")


def test_batched_equals_per_matrix():
    rng = np.random.default_rng(4)
    a, b = wide(rng, (6, 33, 70)), wide(rng, (6, 70, 65))
    c = values(product(a, b)).reshape(6, 33, 65)
    for i in range(6):
        assert_bits_equal(c[i], values(product(a[i], b[i])), f"matrix {i}")
    shared = values(product(a, b[0])).reshape(6, 33, 65)
    for i in range(6):
        assert_bits_equal(shared[i], values(product(a[i], b[0])), f"shared right matrix, {i}")


# ---- views ---------------------------------------------------------------------------


@pytest.mark.parametrize("m, k, n", [(3, 4, 5), (65, 66, 67), (1, 129, 1), (33, 1, 70)])
def test_transposed_views_equal_copies(m, k, n):
    rng = np.random.default_rng(m + k + n)
    at, bt = wide(rng, (k, m)), wide(rng, (n, k))  # stored transposed
    a_view = tensor_of(at, Tensor).transpose(0, 1)
    b_view = tensor_of(bt, Tensor).transpose(1, 0)
    a_copy, b_copy = tensor_of(at.T, Tensor), tensor_of(bt.T, Tensor)
    want = matmul2d_ref(at.T, bt.T)
    for label, x, y in (
        ("view @ copy", a_view, b_copy),
        ("copy @ view", a_copy, b_view),
        ("view @ view", a_view, b_view),
        ("gathered @ gathered", a_view.reshape([m, k]), b_view.reshape([k, n])),
    ):
        assert_tensor_bits(x @ y, want, context=label)


def test_batched_views_equal_copies():
    rng = np.random.default_rng(5)
    x = wide(rng, (5, 4, 3))
    xv = tensor_of(x, Tensor).transpose(0, 2)  # [3, 4, 5], batch and matrix dimensions swapped
    xs = np.swapaxes(x, 0, 2)
    w = wide(rng, (5, 6))
    assert_tensor_bits(xv @ tensor_of(w, Tensor), matmul_ref(xs, w), context="batch view @ 2-D")
    y = wide(rng, (2, 5, 3))
    yv = tensor_of(y, Tensor).transpose(0, 2)  # [3, 5, 2]
    ys = np.swapaxes(y, 0, 2)
    assert_tensor_bits(xv @ yv, matmul_ref(xs, ys), context="batch view @ batch view")
    z = wide(rng, (3, 1, 4, 5))
    zv = tensor_of(z, Tensor).transpose(0, 1)  # [1, 3, 4, 5], a size-1 batch dimension first
    assert_tensor_bits(zv @ yv, matmul_ref(np.swapaxes(z, 0, 1), ys), context="broadcast batch view")
    w3 = wide(rng, (3, 6))
    assert_tensor_bits(yv.transpose(0, 2) @ tensor_of(w3, Tensor), matmul_ref(y, w3),
                       context="twice transposed batch view @ 2-D")


# ---- errors ----------------------------------------------------------------------------

MATMUL_ERRORS = [
    ([3], [3, 2], "Invalid operation: matmul requires at least 2D tensors"),
    ([2, 3], [3], "Invalid operation: matmul requires at least 2D tensors"),
    ([], [], "Invalid operation: matmul requires at least 2D tensors"),
    ([3], [4, 5], "Invalid operation: matmul requires at least 2D tensors"),
    ([2, 3], [2, 3], "Shape mismatch: expected [2, 3], got [2, 3]"),
    ([2, 3], [4, 5], "Shape mismatch: expected [2, 3], got [4, 5]"),
    ([5, 2, 3], [7, 4, 5], "Shape mismatch: expected [2, 3], got [4, 5]"),
    ([2, 0], [3, 0], "Shape mismatch: expected [2, 0], got [3, 0]"),
    ([2, 2, 3], [3, 3, 4], "Cannot broadcast shapes [2] and [3]"),
    ([2, 1, 2, 3], [4, 3, 3, 4], "Cannot broadcast shapes [2, 1] and [4, 3]"),
    ([0, 2, 3], [2, 3, 4], "Cannot broadcast shapes [0] and [2]"),
]


@pytest.mark.parametrize("sa, sb, text", MATMUL_ERRORS)
def test_error_texts(sa, sb, text):
    a, b = Tensor.zeros(sa), Tensor.zeros(sb)
    with pytest.raises(ValueError) as info:
        a.matmul(b)
    assert str(info.value) == "Matmul failed: " + text
    with pytest.raises(ValueError) as info:
        a @ b
    assert str(info.value) == "Matmul failed: " + text


def test_errors_name_the_logical_shape_of_views():
    a = Tensor.zeros([3, 2]).transpose(0, 1)
    with pytest.raises(ValueError) as info:
        a @ Tensor.zeros([2, 3])
    assert str(info.value) == "Matmul failed: Shape mismatch: expected [2, 3], got [2, 3]"


@pytest.mark.parametrize(
    "arg, text",
    [
        (5, "argument 'other': 'int' object cannot be converted to 'Tensor'"),
        ([[1.0]], "argument 'other': 'list' object cannot be converted to 'Tensor'"),
        (None, "argument 'other': 'NoneType' object cannot be converted to 'Tensor'"),
        (np.float32(1), "argument 'other': 'float32' object cannot be converted to 'Tensor'"),
    ],
)
def test_other_must_be_a_tensor(arg, text):
    with pytest.raises(TypeError) as info:
        Tensor.ones([1, 1]).matmul(arg)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda t: t.matmul(), "Tensor.matmul() missing 1 required positional argument: 'other'"),
        (lambda t: t.matmul(t, t), "Tensor.matmul() takes 1 positional arguments but 2 were given"),
        (lambda t: t.matmul(t, other=t), "Tensor.matmul() got multiple values for argument 'other'"),
        (lambda t: t.matmul(b=t), "Tensor.matmul() got an unexpected keyword argument 'b'"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call(Tensor.ones([1, 1]))
    assert str(info.value) == text


def test_matmul_assignment_operator():
    a = Tensor.ones([2, 2])
    keep = a
    a @= Tensor([2.0, 0.0, 0.0, 2.0], [2, 2])
    assert a is not keep and a.tolist() == [2.0] * 4 and keep.tolist() == [1.0] * 4


# ---- sizes at the limits ----------------------------------------------------------------


@pytest.mark.parametrize(
    "sa, sb",
    [([2**32, 0], [0, 2**32]), ([2**31, 0], [0, 2**31]), ([2**30, 0], [0, 2**31])],
)
def test_result_count_beyond_the_addressable_range_is_value_error(sa, sb):
    with pytest.raises(ValueError):
        Tensor.zeros(sa) @ Tensor.zeros(sb)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on impossible sizes")
@pytest.mark.parametrize("sa, sb", [([2**20, 0], [0, 2**20]), ([2**29, 0], [0, 2**31])])
def test_result_too_large_to_allocate_is_memory_error(sa, sb):
    with pytest.raises(MemoryError):
        Tensor.zeros(sa) @ Tensor.zeros(sb)


def test_repeated_products_are_identical():
    rng = np.random.default_rng(6)
    a, b = tensor_of(wide(rng, (40, 90)), Tensor), tensor_of(wide(rng, (90, 70)), Tensor)
    first = values(a @ b)
    for _ in range(3):
        assert_bits_equal(values(a @ b), first)


@pytest.mark.parametrize("symbol_fn", [operator.matmul, lambda a, b: a.matmul(b)])
def test_operands_unchanged(symbol_fn):
    a, b = Tensor([1.0, 2.0], [1, 2]), Tensor([3.0, 4.0], [2, 1])
    assert symbol_fn(a, b).tolist() == [11.0]
    assert a.tolist() == [1.0, 2.0] and b.tolist() == [3.0, 4.0]


def test_doc_and_signature():
    assert Tensor.matmul.__doc__ == "Matrix multiplication"
    assert Tensor.matmul.__text_signature__ == "($self, other)"
    assert str(inspect.signature(Tensor.ones([1]).matmul)) == "(other)"


# ---- instruction sets ---------------------------------------------------------------------


def variant_cases():
    rng = np.random.default_rng(99)
    return [
        (wide(rng, (65, 129)), wide(rng, (129, 67))),
        (wide(rng, (1, 257)), wide(rng, (257, 130))),
        (wide(rng, (3, 2, 70)), wide(rng, (70, 33))),
        (wide(rng, (17, 1)), wide(rng, (1, 90))),
    ]


def variant_lines(use_nimbra):
    out = []
    for a, b in variant_cases():
        c = values(product(a, b)) if use_nimbra else matmul_ref(a, b)
        out.append(hashlib.sha256(bit_array(c).tobytes()).hexdigest())
        if use_nimbra:  # the same product from transposed views
            v = tensor_of(np.swapaxes(a, -1, -2).copy(), Tensor).transpose(a.ndim - 1, a.ndim - 2)
            out.append(hashlib.sha256(bit_array(values(v @ tensor_of(b, Tensor))).tobytes()).hexdigest())
        else:
            out.append(out[-1])
    return out


@pytest.mark.parametrize("isa", ["baseline", "avx2"])
def test_instruction_sets_agree(isa):
    here = os.path.dirname(os.path.abspath(__file__))
    code = f"import sys\nsys.path.insert(0, {here!r})\nfrom test_matmul import variant_lines\n" \
           "print('\\n'.join(variant_lines(True)))\n"
    assert run_python(code, {"NIMBRA_ISA": isa}).split() == variant_lines(False)


def test_random_batched_shapes_and_views():
    # Seeded random batch shapes that broadcast, with transposed views on either side.
    rng = np.random.default_rng(2)
    for _ in range(150):
        batch = [int(x) for x in rng.integers(1, 4, rng.integers(0, 4))]

        def batch_of():
            tail = batch[len(batch) - int(rng.integers(0, len(batch) + 1)):]
            return [d if rng.random() < 0.6 else 1 for d in tail]

        m, k, n = (int(x) for x in rng.integers(1, 9, 3))
        sa, sb = batch_of() + [m, k], batch_of() + [k, n]
        a, b = wide(rng, sa), wide(rng, sb)
        ta, tb = tensor_of(a, Tensor), tensor_of(b, Tensor)
        if len(sa) >= 3 and rng.random() < 0.5:
            ta = tensor_of(np.swapaxes(a, 0, -1), Tensor).transpose(0, len(sa) - 1)
        if rng.random() < 0.5:
            tb = tensor_of(np.swapaxes(b, -1, -2), Tensor).transpose(len(sb) - 1, len(sb) - 2)
        assert_tensor_bits(ta @ tb, matmul_ref(a, b), context=f"{sa} @ {sb}")
