"""The doctor diagnostic: configuration resolution, the probes and their check table.

The cloud client is the scripted fake of tests/connect_fakes.py (see there why).
"""

from __future__ import annotations

import os
from typing import Any

import pytest

from kavri_cloud import connect
from kavri_cloud.exceptions import (
    AuthenticationError,
    ConflictError,
    KavriCloudError,
    PermissionDeniedError,
    ServerError,
    TransportError,
)
from kavri_cloud.hosted import DEFAULT_API_BASE_URL
from kavri_cloud.local import make_connect_token
from tests.connect_fakes import TENANT, Cloud

ENV = (
    "KAVRI_CONNECT_TOKEN", "KAVRI_API_KEY", "KAVRI_CONTROL_PLANE_URL", "KAVRI_API_URL", "KAVRI_AGENT_ID",
    "KAVRI_AGENT_PUBLIC_KEY", "KAVRI_SIGNING_KEY", "KAVRI_ISSUER_KEY",
)
PUB = "cd" * 32
TOKEN = make_connect_token("https://api.example.com", "tc_admin_token_key")
AGENT_TOKEN = make_connect_token(
    "https://api.example.com", "tc_admin_token_key", agent_id="agt_7", registration_token="rt_7"
)


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def cloud(monkeypatch) -> Cloud:
    c = Cloud()
    monkeypatch.setattr(connect, "KavriCloudClient", c.client_class())
    return c


def rows(report) -> list[tuple]:
    return [(c.name, c.status, c.message, c.remediation) for c in report.checks]


def auth_error(status: int, remediation: str | None = None, body: Any = None) -> AuthenticationError:
    cls = PermissionDeniedError if status == 403 else AuthenticationError
    return cls(f"HTTP {status} says no", status_code=status, remediation=remediation, body=body)


# ---------------------------------------------------------------- configuration


def test_no_credential_gives_one_error_and_no_client(cloud):
    report = connect.doctor()
    assert rows(report) == [
        ("config", "error", "No Kavri Cloud credential found.",
         "Set KAVRI_CONNECT_TOKEN, set KAVRI_API_KEY, or pass api_key=."),
    ]
    assert report.ok is False and report.claimed_agent is None
    assert cloud.clients == []


@pytest.mark.parametrize("base_url, url", [(None, DEFAULT_API_BASE_URL), ("http://127.0.0.1:5/", "http://127.0.0.1:5/")])
def test_malformed_token_ends_the_report_and_ignores_the_api_key(cloud, base_url, url):
    report = connect.doctor("kavri_ct_abcde", api_key="tc_admin_unused", base_url=base_url, apply_env=True)
    [row] = rows(report)
    assert row[:2] == ("config", "error") and row[2].startswith("invalid connect token encoding: ")
    assert row[3] == "Generate a fresh Quick Connect token in Kavri Cloud."
    assert (report.config.api_base_url, report.config.api_key) == (url, "")
    assert cloud.clients == [] and "KAVRI_API_KEY" not in os.environ


def test_token_from_the_environment_is_decoded(cloud, monkeypatch):
    monkeypatch.setenv("KAVRI_CONNECT_TOKEN", TOKEN)
    report = connect.doctor("", api_key="ignored")
    assert rows(report)[0] == ("config", "ok", "Quick Connect token decoded.", None)
    assert [(c.api_key, c.base_url) for c in cloud.clients] == [("tc_admin_token_key", "https://api.example.com")]


@pytest.mark.parametrize(
    "args, env, key, url",
    [
        ({"api_key": "k1"}, {}, "k1", DEFAULT_API_BASE_URL),
        ({}, {"KAVRI_API_KEY": "k2", "KAVRI_CONTROL_PLANE_URL": "http://cp:1//"}, "k2", "http://cp:1"),
        ({"api_key": "k1", "base_url": "http://arg:2/"}, {"KAVRI_CONTROL_PLANE_URL": "http://cp:1"}, "k1", "http://arg:2"),
        ({"api_key": "k1"}, {"KAVRI_API_URL": "http://ignored:3"}, "k1", DEFAULT_API_BASE_URL),
        ({"api_key": "k1", "base_url": ""}, {"KAVRI_CONTROL_PLANE_URL": ""}, "k1", ""),
    ],
)
def test_key_path_resolution(monkeypatch, args, env, key, url):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    checks: list = []
    config = connect._resolve_doctor_config(None, args.get("api_key"), args.get("base_url"), checks)
    assert (config.api_key, config.api_base_url, config.is_agent_mode) == (key, url, False)
    assert rows_of(checks) == [("config", "ok", f"Using Kavri Cloud API at {url}.", None)]


def rows_of(checks):
    return [(c.name, c.status, c.message, c.remediation) for c in checks]


