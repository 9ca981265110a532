"""A Temporal worker set up by KavriPluginConfig.from_env, on a real Temporal dev server and the
local Kavri Cloud: guarded activities wait for a human through retries, not by holding a slot."""

from __future__ import annotations

import asyncio
import functools
import inspect
import logging
import uuid
from datetime import timedelta

import pytest

pytest.importorskip("temporalio")
pytest.importorskip("kavri.temporal")

import kavri_core  # noqa: E402
from kavri.approval import ApprovalGate, Warrant  # noqa: E402
from temporalio import activity, workflow  # noqa: E402
from temporalio.client import Client, WorkflowFailureError  # noqa: E402
from temporalio.common import RetryPolicy  # noqa: E402
from temporalio.exceptions import ActivityError, ApplicationError  # noqa: E402
from temporalio.worker import UnsandboxedWorkflowRunner, Worker  # noqa: E402

import kavri_cloud.approval  # noqa: E402
from kavri_cloud import temporal  # noqa: E402
from kavri_cloud.client import KavriCloudClient  # noqa: E402
from tests.e2e.approval_helpers import full_records  # noqa: E402
from tests.e2e.temporal_server import temporal_server, until  # noqa: E402,F401
from tests.temporal_fakes import clean_env  # noqa: E402,F401

pytestmark = pytest.mark.e2e

GUARDED = "send_report"
RESUMING = "resuming approval request %s for %s from heartbeat"

ran: list[tuple[str, int]] = []


@activity.defn(name=GUARDED)
async def send_report(to: str) -> str:
    ran.append((GUARDED, activity.info().attempt))
    return f"report sent to {to}"


@activity.defn
async def ping() -> str:
    ran.append(("ping", activity.info().attempt))
    return "pong"


@workflow.defn
class RunOne:
    @workflow.run
    async def run(self, name: str, args: list) -> str:
        return await workflow.execute_activity(
            name,
            args=args,
            start_to_close_timeout=timedelta(seconds=30),
            # Short and flat, so a pending approval is looked at again within a second.
            retry_policy=RetryPolicy(initial_interval=timedelta(milliseconds=500), backoff_coefficient=1.0,
                                     maximum_attempts=100),
        )


@workflow.defn
class RunOneBriefly:
    """RunOne with three attempts: a request that stays pending fails the workflow soon."""

    @workflow.run
    async def run(self, name: str, args: list) -> str:
        return await workflow.execute_activity(
            name,
            args=args,
            start_to_close_timeout=timedelta(seconds=30),
            retry_policy=RetryPolicy(initial_interval=timedelta(seconds=1), backoff_coefficient=1.0,
                                     maximum_attempts=3),
        )


@pytest.fixture(autouse=True)
def _fresh_runs():
    ran.clear()


@pytest.fixture
def fast_polls(monkeypatch):
    """The handler that from_env wires, with short fast polls (looked up in kavri_cloud.approval)."""
    monkeypatch.setattr(kavri_cloud.approval, "temporal_cloud_approval",
                        functools.partial(kavri_cloud.approval.temporal_cloud_approval, fast_poll_seconds=0.2,
                                          fast_poll_attempts=2))


@pytest.fixture
def worker_key():
    return kavri_core.SigningKey.generate()


@pytest.fixture
def gate(local_cloud, worker_key):
    approvers = [kavri_core.PublicKey.from_bytes(a.public_key_bytes) for a in local_cloud.approvers[:1]]
    return ApprovalGate(Warrant(id="wrt_temporal_e2e", holder_key=worker_key, tools_requiring_approval={GUARDED},
                                approvers=approvers))


@pytest.fixture
def config_from_token(local_cloud, clean_env, fast_polls, worker_key, gate):
    """A configuration built the way a worker starts: a Quick Connect token and a key in the environment."""
    clean_env.setenv("KAVRI_CONNECT_TOKEN", local_cloud.token(agent="temporal-e2e-worker"))
    clean_env.setenv("KAVRI_SIGNING_KEY", worker_key.to_bytes().hex())
    clean_env.setenv("KAVRI_ENFORCEMENT", "enforce")
    config = temporal.KavriPluginConfig.from_env(gate=gate, activity_fns=[send_report, ping])
    yield config
    if config.control_plane is not None:
        config.control_plane.receipt_sink.client.close()


