#!/usr/bin/env python3
"""pickle.loads of tensors and layers.

Inputs whose first byte is below 0x80 are pickles (after that byte),
mutated byte by byte by libFuzzer from the committed seed pickles; they are
loaded by an unpickler that resolves only the globals real pickles of these
classes use (narrowed to those uses), so a mutation can call the rebuild
path with any arguments but nothing else. Other inputs rebuild through the
classes' own reduce values with generated arguments, or load protocol 5
pickles with generated out-of-band buffers.

Whatever loads must be a working object: its elements readable, its shape
consistent, a layer callable on an input of its size."""

import codecs
import io
import math
import pickle
import pickletools
import sys

import atheris
import numpy as np

from _nimbra import Tensor, nn

with atheris.instrument_imports():
    from fuzzlib import EXPECTED, MAX_ELEMENTS, gen_sizes, main

try:
    pickle.dumps(Tensor.ones([1]), 2)
except TypeError:
    print("SKIPPED: tensors cannot be pickled yet")
    sys.exit(0)

OUTCOMES = (*EXPECTED, pickle.UnpicklingError, EOFError, IndexError, KeyError, AttributeError, BufferError)


def samples():
    linear = nn.Linear(3, 2)
    return [Tensor([1.0, -2.5, 3.0, 0.5, 8.0, -0.0], [2, 3]), Tensor([7.0], []), Tensor.zeros([0, 4]),
            Tensor.ones([3, 4]).transpose(0, 1), linear, nn.ReLU(), nn.Sigmoid(), [linear, linear.weight]]


def allowed_globals():
    """Every global that pickles of the sample objects look up."""
    seen = set()

    class Recording(pickle.Unpickler):
        def find_class(self, module, name):
            seen.add((module, name))
            return super().find_class(module, name)

    for obj in samples():
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            Recording(io.BytesIO(pickle.dumps(obj, protocol))).load()
    return frozenset(seen)


ALLOWED = allowed_globals()


def bounded_bytes(*args):
    if args and isinstance(args[0], int) and args[0] > MAX_ELEMENTS:
        raise pickle.UnpicklingError("no bytes object that large is made here")
    return bytes(*args)


def latin1_only(text, encoding="latin1", *rest):
    if encoding != "latin1":
        raise pickle.UnpicklingError("only latin1 is decoded here")
    return codecs.encode(text, encoding, *rest)


def rebuild_entry(obj, name, *default):
    if obj is not Tensor or name != "_rebuild":
        raise pickle.UnpicklingError("only Tensor._rebuild is looked up here")
    return Tensor._rebuild


# The globals that could run anything or allocate without bound, narrowed to
# what the pickles use them for.
NARROWED = {"bytes": bounded_bytes, "encode": latin1_only, "getattr": rebuild_entry}


class Restricted(pickle.Unpickler):
    def find_class(self, module, name):
        if (module, name) not in ALLOWED:
            raise pickle.UnpicklingError(f"{module}.{name} is not a global of these pickles")
        return NARROWED.get(name) or super().find_class(module, name)


def bounded(data):
    """The pickle, once it is known not to make the unpickler allocate more
    than it holds: a counted opcode's length (a bytearray is made at its
    declared size before it is read) and a memo index (the memo is a list
    sized by its largest index) must be within the stream. pickletools
    raises ValueError for a length beyond the stream."""
    for opcode, arg, _ in pickletools.genops(data):
        if "PUT" in opcode.name and arg > len(data):
            raise pickle.UnpicklingError("memo index beyond the stream")
    return data


def exercise(obj, depth=0):
    """Uses what was loaded the way a program would (a mutated pickle may
    give a list that holds itself: only a few levels and items are looked at)."""
    if isinstance(obj, (list, tuple)):
        for item in obj[:8] if depth < 3 else ():
            exercise(item, depth + 1)
    elif isinstance(obj, Tensor):
        values = obj.tolist()
        assert len(values) == obj.size == math.prod(obj.shape), (obj.shape, obj.size, len(values))
        if obj.ndim <= 64:  # a memoryview takes no more
            try:
                view = memoryview(obj)
            except BufferError:  # sizes or strides beyond a Py_ssize_t: only without elements
                assert obj.size == 0, obj.shape
            else:
                assert view.shape == tuple(obj.shape) and view.nbytes == 4 * obj.size, (view.shape, obj.shape)
        (obj + obj).sum()
    elif isinstance(obj, nn.Linear):
        assert obj.weight.shape == [obj.out_features, obj.in_features], obj.weight.shape
        assert obj.bias.shape == [obj.out_features], obj.bias.shape
        if obj.in_features <= MAX_ELEMENTS:
            assert obj(Tensor.ones([2, obj.in_features])).shape == [2, obj.out_features]
    elif isinstance(obj, (nn.ReLU, nn.Sigmoid)):
        obj(Tensor.ones([2]))


