"""Batched inference on a Dask cluster.

    python examples/distributed.py [--workers N] [--rows N] [--chunk N]
    python examples/distributed.py --scheduler tcp://HOST:8786 [--rows N] [--chunk N]

Builds a 256-512-10 classifier from fixed NumPy weights (Linear.from_weights),
sends it to every worker once, and classifies a synthetic dataset there: each
chunk of rows is drawn on the worker from its own seed, so only the model and
the [rows, 10] probabilities cross the network. Prints rows per second, then
runs the same chunks in this process and checks that both results are equal
to the bit.

With no --scheduler it starts a LocalCluster of N worker processes on this
machine (default: one per core), each with one task thread and an even share
of the cores for nimbra's pool. With --scheduler it uses an existing cluster,
whose workers should be started the same way (`dask worker ADDRESS
--nthreads 1` with RAYON_NUM_THREADS set). Needs the `distributed` extra:
pip install "nimbra[distributed]".
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import TypeAlias

# Run as a script, this file's folder comes first on the import path, where
# its name would hide Dask's own `distributed` package.
_here = Path(__file__).resolve().parent
sys.path = [entry for entry in sys.path if Path(entry or os.curdir).resolve() != _here]

import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

from nimbra import Tensor, nn  # noqa: E402

FEATURES, HIDDEN, CLASSES = 256, 512, 10
Layer: TypeAlias = nn.Linear | nn.ReLU


def build_model(seed: int = 7) -> list[Layer]:
    """Two Linear layers with fixed, seeded weights and a ReLU between them."""
    rng = np.random.default_rng(seed)

    def linear(inputs: int, outputs: int) -> nn.Linear:
        bound = 1.0 / np.sqrt(inputs)
        weight = rng.uniform(-bound, bound, (outputs, inputs)).astype(np.float32)
        bias = rng.uniform(-bound, bound, outputs).astype(np.float32)
        return nn.Linear.from_weights(Tensor.from_buffer(weight), Tensor.from_buffer(bias))

    return [linear(FEATURES, HIDDEN), nn.ReLU(), linear(HIDDEN, CLASSES)]


def classify_chunk(index: int, *, model: Sequence[Layer], rows: int, seed: int) -> Tensor:
    """Class probabilities [rows, CLASSES] for chunk `index` of the dataset."""
    data = np.random.default_rng([seed, index]).standard_normal((rows, FEATURES), dtype=np.float32)
    x = Tensor.from_buffer(data)
    for layer in model:
        x = layer(x)
    return x.softmax(1)


def as_array(parts: Sequence[Tensor]) -> npt.NDArray[np.float32]:
    return np.concatenate([np.asarray(part) for part in parts])


def main(argv: Sequence[str] | None = None) -> float:
    """Runs the example; returns the cluster's rows per second."""
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="connect to this scheduler instead of starting one")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="local worker processes")
    parser.add_argument("--rows", type=int, default=1 << 19, help="rows in the dataset")
    parser.add_argument("--chunk", type=int, default=4096, help="rows per task")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)
    if args.workers < 1 or args.rows < 1 or args.chunk < 1:
        parser.error("--workers, --rows and --chunk must be positive")

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        # Each worker runs one task at a time (a call holds the interpreter
        # lock) and gets an even share of the cores for nimbra's pool, so
        # workers x pool threads never oversubscribe the machine.
        pool_threads = max(1, (os.cpu_count() or 1) // args.workers)
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR,
                               env={"RAYON_NUM_THREADS": str(pool_threads)})
        client = Client(cluster)
    try:
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers at {client.scheduler.address}")
        model = build_model()
        sizes = [min(args.chunk, args.rows - start) for start in range(0, args.rows, args.chunk)]

        # The model goes to every worker once, as a pickle of its layers; a
        # one-row task on each then loads it before the clock starts.
        shared = client.scatter(model, broadcast=True)
        client.gather([client.submit(classify_chunk, 0, model=shared, rows=1, seed=args.seed,
                                     workers=[address], pure=False)
                       for address in client.scheduler_info()["workers"]])
        start = time.perf_counter()
        futures = [client.submit(classify_chunk, i, model=shared, rows=n, seed=args.seed)
                   for i, n in enumerate(sizes)]
        distributed = as_array(client.gather(futures))
        elapsed = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    rate: float = args.rows / elapsed
    print(f"distributed: {args.rows} rows in {elapsed:.2f} s, {rate:,.0f} rows/s")

    start = time.perf_counter()
    local = as_array([classify_chunk(i, model=model, rows=n, seed=args.seed) for i, n in enumerate(sizes)])
    elapsed = time.perf_counter() - start
    print(f"one process: {args.rows} rows in {elapsed:.2f} s, {args.rows / elapsed:,.0f} rows/s")
    if distributed.shape != local.shape or distributed.tobytes() != local.tobytes():
        raise SystemExit("the cluster's result differs from the single-process run")
    print("results identical to the bit")
    return rate


if __name__ == "__main__":
    main()
