"""Data in and out: Tensor.from_buffer against the list constructor over every
accepted format and layout, zero-copy export through the buffer protocol and
DLPack (shared memory, lifetime, read-only), import through DLPack, float()
and int(), and layers built from trained weights."""

import array
import ctypes
import gc
import math
import operator
import os
import re
import warnings

import numpy as np
import pytest

from _nimbra import Tensor, nn
from reference import assert_bits_equal, run_python, values
from test_leaks import MB, SANITIZED, growth
from test_nn import parameters

try:
    import torch
except ImportError:
    # CI installs PyTorch and sets this, so the exchange is checked there.
    if os.environ.get("NIMBRA_REQUIRE_TORCH") == "1":
        raise
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="PyTorch is not installed")


def sample(dtype, shape, seed=0):
    """Values of `dtype` in `shape`, led by its extremes (and the float specials)."""
    dt = np.dtype(dtype)
    native = dt.newbyteorder("=")
    rng = np.random.default_rng(seed)
    if dt.kind == "f":
        lead = [0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45, 3.4028235677973366e38, 1e300, -1e-310]
        out = (rng.standard_normal(shape) * 1e3).astype(native)
    else:
        info = np.iinfo(native)
        # 2**60 + 2**36 + 1 rounds differently once than through a double.
        lead = [info.min, info.max, 0, info.max // 3] + ([(1 << 60) + (1 << 36) + 1] if info.bits == 64 else [])
        out = rng.integers(info.min, info.max, shape, dtype=native, endpoint=True)
    with np.errstate(over="ignore"):
        out.flat[: len(lead)] = lead
    return out.astype(dt)


DTYPES = ["<f4", ">f4", "<f8", ">f8", "i1", "u1", "<i2", ">u2", "<i4", ">u4", "<i8", ">i8", "<u8"]
LAYOUTS = {
    "plain": lambda a: a,
    "transposed": lambda a: a.T,
    "negative": lambda a: a[::-1, ::-2],
    "zero_stride": lambda a: np.broadcast_to(a[:1], a.shape),
    "zero_d": lambda a: a[1, 2, ...],
    "empty": lambda a: a[:0],
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_from_buffer_converts_like_the_constructor(dtype, layout):
    a = LAYOUTS[layout](sample(dtype, (4, 6)))
    t = Tensor.from_buffer(a)
    assert t.shape == list(a.shape)
    # Two ways must agree: the buffer and the Python numbers of the same elements.
    assert_bits_equal(values(t), values(Tensor(np.ravel(a).tolist(), list(a.shape))), f"{dtype} {layout}")
    if np.dtype(dtype) == np.float32:  # and back out, NaN payloads included
        assert np.asarray(t).tobytes() == np.ascontiguousarray(a).tobytes()


@pytest.mark.parametrize(
    "source, want",
    [(array.array("h", [1, -2, 3]), [1, -2, 3]), (b"\x01\xff", [1, 255]),
     (memoryview(np.arange(6.0)).cast("B").cast("d", [2, 3]), np.arange(6.0).reshape(2, 3)),
     (Tensor([[1, 2], [3, 4]], [2, 2]).transpose(0, 1), [[1, 3], [2, 4]])],
    ids=["array", "bytes", "memoryview", "tensor_view"],
)
def test_from_buffer_other_exporters(source, want):
    t = Tensor.from_buffer(source)
    assert t.shape == list(np.shape(want))
    assert_bits_equal(values(t), want)


@pytest.mark.parametrize(
    "source, match",
    [(np.zeros(2, np.float16), "format 'e'"), (np.zeros(2, bool), "format '\\?'"),
     (np.zeros(2, np.complex64), "format 'Zf'"), (np.zeros(2, "i4,f4"), "format 'T\\{"),
     ([1.0, 2.0], "argument 'obj'")],
)
def test_from_buffer_refuses(source, match):
    with pytest.raises(TypeError, match=match):
        Tensor.from_buffer(source)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer aborts on huge allocations")
@pytest.mark.parametrize("shape, error", [((2**31, 2**31), ValueError), ((2**20, 2**20), MemoryError)])
def test_from_buffer_too_large(shape, error):
    with pytest.raises(error):  # zero strides make the source small
        Tensor.from_buffer(np.broadcast_to(np.zeros(1, np.uint8), shape))


# Each view with the byte strides its export must carry.
VIEWS = {
    "plain": (lambda: Tensor([[1, 2, 3], [4, 5, 6]], [2, 3]), (12, 4)),
    "transposed": (lambda: Tensor([[1, 2, 3], [4, 5, 6]], [2, 3]).transpose(0, 1), (4, 12)),
    "batched_transposed": (lambda: Tensor.rand([2, 3, 4]).transpose(0, 1), (16, 48, 4)),
    "zero_d": (lambda: Tensor([2.5], []), ()),
    # Size-1 dimensions may have any stride: both are contiguous either way.
    "size_one_transposed": (lambda: Tensor([1.0, 2.0, 3.0], [1, 3]).transpose(0, 1), (4, 12)),
    "size_one_inner": (lambda: Tensor.rand([2, 3, 1]).transpose(1, 2), (12, 4, 4)),
    "empty": (lambda: Tensor.zeros([0, 3]), (12, 4)),
    "sliced": (lambda: Tensor.rand([4, 5, 6])[::-1, 1::2, ::-2], (-120, 48, -8)),
}


@pytest.mark.parametrize("make, strides", VIEWS.values(), ids=VIEWS.keys())
def test_export_describes_the_tensor_as_it_is(make, strides):
    t = make()
    want = values(t).reshape(t.shape)
    shared = np.asarray(t)
    for out in (shared, np.from_dlpack(t), np.asarray(memoryview(t))):
        assert (out.shape, out.strides, out.dtype) == (tuple(t.shape), strides, np.float32)
        assert not out.flags.writeable
        assert_bits_equal(out, want)
        assert out.size == 0 or np.shares_memory(out, shared)
    assert bytes(t) == want.tobytes()


def test_array_protocol_views_copies_and_converts():
    t = Tensor([[1, 2, 3], [4, 5, 6]], [2, 3]).transpose(0, 1)
    view = t.__array__()
    assert not view.flags.writeable and np.shares_memory(view, np.asarray(t)) and view.strides == (4, 12)
    for copy in (t.__array__(copy=True), np.array(t)):
        assert copy.flags.writeable and not np.shares_memory(copy, view)
        assert_bits_equal(copy, view)
    wide = t.__array__(np.float64)
    assert wide.dtype == np.float64 and (wide == view).all()
    assert np.shares_memory(t.__array__(np.float32, copy=False), view)
    with pytest.raises(ValueError, match="copy"):
        t.__array__(np.float64, copy=False)
    with pytest.raises(TypeError, match="copy must be"):
        t.__array__(copy="yes")
    del t
    assert view.tolist() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]  # the view keeps the elements


@pytest.mark.parametrize("shape, error", [([0, 2**63], BufferError), ([1] * 65, ValueError)])
def test_array_protocol_raises_what_the_export_raises(shape, error):
    # NumPy swallows a failed buffer export and falls back to __array__,
    # which must not hand it an object array instead.
    with pytest.raises(error):
        np.asarray(Tensor.zeros(shape))


def test_numpy_is_imported_by_the_array_protocol_only():
    code = """
        import sys
        from _nimbra import Tensor, nn
        t = nn.Linear(2, 3)(Tensor([1, 2], [1, 2])).softmax(1)
        memoryview(t), t.__dlpack__(), t.tolist()
        assert "numpy" not in sys.modules
        print(type(t.__array__()).__module__)
    """
    assert run_python(code).split() == ["numpy"]


class Py_buffer(ctypes.Structure):  # noqa: N801 - the C name
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


def request(obj, flags):
    """Asks for a buffer with exactly these flags, as a C consumer would."""
    view = Py_buffer()
    ctypes.pythonapi.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int]
    ctypes.pythonapi.PyObject_GetBuffer(obj, ctypes.byref(view), flags)  # raises the exporter's error
    ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.POINTER(Py_buffer)]
    ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))


