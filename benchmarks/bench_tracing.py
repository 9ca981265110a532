"""What tracing the approval waits costs per approval.

The same approval runs through the blocking and the asyncio handler with
tracing on and off, in alternating blocks of CPU time in one interpreter (so a
busy neighbour slows both sides alike), in two fresh interpreters: one with
``opentelemetry-api`` but no SDK configured (the API's no-op tracer and meter),
one with the SDK (a tracer provider exporting every span synchronously to an
exporter that drops it, and a meter provider with an in-memory reader). "Off"
is the state the package takes when ``opentelemetry`` cannot be imported (every
hook returns at once); a third interpreter, whose import system cannot find
``opentelemetry`` at all, checks that it is that state and reports its own
figure.

Each approval is real apart from the network: a real attested request from the
SDK's gate, the real payload builder, one "pending" and one "approved" poll
answered by an in-process client, and the SDK's decoding of a real signed
approval; so a traced approval makes a span with a request event and two poll
events, and records a histogram point and a counter increment.

Reported: CPU microseconds per approval with tracing off, and the overhead of
tracing with the API alone and with the SDK: the median of the differences
between neighbouring traced and untraced blocks (a difference of two medians of
about 200 us each would carry the noise of both). Targets (per approval): at most
10 us with the API alone, at most 150 us with the SDK: small beside one poll
over loopback (about half a millisecond) and nothing beside a human.

    python benchmarks/bench_tracing.py [--quick]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

MODES = ("off", "api", "sdk")
TARGET_API_US = 10.0
TARGET_SDK_US = 150.0


class _NoOpenTelemetry:
    def find_spec(self, name, path=None, target=None):
        if name == "opentelemetry" or name.startswith("opentelemetry."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


def _set_up(mode: str) -> None:
    if mode == "off":
        sys.meta_path.insert(0, _NoOpenTelemetry())
    elif mode == "sdk":
        from opentelemetry import metrics, trace
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import InMemoryMetricReader
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor, SpanExporter, SpanExportResult

        class Drop(SpanExporter):
            def export(self, spans):
                return SpanExportResult.SUCCESS

        provider = TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(Drop()))
        trace.set_tracer_provider(provider)
        metrics.set_meter_provider(MeterProvider(metric_readers=[InMemoryMetricReader()]))


def measure(mode: str, quick: bool) -> dict[str, list[float]]:
    """In the child interpreter: CPU microseconds per approval, traced and off, per handler."""
    _set_up(mode)
    import asyncio

    import kavri_core
    from kavri.approval import ApprovalGate, Warrant

    from kavri_cloud import _observe, approval
    from tests.approval_fakes import signed_approval_bytes
    from timing import measure as alternate
    from timing import overhead

    holder = kavri_core.SigningKey.generate()
    gate = ApprovalGate(Warrant(id="wrt_bench", holder_key=holder, tools_requiring_approval={"send_email"}))
    request = gate.request_for("send_email", {"to": "ops@example.com"}, request_id="call_1")
    raw = signed_approval_bytes(request.request_hash)
    records = [{"id": "apr_1", "status": "pending"},
               {"id": "apr_1", "status": "approved", "responses": [{"signed_approval": raw.hex(), "approver": "alice"}]}]

    class Client:
        def __init__(self, *args, **kwargs):
            self.polls = 0

        def create_request(self, **fields):
            return {"id": "apr_1", "status": "pending"}

        def get_request(self, request_id):
            self.polls += 1
            return records[min(self.polls, 2) - 1]

        def close(self):
            pass

    class AsyncClient(Client):
        async def create_request(self, **fields):
            return Client.create_request(self, **fields)

        async def get_request(self, request_id):
            return Client.get_request(self, request_id)

        async def close(self):
            pass

    approval.KavriCloudClient = Client
    approval.AsyncKavriCloudClient = AsyncClient
    blocking = approval.cloud_approval("key", poll_interval=0.0, timeout=60.0)
    asynchronous = approval.async_cloud_approval("key", poll_interval=0.0, timeout=60.0)
    loop = asyncio.new_event_loop()
    shapes = {"blocking": lambda: blocking(request),
              "asyncio": lambda: loop.run_until_complete(asynchronous(request))}

    enabled = _observe.enabled()
    assert enabled == (mode != "off")
    calls, runs = (100, 5) if quick else (200, 41)
    out = {}
    for name, approve in shapes.items():
        if mode == "off":
            out[name] = [alternate(approve, approve, calls, runs)[0]] * 2
            continue
        state = _observe._state

        def traced(approve=approve, state=state):
            _observe._state = state
            approve()

        def off(approve=approve):
            _observe._state = False  # what a failed import of opentelemetry leaves
            approve()

        on_us, off_us, extra_us = overhead(traced, off, calls, runs)
        _observe._state = state
        out[name] = [on_us, off_us, extra_us]
    loop.close()
    return out


def _child(mode: str, quick: bool) -> dict[str, list[float]]:
    command = [sys.executable, __file__, "--mode", mode] + (["--quick"] if quick else [])
    done = subprocess.run(command, capture_output=True, text=True, cwd=ROOT)
    if done.returncode != 0:
        raise RuntimeError(f"bench_tracing --mode {mode} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def run(quick: bool = False) -> list[dict]:
    results = {mode: _child(mode, quick) for mode in MODES}
    figures = []
    for handler in ("blocking", "asyncio"):
        figures.append({"name": f"{handler} approval, no opentelemetry importable", "unit": "us CPU/approval",
                        "native": results["off"][handler][0], "reference": None, "ratio": None, "target": None,
                        "met": None})
        for mode, target in (("api", TARGET_API_US), ("sdk", TARGET_SDK_US)):
            on, off, extra = results[mode][handler]
            label = "API only" if mode == "api" else "SDK, every span exported"
            figures.append({"name": f"{handler} approval, {label}: overhead over off", "unit": "us CPU/approval",
                            "native": extra, "reference": off, "ratio": on / off if off else None,
                            "target": f"<= {target:g} us", "met": extra <= target})
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--mode", choices=MODES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.mode:
        print(json.dumps(measure(args.mode, args.quick)))
        return 0
    from timing import print_table

    print_table(run(args.quick))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
