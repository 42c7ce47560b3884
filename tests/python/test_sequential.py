"""nimbra.nn.Sequential: the layers applied in order, the container
protocols, its repr, immutability, and pickling with functions by name."""

import copy
import functools
import pickle

import numpy as np
import pytest

import nimbra
from nimbra.nn import Linear, ReLU, Sequential, Sigmoid
from _nimbra import Tensor

from reference import assert_bits_equal, values

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
softmax1 = functools.partial(Tensor.softmax, dim=1)


def network():
    return Sequential(Linear(6, 5), ReLU(), Linear(5, 3), Sigmoid(), softmax1)


def test_layers_apply_in_order():
    net = network()
    x = Tensor.randn([4, 6])
    manual = x
    for layer in net:
        manual = layer(manual)
    assert_bits_equal(values(net(x)), values(manual))
    assert_bits_equal(values(net.forward(x)), values(manual))
    assert net(x).shape == [4, 3]
    empty = Sequential()
    assert empty(x) is x and len(empty) == 0


def test_a_layer_that_is_not_callable_is_refused_by_position():
    with pytest.raises(TypeError, match=r"layer 2 must be callable .*not list"):
        Sequential(ReLU(), ReLU(), [1, 2])
    with pytest.raises(TypeError, match="layer 0 .*not Tensor"):
        Sequential(Tensor.ones([1]))


def test_indexing_length_and_iteration():
    net = network()
    layers = list(net)
    assert len(net) == 5 and len(layers) == 5
    assert net[0] is layers[0] and net[-1] is softmax1
    part = net[1:3]
    assert type(part) is Sequential and list(part) == layers[1:3]
    assert list(net[::-1]) == layers[::-1]
    assert net[np.int64(2)] is layers[2]
    with pytest.raises(IndexError):
        net[5]
    with pytest.raises(TypeError):
        net["0"]


def test_repr_lists_the_layers():
    assert repr(Sequential(Linear(3, 2), ReLU())) == "Sequential(Linear(in_features=3, out_features=2), ReLU())"
    assert repr(Sequential()) == "Sequential()"
    long = repr(network())
    assert long.splitlines() == [
        "Sequential(",
        "  Linear(in_features=6, out_features=5),",
        "  ReLU(),",
        "  Linear(in_features=5, out_features=3),",
        "  Sigmoid(),",
        "  partial(Tensor.softmax, dim=1),",
        ")",
    ]
    assert "nimbra.nn.Sequential" not in repr(Sequential(abs)) and "abs" in repr(Sequential(abs))


def test_immutable_and_copies_are_itself():
    net = network()
    with pytest.raises(AttributeError, match="immutable"):
        net._layers = ()
    with pytest.raises(AttributeError, match="immutable"):
        net.extra = 1
    assert copy.copy(net) is net and copy.deepcopy(net) is net


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickles_with_layers_by_value_and_functions_by_name(protocol):
    net = network()
    x = Tensor.randn([3, 6])
    data = pickle.dumps(net, protocol)
    back = pickle.loads(data)
    assert type(back) is Sequential and len(back) == len(net)
    assert_bits_equal(values(back(x)), values(net(x)))
    assert back[-1].func is Tensor.softmax and back[-1].keywords == {"dim": 1}
    assert b"softmax" in data and b"_nimbra" in data


def test_pickles_nimbra_functions_by_reference():
    functions = [getattr(nimbra, name) for name in ("sigmoid", "tanh") if hasattr(nimbra, name)]
    if not functions:
        pytest.skip("the accurate activations are not in this build")
    back = pickle.loads(pickle.dumps(Sequential(*functions, functools.partial(functions[0]))))
    assert list(back)[:-1] == functions and back[-1].func is functions[0]
