"""A tampered or man-in-the-middle Kavri Cloud never gets a guarded tool run.

The handlers talk to a proxy on loopback that forwards every request to the
real local Kavri Cloud, where real approvers sign, and rewrites the approval
records on the way back: approvals re-signed by a key the warrant does not
trust, an approver's key with someone else's signature, an approval replayed
from another request, a denial turned into an approval, and approvals short of
the warrant's threshold. Through each integration (the SDK's gate with the
generic handlers, the LangGraph middleware and tool node, the SDK's Temporal
plugin on a real worker) the guarded tool must not run in enforce mode, and in
observe-first mode the denial must be logged. An untouched record, through the
same proxy, lets the tool run, so the proxy itself is not what stops it.
"""

from __future__ import annotations

import asyncio
import base64
import dataclasses
import http.client
import json
import logging
import re
import threading
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import kavri_core
import pytest
from kavri.approval import ApprovalDenied, ApprovalGate
from kavri_core import SignedApproval
from temporalio import activity, workflow
from temporalio.common import RetryPolicy

from kavri_cloud import approval, langgraph
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.payload_forge import build_approval_request_payload
from tests.e2e.approval_helpers import Human, approve_by, deny_with, gate_for
from tests.e2e.temporal_server import temporal_server  # noqa: F401 (fixture)

pytestmark = pytest.mark.e2e

TOOL = "send_email"
ARGS = {"to": "ops@example.com", "subject": "Q3"}


# ---------------------------------------------------------------- the man in the middle


class TamperingProxy:
    """Forwards to `upstream` and passes each approval record it returns through `tamper`."""

    def __init__(self, upstream: str, tamper: Callable[[dict[str, Any]], None]) -> None:
        host, port = upstream.removeprefix("http://").split(":")
        proxy = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
                pass

            def _forward(self) -> None:
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                upstream_conn = http.client.HTTPConnection(host, int(port), timeout=10)
                try:
                    headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
                    upstream_conn.request(self.command, self.path, body=body or None, headers=headers)
                    answer = upstream_conn.getresponse()
                    status, payload = answer.status, answer.read()
                    content_type = answer.getheader("Content-Type", "application/json")
                finally:
                    upstream_conn.close()
                if self.path.startswith("/v1/approvals/requests") and payload:
                    record = json.loads(payload)
                    if isinstance(record, dict) and "status" in record:
                        with proxy.lock:
                            tamper(record)
                        payload = json.dumps(record).encode()
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_GET = do_POST = _forward  # noqa: N815

        self.lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)

    def __enter__(self) -> TamperingProxy:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)


def _decode(text: str) -> SignedApproval:
    return SignedApproval.from_bytes(base64.b64decode(text, validate=True))


def _encode(sa: SignedApproval) -> str:
    return base64.b64encode(sa.to_bytes()).decode()


@dataclasses.dataclass
class Forger:
    """What the attacker holds: a key of its own and a genuine approval of some other request."""

    key: kavri_core.SigningKey
    other_responses: list[dict[str, Any]]

    def resign(self, record: dict[str, Any]) -> None:
        if record["status"] == "approved":
            for response in record["responses"]:
                genuine = _decode(response["signed_approval"])
                response["signed_approval"] = _encode(SignedApproval.create(self.key, genuine.request_hash))

    def impersonate(self, record: dict[str, Any]) -> None:
        # The approver's own public key, but a signature made with the attacker's key.
        if record["status"] == "approved":
            for response in record["responses"]:
                genuine = _decode(response["signed_approval"])
                unsigned = SignedApproval(genuine.request_hash, genuine.approver_key, genuine.approved_at, bytes(64))
                forged = SignedApproval(genuine.request_hash, genuine.approver_key, genuine.approved_at,
                                        self.key.sign(unsigned.signed_message()))
                response["signed_approval"] = _encode(forged)

    def replay(self, record: dict[str, Any]) -> None:
        if record["status"] == "approved":
            record["responses"] = [dict(r) for r in self.other_responses]

    def approve_denial(self, record: dict[str, Any]) -> None:
        if record["status"] == "denied":
            record["status"] = "approved"
            record["denied_reason"] = None
            record["responses"] = [dict(r) for r in self.other_responses]

    @staticmethod
    def keep_first(record: dict[str, Any]) -> None:
        if record["status"] == "approved":
            record["responses"] = record["responses"][:1]

    @staticmethod
    def first_twice(record: dict[str, Any]) -> None:
        if record["status"] == "approved":
            record["responses"] = record["responses"][:1] * 2

    @staticmethod
    def untouched(record: dict[str, Any]) -> None:
        pass


