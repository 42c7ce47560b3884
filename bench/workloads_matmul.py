"""Matrix multiplication. nimbra runs a product on the calling thread, so
the goals compare it with NumPy's BLAS limited to one thread (and PyTorch on
one thread); a sub-row shows both peers at their default thread counts."""

from harness import BLAS1, BLAS_DEFAULT, Goal, Stmt, Workload, gflops


def _flops(a, b):
    # a: (..., m, k), b: (..., k, n); batch dimensions broadcast.
    m, k = a[-2], a[-1]
    n = b[-1]
    batch = 1
    for d in _broadcast(a[:-2], b[:-2]):
        batch *= d
    return 2.0 * batch * m * n * k


def _broadcast(x, y):
    x, y = list(x), list(y)
    r = max(len(x), len(y))
    x = [1] * (r - len(x)) + x
    y = [1] * (r - len(y)) + y
    return [max(p, q) for p, q in zip(x, y)]


def _fmt(shape):
    return "[" + ",".join(str(d) for d in shape) + "]"


def matmul(a, b, goal=None, threads=(BLAS1, BLAS_DEFAULT), name=None):
    name = name or (f"matmul {a[0]}^3" if a == b and len(a) == 2 and a[0] == a[1]
                    else f"matmul {_fmt(a)}x{_fmt(b)}")
    return Workload(
        name,
        nimbra=lambda L: Stmt("a @ b", a=L.T.rand(list(a)), b=L.T.rand(list(b))),
        numpy=lambda L: Stmt("a @ b", a=L.rng.random(a, dtype=L.np.float32),
                             b=L.rng.random(b, dtype=L.np.float32)),
        torch=lambda L: Stmt("a @ b", a=L.torch.rand(*a), b=L.torch.rand(*b)),
        goal=goal,
        rate=gflops(_flops(a, b)),
        threads=threads,
    )


def workloads():
    rate_goal = Goal("numpy", 0.8, rate="GFLOP/s")
    out = []
    for n in (64, 128, 256, 512, 1024):
        # Small products are mostly packing and dispatch: held to NumPy's time.
        goal = rate_goal if n >= 512 else Goal("numpy", 1.0) if n <= 128 else None
        out.append(matmul((n, n), (n, n), goal=goal))
    out.append(matmul((256, 1024), (1024, 1024), goal=rate_goal))
    out.append(matmul((1, 1024), (1024, 1024), goal=Goal("numpy", 2.0)))
    out.append(matmul((1024, 1), (1, 1024), goal=Goal("torch", 1.0)))
    batched_goal = Goal("numpy", 0.7, rate="GFLOP/s")
    out.append(matmul((64, 64, 64), (64, 64, 64), goal=batched_goal))
    out.append(matmul((32, 128, 64), (64, 128), goal=batched_goal))
    return out
