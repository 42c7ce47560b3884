"""Layers: the example network's forward pass and a layer's construction.

The network is Linear(784, 256) -> ReLU -> Linear(256, 10) -> softmax over
dim 1. PyTorch runs the same torch.nn layers with autograd off (the runner
disables it globally: nimbra has no autograd, so recording a graph would
time something nimbra does not do). NumPy runs the same arithmetic written
out: x @ W.T + b, maximum, and softmax with max-subtraction.
"""

import math

from harness import BLAS1, BLAS_DEFAULT, Goal, Missing, Stmt, Workload, gflops

IN, HID, OUT = 784, 256, 10


def _nimbra_nn(L):
    if L.nn is None:
        raise Missing("_nimbra.nn is missing")
    return L.nn


def forward(batch, goal):
    def nb(L):
        nn = _nimbra_nn(L)
        l1, act, l2 = nn.Linear(IN, HID), nn.ReLU(), nn.Linear(HID, OUT)
        return Stmt("l2(act(l1(x))).softmax(1)", l1=l1, act=act, l2=l2,
                    x=L.T.rand([batch, IN]))

    def np_(L):
        np = L.np

        def layer(i, o):
            bound = 1.0 / math.sqrt(i)
            w = (L.rng.random((o, i), dtype=np.float32) * 2 - 1) * bound
            b = (L.rng.random(o, dtype=np.float32) * 2 - 1) * bound
            return w, b

        w1, b1 = layer(IN, HID)
        w2, b2 = layer(HID, OUT)
        code = (
            "h = maximum(x @ w1.T + b1, 0)\n"
            "z = h @ w2.T + b2\n"
            "e = exp(z - z.max(axis=1, keepdims=True))\n"
            "e /= e.sum(axis=1, keepdims=True)"
        )
        return Stmt(code, maximum=np.maximum, exp=np.exp, w1=w1, b1=b1, w2=w2, b2=b2,
                    x=L.rng.random((batch, IN), dtype=np.float32))

    def pt(L):
        tnn = L.torch.nn
        net = tnn.Sequential(tnn.Linear(IN, HID), tnn.ReLU(), tnn.Linear(HID, OUT))
        return Stmt("softmax(net(x), 1)", softmax=L.torch.softmax, net=net,
                    x=L.torch.rand(batch, IN))

    return Workload(
        f"nn forward 784-256-10 [{batch},{IN}]",
        nimbra=nb, numpy=np_, torch=pt,
        goal=goal,
        threads=(BLAS1, BLAS_DEFAULT),
        rate=gflops(2.0 * batch * (IN * HID + HID * OUT)),
    )


def linear_construction(n=1024):
    def nb(L):
        return Stmt("Linear(n, n)", Linear=_nimbra_nn(L).Linear, n=n)

    def np_(L):
        # The same draws written out: uniform weight and bias in +-1/sqrt(n).
        code = (
            "w = random((n, n), dtype=f32); w *= 2 * bound; w -= bound\n"
            "b = random(n, dtype=f32); b *= 2 * bound; b -= bound"
        )
        return Stmt(code, random=L.rng.random, n=n, f32=L.np.float32,
                    bound=1.0 / math.sqrt(n))

    def pt(L):
        return Stmt("Linear(n, n)", Linear=L.torch.nn.Linear, n=n)

    return Workload(
        f"nn.Linear({n},{n}) construction",
        nimbra=nb, numpy=np_, torch=pt,
        goal=Goal("torch", 1.5),
    )


def workloads():
    # At batch 64 the products are small and the fixed costs of each layer show.
    return [forward(64, Goal("torch", 0.9)), forward(1024, Goal("torch", 1.2)),
            linear_construction()]
