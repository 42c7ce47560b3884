"""The nn submodule: Linear with its random parameters (recovered exactly
through forward), forward against matmul and add, the activation layers
against the tensor methods, argument handling, and size limits."""

import gc
import inspect
import os
import sys

import numpy as np
import pytest

import _nimbra
from _nimbra import Tensor, nn

from reference import (
    assert_bits_equal,
    assert_tensor_bits,
    bit_array,
    map_ref,
    matmul2d_ref,
    relu_ref,
    run_python,
    sigmoid_ref,
    special_values,
    tensor_of,
    values,
)

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"
f32 = np.float32
BIG = 2.0**100  # lifts w * x so far above the bias that the bias rounds away


def parameters(layer, in_features, out_features):
    """The layer's weight [out, in] and bias [out], recovered exactly.

    forward of zeros is 0 @ W^T + b = b. Row i of forward(2^100 * I) is
    2^100 * W[:, i] + b, and |b| <= 1 is far below half an ulp of any nonzero
    2^100 * W[k, i] (whose magnitude is at least 2^100 * 2^-23 * scale), so the
    sum is 2^100 * W[k, i] exactly, or b when W[k, i] is 0.
    """
    bias = values(layer(Tensor.zeros([1, in_features])))
    lifted = values(layer(tensor_of(np.eye(in_features, dtype=np.float32) * f32(BIG), Tensor)))
    lifted = lifted.reshape(in_features, out_features)
    weight_t = np.where(np.abs(lifted) > 2.0**60, lifted / f32(BIG), f32(0)).astype(np.float32)
    return weight_t.T.copy(), bias


def sampler_scale(bound):
    """The uniform sampler's scale for [-bound, bound): 2 * bound, shrunk one
    float32 step at a time while the largest draw could reach the bound."""
    bound = f32(bound)
    scale = bound + bound
    while scale * f32(0.99999988) - bound >= bound:
        scale = np.uint32(scale.view(np.uint32) - 1).view(np.float32)
    return scale


def on_sampler_grid(v, bound):
    """Whether every value is (k * 2^-23) * scale - bound for an integer k in
    [0, 2^23), evaluated in float32 in that order."""
    bound, scale = f32(bound), sampler_scale(bound)
    v = np.asarray(v, dtype=np.float32)
    guess = np.floor((v.astype(np.float64) + float(bound)) / float(scale) * 2**23).astype(np.int64)
    ok = np.zeros(v.shape, dtype=bool)
    for d in (-2, -1, 0, 1, 2):
        k = np.clip(guess + d, 0, 2**23 - 1)
        u = (k | 0x3F800000).astype(np.uint32).view(np.float32)
        made = (u + f32(-1.0)) * scale - bound
        ok |= bit_array(made) == bit_array(v)
    return ok.all()


# in_features, weight bound, bias bound (float32 values)
BOUNDS = [
    (1, 2.4494898, 1.0),
    (3, 1.4142135, 0.57735026),
    (4, 1.2247449, 0.5),
    (64, 0.30618623, 0.125),
]


@pytest.mark.parametrize("in_features, w, c", BOUNDS)
def test_bounds_follow_from_the_fan_in(in_features, w, c):
    fan = f32(in_features)
    assert f32(w) == np.sqrt(f32(6.0) / fan)
    assert f32(c) == f32(1.0) / np.sqrt(fan)


