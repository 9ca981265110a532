"""Every handler, and connect/doctor, against a local Kavri Cloud that fails on
purpose: 500s, 503s, dropped connections, answers slower than the client's
timeout, cut-short JSON and approval records without "id" or "status".

Each case checks the outcome the handler promises for that failure (the
client's own error passed on as it was, a Temporal ApplicationError of the
right type and retriability, a denial, a report check) and that the call left
its client closed and no thread, socket or asyncio task behind.

Slow answers: the generic handlers build their client with its default 30 s
timeout and the Temporal handler with 10 s, too long for a test. The client
class the module looks up is swapped for a subclass of the real client that
records the timeout it was asked for and uses a short one instead.
"""

from __future__ import annotations

import asyncio
import dataclasses
import re
import time
import uuid
from collections.abc import Callable, Iterator
from typing import Any

import kavri_core
import pytest
from kavri.approval import ApprovalDenied
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

from kavri_cloud import approval, connect, langgraph
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import KavriCloudError, ServerError, TransportError
from kavri_cloud.local import LocalCloud
from kavri_cloud.payload_forge import build_approval_request_payload
from tests.e2e.approval_helpers import gate_for
from tests.e2e.fault_helpers import Resources, clean_kavri_env, track_clients  # noqa: F401 (fixture)
from tests.httpserver import unused_port

pytestmark = pytest.mark.e2e

# The short timeout holds for every request of a case, the ones not slowed too: on a
# loaded machine (the sanitizer pass on four workers) a create took more than 0.3 s.
SHORT_TIMEOUT = 1.0
LATENCY_MS = 2500

FAULTS: dict[str, dict[str, Any]] = {
    "500": {"http_500_rate": 1.0},
    "503": {"http_503_rate": 1.0},
    "drop": {"drop_rate": 1.0},
    "slow": {"latency_ms": LATENCY_MS},
    "malformed": {"malformed_json_rate": 1.0},
}

# The create request is the first one under the collection path; polls (and
# resumes) are the ones under a request's own path.
PHASES = {
    "create": {"path_prefix": "/v1/approvals/requests", "max_faults": 1},
    "poll": {"path_prefix": "/v1/approvals/requests/", "max_faults": 1},
}


def client_error_pattern(fault: str, url: str, path: str, status: int) -> str:
    """The text of the client's error for `fault` on `path` (a regex)."""
    where = re.escape(f"{url}/v1/") + path
    return {
        "500": re.escape("injected fault: internal server error"),
        "503": re.escape("injected fault: service unavailable"),
        # After the package's prefix comes the transport library's own words, which
        # depend on whether the socket closed before or while the body was sent.
        "drop": f"could not reach Kavri Cloud at {where}: "
                "(Server disconnected without sending a response\\.|\\[Errno 104\\] Connection reset by peer)",
        "slow": f"request to {where} timed out after {SHORT_TIMEOUT}s",
        "malformed": re.escape(f"Kavri Cloud returned malformed JSON (HTTP {status})"),
    }[fault]


CLIENT_ERROR_TYPES = {"500": ServerError, "503": ServerError, "drop": TransportError, "slow": TransportError,
                      "malformed": KavriCloudError}

RECORD_PATHS = {"create": ("approvals/requests", 201), "poll": ("approvals/requests/apr_[0-9a-f]+", 200)}


def _port_without_404() -> int:
    # The Temporal handler takes an error whose text holds "404" for a vanished
    # request; a port that spells it would turn the resume cases into creates.
    while "404" in str(port := unused_port()):
        pass
    return port


@pytest.fixture(scope="module")
def cloud(tmp_path_factory) -> Iterator[LocalCloud]:
    # One service for the module: starting one per case would cost more than the cases.
    with LocalCloud(tmp_path_factory.mktemp("faulty-cloud"), port=_port_without_404()) as service:
        yield service


