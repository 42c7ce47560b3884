#!/usr/bin/env python3
"""Tensor.__dlpack__ with generated argument combinations, on tensors that
may be strided views, 0-d or empty; the capsule it gives is read through
the published DLPack layout, after the tensor itself may be gone, then
taken over (renamed and released) or dropped unconsumed. NumPy's
from_dlpack consumes it as a real consumer.

Acceptable arguments must give a capsule whose tensor is the source's
elements, shared read-only or copied as the protocol says; anything else
must raise."""

import ctypes
import math
import operator
import sys

import atheris
import numpy as np

from _nimbra import Tensor

with atheris.instrument_imports():
    from fuzzlib import EXPECTED, Index, Planted, run_actions

if not hasattr(Tensor, "__dlpack__"):
    print("SKIPPED: Tensor.__dlpack__ does not exist yet")
    sys.exit(0)

OUTCOMES = (*EXPECTED, BufferError)
READ_ONLY, IS_COPIED = 1, 2


class DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


Deleter = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class Managed(ctypes.Structure):
    _fields_ = [("dl_tensor", DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", Deleter)]


class ManagedVersioned(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32), ("manager_ctx", ctypes.c_void_p),
                ("deleter", Deleter), ("flags", ctypes.c_uint64), ("dl_tensor", DLTensor)]


api = ctypes.pythonapi
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_SetName.argtypes = [ctypes.py_object, ctypes.c_char_p]
# A capsule keeps the pointer to its name: these must outlive every capsule.
USED_NAMES = {b"dltensor": ctypes.create_string_buffer(b"used_dltensor"),
              b"dltensor_versioned": ctypes.create_string_buffer(b"used_dltensor_versioned")}

STREAMS = [None, 0, 1, -1, 2**70, "x"]
VERSIONS = [None, (1, 0), (1, 3), (0, 8), (2, 0), (1,), (1, 0, 0), [1, 0], (Index(1), 0), (2**40, 0), (-1, 0),
            ("1", 0), (Index(Planted), 0), (1.5, 0), (True, False)]
DEVICES = [None, (1, 0), (1, 1), (2, 0), (0, 0), (1,), [1, 0], (Index(1), Index(0)), (2**31, 0), ("a", 0)]
COPIES = [None, True, False, 0, 1, "yes"]


def gen_tensor(fdp):
    shape = [fdp.ConsumeIntInRange(0, 3) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    t = Tensor([float(fdp.ConsumeIntInRange(-9, 9)) for _ in range(math.prod(shape))], shape)
    if t.ndim >= 2 and fdp.ConsumeBool():
        t = t.transpose(0, t.ndim - 1)
    return t


def as_pair(value):
    """The two i32 a pair argument converts to, or None."""
    if not isinstance(value, tuple) or len(value) != 2:
        return None
    try:
        pair = tuple(operator.index(v) for v in value)
    except (TypeError, Planted):
        return None
    return pair if all(-(2**31) <= v < 2**31 for v in pair) else None


def acceptable(kwargs):
    """Whether the protocol lets the call succeed, and then whether it must
    be versioned."""
    version = kwargs.get("max_version")
    pair = as_pair(version) if version is not None else (0, 0)
    versioned = version is not None and pair is not None and pair[0] >= 1
    device = kwargs.get("dl_device")
    ok = (kwargs.get("stream") is None and pair is not None and (device is None or as_pair(device) == (1, 0))
          and any(kwargs.get("copy") is c for c in (None, True, False))
          and not (kwargs.get("copy") is False and not versioned))
    return ok, versioned


def read_capsule(capsule, versioned, copy, shape, strides, bits):
    """Checks the capsule's tensor against the source's shape, strides (in
    elements) and f32 bits; returns its name, address and structure."""
    name = api.PyCapsule_GetName(capsule)
    assert name == (b"dltensor_versioned" if versioned else b"dltensor"), name
    address = api.PyCapsule_GetPointer(capsule, name)
    managed = (ManagedVersioned if versioned else Managed).from_address(address)
    copied = copy is True or not versioned
    if versioned:
        assert (managed.major, managed.minor) >= (1, 0), (managed.major, managed.minor)
        assert managed.flags == (IS_COPIED if copied else READ_ONLY), managed.flags
    dl = managed.dl_tensor
    assert (dl.device_type, dl.device_id, dl.ndim) == (1, 0, len(shape))
    assert (dl.code, dl.bits, dl.lanes, dl.byte_offset) == (2, 32, 1, 0)
    assert dl.shape[: dl.ndim] == shape
    got_strides = dl.strides[: dl.ndim]
    if copied:
        strides = [math.prod(shape[d + 1:]) for d in range(len(shape))]
    assert got_strides == strides, (got_strides, strides)
    if bits.size:
        first = np.ctypeslib.as_array((ctypes.c_float * 1).from_address(dl.data))
        view = np.lib.stride_tricks.as_strided(first, shape, [4 * s for s in got_strides])
        assert np.array_equal(view.view(np.uint32).ravel(), bits), (view, bits)
    return name, address, managed


def export(fdp):
    t = gen_tensor(fdp)
    kwargs = {}
    for key, pool in (("stream", STREAMS), ("max_version", VERSIONS), ("dl_device", DEVICES), ("copy", COPIES)):
        if fdp.ConsumeBool():
            kwargs[key] = fdp.PickValueInList(pool)
    ok, versioned = acceptable(kwargs)
    shape, strides = t.shape, [s // 4 for s in memoryview(t).strides]
    bits = np.array(t.tolist(), np.float32).view(np.uint32)
    style = fdp.ConsumeIntInRange(0, 15)
    wrong = (style == 0 and kwargs) or style == 1  # the parameters are keyword-only
    try:
        if style == 0:
            capsule = t.__dlpack__(*kwargs.values())
        elif style == 1:
            capsule = t.__dlpack__(**kwargs, bogus=None)
        else:
            capsule = t.__dlpack__(**kwargs)
    except OUTCOMES:
        assert wrong or not ok, kwargs
        raise
    assert ok and not wrong, (kwargs, style)
    if fdp.ConsumeBool():
        del t  # the capsule alone must keep the elements alive
    name, address, managed = read_capsule(capsule, versioned, kwargs.get("copy"), shape, strides, bits)
    if fdp.ConsumeBool():  # taken over: renamed, then released by the consumer
        api.PyCapsule_SetName(capsule, USED_NAMES[name])
        managed.deleter(address)


def consume(fdp):
    t = gen_tensor(fdp)
    copy = fdp.PickValueInList([None, True, False])
    shape, bits = t.shape, np.array(t.tolist(), np.float32).view(np.uint32)
    assert t.__dlpack_device__() == (1, 0)
    arr = np.from_dlpack(t, copy=copy)
    if fdp.ConsumeBool():
        del t
    assert list(arr.shape) == shape and np.array_equal(arr.view(np.uint32).ravel(), bits), (arr, bits)
    # Shared elements are read-only: NumPy must not be able to write them.
    assert copy is True or not arr.flags.writeable


ACTIONS = [export, export, consume]


if __name__ == "__main__":
    run_actions(ACTIONS, OUTCOMES)