SIMPLE, WRITABLE, STRIDED, C_ORDER, F_ORDER, ANY_ORDER = 0, 0x1, 0x18, 0x38, 0x58, 0x98


@pytest.mark.parametrize(
    "view, flags, refusal",
    [("plain", SIMPLE, None), ("plain", C_ORDER, None), ("plain", F_ORDER, "column-major"),
     ("plain", WRITABLE, "read-only"), ("plain", STRIDED | WRITABLE, "read-only"),
     ("transposed", SIMPLE, "with strides"), ("transposed", C_ORDER, "row-major"), ("transposed", F_ORDER, None),
     ("transposed", ANY_ORDER, None), ("batched_transposed", ANY_ORDER, "not contiguous"),
     ("batched_transposed", STRIDED, None), ("empty", C_ORDER | F_ORDER, None),
     ("size_one_transposed", SIMPLE, None), ("size_one_transposed", C_ORDER | F_ORDER, None),
     ("size_one_inner", SIMPLE, None), ("size_one_inner", F_ORDER, "column-major")],
)
def test_buffer_requests(view, flags, refusal):
    t = VIEWS[view][0]()
    if refusal is None:
        request(t, flags)
    else:
        with pytest.raises(BufferError, match=refusal):
            request(t, flags)


class Capsule:
    """A producer handing over a capsule made in advance."""

    def __init__(self, capsule):
        self.capsule = capsule

    def __dlpack__(self, **ignored):
        return self.capsule

    def __dlpack_device__(self):
        return (1, 0)