@pytest.fixture
def cloud_records(local_cloud):
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as client:
        yield lambda status=None: full_records(client, status)



async def run_worker(address, plugin, scenario, **worker_options):
    client = await Client.connect(address)
    queue = f"kavri-e2e-{uuid.uuid4().hex}"
    async with Worker(client, task_queue=queue, workflows=[RunOne, RunOneBriefly],
                      workflow_runner=UnsandboxedWorkflowRunner(),
                      plugins=[plugin], **worker_options):
        return await scenario(client, queue)


def start(client, queue, name, *args):
    return client.start_workflow(RunOne.run, args=[name, list(args)], id=f"{queue}-{uuid.uuid4().hex[:8]}",
                                 task_queue=queue, execution_timeout=timedelta(seconds=90))


def test_from_env_bootstraps_the_worker_from_a_quick_connect_token(config_from_token, local_cloud, worker_key):
    config = config_from_token
    assert config.signing_key == worker_key
    assert type(config.approval_handler).__name__ == "TemporalCloudApprovalHandler"
    assert config.approval_handler._base_url == local_cloud.url
    assert config.control_plane.url == local_cloud.url
    assert config.dry_run is False
    (agent,) = [a for a in local_cloud.agents() if a["name"] == "temporal-e2e-worker"]
    assert agent["status"] == "active"


def test_a_pending_approval_is_retried_resumed_and_completes_once_approved(
    temporal_server, config_from_token, local_cloud, cloud_records, caplog
):
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")

    def resumed(request_id):
        return [r for r in caplog.records if r.msg == RESUMING and r.args[0] == request_id]

    async def scenario(client, queue):
        guarded = await start(client, queue, GUARDED, "ops@example.com")
        (record,) = await until(lambda: cloud_records("pending"), "the approval request")
        # A later attempt picks the same request up from its heartbeat details.
        await until(lambda: resumed(record["id"]), "a retry that resumes the request")
        # The one activity slot is free between attempts: another activity runs meanwhile.
        assert await (await start(client, queue, "ping")).result() == "pong"
        assert (await asyncio.to_thread(cloud_records, "pending"))[0]["id"] == record["id"]
        await asyncio.to_thread(local_cloud.approve, record["id"])
        return record, await guarded.result()

    record, result = asyncio.run(run_worker(temporal_server, temporal.KavriPlugin(config_from_token), scenario,
                                            max_concurrent_activities=1))
    assert result == "report sent to ops@example.com"
    assert [r["id"] for r in cloud_records()] == [record["id"]]  # never a second request
    (guarded_run,) = [attempt for name, attempt in ran if name == GUARDED]
    assert guarded_run > 2
    receipts = [r["receipt"] for r in local_cloud.receipts()]
    assert [(r["tool"], r["decision"], r["authorizer"]) for r in receipts] == [(GUARDED, "approved", "temporal-worker")]


def test_a_denial_ends_the_activity_for_good(temporal_server, config_from_token, local_cloud, cloud_records):
    async def scenario(client, queue):
        guarded = await start(client, queue, GUARDED, "ops@example.com")
        (record,) = await until(lambda: cloud_records("pending"), "the approval request")
        await asyncio.to_thread(local_cloud.deny, record["id"], "not before the audit")
        with pytest.raises(WorkflowFailureError) as info:
            await guarded.result()
        return record, info.value

    record, failure = asyncio.run(run_worker(temporal_server, temporal.KavriPlugin(config_from_token), scenario))
    assert isinstance(failure.cause, ActivityError)
    error = failure.cause.cause
    assert isinstance(error, ApplicationError)
    assert (error.type, error.non_retryable) == ("ApprovalDenied", True)
    assert error.message == f"approval denied for {record['id']}: not before the audit"
    assert [name for name, _ in ran] == []


