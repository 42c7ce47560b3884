"""Random tensors: uniform on [0, 1) and standard normal, float32."""

from harness import Goal, Stmt, Workload, ns_per_elem

N = 1_000_000


def rand():
    return Workload(
        "rand 1e6",
        nimbra=lambda L: Stmt("rand(shape)", rand=L.T.rand, shape=[N]),
        numpy=lambda L: Stmt("random(n, dtype=f32)", random=L.rng.random, n=N, f32=L.np.float32),
        torch=lambda L: Stmt("rand(n)", rand=L.torch.rand, n=N),
        goal=Goal("numpy", 1.0),
        rate=ns_per_elem(N),
    )


def randn():
    return Workload(
        "randn 1e6",
        nimbra=lambda L: Stmt("randn(shape)", randn=L.T.randn, shape=[N]),
        numpy=lambda L: Stmt("normal(n, dtype=f32)", normal=L.rng.standard_normal, n=N,
                             f32=L.np.float32),
        torch=lambda L: Stmt("randn(n)", randn=L.torch.randn, n=N),
        goal=Goal("torch", 1.0),
        rate=ns_per_elem(N),
    )


def workloads():
    return [rand(), randn()]
