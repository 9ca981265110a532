"""Quick Connect, doctor and the kavri-cloud doctor/connect commands against the local Kavri Cloud,
with tokens it mints and real Ed25519 agent keys."""

from __future__ import annotations

import json
import logging
import os
import subprocess
import sys
from pathlib import Path

import kavri_core
import pytest

from kavri_cloud import cli, connect
from kavri_cloud.client import AsyncKavriCloudClient, KavriCloudClient

pytestmark = pytest.mark.e2e

ROOT = Path(__file__).resolve().parents[2]
ENV = (
    "KAVRI_CONNECT_TOKEN", "KAVRI_API_KEY", "KAVRI_CONTROL_PLANE_URL", "KAVRI_API_URL", "KAVRI_AGENT_ID",
    "KAVRI_AGENT_PUBLIC_KEY", "KAVRI_SIGNING_KEY", "KAVRI_ISSUER_KEY",
)


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def agent_key(monkeypatch) -> kavri_core.SigningKey:
    key = kavri_core.SigningKey.generate()
    monkeypatch.setenv("KAVRI_SIGNING_KEY", key.to_bytes().hex())
    return key


def agent_record(cloud, agent_id: str) -> dict:
    [record] = [a for a in cloud.agents() if a["agent_id"] == agent_id]
    return record


