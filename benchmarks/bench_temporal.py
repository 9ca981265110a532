"""CPU cost of a Temporal worker's set-up steps, native against plain Python.

Worker start-up is not a hot path, so the figures are guards rather than
goals: the native configuration must not cost more than the same steps in
Python (``benchmarks/reference/temporal.py``). Each figure is the median over
several timed runs (after a warm-up) of the CPU time per call, both sides timed
in the same process in alternating blocks; the ratio is the median of the
per-run ratios. Logging stays at its default level (records below WARNING are
dropped), as in a worker.

    python benchmarks/bench_temporal.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from kavri_core import SigningKey  # noqa: E402

from kavri_cloud import temporal as native  # noqa: E402
from reference import temporal as reference  # noqa: E402
from timing import measure, print_table  # noqa: E402

TARGET_RATIO = 1.0
_ENV = ["KAVRI_CONNECT_TOKEN", "KAVRI_API_KEY", "KAVRI_CONTROL_PLANE_URL", "KAVRI_ISSUER_KEY", "KAVRI_SIGNING_KEY",
        "KAVRI_DASHBOARD_ROOT_KEY", "KAVRI_AUTHORIZER_NAME", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN"]






def run(quick: bool = False) -> list[dict]:
    """Measure; one dict per figure: name, unit, native, reference, ratio, target, met."""
    calls, runs = (500, 5) if quick else (2_000, 9)
    key = SigningKey.generate()
    key_hex = key.to_bytes().hex()
    root_hex = SigningKey.generate().public_key.to_bytes().hex()
    saved = {name: os.environ.pop(name) for name in _ENV if name in os.environ}
    try:
        os.environ["KAVRI_ENFORCEMENT"] = "enforce"
        os.environ["KAVRI_DASHBOARD_ROOT_KEY"] = root_hex
        cases = [
            ("_resolve_signing_key, hexadecimal key",
             lambda: native._resolve_signing_key(key_hex, "s", "p"),
             lambda: reference._resolve_signing_key(key_hex, "s", "p")),
            ("KavriPluginConfig(), local mode, dashboard root key",
             lambda: native.KavriPluginConfig(signing_key=key),
             lambda: reference.KavriPluginConfig(signing_key=key)),
        ]
        os.environ["KAVRI_SIGNING_KEY"] = f" {key_hex}\n"
        cases.append(("from_env(), key from KAVRI_SIGNING_KEY, no token",
                      native.KavriPluginConfig.from_env, reference.KavriPluginConfig.from_env))
        figures = []
        for name, native_fn, reference_fn in cases:
            native_us, reference_us, ratio = measure(native_fn, reference_fn, calls, runs)
            figures.append({
                "name": f"temporal: {name}",
                "unit": "us CPU/call",
                "native": round(native_us, 3),
                "reference": round(reference_us, 3),
                "ratio": round(ratio, 2),
                "target": f">= {TARGET_RATIO:g}x",
                "met": ratio >= TARGET_RATIO,
            })
        return figures
    finally:
        for name in _ENV:
            os.environ.pop(name, None)
        os.environ.update(saved)




def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls per run")
    args = parser.parse_args(argv)
    print_table(run(quick=args.quick))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