VERIFY = "signed approval verification failed: "
NEED_ONE = re.escape(VERIFY + "need 1 valid approval(s) from distinct approvers, got 0; rejected: ")
NEED_TWO = re.escape(VERIFY + "need 2 valid approval(s) from distinct approvers, got 1")


@dataclasses.dataclass
class Tampering:
    name: str
    rewrite: Callable[[Forger], Callable[[dict[str, Any]], None]]
    decide: Callable[[Any, str], None]
    denial: str | None  # the gate's denial reason (a regex); None: the tool runs
    approvers: int = 1
    # The SDK's decoder rejects a bad signature outright: the handler fails with its
    # error instead of returning approvals for the gate to deny.
    rejected_by_decoder: bool = False

    def __repr__(self) -> str:
        return self.name


TAMPERINGS = [
    Tampering("untouched", lambda f: f.untouched, approve_by("alice"), None),
    Tampering("re-signed-by-an-unknown-key", lambda f: f.resign, approve_by("alice"),
              NEED_ONE + r"#0 is signed by [0-9a-f]{64}, which is not an approver"),
    Tampering("approver-key-with-a-forged-signature", lambda f: f.impersonate, approve_by("alice"), None,
              rejected_by_decoder=True),
    Tampering("replayed-from-another-request", lambda f: f.replay, approve_by("alice"),
              NEED_ONE + re.escape("#0 approves a different request")),
    Tampering("denial-turned-into-an-approval", lambda f: f.approve_denial, deny_with("too risky"),
              NEED_ONE + re.escape("#0 approves a different request")),
    Tampering("short-of-the-threshold", lambda f: f.keep_first, approve_by("alice", "bob"), NEED_TWO, approvers=2),
    Tampering("one-approver-counted-twice", lambda f: f.first_twice, approve_by("alice", "bob"),
              NEED_TWO + re.escape("; rejected: #1 repeats approver ") + "[0-9a-f]{64}", approvers=2),
]


@dataclasses.dataclass
class Scene:
    cloud: Any
    gate: ApprovalGate
    proxy: TamperingProxy
    tampering: Tampering
    ran: list[Any]

    def send_email(self, to: str, subject: str) -> str:
        self.ran.append((to, subject))
        return f"sent to {to}"


@pytest.fixture
def scene(local_cloud, request) -> Iterator[Scene]:
    tampering: Tampering = request.param
    gate = gate_for(local_cloud, approvers=tampering.approvers, min_approvals=tampering.approvers, tool=TOOL)
    other = gate.request_for(TOOL, {"to": "someone-else@example.com", "subject": "another call"})
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as client:
        created = client.create_request(**build_approval_request_payload(other).to_create_request_kwargs())
        for name in ("alice", "bob")[: tampering.approvers]:
            local_cloud.approve(created["id"], approver=name)
        other_responses = client.get_request(created["id"])["responses"]
    forger = Forger(kavri_core.SigningKey.generate(), other_responses)
    with TamperingProxy(local_cloud.url, tampering.rewrite(forger)) as proxy, \
            Human(local_cloud, tampering.decide, delay=0.02):
        yield Scene(local_cloud, gate, proxy, tampering, [])


# ---------------------------------------------------------------- the integrations, enforce mode
#
# Each returns ("ran", result), ("denied", reason) or ("failed", exception).


def via_gate_blocking(scene: Scene) -> tuple[str, Any]:
    handler = approval.cloud_approval(scene.cloud.runtime_key, base_url=scene.proxy.url, poll_interval=0.05,
                                      timeout=10.0)
    try:
        scene.gate.authorize(TOOL, ARGS, handler)
    except ApprovalDenied as denial:
        return "denied", denial.reason
    except Exception as exc:  # noqa: BLE001 - a failure is an outcome
        return "failed", exc
    return "ran", scene.send_email(**ARGS)


def via_gate_asyncio(scene: Scene) -> tuple[str, Any]:
    handler = approval.async_cloud_approval(scene.cloud.runtime_key, base_url=scene.proxy.url, poll_interval=0.05,
                                            timeout=10.0)

    async def guarded() -> tuple[str, Any]:
        try:
            await scene.gate.aauthorize(TOOL, ARGS, handler)
        except ApprovalDenied as denial:
            return "denied", denial.reason
        except Exception as exc:  # noqa: BLE001
            return "failed", exc
        return "ran", scene.send_email(**ARGS)

    return asyncio.run(guarded())


def _langgraph_tool(scene: Scene) -> Any:
    from langchain_core.tools import tool

    @tool(TOOL)
    def send_email(to: str, subject: str) -> str:
        """Send an e-mail."""
        return scene.send_email(to, subject)

    return send_email


