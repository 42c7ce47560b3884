"""Tensor basics: construction, zeros/ones, the properties, tolist, the text
representation, and the limits on shapes and sizes."""

import os
import struct

import numpy as np
import pytest

from _nimbra import Tensor

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"


def f32_bits(values):
    return list(struct.unpack(f"<{len(values)}I", struct.pack(f"<{len(values)}f", *values)))


def overcommits_always():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


# ---- construction and reading back -----------------------------------------------


@pytest.mark.parametrize(
    "shape",
    [[], [1], [4], [2, 3], [3, 1, 2], [0], [0, 5], [5, 0], [2, 0, 3], [1] * 6, [1] * 7, [2, 1, 2, 1, 2, 1, 2, 1]],
    ids=str,
)
def test_round_trip_and_properties(shape):
    n = int(np.prod(shape, dtype=np.int64))
    values = [float(i) * 0.5 - 3.0 for i in range(n)]
    t = Tensor(values, shape)
    assert t.shape == shape
    assert t.ndim == len(shape)
    assert t.size == n
    assert t.tolist() == values
    assert repr(t) == "Tensor(shape=[" + ", ".join(map(str, shape)) + "], dtype=f32)"
    for made, fill in ((Tensor.zeros(shape), 0.0), (Tensor.ones(shape), 1.0)):
        assert made.shape == shape
        assert made.ndim == len(shape)
        assert made.size == n
        assert made.tolist() == [fill] * n
        assert repr(made) == repr(t)


def test_zero_dimensional():
    t = Tensor([5.0], [])
    assert t.shape == []
    assert t.ndim == 0
    assert t.size == 1
    assert t.tolist() == [5.0]
    assert repr(t) == "Tensor(shape=[], dtype=f32)"
    z = Tensor.zeros([])
    assert (z.shape, z.ndim, z.size, z.tolist()) == ([], 0, 1, [0.0])


def test_tolist_is_flat_and_widens_exactly():
    assert Tensor([[1, 2], [3, 4]], [2, 2]).tolist() == [1.0, 2.0, 3.0, 4.0]
    got = Tensor([0.1, 1 / 3, 1e-45], [3]).tolist()
    assert got[0] == 0.10000000149011612
    assert got == [float(np.float32(v)) for v in (0.1, 1 / 3, 1e-45)]
    assert all(type(v) is float for v in got)


def test_tolist_returns_a_new_list_each_time():
    t = Tensor([1.0, 2.0], [2])
    a, b = t.tolist(), t.tolist()
    assert a == b and a is not b
    a.append(3.0)
    a[0] = 9.0
    assert t.tolist() == [1.0, 2.0]


def test_shape_returns_a_new_list_each_time():
    t = Tensor.zeros([2, 3])
    s = t.shape
    assert type(s) is list and s == [2, 3]
    assert t.shape is not s
    s.append(7)
    s[0] = 5
    assert t.shape == [2, 3]
    assert all(type(d) is int for d in t.shape)


@pytest.mark.parametrize("name", ["shape", "ndim", "size"])
def test_properties_are_read_only(name):
    t = Tensor.zeros([2])
    with pytest.raises(AttributeError):
        setattr(t, name, [1])
    with pytest.raises(AttributeError):
        delattr(t, name)
    assert t.shape == [2]


def test_zeros_and_ones_bits():
    assert set(f32_bits(Tensor.zeros([64, 3]).tolist())) == {0x00000000}, "zeros are +0.0"
    assert set(f32_bits(Tensor.ones([5, 7]).tolist())) == {0x3F800000}
    assert set(f32_bits(Tensor.zeros([1 << 16]).tolist())) == {0}


def test_constructor_keeps_every_bit_pattern():
    patterns = [0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000]
    values = list(struct.unpack(f"<{len(patterns)}f", struct.pack(f"<{len(patterns)}I", *patterns)))
    assert f32_bits(Tensor(values, [2, 4]).tolist()) == patterns


def test_data_and_shape_arguments_are_not_changed():
    data = [[1, 2.5], [True, [3]]]
    shape = [2, 2]
    snapshot = repr(data), repr(shape)
    t = Tensor(data, shape)
    assert (repr(data), repr(shape)) == snapshot
    assert t.tolist() == [1.0, 2.5, 1.0, 3.0]


