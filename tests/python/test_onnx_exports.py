"""nimbra.onnx.load on networks exported by PyTorch (the TorchScript
exporter at several opsets, and the torch.export-based one where onnxscript
is installed): the same top class as PyTorch on every row and
probabilities within 1e-6; and on scikit-learn's multilayer perceptrons
converted by skl2onnx, where it is installed."""

import io
import warnings

import numpy as np
import pytest

pytest.importorskip("onnx")

import nimbra  # noqa: E402
from _nimbra import Tensor  # noqa: E402

ROWS = 256

try:
    import torch
except ImportError:
    torch = None
needs_torch = pytest.mark.skipif(torch is None, reason="PyTorch is not installed")


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


@needs_torch
@pytest.mark.parametrize("opset", [13, 17, 20])
@pytest.mark.parametrize("activation", ACTIVATIONS)
def test_torchscript_exports(activation, opset):
    net = mlp(ACTIVATIONS[activation]())
    x = torch.randn(ROWS, 64, generator=torch.Generator().manual_seed(opset))
    model = compare(net, x, export(net, x, opset, dynamo=False))
    assert model.inputs[0].name == "x" and model.inputs[0].shape == ("batch", 64)


@needs_torch
def test_torchscript_export_with_flatten_and_log_softmax():
    net = mlp(torch.nn.ReLU(), softmax="log", flatten=True)
    x = torch.randn(ROWS, 1, 8, 8, generator=torch.Generator().manual_seed(1))
    compare(net, x, export(net, x, 17, dynamo=False), log=True)


@needs_torch
@pytest.mark.parametrize("activation", ["relu", "gelu"])
def test_torch_export_based_exports(activation):
    net = mlp(ACTIVATIONS[activation]())
    x = torch.randn(ROWS, 64, generator=torch.Generator().manual_seed(2))
    compare(net, x, export(net, x, 18, dynamo=True))


@pytest.mark.parametrize("kind, activation", [("classifier", "relu"), ("classifier", "tanh"), ("regressor", "logistic")])
def test_skl2onnx_conversions(kind, activation):
    skl2onnx = pytest.importorskip("skl2onnx")
    sklearn = pytest.importorskip("sklearn.neural_network")
    rng = np.random.default_rng(4)
    x = rng.standard_normal((300, 12)).astype(np.float32)
    y = (x[:, 0] > 0).astype(int) + (x[:, 1] > 0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if kind == "classifier":
            est = sklearn.MLPClassifier(hidden_layer_sizes=(16, 8), activation=activation, max_iter=200,
                                        random_state=0).fit(x, y)
            onx = skl2onnx.to_onnx(est, x[:1], options={id(est): {"zipmap": False}}, target_opset=17)
            want = est.predict_proba(x)
        else:
            est = sklearn.MLPRegressor(hidden_layer_sizes=(16,), activation=activation, max_iter=200,
                                       random_state=0).fit(x, y.astype(np.float32))
            onx = skl2onnx.to_onnx(est, x[:1], target_opset=17)
            want = est.predict(x)[:, None]
    model = nimbra.onnx.load(onx)
    got = np.asarray(model(Tensor.from_buffer(x)))
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)
    if kind == "classifier":
        assert model.outputs[0].name == "probabilities"
        assert np.array_equal(got.argmax(axis=1), est.predict(x))
