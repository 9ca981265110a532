"""Every handler shape and doctor against hostile servers of our own on loopback.

A server that never answers or trickles its answer one byte at a time (headers
included) cannot hold a handler past its timeout plus the grace of its last
poll, a Temporal attempt past its fast polls plus one client timeout, or
doctor past its own bound. A gzip bomb, junk after a gzip stream, an oversized answer, JSON nested too
deeply, bytes that are not UTF-8 and an "id" that is no text end as the
documented error kind (the client's KavriCloudError, passed on or wrapped in
Temporal's ApplicationError), with memory bounded, the client closed and no
thread or socket left behind.
"""

from __future__ import annotations

import asyncio
import dataclasses
import gzip
import json
import time
import tracemalloc
import uuid
import zlib
from collections.abc import Callable
from typing import Any

import kavri_core
import pytest
from kavri.approval import ApprovalGate, Warrant
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

from kavri_cloud import approval, connect, langgraph
from kavri_cloud.client import DEFAULT_MAX_RESPONSE_BYTES
from kavri_cloud.exceptions import KavriCloudError, TransportError
from tests.e2e.fault_helpers import Resources, track_clients
from tests.httpserver import gzip_bomb, http_server  # noqa: F401 (fixture)

pytestmark = pytest.mark.e2e

TIMEOUT = 1.5  # every handler's timeout, doctor's bound and the Temporal client timeout here
GRACE = 1.0  # how far past its timeout a generic handler's last request may run
SLACK = 1.5  # closing, thread hand-offs and a busy two-core machine
FAST_POLLS = (0.05, 2)
MEMORY_BOUND = 32 << 20  # a few times the 4 MiB answer cap; the bomb inflates to 256 MiB

PENDING = {"id": "apr_hostile", "status": "pending"}
JSON = {"Content-Type": "application/json"}

# name -> (server script, what the client's error says, its cause's type)
HOSTILE: dict[str, tuple[dict[str, Any], str, type | None]] = {
    "never-answers": ({"hang": True}, "timed out after", None),
    "trickles": ({"json": PENDING, "trickle": 0.2}, "timed out after", None),
    "gzip-bomb": ({"status": 201, "body": gzip_bomb(256 << 20), "headers": {**JSON, "Content-Encoding": "gzip"}},
                  f"larger than {DEFAULT_MAX_RESPONSE_BYTES} bytes", None),
    # A record, then junk past the end of its gzip stream that the inflater would have kept.
    "junk-after-gzip": ({"status": 201, "body": gzip.compress(json.dumps(PENDING).encode()) + bytes(32 << 20),
                         "headers": {**JSON, "Content-Encoding": "gzip"}}, "could not be decompressed", zlib.error),
    "oversized": ({"status": 201, "body": b'{"id": "apr_1", "pad": "' + b"x" * (5 << 20) + b'"}', "headers": JSON},
                  f"larger than {DEFAULT_MAX_RESPONSE_BYTES} bytes", None),
    "deep-json": ({"status": 201, "body": b"[" * 100_000 + b"]" * 100_000, "headers": JSON},
                  "malformed JSON (HTTP 201)", RecursionError),
    "not-utf8": ({"status": 201, "body": b'{"id": "apr_\xff\xfe", "status": "pending"}', "headers": JSON},
                 "malformed JSON (HTTP 201)", UnicodeDecodeError),
    "id-not-text": ({"status": 201, "json": {"id": 123, "status": "pending"}},
                    'malformed approval record: "id" must be text, got int', TypeError),
}
TIMING = ("never-answers", "trickles")


@pytest.fixture
def request_():
    # A warrant of its own: the hostile server knows no approvers, and none is needed.
    warrant = Warrant(id="wrt_hostile", holder_key=kavri_core.SigningKey.generate(),
                      tools_requiring_approval={"send_email"}, approvers=[kavri_core.SigningKey.generate().public_key])
    return ApprovalGate(warrant).request_for("send_email", {"to": "ops@example.com"})


# ---------------------------------------------------------------- handler shapes


def run_blocking(url, request):
    return approval.cloud_approval("k_hostile", base_url=url, poll_interval=0.05, timeout=TIMEOUT)(request)


def run_asyncio(url, request):
    handler = approval.async_cloud_approval("k_hostile", base_url=url, poll_interval=0.05, timeout=TIMEOUT)
    return asyncio.run(handler(request))


def run_asyncio_without_loop(url, request):
    handler = approval.async_cloud_approval("k_hostile", base_url=url, poll_interval=0.05, timeout=TIMEOUT)
    try:
        handler(request).send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the awaitable suspended although no loop was running")


def run_langgraph(url, request):
    handler = langgraph.langgraph_cloud_approval("k_hostile", base_url=url, poll_interval=0.05, timeout=TIMEOUT)
    return asyncio.run(handler(request))


def run_temporal(url, request):
    seconds, attempts = FAST_POLLS
    handler = approval.temporal_cloud_approval("k_hostile", kavri_core.SigningKey.generate(), base_url=url,
                                               fast_poll_seconds=seconds, fast_poll_attempts=attempts)
    env = ActivityEnvironment()
    env.info = dataclasses.replace(env.info, workflow_id="wf-hostile", workflow_run_id=uuid.uuid4().hex)
    return env.run(handler, request)


@dataclasses.dataclass
class Shape:
    name: str
    run: Callable[[str, Any], Any]
    module: Any
    client: str
    bound: float

    def __repr__(self) -> str:
        return self.name


