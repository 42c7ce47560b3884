"""Working with NumPy: a network trained elsewhere, run on a NumPy batch.

The weights of a 784-256-10 classifier arrive as NumPy float32 arrays (drawn
here, as if a training run elsewhere had produced them). They go into
nn.Linear through Tensor.from_buffer and Linear.from_weights, a batch of
inputs comes in through Tensor.from_buffer, and the probabilities go out
through np.asarray without a copy. NumPy's own float32 computation of the
same network checks the result.
"""

import time

import numpy as np
import numpy.typing as npt

from _nimbra import Tensor, nn

Array = npt.NDArray[np.float32]


def trained_layer(rng: np.random.Generator, inputs: int, outputs: int) -> tuple[Array, Array]:
    bound = 1.0 / np.sqrt(inputs)
    weight = rng.uniform(-bound, bound, (outputs, inputs)).astype(np.float32)
    bias = rng.uniform(-bound, bound, outputs).astype(np.float32)
    return weight, bias


def numpy_forward(x: Array, layers: list[tuple[Array, Array]]) -> Array:
    (w1, b1), (w2, b2) = layers
    hidden = np.maximum(x @ w1.T + b1, np.float32(0))
    scores = hidden @ w2.T + b2
    e = np.exp(scores - scores.max(axis=1, keepdims=True))
    probs: Array = e / e.sum(axis=1, keepdims=True)
    return probs


def main() -> None:
    rng = np.random.default_rng(2024)
    trained = [trained_layer(rng, 784, 256), trained_layer(rng, 256, 10)]

    # from_buffer copies (a tensor never changes, the array might);
    # from_weights then shares those tensors with the layer.
    first, second = (nn.Linear.from_weights(Tensor.from_buffer(w), Tensor.from_buffer(b)) for w, b in trained)
    relu = nn.ReLU()
    print(f"layers: {first.in_features}-{first.out_features}-{second.out_features}, "
          f"weights {first.weight.shape} and {second.weight.shape}")

    batch = rng.random((10_000, 784), dtype=np.float32)
    start = time.perf_counter()
    x = Tensor.from_buffer(batch)
    loaded = time.perf_counter()
    probs_tensor = second(relu(first(x))).softmax(1)
    computed = time.perf_counter()
    probs = np.asarray(probs_tensor)  # shares the tensor's memory, read-only
    done = time.perf_counter()
    print(f"batch {batch.shape}: in {1e3 * (loaded - start):.2f} ms, forward {1e3 * (computed - loaded):.2f} ms, "
          f"out {1e6 * (done - computed):.1f} us")

    want = numpy_forward(batch, trained)
    worst = float(np.abs(probs - want).max())
    print(f"probabilities {probs.shape} {probs.dtype}, largest difference from NumPy: {worst:.2e}")
    # NumPy sums the products in another order, so the two agree to rounding, not to the bit.
    if not np.allclose(probs, want, rtol=1e-4, atol=1e-6):
        raise SystemExit("the probabilities differ from NumPy's")
    print("first row:", " ".join(f"{p:.4f}" for p in probs[0]))


if __name__ == "__main__":
    main()
