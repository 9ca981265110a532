"""Run the fuzz targets: ./dev fuzz [--seconds N] [--jobs N] [target...]

Each fuzz/fuzz_<name>.py runs as its own process for N seconds (default 60) on
its corpus, fuzz/corpus/<name>/ (kept between runs, not committed), which is
first given the committed seeds of fuzz/seeds/<name>/. A crash, an uncaught
error, a hang past the per-input timeout or running out of memory is saved under
fuzz/crashes/<name>/; the summary gives each target's runs and crashes, and the
exit status is 1 when any target crashed.

Reproduce a saved input with:  python fuzz/fuzz_<name>.py fuzz/crashes/<name>/crash-...
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

FUZZ_DIR = Path(__file__).resolve().parent
ARTIFACT_KINDS = ("crash-", "timeout-", "oom-", "leak-")
PER_INPUT_TIMEOUT = 30  # seconds: one input running longer is a hang
# Start-up (instrumenting every loaded module) and the last input's own time, on top of N.
GRACE_SECONDS = 120 + PER_INPUT_TIMEOUT


@dataclass
class Outcome:
    name: str
    runs: int = 0
    crashes: list[Path] = field(default_factory=list)
    problem: str = ""  # a failure that left no input behind (start-up error, killed)
    seconds: float = 0.0
    log: Path | None = None

    @property
    def failed(self) -> bool:
        return bool(self.crashes or self.problem)


def discover(fuzz_dir: Path) -> dict[str, Path]:
    return {path.stem.removeprefix("fuzz_"): path for path in sorted(fuzz_dir.glob("fuzz_*.py"))}


def select(available: dict[str, Path], wanted: list[str]) -> dict[str, Path]:
    if not wanted:
        return available
    chosen = {}
    for name in wanted:
        key = Path(name).stem.removeprefix("fuzz_")
        if key not in available:
            raise SystemExit(f"fuzz: no target {name!r}; there are: {', '.join(available)}")
        chosen[key] = available[key]
    return chosen


def prepare_corpus(corpus: Path, seeds: Path) -> None:
    corpus.mkdir(parents=True, exist_ok=True)
    if seeds.is_dir():
        for seed in sorted(seeds.iterdir()):
            if seed.is_file() and not (corpus / seed.name).exists():
                shutil.copyfile(seed, corpus / seed.name)


def artifacts(crash_dir: Path) -> set[Path]:
    return {p for p in crash_dir.iterdir() if p.name.startswith(ARTIFACT_KINDS)} if crash_dir.is_dir() else set()


def count_runs(log_text: str) -> int:
    match = re.search(r"stat::number_of_executed_units:\s*(\d+)", log_text)
    if match:
        return int(match.group(1))
    done = re.findall(r"Done (\d+) runs", log_text)
    if done:
        return int(done[-1])
    progress = re.findall(r"^#(\d+)\s", log_text, re.MULTILINE)
    return int(progress[-1]) if progress else 0


def run_target(name: str, script: Path, seconds: int, fuzz_dir: Path, python: str) -> Outcome:
    corpus = fuzz_dir / "corpus" / name
    crash_dir = fuzz_dir / "crashes" / name
    prepare_corpus(corpus, fuzz_dir / "seeds" / name)
    crash_dir.mkdir(parents=True, exist_ok=True)
    log = fuzz_dir / "corpus" / f"{name}.log"
    before = artifacts(crash_dir)
    command = [
        python, str(script),
        f"-max_total_time={seconds}",
        f"-timeout={PER_INPUT_TIMEOUT}",
        "-print_final_stats=1",
        f"-artifact_prefix={crash_dir}{os.sep}",
        str(corpus),
    ]
    outcome = Outcome(name, log=log)
    started = time.monotonic()
    with log.open("wb") as out:
        # A session of its own, so that a run past its limit is ended with all it started.
        proc = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                cwd=fuzz_dir.parent, start_new_session=True)
        try:
            code = proc.wait(timeout=seconds + GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            code = None
    outcome.seconds = time.monotonic() - started
    text = log.read_text(errors="replace")
    outcome.runs = count_runs(text)
    outcome.crashes = sorted(artifacts(crash_dir) - before)
    if code is None:
        outcome.problem = f"still running {seconds + GRACE_SECONDS} s after it started; killed"
    elif code != 0 and not outcome.crashes:
        outcome.problem = f"exited with status {code} and saved no input"
    return outcome


def tail(path: Path, lines: int = 40) -> str:
    text = path.read_text(errors="replace").splitlines()
    # The part worth reading is the report after the last progress line.
    report = [line for line in text if not line.startswith("#")]
    return "\n".join(report[-lines:])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="./dev fuzz", description=__doc__.split("\n\n")[1])
    parser.add_argument("--seconds", type=int, default=60, help="time per target (default 60)")
    parser.add_argument("--jobs", type=int, default=1, help="targets run at once (default 1)")
    parser.add_argument("--fuzz-dir", type=Path, default=FUZZ_DIR, help=argparse.SUPPRESS)
    parser.add_argument("targets", nargs="*", help="names (redaction, fuzz_codecs.py, ...); all by default")
    args = parser.parse_args(argv)
    if args.seconds < 1:
        parser.error("--seconds must be at least 1")
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    targets = select(discover(args.fuzz_dir), args.targets)
    if not targets:
        print(f"fuzz: no fuzz_*.py in {args.fuzz_dir}", file=sys.stderr)
        return 2

    def one(item: tuple[str, Path]) -> Outcome:
        name, script = item
        print(f"fuzz: {name} for {args.seconds} s", flush=True)
        outcome = run_target(name, script, args.seconds, args.fuzz_dir, sys.executable)
        if outcome.failed:
            print(f"fuzz: {name} failed:\n{tail(outcome.log)}", flush=True)
        return outcome

    # Each target is a process of its own on one core: --jobs of them at once.
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        outcomes = list(pool.map(one, targets.items()))

    width = max(len(o.name) for o in outcomes)
    print(f"\n{'target':<{width}}  {'runs':>10}  {'crashes':>7}  seconds")
    for o in outcomes:
        print(f"{o.name:<{width}}  {o.runs:>10}  {len(o.crashes) + bool(o.problem):>7}  {o.seconds:7.1f}")
    failed = [o for o in outcomes if o.failed]
    for o in failed:
        for path in o.crashes:
            print(f"fuzz: {o.name}: input saved as {path.relative_to(args.fuzz_dir.parent)}")
        if o.problem:
            print(f"fuzz: {o.name}: {o.problem} (log: {o.log})")
    if failed:
        print(f"fuzz: {len(failed)} of {len(outcomes)} targets failed")
        return 1
    print(f"fuzz: no crashes ({len(outcomes)} targets)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
