"""A first nimbra program: a small classifier network on random inputs.

Builds a 784-256-10 multilayer perceptron from nn.Linear and nn.ReLU, runs a
batch of random "images" through it, turns the scores into probabilities with
softmax and times the forward pass.
"""

import time

import _nimbra
from _nimbra import Tensor, nn


class Classifier:
    def __init__(self, inputs: int = 784, hidden: int = 256, classes: int = 10) -> None:
        self.layers: list[nn.Linear | nn.ReLU] = [nn.Linear(inputs, hidden), nn.ReLU(), nn.Linear(hidden, classes)]

    def __call__(self, x: Tensor) -> Tensor:
        for layer in self.layers:
            x = layer(x)
        return x.softmax(1)


def main() -> None:
    print(f"nimbra {_nimbra.__version__}")

    # Tensors from nested lists, arithmetic with broadcasting, views.
    a = Tensor([[1, 2, 3], [4, 5, 6]], [2, 3])
    b = Tensor([10, 20, 30], [3])
    print(a, "+", b, "->", (a + b).tolist())
    print("a @ a.T ->", (a @ a.transpose(0, 1)).tolist())
    print("sum", a.sum().tolist(), "mean", a.mean().tolist())

    model = Classifier()
    batch = 64
    x = Tensor.rand([batch, 784])
    probs = model(x)
    print(f"input {x.shape} -> probabilities {probs.shape}")
    first = probs.tolist()[:10]
    print("first row:", " ".join(f"{p:.4f}" for p in first), f"(sums to {sum(first):.6f})")

    runs = []
    for _ in range(20):
        start = time.perf_counter()
        model(x)
        runs.append(time.perf_counter() - start)
    runs.sort()
    print(f"forward pass, batch of {batch}: {runs[len(runs) // 2] * 1e3:.3f} ms (median of {len(runs)})")


if __name__ == "__main__":
    main()
