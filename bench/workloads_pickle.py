"""Pickling: a round trip (dumps then loads, protocol 5, elements in band as
a process pool or a file would carry them) of a large float32 matrix.

NumPy and PyTorch pickle the same [4000, 4000] float32 array. The rate
counts the elements' bytes once into the stream and once out of it.
"""

import pickle

from harness import Goal, Stmt, Workload, gbps


def round_trip(n=4000):
    def stmt(obj):
        return Stmt("loads(dumps(x, 5))", loads=pickle.loads, dumps=pickle.dumps, x=obj)

    return Workload(
        f"pickle round trip [{n},{n}] protocol 5",
        nimbra=lambda L: stmt(L.T.rand([n, n])),
        numpy=lambda L: stmt(L.rng.random((n, n), dtype=L.np.float32)),
        torch=lambda L: stmt(L.torch.rand(n, n)),
        goal=Goal("numpy", 1.5),
        rate=gbps(2 * n * n * 4),
    )


def workloads():
    return [round_trip()]