def test_the_deprecated_set_up_gives_a_plugin_the_same_worker_accepts(
    temporal_server, local_cloud, clean_env, worker_key, gate, cloud_records
):
    calls = []
    for _ in range(2):
        with pytest.warns(DeprecationWarning) as caught:
            line = inspect.currentframe().f_lineno + 1
            plugin = temporal.configure_temporal_worker([send_report, ping], api_key=local_cloud.admin_key,
                                                        control_plane_url=local_cloud.url, signing_key=worker_key,
                                                        fast_poll_seconds=0.2, fast_poll_attempts=2)
        calls.append([(w.category, w.filename, w.lineno) for w in caught])
    assert calls == [[(DeprecationWarning, __file__, line)]] * 2
    plugin.config.gate = gate  # the warrant comes with the worker's own code

    async def scenario(client, queue):
        guarded = await start(client, queue, GUARDED, "finance@example.com")
        (record,) = await until(lambda: cloud_records("pending"), "the approval request")
        await asyncio.to_thread(local_cloud.approve, record["id"])
        return await guarded.result()

    result = asyncio.run(run_worker(temporal_server, plugin, scenario))
    assert result == "report sent to finance@example.com"


@pytest.fixture
def quorum_config(local_cloud, clean_env, fast_polls, worker_key):
    """A worker whose warrant needs two of the local approvers."""
    approvers = [kavri_core.PublicKey.from_bytes(a.public_key_bytes) for a in local_cloud.approvers[:2]]
    gate = ApprovalGate(Warrant(id="wrt_quorum", holder_key=worker_key, tools_requiring_approval={GUARDED},
                                approvers=approvers, min_approvals=2))
    clean_env.setenv("KAVRI_CONNECT_TOKEN", local_cloud.token(agent="temporal-quorum-worker"))
    clean_env.setenv("KAVRI_SIGNING_KEY", worker_key.to_bytes().hex())
    clean_env.setenv("KAVRI_ENFORCEMENT", "enforce")
    config = temporal.KavriPluginConfig.from_env(gate=gate, activity_fns=[send_report, ping])
    yield config
    if config.control_plane is not None:
        config.control_plane.receipt_sink.client.close()


@pytest.mark.parametrize("approvals", [2, 1])
def test_a_warrant_that_needs_two_approvals_passes_once_both_humans_approve(
    temporal_server, quorum_config, local_cloud, cloud_records, approvals
):
    names = [a.name for a in local_cloud.approvers[:approvals]]

    async def scenario(client, queue):
        workflow_cls = RunOne if approvals == 2 else RunOneBriefly
        guarded = await client.start_workflow(workflow_cls.run, args=[GUARDED, ["board@example.com"]],
                                              id=f"{queue}-quorum", task_queue=queue,
                                              execution_timeout=timedelta(seconds=90))
        (record,) = await until(lambda: cloud_records("pending"), "the approval request")
        assert record["threshold"] == 2
        for name in names:
            await asyncio.to_thread(local_cloud.approve, record["id"], name)
        if approvals == 2:
            return await guarded.result()
        with pytest.raises(WorkflowFailureError) as info:
            await guarded.result()
        return info.value

    outcome = asyncio.run(run_worker(temporal_server, temporal.KavriPlugin(quorum_config), scenario))
    if approvals == 2:
        # Both signed approvals reach the gate, which needs exactly that many.
        assert outcome == "report sent to board@example.com"
        assert [name for name, _ in ran] == [GUARDED]
    else:
        # One approval of two leaves the request pending: the attempts run out and nothing runs.
        error = outcome.cause.cause
        assert isinstance(error, ApplicationError)
        assert (error.type, error.non_retryable) == ("ApprovalPendingRetry", False)
        assert ran == []
    (record,) = cloud_records()
    assert sum(1 for r in record["responses"] if r.get("signed_approval")) == approvals
