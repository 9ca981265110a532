"""Run every benchmark under benchmarks/ and write one report.

Each ``bench_*.py`` module exposes ``run(quick: bool = False) -> list[dict]``;
a figure is a dict with "name", "unit", "native", "reference", "ratio",
"target" and "met". The report goes to benchmarks/results/latest.md and
latest.json, headed by the machine's Python and CPU.

Every benchmark runs in a fresh interpreter of its own: what one leaves behind
(threads, sockets, a heap full of objects that every later collection walks)
would otherwise skew the figures of the next, and a crash ends only its own
run. A module that sets ``IN_FULL_RUN = False`` (the five-minute soak) runs
only when named.

    ./dev bench                 # everything but the soak
    ./dev bench redaction       # only bench_redaction.py
    ./dev bench --quick         # fewer repetitions, for a smoke run
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import platform
import subprocess
import sys
import tempfile
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
    found = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(found)
    sys.path.insert(0, str(HERE))
    try:
        found.loader.exec_module(module)
    finally:
        sys.path.remove(str(HERE))
    return module


def fmt(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.4g}"
    return str(value)


def in_full_run(path: Path) -> bool:
    """False for a module that sets ``IN_FULL_RUN = False``; read from the source, not imported."""
    return "\nIN_FULL_RUN = False" not in path.read_text()


def run_child(name: str, quick: bool, out: Path) -> int:
    """In the child interpreter: run one benchmark and write its figures to `out`."""
    module = load(HERE / f"bench_{name}.py")
    figures = module.run(quick=quick)
    out.write_text(json.dumps(figures, default=str))
    return 0


def run_one(name: str, quick: bool) -> list[dict]:
    """One benchmark in a fresh interpreter; its output goes straight to ours."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "figures.json"
        command = [sys.executable, str(Path(__file__).resolve()), "--child", name, "--out", str(out)]
        if quick:
            command.append("--quick")
        result = subprocess.run(command, cwd=HERE.parent)
        if result.returncode != 0 or not out.exists():
            raise RuntimeError(f"bench_{name}.py exited with {result.returncode}")
        return json.loads(out.read_text())


def write_report(info: dict, figures: list[dict], failures: list[str]) -> None:
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps({"machine": info, "figures": figures, "failures": failures},
                                                    indent=2, default=str))
    judged = [f for f in figures if f.get("met") is not None]
    missed = [f for f in judged if not f["met"]]
    lines = [
        "# Benchmark report",
        "",
        f"Python {info['python']} ({info['implementation']}) on {info['cpu']}; {info['platform']}.",
        f"Run at {info['when']} in {info['seconds']:.0f} s.",
        "",
        f"Targets: {len(judged) - len(missed)} of {len(judged)} met.",
        "",
        "| benchmark | figure | unit | native | reference | ratio | target | met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for f in figures:
        met = f.get("met")
        lines.append(
            f"| {f.get('bench', '')} | {f['name']} | {f.get('unit', '')} | {fmt(f.get('native'))} | "
            f"{fmt(f.get('reference'))} | {fmt(f.get('ratio'))} | {f.get('target') or '-'} | "
            f"{'yes' if met else ('no' if met is False else '-')} |"
        )
    if missed:
        lines += ["", "## Targets not met", ""] + [f"- {f.get('bench', '')}: {f['name']}" for f in missed]
    if failures:
        lines += ["", "## Benchmarks that failed to run", ""] + [f"- {name}" for name in failures]
    (RESULTS / "latest.md").write_text("\n".join(lines) + "\n")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("only", nargs="*", help="benchmark names (bench_<name>.py) to run")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return run_child(args.child, args.quick, args.out)
    known = {path.stem.removeprefix("bench_"): path for path in sorted(HERE.glob("bench_*.py"))}
    unknown = [name for name in args.only if name not in known]
    if unknown:
        parser.error(f"no such benchmark: {', '.join(unknown)} (known: {', '.join(known)})")
    names = args.only or [name for name, path in known.items() if in_full_run(path)]
    info = machine()
    print(f"Python {info['python']} on {info['cpu']}", flush=True)
    started = time.time()
    figures: list[dict] = []
    failures: list[str] = []
    for name in names:
        print(f"== {name}", flush=True)
        began = time.time()
        try:
            for figure in run_one(name, args.quick):
                figure.setdefault("bench", name)
                figures.append(figure)
                verdict = {True: "met", False: "NOT met"}.get(figure.get("met"), "reported")
                print(f"   {figure['name']}: native {fmt(figure.get('native'))} {figure.get('unit', '')}, "
                      f"reference {fmt(figure.get('reference'))}, ratio {fmt(figure.get('ratio'))}, "
                      f"target {figure.get('target') or '-'}: {verdict}", flush=True)
        except Exception:
            traceback.print_exc()
            failures.append(name)
        print(f"   ({time.time() - began:.0f} s)", flush=True)
    info["when"] = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started))
    info["seconds"] = time.time() - started
    write_report(info, figures, failures)
    print(f"report: {RESULTS / 'latest.md'}")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