def test_large_tensor_round_trip():
    values = np.arange(300_000, dtype=np.float32).tolist()
    t = Tensor(values, [300, 1000])
    assert t.tolist() == values
    assert t.size == 300_000


def test_repr_of_wide_sizes():
    assert repr(Tensor.zeros([0, 2**64 - 1])) == "Tensor(shape=[0, 18446744073709551615], dtype=f32)"


# ---- size limits ---------------------------------------------------------------


@pytest.mark.parametrize("make", [Tensor.zeros, Tensor.ones])
@pytest.mark.parametrize(
    "shape",
    [[2**40, 2**40], [2**32, 2**32], [2**63, 2], [2**64 - 1, 2**64 - 1], [2] * 64 + [1, 2]],
    ids=["2^80", "2^64-wraps-to-0", "2^64-from-2^63", "max-squared", "65-twos"],
)
def test_element_count_beyond_64_bits_is_value_error(make, shape):
    with pytest.raises(ValueError, match="64"):
        make(shape)


@pytest.mark.parametrize("make", [Tensor.zeros, Tensor.ones])
@pytest.mark.parametrize("shape", [[2**62], [2**61], [2**64 - 1], [2**31, 2**31]], ids=str)
def test_byte_count_beyond_signed_64_bits_is_value_error(make, shape):
    with pytest.raises(ValueError):
        make(shape)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer allocator aborts on huge requests")
@pytest.mark.parametrize("make", [Tensor.zeros, Tensor.ones])
def test_unobtainable_memory_is_memory_error(make):
    # 2**61 - 1 elements: the byte count just fits in int64; no machine has it.
    with pytest.raises(MemoryError):
        make([2**61 - 1])
    if overcommits_always():
        pytest.skip("vm.overcommit_memory=1 grants 4 TiB of address space")
    with pytest.raises(MemoryError):
        make([2**40])


@pytest.mark.parametrize("shape", [[0, 2**64 - 1], [2**64 - 1, 0], [2**40, 0, 2**40], [2**63, 2**63, 0]], ids=str)
def test_zero_anywhere_is_a_valid_empty_tensor(shape):
    for t in (Tensor.zeros(shape), Tensor.ones(shape), Tensor([], shape), Tensor([[], [[]]], shape)):
        assert t.shape == shape
        assert t.size == 0
        assert t.ndim == len(shape)
        assert t.tolist() == []


@pytest.mark.parametrize("data", [[], [1.0]])
@pytest.mark.parametrize("shape", [[2**40, 2**40], [2**32, 2**32]], ids=["2^80", "2^64-wraps-to-0"])
def test_constructor_refuses_element_count_beyond_64_bits(data, shape):
    with pytest.raises(ValueError) as info:
        Tensor(data, shape)
    assert "64" in str(info.value)
    assert "doesn't match" not in str(info.value)


@pytest.mark.parametrize(
    "data, shape, text",
    [
        ([1.0], [2**40], "Data length 1 doesn't match shape [1099511627776] (numel=1099511627776)"),
        ([], [2**62], "Data length 0 doesn't match shape [4611686018427387904] (numel=4611686018427387904)"),
        ([], [2**64 - 1], "Data length 0 doesn't match shape [18446744073709551615] (numel=18446744073709551615)"),
        ([1, 2, 3], [2, 2], "Data length 3 doesn't match shape [2, 2] (numel=4)"),
        ([], [], "Data length 0 doesn't match shape [] (numel=1)"),
        ([1.0, 2.0], [], "Data length 2 doesn't match shape [] (numel=1)"),
        ([1.0], [0, 5], "Data length 1 doesn't match shape [0, 5] (numel=0)"),
        ([[1.0], [2.0, [3.0]]], [1] * 7, "Data length 3 doesn't match shape [1, 1, 1, 1, 1, 1, 1] (numel=1)"),
    ],
)
def test_length_check_text(data, shape, text):
    with pytest.raises(ValueError) as info:
        Tensor(data, shape)
    assert str(info.value) == "Failed to create tensor: Invalid shape: " + text
