"""Serving a trained network from an ONNX file.

Writes a small classifier to an ONNX file with the onnx package's helper
API (a stand-in for a model trained elsewhere), loads it with
nimbra.onnx.load, answers requests one row at a time and as a batch,
checks every predicted class, and times a single request.

The classifier assigns a point of R^16 to the nearest of ten prototype
points: a hidden ReLU layer holds the positive and negative parts of x, and
the output layer scores class k as x . p_k - |p_k|^2 / 2, which is largest
for the nearest p_k. Points drawn close to a prototype must come back with
that prototype's class.

Needs the onnx package for writing the file: pip install "nimbra[onnx]".
"""

import array
import os
import random
import sys
import tempfile
import time

import nimbra
from nimbra import Tensor

DIM, CLASSES = 16, 10


def write_model(path: str, prototypes: list[list[float]]) -> None:
    from onnx import TensorProto, helper, save_model

    # hidden = relu([I; -I] x): the positive and negative parts of x.
    w1 = [[1.0 if j == i else 0.0 for j in range(DIM)] for i in range(DIM)]
    w1 += [[-1.0 if j == i else 0.0 for j in range(DIM)] for i in range(DIM)]
    # score_k = p_k . relu(x) - p_k . relu(-x) - |p_k|^2 / 2 = p_k . x - |p_k|^2 / 2
    w2 = [p + [-v for v in p] for p in prototypes]
    b2 = [-sum(v * v for v in p) / 2 for p in prototypes]

    def constant(name: str, rows: list[list[float]]) -> "TensorProto":
        return helper.make_tensor(name, TensorProto.FLOAT, [len(rows), len(rows[0])], [v for r in rows for v in r])

    graph = helper.make_graph(
        [
            helper.make_node("Gemm", ["x", "w1"], ["h"], transB=1, name="hidden"),
            helper.make_node("Relu", ["h"], ["r"], name="relu"),
            helper.make_node("Gemm", ["r", "w2", "b2"], ["scores"], transB=1, name="scores"),
            helper.make_node("Softmax", ["scores"], ["probabilities"], axis=1, name="softmax"),
        ],
        "nearest-prototype",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", DIM])],
        [helper.make_tensor_value_info("probabilities", TensorProto.FLOAT, ["batch", CLASSES])],
        [constant("w1", w1), constant("w2", w2), helper.make_tensor("b2", TensorProto.FLOAT, [CLASSES], b2)],
    )
    save_model(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), path)


def rows_tensor(rows: list[list[float]]) -> Tensor:
    """A [len(rows), DIM] tensor, through the buffer protocol (no NumPy needed)."""
    flat = array.array("f", [v for r in rows for v in r])
    return Tensor.from_buffer(memoryview(flat).cast("B").cast("f", [len(rows), DIM]))


def main() -> int:
    try:
        import onnx  # noqa: F401
    except ImportError:
        print("serve.py writes its model with the onnx package: pip install \"nimbra[onnx]\"")
        return 1
    rnd = random.Random(2024)
    prototypes = [[rnd.uniform(-4, 4) for _ in range(DIM)] for _ in range(CLASSES)]
    labels = [rnd.randrange(CLASSES) for _ in range(500)]
    points = [[v + rnd.gauss(0, 0.1) for v in prototypes[k]] for k in labels]

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "classifier.onnx")
        write_model(path, prototypes)

        # The three lines of serving: load, predict, pick the class.
        model = nimbra.onnx.load(path)
        probabilities = model(rows_tensor(points))
        predicted = nimbra.argmax(probabilities, dim=1).tolist()

    print(model)
    print(f"inputs {model.inputs}, outputs {model.outputs}")
    wrong = sum(int(p) != k for p, k in zip(predicted, labels))
    print(f"batch of {len(points)}: {len(points) - wrong} of {len(points)} classes right")

    # Requests one row at a time give the same bits as the batch.
    batch_rows = probabilities.tolist()
    for i in range(0, len(points), 50):
        one = model(rows_tensor(points[i:i + 1])).tolist()
        if one != batch_rows[i * CLASSES:(i + 1) * CLASSES]:
            print(f"row {i}: a single request differs from the batch")
            return 1

    request = rows_tensor(points[:1])
    times = []
    for _ in range(2000):
        start = time.perf_counter()
        nimbra.argmax(model(request), dim=1)
        times.append(time.perf_counter() - start)
    times.sort()
    print(f"single request: {times[len(times) // 2] * 1e6:.1f} us (median of {len(times)})")
    return 0 if wrong == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
