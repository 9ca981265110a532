"""Quick Connect, claim and doctor records."""

from __future__ import annotations

import json
from types import MappingProxyType

import pytest

from kavri_cloud.exceptions import KavriCloudError
from kavri_cloud.models import (
    BootstrapCheck,
    BootstrapReport,
    ClaimAgentResult,
    ConnectConfig,
    ConnectTokenPayload,
)


class _Text(str):
    """A str subclass: still a string to the model."""


@pytest.mark.parametrize(
    ("document", "expected"),
    [
        (
            {
                "endpoint": "https://api.x",
                "api_key": "k",
                "agent_id": "a",
                "registration_token": "t",
            },
            ("https://api.x", "k", "a", "t"),
        ),
        ({"api_url": "/api", "api_key": "k"}, ("/api", "k", None, None)),
        ({"endpoint": "", "api_url": "h:1", "api_key": "k"}, ("h:1", "k", None, None)),
        ({"endpoint": "e", "api_url": "ignored", "api_key": "k"}, ("e", "k", None, None)),
        ({"endpoint": "", "api_key": ""}, ("", "", None, None)),
        ({"endpoint": None, "agent_id": None}, (None, None, None, None)),
        ({}, (None, None, None, None)),
        (MappingProxyType({"endpoint": "e", "api_key": "k"}), ("e", "k", None, None)),
        ({"endpoint": _Text("e"), "agent_id": _Text("a")}, ("e", None, "a", None)),
    ],
)
def test_token_payload_reads_members(document, expected):
    payload = ConnectTokenPayload.from_dict(document)
    assert (
        payload.endpoint,
        payload.api_key,
        payload.agent_id,
        payload.registration_token,
    ) == expected
    assert payload.raw == dict(document)
    assert payload.raw is not document


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (["endpoint"], "invalid connect token payload: expected a JSON object, got list"),
        ("text", "invalid connect token payload: expected a JSON object, got str"),
        (None, "invalid connect token payload: expected a JSON object, got NoneType"),
        (
            {"endpoint": 5, "api_key": "k"},
            "invalid connect token payload: endpoint must be a string",
        ),
        (
            {"endpoint": "", "api_url": ["x"]},
            "invalid connect token payload: api_url must be a string",
        ),
        (
            {"endpoint": "e", "api_key": {"v": 1}},
            "invalid connect token payload: api_key must be a string",
        ),
        ({"agent_id": 12}, "invalid connect token payload: agent_id must be a string"),
        # the fallback member is checked before the ones after it
        (
            {"api_url": 1, "api_key": 2},
            "invalid connect token payload: api_url must be a string",
        ),
        (
            {"registration_token": True},
            "invalid connect token payload: registration_token must be a string",
        ),
    ],
)
def test_token_payload_rejects_wrong_shapes(value, message):
    with pytest.raises(KavriCloudError) as info:
        ConnectTokenPayload.from_dict(value)
    assert str(info.value) == message


def test_token_payload_round_trips_and_keeps_extra_members():
    document = {"api_url": "/api", "api_key": "k", "agent_id": "a", "tenant": "acme"}
    payload = ConnectTokenPayload.from_dict(document)
    assert payload.to_dict() == {
        "endpoint": "/api",
        "api_key": "k",
        "agent_id": "a",
        "tenant": "acme",
    }
    again = ConnectTokenPayload.from_dict(payload.to_dict())
    assert (again.endpoint, again.api_key, again.agent_id) == ("/api", "k", "a")


@pytest.mark.parametrize(
    ("agent_id", "registration_token", "agent_mode"),
    [
        ("a", "t", True),
        ("a", None, False),
        (None, "t", False),
        ("", "t", False),
        ("a", "", False),
        (None, None, False),
    ],
)
def test_agent_mode_needs_both_agent_fields(agent_id, registration_token, agent_mode):
    config = ConnectConfig(
        api_base_url="https://x",
        api_key="k",
        agent_id=agent_id,
        registration_token=registration_token,
    )
    assert config.is_agent_mode is agent_mode