SHAPES = [
    Shape("blocking", run_blocking, approval, "KavriCloudClient", TIMEOUT + GRACE),
    Shape("asyncio", run_asyncio, approval, "AsyncKavriCloudClient", TIMEOUT + GRACE),
    Shape("asyncio-no-loop", run_asyncio_without_loop, approval, "AsyncKavriCloudClient", TIMEOUT + GRACE),
    Shape("langgraph", run_langgraph, langgraph, "AsyncKavriCloudClient", TIMEOUT + GRACE),
    # One attempt: its fast polls' sleeps plus one client timeout for all its requests.
    Shape("temporal", run_temporal, approval, "KavriCloudClient", FAST_POLLS[0] * FAST_POLLS[1] + TIMEOUT),
]


@dataclasses.dataclass
class Ran:
    outcome: Any
    elapsed: float
    peak: int


def measured(call: Callable[[], Any]) -> Ran:
    tracemalloc.start()
    started = time.monotonic()
    try:
        try:
            outcome = call()
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome under test
            outcome = exc
        elapsed = time.monotonic() - started
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return Ran(outcome, elapsed, peak)


def assert_client_error(exc: Any, case: str) -> None:
    _, text, cause = HOSTILE[case]
    if case in TIMING:
        assert type(exc) is TransportError, repr(exc)
    else:
        assert type(exc) is KavriCloudError, repr(exc)
    assert text in str(exc), str(exc)
    if cause is not None:
        assert isinstance(exc.__cause__, cause), repr(exc.__cause__)


@pytest.mark.parametrize("case", list(HOSTILE))
@pytest.mark.parametrize("shape", SHAPES, ids=repr)
def test_each_handler_ends_in_its_bound_with_the_documented_error(http_server, monkeypatch, request_, shape, case):
    monkeypatch.setattr(approval, "_TEMPORAL_CLIENT_TIMEOUT", TIMEOUT)
    http_server.add(**HOSTILE[case][0], repeat=True)
    log = track_clients(monkeypatch, shape.module, shape.client)
    before = Resources.now()

    ran = measured(lambda: shape.run(http_server.url, request_))

    http_server.release()
    before.assert_released()
    log.assert_all_closed()
    assert ran.elapsed < shape.bound + SLACK, f"{shape} took {ran.elapsed:.1f}s"
    assert ran.peak < MEMORY_BOUND, f"{shape} peaked at {ran.peak >> 20} MiB"
    if shape.name == "temporal":
        assert isinstance(ran.outcome, ApplicationError), repr(ran.outcome)
        assert (ran.outcome.type, ran.outcome.non_retryable) == ("ApprovalTransportError", False)
        assert ran.outcome.message.startswith("approval request submission failed: ")
        client_error = ran.outcome.__cause__
    else:
        client_error = ran.outcome
    assert client_error is log.raised("create_request")
    assert_client_error(client_error, case)


@pytest.mark.parametrize("case", ["never-answers", "trickles", "gzip-bomb", "deep-json"])
def test_doctor_ends_in_its_bound_and_reports_each_probe(http_server, monkeypatch, case):
    monkeypatch.setattr(connect, "_DOCTOR_TIMEOUT", TIMEOUT)
    script = dict(HOSTILE[case][0], status=200)
    http_server.add(**script, repeat=True)
    log = track_clients(monkeypatch, connect, "KavriCloudClient")
    before = Resources.now()

    ran = measured(lambda: connect.doctor(api_key="k_hostile", base_url=http_server.url))

    http_server.release()
    before.assert_released()
    log.assert_all_closed()
    assert ran.elapsed < TIMEOUT + SLACK, f"doctor took {ran.elapsed:.1f}s"
    assert ran.peak < MEMORY_BOUND, f"doctor peaked at {ran.peak >> 20} MiB"
    report = ran.outcome
    assert [(c.name, c.status) for c in report.checks] == [
        ("config", "ok"), ("cloud_reachable", "error"), ("tenant_access", "warning"),
        ("approval_policy_access", "warning"), ("agent_claim", "ok"),
    ]
    assert report.ok is False
    text = HOSTILE[case][1].replace("201", "200")
    assert text in report.checks[1].message, report.checks[1].message


@pytest.mark.parametrize("shape", SHAPES, ids=repr)
def test_a_slow_service_that_never_decides_ends_as_a_timeout_in_the_bound(http_server, monkeypatch, request_, shape):
    from kavri.approval import ApprovalDenied

    monkeypatch.setattr(approval, "_TEMPORAL_CLIENT_TIMEOUT", TIMEOUT)
    http_server.add(201, json=PENDING, method="POST", repeat=True)
    http_server.add(json=PENDING, method="GET", delay=0.4, repeat=True)  # every poll takes 0.4 s
    log = track_clients(monkeypatch, shape.module, shape.client)
    before = Resources.now()

    ran = measured(lambda: shape.run(http_server.url, request_))

    http_server.release()
    before.assert_released()
    log.assert_all_closed()
    assert ran.elapsed < shape.bound + SLACK, f"{shape} took {ran.elapsed:.1f}s"
    if shape.name == "temporal":
        assert isinstance(ran.outcome, ApplicationError) and ran.outcome.type == "ApprovalPendingRetry", ran.outcome
    else:
        # The last poll, made at the deadline, fits in the grace: a timeout denial, not a transport error.
        assert isinstance(ran.outcome, ApprovalDenied), repr(ran.outcome)
        assert ran.outcome.reason.startswith(f"timed out after {TIMEOUT}s waiting for cloud approval")
