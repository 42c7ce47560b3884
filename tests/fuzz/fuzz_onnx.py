#!/usr/bin/env python3
"""nimbra.onnx.load of ONNX files.

Inputs are model files, mutated by libFuzzer from the committed seed models
(a classifier with every kind of layer the importer makes, a GELU subgraph
and a weight stored unpacked). A file must either load or be refused with
ValueError (not a well-formed model) or NotImplementedError (a graph the
importer does not take); a model that loads must run on a batch of its
input's width, or refuse it with ValueError."""

import math
import pathlib
import sys

import atheris

from _nimbra import Tensor

# The nimbra package of this checkout, beside the extension under test.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))

with atheris.instrument_imports():
    import nimbra.onnx
    from fuzzlib import MAX_ELEMENTS, main

OUTCOMES = (ValueError, NotImplementedError, MemoryError)


def exercise(model):
    """Runs the model on ones of its declared input shape (a symbolic or
    unknown size taken as 2)."""
    declared = model.inputs[0].shape or (2, 8)
    shape = [d if isinstance(d, int) and d >= 0 else 2 for d in declared]
    if math.prod(shape) > MAX_ELEMENTS:
        return
    try:
        out = model(Tensor.ones(shape))
    except ValueError:  # a graph whose layers do not fit the declared input
        return
    assert out.size == len(out.tolist())


@atheris.instrument_func
def test_one_input(raw):
    try:
        model = nimbra.onnx.load(raw)
    except OUTCOMES:
        return
    exercise(model)


if __name__ == "__main__":
    main(test_one_input)
