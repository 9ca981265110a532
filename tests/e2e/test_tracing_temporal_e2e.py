"""A guarded activity on a real Temporal dev server, traced with temporalio's OpenTelemetry
interceptor on the worker: each attempt of the approval wait is a span under that attempt's
activity span, and the attempts of one approval share its request id."""

from __future__ import annotations

import asyncio
import time
import uuid
from datetime import timedelta

import pytest

pytest.importorskip("temporalio.contrib.opentelemetry")
pytest.importorskip("opentelemetry.sdk")

import kavri_core  # noqa: E402
from kavri.approval import ApprovalGate, Warrant  # noqa: E402
from kavri.temporal import KavriPlugin, KavriPluginConfig  # noqa: E402
from temporalio import activity, workflow  # noqa: E402
from temporalio.client import Client  # noqa: E402
from temporalio.common import RetryPolicy  # noqa: E402
from temporalio.contrib.opentelemetry import TracingInterceptor  # noqa: E402
from temporalio.worker import UnsandboxedWorkflowRunner, Worker  # noqa: E402

from kavri_cloud import approval  # noqa: E402
from tests.e2e.temporal_server import temporal_server  # noqa: E402,F401
from tests.otel_fixture import otel  # noqa: E402,F401

pytestmark = pytest.mark.e2e

TOOL = "send_traced_report"


@activity.defn(name=TOOL)
async def send_traced_report(to: str) -> str:
    return f"report sent to {to}"


@workflow.defn
class TracedReport:
    @workflow.run
    async def run(self, to: str) -> str:
        return await workflow.execute_activity(
            TOOL, args=[to], start_to_close_timeout=timedelta(seconds=30),
            # Room between attempts for the test to approve after exactly two of them.
            retry_policy=RetryPolicy(initial_interval=timedelta(seconds=2), backoff_coefficient=1.0,
                                     maximum_attempts=10),
        )


def test_a_workflow_retried_twice_shows_three_attempt_spans_sharing_the_request_under_their_activity_spans(
    temporal_server, local_cloud, otel
):
    worker_key = kavri_core.SigningKey.generate()
    approvers = [kavri_core.PublicKey.from_bytes(a.public_key_bytes) for a in local_cloud.approvers[:1]]
    gate = ApprovalGate(Warrant(id="wrt_traced", holder_key=worker_key, tools_requiring_approval={TOOL},
                                approvers=approvers))
    handler = approval.temporal_cloud_approval(local_cloud.runtime_key, worker_key, base_url=local_cloud.url,
                                               fast_poll_seconds=0.05, fast_poll_attempts=1)
    config = KavriPluginConfig(signing_key=worker_key, approval_handler=handler, gate=gate,
                               activity_fns=[send_traced_report])

    async def scenario() -> str:
        client = await Client.connect(temporal_server, interceptors=[TracingInterceptor()])
        queue = f"kavri-traced-{uuid.uuid4().hex}"
        async with Worker(client, task_queue=queue, workflows=[TracedReport],
                          plugins=[KavriPlugin(config)], workflow_runner=UnsandboxedWorkflowRunner()):
            handle = await client.start_workflow(TracedReport.run, "ops@example.com", id=f"{queue}-wf",
                                                 task_queue=queue, execution_timeout=timedelta(seconds=60))
            deadline = time.monotonic() + 30
            while len(otel.waits()) < 2:  # two attempts ended with the approval pending
                assert time.monotonic() < deadline, "two pending attempts did not come"
                await asyncio.sleep(0.02)
            request_id = otel.waits()[0].attributes["kavri.approval.request.id"]
            await asyncio.to_thread(local_cloud.approve, request_id)
            return await handle.result()

    assert asyncio.run(scenario()) == "report sent to ops@example.com"

    waits = otel.waits()
    assert [w.attributes["kavri.approval.outcome"] for w in waits] == ["pending", "pending", "approved"]
    assert [w.attributes["kavri.temporal.attempt"] for w in waits] == [1, 2, 3]
    assert [w.attributes["kavri.approval.request.origin"] for w in waits] == ["created", "resumed", "resumed"]
    assert len({w.attributes["kavri.approval.request.id"] for w in waits}) == 1
    assert len({w.context.trace_id for w in waits}) == 1  # one workflow, one trace
    activities = {s.context.span_id: s for s in otel.spans(f"RunActivity:{TOOL}")}
    parents = [activities[w.parent.span_id] for w in waits]  # each under its own attempt's activity span
    assert len({p.context.span_id for p in parents}) == 3
    assert waits[-1].attributes["kavri.approval.signed_count"] == 1

    # Counted once, when the wait ended, with the service's own measure of how long it took.
    metrics = otel.metrics()
    labels = {"gen_ai.tool.name": TOOL, "kavri.approval.outcome": "approved", "kavri.approval.handler": "temporal"}
    assert metrics["kavri.approval.outcomes"] == [(labels, 1)]
