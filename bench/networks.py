"""Whole networks from ONNX files: nimbra beside ONNX Runtime, PyTorch and NumPy.

    python3 bench/networks.py [--quick] [--rounds N] [--cold-runs N]

Three parts, each printed as a table:

1. Speed. The 784-256-10 and 64-128-10 ReLU classifiers (Linear, ReLU,
   Linear, softmax), exported from PyTorch to ONNX, at batch 1, 64 and 1024:
   a float32 NumPy batch in, the probabilities out as a NumPy array. nimbra
   runs the model nimbra.onnx.load made; ONNX Runtime the same file with 1
   and with 2 intra-op threads; PyTorch the module itself, eager, one thread,
   under inference_mode; NumPy the same arithmetic written out (BLAS held to
   one thread). Each library runs in a process of its own and the processes
   take turns, one sample each; each cell is the median time per call, and
   the ratios are nimbra / peer (lower is better).
2. Cold start and peak memory: a fresh interpreter that loads the
   784-256-10 file and makes its first prediction, nimbra (without NumPy)
   against ONNX Runtime (1 thread), run alternately; wall time and the
   process's peak resident memory, medians.
3. Agreement with PyTorch: 64-128-10 classifiers with Sigmoid, Tanh, GELU and
   tanh-GELU hidden layers and a 784-256-128-10 Sigmoid classifier, trained
   briefly on scikit-learn's digits (or on a synthetic 10-class set), exported,
   loaded by nimbra and ONNX Runtime and run on held-out rows: rows whose top
   class differs from PyTorch's, and the largest probability difference.

Needs torch, onnx and onnxruntime (pip install "nimbra[bench]"); scikit-learn
and threadpoolctl are used when present.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import onnxruntime as ort
import torch

import nimbra
from harness import OtherLoad, Stmt, make_timer

NETWORKS = ((784, 256, 10), (64, 128, 10))
BATCHES = (1, 64, 1024)


# ---------------------------------------------------------------------------
# Models


def classifier(sizes: tuple[int, ...], activation: type = torch.nn.ReLU, seed: int = 0) -> torch.nn.Sequential:
    torch.manual_seed(seed)
    layers: list[torch.nn.Module] = []
    for i, (a, b) in enumerate(zip(sizes, sizes[1:])):
        layers.append(torch.nn.Linear(a, b))
        if i < len(sizes) - 2:
            layers.append(activation())
    layers.append(torch.nn.Softmax(dim=1))
    return torch.nn.Sequential(*layers).eval()


def export(net: torch.nn.Module, inputs: int, path: str) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (torch.zeros(2, inputs),), path, dynamo=False, opset_version=17,
                          input_names=["x"], output_names=["y"],
                          dynamic_axes={"x": {0: "batch"}, "y": {0: "batch"}})


def ort_session(path: str, threads: int) -> ort.InferenceSession:
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    return ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])


def numpy_network(net: torch.nn.Sequential):
    """The network written out in NumPy: x @ W.T + b, maximum, softmax."""
    linears = [m for m in net if isinstance(m, torch.nn.Linear)]
    params = [(m.weight.detach().numpy().T.copy(), m.bias.detach().numpy().copy()) for m in linears]

    def run(x: np.ndarray) -> np.ndarray:
        for i, (wt, b) in enumerate(params):
            x = x @ wt + b
            if i < len(params) - 1:
                np.maximum(x, 0, out=x)
        x -= x.max(axis=1, keepdims=True)
        np.exp(x, out=x)
        x /= x.sum(axis=1, keepdims=True)
        return x

    return run


# ---------------------------------------------------------------------------
# 1. Speed


def limit_blas() -> bool:
    """NumPy's BLAS held to one thread, where threadpoolctl is installed."""
    try:
        import threadpoolctl
    except ImportError:
        return False
    threadpoolctl.threadpool_limits(1, user_api="blas")
    return True


# Each library runs in a process of its own, and the next sample waits until
# the last one's process has gone quiet: a library's idle threads (ONNX
# Runtime's spin after every run) would otherwise take the processors from
# the next library's sample. The processes take turns, one sample each, so a
# slow spell of the machine falls on every column.
LIBRARIES = ("nimbra", "ort1", "ort2", "torch", "numpy")


