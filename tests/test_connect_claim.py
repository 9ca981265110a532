"""Agent claim: the claim call over real HTTP, the already-active rule, public-key resolution."""

from __future__ import annotations

import json
import logging
import sys

import kavri_core
import pytest

from kavri_cloud import connect
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import AuthenticationError, KavriCloudError, NotFoundError, ValidationError

KEY_ENV = ("KAVRI_AGENT_PUBLIC_KEY", "KAVRI_SIGNING_KEY", "KAVRI_ISSUER_KEY")
PUB = "ab" * 32


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in KEY_ENV:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def client(http_server):
    with KavriCloudClient("tc_runtime_key", base_url=http_server.url, timeout=5.0) as c:
        yield c


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="kavri_cloud.connect")
    return lambda: [r for r in caplog.records if r.name == "kavri_cloud.connect"]


def claim(client, fn=None, agent_id="agt_1"):
    fn = fn or connect.claim_agent
    return fn(client, agent_id=agent_id, public_key_hex=PUB, registration_token="rt_secret")


def test_claim_posts_the_binding_in_order_and_logs_the_result(http_server, client, records):
    http_server.add(json={"agent_id": "agt_1", "status": "active", "name": "worker"}, path="/v1/agents/claim")
    result = claim(client)
    request = http_server.last
    assert (request.method, request.path) == ("POST", "/v1/agents/claim")
    assert list(json.loads(request.body)) == ["agent_id", "public_key", "registration_token"]
    assert request.json() == {"agent_id": "agt_1", "public_key": PUB, "registration_token": "rt_secret"}
    assert (result.agent_id, result.status, result.name) == ("agt_1", "active", "worker")
    [record] = records()
    assert (record.levelno, record.getMessage(), record.agent_id, record.status) == (
        logging.INFO, "agent claimed", "agt_1", "active",
    )


def test_claim_arguments_are_keyword_only_and_required(client):
    with pytest.raises(TypeError):
        connect.claim_agent(client, "agt_1", PUB, "rt")
    with pytest.raises(TypeError):
        connect.claim_agent(client, agent_id="agt_1", public_key_hex=PUB)


@pytest.mark.parametrize(
    "status, body",
    [
        (409, {"code": "conflict", "message": "agent already active"}),
        (409, {"agent_id": "someone_else", "status": "revoked"}),
        (400, {"code": "agent_not_pending", "message": "not pending"}),
        (422, {"error": {"code": "agent_not_pending"}}),
    ],
)
def test_already_active_agent_counts_as_claimed(http_server, client, records, status, body):
    http_server.add(status, json=body, path="/v1/agents/claim")
    result = claim(client, connect._claim_or_already_active)
    assert (result.agent_id, result.status) == ("agt_1", "active")
    assert result.raw == {"agent_id": "agt_1", "status": "active"}  # nothing of the failed call
    [record] = records()
    assert (record.getMessage(), record.agent_id) == ("agent already claimed", "agt_1")


@pytest.mark.parametrize(
    "status, body, kind",
    [
        (401, {"code": "unauthorized", "message": "bad key"}, AuthenticationError),
        (404, {"code": "not_found", "message": "no agent"}, NotFoundError),
        (400, {"code": "invalid_request", "message": "bad key hex"}, ValidationError),
    ],
)
def test_other_claim_failures_propagate_unchanged(http_server, client, records, status, body, kind):
    http_server.add(status, json=body, path="/v1/agents/claim")
    with pytest.raises(kind) as info:
        claim(client, connect._claim_or_already_active)
    assert info.value.status_code == status and str(info.value) == body["message"]
    assert records() == []


def test_claim_or_already_active_goes_through_the_modules_claim_agent(monkeypatch):
    calls = []

    def fake_claim(client, **kwargs):
        calls.append((client, kwargs))
        raise RuntimeError("not a service error")

    monkeypatch.setattr(connect, "claim_agent", fake_claim)
    with pytest.raises(RuntimeError):
        connect._claim_or_already_active("c", "agt", PUB, "rt")
    assert calls == [("c", {"agent_id": "agt", "public_key_hex": PUB, "registration_token": "rt"})]


@pytest.mark.parametrize(
    "status_code, code, expected",
    [(409, None, True), (409, "other", True), (400, "agent_not_pending", True), (None, "agent_not_pending", True),
     (400, "conflict", False), (None, None, False), ("409", None, False)],
)
def test_already_claimed_rule(status_code, code, expected):
    exc = KavriCloudError("x", status_code=status_code, code=code)
    assert connect._already_claimed(exc) is expected


# ---------------------------------------------------------------- public key


def derived(seed_hex: str) -> str:
    return kavri_core.SigningKey.from_hex(seed_hex).public_key.to_bytes().hex()


SEED = "11" * 32
SEED2 = "22" * 32


@pytest.mark.parametrize(
    "env, expected",
    [
        ({}, None),
        ({"KAVRI_AGENT_PUBLIC_KEY": f"  {PUB}\n"}, PUB),
        ({"KAVRI_AGENT_PUBLIC_KEY": "   ", "KAVRI_SIGNING_KEY": SEED}, ""),
        ({"KAVRI_AGENT_PUBLIC_KEY": "", "KAVRI_SIGNING_KEY": SEED}, derived(SEED)),
        ({"KAVRI_SIGNING_KEY": f" {SEED.upper()} "}, derived(SEED)),
        ({"KAVRI_SIGNING_KEY": SEED, "KAVRI_ISSUER_KEY": SEED2}, derived(SEED)),
        ({"KAVRI_SIGNING_KEY": "", "KAVRI_ISSUER_KEY": SEED2}, derived(SEED2)),
    ],
)
def test_public_key_resolution(monkeypatch, env, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert connect._resolve_public_key_hex() == expected


@pytest.mark.parametrize("seed", ["not hex", "abcd", "1" * 63])
def test_underivable_signing_key_is_no_key_with_a_debug_record(monkeypatch, records, seed):
    monkeypatch.setenv("KAVRI_SIGNING_KEY", seed)
    assert connect._resolve_public_key_hex() is None
    [record] = records()
    assert record.levelno == logging.DEBUG
    assert record.msg == "could not derive public key from signing key: %s"
    assert isinstance(record.args[0], ValueError)


def test_missing_core_is_no_key(monkeypatch, records):
    monkeypatch.setenv("KAVRI_SIGNING_KEY", SEED)
    monkeypatch.setitem(sys.modules, "kavri_core", None)  # import fails
    assert connect._resolve_public_key_hex() is None
    assert isinstance(records()[0].args[0], ImportError)


def test_interrupt_during_derivation_is_not_swallowed(monkeypatch):
    def interrupted(text):
        raise KeyboardInterrupt

    monkeypatch.setenv("KAVRI_SIGNING_KEY", SEED)
    monkeypatch.setattr(kavri_core.SigningKey, "from_hex", interrupted)
    with pytest.raises(KeyboardInterrupt):
        connect._resolve_public_key_hex()


def test_resolution_takes_no_arguments():
    with pytest.raises(TypeError):
        connect._resolve_public_key_hex("x")