def buffer_like(fdp, size):
    """Some exporter of about `size` bytes, or something that is none."""
    size = max(size, 0)
    kind = fdp.ConsumeIntInRange(0, 7)
    raw = fdp.ConsumeBytes(size).ljust(size, b"\0")
    if kind < 3:
        return raw[: max(0, size + fdp.ConsumeIntInRange(-5, 5))]
    if kind == 3:
        return bytearray(raw)
    if kind == 4:
        return memoryview(raw)[:: fdp.PickValueInList([1, 2, -1])]
    if kind == 5:
        return np.frombuffer(raw, np.uint8)[fdp.ConsumeIntInRange(0, 3):].view(np.uint8)
    if kind == 6:
        return pickle.PickleBuffer(raw)
    return fdp.PickValueInList([None, "abcd", 4, object(), [0.0], Tensor.ones([max(size // 4, 1)])])


def mutated_arg(fdp, value, kinds):
    """A generated stand-in for one reduce argument of the same kind, or of
    another."""
    if fdp.ConsumeIntInRange(0, 7) == 7:
        return fdp.PickValueInList([None, 0, -1, 2**64, "", b"", (), [], 1.5, Tensor.ones([2, 2])])
    if isinstance(value, str):
        return fdp.PickValueInList(kinds + ["", "Tensor.ones", "nn", "nn.Linear.weight", "Tensor\0"])
    if isinstance(value, (tuple, list)):
        return gen_sizes(fdp)[0]
    if isinstance(value, Tensor):
        shape = [fdp.ConsumeIntInRange(0, 4) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        return Tensor.ones(shape)
    if isinstance(value, int):
        return fdp.ConsumeInt(9)
    try:
        size = memoryview(value).nbytes
    except TypeError:
        size = 8
    return buffer_like(fdp, size + fdp.ConsumeIntInRange(-8, 8))


def forged(fdp):
    """The rebuild path of a sample object called with generated arguments."""
    objects = samples()
    kinds = [a for o in objects[:-1] for a in o.__reduce_ex__(2)[1] if isinstance(a, str)]
    obj = fdp.PickValueInList(objects[:-1])
    rebuild, args = obj.__reduce_ex__(fdp.ConsumeIntInRange(2, 5))[:2]
    args = list(args)
    for i in range(len(args)):
        if fdp.ConsumeBool():
            args[i] = mutated_arg(fdp, args[i], kinds)
    if args and fdp.ConsumeIntInRange(0, 7) == 7:
        del args[fdp.ConsumeIntInRange(0, len(args) - 1)]
    if fdp.ConsumeIntInRange(0, 7) == 7:
        args.append(mutated_arg(fdp, args[-1] if args else 0, kinds))
    return rebuild(*args)


def out_of_band(fdp):
    """A protocol 5 pickle loaded with generated buffers in place of its own."""
    obj = fdp.PickValueInList(samples())
    buffers = []
    data = pickle.dumps(obj, 5, buffer_callback=buffers.append)
    given = [buffer_like(fdp, b.raw().nbytes) if fdp.ConsumeBool() else b for b in buffers]
    if fdp.ConsumeIntInRange(0, 7) == 7:
        given = given[:-1] if fdp.ConsumeBool() else given + [b""]
    return pickle.loads(data, buffers=given)


@atheris.instrument_func
def test_one_input(raw):
    try:
        if raw[:1] and raw[0] < 0x80:
            obj = Restricted(io.BytesIO(bounded(raw[1:]))).load()
        else:
            fdp = atheris.FuzzedDataProvider(raw[1:])
            obj = forged(fdp) if fdp.ConsumeBool() else out_of_band(fdp)
    except OUTCOMES:
        return
    exercise(obj)


if __name__ == "__main__":
    main(test_one_input)
