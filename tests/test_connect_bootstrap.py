"""connect(): token, configuration, verification, export, claim and the returned client, in that order."""

from __future__ import annotations

import logging
import os

import pytest

from kavri_cloud import connect
from kavri_cloud.exceptions import AuthenticationError, ConflictError, KavriCloudError
from kavri_cloud.local import make_connect_token
from tests.connect_fakes import Cloud

ENV = (
    "KAVRI_CONNECT_TOKEN", "KAVRI_API_KEY", "KAVRI_CONTROL_PLANE_URL", "KAVRI_API_URL", "KAVRI_AGENT_ID",
    "KAVRI_AGENT_PUBLIC_KEY", "KAVRI_SIGNING_KEY", "KAVRI_ISSUER_KEY",
)
PUB = "ef" * 32
URL = "https://api.example.com"
TOKEN = make_connect_token(URL, "tc_admin_key_1")
AGENT_TOKEN = make_connect_token(URL, "tc_admin_key_1", agent_id="agt_7", registration_token="rt_7")
SKIP = ("connect token includes agent binding but no public key provided - skip claim "
        "(set public_key_hex= or KAVRI_SIGNING_KEY)")


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def cloud(monkeypatch) -> Cloud:
    c = Cloud()
    monkeypatch.setattr(connect, "KavriCloudClient", c.client_class())
    monkeypatch.setattr(connect, "AsyncKavriCloudClient", c.async_client_class())
    return c


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="kavri_cloud.connect")
    return lambda: [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "kavri_cloud.connect"]


def claims(cloud: Cloud) -> list[tuple]:
    return [c for c in cloud.calls if c[0] == "claim"]


@pytest.mark.parametrize("token", [None, ""])
def test_a_token_is_required(cloud, monkeypatch, token):
    monkeypatch.setenv("KAVRI_CONNECT_TOKEN", "")
    with pytest.raises(KavriCloudError) as info:
        connect.connect(token)
    assert str(info.value) == "connect token required - set KAVRI_CONNECT_TOKEN or pass token="
    assert cloud.clients == []


def test_empty_argument_falls_back_to_the_environment(cloud, monkeypatch):
    monkeypatch.setenv("KAVRI_CONNECT_TOKEN", TOKEN)
    client = connect.connect("")
    assert (type(client).__name__, client.api_key, client.base_url) == ("FakeClient", "tc_admin_key_1", URL)


def test_token_errors_propagate_before_anything_happens(cloud):
    with pytest.raises(KavriCloudError, match="invalid connect token: expected prefix"):
        connect.connect("not-a-token")
    assert cloud.clients == [] and "KAVRI_API_KEY" not in os.environ


@pytest.mark.parametrize("apply_env", [True, False])
def test_export_follows_apply_env_and_never_overwrites(cloud, monkeypatch, apply_env):
    monkeypatch.setenv("KAVRI_API_KEY", "tc_mine")
    connect.connect(AGENT_TOKEN, public_key_hex=PUB, apply_env=apply_env)
    assert os.environ["KAVRI_API_KEY"] == "tc_mine"
    assert os.environ.get("KAVRI_CONTROL_PLANE_URL") == (URL if apply_env else None)
    assert os.environ.get("KAVRI_AGENT_ID") == ("agt_7" if apply_env else None)


def test_claim_uses_its_own_client_closed_before_the_returned_one(cloud, monkeypatch):
    monkeypatch.setenv("KAVRI_AGENT_PUBLIC_KEY", "not used")
    client = connect.connect(AGENT_TOKEN, public_key_hex=PUB)
    assert claims(cloud) == [("claim", "POST", "agents/claim",
                              {"agent_id": "agt_7", "public_key": PUB, "registration_token": "rt_7"})]
    assert len(cloud.clients) == 2 and cloud.clients[1] is client and cloud.closed == 1