@pytest.fixture
def faults(cloud: LocalCloud) -> Iterator[Callable[..., None]]:
    """Sets the service's faults; afterwards clears them and outwaits slowed requests.

    A request slowed by injected latency that the client gave up on still
    wakes up later and draws a fault from whatever settings are current then,
    so the next test must not start while one is asleep.
    """
    slowed_until = 0.0

    def set_faults(**settings: Any) -> None:
        nonlocal slowed_until
        cloud.set_faults(**settings)
        if settings.get("latency_ms"):
            slowed_until = time.monotonic() + settings["latency_ms"] / 1000.0 + 0.2

    yield set_faults
    cloud.clear_faults()
    time.sleep(max(0.0, slowed_until - time.monotonic()))


@pytest.fixture
def gate(cloud):
    return gate_for(cloud)


@pytest.fixture
def request_(gate):
    return gate.request_for("send_email", {"to": "ops@example.com", "subject": "Q3"})


def outcome(call: Callable[[], Any]) -> Any:
    """What the call returned, or the exception it raised."""
    try:
        return call()
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome under test
        return exc


def in_fresh_loop(make: Callable[[], Any]) -> Any:
    """Run `make()`'s awaitable with asyncio.run; fail if it leaves a task behind."""
    leftovers: list[asyncio.Task] = []

    async def main() -> Any:
        try:
            return await make()
        finally:
            await asyncio.sleep(0)  # anything the handler scheduled gets to show up
            leftovers.extend(t for t in asyncio.all_tasks() if t is not asyncio.current_task())

    result = asyncio.run(main())
    assert not leftovers, f"tasks left behind: {leftovers}"
    return result


# ---------------------------------------------------------------- the handlers


@dataclasses.dataclass
class Handler:
    name: str
    module: Any
    client: str
    run: Callable[..., Any]
    temporal: bool = False

    def __repr__(self) -> str:
        return self.name


def run_blocking(cloud, gate, request, timeout=5.0, heartbeats=None):
    return approval.cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, timeout=timeout)(request)


def run_asyncio(cloud, gate, request, timeout=5.0, heartbeats=None):
    handler = approval.async_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, timeout=timeout)
    return in_fresh_loop(lambda: handler(request))


def run_asyncio_without_loop(cloud, gate, request, timeout=5.0, heartbeats=None):
    # No running loop: the handler runs itself on a fresh loop in a one-thread pool.
    handler = approval.async_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, timeout=timeout)
    awaitable = handler(request)
    try:
        awaitable.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the awaitable suspended although no loop was running")


def run_langgraph(cloud, gate, request, timeout=5.0, heartbeats=None):
    handler = langgraph.langgraph_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05,
                                                 timeout=timeout)
    return in_fresh_loop(lambda: handler(request))


def run_temporal(cloud, gate, request, timeout=None, heartbeats=None, resume=None):
    handler = approval.temporal_cloud_approval(cloud.admin_key, gate.warrant.holder_key, base_url=cloud.url,
                                               fast_poll_seconds=0.05, fast_poll_attempts=2)
    env = ActivityEnvironment()
    # A run id of its own, so the create is a real one and not an idempotent replay of another test's.
    env.info = dataclasses.replace(env.info, workflow_id="wf-faults", workflow_run_id=uuid.uuid4().hex, activity_id="1",
                                   heartbeat_details=[{"approval_request_id": resume}] if resume else [])
    if heartbeats is not None:
        env.on_heartbeat = lambda *details: heartbeats.append(details[0])
    return env.run(handler, request)


HANDLERS = [
    Handler("blocking", approval, "KavriCloudClient", run_blocking),
    Handler("asyncio", approval, "AsyncKavriCloudClient", run_asyncio),
    Handler("asyncio-no-loop", approval, "AsyncKavriCloudClient", run_asyncio_without_loop),
    Handler("langgraph", langgraph, "AsyncKavriCloudClient", run_langgraph),
    Handler("temporal", approval, "KavriCloudClient", run_temporal, temporal=True),
]


def assert_temporal_error(exc: Any, type_: str, message: str, *, non_retryable: bool) -> None:
    assert isinstance(exc, ApplicationError), repr(exc)
    assert (exc.type, exc.non_retryable) == (type_, non_retryable)
    assert re.fullmatch(message, exc.message), exc.message


# ---------------------------------------------------------------- service failures