def column(library: str, sizes: tuple[int, ...], path: str, x: np.ndarray) -> Stmt:
    """The timed statement of one library: a NumPy batch in, probabilities out."""
    if library == "nimbra":
        return Stmt("asarray(model(from_buffer(x)))", asarray=np.asarray, model=nimbra.onnx.load(path),
                    from_buffer=nimbra.Tensor.from_buffer, x=x)
    if library in ("ort1", "ort2"):
        return Stmt("s.run(None, feed)[0]", s=ort_session(path, int(library[-1])), feed={"x": x})
    net = classifier(sizes)
    if library == "torch":
        return Stmt("infer(x)", infer=torch.inference_mode()(lambda x: net(torch.from_numpy(x)).numpy()), x=x)
    return Stmt("f(x)", f=numpy_network(net), x=x)


def serve_samples(library: str, conn) -> None:
    """A library's process: sets up each row's statement and times samples of
    it on request."""
    torch.set_num_threads(1)
    limit_blas()
    timer = None
    while True:
        request = conn.recv()
        if request[0] == "row":
            _, sizes, path, x = request
            timer = make_timer(column(library, sizes, path, x))
            timer.timeit(3)
            conn.send(None)
        elif request[0] == "calibrate":
            sample_s = request[1]
            number = 1
            while (t := timer.timeit(number)) < sample_s / 5:
                number *= 10 if t < sample_s / 50 else 2
            conn.send(max(1, int(number * sample_s / max(t, 1e-9))))
        elif request[0] == "sample":
            number = request[1]
            time.sleep(0.002)
            timer.timeit(max(1, number // 20))  # wake the library's threads
            conn.send(timer.timeit(number) / number)
        else:
            return


class Columns:
    """One process per library, serving samples."""

    def __init__(self) -> None:
        context = multiprocessing.get_context("spawn")
        self.conns, self.procs = {}, []
        for library in LIBRARIES:
            parent, child = context.Pipe()
            proc = context.Process(target=serve_samples, args=(library, child), daemon=True)
            proc.start()
            self.conns[library] = parent
            self.procs.append(proc)

    def ask(self, request: tuple) -> dict[str, object]:
        for conn in self.conns.values():
            conn.send(request)
        return {library: conn.recv() for library, conn in self.conns.items()}

    def sample_round_robin(self, rounds: int, sample_s: float) -> dict[str, float]:
        """Median seconds per call of each library, sampled in rotating order."""
        numbers = {}
        for library, conn in self.conns.items():  # one at a time: alone on the machine
            conn.send(("calibrate", sample_s))
            numbers[library] = conn.recv()
            self.settle(self.procs[LIBRARIES.index(library)].pid)
        samples: dict[str, list[float]] = {library: [] for library in LIBRARIES}
        for r in range(rounds):
            for i in range(len(LIBRARIES)):
                library = LIBRARIES[(i + r) % len(LIBRARIES)]
                self.conns[library].send(("sample", numbers[library]))
                samples[library].append(self.conns[library].recv())
                self.settle(self.procs[LIBRARIES.index(library)].pid)
        return {library: statistics.median(s) for library, s in samples.items()}

    @staticmethod
    def settle(pid: int, cap_s: float = 0.2) -> None:
        """Waits (up to cap_s) until the process's threads stop running: ONNX
        Runtime's keep spinning for some 40 ms after a run."""
        def cpu_ns() -> int:
            total = 0
            for task in os.listdir(f"/proc/{pid}/task"):
                try:
                    with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                        total += int(f.read().split()[0])
                except (OSError, ValueError, IndexError):
                    pass
            return total

        if not os.path.exists(f"/proc/{pid}/task"):
            time.sleep(0.05)
            return
        end = time.monotonic() + cap_s
        last = cpu_ns()
        while time.monotonic() < end:
            time.sleep(0.002)
            now = cpu_ns()
            if now - last < 100_000:  # under 5% of the 2 ms
                return
            last = now

    def close(self) -> None:
        for conn in self.conns.values():
            conn.send(("quit",))
        for proc in self.procs:
            proc.join()


def prepare(folder: str) -> dict[tuple[int, ...], tuple[torch.nn.Sequential, str]]:
    """The speed networks (random weights: the values do not change the
    time), each with the path of its ONNX file."""
    out = {}
    for sizes in NETWORKS:
        net = classifier(sizes)
        path = os.path.join(folder, "{}-{}-{}.onnx".format(*sizes))
        export(net, sizes[0], path)
        out[sizes] = (net, path)
    return out


def speed(networks: dict[tuple[int, ...], tuple[torch.nn.Sequential, str]], rounds: int, sample_s: float) -> None:
    print("\n== speed: median time per call; ratio = nimbra / peer (lower is better)")
    print(f"{'network':>11} {'batch':>5} {'nimbra':>10} {'ORT 1t':>10} {'ORT 2t':>10} {'torch 1t':>10} "
          f"{'NumPy':>10}   {'/ORT1':>6} {'/ORT2':>6} {'/torch':>6} {'/NumPy':>6}  goal        bg%")
    rng = np.random.default_rng(0)
    columns = Columns()
    try:
        for sizes, (net, path) in networks.items():
            model = nimbra.onnx.load(path)
            for batch in BATCHES:
                x = rng.random((batch, sizes[0]), dtype=np.float32)
                with torch.inference_mode():
                    want = net(torch.from_numpy(x)).numpy()
                assert np.abs(np.asarray(model(nimbra.Tensor.from_buffer(x))) - want).max() < 1e-5
                columns.ask(("row", sizes, path, x))
                load = OtherLoad(tuple(proc.pid for proc in columns.procs))
                load.start()
                t = columns.sample_round_robin(rounds, sample_s)
                bg = load.stop()
                ratios = [t["nimbra"] / t[peer] for peer in LIBRARIES[1:]]
                limit = 0.6 if batch == 1 else 0.9
                verdict = "met" if ratios[0] <= limit else "MISSED"
                print(f"{'-'.join(map(str, sizes)):>11} {batch:>5} "
                      + " ".join(f"{t[c] * 1e6:>8.1f}us" for c in LIBRARIES)
                      + "   " + " ".join(f"{r:>6.2f}" for r in ratios)
                      + f"  <={limit}x ORT1 {verdict:<6} {'' if bg is None else f'{bg * 100:.0f}'}")
    finally:
        columns.close()


# ---------------------------------------------------------------------------
# 2. Cold start and peak memory

NIMBRA_COLD = """
import array, nimbra
model = nimbra.onnx.load({path!r})
x = nimbra.Tensor.from_buffer(memoryview(array.array("f", [0.5] * {n})).cast("B").cast("f", [1, {n}]))
nimbra.argmax(model(x), dim=1)
"""
ORT_COLD = """
import numpy as np, onnxruntime as ort
options = ort.SessionOptions()
options.intra_op_num_threads = 1
session = ort.InferenceSession({path!r}, options, providers=["CPUExecutionProvider"])
session.run(None, {{"x": np.full((1, {n}), 0.5, dtype=np.float32)}})[0].argmax(axis=1)
"""
# The child's own peak since it started: the kernel's high-water mark of the
# process's memory, which exec resets (its resource usage would also count
# the pages of this large parent it was forked from).
PEAK = """
print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")))
"""


def run_child(code: str) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of a fresh interpreter running `code`."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code + PEAK], stdout=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"the cold-start child failed:\n{code}")
    return wall, int(done.stdout.split()[-1]) / 1024


def cold_start(path: str, runs: int) -> None:
    print("\n== cold start: a fresh interpreter to its first prediction (784-256-10, batch 1), medians;"
          " peak resident memory (VmHWM)")
    codes = {"nimbra": NIMBRA_COLD.format(path=path, n=784), "ORT 1t": ORT_COLD.format(path=path, n=784)}
    results: dict[str, list[tuple[float, float]]] = {name: [] for name in codes}
    for name, code in codes.items():
        run_child(code)  # warm the file cache
    for _ in range(runs):
        for name, code in codes.items():
            results[name].append(run_child(code))
    wall = {name: statistics.median(w for w, _ in r) for name, r in results.items()}
    rss = {name: statistics.median(m for _, m in r) for name, r in results.items()}
    baseline = run_child("pass")
    for name in codes:
        print(f"  {name:<7} {wall[name] * 1e3:8.1f} ms   peak {rss[name]:6.1f} MiB")
    print(f"  (an empty interpreter: {baseline[0] * 1e3:.1f} ms, {baseline[1]:.1f} MiB)")
    for what, d, goal in (("cold start", wall, 0.5), ("peak memory", rss, 0.5)):
        r = d["nimbra"] / d["ORT 1t"]
        print(f"  {what}: nimbra / ORT = {r:.2f} (goal <= {goal}: {'met' if r <= goal else 'MISSED'})")


# ---------------------------------------------------------------------------
# 3. Agreement with PyTorch


def dataset(inputs: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Train and test rows: the digits (64 pixels) when scikit-learn is
    there and inputs == 64, else ten Gaussian clusters in `inputs` dimensions."""
    rng = np.random.default_rng(5)
    if inputs == 64:
        try:
            from sklearn.datasets import load_digits

            d = load_digits()
            x, y = (d.data / 16.0).astype(np.float32), d.target.astype(np.int64)
            order = rng.permutation(len(x))
            x, y = x[order], y[order]
            cut = int(len(x) * 0.7)
            return x[:cut], y[:cut], x[cut:], y[cut:]
        except ImportError:
            pass
    centres = rng.standard_normal((10, inputs)).astype(np.float32)
    y = rng.integers(0, 10, 6000)
    x = (centres[y] + 1.5 * rng.standard_normal((6000, inputs))).astype(np.float32)
    return x[:5000], y[:5000], x[5000:], y[5000:]


def train(net: torch.nn.Sequential, x: np.ndarray, y: np.ndarray, steps: int) -> None:
    body = net[:-1]  # without the softmax: cross-entropy takes the scores
    optimiser = torch.optim.Adam(body.parameters(), lr=3e-3)
    tx, ty = torch.from_numpy(x), torch.from_numpy(y)
    body.train()
    for step in range(steps):
        idx = torch.randint(0, len(tx), (128,), generator=torch.Generator().manual_seed(step))
        loss = torch.nn.functional.cross_entropy(body(tx[idx]), ty[idx])
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
    net.eval()


def agreement(folder: str, steps: int) -> None:
    print("\n== agreement with PyTorch on held-out rows (top class, largest |probability difference|)")
    cases = [
        ((64, 128, 10), torch.nn.Sigmoid, "Sigmoid"),
        ((64, 128, 10), torch.nn.Tanh, "Tanh"),
        ((64, 128, 10), torch.nn.GELU, "GELU"),
        ((64, 128, 10), lambda: torch.nn.GELU(approximate="tanh"), "GELU tanh"),
        ((64, 128, 10), torch.nn.ReLU, "ReLU"),
        ((784, 256, 128, 10), torch.nn.Sigmoid, "Sigmoid"),
    ]
    print(f"{'network':>16} {'hidden':>10} {'rows':>5} {'accuracy':>8}   {'nimbra: flips':>13} {'max|dp|':>9}"
          f"   {'ORT: flips':>10} {'max|dp|':>9}  goal (flips 0, |dp| <= 1e-6)")
    for sizes, activation, name in cases:
        xtr, ytr, xte, yte = dataset(sizes[0])
        net = classifier(sizes, activation, seed=11)
        train(net, xtr, ytr, steps)
        path = os.path.join(folder, f"agree-{name}-{sizes[0]}.onnx")
        export(net, sizes[0], path)
        with torch.inference_mode():
            want = net(torch.from_numpy(xte)).numpy()
        got = np.asarray(nimbra.onnx.load(path)(nimbra.Tensor.from_buffer(xte)))
        peer = ort_session(path, 1).run(None, {"x": xte})[0]
        accuracy = (want.argmax(axis=1) == yte).mean()
        flips = int((got.argmax(axis=1) != want.argmax(axis=1)).sum())
        dp = float(np.abs(got - want).max())
        pflips = int((peer.argmax(axis=1) != want.argmax(axis=1)).sum())
        pdp = float(np.abs(peer - want).max())
        verdict = "met" if flips == 0 and dp <= 1e-6 else "MISSED"
        print(f"{'-'.join(map(str, sizes)):>16} {name:>10} {len(xte):>5} {accuracy:>8.3f}   {flips:>13} {dp:>9.2e}"
              f"   {pflips:>10} {pdp:>9.2e}  {verdict}")
    print("  (ReLU is exact everywhere: its row shows what the products' order of summation alone leaves)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and runs: a smoke test")
    parser.add_argument("--rounds", type=int, default=None, help="sampling rounds per speed row (default 15)")
    parser.add_argument("--cold-runs", type=int, default=None, help="cold starts per library (default 15)")
    parser.add_argument("--skip", default="", help="comma-separated parts to leave out: speed, cold, agreement")
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 15)
    cold_runs = args.cold_runs or (3 if args.quick else 15)
    if not limit_blas():
        print("threadpoolctl is missing: NumPy's BLAS runs on its default threads")
    print(f"nimbra {nimbra.__version__}, onnxruntime {ort.__version__}, torch {torch.__version__}, "
          f"numpy {np.__version__}; {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    skip = set(args.skip.split(","))
    with tempfile.TemporaryDirectory() as folder:
        networks = prepare(folder)
        if "speed" not in skip:
            speed(networks, rounds, 0.005 if args.quick else 0.02)
        if "cold" not in skip:
            cold_start(networks[NETWORKS[0]][1], cold_runs)
        if "agreement" not in skip:
            agreement(folder, 300 if args.quick else 1500)


if __name__ == "__main__":
    main()
