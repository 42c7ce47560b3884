"""Tensors and layers crossing process boundaries: worker processes started
with the spawn method, and the Dask example on a two-process LocalCluster."""

import multiprocessing
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from _nimbra import Tensor, nn

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "distributed.py"

# Fresh interpreters under a preloaded sanitizer start too slowly for the
# cluster's timeouts; the pickling these runs rely on is checked in-process.
pytestmark = pytest.mark.skipif(
    os.environ.get("NIMBRA_SANITIZED") == "1", reason="worker processes under the sanitizer are too slow"
)


def bits(t):
    return t.shape, np.ascontiguousarray(np.asarray(t)).view(np.uint32).tobytes()


def test_spawned_workers_receive_and_return_tensors_and_layers():
    # Each layer is the mapped function itself: it travels to the fresh
    # interpreters by pickle, the inputs go out and the results come back.
    inputs = [Tensor.randn([3, 6]), Tensor.randn([6, 5]).transpose(0, 1), Tensor.randn([1 << 16, 6])]
    layers = [nn.Linear(6, 4), nn.ReLU(), nn.Sigmoid()]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        for layer in layers:
            remote = pool.map(layer, inputs)
            assert [bits(r) for r in remote] == [bits(layer(x)) for x in inputs]


def test_dask_example_on_two_worker_processes():
    pytest.importorskip("dask.distributed")  # the optional `distributed` extra
    proc = subprocess.run(
        [sys.executable, str(EXAMPLE), "--workers", "2", "--rows", "20000", "--chunk", "2500"],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "cluster: 2 workers" in proc.stdout
    assert "results identical to the bit" in proc.stdout