def test_apply_env_exports_the_token_config_without_overwriting(cloud, monkeypatch):
    monkeypatch.setenv("KAVRI_API_KEY", "tc_existing")
    connect.doctor(AGENT_TOKEN, apply_env=True)
    assert os.environ["KAVRI_API_KEY"] == "tc_existing"
    assert os.environ["KAVRI_CONTROL_PLANE_URL"] == "https://api.example.com"
    assert os.environ["KAVRI_AGENT_ID"] == "agt_7"


def test_defaults_change_nothing(cloud):
    connect.doctor(AGENT_TOKEN, public_key_hex=PUB)
    assert "KAVRI_API_KEY" not in os.environ
    assert [c[0] for c in cloud.calls] == ["health", "get_tenant", "list_policies"]


# ---------------------------------------------------------------- probes


def test_healthy_admin_credential_is_all_ok(cloud):
    report = connect.doctor(TOKEN)
    assert rows(report) == [
        ("config", "ok", "Quick Connect token decoded.", None),
        ("cloud_reachable", "ok", "Kavri Cloud health check returned ok.", None),
        ("tenant_access", "ok", "Credential can read Acme.", None),
        ("approval_policy_access", "ok", "Credential can list approval policies.", None),
        ("agent_claim", "ok", "No agent claim required by this configuration.", None),
    ]
    assert [c.raw for c in report.checks] == [None, {"status": "ok"}, TENANT, [{"id": "pol_1"}], None]
    assert report.ok is True and cloud.closed == 1
    assert ("list_policies", 1) in cloud.calls


@pytest.mark.parametrize(
    "health, message",
    [({}, "Kavri Cloud health check returned ok."), ({"status": "degraded"}, "Kavri Cloud health check returned degraded."),
     ({"status": 3}, "Kavri Cloud health check returned 3.")],
)
def test_health_status_is_only_part_of_the_message(cloud, health, message):
    cloud.answers["health"] = health
    report = connect.doctor(TOKEN)
    assert rows(report)[1] == ("cloud_reachable", "ok", message, None) and report.ok


@pytest.mark.parametrize("error", [TransportError("could not reach Kavri Cloud"), ValueError("odd"), ServerError("502")])
def test_failing_health_is_recorded_and_later_probes_still_run(cloud, error):
    cloud.answers["health"] = error
    report = connect.doctor(TOKEN)
    assert rows(report)[1] == ("cloud_reachable", "error", str(error),
                               "Check KAVRI_CONTROL_PLANE_URL, network egress, TLS interception, and DNS.")
    assert report.checks[1].raw is None
    assert [r[0] for r in rows(report)] == ["config", "cloud_reachable", "tenant_access", "approval_policy_access",
                                            "agent_claim"]
    assert report.ok is False


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(3)])
def test_interrupt_during_health_stops_doctor_and_closes_the_client(cloud, stop):
    cloud.answers["health"] = stop
    with pytest.raises(type(stop)):
        connect.doctor(TOKEN)
    assert cloud.closed == 1
    assert [c[0] for c in cloud.calls] == ["health"]


@pytest.mark.parametrize(
    "tenant, name",
    [(TENANT, "Acme"), ({"name": "", "slug": "acme", "id": "t"}, "acme"), ({"id": "ten_9"}, "ten_9"), ({}, "tenant"),
     ({"name": None, "slug": "", "id": 7}, "7")],
)
def test_tenant_is_named_by_name_slug_or_id(cloud, tenant, name):
    cloud.answers["get_tenant"] = tenant
    assert rows(connect.doctor(TOKEN))[2] == ("tenant_access", "ok", f"Credential can read {name}.", None)


TENANT_HINT = "Admin credentials can read tenant details; runtime credentials may not need this."
POLICY_HINT = "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies."


@pytest.mark.parametrize("probe, index, hint", [("get_tenant", 2, TENANT_HINT), ("list_policies", 3, POLICY_HINT)])
@pytest.mark.parametrize(
    "error, status, remediation, raw, ok",
    [
        (auth_error(401), "error", "default", {}, False),
        (auth_error(401, "Rotate the key.", {"code": "unauthorized"}), "error", "Rotate the key.", {"code": "unauthorized"},
         False),
        (auth_error(403, body={"code": "forbidden"}), "warning", "default", {"code": "forbidden"}, True),
        (auth_error(403, remediation=""), "warning", "default", {}, True),
        (KavriCloudError("busy", remediation=None, body=""), "warning", None, {}, True),
        (ConflictError("odd", remediation="Retry.", body=[1]), "warning", "Retry.", [1], True),
    ],
)
def test_permission_probe_failures(cloud, probe, index, hint, error, status, remediation, raw, ok):
    cloud.answers[probe] = error
    report = connect.doctor(TOKEN)
    check = report.checks[index]
    expected = hint if remediation == "default" else remediation
    assert (check.status, check.message, check.remediation, check.raw) == (status, str(error), expected, raw)
    assert report.ok is ok