@pytest.mark.parametrize("phase", list(PHASES))
@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("handler", HANDLERS, ids=repr)
def test_a_failing_request_gives_the_documented_error_and_leaves_nothing_behind(
    cloud, faults, gate, request_, monkeypatch, handler, fault, phase
):
    log = track_clients(monkeypatch, handler.module, handler.client,
                        timeout=SHORT_TIMEOUT if fault == "slow" else None)
    faults(**FAULTS[fault], **PHASES[phase])
    heartbeats: list[dict] = []
    before = Resources.now()

    exc = outcome(lambda: handler.run(cloud, gate, request_, heartbeats=heartbeats))

    before.assert_released()
    log.assert_all_closed()
    path, status = RECORD_PATHS[phase]
    expected = client_error_pattern(fault, cloud.url, path, status)
    if handler.temporal:
        assert log.requested_timeouts == [10.0]
        client_error = exc.__cause__
        if phase == "create":
            message = "approval request submission failed: " + expected
        else:
            request_id = heartbeats[0]["approval_request_id"]
            message = f"approval poll failed for {re.escape(request_id)}: " + expected
        assert_temporal_error(exc, "ApprovalTransportError", message, non_retryable=False)
    else:
        client_error = exc
    # The client's own error, passed on as it was raised.
    assert client_error is log.raised("create_request", "get_request")
    assert type(client_error) is CLIENT_ERROR_TYPES[fault]
    assert re.fullmatch(expected, str(client_error)), str(client_error)


@pytest.mark.parametrize("fault", list(FAULTS))
def test_a_temporal_retry_whose_resume_fails_asks_temporal_to_retry(cloud, faults, gate, monkeypatch, fault):
    existing = "404"
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        while "404" in existing:  # as with the port: an id that spells 404 reads as a vanished request
            request_ = gate.request_for("send_email", {"n": uuid.uuid4().hex})
            fields = build_approval_request_payload(request_).to_create_request_kwargs()
            existing = client.create_request(**fields)["id"]
    log = track_clients(monkeypatch, approval, "KavriCloudClient", timeout=SHORT_TIMEOUT if fault == "slow" else None)
    faults(**FAULTS[fault], **PHASES["poll"])
    before = Resources.now()

    exc = outcome(lambda: run_temporal(cloud, gate, request_, resume=existing))

    before.assert_released()
    log.assert_all_closed()
    pattern = client_error_pattern(fault, cloud.url, re.escape(f"approvals/requests/{existing}"), 200)
    assert_temporal_error(exc, "ApprovalTransportError", f"approval poll failed for {existing}: {pattern}",
                          non_retryable=False)
    assert exc.__cause__ is log.raised("get_request")
    # A failed resume is retried later; it never creates a second request.
    assert "create_request" not in log.calls


# ---------------------------------------------------------------- records without "id" or "status"

TIMEOUT_TEXT = ("timed out after 0.3s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...)"
                " or KAVRI_APPROVAL_TIMEOUT env var.")


def expect_missing_id(handler, exc, heartbeats):
    if handler.temporal:
        assert_temporal_error(exc, "ApprovalMalformedResponse", "approval response missing id field",
                              non_retryable=True)
    else:
        assert type(exc) is KeyError and exc.args == ("id",)


def expect_missing_status(handler, exc, heartbeats):
    if handler.temporal:
        # An empty status is unresolved: Temporal is asked to try again later.
        request_id = heartbeats[0]["approval_request_id"]
        assert_temporal_error(exc, "ApprovalPendingRetry",
                              re.escape(f"approval pending for {request_id}; will retry via Temporal"),
                              non_retryable=False)
        assert [h["approval_status"] for h in heartbeats] == ["pending", "", ""]
    elif handler.name == "langgraph":
        # The LangGraph handler keeps polling a status-less record until its deadline.
        assert isinstance(exc, ApprovalDenied) and exc.reason == TIMEOUT_TEXT
    else:
        assert type(exc) is KeyError and exc.args == ("status",)


