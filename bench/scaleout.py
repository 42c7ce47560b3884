"""Scaling of the Dask example: rows per second with 1 and with 2 local
worker processes, and their ratio.

    python bench/scaleout.py [--rows N] [--chunk N] [--repeat N]

Each run is a fresh `examples/distributed.py` (its own LocalCluster, one task
thread per worker, cores / workers pool threads each); the median of the
repeats is reported. Needs the `distributed` extra and an installed nimbra.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import statistics
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "distributed.py"
RATE = re.compile(r"^distributed: .*, ([0-9,]+) rows/s$", re.MULTILINE)


def rows_per_second(workers: int, rows: int, chunk: int) -> float:
    proc = subprocess.run(
        [sys.executable, str(EXAMPLE), "--workers", str(workers), "--rows", str(rows), "--chunk", str(chunk)],
        capture_output=True, text=True, check=True,
    )
    match = RATE.search(proc.stdout)
    if not match:
        sys.exit(f"no rate in the example's output:\n{proc.stdout}{proc.stderr}")
    return float(match.group(1).replace(",", ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1 << 19)
    parser.add_argument("--chunk", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rates = {}
    for workers in (1, 2):
        samples = [rows_per_second(workers, args.rows, args.chunk) for _ in range(args.repeat)]
        rates[workers] = statistics.median(samples)
        print(f"{workers} worker(s): {rates[workers]:,.0f} rows/s (median of {args.repeat}: "
              + ", ".join(f"{s:,.0f}" for s in samples) + ")")
    print(f"2 workers / 1 worker: {rates[2] / rates[1]:.2f}x")


if __name__ == "__main__":
    main()
