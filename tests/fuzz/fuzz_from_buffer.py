#!/usr/bin/env python3
"""The buffer protocol both ways.

Tensor.from_buffer reads exporters whose description is generated field by
field (format, item size, length, shape, strides, suboffsets), consistent
or not, through a memoryview made from a raw Py_buffer; and real exporters
(NumPy views with any strides, array, bytes, ctypes, memoryview slices,
tensors). The generated strides stay inside the memory behind the buffer, so
any read outside it is the reader's fault. A consistent description must be
read, into the values NumPy reads from it; an inconsistent one refused.

Tensors are exported with generated request flags through PyObject_GetBuffer;
what they hand out must describe their elements."""

import array
import ctypes
import math
import struct
import sys

import atheris
import numpy as np

from _nimbra import Tensor

with atheris.instrument_imports():
    from fuzzlib import EXPECTED, MAX_ELEMENTS, UNALLOCATABLE, gen_int, run_actions

if not hasattr(Tensor, "from_buffer"):
    print("SKIPPED: Tensor.from_buffer does not exist yet")
    sys.exit(0)

OUTCOMES = (*EXPECTED, BufferError)


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
                ("internal", ctypes.c_void_p)]


SsizeP = ctypes.POINTER(ctypes.c_ssize_t)
api = ctypes.pythonapi
api.PyMemoryView_FromBuffer.restype = ctypes.py_object
api.PyMemoryView_FromBuffer.argtypes = [ctypes.POINTER(PyBuffer)]
api.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
api.PyBuffer_Release.argtypes = [ctypes.POINTER(PyBuffer)]

CODES = "fdbBhHiIlLqQnN"
ODD_FORMATS = [b"e", b"?", b"c", b"x", b"P", b"2f", b"ff", b"T{f:x:}", b"", b"Zf", b"<", b"@@f", b"fd",
               b"\xff", b"O", b"<n", b"=e"]


def numpy_dtype(fmt):
    """The NumPy type that the struct format names, or None when the reader
    must refuse it."""
    text = fmt.decode("latin-1")
    order, code = (text[0], text[1:]) if text and text[0] in "@=<>!" else ("@", text)
    if len(code) != 1 or code not in CODES or (order != "@" and code in "nN"):
        return None
    size = struct.calcsize(order + code)
    kind = "f" if code in "fd" else ("i" if code.islower() else "u")
    return np.dtype({"@": "=", "=": "=", "<": "<", ">": ">", "!": ">"}[order] + kind + str(size))


def expected_values(arr):
    """The f32 bits that reading `arr` must give: 64-bit integers go
    through double."""
    with np.errstate(all="ignore"):
        if arr.dtype.kind in "iu" and arr.dtype.itemsize == 8:
            arr = arr.astype(np.float64)
        return arr.astype(np.float32).view(np.uint32).ravel()


def check_read(t, shape, bits):
    assert t.shape == list(shape), (t.shape, shape)
    got = np.asarray(memoryview(t)).view(np.uint32).ravel() if t.size else bits
    assert np.array_equal(got, bits), (got, bits)


def ssize(value):
    """A Python int as the Py_ssize_t field it is stored in."""
    return (value + 2**63) % 2**64 - 2**63


def described(fdp):
    """A memoryview over a generated Py_buffer, the shape and f32 bits that
    reading it must give when its description is consistent and its
    elements few (None otherwise), and what must stay alive while it is read. None instead for
    a description whose memory or element count is too large to try."""
    if fdp.ConsumeIntInRange(0, 7) == 7:
        fmt = fdp.PickValueInList(ODD_FORMATS)
    else:
        fmt = (fdp.PickValueInList(["", "@", "=", "<", ">", "!"]) + fdp.PickValueInList(list(CODES))).encode()
    dtype = numpy_dtype(fmt)
    size = dtype.itemsize if dtype is not None else 4
    itemsize = fdp.PickValueInList([0, 1, 2, 3, 8, 16, -1, 2**40]) if fdp.ConsumeIntInRange(0, 7) == 7 else size
    ndim = fdp.ConsumeIntInRange(5, 64) if fdp.ConsumeIntInRange(0, 15) == 15 else fdp.ConsumeIntInRange(0, 4)
    shape = [fdp.ConsumeIntInRange(0, 4) if ndim < 5 else 1 for _ in range(ndim)]
    if ndim and fdp.ConsumeIntInRange(0, 7) == 7:
        shape[fdp.ConsumeIntInRange(0, ndim - 1)] = ssize(gen_int(fdp))
    strides, step = [0] * ndim, size
    for d in reversed(range(ndim)):
        strides[d], step = step, step * max(shape[d], 0)
    for d in range(ndim):
        if fdp.ConsumeIntInRange(0, 3) == 3:
            strides[d] = fdp.PickValueInList([0, 1, 3, -size, 2 * size, -3 * size, size + 1, 2**40, -(2**62)])
    count = math.prod(shape)
    packed = ssize(count * size)
    length = fdp.PickValueInList([0, packed + 1, packed - 1, -1, 2**62]) if fdp.ConsumeIntInRange(0, 7) == 7 \
        else packed
    suboffsets = fdp.ConsumeIntInRange(0, 31) == 31
    if min(shape, default=1) > 0:
        low = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
        high = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + max(size, itemsize, 1)
    else:
        low, high = 0, 0
    if high - low > 1 << 22 or MAX_ELEMENTS < count < UNALLOCATABLE:
        return None
    offset = -low + fdp.ConsumeIntInRange(0, 3)
    backing = bytearray(fdp.ConsumeBytes(offset + high))
    backing.extend(bytes(offset + high - len(backing)))
    raw = (ctypes.c_char * len(backing)).from_buffer(backing)
    fmt_buffer = ctypes.create_string_buffer(fmt)
    geometry = (ctypes.c_ssize_t * (3 * ndim + 1))(*shape, *strides, *[-1] * (ndim + 1))
    at = ctypes.addressof(geometry)
    view = PyBuffer(buf=ctypes.addressof(raw) + offset, len=length, itemsize=itemsize, readonly=1, ndim=ndim,
                    format=ctypes.cast(fmt_buffer, ctypes.c_char_p), shape=ctypes.cast(at, SsizeP),
                    strides=ctypes.cast(at + 8 * ndim, SsizeP),
                    suboffsets=ctypes.cast(at + 16 * ndim, SsizeP) if suboffsets else None)
    mv = api.PyMemoryView_FromBuffer(ctypes.byref(view))
    consistent = (dtype is not None and itemsize == size and length == packed and not suboffsets
                  and min(shape, default=0) >= 0)
    expected = None
    if consistent and count <= MAX_ELEMENTS:
        bits = expected_values(np.ndarray(shape, dtype, buffer=backing, offset=offset, strides=strides)) \
            if count else np.zeros(0, np.uint32)
        expected = (shape, bits)
    return mv, expected, (backing, raw, fmt_buffer)


