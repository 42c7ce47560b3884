"""nimbra.onnx.load on graphs built with the onnx helper API: every supported
operator against the ONNX semantics computed in NumPy, the errors for
unsupported graphs and malformed files, the accepted sources, and what the
result keeps."""

import functools
import math
import os
import pathlib
import pickle

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

import nimbra  # noqa: E402
from nimbra.nn import Linear, ReLU, Sequential  # noqa: E402
from _nimbra import Tensor  # noqa: E402

from reference import run_python  # noqa: E402

F = TensorProto.FLOAT
rng = np.random.default_rng(7)


def randn(*shape):
    return rng.standard_normal(shape).astype(np.float32)


def model(nodes, inits=None, in_shape=("N", 8), out_shape=None, opset=17, extra_inputs=(), outputs=None):
    inits = inits or {}
    g = helper.make_graph(
        nodes, "g",
        [helper.make_tensor_value_info("x", F, list(in_shape)), *extra_inputs],
        outputs or [helper.make_tensor_value_info("y", F, list(out_shape) if out_shape else None)],
        [numpy_helper.from_array(np.asarray(a), name) for name, a in inits.items()],
    )
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", opset)])


def run(m, x):
    return np.asarray(nimbra.onnx.load(m)(Tensor.from_buffer(np.ascontiguousarray(x, dtype=np.float32))))


def close(got, want):
    np.testing.assert_allclose(got, want, rtol=2e-5, atol=2e-6)


