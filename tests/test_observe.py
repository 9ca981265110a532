"""How the generic handlers' waits end in the trace, for the record sequences and failures that
a real service produces only by chance (fake clients, as in test_approval_handlers), and that a
broken exporter or hook never changes what a handler returns or raises."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("opentelemetry.sdk")

from kavri.approval import ApprovalDenied  # noqa: E402

from kavri_cloud import _observe, approval  # noqa: E402
from kavri_cloud.exceptions import (  # noqa: E402
    ApprovalDeniedError,
    ApprovalExpiredError,
    AuthenticationError,
    KavriCloudError,
)
from tests.approval_fakes import Clock, Request, Script, async_client, fake_builder, signed_approval_bytes, sync_client  # noqa: E402
from tests.otel_fixture import otel  # noqa: E402,F401


@pytest.fixture(autouse=True)
def fakes(monkeypatch):
    Clock().install(monkeypatch)
    monkeypatch.setattr(approval, "build_approval_request_payload", fake_builder([]))


def run_handler(mode, script, monkeypatch, **kwargs):
    request = Request(request_id="call_9")
    if mode == "sync":
        monkeypatch.setattr(approval, "KavriCloudClient", sync_client(script))
        return approval.cloud_approval("key_1", **kwargs)(request)
    monkeypatch.setattr(approval, "AsyncKavriCloudClient", async_client(script))
    return asyncio.run(approval.async_cloud_approval("key_1", **kwargs)(request))


def approved(*raws):
    return {"status": "approved", "responses": [{"signed_approval": raw.hex(), "approver": f"a{i}"}
                                                for i, raw in enumerate(raws)]}


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize(
    ("script", "outcome", "polls"),
    [
        (lambda: Script(polls=[{"status": "pending"}, approved(signed_approval_bytes(), signed_approval_bytes())]),
         "approved", 2),
        (lambda: Script(polls=[{"status": "denied", "denied_reason": "not today"}]), "denied", 1),
        (lambda: Script(polls=[{"status": "expired"}]), "expired", 1),
        (lambda: Script(polls=[{"status": "Denied"}]), "error", 1),  # an unexpected status, not a human's denial
        (lambda: Script(polls=[{"status": None}]), "error", 1),
        (lambda: Script(polls=[{"status": "pending"}]), "timed_out", 4),
        (lambda: Script(polls=[ApprovalDeniedError("denied by policy")]), "denied", 0),
        (lambda: Script(create=ApprovalExpiredError("expired")), "expired", 0),
        (lambda: Script(create=AuthenticationError("bad key", status_code=401)), "error", 0),
        (lambda: Script(polls=[{"status": "approved", "responses": []}]), "error", 1),
    ],
    ids=["approved", "denied", "expired", "wrong-case", "null-status", "timed-out", "client-denial",
         "client-expiry", "auth", "no-responses"],
)
def test_every_ending_of_a_wait_has_its_outcome(mode, script, outcome, polls, monkeypatch, otel):
    try:
        result = run_handler(mode, script(), monkeypatch, timeout=0.3, poll_interval=0.1)
    except (ApprovalDenied, KavriCloudError):
        result = None
    (wait,) = otel.waits()
    attrs = wait.attributes
    assert attrs["kavri.approval.outcome"] == outcome
    assert attrs["kavri.approval.poll_count"] == polls
    assert attrs["kavri.approval.handler"] == ("blocking" if mode == "sync" else "asyncio")
    assert attrs["gen_ai.tool.call.id"] == "call_9"
    if outcome == "approved":
        assert attrs["kavri.approval.signed_count"] == len(result) == 2
        assert attrs["kavri.approval.approvers"] == ("a0", "a1")
    assert (wait.status.status_code.name == "ERROR") == (outcome == "error")
    ((labels, count),) = otel.metrics()["kavri.approval.outcomes"]
    assert (labels["kavri.approval.outcome"], count) == (outcome, 1)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_a_wait_that_fails_before_its_request_still_ends_its_span(mode, monkeypatch, otel):
    def broken(request, **kwargs):
        raise KavriCloudError("request.holder_key is required for cloud approval")

    monkeypatch.setattr(approval, "build_approval_request_payload", broken)
    with pytest.raises(KavriCloudError):
        run_handler(mode, Script(), monkeypatch)
    (wait,) = otel.waits()
    assert wait.attributes["kavri.approval.outcome"] == "error"
    assert _observe._current.get() is None  # nothing left behind for the next wait in this context


def test_a_cancelled_wait_ends_as_cancelled(monkeypatch, otel):
    monkeypatch.undo()
    script = Script(polls=[{"status": "pending"}])
    monkeypatch.setattr(approval, "AsyncKavriCloudClient", async_client(script))
    monkeypatch.setattr(approval, "build_approval_request_payload", fake_builder([]))

    async def main():
        task = asyncio.create_task(approval.async_cloud_approval("key", poll_interval=0.02)(Request()))
        await asyncio.sleep(0.1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    (wait,) = otel.waits()
    assert wait.attributes["kavri.approval.outcome"] == "cancelled"
    assert wait.attributes["kavri.approval.poll_count"] >= 2


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize("hook", ["poll", "finish", "request"])
def test_a_failing_hook_changes_nothing_the_handler_returns_or_raises(mode, hook, monkeypatch, otel):
    def broken(*args, **kwargs):
        raise RuntimeError("exporter bug")

    monkeypatch.setattr(_observe._Wait, hook, broken)
    raw = signed_approval_bytes()
    assert run_handler(mode, Script(polls=[{"status": "pending"}, approved(raw)]), monkeypatch).to_bytes() == raw
    with pytest.raises(ApprovalDenied) as info:
        run_handler(mode, Script(polls=[{"status": "denied", "denied_reason": "no"}]), monkeypatch)
    assert info.value.reason == "no"


def test_the_shared_poll_loop_outside_a_handler_records_nothing(monkeypatch, otel):
    script = Script(polls=[{"status": "approved"}])
    client = sync_client(script)("key")
    assert approval._poll_until_resolved(client, "apr_1", poll_interval=1.0, timeout=5.0) == {"status": "approved"}
    assert otel.waits() == []