def test_connect_claims_once_and_a_second_connect_finds_the_agent_active(local_cloud, agent_key, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.connect")
    token = local_cloud.token(agent="worker")
    agent_id = connect.connect_config_from_token(token).agent_id

    with connect.connect(token) as client:
        assert isinstance(client, KavriCloudClient)
        assert client.health()["status"] == "ok"
    record = agent_record(local_cloud, agent_id)
    assert (record["status"], record["public_key"]) == ("active", agent_key.public_key.to_bytes().hex())
    assert (os.environ["KAVRI_API_KEY"], os.environ["KAVRI_CONTROL_PLANE_URL"], os.environ["KAVRI_AGENT_ID"]) == (
        local_cloud.runtime_key, local_cloud.url, agent_id,
    )

    connect.connect(token, async_client=False).close()
    messages = [r.getMessage() for r in caplog.records if r.name == "kavri_cloud.connect"]
    assert messages == ["agent claimed", "agent already claimed"]
    assert agent_record(local_cloud, agent_id)["status"] == "active"


def test_async_client_is_returned_after_a_synchronous_claim(local_cloud, agent_key):
    import asyncio

    token = local_cloud.token(agent="async-worker")
    client = connect.connect(token, async_client=True)
    assert isinstance(client, AsyncKavriCloudClient)

    async def use() -> dict:
        try:
            return await client.health()
        finally:
            await client.close()

    assert asyncio.run(use())["status"] == "ok"
    assert agent_record(local_cloud, connect.connect_config_from_token(token).agent_id)["status"] == "active"


def test_verify_passes_on_a_healthy_setup_and_fails_on_a_rejected_key(local_cloud):
    connect.connect(local_cloud.token(), verify=True).close()
    bad = connect.connect_config_from_token(local_cloud.token())
    from kavri_cloud.local import make_connect_token

    with pytest.raises(Exception, match="tenant_access"):
        connect.connect(make_connect_token(bad.api_base_url, "tc_admin_wrongwrongwrong"), verify=True)


def statuses(report) -> list[tuple[str, str]]:
    return [(c.name, c.status) for c in report.checks]


NAMES = ["config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim"]


def test_doctor_with_the_admin_key_is_all_ok(local_cloud):
    report = connect.doctor(local_cloud.token(admin=True))
    assert statuses(report) == [(name, "ok") for name in NAMES]
    assert report.ok


def test_doctor_with_the_runtime_key_warns_twice_and_stays_ok(local_cloud):
    report = connect.doctor(local_cloud.token())
    assert statuses(report) == [("config", "ok"), ("cloud_reachable", "ok"), ("tenant_access", "warning"),
                                ("approval_policy_access", "warning"), ("agent_claim", "ok")]
    assert report.ok
    assert all(c.remediation for c in report.checks if c.status == "warning")


def test_doctor_with_a_wrong_key_shows_the_401_error(local_cloud):
    report = connect.doctor(api_key="tc_admin_notthekeyatall", base_url=local_cloud.url)
    tenant = report.checks[2]
    assert (tenant.name, tenant.status) == ("tenant_access", "error")
    assert tenant.raw["code"] == "unauthorized"
    assert report.checks[1].status == "ok"  # health needs no key
    assert not report.ok


def test_doctor_claims_on_request_and_again_as_already_active(local_cloud, agent_key):
    token = local_cloud.token(agent="doctor-agent")
    agent_id = connect.connect_config_from_token(token).agent_id
    ready = connect.doctor(token)
    assert ready.checks[-1].message == "Agent claim is ready but was not submitted because claim=False."
    assert agent_record(local_cloud, agent_id)["status"] == "pending"
    first = connect.doctor(token, claim=True)
    second = connect.doctor(token, claim=True)
    for report in (first, second):
        assert report.checks[-1].message == f"Claimed agent {agent_id}."
        assert report.claimed_agent.status == "active" and report.ok
    assert first.claimed_agent.raw["public_key"] == agent_key.public_key.to_bytes().hex()


def test_doctor_of_an_unreachable_cloud_reports_it(refused_url):
    report = connect.doctor(api_key="tc_admin_anything", base_url=refused_url)
    assert report.checks[1].status == "error"
    assert report.checks[1].remediation.startswith("Check KAVRI_CONTROL_PLANE_URL")
    assert not report.ok


# ---------------------------------------------------------------- the commands


def secrets_of(cloud, token: str) -> list[str]:
    config = connect.connect_config_from_token(token)
    return [s for s in (token, cloud.admin_key, cloud.runtime_key, config.registration_token) if s]


@pytest.mark.parametrize("runtime", [False, True])
def test_doctor_json_contains_no_key_or_token(local_cloud, capsys, runtime):
    token = local_cloud.token(agent="json-agent", runtime=runtime)
    assert cli.main(["doctor", "--token", token, "--json"]) == 0
    out = capsys.readouterr().out
    report = json.loads(out)
    assert [c["name"] for c in report["checks"]] == NAMES and report["ok"] is True
    for secret in secrets_of(local_cloud, token):
        assert secret not in out


def test_doctor_command_exits_1_and_hides_a_wrong_key(local_cloud, capsys):
    wrong = "tc_admin_notthekeyatall"
    assert cli.main(["doctor", "--api-key", wrong, "--base-url", local_cloud.url]) == 1
    out = capsys.readouterr().out
    assert "tenant_access" in out and "error" in out and wrong not in out


def test_doctor_command_through_the_real_entry_point(local_cloud):
    token = local_cloud.token(agent="cli-agent")
    env = {k: v for k, v in os.environ.items() if k not in ENV}
    env.update(KAVRI_CONNECT_TOKEN=token, PYTHONPATH=os.pathsep.join([str(ROOT), str(ROOT / "sdk")]))
    done = subprocess.run([sys.executable, "-m", "kavri_cloud", "doctor"], env=env, capture_output=True,
                          text=True, timeout=60, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    assert "agent_claim" in done.stdout and "doctor: ok" in done.stdout
    for secret in secrets_of(local_cloud, token):
        assert secret not in done.stdout + done.stderr


def test_connect_command_claims_then_reports_already_active(local_cloud, agent_key, capsys):
    token = local_cloud.token(agent="cli-connect")
    agent_id = connect.connect_config_from_token(token).agent_id
    assert cli.main(["connect", "--token", token]) == 0
    assert cli.main(["connect", "--token", token]) == 0
    out = capsys.readouterr().out
    assert f"agent {agent_id}: claimed" in out and f"agent {agent_id}: already active" in out
    for secret in secrets_of(local_cloud, token):
        assert secret not in out


def test_connect_command_fails_cleanly_on_a_bad_token(capsys):
    assert cli.main(["connect", "--token", "kavri_ct_abcde"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("kavri-cloud: error: invalid connect token encoding")
