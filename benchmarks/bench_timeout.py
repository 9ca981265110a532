"""Timeout precision of the approval handlers against the local Kavri Cloud.

Each handler waits on a request that nobody answers, with timeout T and a poll
interval that does not divide it, so the last pause has to be cut short to what
is left of the wait. The figure is how late the timeout denial comes: its time,
less the deadline (the end of the create request plus T), less the duration of
the last poll, which no handler can shorten. Target: 20 ms at most, for the
blocking, asyncio and LangGraph handlers; the plain-Python references in
``benchmarks/reference/`` are measured the same way in the same run.

The times of the create request and of each poll are taken by a client subclass
put where each module looks its client class up, so the handlers run unchanged.
Reported: the worst lateness over the runs after a warm-up (a timeout is late
or not each time, so the worst run is the one that counts).

    python benchmarks/bench_timeout.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import kavri_core  # noqa: E402
from kavri.approval import ApprovalDenied, ApprovalGate, Warrant  # noqa: E402

from kavri_cloud import approval, langgraph  # noqa: E402
from kavri_cloud.client import AsyncKavriCloudClient, KavriCloudClient  # noqa: E402
from reference import approval as reference_approval  # noqa: E402
from reference import langgraph as reference_langgraph  # noqa: E402
from timing import print_table  # noqa: E402

TIMEOUT = 0.5
POLL_INTERVAL = 0.35  # the second pause is cut from 0.35 s to the 0.15 s left
TARGET_MS = 20.0


class _Clock:
    """Times of the last create request's end and of the last poll, per invocation."""

    created = 0.0
    poll_started = poll_ended = 0.0

    @classmethod
    def lateness_ms(cls, denied_at: float) -> float:
        return (denied_at - (cls.created + TIMEOUT) - (cls.poll_ended - cls.poll_started)) * 1000.0


class TimedClient(KavriCloudClient):
    def create_request(self, **kwargs):
        record = super().create_request(**kwargs)
        _Clock.created = time.monotonic()
        return record

    def get_request(self, request_id):
        _Clock.poll_started = time.monotonic()
        try:
            return super().get_request(request_id)
        finally:
            _Clock.poll_ended = time.monotonic()


class AsyncTimedClient(AsyncKavriCloudClient):
    async def create_request(self, **kwargs):
        record = await super().create_request(**kwargs)
        _Clock.created = time.monotonic()
        return record

    async def get_request(self, request_id):
        _Clock.poll_started = time.monotonic()
        try:
            return await super().get_request(request_id)
        finally:
            _Clock.poll_ended = time.monotonic()


def _swap_clients() -> None:
    for module in (approval, reference_approval):
        module.KavriCloudClient = TimedClient
        module.AsyncKavriCloudClient = AsyncTimedClient
    for module in (langgraph, reference_langgraph):
        module.AsyncKavriCloudClient = AsyncTimedClient


def _lateness_ms(handler, request, asynchronous: bool) -> float:
    try:
        if asynchronous:
            asyncio.run(handler(request))
        else:
            handler(request)
    except ApprovalDenied as denial:
        denied_at = time.monotonic()
        if "timed out" not in str(denial.reason):
            raise AssertionError(f"expected a timeout denial, got {denial.reason!r}") from denial
        return _Clock.lateness_ms(denied_at)
    raise AssertionError("the request was approved, but nobody approves it")


def run(quick: bool = False) -> list[dict]:
    """Measure; one dict per figure: name, unit, native, reference, ratio, target, met."""
    runs = 3 if quick else 7
    _swap_clients()
    gate = ApprovalGate(Warrant(id="wrt_timeout", holder_key=kavri_core.SigningKey.generate(),
                                tools_requiring_approval={"send_email"}))
    figures = []
    from kavri_cloud.local import LocalCloud

    with tempfile.TemporaryDirectory() as data, LocalCloud(data) as cloud:
        options = {"base_url": cloud.url, "poll_interval": POLL_INTERVAL, "timeout": TIMEOUT}
        kinds = {
            "blocking cloud_approval": (approval.cloud_approval, reference_approval.cloud_approval, False),
            "asyncio async_cloud_approval": (approval.async_cloud_approval,
                                             reference_approval.async_cloud_approval, True),
            "LangGraph langgraph_cloud_approval": (langgraph.langgraph_cloud_approval,
                                                   reference_langgraph.langgraph_cloud_approval, True),
        }
        for label, (native_factory, reference_factory, asynchronous) in kinds.items():
            handlers = {"native": native_factory(cloud.runtime_key, **options),
                        "reference": reference_factory(cloud.runtime_key, **options)}
            worst = {}
            for name, handler in handlers.items():
                samples = []
                for i in range(runs + 1):  # the first is the warm-up
                    request = gate.request_for("send_email", {"to": f"{name}-{label}-{i}@example.com"})
                    samples.append(_lateness_ms(handler, request, asynchronous))
                worst[name] = max(samples[1:])
            figures.append({
                "name": f"timeout {TIMEOUT:g} s, polls every {POLL_INTERVAL:g} s: {label}, worst lateness of {runs} "
                        "beyond one request",
                "unit": "ms",
                "native": round(worst["native"], 2),
                "reference": round(worst["reference"], 2),
                "ratio": None,
                "target": f"<= {TARGET_MS:g} ms",
                "met": worst["native"] <= TARGET_MS,
            })
    return figures


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs")
    args = parser.parse_args(argv)
    print_table(run(quick=args.quick))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