@pytest.mark.parametrize(
    ("settings", "expect"),
    [
        pytest.param({"missing_id_rate": 1.0, **PHASES["create"]}, expect_missing_id, id="create-without-id"),
        pytest.param({"missing_status_rate": 1.0, "path_prefix": "/v1/approvals/requests/"}, expect_missing_status,
                     id="polls-without-status"),
    ],
)
@pytest.mark.parametrize("handler", HANDLERS, ids=repr)
def test_records_missing_a_field_give_the_documented_outcome(cloud, faults, gate, request_, monkeypatch, handler,
                                                              settings, expect):
    log = track_clients(monkeypatch, handler.module, handler.client)
    faults(**settings)
    heartbeats: list[dict] = []
    before = Resources.now()

    exc = outcome(lambda: handler.run(cloud, gate, request_, timeout=0.3, heartbeats=heartbeats))

    before.assert_released()
    log.assert_all_closed()
    expect(handler, exc, heartbeats)


# ---------------------------------------------------------------- doctor and connect

PUBLIC_KEY = kavri_core.SigningKey.generate().public_key.to_bytes().hex()
REACHABILITY_HINT = "Check KAVRI_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."


SERVICE_ERRORS = {"500": ("internal_error", "injected fault: internal server error"),
                  "503": ("service_unavailable", "injected fault: service unavailable")}
RETRY_HINT = "Retry later (the local service's fault injection is on)."


def _service_error(fault: str, url: str, path: str, status: int) -> tuple[str, Any, Any]:
    """(message pattern, remediation, raw) of a probe check that recorded the client's error."""
    message = client_error_pattern(fault, url, re.escape(path), status)
    if fault in SERVICE_ERRORS:
        code, text = SERVICE_ERRORS[fault]
        return message, RETRY_HINT, {"code": code, "message": text, "remediation": RETRY_HINT}
    if fault == "malformed":
        return message, None, str  # the cut-short body text
    return message, None, {}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_doctor_turns_every_failing_probe_into_a_check(cloud, faults, monkeypatch, clean_kavri_env, fault):
    log = track_clients(monkeypatch, connect, "KavriCloudClient", timeout=SHORT_TIMEOUT if fault == "slow" else None)
    # The admin key, so the tenant and policy probes reach the fault instead of a 403.
    token = cloud.token(agent=f"doctor-{fault}", admin=True)
    faults(**FAULTS[fault])
    before = Resources.now()

    report = connect.doctor(token, public_key_hex=PUBLIC_KEY, claim=True)

    before.assert_released()
    log.assert_all_closed()
    assert [(c.name, c.status) for c in report.checks] == [
        ("config", "ok"), ("cloud_reachable", "error"), ("tenant_access", "warning"),
        ("approval_policy_access", "warning"), ("agent_claim", "error"),
    ]
    assert report.ok is False and report.claimed_agent is None
    health = report.checks[1]
    assert re.fullmatch(_service_error(fault, cloud.url, "health", 200)[0], health.message)
    assert (health.remediation, health.raw) == (REACHABILITY_HINT, None)
    for check, path in zip(report.checks[2:], ["tenant", "approval-policies", "agents/claim"]):
        message, remediation, raw = _service_error(fault, cloud.url, path, 200)
        assert re.fullmatch(message, check.message), (check.name, check.message)
        assert check.remediation == remediation, check.name
        if raw is str:
            assert isinstance(check.raw, str) and check.raw
        else:
            assert check.raw == raw, check.name
    assert_claim_state(cloud, f"doctor-{fault}", fault)


@pytest.mark.parametrize("fault", list(FAULTS))
def test_connect_passes_a_failed_claim_on_and_closes_its_claim_client(cloud, faults, monkeypatch, clean_kavri_env,
                                                                      fault):
    log = track_clients(monkeypatch, connect, "KavriCloudClient", timeout=SHORT_TIMEOUT if fault == "slow" else None)
    token = cloud.token(agent=f"connect-{fault}")
    faults(**FAULTS[fault], path_prefix="/v1/agents/claim")
    before = Resources.now()

    exc = outcome(lambda: connect.connect(token, public_key_hex=PUBLIC_KEY, apply_env=False))

    before.assert_released()
    log.assert_all_closed()
    assert len(log.clients) == 1  # the claim client; no client is returned
    assert exc is log.raised("_send", "_handle_response")
    assert type(exc) is CLIENT_ERROR_TYPES[fault]
    assert re.fullmatch(client_error_pattern(fault, cloud.url, "agents/claim", 200), str(exc)), str(exc)
    assert_claim_state(cloud, f"connect-{fault}", fault)


