"""CPU cost of building an attested create-request payload, native against plain Python.

The request is the one the SDK's approval gate hands a handler: attestation
fields pre-populated, so the build reuses them and never calls the core. Each
figure is the median over several timed runs (after a warm-up) of the CPU time
per call, for the native module and for the plain-Python reference in
``benchmarks/reference/payload_forge.py``, measured in the same process in
alternating blocks; the ratio is the median of the per-run ratios.

    python benchmarks/bench_payload_forge.py [--quick]
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from kavri.approval import ApprovalGate, Warrant  # noqa: E402
from kavri.decorators import bind_key  # noqa: E402
from kavri_core import SigningKey  # noqa: E402

from kavri_cloud import payload_forge as native  # noqa: E402
from reference import payload_forge as reference  # noqa: E402
from timing import measure, print_table  # noqa: E402

TARGET_US = 5.0
TARGET_RATIO = 3.0


def _request():
    holder = SigningKey.generate()
    approvers = [SigningKey.generate().public_key for _ in range(2)]
    warrant = Warrant(
        id="wrt_bench",
        holder_key=holder,
        tools_requiring_approval={"transfer_funds"},
        approvers=approvers,
        min_approvals=2,
        ttl_seconds=600,
    )
    request = ApprovalGate(warrant).request_for("transfer_funds", {"amount": 250, "to": "acct_42"})
    return request, holder






def run(quick: bool = False) -> list[dict]:
    """Measure; one dict per figure: name, unit, native, reference, ratio, target, met."""
    calls, runs = (2_000, 5) if quick else (5_000, 15)
    request, holder = _request()
    cases: list[tuple[str, Callable[[], object], Callable[[], object], bool]] = [
        (
            "build, pre-populated, key from key_scope()",
            lambda: native.build_approval_request_payload(request),
            lambda: reference.build_approval_request_payload(request),
            True,
        ),
        (
            "build, pre-populated, explicit signing_key",
            lambda: native.build_approval_request_payload(request, signing_key=holder, idempotency_key="idem"),
            lambda: reference.build_approval_request_payload(request, signing_key=holder, idempotency_key="idem"),
            True,
        ),
    ]
    native_payload = native.build_approval_request_payload(request)
    reference_payload = reference.build_approval_request_payload(request)
    cases.append(
        (
            "to_create_request_kwargs",
            native_payload.to_create_request_kwargs,
            reference_payload.to_create_request_kwargs,
            False,
        )
    )
    figures = []
    with bind_key(holder):
        for name, native_fn, reference_fn, targeted in cases:
            native_us, reference_us, ratio = measure(native_fn, reference_fn, calls, runs)
            target = f"<= {TARGET_US:g} us and >= {TARGET_RATIO:g}x" if targeted else None
            met = (native_us <= TARGET_US and ratio >= TARGET_RATIO) if targeted else None
            figures.append(
                {
                    "name": f"payload_forge: {name}",
                    "unit": "us CPU/call",
                    "native": round(native_us, 3),
                    "reference": round(reference_us, 3),
                    "ratio": round(ratio, 2),
                    "target": target,
                    "met": met,
                }
            )
    return figures




def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls per run")
    args = parser.parse_args(argv)
    print_table(run(quick=args.quick))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
