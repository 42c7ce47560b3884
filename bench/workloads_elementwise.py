"""Element-wise arithmetic: equal shapes, broadcasting, a gathered copy of a
transposed view, and the fixed cost of a tiny operation."""

from harness import Goal, Stmt, Workload, gbps

F32 = 4  # bytes


def _nb(L, shape):
    return L.T.rand(list(shape))


def _np(L, shape):
    return L.rng.random(shape, dtype=L.np.float32)


def _pt(L, shape):
    return L.torch.rand(*shape)


def binary(op, sym, shape_a, shape_b, label, goal, out_elems):
    """`a <sym> b` on all three libraries; GB/s counts both inputs and the
    output once."""
    in_elems = _numel(shape_a) + _numel(shape_b)
    code = f"a {sym} b"
    return Workload(
        f"{op} {label}",
        nimbra=lambda L: Stmt(code, a=_nb(L, shape_a), b=_nb(L, shape_b)),
        numpy=lambda L: Stmt(code, a=_np(L, shape_a), b=_np(L, shape_b)),
        torch=lambda L: Stmt(code, a=_pt(L, shape_a), b=_pt(L, shape_b)),
        goal=goal,
        rate=gbps((in_elems + out_elems) * F32),
    )


def _numel(shape):
    n = 1
    for d in shape:
        n *= d
    return n


def transpose_reshape(n=1000):
    # nimbra: transpose is a view; reshape of that view to a flat shape must
    # gather. The peers make the same contiguous copy of the transpose.
    return Workload(
        f"transpose+reshape [{n},{n}]",
        nimbra=lambda L: Stmt("a.transpose(0, 1).reshape(flat)", a=_nb(L, (n, n)), flat=[n * n]),
        numpy=lambda L: Stmt("contig(a.T)", contig=L.np.ascontiguousarray, a=_np(L, (n, n))),
        torch=lambda L: Stmt("a.t().contiguous()", a=_pt(L, (n, n))),
        goal=Goal("torch", 1.5),
        rate=gbps(2 * n * n * F32),
    )


def tiny_add_loop():
    return Workload(
        "add 4+4 (in a loop)",
        nimbra=lambda L: Stmt("a + b", a=_nb(L, (4,)), b=_nb(L, (4,))),
        numpy=lambda L: Stmt("a + b", a=_np(L, (4,)), b=_np(L, (4,))),
        torch=lambda L: Stmt("a + b", a=_pt(L, (4,)), b=_pt(L, (4,))),
        goal=Goal("numpy", 2.0),
    )


def tiny_add_after_idle():
    return Workload(
        "add 4+4 first call after 1 s idle",
        nimbra=lambda L: Stmt("a + b", a=_nb(L, (4,)), b=_nb(L, (4,))),
        numpy=lambda L: Stmt("a + b", a=_np(L, (4,)), b=_np(L, (4,))),
        torch=lambda L: Stmt("a + b", a=_pt(L, (4,)), b=_pt(L, (4,))),
        mode="idle",
        idle_s=1.0,
    )


def workloads():
    le1_np = Goal("numpy", 1.0)
    le1_pt = Goal("torch", 1.0)
    out = []
    # Small and mid-size calls: the cost of the round trip through the pool.
    for n in (16, 1000):
        for op, sym in (("add", "+"), ("sub", "-"), ("mul", "*")):
            out.append(binary(op, sym, (n,), (n,), f"[{n}]", Goal("numpy", 2.0), n))
    out.append(binary("add", "+", (100_000,), (100_000,), "[100000]", le1_np, 100_000))
    out.append(binary("add", "+", (1_000_000,), (1_000_000,), "1e6", le1_pt, 1_000_000))
    out.append(binary("mul", "*", (1_000_000,), (1_000_000,), "1e6", le1_np, 1_000_000))
    n = 16_000_000
    out.append(binary("add", "+", (n,), (n,), "16e6", le1_np, n))
    out.append(binary("mul", "*", (n,), (n,), "16e6", le1_np, n))
    out.append(binary("add", "+", (1000, 1000), (1000,), "[1000,1000]+[1000]", le1_pt, 1000 * 1000))
    out.append(binary("add", "+", (1000, 1), (1, 1000), "[1000,1]+[1,1000]", le1_pt, 1000 * 1000))
    out.append(transpose_reshape())
    out.append(tiny_add_loop())
    out.append(tiny_add_after_idle())
    return out
