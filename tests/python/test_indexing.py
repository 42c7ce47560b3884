"""Basic indexing: t[key] against NumPy's basic indexing of the same elements
(shape, strides, position, values) over a generated battery of keys on every
layout of the suite; the errors; items that cannot be assigned; iteration over
the first dimension."""

import random

import numpy as np
import pytest

from _nimbra import Tensor
from reference import assert_bits_equal, values
from test_interop import VIEWS


def random_key(rng, shape):
    """A basic index for `shape`: integers of either sign, slices with bounds
    beyond the ends and any step, at most one ellipsis, new axes."""
    ndim = len(shape)
    count = rng.randint(0, ndim)
    ellipsis_at = rng.randint(0, count) if rng.random() < 0.4 else None
    items = []
    for i in range(count):
        if i == ellipsis_at:
            items.append(...)
        dim = i if ellipsis_at is None or i < ellipsis_at else ndim - (count - i)
        size = shape[dim]
        if size and rng.random() < 0.3:
            items.append(rng.randrange(-size, size))
        else:
            bound = lambda: rng.choice([None, rng.randint(-size - 2, size + 2)])  # noqa: E731
            items.append(slice(bound(), bound(), rng.choice([None, 1, 2, 3, -1, -2, -5])))
    if ellipsis_at == count:
        items.append(...)
    for _ in range(rng.choice([0, 0, 1, 2])):
        items.insert(rng.randint(0, len(items)), None)
    return items[0] if len(items) == 1 and rng.random() < 0.5 else tuple(items)


@pytest.mark.parametrize("view", VIEWS)
def test_views_match_numpy(view):
    t = VIEWS[view][0]()
    ref = np.asarray(t)  # the same elements under the same strides
    rng = random.Random(view)
    for _ in range(400):
        key = random_key(rng, t.shape)
        # With an ellipsis NumPy gives a 0-d array, not a scalar, for an
        # integer on every dimension.
        items = key if isinstance(key, tuple) else (key,)
        got, want = t[key], ref[items if ... in items else (*items, ...)]
        shared = np.asarray(got)
        assert (got.shape, shared.strides) == (list(want.shape), want.strides), key
        assert want.size == 0 or shared.ctypes.data == want.ctypes.data, f"{key}: not the same first element"
        assert_bits_equal(values(got), want, str(key))


class Idx:
    def __index__(self):
        return 1


@pytest.mark.parametrize("key", [Idx(), np.int64(1), np.uint8(1), (Idx(), slice(Idx(), None))])
def test_index_protocol_objects_are_integers(key):
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    assert_bits_equal(values(Tensor.from_buffer(a)[key]), a[key])


@pytest.mark.parametrize(
    "key, error, text",
    [
        ((..., -5), IndexError, "index -5 is out of bounds for dimension 1 with size 4"),
        (2**64, IndexError, "cannot fit 'int' into an index-sized integer"),
        (1.0, TypeError, "Tensor indices must be integers, slices, ellipsis (...) or None, not float"),
        ((0, True), TypeError, "not bool (a boolean is not an index)"),
        ([0, 1], TypeError, "not list (indexing with sequences or arrays is not supported)"),
        ((0, (1,)), TypeError, "not tuple (indexing with sequences"),
        (Tensor.zeros([1]), TypeError, "not Tensor (indexing with sequences"),
        (np.zeros(1, np.int64), TypeError, "not ndarray (indexing with sequences"),
        ("0", TypeError, "not str"),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
        (slice(0.5, None), TypeError, "slice indices must be integers"),
    ],
)
def test_refused_keys(key, error, text):
    with pytest.raises(error) as info:
        Tensor.zeros([3, 4])[key]
    assert text in str(info.value)


def test_items_cannot_be_assigned_or_deleted():
    t = Tensor.zeros([2])
    with pytest.raises(TypeError, match="^Tensor does not support item assignment: tensors are immutable$"):
        t[0] = Tensor.ones([])
    with pytest.raises(TypeError, match="^Tensor does not support item deletion: tensors are immutable$"):
        del t[0]
    assert t.tolist() == [0.0, 0.0]


def test_iteration_walks_the_first_dimension():
    t = Tensor.from_buffer(np.arange(6, dtype=np.float32).reshape(3, 2))
    first, _, last = t
    assert (first.tolist(), last.tolist()) == ([0.0, 1.0], [4.0, 5.0])
    assert [row.shape for row in t.transpose(0, 1)] == [[3], [3]]
    assert list(Tensor.zeros([0, 2])) == []
    with pytest.raises(TypeError, match="^iteration over a 0-d tensor$"):
        iter(Tensor([1.0], []))
    # No __len__: len() fails and truth stays the plain object's.
    with pytest.raises(TypeError):
        len(t)
    assert bool(Tensor.zeros([0])) and bool(Tensor.zeros([]))
