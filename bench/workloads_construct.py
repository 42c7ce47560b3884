"""Construction and conversion: Python lists in and out, zero-filled
allocation, and the fixed cost of the smallest calls."""

import random

from harness import Goal, Stmt, Workload


def _nested(rows, cols):
    rnd = random.Random(1)
    return [[rnd.random() for _ in range(cols)] for _ in range(rows)]


def from_nested_list(rows=1000, cols=1000):
    # The same list object is handed to all three libraries; building it is
    # not timed.
    cache = {}

    def data():
        if "d" not in cache:
            cache["d"] = _nested(rows, cols)
        return cache["d"]

    return Workload(
        f"from nested list [{rows},{cols}]",
        nimbra=lambda L: Stmt("T(d, shape)", T=L.T, d=data(), shape=[rows, cols]),
        numpy=lambda L: Stmt("array(d, dtype=f32)", array=L.np.array, d=data(), f32=L.np.float32),
        torch=lambda L: Stmt("tensor(d)", tensor=L.torch.tensor, d=data()),
        goal=Goal("torch", 1.0),
    )


def tolist(n=1_000_000):
    return Workload(
        "tolist 1e6",
        nimbra=lambda L: Stmt("t.tolist()", t=L.T.rand([n])),
        numpy=lambda L: Stmt("a.tolist()", a=L.rng.random(n, dtype=L.np.float32)),
        torch=lambda L: Stmt("t.tolist()", t=L.torch.rand(n)),
        goal=Goal("numpy", 1.0),
    )


def zeros(n=16_000_000):
    return Workload(
        "zeros 16e6",
        nimbra=lambda L: Stmt("zeros(shape)", zeros=L.T.zeros, shape=[n]),
        numpy=lambda L: Stmt("zeros(n, dtype=f32)", zeros=L.np.zeros, n=n, f32=L.np.float32),
        torch=lambda L: Stmt("zeros(n)", zeros=L.torch.zeros, n=n),
        goal=Goal("numpy", 1.1),
        note="a zero-filled allocation, freed right after; pages are not touched",
    )


def shape_call():
    return Workload(
        ".shape call",
        nimbra=lambda L: Stmt("t.shape", t=L.T.ones([2, 3])),
        numpy=lambda L: Stmt("a.shape", a=L.np.ones((2, 3), dtype=L.np.float32)),
        torch=lambda L: Stmt("t.shape", t=L.torch.ones(2, 3)),
        goal=Goal("numpy", 1.5),
    )


def small_from_list():
    return Workload(
        "Tensor([1.0,2,3,4],[4]) call",
        nimbra=lambda L: Stmt("T([1.0, 2, 3, 4], [4])", T=L.T),
        numpy=lambda L: Stmt("array([1.0, 2, 3, 4], dtype=f32)", array=L.np.array, f32=L.np.float32),
        torch=lambda L: Stmt("tensor([1.0, 2, 3, 4])", tensor=L.torch.tensor),
        goal=Goal("numpy", 1.5),
    )


def workloads():
    return [from_nested_list(), tolist(), zeros(), shape_call(), small_from_list()]