@pytest.mark.parametrize("probe", ["get_tenant", "list_policies", "claim"])
def test_errors_a_probe_does_not_handle_end_doctor_after_closing(cloud, monkeypatch, probe):
    monkeypatch.setenv("KAVRI_AGENT_PUBLIC_KEY", PUB)
    cloud.answers[probe] = RuntimeError("bug")
    with pytest.raises(RuntimeError, match="bug"):
        connect.doctor(AGENT_TOKEN, claim=True)
    assert cloud.closed == 1


def test_close_failure_after_a_probe_error_keeps_the_probe_error_as_context(cloud):
    cloud.answers["get_tenant"] = RuntimeError("probe failed")
    cloud.close_error = OSError("close failed")
    with pytest.raises(OSError) as info:
        connect.doctor(TOKEN)
    assert str(info.value.__context__) == "probe failed"


def test_doctor_runs_the_steps_found_on_the_module(cloud, monkeypatch):
    seen = []
    monkeypatch.setattr(connect, "_probe_tenant", lambda client, checks: seen.append(type(client).__name__))
    report = connect.doctor(TOKEN)
    assert seen == ["FakeClient"]
    assert [c.name for c in report.checks] == ["config", "cloud_reachable", "approval_policy_access", "agent_claim"]


# ---------------------------------------------------------------- agent claim


CLAIM_READY = ("agent_claim", "warning", "Agent claim is ready but was not submitted because claim=False.",
               "Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim the agent.")
NO_KEY = ("agent_claim", "warning", "Quick Connect token includes an agent binding, but no public key was available.",
          "Pass public_key_hex=, set KAVRI_AGENT_PUBLIC_KEY, or set KAVRI_SIGNING_KEY/KAVRI_ISSUER_KEY.")


@pytest.mark.parametrize(
    "env, kwargs, expected",
    [
        ({}, {}, NO_KEY),
        ({"KAVRI_AGENT_PUBLIC_KEY": "  "}, {"claim": True}, NO_KEY),
        ({"KAVRI_AGENT_PUBLIC_KEY": PUB}, {}, CLAIM_READY),
        ({}, {"public_key_hex": PUB}, CLAIM_READY),
    ],
)
def test_claim_warnings_leave_the_report_ok(cloud, monkeypatch, env, kwargs, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    report = connect.doctor(AGENT_TOKEN, **kwargs)
    assert rows(report)[-1] == expected
    assert report.ok is True and report.claimed_agent is None
    assert not any(c[0] == "claim" for c in cloud.calls)


@pytest.mark.parametrize(
    "answer, who",
    [({"agent_id": "agt_7", "status": "active", "name": "worker"}, "agt_7"),
     ({"agent_id": "", "status": "active", "name": "worker"}, "worker")],
)
def test_claim_on_request(cloud, monkeypatch, answer, who):
    monkeypatch.setenv("KAVRI_AGENT_PUBLIC_KEY", "ignored")
    cloud.answers["claim"] = answer
    report = connect.doctor(AGENT_TOKEN, public_key_hex=PUB, claim=True)
    assert rows(report)[-1] == ("agent_claim", "ok", f"Claimed agent {who}.", None)
    assert report.checks[-1].raw == answer and report.claimed_agent.raw == answer
    assert cloud.calls[-1] == ("claim", "POST", "agents/claim",
                               {"agent_id": "agt_7", "public_key": PUB, "registration_token": "rt_7"})


def test_claim_of_an_active_agent_is_ok_and_names_the_requested_id(cloud):
    cloud.answers["claim"] = ConflictError("already active", status_code=409, body={"agent_id": "other"})
    report = connect.doctor(AGENT_TOKEN, public_key_hex=PUB, claim=True)
    assert rows(report)[-1] == ("agent_claim", "ok", "Claimed agent agt_7.", None)
    assert (report.claimed_agent.agent_id, report.claimed_agent.status) == ("agt_7", "active")
    assert report.ok


def test_failed_claim_is_an_error_check(cloud):
    cloud.answers["claim"] = AuthenticationError("bad registration token", status_code=401,
                                                 remediation="Generate a fresh token.", body={"code": "x"})
    report = connect.doctor(AGENT_TOKEN, public_key_hex=PUB, claim=True)
    assert rows(report)[-1] == ("agent_claim", "error", "bad registration token", "Generate a fresh token.")
    assert report.checks[-1].raw == {"code": "x"}
    assert report.ok is False and report.claimed_agent is None


# ---------------------------------------------------------------- report


@pytest.mark.parametrize("statuses, ok", [([], True), (["ok", "warning"], True), (["ok", "error", "ok"], False)])
def test_report_is_ok_without_error_checks(statuses, ok):
    checks = [connect.BootstrapCheck("x", s, "m") for s in statuses]
    config = connect.ConnectConfig(api_base_url="https://h", api_key="k")
    report = connect._report(config, checks)
    assert report.ok is ok and report.checks is checks and report.config is config and report.claimed_agent is None


def test_doctor_signature():
    with pytest.raises(TypeError):
        connect.doctor(TOKEN, "api-key-by-position")
    with pytest.raises(TypeError):
        connect.doctor(tokn=TOKEN)
