"""Cost of the LangGraph integration's per-call steps, native against plain Python.

Figures, each native against ``benchmarks/reference/langgraph.py``:

- the idempotency key of a request (every approval gate computes one);
- creating a handler with ``langgraph_cloud_approval`` (every constructed
  middleware or tool node auto-wires one);
- the observe-first check on a tool result that is not a denial (every tool call
  of the middleware in observe-first mode pays it);
- a batch of concurrent asyncio approvals against the local Kavri Cloud, with a
  stand-in human approving as requests arrive (wall time; HTTP dominates, so the
  target is parity, not a gain).

CPU figures are the median over several timed runs (after a warm-up) of the CPU
time per call, both sides timed in the same process in alternating blocks; the
ratio is the median of the per-run ratios. Logging stays at its default level.

    python benchmarks/bench_langgraph.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from kavri.approval import ApprovalGate, ApprovalRequest, Warrant  # noqa: E402
from kavri_core import PublicKey, SigningKey  # noqa: E402

from kavri_cloud import langgraph as native  # noqa: E402
from reference import langgraph as reference  # noqa: E402
from timing import measure, print_table  # noqa: E402

CPU_TARGET = 1.0
WALL_TARGET = 0.9
_ENV = ["KAVRI_APPROVAL_TIMEOUT", "KAVRI_DASHBOARD_URL"]


class _Result:
    status = "success"
    content = "moved 10"


class _ToolRequest:
    tool_call = {"name": "transfer", "args": {"amount": 10}, "id": "call_1"}






def _figure(name: str, unit: str, measured, target: float) -> dict:
    native_v, reference_v, ratio = measured
    return {
        "name": f"langgraph: {name}",
        "unit": unit,
        "native": round(native_v, 3),
        "reference": round(reference_v, 3),
        "ratio": round(ratio, 2),
        "target": f">= {target:g}x",
        "met": ratio >= target,
    }


class _Approver(threading.Thread):
    """Approves every pending request of the local service as soon as it is listed."""

    def __init__(self, cloud) -> None:
        super().__init__(daemon=True)
        self.cloud = cloud
        self.stopping = threading.Event()

    def run(self) -> None:
        from kavri_cloud.client import KavriCloudClient

        with KavriCloudClient(self.cloud.admin_key, base_url=self.cloud.url) as client:
            while not self.stopping.is_set():
                for record in client.list_requests(status="pending"):
                    self.cloud.approve(record["id"])
                time.sleep(0.005)


def _concurrent_approvals(batch: int, runs: int) -> dict:
    from kavri_cloud.local import LocalCloud

    with tempfile.TemporaryDirectory() as data, LocalCloud(data) as cloud:
        approver = PublicKey.from_bytes(cloud.approvers[0].public_key_bytes)
        gate = ApprovalGate(Warrant(id="w-bench", holder_key=SigningKey.generate(),
                                    tools_requiring_approval={"transfer"}, approvers=[approver]))
        options = {"base_url": cloud.url, "poll_interval": 0.01, "timeout": 30.0}
        handlers = (native.langgraph_cloud_approval(cloud.runtime_key, **options),
                    reference.langgraph_cloud_approval(cloud.runtime_key, **options))

        def block_ms(handler, _calls) -> float:
            requests = [gate.request_for("transfer", {"amount": i}, request_id=uuid.uuid4().hex) for i in range(batch)]

            async def main():
                await asyncio.gather(*(handler(r) for r in requests))

            start = time.perf_counter()
            asyncio.run(main())
            return (time.perf_counter() - start) * 1000.0

        thread = _Approver(cloud)
        thread.start()
        try:
            measured = measure(handlers[0], handlers[1], 1, runs, block=block_ms)
        finally:
            thread.stopping.set()
            thread.join(5)
    return _figure(f"{batch} concurrent asyncio approvals, local Kavri Cloud", "ms wall/batch", measured, WALL_TARGET)


def run(quick: bool = False) -> list[dict]:
    """Measure; one dict per figure: name, unit, native, reference, ratio, target, met."""
    calls, runs = (2_000, 5) if quick else (20_000, 9)
    saved = {name: os.environ.pop(name) for name in _ENV if name in os.environ}
    try:
        by_bytes = ApprovalRequest(tool="transfer", request_id=uuid.uuid4().bytes)
        by_text = ApprovalRequest(tool="transfer", request_id="call_" + uuid.uuid4().hex)
        result, tool_request = _Result(), _ToolRequest()
        figures = [
            _figure("_get_idempotency_key, 16-byte request_id", "us CPU/call",
                    measure(lambda: native._get_idempotency_key(by_bytes),
                             lambda: reference._get_idempotency_key(by_bytes), calls, runs), CPU_TARGET),
            _figure("_get_idempotency_key, text request_id", "us CPU/call",
                    measure(lambda: native._get_idempotency_key(by_text),
                             lambda: reference._get_idempotency_key(by_text), calls, runs), CPU_TARGET),
            _figure("langgraph_cloud_approval(), handler creation", "us CPU/call",
                    measure(lambda: native.langgraph_cloud_approval("key"),
                             lambda: reference.langgraph_cloud_approval("key"), calls // 4, runs), CPU_TARGET),
            _figure("_observe_or_result, observe-first, no denial", "us CPU/call",
                    measure(lambda: native._observe_or_result(result, tool_request, None, True),
                             lambda: reference._observe_or_result(result, tool_request, None, True),
                             calls, runs), CPU_TARGET),
        ]
        figures.append(_concurrent_approvals(batch=10 if quick else 20, runs=3 if quick else 5))
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