def test_public_key_comes_from_the_environment_when_not_passed(cloud, monkeypatch):
    monkeypatch.setenv("KAVRI_AGENT_PUBLIC_KEY", f" {PUB} ")
    connect.connect(AGENT_TOKEN)
    assert claims(cloud)[0][3]["public_key"] == PUB


@pytest.mark.parametrize("env", [{}, {"KAVRI_AGENT_PUBLIC_KEY": "   "}, {"KAVRI_SIGNING_KEY": "zz"}])
def test_no_public_key_skips_the_claim_with_an_info_record(cloud, monkeypatch, records, env):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    client = connect.connect(AGENT_TOKEN)
    assert claims(cloud) == [] and cloud.clients == [client]
    assert (logging.INFO, SKIP) in records()


def test_no_agent_binding_means_no_claim_and_no_record(cloud, records):
    connect.connect(TOKEN, public_key_hex=PUB)
    assert claims(cloud) == [] and records() == []


def test_claim_false_skips_it(cloud):
    connect.connect(AGENT_TOKEN, public_key_hex=PUB, claim=False)
    assert claims(cloud) == [] and len(cloud.clients) == 1


def test_repeated_bootstrap_succeeds_on_an_active_agent(cloud, records):
    cloud.answers["claim"] = ConflictError("agent agt_7 is already active", status_code=409)
    assert connect.connect(AGENT_TOKEN, public_key_hex=PUB) is cloud.clients[-1]
    assert (logging.INFO, "agent already claimed") in records()


def test_failed_claim_propagates_after_closing_the_claim_client(cloud):
    cloud.answers["claim"] = AuthenticationError("bad registration token", status_code=401)
    with pytest.raises(AuthenticationError):
        connect.connect(AGENT_TOKEN, public_key_hex=PUB)
    assert len(cloud.clients) == 1 and cloud.closed == 1


def test_async_client_still_claims_synchronously(cloud):
    client = connect.connect(AGENT_TOKEN, public_key_hex=PUB, async_client=True)
    assert [type(c).__name__ for c in cloud.clients] == ["FakeClient", "FakeAsyncClient"]
    assert (client.api_key, client.base_url) == ("tc_admin_key_1", URL)
    assert len(claims(cloud)) == 1 and cloud.closed == 1


class Report:
    def __init__(self, ok: bool) -> None:
        self.ok = ok

    def raise_for_error(self) -> None:
        if not self.ok:
            raise KavriCloudError("bootstrap check failed")


@pytest.mark.parametrize("ok", [True, False])
def test_verify_runs_a_side_effect_free_doctor_first(cloud, monkeypatch, ok):
    calls = []

    def fake_doctor(*args, **kwargs):
        calls.append((args, kwargs, dict(os.environ).get("KAVRI_API_KEY"), len(claims(cloud))))
        return Report(ok)

    monkeypatch.setattr(connect, "doctor", fake_doctor)
    if ok:
        connect.connect(AGENT_TOKEN, public_key_hex=PUB, verify=True)
    else:
        with pytest.raises(KavriCloudError, match="bootstrap check failed"):
            connect.connect(AGENT_TOKEN, public_key_hex=PUB, verify=True)
    assert calls == [((AGENT_TOKEN,), {"public_key_hex": PUB}, None, 0)]
    assert len(claims(cloud)) == (1 if ok else 0)
    assert ("KAVRI_API_KEY" in os.environ) is ok


def test_verify_with_the_real_doctor_fails_on_an_error_check(cloud):
    cloud.answers["health"] = OSError("unreachable")
    with pytest.raises(KavriCloudError, match="cloud_reachable"):
        connect.connect(TOKEN, verify=True)
    assert "KAVRI_API_KEY" not in os.environ


def test_connect_signature():
    with pytest.raises(TypeError):
        connect.connect(TOKEN, PUB)
    with pytest.raises(TypeError):
        connect.connect(TOKEN, public_key=PUB)