def _cloud_handler(scene: Scene) -> Any:
    return langgraph.langgraph_cloud_approval(scene.cloud.runtime_key, base_url=scene.proxy.url, poll_interval=0.05,
                                              timeout=10.0)


def _tool_message(messages: list[Any]) -> tuple[str, Any]:
    from langchain_core.messages import ToolMessage

    (message,) = [m for m in messages if isinstance(m, ToolMessage)]
    if message.status == "success":
        return "ran", message.content
    prefix = f"Authorization denied for tool '{TOOL}': "
    assert message.content.startswith(prefix), message.content
    return "denied", message.content[len(prefix):]


def _scripted_model() -> Any:
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage

    class Scripted(GenericFakeChatModel):
        def bind_tools(self, tools: Any, **kwargs: Any) -> Any:
            return self

    call = {"name": TOOL, "args": ARGS, "id": f"call-{uuid.uuid4().hex[:8]}"}
    return Scripted(messages=iter([AIMessage(content="", tool_calls=[call]), AIMessage(content="done")]))


def via_langgraph_middleware(scene: Scene, *, dry_run: bool = False, asynchronous: bool = True) -> tuple[str, Any]:
    from langchain.agents import create_agent

    middleware = langgraph.KavriMiddleware(approval_handler=_cloud_handler(scene), gate=scene.gate, dry_run=dry_run)
    agent = create_agent(_scripted_model(), [_langgraph_tool(scene)], middleware=[middleware])
    start = {"messages": [("user", "send the numbers")]}
    try:
        state = asyncio.run(agent.ainvoke(start)) if asynchronous else agent.invoke(start)
    except Exception as exc:  # noqa: BLE001
        return "failed", exc
    return _tool_message(state["messages"])


def via_langgraph_middleware_sync(scene: Scene) -> tuple[str, Any]:
    return via_langgraph_middleware(scene, asynchronous=False)


def via_langgraph_tool_node(scene: Scene) -> tuple[str, Any]:
    from langchain_core.messages import AIMessage
    from langgraph.graph import END, START, MessagesState, StateGraph

    node = langgraph.KavriToolNode([_langgraph_tool(scene)], approval_handler=_cloud_handler(scene), gate=scene.gate,
                                   dry_run=False)
    graph = StateGraph(MessagesState)
    graph.add_node("tools", node)
    graph.add_edge(START, "tools")
    graph.add_edge("tools", END)
    call = {"name": TOOL, "args": ARGS, "id": "call-1"}
    try:
        state = asyncio.run(graph.compile().ainvoke({"messages": [AIMessage(content="", tool_calls=[call])]}))
    except Exception as exc:  # noqa: BLE001
        return "failed", exc
    return _tool_message(state["messages"])


# Temporal: the SDK's plugin on a real worker and dev server, with the cloud Temporal handler.

TEMPORAL_RAN: list[Any] = []


@activity.defn(name=TOOL)
def temporal_send_email(to: str, subject: str) -> str:
    TEMPORAL_RAN.append((to, subject))
    return f"sent to {to}"


@workflow.defn(name="ForgedApprovalWorkflow", sandboxed=False)
class SendOnce:
    @workflow.run
    async def run(self) -> str:
        return await workflow.execute_activity(
            TOOL, args=[ARGS["to"], ARGS["subject"]], start_to_close_timeout=timedelta(seconds=30),
            retry_policy=RetryPolicy(initial_interval=timedelta(milliseconds=200), maximum_attempts=2),
        )


def via_temporal_plugin(scene: Scene, *, dry_run: bool = False, address: str = "") -> tuple[str, Any]:
    from kavri.temporal import KavriPlugin, KavriPluginConfig
    from temporalio.client import Client, WorkflowFailureError
    from temporalio.exceptions import ActivityError, ApplicationError
    from temporalio.worker import UnsandboxedWorkflowRunner, Worker

    activity_fn, workflow_cls = temporal_send_email, SendOnce
    handler = approval.temporal_cloud_approval(scene.cloud.runtime_key, scene.gate.warrant.holder_key,
                                               base_url=scene.proxy.url, fast_poll_seconds=0.05,
                                               fast_poll_attempts=100)
    plugin = KavriPlugin(KavriPluginConfig(gate=scene.gate, approval_handler=handler, activity_fns=[activity_fn],
                                           dry_run=dry_run))

    async def scenario(executor: ThreadPoolExecutor) -> tuple[str, Any]:
        client = await Client.connect(address)
        queue = f"forged-{uuid.uuid4().hex}"
        async with Worker(client, task_queue=queue, workflows=[workflow_cls], plugins=[plugin],
                          workflow_runner=UnsandboxedWorkflowRunner(), activity_executor=executor):
            try:
                return "ran", await client.execute_workflow(workflow_cls.run, id=queue, task_queue=queue,
                                                            execution_timeout=timedelta(seconds=60))
            except WorkflowFailureError as failure:
                cause = failure.cause
                assert isinstance(cause, ActivityError) and isinstance(cause.cause, ApplicationError), failure
                return "failed", cause.cause

    TEMPORAL_RAN.clear()
    with ThreadPoolExecutor(2) as executor:
        outcome = asyncio.run(scenario(executor))
    scene.ran.extend(TEMPORAL_RAN)
    kind, value = outcome
    if kind == "failed" and value.type == "ApprovalDenied":
        prefix = f"activity {TOOL} denied: "
        assert value.message.startswith(prefix) and value.non_retryable, value
        return "denied", value.message[len(prefix):]
    return outcome


