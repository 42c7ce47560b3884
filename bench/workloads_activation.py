"""Activations and reductions."""

from harness import TORCH1, Goal, Stmt, Workload, gbps, ns_per_elem

F32 = 4
N = 1000
SHAPE = (N, N)


def relu():
    return Workload(
        f"relu [{N},{N}]",
        nimbra=lambda L: Stmt("x.relu()", x=L.T.randn([N, N])),
        numpy=lambda L: Stmt("maximum(x, 0)", maximum=L.np.maximum,
                             x=L.rng.standard_normal(SHAPE, dtype=L.np.float32)),
        torch=lambda L: Stmt("relu(x)", relu=L.torch.relu, x=L.torch.randn(*SHAPE)),
        goal=Goal("torch", 1.2),
        threads=(TORCH1,),
        rate=gbps(2 * N * N * F32),
    )


def sigmoid():
    return Workload(
        f"sigmoid [{N},{N}]",
        nimbra=lambda L: Stmt("x.sigmoid()", x=L.T.randn([N, N])),
        # NumPy has no sigmoid; the plain composite is shown for reference.
        numpy=lambda L: Stmt("1 / (1 + exp(-x))", exp=L.np.exp,
                             x=L.rng.standard_normal(SHAPE, dtype=L.np.float32)),
        torch=lambda L: Stmt("sigmoid(x)", sigmoid=L.torch.sigmoid, x=L.torch.randn(*SHAPE)),
        goal=Goal("torch", 0.5),
        rate=gbps(2 * N * N * F32),
    )


def gelu():
    return Workload(
        f"gelu [{N},{N}]",
        nimbra=lambda L: Stmt("x.gelu()", x=L.T.randn([N, N])),
        numpy=lambda L: Stmt(
            "0.5 * x * (1 + tanh(0.7978846 * (x + 0.044715 * x**3)))",
            tanh=L.np.tanh, x=L.rng.standard_normal(SHAPE, dtype=L.np.float32)),
        torch=lambda L: Stmt("gelu(x, approximate='tanh')",
                             gelu=L.torch.nn.functional.gelu, x=L.torch.randn(*SHAPE)),
        goal=Goal("numpy", 0.5),
        rate=gbps(2 * N * N * F32),
    )


def softmax(dim, limit):
    np_code = (
        "e = exp(x - x.max(axis=d, keepdims=True))\n"
        "e /= e.sum(axis=d, keepdims=True)"
    )
    return Workload(
        f"softmax [{N},{N}] dim {dim}",
        nimbra=lambda L: Stmt("x.softmax(d)", x=L.T.randn([N, N]), d=dim),
        numpy=lambda L: Stmt(np_code, exp=L.np.exp, d=dim,
                             x=L.rng.standard_normal(SHAPE, dtype=L.np.float32)),
        torch=lambda L: Stmt("softmax(x, d)", softmax=L.torch.softmax, d=dim,
                             x=L.torch.randn(*SHAPE)),
        goal=Goal("torch", limit),
        rate=ns_per_elem(N * N),
    )


def accurate(name, nimbra_code, torch_code, numpy_code=None, **torch_env):
    """A function of the nimbra package (within one ulp of the exact function)
    beside PyTorch's, on the same [1000, 1000] randn input."""
    return Workload(
        f"nimbra.{name} [{N},{N}]",
        nimbra=lambda L: Stmt(nimbra_code, nb=L.pkg, x=L.T.randn([N, N])),
        numpy=(lambda L: Stmt(numpy_code, np=L.np, x=L.rng.standard_normal(SHAPE, dtype=L.np.float32)))
        if numpy_code else None,
        torch=lambda L: Stmt(torch_code, torch=L.torch, F=L.torch.nn.functional, x=L.torch.randn(*SHAPE)),
        rate=ns_per_elem(N * N),
    )


def sum16e6(n=16_000_000):
    return Workload(
        "sum 16e6",
        nimbra=lambda L: Stmt("x.sum()", x=L.T.rand([n])),
        numpy=lambda L: Stmt("x.sum()", x=L.rng.random(n, dtype=L.np.float32)),
        torch=lambda L: Stmt("x.sum()", x=L.torch.rand(n)),
        goal=Goal("numpy", 6.5),
        rate=ns_per_elem(n),
    )


def workloads():
    return [
        relu(), sigmoid(), gelu(), softmax(1, 1.5), softmax(0, 1.5),
        accurate("sigmoid", "nb.sigmoid(x)", "torch.sigmoid(x)"),
        accurate("tanh", "nb.tanh(x)", "torch.tanh(x)", "np.tanh(x)"),
        accurate("gelu", "nb.gelu(x)", "F.gelu(x)"),
        accurate("softmax dim 1", "nb.softmax(x, 1)", "torch.softmax(x, 1)"),
        accurate("log_softmax dim 1", "nb.log_softmax(x, 1)", "torch.log_softmax(x, 1)"),
        sum16e6(),
    ]