def test_exported_memory_outlives_the_tensor():
    t = Tensor.rand([1000])
    want = t.tolist()
    outs = [np.asarray(t), np.from_dlpack(t), memoryview(t), Capsule(t.__dlpack__(max_version=(1, 0)))]
    del t
    gc.collect()
    Tensor.rand([1000]).tolist()  # would take over the block had it been freed
    outs[-1] = np.from_dlpack(outs[-1])
    for out in outs:
        assert np.asarray(out).tolist() == want


def test_dlpack_shares_only_under_the_read_only_flag():
    t = Tensor.rand([3, 4])
    shared = np.asarray(t)
    assert t.__dlpack_device__() == (1, 0)
    # NumPy marks whatever comes through the unversioned form read-only.
    for out in (np.from_dlpack(Capsule(t.__dlpack__())), np.from_dlpack(t, copy=True)):
        assert not np.shares_memory(out, shared)
        assert_bits_equal(out, shared)
    assert np.from_dlpack(t, copy=True).flags.writeable
    assert np.shares_memory(np.from_dlpack(t, copy=False), shared)
    refusals = [({"copy": False}, BufferError, "DLPack 1.0"), ({"dl_device": (2, 0)}, BufferError, "device \\(2, 0\\)"),
                ({"stream": 1}, ValueError, "stream must be None"), ({"copy": "yes"}, TypeError, "copy must be"),
                ({"max_version": 1}, TypeError, "max_version must be")]
    for kwargs, error, match in refusals:
        with pytest.raises(error, match=match):
            t.__dlpack__(**kwargs)


@pytest.mark.skipif(SANITIZED, reason="memory use means nothing under sanitizers")
@pytest.mark.parametrize(
    "make",
    [lambda t: t.__dlpack__(max_version=(1, 0)), lambda t: t.__dlpack__(),
     lambda t: np.from_dlpack(Capsule(t.__dlpack__())), lambda t: Tensor.from_dlpack(t),
     lambda t: Tensor.from_dlpack(Capsule(t.__dlpack__()))],
    ids=["unconsumed_shared", "unconsumed_copy", "consumed_copy", "imported_shared", "imported_copy"],
)
def test_capsules_free_their_memory(make):
    t = Tensor.rand([1 << 20])  # 4 MB: 200 leaked copies would hold 800 MB
    assert growth(lambda: make(t), 200)[1] < 24 * MB


