"""rand and randn: shapes, the value grid of rand, the distribution of randn,
fresh values on every call and on every thread, and argument handling."""

import inspect
import math
import os
import threading

import numpy as np
import pytest

from _nimbra import Tensor

from reference import bit_array, values

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"
N = 1_000_000
TAIL = 3.654152885361009  # where the normal sampler's tail starts


@pytest.fixture(scope="module")
def uniform():
    return values(Tensor.rand([N]))


@pytest.fixture(scope="module")
def normal():
    return values(Tensor.randn([1000, 1000]))


@pytest.mark.parametrize("make", [Tensor.rand, Tensor.randn])
@pytest.mark.parametrize("shape", [[], [1], [3], [2, 3], [4, 1, 5], [1, 1, 1, 1, 1, 1, 2], [0], [2, 0, 3], [0, 2**40]])
def test_shapes(make, shape):
    t = make(shape)
    assert type(t) is Tensor
    assert t.shape == shape
    assert t.size == int(np.prod(shape, dtype=object))
    assert len(t.tolist()) == t.size


@pytest.mark.parametrize("make", [Tensor.rand, Tensor.randn])
def test_shape_forms_and_keyword(make):
    assert make((2, 3)).shape == [2, 3]
    assert make(range(1, 4)).shape == [1, 2, 3]
    assert make(shape=[4]).shape == [4]


def test_rand_values_lie_on_the_grid_of_2_to_minus_23(uniform):
    assert uniform.min() >= 0.0
    assert uniform.max() < 1.0
    k = uniform.astype(np.float64) * 2**23
    assert (k == np.floor(k)).all(), "every value is k * 2^-23"
    assert not (bit_array(uniform) == 0x80000000).any()
    # every one of the 23 bits is used
    ks = k.astype(np.int64)
    for bit in range(23):
        share = ((ks >> bit) & 1).mean()
        assert abs(share - 0.5) < 0.01, f"bit {bit} is set in {share:.4f} of the values"


def test_rand_is_uniform(uniform):
    assert abs(float(uniform.mean()) - 0.5) < 0.003
    assert abs(float(uniform.var()) - 1 / 12) < 0.002
    counts = np.bincount((uniform * 100).astype(np.int64), minlength=100)
    expected = N / 100
    chi2 = float(((counts - expected) ** 2 / expected).sum())
    assert chi2 < 250, f"chi-square over 100 bins is {chi2:.1f} (99 degrees of freedom)"


def test_randn_values_are_finite_and_never_negative_zero(normal):
    assert np.isfinite(normal).all()
    assert not (bit_array(normal) == 0x80000000).any()


def test_randn_moments(normal):
    x = normal.astype(np.float64).ravel()
    assert abs(x.mean()) < 0.006
    assert abs(x.var() - 1) < 0.01
    assert abs((x**3).mean()) < 0.03
    assert abs((x**4).mean() - 3) < 0.06
    assert abs((x < 0).mean() - 0.5) < 0.003


def test_randn_tail_occurs(normal):
    x = normal.ravel()
    upper, lower = int((x > TAIL).sum()), int((x < -TAIL).sum())
    # about 129 of each are expected in a million draws
    assert 60 < upper < 220 and 60 < lower < 220, (upper, lower)
    assert np.abs(x).max() > 4.0


def test_randn_kolmogorov_smirnov(normal):
    x = np.sort(normal.astype(np.float64).ravel()[:200_000])
    cdf = 0.5 * (1 + np.vectorize(math.erf)(x / math.sqrt(2)))
    n = x.size
    d = max(float((np.arange(1, n + 1) / n - cdf).max()), float((cdf - np.arange(n) / n).max()))
    # a correct sampler exceeds this bound with probability about 1e-9
    assert d < math.sqrt(-0.5 * math.log(0.5e-9) / n), f"KS distance {d:.5f}"


@pytest.mark.parametrize("make", [Tensor.rand, Tensor.randn])
@pytest.mark.parametrize("shape", [[], [4], [1000]])
def test_consecutive_calls_differ(make, shape):
    a, b = make(shape).tolist(), make(shape).tolist()
    assert a != b


def test_other_threads_draw_their_own_streams():
    results = {}

    def draw(name):
        results[name] = Tensor.rand([256]).tolist() + Tensor.randn([256]).tolist()

    threads = [threading.Thread(target=draw, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    results["main"] = Tensor.rand([256]).tolist() + Tensor.randn([256]).tolist()
    # no run of four consecutive values is shared, at any offset
    runs = [{tuple(s[i:i + 4]) for i in range(len(s) - 3)} for s in results.values()]
    for i in range(len(runs)):
        for j in range(i + 1, len(runs)):
            assert not runs[i] & runs[j], "two threads drew the same stretch of values"


def test_large_shapes():
    with pytest.raises(ValueError):
        Tensor.rand([2**62])
    with pytest.raises(ValueError):
        Tensor.randn([2**32, 2**32])


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on impossible sizes")
@pytest.mark.parametrize("make", [Tensor.rand, Tensor.randn])
def test_unobtainable_memory_is_memory_error(make):
    with pytest.raises(MemoryError):
        make([2**42])


@pytest.mark.parametrize("make", [Tensor.rand, Tensor.randn])
@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        (("23",), {}, TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
        ((23,), {}, TypeError, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
        (([2.0],), {}, TypeError, "argument 'shape': "),
        (([-1],), {}, OverflowError, ""),
        (([2**64],), {}, OverflowError, ""),
        ((), {}, TypeError, "Tensor.{name}() missing 1 required positional argument: 'shape'"),
        (([1], [1]), {}, TypeError, "Tensor.{name}() takes 1 positional arguments but 2 were given"),
        (([1],), {"shape": [1]}, TypeError, "Tensor.{name}() got multiple values for argument 'shape'"),
        ((), {"size": [1]}, TypeError, "Tensor.{name}() got an unexpected keyword argument 'size'"),
    ],
)
def test_argument_errors(make, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        make(*args, **kwargs)
    assert str(info.value).startswith(text.format(name=make.__name__))


@pytest.mark.parametrize(
    "name, doc",
    [
        ("randn", "Create a tensor with random values from normal distribution"),
        ("rand", "Create a tensor with random values from uniform distribution"),
    ],
)
def test_docs_and_signatures(name, doc):
    method = getattr(Tensor, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == "(shape)"
    assert str(inspect.signature(method)) == "(shape)"
    assert isinstance(inspect.getattr_static(Tensor, name), staticmethod)
    assert getattr(Tensor.zeros([1]), name)([2]).shape == [2]
