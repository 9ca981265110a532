"""Shared timing for the native-vs-reference micro-benchmarks.

Both sides are timed in alternating blocks of CPU time in one process, so a
neighbour process that slows the machine for a while slows both sides of the
same ratio; each figure is the median over the runs after a warm-up.
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def block_us(fn: Callable[[], object], calls: int) -> float:
    """CPU microseconds per call of `fn`, over one block of `calls` calls."""
    start = time.process_time_ns()
    for _ in range(calls):
        fn()
    return (time.process_time_ns() - start) / calls / 1000.0


def measure(native_fn, reference_fn, calls: int, runs: int, block=block_us) -> tuple[float, float, float]:
    """Median cost of each side per `block`, and the median of the per-run ratios."""
    for fn in (native_fn, reference_fn):
        block(fn, max(calls // 4, 1))
    native_v, reference_v, ratios = [], [], []
    for _ in range(runs):
        n = block(native_fn, calls)
        r = block(reference_fn, calls)
        native_v.append(n)
        reference_v.append(r)
        ratios.append(r / n if n else float("inf"))
    return statistics.median(native_v), statistics.median(reference_v), statistics.median(ratios)


def overhead(on_fn, off_fn, calls: int, runs: int, block=block_us) -> tuple[float, float, float]:
    """Median cost of each side per `block`, and the median of the per-run differences (on - off).

    For a small overhead on a large cost: a difference of the two medians carries
    the noise of both, while each run's pair of neighbouring blocks shares the
    machine's state of the moment. The sides take turns going first.
    """
    for fn in (on_fn, off_fn):
        block(fn, max(calls // 4, 1))
    on_v, off_v, differences = [], [], []
    for run in range(runs):
        if run % 2:
            off = block(off_fn, calls)
            on = block(on_fn, calls)
        else:
            on = block(on_fn, calls)
            off = block(off_fn, calls)
        on_v.append(on)
        off_v.append(off)
        differences.append(on - off)
    return statistics.median(on_v), statistics.median(off_v), statistics.median(differences)


def print_table(figures: list[dict]) -> None:
    """The figures as a plain-text table, for a benchmark run on its own."""

    def number(value, width: int) -> str:
        return f"{value:>{width}.4g}" if value is not None else f"{'-':>{width}}"

    width = max(len(f["name"]) for f in figures) + 2
    header = f"{'figure':<{width}} {'native':>9} {'reference':>10} {'ratio':>7}  target"
    print(header)
    print("-" * len(header))
    for f in figures:
        met = "" if f.get("met") is None else ("  met" if f["met"] else "  NOT MET")
        ratio = f"{f['ratio']:>6.2f}x" if f.get("ratio") is not None else "      -"
        print(f"{f['name']:<{width}} {number(f['native'], 9)} {number(f.get('reference'), 10)} {ratio}  "
              f"{f.get('target') or '-'} ({f['unit']}){met}")