GENERIC = [via_gate_blocking, via_gate_asyncio]
LANGGRAPH = [via_langgraph_middleware, via_langgraph_middleware_sync, via_langgraph_tool_node]


def assert_enforced(scene: Scene, outcome: tuple[str, Any], *, temporal: bool = False) -> None:
    kind, value = outcome
    tampering = scene.tampering
    if tampering.denial is None and not tampering.rejected_by_decoder:
        assert kind == "ran" and scene.ran == [(ARGS["to"], ARGS["subject"])], outcome
        return
    assert scene.ran == [], f"the guarded tool ran: {outcome}"
    if tampering.rejected_by_decoder:
        assert kind == "failed", outcome
        if temporal:
            # No response decodes, so the Temporal handler fails for good.
            assert (value.type, value.non_retryable) == ("ApprovalMalformedResponse", True), value
        else:
            assert type(value) is ValueError and str(value) == "signed approval #0 rejected: signed approval signature is invalid", value
        return
    expected = tampering.denial  # the Temporal handler hands on every approval, as the others do
    assert kind == "denied", outcome
    assert re.fullmatch(expected, value), value


@pytest.mark.parametrize("scene", TAMPERINGS, ids=repr, indirect=True)
@pytest.mark.parametrize("integration", GENERIC + LANGGRAPH, ids=lambda f: f.__name__.removeprefix("via_"))
def test_a_tampered_approval_never_runs_the_tool_in_enforce_mode(scene, integration):
    assert_enforced(scene, integration(scene))


@pytest.mark.parametrize("scene", TAMPERINGS, ids=repr, indirect=True)
def test_a_tampered_approval_never_runs_a_temporal_activity_in_enforce_mode(scene, temporal_server):
    assert_enforced(scene, via_temporal_plugin(scene, address=temporal_server), temporal=True)


# ---------------------------------------------------------------- observe-first mode

DENIALS = [t for t in TAMPERINGS if t.denial is not None]


@pytest.mark.parametrize("scene", DENIALS, ids=repr, indirect=True)
def test_observe_first_middleware_logs_the_denial_and_runs_the_tool(scene, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    kind, _ = via_langgraph_middleware(scene, dry_run=True)
    assert kind == "ran" and scene.ran == [(ARGS["to"], ARGS["subject"])]
    assert f"kavri_cloud.langgraph: observe-first allowing '{TOOL}' after denial" in [
        r.getMessage() for r in caplog.records if r.name == "kavri_cloud.langgraph"
    ]


@pytest.mark.parametrize("scene", DENIALS, ids=repr, indirect=True)
def test_observe_first_temporal_plugin_logs_the_denial_and_runs_the_activity(scene, caplog, temporal_server):
    caplog.set_level(logging.WARNING, logger="kavri.temporal")
    kind, _ = via_temporal_plugin(scene, dry_run=True, address=temporal_server)
    assert kind == "ran" and scene.ran == [(ARGS["to"], ARGS["subject"])]
    expected = scene.tampering.denial
    logged = [r.getMessage() for r in caplog.records if r.name == "kavri.temporal"]
    pattern = f"dry run: activity {TOOL} would be denied \\({expected}\\); running it anyway"
    assert any(re.fullmatch(pattern, line) for line in logged), logged


@pytest.mark.parametrize(
    "scene", [t for t in TAMPERINGS if t.rejected_by_decoder], ids=repr, indirect=True
)
def test_observe_first_does_not_run_a_tool_whose_approval_does_not_decode(scene, caplog):
    # Not a denial: the decoder's error stops the call even when denials are only observed.
    kind, value = via_langgraph_middleware(scene, dry_run=True)
    assert (kind, type(value)) == ("failed", ValueError) and scene.ran == []