@needs_torch
def test_torch_reads_shared_elements():
    t = Tensor.rand([5, 7]).transpose(0, 1)
    p = torch.from_dlpack(t)
    assert list(p.shape) == t.shape and p.data_ptr() == np.asarray(t).ctypes.data
    assert_bits_equal(p.numpy(), values(t))
    plain = Tensor.rand([3, 4])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # PyTorch's note that the buffer is read-only
        flat = torch.asarray(plain)  # PyTorch reads every buffer exporter as flat
    assert_bits_equal(flat.numpy(), values(plain))


@pytest.mark.parametrize("convert", [float, int])
@pytest.mark.parametrize("shape", [[], [1], [1, 1, 1], [2], [0], [1, 3]])
def test_float_and_int_need_exactly_one_element(shape, convert):
    t = Tensor([-2.75] * int(np.prod(shape)), shape)
    if t.size == 1:
        assert convert(t) == convert(-2.75) and type(convert(t)) is convert
    else:
        with pytest.raises(TypeError, match=re.escape(f"{convert.__name__}() needs a tensor of exactly one element, "
                                                      f"got shape {shape}")):
            convert(t)


@pytest.mark.parametrize("value", [0.9999, -0.0, 16777217.0, 3e38, -3e38, math.nan, math.inf, -math.inf])
def test_int_truncates_as_int_of_float(value):
    want = float(np.float32(value))
    try:
        expected = int(want)
    except (ValueError, OverflowError) as e:
        with pytest.raises(type(e), match=re.escape(str(e))):
            int(Tensor([value], []))
    else:
        assert int(Tensor([value], [])) == expected
    with pytest.raises(TypeError):  # int() but no __index__: never an index
        operator.index(Tensor([1.0], []))


def test_from_weights_shares_and_forwards_like_matmul_add():
    w, b = Tensor.randn([5, 3]), Tensor.randn([5])
    layer = nn.Linear.from_weights(w, b)
    assert (layer.in_features, layer.out_features) == (3, 5)
    assert np.shares_memory(np.asarray(layer.weight), np.asarray(w))
    assert np.shares_memory(np.asarray(layer.bias), np.asarray(b))
    for x in (Tensor.randn([4, 3]), Tensor.randn([2, 3, 4]).transpose(1, 2)):
        assert_bits_equal(values(layer(x)), values(x @ w.transpose(0, 1) + b))
    with pytest.raises(AttributeError):
        layer.weight = w
    # A random layer's properties are the parameters its forward uses.
    random_layer = nn.Linear(4, 3)
    weight, bias = parameters(random_layer, 4, 3)
    assert_bits_equal(np.asarray(random_layer.weight), weight)
    assert_bits_equal(np.asarray(random_layer.bias), bias)
    assert (random_layer.in_features, random_layer.out_features) == (4, 3)


@pytest.mark.parametrize(
    "weight, bias, error, match",
    [([3, 2], [4], ValueError, "bias for weight \\[3, 2\\] has shape \\[3\\], got \\[4\\]"),
     ([3, 2], [1, 3], ValueError, "got \\[1, 3\\]"),
     ([6], [6], ValueError, "\\[out_features, in_features\\].*got \\[6\\]"),
     ([3, 0], [3], ValueError, "in_features at least 1, got \\[3, 0\\]"),
     (None, [3], TypeError, "argument 'weight'"),
     ([3, 2], None, TypeError, "argument 'bias'")],
)
def test_from_weights_refuses(weight, bias, error, match):
    w = Tensor.zeros(weight) if weight is not None else np.zeros((3, 2), np.float32)
    b = Tensor.zeros(bias) if bias is not None else [0.0] * 3
    with pytest.raises(error, match=match):
        nn.Linear.from_weights(w, b)


# ---- Tensor.from_dlpack --------------------------------------------------------

def capsule_name(capsule):
    ctypes.pythonapi.PyCapsule_GetName.restype = ctypes.c_char_p
    ctypes.pythonapi.PyCapsule_GetName.argtypes = [ctypes.py_object]
    return ctypes.pythonapi.PyCapsule_GetName(capsule).decode()


