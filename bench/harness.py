"""Timing helpers for the side-by-side benchmarks.

A workload is one operation written three times: for nimbra, for NumPy and
for PyTorch. Each version is a *setup* function that receives the `Libs`
bundle, builds its inputs (outside any timing) and returns what to time:
either a zero-argument callable or a `Stmt` (a statement string plus the
names it uses, inlined into the timing loop so that tiny operations do not
pay an extra Python call).

The runner turns every version into a "column" (a library at a thread
setting), calibrates an inner loop count per column so one sample lasts at
least `sample_s`, then takes samples round-robin: every round times each
column once, in an order that rotates from round to round. Reported numbers
are medians of the per-call times.

Nothing here asserts on a time: this is a report.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import math
import os
import statistics
import time
import timeit
from typing import Any, Callable, Optional

MISSING = (AttributeError, NotImplementedError)


class Missing(Exception):
    """Raised by a setup when a library lacks the feature (printed as n/a)."""


# ---------------------------------------------------------------------------
# What to time


class Stmt:
    """A statement timed inline: `Stmt("a + b", a=x, b=y)`.

    Each name becomes a local of timeit's inner function, so the loop pays
    a local load, not a global or attribute lookup.
    """

    def __init__(self, code: str, **env: Any) -> None:
        self.code = code
        self.env = env


def make_timer(target: Any) -> timeit.Timer:
    if callable(target) and not isinstance(target, Stmt):
        target = Stmt("_f()", _f=target)
    if not isinstance(target, Stmt):
        raise TypeError(f"a setup must return a callable or a Stmt, not {type(target).__name__}")
    setup = "\n".join(f"{name} = _env[{name!r}]" for name in target.env) or "pass"
    return timeit.Timer(target.code, setup=setup, globals={"_env": target.env})


def loop_overhead_ns(number: int = 200_000) -> float:
    """Per-iteration cost of timeit's empty loop (included in every number)."""
    t = timeit.Timer("pass")
    return min(t.timeit(number) for _ in range(5)) / number * 1e9


# ---------------------------------------------------------------------------
# Goals, rates, thread settings


@dataclasses.dataclass(frozen=True)
class Goal:
    """`peer` is "numpy" or "torch". Without `rate`, the goal is on the time
    ratio nimbra / peer (<= limit). With `rate` (e.g. "GFLOP/s"), it is on
    nimbra's rate as a fraction of the peer's (>= limit)."""

    peer: str
    limit: float
    rate: Optional[str] = None

    def text(self) -> str:
        if self.rate:
            return f">={self.limit:g}x {self.peer} {self.rate}"
        return f"<={self.limit:.1f}x {self.peer}"

    def met(self, time_ratio: float) -> bool:
        if self.rate:
            return 1.0 / time_ratio >= self.limit
        return time_ratio <= self.limit


@dataclasses.dataclass(frozen=True)
class Rate:
    """`unit` is "GFLOP/s", "GB/s" (amount in flops / bytes per call) or
    "ns/elem" (amount in elements per call)."""

    unit: str
    amount: float

    def value(self, seconds: float) -> float:
        if self.unit == "ns/elem":
            return seconds / self.amount * 1e9
        return self.amount / seconds / 1e9


def gflops(flops: float) -> Rate:
    return Rate("GFLOP/s", flops)


def gbps(nbytes: float) -> Rate:
    return Rate("GB/s", nbytes)


def ns_per_elem(n: float) -> Rate:
    return Rate("ns/elem", n)


@dataclasses.dataclass(frozen=True)
class Threads:
    """Thread counts for the peers of one row: 1 = one thread, None = the
    library's default. `blas` says whether NumPy's number matters (only
    BLAS-backed NumPy operations use threads; ufuncs always run on one)."""

    numpy: Optional[int] = None
    torch: Optional[int] = None
    blas: bool = False


DEFAULT = Threads()
TORCH1 = Threads(torch=1)
BLAS1 = Threads(numpy=1, torch=1, blas=True)
BLAS_DEFAULT = Threads(blas=True)


class ThreadControl:
    """Applies a peer's thread count for one sample and restores it."""

    def __init__(self, np_mod: Any, torch_mod: Any) -> None:
        self.torch = torch_mod
        self.torch_default = torch_mod.get_num_threads() if torch_mod else None
        self.controller = None
        self.blas_info: list[dict] = []
        try:
            import threadpoolctl

            self.controller = threadpoolctl.ThreadpoolController()
            self.blas_info = [
                info for info in self.controller.info() if info.get("user_api") == "blas"
            ]
        except ImportError:
            pass
        self.numpy_default = self.blas_info[0]["num_threads"] if self.blas_info else None

    @contextlib.contextmanager
    def limit(self, lib: str, count: Optional[int]):
        if count is None or lib == "nimbra":
            yield
        elif lib == "numpy":
            if self.controller is None:
                yield  # no threadpoolctl: NumPy keeps its default (said in the header)
            else:
                with self.controller.limit(limits=count, user_api="blas"):
                    yield
        elif lib == "torch":
            self.torch.set_num_threads(count)
            try:
                yield
            finally:
                self.torch.set_num_threads(self.torch_default)
        else:
            raise ValueError(lib)

    def count(self, lib: str, count: Optional[int]) -> Optional[int]:
        if count is not None:
            return count
        return self.numpy_default if lib == "numpy" else self.torch_default


