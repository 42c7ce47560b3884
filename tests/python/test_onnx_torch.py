"""nimbra.onnx.load on networks exported by PyTorch (the TorchScript
exporter at several opsets, and the torch.export-based one where onnxscript
is installed): the same top class as PyTorch on every row and
probabilities within 1e-6."""

import io
import warnings

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("onnx")

import nimbra  # noqa: E402
from _nimbra import Tensor  # noqa: E402

ROWS = 256


def mlp(activation, softmax="softmax", flatten=False):
    torch.manual_seed(3)
    layers = [torch.nn.Flatten()] if flatten else []
    layers += [torch.nn.Linear(64, 128), activation, torch.nn.Dropout(0.2), torch.nn.Linear(128, 10)]
    layers.append(torch.nn.Softmax(dim=1) if softmax == "softmax" else torch.nn.LogSoftmax(dim=1))
    return torch.nn.Sequential(*layers).eval()


def export(net, x, opset, dynamo):
    if dynamo:
        pytest.importorskip("onnxscript")
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kwargs = {"dynamo": dynamo, "input_names": ["x"], "output_names": ["y"]}
        if dynamo:
            kwargs["dynamic_shapes"] = ({0: torch.export.Dim("batch")},)
        else:
            kwargs["dynamic_axes"] = {"x": {0: "batch"}, "y": {0: "batch"}}
        torch.onnx.export(net, (x[:2],), out, opset_version=opset, **kwargs)
    return out.getvalue()


def compare(net, x, data, log=False):
    with torch.inference_mode():
        want = net(x).numpy()
    model = nimbra.onnx.load(data)
    got = np.asarray(model(Tensor.from_buffer(x.numpy())))
    if log:
        got, want = np.exp(got), np.exp(want)
    assert np.array_equal(got.argmax(axis=1), want.argmax(axis=1))
    assert np.abs(got - want).max() <= 1e-6
    return model


ACTIVATIONS = {
    "relu": lambda: torch.nn.ReLU(),
    "sigmoid": lambda: torch.nn.Sigmoid(),
    "tanh": lambda: torch.nn.Tanh(),
    "gelu": lambda: torch.nn.GELU(),
    "gelu-tanh": lambda: torch.nn.GELU(approximate="tanh"),
}


@pytest.mark.parametrize("opset", [13, 17, 20])
@pytest.mark.parametrize("activation", ACTIVATIONS)
def test_torchscript_exports(activation, opset):
    net = mlp(ACTIVATIONS[activation]())
    x = torch.randn(ROWS, 64, generator=torch.Generator().manual_seed(opset))
    model = compare(net, x, export(net, x, opset, dynamo=False))
    assert model.inputs[0].name == "x" and model.inputs[0].shape == ("batch", 64)


def test_torchscript_export_with_flatten_and_log_softmax():
    net = mlp(torch.nn.ReLU(), softmax="log", flatten=True)
    x = torch.randn(ROWS, 1, 8, 8, generator=torch.Generator().manual_seed(1))
    compare(net, x, export(net, x, 17, dynamo=False), log=True)


@pytest.mark.parametrize("activation", ["relu", "gelu"])
def test_torch_export_based_exports(activation):
    net = mlp(ACTIVATIONS[activation]())
    x = torch.randn(ROWS, 64, generator=torch.Generator().manual_seed(2))
    compare(net, x, export(net, x, 18, dynamo=True))