class OldProducer:
    """A producer from before the versioned form: __dlpack__ takes no max_version."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, stream=None):
        return self.array.__dlpack__()

    def __dlpack_device__(self):
        return self.array.__dlpack_device__()


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", [d for d in DTYPES if np.dtype(d).isnative])
def test_from_dlpack_reads_like_from_buffer(dtype, layout):
    a = LAYOUTS[layout](sample(dtype, (4, 6)))
    want = values(Tensor.from_buffer(a))
    # NumPy exports a read-only array only in the versioned form.
    for producer in (a, OldProducer(a)) if a.flags.writeable else (a,):
        t = Tensor.from_dlpack(producer)
        assert t.shape == list(a.shape)
        assert_bits_equal(values(t), want, f"{dtype} {layout}")


@needs_torch
@pytest.mark.parametrize(
    "make",
    [lambda: torch.arange(12.0).reshape(3, 4).T, lambda: torch.arange(24, dtype=torch.int64).reshape(2, 3, 4)[:, ::2, 1:],
     lambda: torch.rand(3, 1).expand(3, 5), lambda: torch.tensor(2.5, dtype=torch.float64), lambda: torch.zeros(0, 3)],
    ids=["transposed", "sliced_int64", "expanded", "zero_d_float64", "empty"],
)
def test_from_dlpack_reads_torch(make):
    p = make()
    t = Tensor.from_dlpack(p)
    assert t.shape == list(p.shape)
    assert_bits_equal(values(t), p.numpy().astype(np.float32))


@pytest.mark.parametrize("versioned", [True, False])
def test_from_dlpack_takes_the_capsule_over(versioned):
    source = Tensor.rand([3, 4]).transpose(0, 1)
    capsule = source.__dlpack__(max_version=(1, 0)) if versioned else source.__dlpack__()
    name = "dltensor_versioned" if versioned else "dltensor"
    assert capsule_name(capsule) == name
    t = Tensor.from_dlpack(Capsule(capsule))
    assert_bits_equal(values(t), values(source))
    assert not np.shares_memory(np.asarray(t), np.asarray(source)), "a copy"
    assert capsule_name(capsule) == "used_" + name  # the deleter ran here, and the capsule will not run it again
    with pytest.raises(TypeError, match=f"returned a capsule named 'used_{name}', not an unconsumed DLPack tensor"):
        Tensor.from_dlpack(Capsule(capsule))


def test_from_dlpack_leaves_a_capsule_of_another_major_version_alone():
    capsule = Tensor.rand([2]).__dlpack__(max_version=(1, 0))
    ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.POINTER(ctypes.c_uint32)
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    ctypes.pythonapi.PyCapsule_GetPointer(capsule, b"dltensor_versioned")[0] = 2  # version.major
    with pytest.raises(BufferError, match="exported DLPack 2.0, which this library cannot read"):
        Tensor.from_dlpack(Capsule(capsule))
    assert capsule_name(capsule) == "dltensor_versioned", "still the capsule's to release"


class Elsewhere(Capsule):
    def __dlpack_device__(self):
        return (2, 0)


@pytest.mark.parametrize(
    "producer, error, text",
    [
        ([1.0], TypeError, "argument 'obj': 'list' object cannot be converted to 'DLPack producer'"),
        (np.zeros(2, np.float16), TypeError, "cannot read elements of type float16: it reads float32, float64"),
        (np.zeros(2, bool), TypeError, "cannot read elements of type bool8"),
        (np.zeros(2, np.complex64), TypeError, "cannot read elements of type complex64"),
        (Elsewhere(None), BufferError, "the elements are on device (2, 0), not the CPU (1, 0)"),
        (Capsule(b"not a capsule"), TypeError, "__dlpack__() did not return a capsule"),
    ],
)
def test_from_dlpack_refuses(producer, error, text):
    with pytest.raises(error) as info:
        Tensor.from_dlpack(producer)
    assert text in str(info.value)