class OtherLoad:
    """Share of the machine's CPU time that went to anything but this process
    and the processes `pids` names (other processes, and time the hypervisor
    took from our cores) between `start()` and `stop()`. Linux only;
    elsewhere `stop()` gives None."""

    def __init__(self, pids: tuple = ()) -> None:
        self.ncpu = os.cpu_count() or 1
        self.stats = ["/proc/self/stat"] + [f"/proc/{pid}/stat" for pid in pids]
        self._t0 = None

    def _read(self) -> Optional[tuple]:
        try:
            with open("/proc/stat") as f:
                v = [int(x) for x in f.readline().split()[1:]]
            mine = 0
            for stat in self.stats:
                with open(stat) as f:
                    own = f.read().rsplit(")", 1)[1].split()
                mine += int(own[11]) + int(own[12])  # utime stime (all threads)
        except (OSError, ValueError, IndexError):
            return None
        busy = sum(v[:3]) + sum(v[5:8])  # user nice system, irq softirq steal
        return time.monotonic(), busy, mine

    def start(self) -> None:
        self._t0 = self._read()

    def stop(self) -> Optional[float]:
        t1 = self._read()
        if self._t0 is None or t1 is None:
            return None
        elapsed = t1[0] - self._t0[0]
        if elapsed <= 0:
            return None
        hz = os.sysconf("SC_CLK_TCK")
        other = (t1[1] - self._t0[1]) - (t1[2] - self._t0[2])
        return max(0.0, other / hz / (elapsed * self.ncpu))


# ---------------------------------------------------------------------------
# Workloads


Setup = Callable[[Any], Any]


@dataclasses.dataclass
class Workload:
    name: str
    nimbra: Setup
    numpy: Optional[Setup] = None
    torch: Optional[Setup] = None
    goal: Optional[Goal] = None
    rate: Optional[Rate] = None
    # The first setting is the row the goal applies to; any further ones
    # are printed as sub-rows against the same nimbra samples.
    threads: tuple = (DEFAULT,)
    # "loop": medians of auto-scaled loops. "idle": one call after
    # `idle_s` seconds of sleep, median of a few.
    mode: str = "loop"
    idle_s: float = 1.0
    note: str = ""


@dataclasses.dataclass
class Column:
    lib: str  # "nimbra", "numpy", "torch"
    count: Optional[int]  # thread count for the peer (None: default)
    timer: Optional[timeit.Timer] = None
    number: int = 1
    warm_number: int = 1
    cooldown_s: float = 0.0  # pause after each sample (see Settings.blas_cooldown_s)
    samples: list = dataclasses.field(default_factory=list)
    status: str = ""  # "" ok, "n/a", "error"
    error: str = ""

    @property
    def median(self) -> Optional[float]:
        if self.status or not self.samples:
            return None
        return statistics.median(self.samples)

    @property
    def quartiles(self) -> Optional[tuple]:
        """(first quartile, median, third quartile) of the samples."""
        if self.status or len(self.samples) < 3:
            return None
        return tuple(statistics.quantiles(self.samples, n=4, method="inclusive"))

    @property
    def spread(self) -> Optional[float]:
        """Interquartile range of the samples relative to their median."""
        q = self.quartiles
        return None if q is None else (q[2] - q[0]) / q[1]


@dataclasses.dataclass
class Settings:
    sample_s: float = 0.020  # a sample lasts at least this long
    budget_s: float = 3.0  # rough time for the sampling rounds of one workload
    min_repeats: int = 7
    max_repeats: int = 31
    repeats: Optional[int] = None  # fixed number of rounds (overrides the above)
    idle_repeats: int = 3
    settle_s: float = 0.005  # pause before each sample so the previous library's
    # threads stop spinning and cannot steal cycles from the next one
    warm_s: float = 0.010  # untimed calls of the column's own statement before
    # each sample, so its library's threads (and the machine's idle core) are
    # awake: the steady state of a program that calls the operation repeatedly
    blas_cooldown_s: float = 0.1  # pause after a sample of NumPy's BLAS on several
    # threads: OpenBLAS's idle workers busy-wait for about 2**28 cycles (some
    # 70 ms here) and would take a core from whichever library comes next
    torch_cooldown_s: float = 0.015  # pause after a sample of PyTorch on several
    # threads: its OpenMP workers keep spinning for about 10 ms after the last
    # parallel operation, longer than settle_s


def _build(col: Column, setup: Optional[Setup], libs: Any, ctl: ThreadControl) -> None:
    if setup is None:
        col.status = "n/a"
        return
    try:
        col.timer = make_timer(setup(libs))
        with ctl.limit(col.lib, col.count):
            col.timer.timeit(1)  # warm-up: lazy init, caches, page mappings
    except (Missing, *MISSING) as exc:
        col.status, col.error = "n/a", f"{type(exc).__name__}: {exc}"
        col.timer = None
    except Exception as exc:  # noqa: BLE001 - a report never dies on one workload
        col.status, col.error = "error", f"{type(exc).__name__}: {exc}"
        col.timer = None


