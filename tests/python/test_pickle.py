"""Pickling and copying tensors and layers: round trips at every protocol with
the C and the pure-Python picklers, out-of-band buffers, views, a fresh
process, hostile payloads, and the module names pickle looks classes up by."""

import copy
import io
import pickle
import sys

import numpy as np
import pytest

from _nimbra import Tensor, nn
from reference import run_python

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
CLASSES = [(Tensor, "Tensor"), (nn.Linear, "nn.Linear"), (nn.ReLU, "nn.ReLU"), (nn.Sigmoid, "nn.Sigmoid")]


def c_dumps(obj, protocol, buffer_callback=None):
    return pickle.dumps(obj, protocol, buffer_callback=buffer_callback)


def python_dumps(obj, protocol, buffer_callback=None):
    out = io.BytesIO()
    pickle._Pickler(out, protocol, buffer_callback=buffer_callback).dump(obj)
    return out.getvalue()


def python_loads(data, buffers=None):
    return pickle._Unpickler(io.BytesIO(data), buffers=buffers).load()


PICKLERS = pytest.mark.parametrize(
    "dumps, loads", [(c_dumps, pickle.loads), (python_dumps, python_loads)], ids=["C", "Python"]
)


def row_major(t):
    """The tensor's shape and its elements' bits in row-major order."""
    return t.shape, np.ascontiguousarray(np.asarray(t)).view(np.uint32).tobytes()


def f32_tensor(values, shape):
    return Tensor.from_buffer(np.array(values, dtype=np.uint32).view(np.float32).reshape(shape))


TENSORS = {
    "scalar": lambda: Tensor([2.5], []),
    "empty": lambda: Tensor.zeros([0, 3]),
    # NaN with a payload, -0, infinities and a subnormal keep their bits.
    "special": lambda: f32_tensor([0x7FC00123, 0x80000000, 0x7F800000, 0xFF800000, 0x00000001, 0x3F800000], [2, 3]),
    "randn": lambda: Tensor.randn([3, 4, 5]),
    "transposed view": lambda: Tensor.randn([4, 6]).transpose(0, 1),
    "reshaped view": lambda: Tensor.randn([6, 4]).transpose(0, 1).reshape([3, 8]),
}


# ---- names -----------------------------------------------------------------


@pytest.mark.parametrize("cls, qualname", CLASSES)
def test_classes_are_found_by_module_and_qualified_name(cls, qualname):
    assert cls.__module__ == "_nimbra"
    assert cls.__qualname__ == qualname
    assert cls.__name__ == qualname.rpartition(".")[2]
    assert pickle.loads(pickle.dumps(cls, protocol=4)) is cls
    # Function serialisers pickle a class by reference once its name leads
    # back to it, instead of copying it by value.
    cloudpickle = pytest.importorskip("cloudpickle")
    assert cloudpickle.loads(cloudpickle.dumps(cls)) is cls
    assert "nn" not in sys.modules and "_nimbra.nn" not in sys.modules


def test_error_texts_keep_the_plain_class_names():
    with pytest.raises(TypeError) as info:
        nn.ReLU()(nn.Linear(2, 2))
    assert str(info.value) == "argument 'input': 'Linear' object cannot be converted to 'Tensor'"


# ---- round trips -----------------------------------------------------------


@PICKLERS
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_tensor_round_trip(dumps, loads, protocol):
    for name, make in TENSORS.items():
        t = make()
        back = loads(dumps(t, protocol))
        assert type(back) is Tensor, name
        assert row_major(back) == row_major(t), name
    # Sizes beside a zero may exceed what a buffer can describe.
    assert loads(dumps(Tensor.zeros([0, 2**64 - 1]), protocol)).shape == [0, 2**64 - 1]


@PICKLERS
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_layer_round_trip(dumps, loads, protocol):
    linear = nn.Linear(5, 3)
    x = Tensor.randn([4, 5])
    layers = [linear, nn.ReLU(), nn.Sigmoid()]
    back = loads(dumps([layers, layers, x], protocol))
    assert back[0] is back[1], "shared references stay shared"
    for original, copy_ in zip(layers, back[0]):
        assert type(copy_) is type(original)
        assert row_major(copy_(x)) == row_major(original(x))
    restored = back[0][0]
    assert (restored.in_features, restored.out_features) == (5, 3)
    assert row_major(restored.weight) == row_major(linear.weight)
    assert row_major(restored.bias) == row_major(linear.bias)


@pytest.mark.parametrize("make", [lambda: Tensor.ones([2]), lambda: nn.Linear(2, 2), nn.ReLU, nn.Sigmoid])
def test_copies_are_the_object_itself(make):
    obj = make()
    assert copy.copy(obj) is obj
    assert copy.deepcopy(obj) is obj
    box = copy.deepcopy([obj])
    assert box[0] is obj


# ---- protocol 5: out-of-band buffers ---------------------------------------


