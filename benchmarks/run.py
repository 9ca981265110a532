"""Run every benchmark under benchmarks/ and write one report.

Each ``bench_*.py`` module exposes ``run(quick: bool = False) -> list[dict]``;
a figure is a dict with "name", "unit", "native", "reference", "ratio",
"target" and "met". The report goes to benchmarks/results/latest.md and
latest.json, headed by the machine's Python and CPU.

    ./dev bench                 # everything
    ./dev bench redaction       # only bench_redaction.py
    ./dev bench --quick         # fewer repetitions, for a smoke run
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import platform
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"


def machine() -> dict[str, str]:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"python": sys.version.split()[0], "implementation": platform.python_implementation(), "cpu": cpu,
            "platform": platform.platform()}


def load(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(HERE))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(HERE))
    return module


def fmt(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.4g}"
    return str(value)


def write_report(info: dict, figures: list[dict], failures: list[str]) -> None:
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps({"machine": info, "figures": figures, "failures": failures},
                                                    indent=2, default=str))
    lines = [
        "# Benchmark report",
        "",
        f"Python {info['python']} ({info['implementation']}) on {info['cpu']}; {info['platform']}.",
        f"Run at {info['when']} in {info['seconds']:.0f} s.",
        "",
        "| benchmark | figure | unit | native | reference | ratio | target | met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for f in figures:
        met = f.get("met")
        lines.append(
            f"| {f.get('bench', '')} | {f['name']} | {f.get('unit', '')} | {fmt(f.get('native'))} | "
            f"{fmt(f.get('reference'))} | {fmt(f.get('ratio'))} | {f.get('target', '-')} | "
            f"{'yes' if met else ('no' if met is False else '-')} |"
        )
    if failures:
        lines += ["", "## Benchmarks that failed to run", ""] + [f"- {name}" for name in failures]
    (RESULTS / "latest.md").write_text("\n".join(lines) + "\n")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("only", nargs="*", help="benchmark names (bench_<name>.py) to run")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args(argv)
    info = machine()
    print(f"Python {info['python']} on {info['cpu']}", flush=True)
    started = time.time()
    figures: list[dict] = []
    failures: list[str] = []
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem.removeprefix("bench_")
        if args.only and name not in args.only:
            continue
        print(f"== {name}", flush=True)
        try:
            module = load(path)
            if not hasattr(module, "run"):
                continue
            for figure in module.run(quick=args.quick):
                figure.setdefault("bench", name)
                figures.append(figure)
                print(f"   {figure['name']}: native {fmt(figure.get('native'))} {figure.get('unit', '')}, "
                      f"reference {fmt(figure.get('reference'))}, ratio {fmt(figure.get('ratio'))}, "
                      f"target {figure.get('target', '-')}: {'met' if figure.get('met') else 'NOT met'}", flush=True)
        except Exception:
            traceback.print_exc()
            failures.append(name)
    info["when"] = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started))
    info["seconds"] = time.time() - started
    write_report(info, figures, failures)
    print(f"report: {RESULTS / 'latest.md'}")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
