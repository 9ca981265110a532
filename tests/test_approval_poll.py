"""Polling to resolution and signed-approval extraction of the approval module."""

from __future__ import annotations

import asyncio
import base64
import logging
import kavri.cp_approval
import kavri_core
import pytest

from kavri_cloud import approval
from kavri_cloud.exceptions import ApprovalTimeoutError, KavriCloudError
from tests.approval_fakes import Clock, signed_approval_bytes


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> Clock:
    return Clock().install(monkeypatch)


class Records:
    """get_request answers: the scripted records in order, the last one repeated."""

    def __init__(self, *records: object) -> None:
        self.records = list(records)
        self.calls: list[str] = []

    def _next(self, request_id: str) -> object:
        self.calls.append(request_id)
        value = self.records.pop(0) if len(self.records) > 1 else self.records[0]
        if isinstance(value, BaseException):
            raise value
        return value

    def get_request(self, request_id: str) -> object:
        return self._next(request_id)


class AsyncRecords(Records):
    async def get_request(self, request_id: str) -> object:  # type: ignore[override]
        return self._next(request_id)


def poll(mode: str, client_records: tuple, **kwargs):
    if mode == "sync":
        client = Records(*client_records)
        return client, lambda: approval._poll_until_resolved(client, "apr_1", **kwargs)
    client = AsyncRecords(*client_records)
    return client, lambda: asyncio.run(approval._async_poll_until_resolved(client, "apr_1", **kwargs))


MODES = ["sync", "async"]
PENDING = {"status": "pending"}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "first",
    [{"status": "approved"}, {"status": "denied"}, {"id": "x"}, {"status": "PENDING"}, {"status": None}],
    ids=["approved", "denied", "no-status", "capital-pending", "null-status"],
)
def test_any_status_but_exact_pending_returns_the_first_record_without_sleeping(mode, first, clock, caplog):
    caplog.set_level(logging.DEBUG, logger="kavri_cloud.approval")
    client, run = poll(mode, (first,), poll_interval=2.0, timeout=300.0)
    assert run() is first
    assert client.calls == ["apr_1"]
    assert clock.sleeps == []
    assert caplog.records == []


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    ("interval", "timeout", "sleeps"),
    [(2.0, 0, []), (5, 3, [3.0]), (2.0, 5.0, [2.0, 2.0, 1.0]), (1, 2, [1, 1])],
    ids=["timeout-0-one-poll", "last-sleep-cut", "default-shape", "exact-multiple"],
)
def test_deadline_arithmetic_polls_once_more_at_the_deadline(mode, interval, timeout, sleeps, clock):
    client, run = poll(mode, (PENDING,), poll_interval=interval, timeout=timeout)
    with pytest.raises(ApprovalTimeoutError) as info:
        run()
    assert clock.sleeps == sleeps
    assert len(client.calls) == len(sleeps) + 1
    assert (info.value.request_id, info.value.timeout) == ("apr_1", timeout)


@pytest.mark.parametrize("mode", MODES)
def test_pending_polls_log_the_sleep_as_structured_fields(mode, clock, caplog):
    caplog.set_level(logging.DEBUG, logger="kavri_cloud.approval")
    _, run = poll(mode, (PENDING, PENDING, {"status": "approved"}), poll_interval=2.0, timeout=300.0)
    assert run() == {"status": "approved"}
    debug = [r for r in caplog.records if r.levelno == logging.DEBUG]
    assert [r.getMessage() for r in debug] == ["approval still pending, polling again"] * 2
    assert [(r.request_id, r.sleep) for r in debug] == [("apr_1", 2.0), ("apr_1", 2.0)]


@pytest.mark.parametrize("mode", MODES)
def test_client_errors_propagate_unchanged(mode, clock):
    boom = KavriCloudError("service unavailable", status_code=503)
    _, run = poll(mode, (PENDING, boom), poll_interval=1.0, timeout=10.0)
    with pytest.raises(KavriCloudError) as info:
        run()
    assert info.value is boom


def test_poll_arguments_follow_the_documented_signature():
    with pytest.raises(TypeError):
        approval._poll_until_resolved(Records(PENDING), "apr_1", 1.0, 2.0)
    with pytest.raises(TypeError):
        approval._poll_until_resolved(Records(PENDING), "apr_1", poll_interval=1.0)


# --- extraction -----------------------------------------------------------------


@pytest.fixture
def sdk_inputs(monkeypatch: pytest.MonkeyPatch) -> list:
    """Records what the SDK decoder is handed, while still decoding for real."""
    seen: list = []
    real = kavri.cp_approval.signed_approvals_from_response

    def spy(record):
        seen.append(record.signed_approvals_b64)
        return real(record)

    monkeypatch.setattr(kavri.cp_approval, "signed_approvals_from_response", spy)
    return seen


def test_one_response_comes_back_bare_and_two_as_a_list():
    raw = [signed_approval_bytes() for _ in range(2)]
    one = approval._extract_signed_approvals({"responses": [{"signed_approval": raw[0].hex()}]})
    assert isinstance(one, kavri_core.SignedApproval) and one.to_bytes() == raw[0]
    two = approval._extract_signed_approvals(
        {"responses": [{"signed_approval": raw[0].hex()}, {"signed_approval": base64.b64encode(raw[1]).decode()}]}
    )
    assert isinstance(two, list) and [a.to_bytes() for a in two] == raw


@pytest.mark.parametrize(
    ("text", "handed"),
    [("0a0b", "Cgs="), ("0A0B", "Cgs="), ("Cgs=", "Cgs="), ("abcd", "q80=")],
    ids=["hex", "upper-hex", "base64", "hex-wins-tie"],
)
def test_signatures_reach_the_sdk_as_standard_base64(text, handed, sdk_inputs, monkeypatch):
    with pytest.raises(ValueError):  # the stand-in SDK rejects bytes that are no approval
        approval._extract_signed_approvals({"responses": [{"signed_approval": text}]})
    assert sdk_inputs == [[handed]]


@pytest.mark.parametrize(
    ("record", "message"),
    [
        ({}, "approved request has no approval responses"),
        ({"responses": None}, "approved request has no approval responses"),
        ({"responses": []}, "approved request has no approval responses"),
        ({"responses": [{"signed_approval": ""}, {}, {"signed_approval": None}]},
         "approved request has no approval responses"),
        ({"responses": [{"signed_approval": "abc"}]},
         "malformed signed_approval in cloud response: not valid hex or base64"),
        ({"responses": [{"signed_approval": "Cgs=\n"}]},
         "malformed signed_approval in cloud response: not valid hex or base64"),
        ({"responses": [{"signed_approval": 12345}]},
         "malformed signed_approval in cloud response: not valid hex or base64"),
    ],
    ids=["no-key", "null", "empty", "all-empty", "odd-hex", "stray-newline", "not-text"],
)
def test_extraction_failures_are_kavri_cloud_errors(record, message):
    with pytest.raises(KavriCloudError) as info:
        approval._extract_signed_approvals(record)
    assert str(info.value) == message


def test_one_malformed_entry_fails_the_whole_extraction():
    good = signed_approval_bytes().hex()
    with pytest.raises(KavriCloudError, match="malformed"):
        approval._extract_signed_approvals({"responses": [{"signed_approval": good}, {"signed_approval": "%%"}]})


def test_a_tampered_signature_is_rejected_by_the_sdk():
    raw = bytearray(signed_approval_bytes())
    raw[-1] ^= 0x01
    with pytest.raises(ValueError):
        approval._extract_signed_approvals({"responses": [{"signed_approval": bytes(raw).hex()}]})
