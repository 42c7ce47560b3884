"""Side-by-side benchmarks of nimbra, NumPy and PyTorch in one process.

    python bench/run.py [--only SUBSTRING] [--repeat N] [--quick]
                        [--retry-busy N] [--time-cap SECONDS] [--list]

Prints one table: per workload the median time per call of each library,
the ratios nimbra / peer (lower is better), the goal for that workload, and
a rate (GFLOP/s, GB/s or ns per element) where one means something. See
bench/README.md for how to read it.
"""

from __future__ import annotations

import os
import sys

# These two are set on some processors of our machines and slow current
# NumPy (OpenBLAS reads them when it loads), so they go before NumPy does.
_DROPPED_ENV = {k: os.environ.pop(k) for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                if k in os.environ}

import argparse  # noqa: E402
import platform  # noqa: E402
import time  # noqa: E402
import types  # noqa: E402

import harness  # noqa: E402
from harness import Settings, ThreadControl, run_workload  # noqa: E402

GROUPS = ("construct", "elementwise", "activation", "reduction", "matmul", "random", "nn", "pickle", "interop")


# ---------------------------------------------------------------------------
# Libraries


def load_libs() -> types.SimpleNamespace:
    try:
        import _nimbra
    except ImportError as exc:
        sys.exit(f"cannot import _nimbra ({exc}); build it and put its folder on PYTHONPATH, "
                 "see bench/README.md")
    # The nimbra package (functions beyond the extension's classes): the
    # installed one, else this checkout's.
    try:
        import nimbra
    except ImportError:
        sys.path.insert(1, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
        import nimbra
    import numpy as np

    try:
        import torch
    except ImportError:
        torch = None
    if torch is not None:
        # nimbra has no autograd; PyTorch should not record a graph either.
        torch.set_grad_enabled(False)
    return types.SimpleNamespace(
        nb=_nimbra,
        pkg=nimbra,
        T=getattr(_nimbra, "Tensor", None),
        nn=getattr(_nimbra, "nn", None),
        np=np,
        rng=np.random.default_rng(1),
        torch=torch,
    )


def load_workloads(only: str | None) -> list:
    out = []
    for group in GROUPS:
        mod = __import__(f"workloads_{group}")
        for w in mod.workloads():
            if only is None or only.lower() in w.name.lower():
                out.append(w)
    return out


# ---------------------------------------------------------------------------
# Formatting


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if s >= scale or unit == "ns":
            v = s / scale
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return "-"


def fmt_num(v: float) -> str:
    return f"{v:.3g}" if v < 100 else f"{v:.0f}"


BUSY = 0.05  # share of the machine taken by others above which a row is suspect
NOISY = 0.10  # a time whose samples' interquartile range exceeds this fraction gets a "~"


def cell(col) -> str:
    if col is None:
        return "-"
    if col.status:
        return col.status
    spread = col.spread
    return fmt_time(col.median) + ("~" if spread is not None and spread > NOISY else "")


def ratio(a, b) -> float | None:
    if a is None or b is None or a.median is None or b.median is None:
        return None
    return a.median / b.median


def fmt_ratio(r: float | None) -> str:
    return "-" if r is None else f"{r:.2f}x"


class Table:
    def __init__(self, with_torch: bool) -> None:
        self.with_torch = with_torch
        cols = [("workload", 36, "<"), ("peer thr", 9, "<"), ("nimbra", 10, ">"),
                ("numpy", 10, ">")]
        if with_torch:
            cols.append(("torch", 10, ">"))
        cols.append(("nb/np", 7, ">"))
        if with_torch:
            cols.append(("nb/pt", 7, ">"))
        rate = "rate nb / np" + (" / pt" if with_torch else "")
        cols += [("goal", 20, "<"), ("", 4, "<"), ("bg%", 3, ">"), (rate, 0, "<")]
        self.cols = cols

    def line(self, values) -> str:
        parts = []
        for (_, width, align), v in zip(self.cols, values):
            parts.append(f"{v:{align}{width}}" if width else v)
        return "  ".join(parts).rstrip()

    def header(self) -> str:
        head = self.line([c[0] for c in self.cols])
        return head + "\n" + "-" * max(len(head), 150)


def thread_label(th, ctl: ThreadControl, with_torch: bool) -> str:
    parts = []
    parts.append(f"np:{ctl.count('numpy', th.numpy) if th.blas else 1}")
    if with_torch:
        parts.append(f"pt:{ctl.count('torch', th.torch)}")
    return " ".join(parts)


def fmt_bg(other: float | None) -> str:
    return "?" if other is None else f"{min(99, round(other * 100))}"


def rows_for(w, cols, ctl, table: Table, footnotes: list,
             other: float | None = None) -> tuple[list[str], list[str]]:
    """Format the row (and sub-rows) of one workload; return (lines, misses)."""
    nb = cols[0]
    lines, misses = [], []
    for i, th in enumerate(w.threads):
        np_col, pt_col = cols[1 + 2 * i], cols[2 + 2 * i]
        if not table.with_torch:
            pt_col = None
        r_np, r_pt = ratio(nb, np_col), ratio(nb, pt_col)
        goal_text, mark = "", ""
        if i == 0 and w.goal is not None:
            goal_text = w.goal.text()
            r = r_np if w.goal.peer == "numpy" else r_pt
            if nb.status == "n/a":
                mark = "n/a"
            elif r is None:
                mark = "?"
            elif w.goal.met(r):
                mark = "ok"
            else:
                mark = "MISS"
                misses.append(w.name)
        rate = ""
        if w.rate is not None:
            vals = [c.median for c in (nb, np_col, pt_col) if c is not None]
            shown = [fmt_num(w.rate.value(v)) if v is not None else "-" for v in vals]
            rate = " / ".join(shown) + " " + w.rate.unit
        name = w.name if i == 0 else "  '- peers at default threads"
        cells = [cell(nb), cell(np_col)] + ([cell(pt_col)] if table.with_torch else [])
        for c in (nb, np_col, pt_col):
            if c is not None and c.status == "error" and not any(c is f[1] for f in footnotes):
                footnotes.append((w.name, c))
        ratios = [fmt_ratio(r_np)] + ([fmt_ratio(r_pt)] if table.with_torch else [])
        values = [name, thread_label(th, ctl, table.with_torch)] + cells + ratios + [
            goal_text, mark, fmt_bg(other) if i == 0 else "", rate]
        lines.append(table.line(values))
    return lines, misses


# ---------------------------------------------------------------------------
# Header


def describe(libs, ctl: ThreadControl, settings: Settings, quick: bool) -> list[str]:
    out = []
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    out.append(f"machine: {cpu or 'unknown cpu'}, {os.cpu_count()} logical cores, "
               f"Python {platform.python_version()}")
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            out.append(f"transparent huge pages: {f.read().strip()}")
    except OSError:
        pass
    if _DROPPED_ENV:
        dropped = ", ".join(f"{k}={v}" for k, v in _DROPPED_ENV.items())
        out.append(f"dropped from the environment before importing NumPy: {dropped}")
    else:
        out.append("OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE: not set (nothing dropped)")

    rayon = os.environ.get("RAYON_NUM_THREADS")
    pool = (f"RAYON_NUM_THREADS={rayon}" if rayon is not None
            else f"RAYON_NUM_THREADS unset -> {os.cpu_count()} workers (all logical cores)")
    out.append(f"nimbra {getattr(libs.nb, '__version__', '?')} ({libs.nb.__file__}); "
               f"pool: {pool}; matmul runs on the calling thread")

    np_ = libs.np
    if ctl.blas_info:
        b = ctl.blas_info[0]
        blas = (f"BLAS {b.get('internal_api')} {b.get('version')}, kernel "
                f"{b.get('architecture')}, {b.get('num_threads')} threads by default, "
                f"limited with threadpoolctl where the row says np:1")
    elif ctl.controller is None:
        blas = "threadpoolctl not installed: NumPy's BLAS stays at its default threads"
    else:
        blas = "no BLAS found by threadpoolctl"
    out.append(f"numpy {np_.__version__}: {blas}; element-wise NumPy always runs on one thread")
    if libs.torch is not None:
        t = libs.torch
        out.append(f"torch {t.__version__}: {ctl.torch_default} threads by default, "
                   f"set_num_threads(1) where the row says pt:1; autograd off")
    else:
        out.append("torch: not importable, its columns are left out")
    out.append(
        "timing: " + ("--quick, " if quick else "")
        + f"per-call medians of round-robin samples, each sample >= {settings.sample_s * 1e3:g} ms "
        + ("(" + (f"{settings.repeats} rounds" if settings.repeats is not None
                  else f"{settings.min_repeats}-{settings.max_repeats} rounds") + "), ")
        + f"each after a {settings.settle_s * 1e3:g} ms pause and >= {settings.warm_s * 1e3:g} ms "
        + "of untimed calls of the same statement; "
        + f"timeit loop overhead {harness.loop_overhead_ns():.1f} ns/call included"
    )
    out.append(f"load average at start: {load_text(warn_above=0.7)}")
    out.append("ratios are nimbra time / peer time (lower is better); MISS marks a row whose "
               f"goal is not met; ~ marks a time whose samples spread more than {NOISY:.0%} "
               "(interquartile range / median); bg% is the share of the machine's CPU time "
               "that other processes (or the hypervisor) took while the row ran")
    return out


def load_text(warn_above: float | None = None) -> str:
    """The load average; with `warn_above`, a warning when it is higher."""
    try:
        one, five, _ = os.getloadavg()
    except OSError:
        return "unknown"
    busy = warn_above is not None and one > warn_above
    return f"{one:.2f} (1 min), {five:.2f} (5 min)" + (
        " -- other processes are busy on this machine: expect noisy numbers" if busy else "")


# ---------------------------------------------------------------------------


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0].strip())
    ap.add_argument("--only", metavar="SUBSTRING",
                    help="run only workloads whose name contains SUBSTRING (case-insensitive)")
    ap.add_argument("--repeat", type=int, metavar="N",
                    help="fixed number of sampling rounds per workload (default: automatic)")
    ap.add_argument("--quick", action="store_true",
                    help="short samples and few rounds: a fast smoke run, noisier numbers")
    ap.add_argument("--retry-busy", type=int, metavar="N", default=None,
                    help="measure a row again, up to N times, when other processes took more "
                         f"than {BUSY * 100:.0f}%% of the machine while it ran; the quietest attempt "
                         "is kept (default: 2, 0 with --quick)")
    ap.add_argument("--time-cap", type=float, metavar="SECONDS", default=170.0,
                    help="start no retry after this many seconds (default: 170)")
    ap.add_argument("--list", action="store_true", help="list the workloads and exit")
    args = ap.parse_args(argv)

    settings = Settings()
    if args.quick:
        settings = Settings(sample_s=0.005, budget_s=0.3, min_repeats=3, max_repeats=5,
                            idle_repeats=1, settle_s=0.002, warm_s=0.003)
    if args.repeat is not None:
        if args.repeat < 1:
            ap.error("--repeat must be at least 1")
        settings.repeats = args.repeat
        settings.idle_repeats = min(args.repeat, 5)

    if args.retry_busy is None:
        args.retry_busy = 0 if args.quick else 2
    workloads = load_workloads(args.only)
    if args.list:
        for w in workloads:
            print(w.name)
        return 0
    if not workloads:
        print(f"no workload matches {args.only!r}; try --list", file=sys.stderr)
        return 2

    libs = load_libs()
    if libs.T is None:
        print("_nimbra has no Tensor: nothing to time", file=sys.stderr)
        return 1
    ctl = ThreadControl(libs.np, libs.torch)
    for line in describe(libs, ctl, settings, args.quick):
        print(line)
    print(flush=True)

    # Measure everything, then re-measure the rows that ran while something
    # else was busy on the machine (keeping the quietest attempt), then print
    # the table. Progress goes to stderr.
    start = time.perf_counter()
    whole = harness.OtherLoad()
    whole.start()
    results: dict[int, tuple] = {}
    n = len(workloads)
    for i, w in enumerate(workloads):
        results[i] = measure(w, libs, ctl, settings)
        progress(f"[{i + 1}/{n}] {w.name}", results[i][1], start)

    retried = 0
    for attempt in range(args.retry_busy):
        busy = [i for i, (_, other) in results.items() if other is not None and other > BUSY]
        if not busy:
            break
        for i in sorted(busy, key=lambda i: -results[i][1]):
            if time.perf_counter() - start > args.time_cap:
                break
            again = measure(workloads[i], libs, ctl, settings)
            retried += 1
            progress(f"[again {attempt + 1}] {workloads[i].name}", again[1], start)
            if again[1] is not None and again[1] < results[i][1]:
                results[i] = again
    elapsed = time.perf_counter() - start
    other_all = whole.stop()

    table = Table(with_torch=libs.torch is not None)
    print(table.header())
    footnotes, misses, with_goal, busy_rows = [], [], 0, []
    for i, w in enumerate(workloads):
        cols, other = results[i]
        if other is not None and other > BUSY:
            busy_rows.append(w.name)
        lines, missed = rows_for(w, cols, ctl, table, footnotes, other)
        misses += missed
        with_goal += w.goal is not None
        print("\n".join(lines))

    print()
    print(spread_text(workloads, results))
    print(f"idle: {harness.idle_cpu_ms(libs.T):.1f} ms of CPU time in the second after a burst "
          "of nimbra operations (goal: under 10 ms)")
    for name, col in footnotes:
        print(f"error in {name!r} ({col.lib}): {col.error}")
    print(f"{n} workloads, {with_goal} with a goal, {len(misses)} missed"
          + (": " + ", ".join(misses) if misses else "")
          + f"; {elapsed:.0f} s" + (f" ({retried} rows measured again)" if retried else ""))
    if other_all is not None:
        print(f"other processes and the hypervisor took {other_all:.0%} of the machine's CPU "
              f"time during the run; {len(busy_rows)} rows kept more than {BUSY:.0%}"
              + (" (their numbers are suspect: rerun them with --only)" if busy_rows else ""))
    return 0


SMALL_CALL_S = 100e-6  # rows whose nimbra median is below this show their quartiles


def spread_text(workloads, results) -> str:
    """Quartiles of every column of the rows with small calls, where the
    hand-off to the pool and its variance show."""
    lines = ["spread of small calls (first quartile / median / third quartile):"]
    for i, w in enumerate(workloads):
        cols = results[i][0]
        if cols[0].median is None or cols[0].median >= SMALL_CALL_S:
            continue
        cells = [f"{c.lib}" + (f":{c.count}" if c.count is not None else "") + " "
                 + " / ".join(fmt_time(t) for t in c.quartiles)
                 for c in {id(c): c for c in cols}.values() if c.quartiles is not None]
        lines.append(f"  {w.name}: " + ";  ".join(cells))
    return "\n".join(lines)


def measure(w, libs, ctl, settings) -> tuple:
    meter = harness.OtherLoad()
    meter.start()
    cols = run_workload(w, libs, ctl, settings)
    return cols, meter.stop()


def progress(label: str, other, start: float) -> None:
    print(f"{time.perf_counter() - start:6.1f} s  {label}  (bg {fmt_bg(other)}%)",
          file=sys.stderr, flush=True)


if __name__ == "__main__":
    sys.exit(main())
