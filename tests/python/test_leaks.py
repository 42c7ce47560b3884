"""No leaks: reference counts of arguments, of the items inside them and of the
Tensor type stay put across successful and failing calls, and repeating the
calls does not grow the process."""

import gc
import operator
import os
import sys

import numpy as np
import pytest

import _nimbra
import nimbra
from _nimbra import Tensor

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class RaisingIndex:
    """Raises a fresh exception from make() each time (re-raising one instance
    would chain tracebacks and keep every call's frames alive)."""

    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def type_error_caused_by(cause):
    e = TypeError("named")
    e.__cause__ = cause
    return e


def call_quietly(fn, *args, **kwargs):
    """Calls fn and returns the type of what it raised (or None); drops the
    exception and its traceback before returning."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - every failure counts here
        return type(e)
    return None


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def build_cases():
    """(label, callable, args, kwargs, expected exception type or None, objects to watch)."""
    fl, ix, one = Floaty(2.0), Idx(2), 1.5
    inner = [one, fl]
    data = [inner, 3.0]
    shape = [ix, 1]
    shape_tuple = (ix, 1)
    cause = KeyError("root")
    named = RaisingIndex(lambda: type_error_caused_by(cause))
    overflow = RaisingIndex(lambda: OverflowError("as raised"))
    bad_item = object()
    big = 10**400
    recursive = [1.0]
    recursive.append(recursive)
    t = Tensor([[1.0, -2.0], [3.0, 0.5]], [2, 2])
    falsy = RaisingBool()
    grid = Tensor.zeros([3, 4, 5])
    key = (slice(ix, None), ix, None)
    array = np.ones((3, 2), np.float32)
    watched = [fl, ix, one, inner, data, shape, shape_tuple, cause, named, overflow, bad_item, big, recursive, t, falsy,
               grid, key, array]
    cases = [
        ("new", Tensor, (data, [3]), {}, None),
        ("new-kw", Tensor, (), {"data": data, "shape": [3]}, None),
        ("new-index-shape", Tensor, ([1.0] * 2, shape), {}, None),
        ("zeros", Tensor.zeros, (shape,), {}, None),
        ("ones-tuple", Tensor.ones, (shape_tuple,), {}, None),
        ("zeros-kw", Tensor.zeros, (), {"shape": shape}, None),
        ("length-mismatch", Tensor, (data, [4]), {}, ValueError),
        ("data-not-list", Tensor, (shape_tuple, shape), {}, ValueError),
        ("invalid-item", Tensor, ([fl, bad_item], [2]), {}, ValueError),
        ("too-big-int", Tensor, ([big], [1]), {}, ValueError),
        ("recursive", Tensor, (recursive, [1]), {}, RecursionError),
        ("shape-str", Tensor, (data, "3"), {}, TypeError),
        ("shape-int", Tensor.zeros, (3,), {}, TypeError),
        ("named-with-cause", Tensor.zeros, ([named],), {}, TypeError),
        ("overflow-unchanged", Tensor.ones, ((1, overflow),), {}, OverflowError),
        ("negative", Tensor.zeros, ([ix, -1],), {}, OverflowError),
        ("count-overflow", Tensor, (data, [2**40, 2**40]), {}, ValueError),
        ("bytes-overflow", Tensor.zeros, ([2**62],), {}, ValueError),
        ("too-many", Tensor, (data, shape, ix), {}, TypeError),
        ("missing", Tensor, (data,), {}, TypeError),
        ("multiple", Tensor, (data,), {"data": data}, TypeError),
        ("unexpected", Tensor.zeros, (), {"size": shape}, TypeError),
        # The functions behind the nimbra package's accurate activations.
        ("sigmoid-fn", _nimbra._sigmoid, (t,), {}, None),
        ("tanh-fn-not-tensor", _nimbra._tanh, (data,), {}, TypeError),
        ("gelu-fn-kw", _nimbra._gelu, (), {"t": t, "tanh": True}, None),
        ("gelu-fn-truth-raises", _nimbra._gelu, (t, falsy), {}, ZeroDivisionError),
        ("softmax-fn-index", _nimbra._softmax, (t, Idx(1)), {}, None),
        ("softmax-fn-past-the-end", _nimbra._softmax, (t, 2), {}, ValueError),
        ("log-softmax-fn-named", _nimbra._log_softmax, (t, named), {}, TypeError),
        ("getitem", operator.getitem, (grid, key), {}, None),
        ("getitem-out-of-range", operator.getitem, (grid, (ix, 4)), {}, IndexError),
        ("getitem-refused", operator.getitem, (grid, (ix, fl)), {}, TypeError),
        ("reduce", nimbra.argmax, (grid, ix), {"keepdim": True}, None),
        ("reduce-empty", nimbra.max, (Tensor.zeros([0]), 0), {}, ValueError),
        ("from-dlpack", Tensor.from_dlpack, (array,), {}, None),
        ("from-dlpack-refused", Tensor.from_dlpack, (data,), {}, TypeError),
    ]
    return cases, watched


CASES, WATCHED = build_cases()


@pytest.mark.parametrize("label, fn, args, kwargs, raises", CASES, ids=[c[0] for c in CASES])
def test_argument_refcounts_unchanged(label, fn, args, kwargs, raises):
    objects = WATCHED + list(args) + list(kwargs.values())
    assert call_quietly(fn, *args, **kwargs) is raises  # also warms up caches
    before = refcounts(objects)
    type_before = sys.getrefcount(Tensor)
    for _ in range(200):
        call_quietly(fn, *args, **kwargs)
    assert refcounts(objects) == before
    assert sys.getrefcount(Tensor) == type_before


def test_results_release_their_type_reference():
    base = sys.getrefcount(Tensor)
    kept = [Tensor.zeros([2]) for _ in range(100)]
    assert sys.getrefcount(Tensor) == base + 100, "each instance holds one reference to its type"
    kept += [Tensor([1.0], [1]) for _ in range(50)]
    assert sys.getrefcount(Tensor) == base + 150
    del kept
    assert sys.getrefcount(Tensor) == base


def test_reading_does_not_leak_references():
    t = Tensor([1.0, 2.0, 3.0], [3])
    before = sys.getrefcount(t), sys.getrefcount(Tensor)
    for _ in range(200):
        t.shape, t.ndim, t.size, t.tolist(), repr(t), str(t)
    assert (sys.getrefcount(t), sys.getrefcount(Tensor)) == before


RECURSIVE = [1.0]
RECURSIVE.append(RECURSIVE)


@pytest.mark.parametrize(
    "label, fn, rounds",
    [
        ("construct", lambda: Tensor([[1.0, 2.0], [3.0, 4.0]], [2, 2]), 2000),
        ("tolist", lambda t=Tensor([0.5] * 64, [8, 8]): t.tolist(), 2000),
        ("shape", lambda t=Tensor.zeros([2, 3, 4]): t.shape, 2000),
        ("repr", lambda t=Tensor.zeros([2, 3, 4]): repr(t), 2000),
        ("zeros", lambda: Tensor.zeros([3, 3]), 2000),
        ("failing-length", lambda: call_quietly(Tensor, [1.0], [2]), 2000),
        ("failing-item", lambda: call_quietly(Tensor, [1.0, None], [2]), 2000),
        ("failing-named", lambda: call_quietly(Tensor.zeros, [2.0]), 2000),
        ("failing-parse", lambda: call_quietly(Tensor, [1.0], [1], x=1), 2000),
        ("failing-recursion", lambda: call_quietly(Tensor, RECURSIVE, [1]), 300),
        # The export's shape and strides live until the consumer releases it.
        ("buffer-export", lambda t=Tensor.zeros([2, 1, 3, 1]).transpose(0, 2): memoryview(t).release(), 2000),
        # A size beyond 64 bits in a pickle: the OverflowError becomes the cause
        # of a ValueError, and both go with it.
        ("failing-unpickle", lambda: call_quietly(Tensor._rebuild, "Tensor", [2**64], b""), 2000),
        ("getitem", lambda t=Tensor.zeros([4, 3]): t[1:, ::-1, None], 2000),
        ("iterate", lambda t=Tensor.zeros([8, 2]): list(t), 2000),
        ("failing-getitem", lambda t=Tensor.zeros([4, 3]): call_quietly(t.__getitem__, 9), 2000),
        ("reduce", lambda t=Tensor.zeros([4, 3]): nimbra.argmax(t, 1), 2000),
        ("from-dlpack", lambda a=np.zeros((4, 3), np.float32): Tensor.from_dlpack(a), 2000),
    ],
)
def test_python_objects_do_not_accumulate(label, fn, rounds):
    gc.collect()
    gc.disable()  # keep the count deterministic; nothing here makes cycles
    try:
        for _ in range(100):
            fn()
        start = sys.getallocatedblocks()
        for _ in range(rounds):
            fn()
        end = sys.getallocatedblocks()
    finally:
        gc.enable()
    assert end - start < 20, f"{end - start} blocks left behind by {rounds} calls"


def statm():
    with open("/proc/self/statm") as f:
        size, resident = f.read().split()[:2]
    return int(size) * PAGE, int(resident) * PAGE


def growth(fn, rounds):
    gc.collect()
    gc.disable()
    try:
        for _ in range(max(rounds // 10, 5)):  # warm up allocator pools
            fn()
        size0, rss0 = statm()
        for _ in range(rounds):
            fn()
        size1, rss1 = statm()
    finally:
        gc.enable()
    return size1 - size0, rss1 - rss0


DATA_10K = [float(i) for i in range(10_000)]
DATA_10K_BAD = DATA_10K + [None]
NESTED_10K = [DATA_10K[i : i + 100] for i in range(0, 10_000, 100)]
MB = 1 << 20


@pytest.mark.skipif(SANITIZED, reason="memory use means nothing under sanitizers")
@pytest.mark.parametrize(
    "label, fn, rounds",
    [
        # Each would leak at least 40 KB per call: 1000 calls, 40 MB.
        ("construct-flat", lambda: Tensor(DATA_10K, [10_000]), 1000),
        ("construct-nested", lambda: Tensor(NESTED_10K, [100, 100]), 1000),
        ("failing-length", lambda: call_quietly(Tensor, DATA_10K, [9_999]), 1000),
        ("failing-last-item", lambda: call_quietly(Tensor, DATA_10K_BAD, [10_001]), 1000),
        # 10,000 floats of 24 bytes and a list per call: 300 calls, 70 MB.
        ("tolist", lambda t=Tensor(DATA_10K, [10_000]): t.tolist(), 300),
        # 4 MB per call, written: 400 calls would leak 1.6 GB.
        ("ones-4mb", lambda: Tensor.ones([1 << 20]), 400),
        # 4 MB per call from zeroed pages: a leak shows in the address space.
        ("zeros-4mb", lambda: Tensor.zeros([1024, 1024]), 400),
        ("zeros-small", lambda: Tensor.zeros([100, 100]), 2000),
    ],
)
def test_memory_does_not_grow(label, fn, rounds):
    size_growth, rss_growth = growth(fn, rounds)
    assert rss_growth < 24 * MB, f"resident set grew by {rss_growth / MB:.1f} MB"
    assert size_growth < 64 * MB, f"address space grew by {size_growth / MB:.1f} MB"