@pytest.mark.parametrize("fault", list(FAULTS))
def test_connect_with_verify_fails_before_exporting_or_claiming(cloud, faults, monkeypatch, clean_kavri_env, fault):
    import os

    log = track_clients(monkeypatch, connect, "KavriCloudClient", timeout=SHORT_TIMEOUT if fault == "slow" else None)
    token = cloud.token(agent=f"verify-{fault}")
    faults(**FAULTS[fault])
    before = Resources.now()

    exc = outcome(lambda: connect.connect(token, public_key_hex=PUBLIC_KEY, verify=True))

    before.assert_released()
    log.assert_all_closed()
    assert type(exc) is KavriCloudError
    health = client_error_pattern(fault, cloud.url, "health", 200)
    # The doctor run of verify leaves the claim alone, so only reachability is an error.
    assert re.fullmatch(f"Kavri Cloud bootstrap check failed: cloud_reachable: {health}", str(exc)), str(exc)
    assert exc.remediation == REACHABILITY_HINT
    assert not [key for key in os.environ if key.startswith("KAVRI_")]
    assert _agent_status(cloud, f"verify-{fault}") == "pending"


def _agent_status(cloud: LocalCloud, name: str) -> str:
    (agent,) = [a for a in cloud.agents() if a["name"] == name]
    return agent["status"]


def assert_claim_state(cloud: LocalCloud, name: str, fault: str) -> None:
    """A failed claim leaves the agent pending, unless the service did claim it."""
    if fault == "slow":
        return  # the service may still claim once its delay ends; the client gave up before
    # A cut-short answer is damaged after the service claimed the agent.
    assert _agent_status(cloud, name) == ("active" if fault == "malformed" else "pending")


# ---------------------------------------------------------------- Ctrl+C on the worker-thread path

_INTERRUPTED_CHILD = r'''
import sys

import kavri_core
from kavri.approval import ApprovalGate, Warrant

from kavri_cloud import approval
from kavri_cloud.client import AsyncKavriCloudClient


class Reporting(AsyncKavriCloudClient):
    async def close(self):
        await super().close()
        print("client closed", flush=True)


approval.AsyncKavriCloudClient = Reporting
warrant = Warrant(id="wrt_sigint", holder_key=kavri_core.SigningKey.generate(), tools_requiring_approval={"t"},
                  approvers=[kavri_core.SigningKey.generate().public_key])
request = ApprovalGate(warrant).request_for("t", {})
handler = approval.async_cloud_approval("k_sigint", base_url=sys.argv[1], poll_interval=0.2, timeout=60)
try:
    handler(request).send(None)  # no running loop: the worker-thread path
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(3)
print("not interrupted", flush=True)
'''


def test_ctrl_c_stops_the_asyncio_handler_waiting_on_its_worker_thread(tmp_path):
    import signal
    import subprocess
    import sys

    from tests.httpserver import HTTPTestServer

    with HTTPTestServer() as server:
        server.add(201, json={"id": "apr_sigint", "status": "pending"}, method="POST")
        server.add(json={"id": "apr_sigint", "status": "pending"}, method="GET", repeat=True)
        script = tmp_path / "child.py"
        script.write_text(_INTERRUPTED_CHILD)
        child = subprocess.Popen([sys.executable, str(script), server.url], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 30
            while len([r for r in server.requests if r.method == "GET"]) < 2:  # polling, i.e. waiting
                assert child.poll() is None and time.monotonic() < deadline, child.communicate()
                time.sleep(0.05)
            child.send_signal(signal.SIGINT)
            interrupted = time.monotonic()
            out, err = child.communicate(timeout=10)
            stopped = time.monotonic() - interrupted
        finally:
            if child.poll() is None:
                child.kill()
                child.communicate()
    assert child.returncode == 3, (out, err)
    assert out.split() == ["client", "closed", "interrupted"], (out, err)
    assert stopped < 2.0, f"the handler took {stopped:.1f}s to stop"
