"""Hostile inputs: memory exhaustion mid-conversion, lying sequences, deep
nesting, instances whose payload was never built. Each must end in a Python
exception with nothing leaked, never in a crash."""

import os
import platform

import pytest

from _nimbra import Tensor
from reference import run_python

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"


def emulated():
    """Whether this interpreter runs under user-mode emulation (qemu-user),
    which keeps the kernel from enforcing an address-space limit on it: the
    process the kernel sees is the emulator, or the kernel's processor is
    not the one the interpreter was built for."""
    try:
        with open("/proc/self/status") as f:
            if f.readline().split()[1].startswith("qemu-"):
                return True
        with open("/proc/cpuinfo") as f:
            x86_kernel = any(line.startswith("vendor_id") for line in f)
    except (OSError, IndexError):
        return False
    return x86_kernel != (platform.machine() in ("x86_64", "AMD64", "i386", "i686"))


needs_address_limit = pytest.mark.skipif(
    SANITIZED or emulated(), reason="needs the kernel to hold the process to RLIMIT_AS: neither the sanitizer "
    "runtime (which reserves more than the limit) nor user-mode emulation allows that")


@needs_address_limit
def test_memory_error_while_flattening_leaks_nothing():
    out = run_python("""
        import resource, sys
        from _nimbra import Tensor
        inner = [1.0] * 100_000
        data = [inner] * 3000          # 3e8 values: more than the address-space limit allows
        before = sys.getrefcount(inner)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, hard))
        for _ in range(10):
            try:
                Tensor(data, [1])
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert sys.getrefcount(inner) == before, (sys.getrefcount(inner), before)
        def depth(n=0):
            try:
                return depth(n + 1)
            except RecursionError:
                return n
        assert depth() > sys.getrecursionlimit() - 50, depth()
        print("ok")
    """)
    assert out.strip() == "ok"


@needs_address_limit
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the address-space size from /proc")
def test_memory_error_while_listing_leaks_nothing():
    # Large tensors are listed through memoryviews, released after a failure:
    # the caller must still get exactly the MemoryError, and no view survives.
    out = run_python("""
        import gc, resource, sys
        from _nimbra import Tensor
        t = Tensor.zeros([1 << 24])    # listing needs 128 MiB of pointers and 384 MiB of floats
        def address_space():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        refs = sys.getrefcount(t)
        blocks = None
        # Room for less than the pointers, then for the pointers and some floats.
        for room in (64 << 20, 256 << 20, 64 << 20, 256 << 20):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
            try:
                t.tolist()
            except MemoryError as e:
                assert type(e) is MemoryError and e.__context__ is None, repr(e.__context__)
            else:
                raise SystemExit("no MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            if blocks is None:  # the first failure may fill caches for good
                blocks = sys.getallocatedblocks()
        assert sys.getallocatedblocks() - blocks < 1000, (sys.getallocatedblocks(), blocks)
        assert sys.getrefcount(t) == refs
        gc.collect()
        assert not [o for o in gc.get_objects() if type(o) is memoryview]
        print("ok")
    """)
    assert out.strip() == "ok"


def test_size_list_length_only_sizes_in_advance():
    class Lying:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 2:
                return 2
            raise IndexError

    assert Tensor.zeros(Lying()).shape == [2, 2]


def test_cyclic_data_with_a_raised_recursion_limit_is_recursion_error():
    out = run_python("""
        import sys
        from _nimbra import Tensor
        sys.setrecursionlimit(10**6)
        x = []
        x.append(x)
        try:
            Tensor(x, [1])
        except RecursionError:
            print("ok")
    """)
    assert out.strip() == "ok"


def test_deep_but_finite_nesting_flattens():
    data = [1.0]
    for _ in range(500):
        data = [data, 2.0]
    assert Tensor(data, [501]).tolist()[:2] == [1.0, 2.0]


def test_instance_without_a_built_payload_never_crashes():
    out = run_python("""
        from _nimbra import Tensor
        Tensor.__new__ = staticmethod(lambda cls, *a, **k: object.__new__(cls))
        x = Tensor().reshape([1, 1])
        for op in (lambda: x @ x, lambda: x.matmul(x), lambda: x + x, lambda: x.tolist(),
                   lambda: x.relu(), lambda: x.sum(), lambda: x.softmax(0)):
            try:
                op()
            except (RuntimeError, ValueError):
                pass
        print("ok")
    """)
    assert out.strip() == "ok"


@pytest.mark.parametrize("shape,dim", [([0, 2**40, 2**40], 1), ([0, 2**32, 2**32], 1), ([0, 2**32, 2**32], 2)])
def test_softmax_of_an_empty_tensor_with_huge_slices(shape, dim):
    out = Tensor.zeros(shape).softmax(dim)
    assert out.shape == shape and out.size == 0
