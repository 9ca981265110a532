"""Every approval wait in the trace: the four handler shapes against the real local Kavri Cloud,
recorded by the OpenTelemetry SDK's in-memory span exporter and metric reader."""

from __future__ import annotations

import asyncio
import dataclasses
from datetime import timedelta

import pytest

pytest.importorskip("opentelemetry.sdk")

from kavri.approval import ApprovalDenied  # noqa: E402
from temporalio.exceptions import ApplicationError  # noqa: E402
from temporalio.testing import ActivityEnvironment  # noqa: E402

from opentelemetry.trace import StatusCode  # noqa: E402

from kavri_cloud import approval, langgraph  # noqa: E402
from kavri_cloud.client import KavriCloudClient  # noqa: E402
from tests.e2e.approval_helpers import Human, approve_by, deny_with, full_records, gate_for  # noqa: E402
from tests.otel_fixture import otel  # noqa: E402,F401

pytestmark = pytest.mark.e2e

ARGS = {"to": "ops@example.com", "subject": "Q3"}


def blocking(cloud, gate, timeout):
    return approval.cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, timeout=timeout)


def asynchronous(cloud, gate, timeout):
    handler = approval.async_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, timeout=timeout)
    return lambda request: asyncio.run(handler(request))


def langgraph_handler(cloud, gate, timeout):
    handler = langgraph.langgraph_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05,
                                                 timeout=timeout, dashboard_url="http://dashboard.test/")
    return lambda request: asyncio.run(handler(request))


def temporal_handler(cloud, gate, timeout):
    # Outside a worker: one attempt, polling long enough for the human unless the case wants it pending.
    attempts = 2 if timeout < 1 else 60
    handler = approval.temporal_cloud_approval(cloud.admin_key, gate.warrant.holder_key, base_url=cloud.url,
                                               fast_poll_seconds=0.05, fast_poll_attempts=attempts)
    env = ActivityEnvironment()
    # The attempt's own timeout outlasts the polls (the test environment's default is 1 s).
    env.info = dataclasses.replace(env.info, workflow_id="wf", workflow_run_id="run", activity_id="1", attempt=1,
                                   start_to_close_timeout=timedelta(seconds=60))
    return lambda request: env.run(handler, request)


SHAPES = {"blocking": blocking, "asyncio": asynchronous, "langgraph": langgraph_handler, "temporal": temporal_handler}
DENIALS = (ApprovalDenied, ApplicationError)

# case: (human, gate ttl, handler timeout, outcome; the Temporal attempt's own outcome when it differs)
CASES = {
    "approved": (approve_by("alice"), None, 10.0, "approved"),
    "denied": (deny_with("not on a Friday"), None, 10.0, "denied"),
    "expired": (None, 1, 10.0, "expired"),
    "timed_out": (None, None, 0.3, "timed_out"),
}


