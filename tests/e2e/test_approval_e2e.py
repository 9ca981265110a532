"""The approval handlers against the real local Kavri Cloud over HTTP, with real
attested requests from the SDK's gate and real approver signatures."""

from __future__ import annotations

import asyncio
import dataclasses
import time
from datetime import timedelta

import kavri_core
import pytest
from kavri.approval import ApprovalDenied
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

from kavri_cloud import approval
from kavri_cloud.client import KavriCloudClient
from tests.e2e.approval_helpers import Human, approve_by, deny_with, gate_for

pytestmark = pytest.mark.e2e

ARGS = {"to": "ops@example.com", "subject": "Q3"}


def blocking(cloud, **kw):
    return approval.cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, **kw)


def asynchronous(cloud, **kw):
    handler = approval.async_cloud_approval(cloud.admin_key, base_url=cloud.url, poll_interval=0.05, **kw)
    return lambda request: asyncio.run(handler(request))


HANDLERS = [blocking, asynchronous]


@pytest.mark.parametrize("make", HANDLERS)
@pytest.mark.parametrize("encoding", ["base64", "hex"])
def test_one_approver_gives_a_bare_verified_signed_approval(local_cloud, make, encoding):
    local_cloud.set_signed_approval_encoding(encoding)
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    with Human(local_cloud, approve_by("alice")):
        result = make(local_cloud)(request)
    assert isinstance(result, kavri_core.SignedApproval)
    assert gate.verify(result, request) == [result]


@pytest.mark.parametrize("make", HANDLERS)
def test_two_approvers_give_a_list_that_meets_the_threshold(local_cloud, make):
    gate = gate_for(local_cloud, approvers=2, min_approvals=2)
    request = gate.request_for("send_email", ARGS)
    with Human(local_cloud, approve_by("alice", "bob")):
        result = make(local_cloud)(request)
    assert isinstance(result, list) and len(result) == 2
    assert len(gate.verify(result, request)) == 2


@pytest.mark.parametrize("make", HANDLERS)
@pytest.mark.parametrize(("reason", "expected"), [("not on a Friday", "not on a Friday"), (None, "denied in Kavri Cloud")])
def test_a_denial_reaches_the_sdk_with_its_reason(local_cloud, make, reason, expected):
    request = gate_for(local_cloud).request_for("send_email", ARGS)
    with Human(local_cloud, deny_with(reason)), pytest.raises(ApprovalDenied) as info:
        make(local_cloud)(request)
    assert info.value.reason == expected
    assert info.value.request is request


@pytest.mark.parametrize("make", HANDLERS)
def test_a_request_expires_by_its_ttl(local_cloud, make):
    request = gate_for(local_cloud, ttl_seconds=1).request_for("send_email", ARGS)
    with pytest.raises(ApprovalDenied) as info:
        make(local_cloud, timeout=10.0)(request)
    assert info.value.reason == "approval request expired"


@pytest.mark.parametrize("make", HANDLERS)
def test_the_handler_times_out(local_cloud, make):
    request = gate_for(local_cloud).request_for("send_email", ARGS)
    start = time.monotonic()
    with pytest.raises(ApprovalDenied) as info:
        make(local_cloud, timeout=0.3)(request)
    assert info.value.reason == "timed out after 0.3s waiting for cloud approval"
    assert time.monotonic() - start < 5


def test_two_hundred_concurrent_asyncio_approvals_on_one_loop(local_cloud):
    gate = gate_for(local_cloud)
    handler = approval.async_cloud_approval(local_cloud.admin_key, base_url=local_cloud.url, poll_interval=0.1)
    requests = [gate.request_for("send_email", {"n": i}) for i in range(200)]
    ticks = 0

    async def ticker(stop: asyncio.Event) -> None:
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            await asyncio.sleep(0.01)

    async def main():
        stop = asyncio.Event()
        tick = asyncio.create_task(ticker(stop))
        results = await asyncio.gather(*(handler(r) for r in requests))
        stop.set()
        await tick
        return results

    with Human(local_cloud, approve_by("alice"), delay=0):
        results = asyncio.run(main())
    for request, result in zip(requests, results):
        assert gate.verify(result, request)  # each request got its own approval
    assert len({r.to_bytes() for r in results}) == 200
    assert ticks > 10  # the loop kept running while 200 handlers waited


def test_the_asyncio_handler_from_plain_synchronous_code(local_cloud):
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    handler = approval.async_cloud_approval(local_cloud.admin_key, base_url=local_cloud.url, poll_interval=0.05)
    with Human(local_cloud, approve_by("alice")), pytest.raises(StopIteration) as info:
        handler(request).send(None)
    assert gate.verify(info.value.value, request)


def pending_count(cloud) -> int:
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        return len(client.list_requests())


def test_temporal_retries_resume_one_request_until_it_is_approved(local_cloud):
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    handler = approval.temporal_cloud_approval(
        local_cloud.admin_key, gate.warrant.holder_key, base_url=local_cloud.url,
        fast_poll_seconds=0.05, fast_poll_attempts=2)
    env = ActivityEnvironment()
    heartbeats: list = []
    env.on_heartbeat = lambda *details: heartbeats.append(details)
    env.info = dataclasses.replace(env.info, workflow_id="wf", workflow_run_id="run", activity_id="1")

    with pytest.raises(ApplicationError) as info:
        env.run(handler, request)
    assert info.value.type == "ApprovalPendingRetry" and not info.value.non_retryable
    request_id = heartbeats[-1][0]["approval_request_id"]

    # The next attempt carries the last heartbeat and resumes the same request.
    env.info = dataclasses.replace(env.info, attempt=2, heartbeat_details=list(heartbeats[-1]))
    local_cloud.approve(request_id, approver="alice")
    result = env.run(handler, request)
    assert gate.verify(result, request)
    assert pending_count(local_cloud) == 1

    # A fresh attempt without heartbeat details finds the same request by its idempotency key.
    env.info = dataclasses.replace(env.info, attempt=3, heartbeat_details=[])
    assert gate.verify(env.run(handler, request), request)
    assert pending_count(local_cloud) == 1


def test_temporal_denial_is_not_retryable(local_cloud):
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    handler = approval.temporal_cloud_approval(
        local_cloud.admin_key, gate.warrant.holder_key, base_url=local_cloud.url,
        fast_poll_seconds=0.1, fast_poll_attempts=20)
    env = ActivityEnvironment()
    # The attempt's own timeout outlasts the polls (the test environment's default is 1 s).
    env.info = dataclasses.replace(env.info, start_to_close_timeout=timedelta(seconds=60))
    with Human(local_cloud, deny_with("too risky")), pytest.raises(ApplicationError) as info:
        env.run(handler, request)
    assert info.value.type == "ApprovalDenied" and info.value.non_retryable
    assert info.value.message.endswith(": too risky")
