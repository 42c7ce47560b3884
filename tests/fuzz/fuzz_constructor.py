#!/usr/bin/env python3
"""Tensor(data, shape): generated nesting, numbers of every kind, objects
whose __float__/__index__ misbehave or change the lists being read, lists
that contain themselves, and generated shape arguments.

Plain data with a plain shape has one right answer: the tensor when the
counts match (shape, size and the f32 bits of every element), ValueError
otherwise."""

import math
import sys

import atheris
import numpy as np

from _nimbra import Tensor

with atheris.instrument_imports():
    from fuzzlib import EXPECTED, Float, Index, Planted, Skip, call, gen_int, gen_sizes, main

FAIL = object()     # an item whose conversion must fail
UNKNOWN = object()  # an item whose conversion changes lists


class FloatSub(float):
    pass


class ListSub(list):
    pass


class FloatList(list):
    """A list that is also a number."""

    def __init__(self, items, value):
        super().__init__(items)
        self.value = value

    def __float__(self):
        return self.value


class FloatMutator:
    def __init__(self, value, target, how):
        self.value, self.target, self.how = value, target, how

    def __float__(self):
        target = self.target
        if self.how == 0:
            target.clear()
        elif self.how == 1:
            target.append(1.5)
        elif self.how == 2 and target:
            del target[-1]
        elif self.how == 3:
            target.append(target)
        else:
            target[:] = [[2.0] * 3] * 3
        return self.value


def as_double(value):
    try:
        return float(value)
    except OverflowError:
        return FAIL


class DataBuilder:
    """Generates nested data, keeping track of what flattening it yields."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.lists = []      # (list, its conversions) for reuse
        self.budget = 512
        self.deep = False    # nesting can exceed the recursion limit
        self.mutates = False  # a hook changes lists while they are read

    @atheris.instrument_func
    def number(self, stack):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 15)
        v = fdp.ConsumeFloat()
        if kind < 6:
            return v, v
        if kind == 6:
            i = gen_int(fdp)
            return i, float(i)
        if kind == 7:
            i = 2 ** fdp.ConsumeIntInRange(1000, 1100) * (1 if fdp.ConsumeBool() else -1)
            return i, as_double(i)
        if kind == 8:
            b = fdp.ConsumeBool()
            return b, float(b)
        if kind == 9:
            return FloatSub(v), v
        if kind == 10:
            return Float(v), v
        if kind == 11:
            i = gen_int(fdp)
            return Index(i), as_double(i)
        if kind == 12:
            return fdp.PickValueInList([Float(Planted), Float("x"), Float(1), None, "1", (1.0,), {}, 1j]), FAIL
        if kind == 13:  # accepted with a DeprecationWarning
            return Float(FloatSub(v)), v
        if kind == 14:
            target = stack[fdp.ConsumeIntInRange(0, len(stack) - 1)]
            self.mutates = True
            return FloatMutator(v, target, fdp.ConsumeIntInRange(0, 4)), UNKNOWN
        return FloatList([Float(Planted)], v), v

    @atheris.instrument_func
    def build(self, stack, depth):
        """A list and the conversions of its numbers in flattening order."""
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 15)
        if kind == 15 and self.lists:  # the same list again
            chosen, values = self.lists[fdp.ConsumeIntInRange(0, len(self.lists) - 1)]
            if any(chosen is s for s in stack):
                self.deep = True
                return chosen, [UNKNOWN]
            return chosen, values
        out, values = ListSub() if kind == 14 else [], []
        self.lists.append((out, values))
        stack.append(out)
        for _ in range(fdp.ConsumeIntInRange(0, 64 if kind == 13 else 4)):
            if self.budget <= 0:
                break
            self.budget -= 1
            if depth < 6 and fdp.ConsumeIntInRange(0, 3) == 0:
                item, inner = self.build(stack, depth + 1)
                values.extend(inner)
            else:
                item, value = self.number(stack)
                values.append(value)
            out.append(item)
        stack.pop()
        return out, values

    def top(self):
        """The data argument, and its values when flattening it must give
        exactly those (None otherwise)."""
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 31)
        if kind == 31:
            return fdp.PickValueInList([(1.0, 2.0), None, 1.0, "12", {1: 2}]), None
        data, values = self.build([], 0)
        if kind == 30:
            depth = fdp.ConsumeIntInRange(1, 2 * sys.getrecursionlimit())
            for _ in range(depth):
                data = [data]
            self.deep = self.deep or depth > sys.getrecursionlimit() - 100
        plain = not self.deep and all(v is not FAIL and v is not UNKNOWN for v in values)
        return data, values if plain else None


def f32_bits(values):
    with np.errstate(all="ignore"):
        return np.asarray(values, dtype=np.float64).astype(np.float32).view(np.uint32)


@atheris.instrument_func
def test_one_input(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    builder = DataBuilder(fdp)
    data, flat = builder.top()
    shape, sizes, exact = gen_sizes(fdp)
    valid_shape = exact and all(v is not None and 0 <= v < 2**64 for v in sizes)
    try:
        t = call(fdp, Tensor, ["data", "shape"], [data, shape])
    except Skip:
        return
    except RecursionError:
        if not (builder.deep or builder.mutates):
            raise
        return
    except EXPECTED:
        if flat is not None and valid_shape and math.prod(sizes) == len(flat):
            raise
        return
    values = t.tolist()
    assert len(values) == t.size == math.prod(t.shape), (t.shape, t.size, len(values))
    if flat is not None and valid_shape:
        assert t.shape == sizes, (t.shape, sizes)
        assert np.array_equal(f32_bits(values), f32_bits(flat)), (values, flat)


if __name__ == "__main__":
    main(test_one_input)
