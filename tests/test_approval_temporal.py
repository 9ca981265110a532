"""The Temporal approval handler, run inside a real Temporal activity context
(temporalio.testing.ActivityEnvironment) and outside one; cloud clients are fakes
substituted through the module attribute, the signed approvals are real."""

from __future__ import annotations

import base64
import dataclasses
import hashlib
import logging
from datetime import timedelta

import kavri_core
import pytest
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

from kavri_cloud import approval
from kavri_cloud.exceptions import KavriCloudError, NotFoundError
from tests.approval_fakes import Clock, Request, Script, fake_builder, signed_approval_bytes, sync_client


@pytest.fixture(autouse=True)
def clock(monkeypatch: pytest.MonkeyPatch) -> Clock:
    return Clock().install(monkeypatch)


@pytest.fixture
def builder_calls(monkeypatch: pytest.MonkeyPatch) -> list:
    calls: list = []
    monkeypatch.setattr(approval, "build_approval_request_payload", fake_builder(calls))
    return calls


@pytest.fixture
def key() -> kavri_core.SigningKey:
    return kavri_core.SigningKey.generate()


def approved(raw: bytes | None = None, *, encoding: str = "base64") -> dict:
    raw = raw or signed_approval_bytes()
    text = base64.b64encode(raw).decode() if encoding == "base64" else raw.hex()
    return {"id": "apr_1", "status": "approved", "responses": [{"signed_approval": text}]}


class Activity:
    """An ActivityEnvironment that records heartbeats, with chosen heartbeat details."""

    def __init__(self, details=None, **info) -> None:
        self.env = ActivityEnvironment()
        self.heartbeats: list = []
        self.env.on_heartbeat = lambda *details: self.heartbeats.append(details)
        self.env.info = dataclasses.replace(
            self.env.info, workflow_id="wf-1", workflow_run_id="run-1", activity_id="act-1",
            heartbeat_details=details if details is not None else [],
            **{"start_to_close_timeout": timedelta(seconds=30), "heartbeat_timeout": None, **info},
        )

    def run(self, handler, request):
        return self.env.run(handler, request)


def make_handler(monkeypatch, script: Script, key, **kwargs):
    monkeypatch.setattr(approval, "KavriCloudClient", sync_client(script))
    return approval.temporal_cloud_approval("key_1", key, base_url="http://127.0.0.1:9", **kwargs)


def expected_key(tool="send_email", wf="wf-1", run="run-1", act="act-1") -> str:
    return "appr_" + hashlib.sha256(f"{tool}|{wf}|{run}|{act}".encode()).hexdigest()


SCHEDULED = str(Activity().env.info.scheduled_time)


def sent_key(request_hash: str = "", scheduled: str = SCHEDULED, **ids) -> str:
    """The key the handler sends: the activity's key made particular to the call's request hash and to
    when the activity was first scheduled (absent outside an activity)."""
    source = f"{request_hash}|{scheduled}" if scheduled else request_hash
    return expected_key(**ids) + ":" + hashlib.sha256(source.encode()).hexdigest()[:32]


def test_the_first_attempt_creates_and_an_approved_create_result_returns_at_once(monkeypatch, key, builder_calls, clock):
    raw = signed_approval_bytes()
    script = Script(create=approved(raw))
    activity = Activity()
    result = activity.run(make_handler(monkeypatch, script, key), Request())
    assert isinstance(result, kavri_core.SignedApproval) and result.to_bytes() == raw
    assert clock.sleeps == []
    assert activity.heartbeats == [({"approval_request_id": "apr_1", "approval_status": "approved"},)]
    assert builder_calls == [{"signing_key": key, "idempotency_key": sent_key()}]
    assert script.closed == 1
    assert [(c.api_key, c.base_url, c.timeout) for c in script.clients] == [("key_1", "http://127.0.0.1:9", 10.0)]