def test_secrets_stay_out_of_reprs():
    payload = ConnectTokenPayload.from_dict(
        {"endpoint": "e", "api_key": "sk-1", "registration_token": "rt-1"}
    )
    config = ConnectConfig("https://x", "sk-1", "ag", "rt-1")
    for text in (repr(payload), repr(config)):
        assert "sk-1" not in text and "rt-1" not in text
    assert "ag" in repr(config)


@pytest.mark.parametrize("status", ["OK", "failed", "", None])
def test_check_rejects_unknown_status(status):
    with pytest.raises(ValueError, match="status must be"):
        BootstrapCheck("config", status, "m")


def _report(*checks, ok=None, claimed=None):
    config = ConnectConfig("https://api.x", "sk-secret", "ag-1", "rt-secret")
    if ok is None:
        ok = all(c.status != "error" for c in checks)
    return BootstrapReport(ok=ok, config=config, checks=list(checks), claimed_agent=claimed)


def test_raise_for_error_passes_when_ok():
    report = _report(
        BootstrapCheck("config", "ok", "fine"),
        BootstrapCheck("tenant_access", "warning", "meh", "fix"),
    )
    assert report.raise_for_error() is None


def test_raise_for_error_lists_every_error_check():
    report = _report(
        BootstrapCheck("config", "ok", "fine"),
        BootstrapCheck("cloud_reachable", "error", "could not reach", "Check DNS."),
        BootstrapCheck("tenant_access", "warning", "meh", "ignored"),
        BootstrapCheck("agent_claim", "error", "claim refused", "Get a new token."),
    )
    with pytest.raises(KavriCloudError) as info:
        report.raise_for_error()
    assert str(info.value) == (
        "Kavri Cloud bootstrap check failed: "
        "cloud_reachable: could not reach; agent_claim: claim refused"
    )
    assert info.value.remediation == "Check DNS."


def test_raise_for_error_follows_ok_flag_even_without_error_checks():
    with pytest.raises(KavriCloudError, match="^Kavri Cloud bootstrap check failed$"):
        _report(BootstrapCheck("config", "ok", "fine"), ok=False).raise_for_error()


def test_report_to_dict_is_json_ready_without_secrets():
    claimed = ClaimAgentResult.from_dict({"agent_id": "ag-1", "status": "active", "name": "bot"})
    report = _report(
        BootstrapCheck("cloud_reachable", "ok", "up", raw={"status": "ok"}), claimed=claimed
    )
    text = json.dumps(report.to_dict())
    assert "sk-secret" not in text and "rt-secret" not in text
    data = json.loads(text)
    assert data["config"] == {
        "api_base_url": "https://api.x",
        "api_key_set": True,
        "agent_id": "ag-1",
        "registration_token_set": True,
        "is_agent_mode": True,
    }
    assert data["checks"] == [
        {
            "name": "cloud_reachable",
            "status": "ok",
            "message": "up",
            "remediation": None,
            "raw": {"status": "ok"},
        }
    ]
    assert data["claimed_agent"] == {"agent_id": "ag-1", "status": "active", "name": "bot"}
    assert data["ok"] is True


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        ({"agent_id": "ag-1", "status": "active", "name": "bot"}, ("ag-1", "active", "bot")),
        ({"id": "ag-2", "status": "active"}, ("ag-2", "active", None)),
        ({"agent_id": "", "id": "ag-3"}, ("ag-3", "", None)),
        ({}, ("", "", None)),
    ],
)
def test_claim_result_reads_response(data, expected):
    result = ClaimAgentResult.from_dict(data)
    assert (result.agent_id, result.status, result.name) == expected
    assert result.raw == data


@pytest.mark.parametrize("data", [None, ["ag"], "ag", {"agent_id": 5}, {"status": ["active"]}])
def test_claim_result_rejects_wrong_shapes(data):
    with pytest.raises(KavriCloudError, match="^invalid agent claim response"):
        ClaimAgentResult.from_dict(data)
