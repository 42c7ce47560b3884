"""Data in and out: Tensor.from_buffer against NumPy's own copies, the
zero-copy exports (np.asarray, torch.from_dlpack) against the peers' exports,
and a 60,000 x 784 job whose conversions stand next to its compute.

The export rows have no ratio goal: each must stay under 5 us whatever the
size, because nothing is copied.
"""

from harness import Goal, Missing, Stmt, Workload, gbps


def _array(L, shape, dtype):
    return L.rng.random(shape).astype(dtype)


def from_buffer(shape, dtype, label="from_buffer"):
    # The peers' own copies of the same array: a plain copy of float32, a
    # conversion of float64.
    if dtype == "float32":
        np_code, pt_code, goal = "array(a)", "tensor(a)", Goal("numpy", 1.2)
    else:
        np_code, pt_code, goal = "a.astype(f32)", "from_numpy(a).float()", Goal("numpy", 1.5)
    return Workload(
        f"{label} {dtype} [{shape[0]},{shape[1]}]",
        nimbra=lambda L: Stmt("from_buffer(a)", from_buffer=L.T.from_buffer, a=_array(L, shape, dtype)),
        numpy=lambda L: Stmt(np_code, array=L.np.array, f32=L.np.float32, a=_array(L, shape, dtype)),
        torch=lambda L: Stmt(pt_code, tensor=L.torch.tensor, from_numpy=L.torch.from_numpy,
                             a=_array(L, shape, dtype)),
        goal=goal,
        rate=gbps(shape[0] * shape[1] * (8 if dtype == "float64" else 4)),
    )


def _torch(L):
    if L.torch is None:
        raise Missing("PyTorch is not installed")
    return L.torch


def export_numpy(n=4000):
    return Workload(
        f"np.asarray(t) [{n},{n}]",
        nimbra=lambda L: Stmt("asarray(t)", asarray=L.np.asarray, t=L.T.rand([n, n])),
        numpy=lambda L: Stmt("asarray(m)", asarray=L.np.asarray,
                             m=memoryview(L.rng.random((n, n), dtype=L.np.float32))),
        torch=lambda L: Stmt("t.numpy()", t=L.torch.rand(n, n)),
        note="numpy column: np.asarray of a memoryview; torch column: Tensor.numpy()",
    )


def export_dlpack(n=4000):
    return Workload(
        f"torch.from_dlpack(t) [{n},{n}]",
        nimbra=lambda L: Stmt("from_dlpack(t)", from_dlpack=_torch(L).from_dlpack, t=L.T.rand([n, n])),
        numpy=lambda L: Stmt("from_dlpack(a)", from_dlpack=_torch(L).from_dlpack,
                             a=L.rng.random((n, n), dtype=L.np.float32)),
        torch=lambda L: Stmt("from_dlpack(t)", from_dlpack=L.torch.from_dlpack, t=L.torch.rand(n, n)),
        note="every column is torch.from_dlpack; the producer is nimbra, NumPy or PyTorch",
    )


# The 60,000 x 784 job: a float32 batch in, Linear(784, 256) and softmax,
# probabilities out. The three rows split its time.
ROWS, IN, OUT = 60_000, 784, 256


def job_in():
    return from_buffer((ROWS, IN), "float32", label="job in:")


def job_compute():
    def nb(L):
        w = L.T.from_buffer(_array(L, (OUT, IN), "float32"))
        b = L.T.from_buffer(_array(L, (OUT,), "float32"))
        return Stmt("layer(x).softmax(1)", layer=L.nn.Linear.from_weights(w, b),
                    x=L.T.from_buffer(_array(L, (ROWS, IN), "float32")))

    def np_(L):
        code = ("z = x @ w.T + b\n"
                "e = exp(z - z.max(axis=1, keepdims=True))\n"
                "e /= e.sum(axis=1, keepdims=True)")
        return Stmt(code, exp=L.np.exp, w=_array(L, (OUT, IN), "float32"), b=_array(L, (OUT,), "float32"),
                    x=_array(L, (ROWS, IN), "float32"))

    def pt(L):
        return Stmt("softmax(layer(x), 1)", softmax=L.torch.softmax, layer=L.torch.nn.Linear(IN, OUT),
                    x=L.torch.rand(ROWS, IN))

    return Workload(f"job: Linear+softmax [{ROWS},{IN}]", nimbra=nb, numpy=np_, torch=pt)


def job_out():
    return Workload(
        f"job out: np.asarray [{ROWS},{OUT}]",
        nimbra=lambda L: Stmt("asarray(t)", asarray=L.np.asarray, t=L.T.rand([ROWS, OUT]).softmax(1)),
        torch=lambda L: Stmt("t.numpy()", t=L.torch.rand(ROWS, OUT)),
    )


def workloads():
    return [from_buffer((1000, 1000), "float32"), from_buffer((4000, 4000), "float32"),
            from_buffer((1000, 1000), "float64"), from_buffer((4000, 4000), "float64"),
            export_numpy(), export_dlpack(), job_in(), job_compute(), job_out()]