def real_exporter(fdp):
    """A buffer from a real exporter, and the NumPy array it holds."""
    kind = fdp.ConsumeIntInRange(0, 5)
    base = np.frombuffer(fdp.ConsumeBytes(64).ljust(64, b"\0"), np.uint8)
    if kind == 0:
        code = fdp.PickValueInList(list("fdbBhHiIlLqQe?FD"))
        arr = base[: 64 // np.dtype(code).itemsize * np.dtype(code).itemsize].view(code)
        if fdp.ConsumeBool():
            arr = arr.byteswap().view(arr.dtype.newbyteorder())
        n = arr.size
        shape = (2, n // 4, 2) if fdp.ConsumeBool() and n >= 8 else (n,)
        arr = arr[: math.prod(shape)].reshape(shape)
        step = fdp.PickValueInList([1, 2, -1, -2])
        arr = arr[::step].swapaxes(0, -1)
        return arr, arr
    if kind == 1:
        arr = np.broadcast_to(base[:4].view(np.float32), (fdp.ConsumeIntInRange(0, 9), 3))
        return arr, arr
    if kind == 2:
        a = array.array(fdp.PickValueInList(list("bBhHiIlLqQfd")), base.tobytes()[:32])
        return a, np.asarray(memoryview(a))
    if kind == 3:
        mv = memoryview(base.tobytes())[:: fdp.PickValueInList([1, 3, -1])]
        return mv, np.asarray(mv)
    if kind == 4:
        arr = (ctypes.c_int32 * 4)(*base.view(np.int32)[:4].tolist())
        return arr, np.ctypeslib.as_array(arr)
    values = base.view(np.float32)[:12].tolist()
    t = Tensor(values, [3, 4]).transpose(0, 1)
    return t, np.array(values, np.float32).reshape(3, 4).T


def import_described(fdp):
    made = described(fdp)
    if made is None:
        return
    mv, expected, _alive = made
    try:
        t = Tensor.from_buffer(mv)
    except OUTCOMES:
        assert expected is None, "a consistent buffer was refused"
        raise
    assert expected is not None, "an inconsistent or impossible buffer was read"
    check_read(t, *expected)


def import_real(fdp):
    obj, ref = real_exporter(fdp)
    t = Tensor.from_buffer(obj if fdp.ConsumeBool() else memoryview(obj))
    check_read(t, ref.shape, expected_values(ref))


def export(fdp):
    """A tensor view handed out under generated request flags."""
    shape = [fdp.ConsumeIntInRange(0, 3) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    values = [float(i) for i in range(math.prod(shape))]
    t = Tensor(values, shape)
    if t.ndim >= 2 and fdp.ConsumeBool():
        t = t.transpose(0, t.ndim - 1)
    flags = fdp.ConsumeIntInRange(0, 0x1FF) if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeInt(4)
    if fdp.ConsumeIntInRange(0, 3):  # mostly leave out PyBUF_WRITABLE, which is always refused
        flags &= ~1
    view = PyBuffer()
    api.PyObject_GetBuffer(t, ctypes.byref(view), flags)
    try:
        assert not flags & 1, "a writable buffer was handed out"
        assert view.readonly == 1 and view.itemsize == 4 and view.len == 4 * t.size
        assert view.format == (b"f" if flags & 4 else None), view.format
        ndim = t.ndim if flags & 8 == 8 else 1
        assert view.ndim == ndim, (view.ndim, flags)
        if flags & 8 and ndim:
            assert view.shape[:ndim] == t.shape
        if flags & 0x18 == 0x18 and ndim and t.size:
            strides = view.strides[:ndim]
            first = (ctypes.c_float * 1).from_address(view.buf)
            got = np.lib.stride_tricks.as_strided(np.ctypeslib.as_array(first), t.shape, strides)
            assert got.ravel().tolist() == t.tolist()
    finally:
        api.PyBuffer_Release(ctypes.byref(view))


ACTIONS = [import_described, import_described, import_real, export]


if __name__ == "__main__":
    run_actions(ACTIONS, OUTCOMES)