def run_case(cloud, shape, case, tracer):
    human, ttl, timeout, _ = CASES[case]
    gate = gate_for(cloud, ttl_seconds=ttl)
    request = gate.request_for("send_email", ARGS, request_id="call_123")
    handler = SHAPES[shape](cloud, gate, timeout)
    with tracer.start_as_current_span("caller") as caller:
        if human is None:
            with pytest.raises(DENIALS) as info:
                handler(request)
            return caller, None, info.value
        with Human(cloud, human):
            try:
                return caller, handler(request), None
            except DENIALS as exc:
                return caller, None, exc


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("shape", list(SHAPES))
def test_each_wait_is_one_span_under_the_callers_span_with_its_outcome(local_cloud, otel, shape, case):
    caller, result, error = run_case(local_cloud, shape, case, otel.tracer)
    expected = CASES[case][3]
    if shape == "temporal" and case == "timed_out":
        expected = "pending"  # the attempt hands the wait back to Temporal's retries
    assert (result is None) == (case != "approved"), error

    (wait,) = otel.waits()
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as client:
        (record,) = full_records(client)
    attrs = dict(wait.attributes)
    assert wait.name == "kavri.approval.wait send_email"
    assert wait.parent is not None and wait.parent.span_id == caller.get_span_context().span_id
    assert wait.context.trace_id == caller.get_span_context().trace_id
    assert attrs["gen_ai.tool.name"] == "send_email"
    assert attrs["gen_ai.tool.call.id"] == "call_123"
    assert attrs["kavri.approval.handler"] == shape
    assert attrs["kavri.approval.outcome"] == expected
    assert attrs["kavri.approval.request.id"] == record["id"]
    polls = [e for e in wait.events if e.name == "kavri.approval.poll"]
    assert attrs["kavri.approval.poll_count"] == len(polls) >= (0 if shape == "temporal" and case != "timed_out" else 1)
    assert [e.attributes["kavri.approval.poll_count"] for e in polls] == list(range(1, len(polls) + 1))
    if case == "approved":
        assert attrs["kavri.approval.signed_count"] == 1
        assert attrs["kavri.approval.approvers"] == ("alice",)
        assert attrs["kavri.approval.status"] == "approved"
    else:
        assert attrs["kavri.approval.signed_count"] == 0
    if case == "denied":
        assert attrs["kavri.approval.reason"] == "not on a Friday"
    if shape == "langgraph":
        assert attrs["kavri.approval.url"] == f"http://dashboard.test/approvals?request={attrs['kavri.approval.request.id']}"
    if shape == "temporal":
        assert attrs["kavri.approval.request.origin"] == "created"
        assert attrs["kavri.temporal.attempt"] == 1
    assert wait.status.status_code is StatusCode.UNSET  # a denial or a timeout is not a failure of the wait

    metrics = otel.metrics()
    labels = {"gen_ai.tool.name": "send_email", "kavri.approval.outcome": expected, "kavri.approval.handler": shape}
    if expected == "pending":
        assert "kavri.approval.outcomes" not in metrics  # one attempt ended, not the wait
    else:
        assert metrics["kavri.approval.outcomes"] == [(labels, 1)]
        assert metrics["kavri.approval.wait.duration"] == [(labels, 1)]


def test_a_transport_failure_is_an_error_outcome_with_a_redacted_message(otel):
    handler = approval.cloud_approval("tc_admin_secretsecretsecret", base_url="http://127.0.0.1:9", timeout=1.0)
    import kavri_core
    from kavri.approval import ApprovalGate, Warrant

    holder = kavri_core.SigningKey.generate()
    request = ApprovalGate(Warrant(id="w", holder_key=holder, tools_requiring_approval={"send_email"})).request_for(
        "send_email", ARGS)
    with pytest.raises(Exception):
        handler(request)
    (wait,) = otel.waits()
    assert wait.attributes["kavri.approval.outcome"] == "error"
    assert not wait.status.is_ok
    (event,) = [e for e in wait.events if e.name == "exception"]
    assert "tc_admin_secret" not in str(dict(event.attributes))
    assert otel.metrics()["kavri.approval.outcomes"][0][0]["kavri.approval.outcome"] == "error"


def test_the_asyncio_handler_without_a_loop_keeps_the_callers_span_as_parent(local_cloud, otel):
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    handler = approval.async_cloud_approval(local_cloud.admin_key, base_url=local_cloud.url, poll_interval=0.05)
    with otel.tracer.start_as_current_span("caller") as caller, Human(local_cloud, approve_by("alice")):
        with pytest.raises(StopIteration) as info:
            handler(request).send(None)  # plain synchronous code: the wait runs on a worker thread
    assert gate.verify(info.value.value, request)
    (wait,) = otel.waits()
    assert wait.parent.span_id == caller.get_span_context().span_id
    assert wait.attributes["kavri.approval.outcome"] == "approved"


