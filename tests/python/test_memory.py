"""Memory goes back to the system: the large freed blocks kept for reuse are
returned once the work that reused them has stopped."""

import gc
import os

import pytest

from _nimbra import Tensor

SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"
MB = 1 << 20
N = 16 * MB  # elements: 64 MB of float32 per tensor


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_large_results_give_their_memory_back_once_gone():
    small = Tensor.ones([64])
    small + small  # brings up the pool before the baseline
    gc.collect()
    before = resident_bytes()
    a, b = Tensor.ones([N]), Tensor.ones([N])
    results = [a + b for _ in range(6)]
    assert resident_bytes() - before >= 6 * 64 * MB, "the results' pages were never touched"
    del a, b, results
    # Each allocation advances the count after which an untaken block is
    # freed; a hundred small results are well past it.
    for _ in range(100):
        small + small
    assert resident_bytes() - before < 64 * MB