def test_still_pending_after_the_fast_polls_asks_temporal_to_retry(monkeypatch, key, builder_calls, clock, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")
    script = Script(create={"id": "apr_9", "status": "pending"})
    activity = Activity()
    with pytest.raises(ApplicationError) as info:
        activity.run(make_handler(monkeypatch, script, key, fast_poll_seconds=0.5), Request())
    assert (info.value.message, info.value.type, info.value.non_retryable) == (
        "approval pending for apr_9; will retry via Temporal", "ApprovalPendingRetry", False)
    assert clock.sleeps == [0.5, 0.5, 0.5]
    assert script.polled == ["apr_9"] * 3
    assert [d[0]["approval_status"] for d in activity.heartbeats] == ["pending"] * 4
    messages = [r.getMessage() for r in caplog.records]
    assert messages == ["approval request apr_9 created for send_email"] + [
        f"approval poll {i}/3 for apr_9: pending" for i in (1, 2, 3)]
    assert script.closed == 1


@pytest.mark.parametrize("status", ["pending", "approved"])
def test_a_cancellation_raised_into_a_heartbeat_ends_the_attempt(monkeypatch, key, builder_calls, clock, status):
    # Temporal cancels a threaded activity by raising CancelledError into its thread, wherever it
    # is: one that lands in the heartbeat is no "not in an activity", and no approval is handed on.
    from temporalio.exceptions import CancelledError

    script = Script(create=approved() if status == "approved" else {"id": "apr_1", "status": "pending"})
    activity = Activity()

    def cancelled(*details):
        raise CancelledError("Cancelled")

    activity.env.on_heartbeat = cancelled
    with pytest.raises(CancelledError):
        activity.run(make_handler(monkeypatch, script, key), Request())
    assert clock.sleeps == []
    assert script.closed == 1


@pytest.mark.parametrize(
    "details",
    [[{"approval_request_id": "apr_7", "approval_status": "pending"}], {"approval_request_id": "apr_7"}],
    ids=["list-of-mapping", "mapping"],
)
def test_a_retry_resumes_the_request_named_in_its_heartbeat_details(monkeypatch, key, builder_calls, details):
    script = Script(polls=[approved()])
    result = Activity(details).run(make_handler(monkeypatch, script, key), Request())
    assert isinstance(result, kavri_core.SignedApproval)
    assert script.created == [] and script.polled == ["apr_7"]


@pytest.mark.parametrize("gone", [NotFoundError("not found", status_code=404), KavriCloudError("HTTP 404 from service")])
def test_a_resumed_request_that_is_gone_is_created_again_under_the_same_key(monkeypatch, key, builder_calls, gone):
    script = Script(create=approved(), polls=[gone])
    Activity([{"approval_request_id": "apr_old"}]).run(make_handler(monkeypatch, script, key), Request())
    assert script.polled == ["apr_old"] and len(script.created) == 1
    assert builder_calls[0]["idempotency_key"] == sent_key()


H1, H2 = "11" * 32, "22" * 32


@pytest.mark.parametrize(
    ("request_attrs", "hash_text"),
    [
        ({"request_hash": bytes.fromhex(H1)}, H1),
        ({"request_hash": H1.upper()}, H1),
        ({"approval_context_attestation": {"request_hash": H1}}, H1),
        ({"request_hash": bytes.fromhex(H1), "approval_context_attestation": {"request_hash": H2}}, H1),
        ({"request_hash": None}, ""),
    ],
    ids=["bytes", "hex-text", "attestation", "own-hash-first", "no-hash"],
)
def test_the_key_sent_is_the_activitys_key_made_particular_to_the_call(monkeypatch, key, builder_calls, request_attrs,
                                                                       hash_text):
    Activity().run(make_handler(monkeypatch, Script(create=approved()), key), Request(**request_attrs))
    assert builder_calls[0]["idempotency_key"] == sent_key(hash_text)


@pytest.mark.parametrize(
    ("record_key", "resumed"),
    [(sent_key(H1), True), (None, True), (sent_key(H1, run="run-0"), False), (expected_key(wf="wf-0"), False),
     (sent_key(H1, scheduled="2026-01-01 00:00:00+00:00"), False), (expected_key(), True)],
    ids=["key-sent", "record-without-key", "another-run", "another-workflow", "another-schedule-of-the-activity-id",
         "bare-key-of-an-older-release"],
)
def test_a_heartbeat_request_of_the_same_call_in_another_run_or_activity_is_not_resumed(
    monkeypatch, key, builder_calls, record_key, resumed
):
    # The same call in another run has the same hash: its approval verifies for this call too, so
    # heartbeat details naming its request (anyone may record them) would run this call unapproved.
    old_raw, new_raw = signed_approval_bytes(), signed_approval_bytes()
    record = {**approved(old_raw), "id": "apr_old", "request_hash": H1, "idempotency_key": record_key}
    script = Script(create=approved(new_raw), polls=[record])
    activity = Activity([{"approval_request_id": "apr_old", "approval_status": "approved"}])
    result = activity.run(make_handler(monkeypatch, script, key), Request(request_hash=bytes.fromhex(H1)))
    assert result.to_bytes() == (old_raw if resumed else new_raw)
    assert len(script.created) == (0 if resumed else 1)


@pytest.mark.parametrize(
    ("record_hash", "resumed"),
    [(H1, True), (H1.upper(), True), (None, True), (H2, False)],
    ids=["this-call", "this-call-upper-case", "record-without-hash", "another-call"],
)
def test_a_heartbeat_request_is_resumed_only_when_it_was_made_for_this_call(monkeypatch, key, builder_calls, caplog,
                                                                            record_hash, resumed):
    # One activity that gates two calls of a tool heartbeats the last request it looked at; the
    # other call must not take that request, nor its approval.
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")
    old_raw, new_raw = signed_approval_bytes(), signed_approval_bytes()
    record = {**approved(old_raw), "id": "apr_old", "request_hash": record_hash}
    script = Script(create=approved(new_raw), polls=[record])
    activity = Activity([{"approval_request_id": "apr_old", "approval_status": "approved"}])
    result = activity.run(make_handler(monkeypatch, script, key), Request(request_hash=bytes.fromhex(H1)))
    assert script.polled == ["apr_old"]
    assert result.to_bytes() == (old_raw if resumed else new_raw)
    assert len(script.created) == (0 if resumed else 1)
    assert [d[0]["approval_request_id"] for d in activity.heartbeats] == ["apr_old" if resumed else "apr_1"]
    assert [r.getMessage() for r in caplog.records] == (
        ["resuming approval request apr_old for send_email from heartbeat"] if resumed else
        ["approval request apr_old from heartbeat was made for another call of send_email; not resuming it",
         "approval request apr_1 created for send_email"])
    assert builder_calls[0]["idempotency_key"] == sent_key(H1)


@pytest.mark.parametrize(
    ("timeouts", "polls"),
    [
        ({"start_to_close_timeout": timedelta(seconds=1.2)}, 2),
        ({"heartbeat_timeout": timedelta(seconds=1.2)}, 2),
        ({"start_to_close_timeout": timedelta(seconds=5), "heartbeat_timeout": timedelta(seconds=0.4)}, 0),
        ({"start_to_close_timeout": timedelta(seconds=1.5)}, 2),  # a poll that would end on the deadline is not made
        ({"start_to_close_timeout": None}, 3),
        ({"start_to_close_timeout": timedelta(0)}, 3),
    ],
    ids=["start-to-close", "heartbeat", "shorter-of-both", "exactly-at-the-end", "none", "zero"],
)
def test_an_attempt_stops_polling_before_temporal_may_give_up_on_it(monkeypatch, key, builder_calls, clock, timeouts,
                                                                   polls):
    script = Script(create={"id": "apr_9", "status": "pending"})
    with pytest.raises(ApplicationError) as info:
        Activity(**timeouts).run(make_handler(monkeypatch, script, key, fast_poll_seconds=0.5), Request())
    assert info.value.type == "ApprovalPendingRetry"
    assert clock.sleeps == [0.5] * polls and script.polled == ["apr_9"] * polls


@pytest.mark.parametrize(("poll_seconds", "handed_over"), [(0.5, True), (1.0, False)], ids=["in-time", "too-late"])
def test_an_approval_that_arrives_after_the_attempts_timeout_is_left_to_the_next_attempt(
    monkeypatch, key, builder_calls, clock, caplog, poll_seconds, handed_over
):
    # Temporal has retried the activity by then: taking the approval here would run the tool in this
    # attempt and again in the retry, which resumes the same approved request.
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")
    script = Script(create={"id": "apr_9", "status": "pending"})
    client = sync_client(script)

    class SlowClient(client):
        def get_request(self, request_id):
            clock.now += poll_seconds  # the answer takes this long
            return {**approved(), "id": request_id}

    monkeypatch.setattr(approval, "KavriCloudClient", SlowClient)
    handler = approval.temporal_cloud_approval("key_1", key, base_url="http://127.0.0.1:9", fast_poll_seconds=0.5)
    activity = Activity(start_to_close_timeout=timedelta(seconds=1.2))
    if handed_over:
        assert isinstance(activity.run(handler, Request()), kavri_core.SignedApproval)
        return
    with pytest.raises(ApplicationError) as info:
        activity.run(handler, Request())
    assert (info.value.type, info.value.non_retryable) == ("ApprovalPendingRetry", False)
    assert caplog.records[-1].getMessage() == (
        "approval request apr_9 approved after this attempt's timeout; the next attempt takes it")


@pytest.mark.parametrize(
    ("script_kwargs", "details", "message", "type_", "non_retryable", "caused"),
    [
        ({"polls": [KavriCloudError("server error", status_code=500)]}, [{"approval_request_id": "apr_3"}],
         "approval poll failed for apr_3: server error", "ApprovalTransportError", False, True),
        ({"create": KavriCloudError("connection refused")}, None,
         "approval request submission failed: connection refused", "ApprovalTransportError", False, True),
        ({"create": {"status": "pending"}}, None, "approval response missing id field",
         "ApprovalMalformedResponse", True, False),
        ({"create": {"id": "apr_1", "status": "pending"}, "polls": [KavriCloudError("reset")]}, None,
         "approval poll failed for apr_1: reset", "ApprovalTransportError", False, True),
        ({"create": {"id": "apr_1", "status": "DENIED", "denied_reason": "no way"}}, None,
         "approval denied for apr_1: no way", "ApprovalDenied", True, False),
        ({"create": {"id": "apr_1", "status": "Rejected", "reason": "policy"}}, None,
         "approval rejected for apr_1: policy", "ApprovalDenied", True, False),
        ({"create": {"id": "apr_1", "status": "expired"}}, None,
         "approval expired for apr_1: expired", "ApprovalDenied", True, False),
        ({"create": {"request_id": "apr_2", "status": "approved", "responses": [{"signed_approval": "zz"}]}}, None,
         "approved but missing SignedApproval payload for apr_2", "ApprovalMalformedResponse", True, False),
    ],
    ids=["resume-error", "create-error", "no-id", "poll-error", "denied", "rejected-fallback", "expired",
         "undecodable"],
)
def test_failure_table(monkeypatch, key, builder_calls, script_kwargs, details, message, type_, non_retryable,
                       caused):
    script = Script(**script_kwargs)
    with pytest.raises(ApplicationError) as info:
        Activity(details).run(make_handler(monkeypatch, script, key), Request())
    assert (info.value.message, info.value.type, info.value.non_retryable) == (message, type_, non_retryable)
    assert isinstance(info.value.__cause__, KavriCloudError) == caused
    assert script.closed == 1


def test_an_undecodable_approval_logs_both_attempts_per_response(monkeypatch, key, builder_calls, caplog):
    caplog.set_level(logging.WARNING, logger="kavri_cloud.approval")
    data = {"id": "apr_1", "status": "approved", "responses": [{"signed_approval": "zz"}, {"signed_approval": "yy"}]}
    with pytest.raises(ApplicationError):
        Activity().run(make_handler(monkeypatch, Script(create=data), key), Request())
    assert [r.msg for r in caplog.records] == [
        "failed to decode signed_approval as base64: %s", "failed to decode signed_approval as hex: %s"] * 2


def test_a_hex_signature_decodes_after_one_base64_warning(caplog):
    caplog.set_level(logging.WARNING, logger="kavri_cloud.approval")
    raw = signed_approval_bytes()
    sa = approval.TemporalCloudApprovalHandler._extract_approval(approved(raw, encoding="hex"))
    assert sa.to_bytes() == raw
    assert [r.msg for r in caplog.records] == ["failed to decode signed_approval as base64: %s"]


@pytest.mark.parametrize(
    ("signatures", "shape"),
    [
        (["b64", "hex"], "list of 2"),  # a quorum of two reaches the SDK gate whole
        (["b64", "zz", "b64"], "list of 2"),
        (["zz", "hex"], "one"),
        (["", None], "none"),
    ],
)
def test_every_decodable_approval_is_handed_on(monkeypatch, key, builder_calls, signatures, shape):
    raws = [signed_approval_bytes() if s in ("b64", "hex") else None for s in signatures]
    text = {"b64": lambda r: base64.b64encode(r).decode(), "hex": lambda r: r.hex()}
    responses = [{"signed_approval": text[s](r) if r else s} for s, r in zip(signatures, raws)]
    data = {"id": "apr_1", "status": "approved", "responses": responses}
    extracted = approval.TemporalCloudApprovalHandler._extract_approval(data)
    good = [r for r in raws if r]
    if shape == "none":
        assert extracted is None
        return
    if shape == "one":
        assert isinstance(extracted, kavri_core.SignedApproval) and extracted.to_bytes() == good[0]
    else:
        assert type(extracted) is list and [sa.to_bytes() for sa in extracted] == good
    # The handler returns what the extraction gives, list or not.
    result = Activity().run(make_handler(monkeypatch, Script(create=data), key), Request())
    assert (result if isinstance(result, list) else [result]) == (extracted if isinstance(extracted, list)
                                                                  else [extracted])


def test_outside_an_activity_the_key_uses_empty_ids_and_heartbeats_are_skipped(monkeypatch, key, builder_calls):
    script = Script(create=approved())
    handler = make_handler(monkeypatch, script, key)
    assert isinstance(handler(Request()), kavri_core.SignedApproval)
    assert builder_calls[0]["idempotency_key"] == sent_key(scheduled="", wf="", run="", act="")


def test_a_null_status_is_unresolved_and_reads_none(monkeypatch, key, builder_calls, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")
    script = Script(create={"id": "apr_1", "status": None}, polls=[{"status": None}])
    activity = Activity()
    with pytest.raises(ApplicationError, match="will retry"):
        activity.run(make_handler(monkeypatch, script, key, fast_poll_attempts=0), Request())
    assert [d[0]["approval_status"] for d in activity.heartbeats] == ["none", "none"]
    assert caplog.records[-1].getMessage() == "approval poll 1/1 for apr_1: none"


@pytest.mark.parametrize(("given", "stored"), [(0, 1), (-3, 1), (1, 1), (5, 5)])
def test_fast_poll_attempts_is_at_least_one(key, given, stored):
    handler = approval.TemporalCloudApprovalHandler("k", key, fast_poll_attempts=given)
    assert handler._fast_poll_attempts == stored
    assert handler._holder_bytes == key.public_key.to_bytes()


def test_construction_fails_with_the_keys_own_error():
    with pytest.raises(AttributeError):
        approval.TemporalCloudApprovalHandler("k", object())


def test_build_attestation_uses_the_worker_key(key):
    handler = approval.temporal_cloud_approval("k", key)
    request = Request(warrant_id="wrt_1", arguments={"to": "a@example.com"})
    cbor_b64, attestation = handler._build_attestation(request)
    assert kavri_core.verify_approval_context_attestation(attestation, key.public_key.to_bytes())
    assert isinstance(cbor_b64, str) and type(attestation) is dict


@pytest.mark.parametrize(
    ("ids", "same"),
    [({"workflow_run_id": "run-1"}, True), ({"workflow_run_id": "run-2"}, False), ({"activity_id": "a2"}, False)],
)
def test_idempotency_keys_are_stable_per_run_and_activity(ids, same):
    base = {"workflow_id": "wf", "workflow_run_id": "run-1", "activity_id": "a1"}
    k1 = approval._build_temporal_approval_idempotency_key(Request(), **base)
    k2 = approval._build_temporal_approval_idempotency_key(Request(), **{**base, **ids})
    assert (k1 == k2) is same
    assert k1.startswith("appr_") and len(k1) == 69


def test_idempotency_key_ids_must_be_text_and_a_missing_tool_is_empty():
    assert approval._build_temporal_approval_idempotency_key(Request(tool=None)) == expected_key("", "", "", "")
    with pytest.raises(TypeError):
        approval._build_temporal_approval_idempotency_key(Request(), workflow_id=7)


class Details:
    approval_request_id = "apr_attr"


@pytest.mark.parametrize(
    ("details", "expected"),
    [
        (None, None), ([], None), ({}, None), ("", None),
        ([{"approval_request_id": "apr_1"}], "apr_1"),
        (({"approval_request_id": "apr_1"}, "ignored"), "apr_1"),
        ({"approval_request_id": "apr_2"}, "apr_2"),
        ([{"approval_request_id": ""}], None),
        ([{"approval_request_id": 5}], None),
        ([Details()], "apr_attr"),
        (["apr_text"], None),
    ],
)
def test_heartbeat_request_id_extraction(details, expected):
    assert approval._extract_temporal_heartbeat_request_id(details) == expected


def test_a_handler_called_before_temporalio_activity_was_imported_still_finds_it():
    # `from temporalio import activity` imports the submodule; a fresh process has
    # not loaded it yet, as in a plain script calling the handler outside a worker.
    import subprocess
    import sys

    code = (
        "import sys, kavri_core\n"
        "from kavri_cloud import approval\n"
        "assert 'temporalio.activity' not in sys.modules\n"
        "class C:\n"
        "    def __init__(self, *a, **k): pass\n"
        "    def __enter__(self): return self\n"
        "    def __exit__(self, *e): return None\n"
        "    def create_request(self, **k): return {'id': 'r', 'status': 'denied', 'denied_reason': 'x'}\n"
        "approval.KavriCloudClient = C\n"
        "approval.build_approval_request_payload = lambda r, **k: type('P', (), "
        "{'to_create_request_kwargs': lambda self: {}})()\n"
        "h = approval.temporal_cloud_approval('k', kavri_core.SigningKey.generate())\n"
        "try:\n"
        "    h(type('R', (), {'tool': 't'})())\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e.type)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ApplicationError ApprovalDenied", out.stderr