def test_concurrent_waits_on_one_loop_each_get_their_own_span_and_polls(local_cloud, otel):
    gate = gate_for(local_cloud)
    handler = approval.async_cloud_approval(local_cloud.admin_key, base_url=local_cloud.url, poll_interval=0.05)
    requests = [gate.request_for("send_email", {"n": i}) for i in range(5)]

    async def main():
        return await asyncio.gather(*(handler(r) for r in requests))

    with otel.tracer.start_as_current_span("caller"), Human(local_cloud, approve_by("alice"), delay=0):
        asyncio.run(main())
    waits = otel.waits()
    assert len(waits) == 5
    assert len({w.attributes["kavri.approval.request.id"] for w in waits}) == 5
    for wait in waits:
        polls = [e for e in wait.events if e.name == "kavri.approval.poll"]
        assert wait.attributes["kavri.approval.poll_count"] == len(polls) >= 1
        assert polls[-1].attributes["kavri.approval.status"] == "approved"


def recorded_texts(otel):
    """Every text the trace and the metrics hold: names, statuses, attributes, events, labels."""
    for span in otel.exporter.get_finished_spans():
        yield span.name
        yield span.status.description or ""
        yield from (str(v) for v in span.attributes.values())
        for event in span.events:
            yield event.name
            yield from (str(v) for v in event.attributes.values())
    for points in otel.metrics().values():
        for labels, _ in points:
            yield from (str(v) for v in labels.values())


def test_no_attribute_event_or_label_holds_a_key_a_token_or_a_signature(local_cloud, otel):
    token = local_cloud.token(agent="leaky")
    secrets = [local_cloud.admin_key, local_cloud.runtime_key, token]
    leaky = f"approve with {local_cloud.admin_key}, {local_cloud.runtime_key} or {token}"
    gate = gate_for(local_cloud)

    def request(call_id):
        return gate.request_for("send_email", ARGS, request_id=call_id)

    with otel.tracer.start_as_current_span("caller"):
        with Human(local_cloud, approve_by("alice")):
            SHAPES["blocking"](local_cloud, gate, 10.0)(request(f"call {token}"))
            SHAPES["langgraph"](local_cloud, gate, 10.0)(request(f"call {local_cloud.runtime_key}"))
        with Human(local_cloud, deny_with(leaky)):
            for shape in ("asyncio", "langgraph", "temporal"):
                with pytest.raises(DENIALS):
                    SHAPES[shape](local_cloud, gate, 10.0)(request("call_2"))
        wrong_key = approval.cloud_approval(local_cloud.admin_key[:-4] + "XXXX", base_url=local_cloud.url)
        with pytest.raises(Exception):
            wrong_key(request("call_3"))
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as client:
        signatures = [r["signed_approval"] for rec in full_records(client) for r in rec["responses"]
                      if r.get("signed_approval")]
    assert len(otel.waits()) == 6 and signatures
    texts = list(recorded_texts(otel))
    assert "<redacted>" in " ".join(texts)  # the leaky reason and call ids were recorded, redacted
    for secret in secrets + signatures + [local_cloud.admin_key[:-4] + "XXXX"]:
        assert not [t for t in texts if secret in t]
    assert not [t for t in texts if "tc_admin_" in t or "tc_runtime_" in t or "kavri_ct_" in t]


def test_the_asyncio_handler_without_a_loop_builds_the_payload_in_the_callers_key_scope(local_cloud):
    from kavri import bind_key

    gate = gate_for(local_cloud)
    attested = gate.request_for("send_email", ARGS)
    # No attestation on the request and no signing_key on the handler: the builder takes the key of the scope.
    request = dataclasses.replace(attested, approval_context_attestation=None, args_canonical_cbor_b64=None)
    handler = approval.async_cloud_approval(local_cloud.admin_key, base_url=local_cloud.url, poll_interval=0.05)
    with bind_key(gate.warrant.holder_key), Human(local_cloud, approve_by("alice")):
        with pytest.raises(StopIteration) as info:
            handler(request).send(None)
    assert gate.verify(info.value.value, attested)