@PICKLERS
@pytest.mark.parametrize("name", ["randn", "transposed view", "scalar", "empty"])
def test_elements_travel_out_of_band(dumps, loads, name):
    t = TENSORS[name]()
    buffers = []
    data = dumps(t, 5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and isinstance(buffers[0], pickle.PickleBuffer)
    raw = buffers[0].raw()
    assert raw.readonly
    assert raw.tobytes() == np.ascontiguousarray(np.asarray(t), dtype="<f4").tobytes()
    assert len(data) < 200, "the elements are not in the stream"
    for received in (buffers, [raw.tobytes()], [bytearray(raw)]):
        assert row_major(loads(data, buffers=received)) == row_major(t)


def test_out_of_band_buffer_of_a_tensor_is_its_own_memory_and_is_copied_on_load():
    t = Tensor.randn([64, 64])
    buffers = []
    data = pickle.dumps(t, 5, buffer_callback=buffers.append)
    address = np.asarray(t).__array_interface__["data"][0]
    assert np.asarray(buffers[0].raw()).__array_interface__["data"][0] == address
    # The loaded tensor owns its elements: a writable buffer changed after the
    # load does not reach it.
    received = bytearray(buffers[0].raw())
    back = pickle.loads(data, buffers=[received])
    expected = row_major(back)
    received[:] = bytes(len(received))
    assert row_major(back) == expected


def test_linear_parameters_travel_out_of_band():
    layer = nn.Linear(300, 200)
    buffers = []
    data = pickle.dumps(layer, 5, buffer_callback=buffers.append)
    assert sorted(b.raw().nbytes for b in buffers) == [200 * 4, 200 * 300 * 4]
    x = Tensor.randn([2, 300])
    assert row_major(pickle.loads(data, buffers=buffers)(x)) == row_major(layer(x))


# ---- a fresh process -------------------------------------------------------


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_fresh_process_unpickles_without_importing_anything_first(protocol):
    layer = nn.Linear(7, 3)
    x = Tensor.randn([2, 7]).transpose(0, 1).reshape([2, 7])
    payload = pickle.dumps((x, layer, nn.ReLU(), nn.Sigmoid()), protocol)
    out = run_python(
        f"""
        import pickle, sys
        x, layer, relu, sigmoid = pickle.loads({payload!r})
        assert "nn" not in sys.modules and "_nimbra.nn" not in sys.modules
        print(pickle.dumps(sigmoid(relu(layer(x))), 4).hex())
        """
    )
    result = pickle.loads(bytes.fromhex(out))
    assert row_major(result) == row_major(nn.Sigmoid()(nn.ReLU()(layer(x))))


# ---- hostile payloads ------------------------------------------------------


class Forged:
    """Pickles as a call of the classes' own rebuild path with chosen arguments."""

    def __init__(self, rebuild, args):
        self.reduced = (rebuild, tuple(args))

    def __reduce__(self):
        return self.reduced


def forge(obj, drop=None, extra=(), **changes):
    """obj's own reduce value with argument i replaced by changes["a<i>"],
    argument `drop` left out and `extra` appended."""
    rebuild, args = obj.__reduce_ex__(2)[:2]
    args = list(args)
    for key, value in changes.items():
        args[int(key[1:])] = value
    if drop is not None:
        del args[drop]
    return Forged(rebuild, args + list(extra))


TENSOR = Tensor.ones([2, 3])
HOSTILE = {
    "short data": (forge(TENSOR, a2=bytes(20)), ValueError),
    "long data": (forge(TENSOR, a2=bytes(28)), ValueError),
    "shape whose size overflows": (forge(TENSOR, a1=(2**32, 2**32, 2**32), a2=b""), ValueError),
    "shape whose bytes overflow": (forge(TENSOR, a1=(2**62 + 1,), a2=bytes(4)), ValueError),
    "negative size": (forge(TENSOR, a1=(-1, 3)), ValueError),
    "size not an int": (forge(TENSOR, a1=(2.0, 3)), TypeError),
    "shape not a sequence": (forge(TENSOR, a1=6), TypeError),
    "data not a buffer": (forge(TENSOR, a2="abcd" * 6), TypeError),
    "data missing": (forge(TENSOR, drop=2), TypeError),
    "extra argument": (forge(TENSOR, extra=[0]), TypeError),
    "unknown class": (forge(TENSOR, a0="nn.Conv2d"), ValueError),
    "kind not a str": (forge(TENSOR, a0=b"Tensor"), TypeError),
    "weight not a tensor": (forge(nn.Linear(3, 2), a1=[[1.0] * 3] * 2), TypeError),
    "bias of the wrong size": (forge(nn.Linear(3, 2), a2=Tensor.ones([3])), ValueError),
    "layer with parameters it has not": (forge(nn.ReLU(), extra=[TENSOR]), TypeError),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_payload_raises_a_clean_exception(case):
    forged, error = HOSTILE[case]
    data = pickle.dumps(forged, 2)
    for loads in (pickle.loads, python_loads):
        with pytest.raises(error):
            loads(data)


def test_hostile_out_of_band_buffers():
    buffers = []
    data = pickle.dumps(Tensor.ones([4, 4]), 5, buffer_callback=buffers.append)
    with pytest.raises(ValueError):
        pickle.loads(data, buffers=[bytes(63)])
    with pytest.raises(ValueError):  # 64 bytes of elements, but not in one block
        pickle.loads(data, buffers=[np.ones((4, 8), dtype=np.float32)[:, ::2]])
    with pytest.raises(TypeError):
        pickle.loads(data, buffers=[object()])


def test_truncated_streams_fail_cleanly():
    data = pickle.dumps([Tensor.randn([8, 8]), nn.Linear(4, 2)], 4)
    for end in range(0, len(data) - 1, 7):
        with pytest.raises((pickle.UnpicklingError, EOFError, ValueError, TypeError)):
            pickle.loads(data[:end])
