"""Reductions along a dimension: nimbra.sum / max / argmax against NumPy's
methods and PyTorch on one thread. On [64, 10] the call itself is most of
the time."""

from harness import TORCH1, Goal, Stmt, Workload, gbps

F32 = 4
SHAPES = ((1000, 1000), (64, 10))
# nimbra's function, NumPy's method, PyTorch's method (amax: the values only).
OPS = (("sum", "sum", "sum"), ("max", "max", "amax"), ("argmax", "argmax", "argmax"))


def reduction(shape, dim, op, np_op, torch_op):
    rows, cols = shape
    return Workload(
        f"{op} [{rows},{cols}] dim {dim}",
        nimbra=lambda L: Stmt(f"f(x, dim={dim})", f=getattr(L.pkg, op), x=L.T.randn(list(shape))),
        numpy=lambda L: Stmt(f"x.{np_op}(axis={dim})", x=L.rng.standard_normal(shape, dtype=L.np.float32)),
        torch=lambda L: Stmt(f"x.{torch_op}(dim={dim})", x=L.torch.randn(*shape)),
        goal=Goal("numpy", 1.0),
        threads=(TORCH1,),
        rate=gbps(rows * cols * F32),
    )


def workloads():
    return [reduction(shape, dim, *op) for shape in SHAPES for dim in (0, 1) for op in OPS]