def softmax(z, axis):
    e = np.exp(z - z.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


def erf(v):
    return np.vectorize(math.erf)(v)


def gelu(v, approximate):
    if approximate == "none":
        return 0.5 * v * (1 + erf(v / math.sqrt(2)))
    return 0.5 * v * (1 + np.tanh(math.sqrt(2 / math.pi) * (v + 0.044715 * v**3)))


# ---- Gemm and MatMul -------------------------------------------------------------


@pytest.mark.parametrize("trans_a", [0, 1])
@pytest.mark.parametrize("trans_b", [0, 1])
@pytest.mark.parametrize("alpha, beta, c_shape", [(1.0, 1.0, (4,)), (0.5, 2.0, (1, 4)), (1.0, 3.0, ()),
                                                  (2.0, 1.0, None)])
def test_gemm_folds_transposes_alpha_and_beta(trans_a, trans_b, alpha, beta, c_shape):
    a = randn(5, 8) if not trans_a else randn(8, 5)
    b = randn(4, 8) if trans_b else randn(8, 4)
    inits = {"B": b}
    inputs = ["x", "B"]
    if c_shape is not None:
        inits["C"] = randn(*c_shape)
        inputs.append("C")
    m = model([helper.make_node("Gemm", inputs, ["y"], alpha=alpha, beta=beta, transA=trans_a, transB=trans_b)],
              inits, in_shape=a.shape)
    a2, b2 = (a.T if trans_a else a).astype(np.float64), (b.T if trans_b else b).astype(np.float64)
    want = alpha * a2 @ b2 + (beta * inits["C"] if c_shape is not None else 0)
    close(run(m, a), want)
    linear = [layer for layer in nimbra.onnx.load(m) if isinstance(layer, Linear)]
    assert len(linear) == 1 and linear[0].weight.shape == [4, 8] and linear[0].bias.shape == [4]


@pytest.mark.parametrize("trans_b", [0, 1])
def test_the_weight_is_the_transpose_of_a_row_major_matrix(trans_b):
    # The layer then multiplies by that matrix and keeps no second copy.
    b = randn(4, 8) if trans_b else randn(8, 4)
    layer = nimbra.onnx.load(model([helper.make_node("Gemm", ["x", "B"], ["y"], transB=trans_b)], {"B": b}))[0]
    weight = np.asarray(layer.weight)
    assert weight.flags.f_contiguous and not weight.flags.c_contiguous
    assert np.array_equal(weight, b if trans_b else b.T)


@pytest.mark.parametrize("bias_first", [False, True])
@pytest.mark.parametrize("bias_shape", [(4,), (1, 4), (1,)])
def test_matmul_and_add_become_one_linear(bias_first, bias_shape):
    w, c = randn(8, 4), randn(*bias_shape)
    add_inputs = ["c", "z"] if bias_first else ["z", "c"]
    m = model([helper.make_node("MatMul", ["x", "w"], ["z"]), helper.make_node("Add", add_inputs, ["y"])],
              {"w": w, "c": c})
    x = randn(6, 8)
    close(run(m, x), x.astype(np.float64) @ w + c)
    assert [type(layer) for layer in nimbra.onnx.load(m)] == [Linear]


def test_matmul_alone_and_on_batched_inputs():
    w = randn(8, 3)
    m = model([helper.make_node("MatMul", ["x", "w"], ["y"])], {"w": w}, in_shape=("B", "T", 8))
    x = randn(2, 5, 8)
    close(run(m, x), x.astype(np.float64) @ w)


# ---- activations, softmax, shapes ----------------------------------------------------


@pytest.mark.parametrize("op, attrs, opset, reference", [
    ("Relu", {}, 17, lambda v: np.maximum(v, 0)),
    ("Sigmoid", {}, 17, lambda v: 1 / (1 + np.exp(-v))),
    ("Tanh", {}, 17, np.tanh),
    ("Gelu", {}, 20, lambda v: gelu(v, "none")),
    ("Gelu", {"approximate": "tanh"}, 20, lambda v: gelu(v, "tanh")),
    ("Softmax", {}, 17, lambda v: softmax(v, -1)),
    ("Softmax", {"axis": 0}, 13, lambda v: softmax(v, 0)),
    ("Softmax", {}, 11, lambda v: softmax(v, 1)),
    ("LogSoftmax", {"axis": 1}, 17, lambda v: np.log(softmax(v, 1))),
    ("LogSoftmax", {"axis": -2}, 21, lambda v: np.log(softmax(v, 0))),
    ("Identity", {}, 17, lambda v: v),
])
def test_element_wise_layers(op, attrs, opset, reference):
    x = randn(6, 8) * 3
    close(run(model([helper.make_node(op, ["x"], ["y"], **attrs)], opset=opset), x), reference(x.astype(np.float64)))


def test_activations_are_the_accurate_functions():
    m = model([helper.make_node("Sigmoid", ["x"], ["s"]), helper.make_node("Tanh", ["s"], ["t"]),
               helper.make_node("Gelu", ["t"], ["g"], approximate="tanh"),
               helper.make_node("Softmax", ["g"], ["y"], axis=1)], opset=20)
    layers = list(nimbra.onnx.load(m))
    assert layers[:2] == [nimbra.sigmoid, nimbra.tanh]
    assert (layers[2].func, layers[2].keywords) == (nimbra.gelu, {"approximate": "tanh"})
    assert (layers[3].func, layers[3].keywords) == (nimbra.softmax, {"dim": 1})


def node_chain(*specs):
    """Nodes from (op, inputs, output, attrs) with scalar constants as
    Constant nodes: an input written as a float becomes one."""
    nodes, count = [], 0
    for op, inputs, output, *attrs in specs:
        names = []
        for i in inputs:
            if isinstance(i, float):
                count += 1
                nodes.append(helper.make_node("Constant", [], [f"k{count}"],
                                              value=helper.make_tensor(f"k{count}", F, [], [i])))
                names.append(f"k{count}")
            else:
                names.append(i)
        nodes.append(helper.make_node(op, names, [output], **(attrs[0] if attrs else {})))
    return nodes


SQRT2, SQRT2_PI = math.sqrt(2.0), math.sqrt(2.0 / math.pi)
GELU_SUBGRAPHS = {
    "erf, as torch writes it": ("none", node_chain(
        ("Div", ["x", SQRT2], "a"), ("Erf", ["a"], "b"), ("Add", ["b", 1.0], "c"), ("Mul", ["x", "c"], "d"),
        ("Mul", ["d", 0.5], "y"))),
    "erf, half first": ("none", node_chain(
        ("Mul", [0.5, "x"], "h"), ("Mul", ["x", 1 / SQRT2], "a"), ("Erf", ["a"], "b"), ("Add", [1.0, "b"], "c"),
        ("Mul", ["h", "c"], "y"))),
    "tanh with Pow": ("tanh", node_chain(
        ("Pow", ["x", 3.0], "p"), ("Mul", ["p", 0.044715], "q"), ("Add", ["x", "q"], "r"),
        ("Mul", ["r", SQRT2_PI], "s"), ("Tanh", ["s"], "t"), ("Add", ["t", 1.0], "u"), ("Mul", ["x", 0.5], "v"),
        ("Mul", ["v", "u"], "y"))),
    "tanh with the constant folded in": ("tanh", node_chain(
        ("Mul", ["x", "x"], "p"), ("Mul", ["p", "x"], "p3"), ("Mul", ["p3", 0.044715 * SQRT2_PI], "q"),
        ("Mul", ["x", SQRT2_PI], "r"), ("Add", ["r", "q"], "s"), ("Tanh", ["s"], "t"), ("Add", ["t", 1.0], "u"),
        ("Mul", ["u", "x"], "v"), ("Mul", ["v", 0.5], "y"))),
}


@pytest.mark.parametrize("name", GELU_SUBGRAPHS)
def test_gelu_subgraphs_become_one_gelu(name):
    approximate, nodes = GELU_SUBGRAPHS[name]
    m = model(nodes)
    layers = list(nimbra.onnx.load(m))
    assert len(layers) == 1 and layers[0].func is nimbra.gelu and layers[0].keywords == {"approximate": approximate}
    x = randn(5, 8) * 2
    close(run(m, x), gelu(x.astype(np.float64), approximate))


def test_of_several_outputs_the_float_tensor_is_imported():
    # A classifier's probabilities beside its labels, as skl2onnx writes it:
    # the nodes that only feed the labels are left out.
    w = randn(8, 3)
    m = model([helper.make_node("Cast", ["x"], ["xf"], to=TensorProto.FLOAT),
               helper.make_node("MatMul", ["xf", "w"], ["z"]), helper.make_node("Softmax", ["z"], ["p"], axis=1),
               helper.make_node("ArgMax", ["p"], ["label"], axis=1)], {"w": w},
              outputs=[helper.make_tensor_value_info("label", TensorProto.INT64, ["N", 1]),
                       helper.make_tensor_value_info("p", F, ["N", 3])])
    got = nimbra.onnx.load(m)
    assert got.outputs == (nimbra.onnx.TensorInfo("p", ("N", 3), "float32"),) and len(got) == 2
    x = randn(4, 8)
    close(run(m, x), softmax(x.astype(np.float64) @ w, 1))


def test_flatten_reshape_dropout():
    x = randn(3, 2, 2, 2)
    shape = numpy_helper.from_array(np.array([0, -1], dtype=np.int64), "s0")
    m = model([
        helper.make_node("Flatten", ["x"], ["f"], axis=2),              # [6, 4]
        helper.make_node("Reshape", ["f", "s"], ["r"]),                 # [-1, 8] from an initializer -> [3, 8]
        helper.make_node("Constant", [], ["s0"], value=shape),
        helper.make_node("Reshape", ["r", "s0"], ["r2"]),               # [0, -1] from a Constant node
        helper.make_node("Dropout", ["r2", "ratio", "train"], ["y", "mask"]),
    ], {"s": np.array([-1, 8], dtype=np.int64), "ratio": np.array(0.5, dtype=np.float32),
        "train": np.array(False)}, in_shape=("N", 2, 2, 2), opset=13)
    got = nimbra.onnx.load(m)
    assert [repr(layer) for layer in got] == ["Flatten(axis=2)", "Reshape(shape=(-1, 8))", "Reshape(shape=(0, -1))"]
    close(run(m, x), x.reshape(3, 8))
    with pytest.raises(ValueError, match="cannot reshape"):
        got(Tensor.ones([5, 3]))


# ---- unsupported graphs ---------------------------------------------------------------


def conv_model():
    return model([helper.make_node("Relu", ["x"], ["r"], name="act"),
                  helper.make_node("Conv", ["r", "w"], ["y"], name="conv1")], {"w": randn(1, 1, 1, 1)})


@pytest.mark.parametrize("build, text", [
    (conv_model, r"node 'conv1' \(Conv, position 1\): this operator is not supported"),
    (lambda: model([helper.make_node("Relu", ["x"], ["y"], name="r", domain="com.example")]),
     r"node 'r' \(com.example.Relu, position 0\)"),
    (lambda: model([helper.make_node("Relu", ["x"], ["r"]), helper.make_node("Add", ["x", "r"], ["y"], name="res")]),
     r"node 'res' \(Add, position 1\): it reads 'x', which is not the output of the layer before it"),
    (lambda: model([helper.make_node("Mul", ["x", "k"], ["y"], name="scale")], {"k": np.float32(3)}),
     r"node 'scale' \(Mul, position 0\): element-wise Mul .* GELU"),
    (lambda: model([helper.make_node("MatMul", ["x", "x2"], ["y"], name="mm")],
                   extra_inputs=[helper.make_tensor_value_info("x2", F, [8, 4])]),
     r"only graphs with one input are supported; this one has \['x', 'x2'\]"),
    (lambda: model([helper.make_node("Relu", ["x"], ["y"]), helper.make_node("Relu", ["x"], ["z"])],
                   outputs=[helper.make_tensor_value_info(v, F, None) for v in "yz"]),
     r"one float32 tensor among its outputs; this one has \[\('y', 'float32'\), \('z', 'float32'\)\]"),
    (lambda: model([helper.make_node("Cast", ["x"], ["y"], name="c", to=TensorProto.INT64)]),
     r"node 'c' \(Cast, position 0\): a cast to int64"),
    (lambda: model([helper.make_node("Gemm", ["x", "B", "C"], ["y"], name="g")], {"B": randn(8, 4), "C": randn(5, 4)}),
     r"node 'g' \(Gemm, position 0\): its bias of shape \[5, 4\]"),
    (lambda: model([helper.make_node("Dropout", ["x", "", "t"], ["y"], name="d")], {"t": np.array(True)}),
     r"node 'd' \(Dropout, position 0\): it runs in training mode"),
    (lambda: model([helper.make_node("Dropout", ["x"], ["d", "m"], name="d"),
                    helper.make_node("Cast", ["m"], ["mf"], to=TensorProto.FLOAT),
                    helper.make_node("Mul", ["d", "mf"], ["y"])]),
     r"node 'd' \(Dropout, position 0\): its mask output is used"),
    (lambda: model([helper.make_node("Softmax", ["x"], ["y"], name="s", axis=0)], opset=11),
     r"node 's' \(Softmax, position 0\): before opset 13"),
    (lambda: model([helper.make_node("Shape", ["x"], ["s"]), helper.make_node("Reshape", ["x", "s"], ["y"], name="rs")]),
     r"node '' \(Shape, position 0\): this operator is not supported"),
    (lambda: model([helper.make_node("MatMul", ["x", "w"], ["y"], name="h")],
                   {"w": randn(8, 4).astype(np.float16)}), r"node 'h' \(MatMul, position 0\): .* holds float16"),
    (lambda: model([helper.make_node("Relu", ["x"], ["r"])]), r"output 'y' is not the end of its chain"),
    # x squared 200 times: the GELU matcher gives up instead of expanding it
    (lambda: model([helper.make_node("Identity", ["x"], ["m0"])]
                   + [helper.make_node("Mul", [f"m{i}", f"m{i}"], [f"m{i + 1}"], name=f"sq{i}") for i in range(200)]
                   + [helper.make_node("Identity", ["m200"], ["y"])]),
     r"node 'sq0' \(Mul, position 1\): element-wise Mul"),
])
def test_unsupported_graphs_name_the_node(build, text):
    with pytest.raises(NotImplementedError, match=text):
        nimbra.onnx.load(build())


# ---- malformed files and sources --------------------------------------------------------


def serialized():
    return model([helper.make_node("Gemm", ["x", "B"], ["y"], transB=1)], {"B": randn(4, 8)}).SerializeToString()


def bad_raw_data():
    m = model([helper.make_node("Gemm", ["x", "B"], ["y"])], {"B": randn(8, 4)})
    m.graph.initializer[0].raw_data = m.graph.initializer[0].raw_data[:-4]
    return m.SerializeToString()


def no_opset():
    m = model([helper.make_node("Relu", ["x"], ["y"])])
    del m.opset_import[:]
    return m.SerializeToString()


@pytest.mark.parametrize("data, text", [
    (lambda: serialized()[:-3], "runs past the end"),
    (lambda: b"\x0a\xff", "runs past the end"),
    (lambda: b"\x0b\x00", "wire type 3"),
    (lambda: b"\x80" * 11, "longer than 10 bytes"),
    (lambda: b"", "no graph"),
    (lambda: helper.make_model(helper.make_graph([], "g", [], [])).SerializeToString()[:0] + b"\x08\x07", "no graph"),
    (bad_raw_data, r"tensor 'B' of shape \[8, 4\] does not hold 32 elements"),
    (no_opset, "no version of the standard operator set"),
    (lambda: model([helper.make_node("Softmax", ["x"], ["y"], axis=2)]).SerializeToString(),
     r"node '' \(Softmax, position 0\) has axis 2, beyond the 2 dimensions of its input"),
    (lambda: model([helper.make_node("Gemm", ["x", "B"], ["y"], alpha=[1.0, 2.0])], {"B": randn(8, 4)})
     .SerializeToString(), "its attribute 'alpha' is not a float"),
    (lambda: model([helper.make_node("Dropout", ["x", "", "t"], ["y"])], {"t": np.float16(0)}).SerializeToString(),
     "tensor 't' holds float16, not numbers"),
    (lambda: b"\x3a\x02\x0a\x80", "runs past the end"),
])
def test_malformed_files_are_value_errors(data, text):
    with pytest.raises(ValueError, match="not a well-formed ONNX model: .*" + text):
        nimbra.onnx.load(data())


def test_mutated_files_load_or_raise_value_or_not_implemented_errors():
    # A classifier with most kinds of layer; bytes flipped, replaced, cut out
    # and put in, as a damaged or hostile file would have them.
    gelu_nodes = node_chain(("Div", ["q", SQRT2], "a"), ("Erf", ["a"], "b"), ("Add", ["b", 1.0], "c"),
                            ("Mul", ["q", "c"], "d"), ("Mul", ["d", 0.5], "g"))
    data = model([helper.make_node("Gemm", ["x", "w", "bias"], ["h"], alpha=0.5),
                  helper.make_node("Relu", ["h"], ["r"]), helper.make_node("Reshape", ["r", "s"], ["q"]), *gelu_nodes,
                  helper.make_node("Softmax", ["g"], ["y"], axis=1)],
                 {"w": randn(8, 4), "bias": randn(4), "s": np.array([0, -1], dtype=np.int64)}).SerializeToString()
    assert len(nimbra.onnx.load(data)) == 5
    gen = np.random.default_rng(11)
    for _ in range(2000):
        d = bytearray(data)
        for _ in range(gen.integers(1, 4, endpoint=True)):
            at = int(gen.integers(len(d)))
            kind = gen.integers(4)
            if kind == 0:
                d[at] ^= 1 << int(gen.integers(8))
            elif kind == 1:
                d[at] = int(gen.integers(256))
            elif kind == 2:
                del d[at:at + int(gen.integers(1, 9))]
            else:
                d[at:at] = gen.bytes(int(gen.integers(1, 5)))
        try:
            got = nimbra.onnx.load(bytes(d))
        except (ValueError, NotImplementedError):
            continue
        try:
            got(Tensor.ones([2, 8]))
        except ValueError:
            pass


def test_sources_path_bytes_and_model_proto(tmp_path):
    data = serialized()
    path = tmp_path / "m.onnx"
    path.write_bytes(data)
    x = Tensor.randn([3, 8])
    want = np.asarray(nimbra.onnx.load(data)(x))
    for source in (str(path), path, bytearray(data), memoryview(data), onnx.load_from_string(data)):
        assert np.array_equal(np.asarray(nimbra.onnx.load(source)(x)), want), type(source)
    for wrong in (3, None, onnx.load_from_string(data).graph):
        with pytest.raises(TypeError, match="path, bytes or an onnx.ModelProto"):
            nimbra.onnx.load(wrong)
    with pytest.raises(FileNotFoundError):
        nimbra.onnx.load(tmp_path / "missing.onnx")


def test_external_data_is_read_beside_the_file(tmp_path):
    data = serialized()
    onnx.save_model(onnx.load_from_string(data), tmp_path / "m.onnx", save_as_external_data=True,
                    location="w.bin", size_threshold=0)
    assert (tmp_path / "w.bin").stat().st_size == 4 * 8 * 4
    x = Tensor.randn([2, 8])
    assert np.array_equal(np.asarray(nimbra.onnx.load(tmp_path / "m.onnx")(x)), np.asarray(nimbra.onnx.load(data)(x)))
    with pytest.raises(ValueError, match="external file; load the model from its path"):
        nimbra.onnx.load((tmp_path / "m.onnx").read_bytes())


def test_names_and_shapes_are_kept_and_pickle():
    m = model([helper.make_node("Gemm", ["x", "B"], ["y"], transB=1)], {"B": randn(4, 8)}, out_shape=("N", 4))
    got = nimbra.onnx.load(m)
    assert isinstance(got, Sequential) and isinstance(got, nimbra.onnx.Model)
    assert got.inputs == (nimbra.onnx.TensorInfo("x", ("N", 8), "float32"),)
    assert got.outputs == (nimbra.onnx.TensorInfo("y", ("N", 4), "float32"),)
    back = pickle.loads(pickle.dumps(got))
    assert type(back) is nimbra.onnx.Model and (back.inputs, back.outputs) == (got.inputs, got.outputs)
    x = Tensor.randn([3, 8])
    assert bytes(back(x)) == bytes(got(x))
    assert type(got[:1]) is Sequential


def test_loading_a_file_imports_neither_onnx_nor_numpy(tmp_path):
    path = tmp_path / "m.onnx"
    path.write_bytes(serialized())
    package = str(pathlib.Path(nimbra.__file__).parents[1])
    out = run_python(f"""
        import sys, nimbra
        model = nimbra.onnx.load({str(path)!r})
        model(nimbra.Tensor.ones([1, 8]))
        print(sorted(m for m in ("onnx", "numpy", "google.protobuf") if m in sys.modules))
    """, {"PYTHONPATH": os.pathsep.join([package, os.environ.get("PYTHONPATH", "")])})
    assert out.strip() == "[]"


def test_layers_are_shared_and_exact():
    # One initializer used twice becomes one tensor; the layers compute what
    # the same nimbra layers built by hand compute, bit for bit.
    w, b = randn(8, 8), randn(8)
    m = model([helper.make_node("Gemm", ["x", "w", "b"], ["h"]), helper.make_node("Relu", ["h"], ["r"]),
               helper.make_node("Gemm", ["r", "w", "b"], ["y"])], {"w": w, "b": b})
    first, _, second = nimbra.onnx.load(m)
    assert np.shares_memory(np.asarray(first.weight), np.asarray(second.weight))
    hand = Sequential(Linear.from_weights(Tensor.from_buffer(w.T.copy()), Tensor.from_buffer(b)), ReLU(),
                      Linear.from_weights(Tensor.from_buffer(w.T.copy()), Tensor.from_buffer(b)))
    x = Tensor.randn([4, 8])
    assert bytes(nimbra.onnx.load(m)(x)) == bytes(hand(x))
    assert functools.reduce(lambda t, f: f(t), hand, x).shape == [4, 8]