def _warm(timer: timeit.Timer, warm_s: float) -> None:
    """Run the statement for at least `warm_s` (and at least once)."""
    end = time.perf_counter() + warm_s
    while True:
        timer.timeit(1)
        if time.perf_counter() >= end:
            break


def _calibrate(col: Column, ctl: ThreadControl, s: "Settings") -> float:
    """Choose the inner loop count and the warm-up count; return the
    estimated time of one sample with its warm-up."""
    with ctl.limit(col.lib, col.count):
        _warm(col.timer, s.warm_s)
        number = 1
        while True:
            t = col.timer.timeit(number)
            if t >= s.sample_s * 0.2 or number >= 10_000_000:
                break
            number *= 10 if t < s.sample_s * 0.02 else 2
    per_call = max(t / number, 1e-9)
    col.number = max(1, math.ceil(s.sample_s / per_call))
    col.warm_number = max(1, math.ceil(s.warm_s / per_call))
    return (col.number + col.warm_number) * per_call


def _sample(col: Column, ctl: ThreadControl, settle_s: float) -> None:
    with ctl.limit(col.lib, col.count):
        if settle_s:
            time.sleep(settle_s)
        col.timer.timeit(col.warm_number)  # untimed: wake this library's threads
        col.samples.append(col.timer.timeit(col.number) / col.number)
    if col.cooldown_s:
        time.sleep(col.cooldown_s)


def _sample_idle(col: Column, ctl: ThreadControl, idle_s: float) -> None:
    with ctl.limit(col.lib, col.count):
        time.sleep(idle_s)
        col.samples.append(col.timer.timeit(1))


def run_workload(w: Workload, libs: Any, ctl: ThreadControl, s: Settings) -> list[Column]:
    """Time every column of `w`. Returns [nimbra, then (numpy, torch) per
    thread setting in `w.threads`]; a column shared by two settings is timed
    once and appears twice."""
    cols: dict[tuple, Column] = {("nimbra", None): Column("nimbra", None)}
    layout = [("nimbra", None)]
    for th in w.threads:
        for lib, count in (("numpy", th.numpy), ("torch", th.torch)):
            key = (lib, count)
            layout.append(key)
            if key not in cols:
                cols[key] = Column(lib, count)
                if lib == "numpy" and th.blas and ctl.count(lib, count) != 1:
                    cols[key].cooldown_s = s.blas_cooldown_s
                elif lib == "torch" and ctl.count(lib, count) != 1:
                    cols[key].cooldown_s = s.torch_cooldown_s
    setups = {"nimbra": w.nimbra, "numpy": w.numpy, "torch": w.torch if libs.torch else None}

    gc.collect()
    for col in cols.values():
        _build(col, setups[col.lib], libs, ctl)
    live = [c for c in cols.values() if not c.status]

    def guarded(fn, col, *args):
        try:
            fn(col, ctl, *args)
        except Exception as exc:  # noqa: BLE001 - mark the column, go on
            col.status, col.error = "error", f"{type(exc).__name__}: {exc}"

    try:
        if w.mode == "idle":
            rounds = s.idle_repeats
            for r in range(rounds):
                for i in range(len(live)):
                    col = live[(i + r) % len(live)]
                    if not col.status:
                        guarded(_sample_idle, col, w.idle_s)
        else:
            est = 0.0
            for c in live:
                try:
                    est += _calibrate(c, ctl, s) + s.settle_s + c.cooldown_s
                except Exception as exc:  # noqa: BLE001
                    c.status, c.error = "error", f"{type(exc).__name__}: {exc}"
            if s.repeats is not None:
                rounds = s.repeats
            else:
                rounds = int(s.budget_s / est) if est > 0 else s.max_repeats
                rounds = min(s.max_repeats, max(s.min_repeats, rounds))
            t_start = time.perf_counter()
            for r in range(rounds):
                for i in range(len(live)):
                    col = live[(i + r) % len(live)]
                    if not col.status:
                        guarded(_sample, col, s.settle_s)
                # When something else slows the machine down, rounds take far
                # longer than calibrated; stop at 3x the budget (with >= 3 rounds).
                if (s.repeats is None and r + 1 >= 3
                        and time.perf_counter() - t_start > 3 * s.budget_s):
                    break
    finally:
        for c in cols.values():
            c.timer = None  # drop inputs before the next workload
        gc.collect()

    return [cols[key] for key in layout]


def idle_cpu_ms(T: Any, burst_s: float = 0.3, idle_s: float = 1.0) -> float:
    """CPU time (all threads of this process) spent in the `idle_s` seconds
    after a burst of nimbra operations of small to large sizes: what the
    pool's spinning costs a program that has stopped calling."""
    ops = [(T.rand([n]), T.rand([n])) for n in (16, 1000, 100_000, 1_000_000)]
    end = time.perf_counter() + burst_s
    while time.perf_counter() < end:
        for a, b in ops:
            a + b
    start = time.process_time()
    time.sleep(idle_s)
    return (time.process_time() - start) * 1e3