@pytest.mark.parametrize("in_features, w, c", BOUNDS)
def test_parameters_lie_in_their_ranges(in_features, w, c):
    out_features = max(8, 4096 // in_features)
    layer = nn.Linear(in_features, out_features)
    weight, bias = parameters(layer, in_features, out_features)
    w, c = f32(w), f32(c)
    assert weight.shape == (out_features, in_features) and bias.shape == (out_features,)
    assert (weight >= -w).all() and (weight < w).all()
    assert (bias >= -c).all() and (bias < c).all()
    # they fill the range
    assert weight.min() < -0.9 * w and weight.max() > 0.9 * w
    if out_features >= 1000:
        assert bias.min() < -0.8 * c and bias.max() > 0.8 * c
    assert on_sampler_grid(weight, w), "weights are not (u - 1) * scale - w"
    assert on_sampler_grid(bias, c), "biases are not (u - 1) * scale - c"
    assert abs(float(weight.mean())) < 0.1 * w


def test_recovery_is_exact():
    # forward of an arbitrary input equals matmul with the recovered weight
    # plus the recovered bias, bit for bit; so the recovery lost nothing.
    layer = nn.Linear(5, 7)
    weight, bias = parameters(layer, 5, 7)
    x = (np.random.default_rng(1).standard_normal((9, 5)) * 3).astype(np.float32)
    want = matmul2d_ref(x, weight.T) + bias
    assert_tensor_bits(layer(tensor_of(x, Tensor)), want)


@pytest.mark.parametrize(
    "in_features, out_features, input_shape, out_shape",
    [
        (3, 2, [4, 3], [4, 2]),
        (3, 2, [5, 4, 3], [5, 4, 2]),
        (3, 2, [1, 3], [1, 2]),
        (1, 1, [1, 1], [1, 1]),
        (4, 3, [2, 1, 2, 1, 4], [2, 1, 2, 1, 3]),
        (65, 130, [3, 65], [3, 130]),
    ],
)
def test_forward_equals_matmul_with_the_transposed_weight_plus_bias(in_features, out_features, input_shape, out_shape):
    layer = nn.Linear(in_features, out_features)
    weight, bias = parameters(layer, in_features, out_features)
    rng = np.random.default_rng(in_features * out_features)
    x = (rng.standard_normal(input_shape) * 2).astype(np.float32)
    tx = tensor_of(x, Tensor)
    y = layer.forward(tx)
    assert y.shape == out_shape
    # the same chain of tensor operations: matmul with the transposed weight view, then add
    wt = tensor_of(weight, Tensor).transpose(0, 1)
    assert_tensor_bits(y, values(tx.matmul(wt) + tensor_of(bias, Tensor)).reshape(out_shape))
    # and the float32 reference
    flat = x.reshape(-1, in_features)
    want = (matmul2d_ref(flat, weight.T) + bias).reshape(out_shape)
    assert_tensor_bits(y, want)
    assert_tensor_bits(layer(tx), want, context="call equals forward")
    assert_tensor_bits(layer.forward(input=tx), want, context="keyword input")


def test_forward_of_a_view_equals_forward_of_its_copy():
    layer = nn.Linear(6, 4)
    x = (np.random.default_rng(2).standard_normal((6, 5)) * 2).astype(np.float32)
    view = tensor_of(x, Tensor).transpose(0, 1)
    assert_tensor_bits(layer(view), values(layer(tensor_of(x.T, Tensor))).reshape(5, 4))


def test_repeated_forward_is_identical_and_layers_differ():
    layer = nn.Linear(16, 8)
    x = Tensor.randn([10, 16])
    first = values(layer(x))
    for _ in range(3):
        assert_bits_equal(values(layer.forward(x)), first)
        assert_bits_equal(values(layer(x)), first)
    other = nn.Linear(16, 8)
    assert (bit_array(values(other(x))) != bit_array(first)).any()
    w1, b1 = parameters(layer, 16, 8)
    w2, b2 = parameters(other, 16, 8)
    assert (w1 != w2).mean() > 0.9 and (b1 != b2).mean() > 0.5, "the generator's stream continues between layers"


def test_keyword_construction():
    layer = nn.Linear(in_features=3, out_features=2)
    assert layer(Tensor.ones([4, 3])).shape == [4, 2]
    layer = nn.Linear(out_features=2, in_features=3)
    assert layer(Tensor.ones([4, 3])).shape == [4, 2]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_sizes_through_the_index_protocol():
    assert nn.Linear(Index(3), True)(Tensor.ones([2, 3])).shape == [2, 1]


def test_in_features_zero_is_value_error():
    with pytest.raises(ValueError) as info:
        nn.Linear(0, 3)
    assert "in_features" in str(info.value)
    with pytest.raises(ValueError):
        nn.Linear(0, 0)


def test_very_wide_layer_without_outputs():
    layer = nn.Linear(2**40, 0)
    assert type(layer) is nn.Linear


@pytest.mark.parametrize("input_shape", [[7], [], [2, 5], [2, 4, 2], [7, 2], [0, 4], [2, 7, 1]])
def test_unfitting_input_is_value_error(input_shape):
    layer = nn.Linear(7, 2)
    x = Tensor.ones([2, 7])
    before = values(layer(x))
    for call in (layer, layer.forward):
        with pytest.raises(ValueError) as info:
            call(Tensor.zeros(input_shape))
        text = str(info.value)
        assert "7" in text, f"in_features is not named: {text!r}"
        assert str(input_shape) in text, f"the input shape is not named: {text!r}"
    assert_bits_equal(values(layer(x)), before, "a failed call leaves the layer unchanged")


@pytest.mark.parametrize("sizes", [(2**40, 2**40), (2**32, 2**32), (1, 2**62), (2**31, 2**31), (2**62, 1)])
def test_sizes_beyond_the_addressable_range_are_value_error(sizes):
    with pytest.raises(ValueError):
        nn.Linear(*sizes)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on impossible sizes")
@pytest.mark.parametrize("sizes", [(2**30, 2**12), (2**12, 2**30), (2**21, 2**21)])
def test_parameters_too_large_to_allocate_are_memory_error(sizes):
    with pytest.raises(MemoryError):
        nn.Linear(*sizes)


@pytest.mark.parametrize("sizes", [(-1, 2), (3, -2), (2**64, 1), (1, 2**64)])
def test_negative_or_huge_size_is_overflow_error(sizes):
    with pytest.raises(OverflowError):
        nn.Linear(*sizes)


def test_empty_forward_results():
    code = """
from _nimbra import Tensor, nn
print(nn.Linear(3, 0)(Tensor.ones([4, 3])).shape)
print(nn.Linear(3, 2)(Tensor.ones([0, 3])).shape)
print(nn.Linear(3, 2)(Tensor.ones([2, 0, 3])).shape)
print(nn.Linear(2**40, 0)(Tensor.ones([0, 2**40])).shape)
"""
    assert run_python(code).split("\n")[:4] == ["[4, 0]", "[0, 2]", "[2, 0, 2]", "[0, 0]"]


# ---- ReLU and Sigmoid ---------------------------------------------------------------------


def layer_inputs():
    rng = np.random.default_rng(17)
    data = np.concatenate([np.array(special_values(), dtype=np.float32),
                           (rng.standard_normal(103) * 50).astype(np.float32)])
    return [
        tensor_of(data, Tensor),
        tensor_of(data[:24].reshape(2, 3, 4), Tensor),
        tensor_of(data[:24].reshape(6, 4), Tensor).transpose(0, 1),
        Tensor([-2.5], []),
        Tensor.zeros([0, 3]),
        Tensor.zeros([2, 0]),
    ]


@pytest.mark.parametrize("cls, method, ref", [(nn.ReLU, "relu", relu_ref), (nn.Sigmoid, "sigmoid", sigmoid_ref)])
def test_activation_layers_equal_the_tensor_methods(cls, method, ref):
    first, second = cls(), cls()
    for x in layer_inputs():
        want = values(getattr(x, method)())
        for label, y in (("forward", first.forward(x)), ("call", first(x)), ("other instance", second(x)),
                         ("keyword", first.forward(input=x))):
            assert y.shape == x.shape, label
            assert_bits_equal(values(y), want, f"{cls.__name__} {label} on {x.shape}")
        assert_bits_equal(want, map_ref(ref, values(x)), f"{method} on {x.shape}")


def test_activation_layer_examples():
    y = nn.ReLU()(Tensor([-1.0, 0.0, 2.0, -3.0], [2, 2]))
    assert y.shape == [2, 2]
    assert y.tolist() == [0.0, 0.0, 2.0, 0.0]
    assert nn.Sigmoid().forward(Tensor([0.0], [1])).tolist() == [0.5]
    empty = nn.Sigmoid()(Tensor.zeros([0, 3]))
    assert empty.shape == [0, 3] and empty.tolist() == []


# ---- argument handling -----------------------------------------------------------------------

LAYER = nn.Linear(3, 2)
X = Tensor.ones([1, 3])


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: nn.Linear(), "Linear.__new__() missing 2 required positional arguments: 'in_features' and 'out_features'"),
        (lambda: nn.Linear(3), "Linear.__new__() missing 1 required positional argument: 'out_features'"),
        (lambda: nn.Linear(out_features=3), "Linear.__new__() missing 1 required positional argument: 'in_features'"),
        (lambda: nn.Linear(1, 2, 3), "Linear.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: nn.Linear(3, in_features=3), "Linear.__new__() got multiple values for argument 'in_features'"),
        (lambda: nn.Linear(3, 2, bias=False), "Linear.__new__() got an unexpected keyword argument 'bias'"),
        (lambda: nn.Linear(3.0, 2), "argument 'in_features': "),
        (lambda: nn.Linear(3, "2"), "argument 'out_features': "),
        (lambda: nn.Linear(None, 2), "argument 'in_features': "),
        (lambda: LAYER.forward(), "Linear.forward() missing 1 required positional argument: 'input'"),
        (lambda: LAYER.forward(X, X), "Linear.forward() takes 1 positional arguments but 2 were given"),
        (lambda: LAYER.forward(X, input=X), "Linear.forward() got multiple values for argument 'input'"),
        (lambda: LAYER.forward(x=X), "Linear.forward() got an unexpected keyword argument 'x'"),
        (lambda: LAYER(), "Linear.__call__() missing 1 required positional argument: 'input'"),
        (lambda: LAYER(X, X), "Linear.__call__() takes 1 positional arguments but 2 were given"),
        (lambda: LAYER(X, input=X), "Linear.__call__() got multiple values for argument 'input'"),
        (lambda: LAYER.forward([1.0, 2.0, 3.0]), "argument 'input': 'list' object cannot be converted to 'Tensor'"),
        (lambda: LAYER(5), "argument 'input': 'int' object cannot be converted to 'Tensor'"),
        (lambda: nn.ReLU(1), "ReLU.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: nn.ReLU(inplace=True), "ReLU.__new__() got an unexpected keyword argument 'inplace'"),
        (lambda: nn.Sigmoid(1, 2), "Sigmoid.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: nn.ReLU().forward(), "ReLU.forward() missing 1 required positional argument: 'input'"),
        (lambda: nn.ReLU()(X, X), "ReLU.__call__() takes 1 positional arguments but 2 were given"),
        (lambda: nn.Sigmoid()(), "Sigmoid.__call__() missing 1 required positional argument: 'input'"),
        (lambda: nn.Sigmoid().forward(None), "argument 'input': 'NoneType' object cannot be converted to 'Tensor'"),
        (lambda: nn.ReLU()([0.0]), "argument 'input': 'list' object cannot be converted to 'Tensor'"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(text)
    if not text.startswith("argument"):
        assert str(info.value) == text


@pytest.mark.parametrize("name", ["weight", "bias", "in_features", "out_features"])
def test_parameters_are_read_only(name):
    layer = nn.Linear(3, 2)
    before = getattr(layer, name)
    with pytest.raises(AttributeError):
        setattr(layer, name, 1)
    assert type(getattr(layer, name)) is type(before)


# ---- module and class facts ------------------------------------------------------------------


def test_module_exports():
    assert nn.__all__ == ["Linear", "ReLU", "Sigmoid"]
    assert _nimbra.nn is nn
    for name in nn.__all__:
        assert isinstance(getattr(nn, name), type)


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        (nn.Linear, "Linear layer", "(in_features, out_features)"),
        (nn.ReLU, "ReLU activation layer", "()"),
        (nn.Sigmoid, "Sigmoid activation layer", "()"),
    ],
)
def test_class_docs_and_signatures(cls, doc, signature):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert cls.__module__ == "_nimbra"
    assert cls.__qualname__ == "nn." + cls.__name__
    assert cls.forward.__text_signature__ == "($self, input)"
    assert cls.forward.__doc__ is None, "forward's documentation text is empty"
    assert str(inspect.signature(cls.forward)) == "(self, /, input)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# ---- resources ----------------------------------------------------------------------------------


def test_references_are_released():
    layer, x, bad = nn.Linear(4, 3), Tensor.ones([2, 4]), Tensor.ones([2, 5])
    relu = nn.ReLU()
    watched = (layer, x, bad, relu, Tensor, nn.Linear, nn.ReLU)
    # Instances left in cycles by earlier tests hold their classes; collect
    # them first, or the final collection would lower the class counts.
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        layer(x), layer.forward(x), relu(x)
        try:
            layer(bad)
        except ValueError:
            pass
        try:
            layer([1.0])
        except TypeError:
            pass
        nn.Linear(2, 2), nn.ReLU(), nn.Sigmoid()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_layers_and_results_are_freed():
    x = Tensor.ones([8, 512])
    for _ in range(5):
        nn.Linear(512, 512)(x)
    gc.collect()
    before = _resident_bytes()
    for _ in range(100):
        nn.Linear(512, 512)(x)  # 1 MB of parameters per round
    gc.collect()
    assert _resident_bytes() - before < 48 << 20
