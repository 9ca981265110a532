"""Import time of the six native modules in a fresh interpreter.

The SDK, framework and httpx imports that the modules trigger are made first
and excluded: the figure is what the package itself adds to a worker's start.
Bytecode is cached as an installed package's is (pip writes it at install
time), in a folder of the benchmark's own: with PYTHONDONTWRITEBYTECODE set, as
on these machines, every run would otherwise compile the package's Python
modules from source.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile

PRELOAD = "import logging, asyncio, concurrent.futures, hashlib, json, urllib.parse, kavri, kavri.approval, " \
          "kavri.cp_approval, kavri.decorators, kavri_core, httpx"
FRAMEWORKS = ["kavri.langgraph", "kavri.temporal", "kavri.control_plane", "temporalio.activity",
              "temporalio.exceptions"]
MODULES = ["payload_forge", "redaction", "connect", "approval", "langgraph", "temporal"]

SNIPPET = f"""
import importlib, time
{PRELOAD}
for name in {FRAMEWORKS!r}:
    try:
        importlib.import_module(name)
    except ImportError:
        pass
t = time.perf_counter()
for name in {MODULES!r}:
    importlib.import_module("kavri_cloud." + name)
print((time.perf_counter() - t) * 1000)
"""


def once(env: dict[str, str]) -> float:
    out = subprocess.run([sys.executable, "-c", SNIPPET], check=True, capture_output=True, text=True,
                         env=env).stdout
    return float(out.strip().splitlines()[-1])


def run(quick: bool = False) -> list[dict]:
    with tempfile.TemporaryDirectory() as cache:
        env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
        env["PYTHONPYCACHEPREFIX"] = cache
        once(env)  # writes the bytecode and warms the file cache
        times = [once(env) for _ in range(5 if quick else 11)]
    median = statistics.median(times)
    return [{"name": "import of the six native modules", "unit": "ms", "native": median, "reference": None,
             "ratio": None, "target": "< 15 ms", "met": median < 15}]


if __name__ == "__main__":
    for f in run():
        print(f)
