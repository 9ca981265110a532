"""The local Kavri Cloud, driven through the package's own client over real loopback HTTP."""

from __future__ import annotations

import asyncio
import base64
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import httpx
import kavri_core
import pytest

from kavri_cloud import cli
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import (
    AuthenticationError,
    ConflictError,
    KavriCloudError,
    NotFoundError,
    PermissionDeniedError,
    ServerError,
    TransportError,
    ValidationError,
)
from kavri_cloud.local import LocalCloud
from kavri_cloud.local.server import _bind
from kavri_cloud.models import ConnectTokenPayload
from tests.local_fixture import attested_request

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture
def client(local_cloud):
    with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url, timeout=5.0) as c:
        yield c


def _raw(client, method, path, body=None):
    """Status and decoded body of a request the client's field checks would refuse to build."""
    response = client._send(method, path, json=body)
    return response.status_code, response.json()


def _signed_bytes(text: str, encoding: str) -> bytes:
    return bytes.fromhex(text) if encoding == "hex" else base64.b64decode(text, validate=True)


class _Clock:
    def __init__(self) -> None:
        self.now = time.time()

    def __call__(self) -> float:
        return self.now


# ---------------------------------------------------------------- approvals


@pytest.mark.parametrize("encoding", ["base64", "hex"])
def test_two_of_three_approvals_yield_verifiable_signatures_that_survive_a_restart(
    local_cloud, client, encoding
):
    local_cloud.set_signed_approval_encoding(encoding)
    alice, bob, carol = local_cloud.approvers
    fields = attested_request(threshold=2, approver_keys=[alice.public_key, bob.public_key, carol.public_key])
    created = client.create_request(**fields)
    assert created["id"].startswith("apr_") and created["status"] == "pending"

    assert local_cloud.approve(created["id"], approver="bob")["status"] == "pending"
    local_cloud.approve(created["id"], approver="carol")
    record = client.get_request(created["id"])

    assert record["status"] == "approved"
    assert [r["approver"] for r in record["responses"]] == ["bob", "carol"]
    for response, approver in zip(record["responses"], (bob, carol)):
        approval = kavri_core.SignedApproval.from_bytes(_signed_bytes(response["signed_approval"], encoding))
        assert approval.request_hash == fields["request_hash"]
        assert approval.approver_key.to_bytes() == approver.public_key_bytes

    local_cloud.restart()
    with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url) as again:
        assert again.get_request(created["id"]) == record


def test_encoding_switch_applies_to_records_already_stored(local_cloud, client):
    record = client.create_request(**attested_request())
    local_cloud.approve(record["id"])
    as_b64 = client.get_request(record["id"])["responses"][0]["signed_approval"]
    local_cloud.set_signed_approval_encoding("hex")
    as_hex = client.get_request(record["id"])["responses"][0]["signed_approval"]
    assert re.fullmatch("[0-9a-f]+", as_hex)
    assert bytes.fromhex(as_hex) == base64.b64decode(as_b64)


def test_deny_resolves_with_reason_and_no_signature(local_cloud, client):
    record = client.create_request(**attested_request(threshold=2))
    local_cloud.approve(record["id"], approver="alice")
    denied = local_cloud.deny(record["id"], "not during the freeze", approver="bob")
    assert denied["status"] == "denied"
    assert denied["denied_reason"] == "not during the freeze"
    assert denied["responses"][-1] == {**denied["responses"][-1], "decision": "denied", "signed_approval": None}


@pytest.mark.parametrize(
    "steps, error, code",
    [
        (["alice", "alice"], ConflictError, "already_responded"),
        (["alice", "carol"], PermissionDeniedError, "not_an_approver"),
        (["alice", "bob", "alice"], ConflictError, "not_pending"),
        (["mallory"], ValidationError, "unknown_approver"),
    ],
    ids=["twice", "outsider", "after-approval", "unknown"],
)
def test_approver_rules(local_cloud, client, steps, error, code):
    alice, bob, _ = local_cloud.approvers
    record = client.create_request(
        **attested_request(threshold=2, approver_keys=[alice.public_key, bob.public_key])
    )
    for name in steps[:-1]:
        local_cloud.approve(record["id"], approver=name)
    with pytest.raises(error) as caught:
        local_cloud.approve(record["id"], approver=steps[-1])
    assert caught.value.code == code
    # A refused answer leaves no trace.
    assert len(client.get_request(record["id"])["responses"]) == len(steps) - 1


def test_unnamed_approvals_go_to_the_next_approver_and_race_safely(local_cloud, client):
    record = client.create_request(**attested_request(threshold=3))
    with ThreadPoolExecutor(3) as pool:
        list(pool.map(lambda _: local_cloud.approve(record["id"]), range(3)))
    final = client.get_request(record["id"])
    assert final["status"] == "approved"
    assert sorted(r["approver"] for r in final["responses"]) == ["alice", "bob", "carol"]


def test_a_failed_write_leaves_the_request_as_it_was(local_cloud, client):
    record = client.create_request(**attested_request(threshold=2))

    def broken_signer(approver, request_hash):
        raise RuntimeError("signer unavailable")

    with pytest.raises(RuntimeError):
        local_cloud.store.respond(
            record["id"], approver="alice", decision="approved", reason=None,
            sign=broken_signer, encoding="base64",
        )
    assert client.get_request(record["id"]) == record
    assert local_cloud.approve(record["id"], approver="alice")["responses"][0]["approver"] == "alice"


def test_a_new_start_on_the_same_data_keeps_keys_approvers_and_tenant(tmp_path):
    with LocalCloud(tmp_path / "cloud") as first:
        before = (first.admin_key, first.runtime_key, first.approvers, first.store.tenant())
    with LocalCloud(tmp_path / "cloud") as second:
        assert (second.admin_key, second.runtime_key, second.approvers, second.store.tenant()) == before
        with KavriCloudClient(before[1], base_url=second.url) as c:
            assert c.list_requests() == []


def test_unreachable_threshold_is_rejected(local_cloud, client):
    alice = local_cloud.approvers[0]
    with pytest.raises(ValidationError, match="threshold"):
        client.create_request(**attested_request(threshold=2, approver_keys=[alice.public_key]))
    assert client.list_requests() == []


def test_idempotency_key_returns_the_same_request_whatever_its_state(local_cloud, client):
    holder = kavri_core.SigningKey.generate()
    fields = attested_request(holder=holder, idempotency_key="run-7/activity-3")
    status, first = _raw(client, "POST", "approvals/requests", _wire(fields))
    assert status == 201
    local_cloud.approve(first["id"])
    # A retry re-attests (fresh issued_at) and must still land on the same request.
    again = attested_request(holder=holder, idempotency_key="run-7/activity-3")
    status, replay = _raw(client, "POST", "approvals/requests", _wire(again))
    assert status == 200
    assert replay["id"] == first["id"] and replay["status"] == "approved"
    other = client.create_request(**attested_request(holder=holder, idempotency_key="run-7/activity-4"))
    assert other["id"] != first["id"]


def test_concurrent_creates_with_one_key_make_one_request(local_cloud):
    holder = kavri_core.SigningKey.generate()

    def create(_):
        with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url) as c:
            return c.create_request(**attested_request(holder=holder, idempotency_key="same"))["id"]

    with ThreadPoolExecutor(8) as pool:
        ids = set(pool.map(create, range(16)))
    assert len(ids) == 1


def test_requests_expire_when_their_ttl_passes(tmp_path):
    clock = _Clock()
    with LocalCloud(tmp_path / "cloud", clock=clock) as cloud, KavriCloudClient(
        cloud.runtime_key, base_url=cloud.url
    ) as c:
        short = c.create_request(**attested_request(ttl_seconds=30))
        lasting = c.create_request(**attested_request())
        clock.now += 29
        assert c.get_request(short["id"])["status"] == "pending"
        clock.now += 2
        expired = c.get_request(short["id"])
        assert (expired["status"], expired["denied_reason"]) == ("expired", None)
        assert [r["id"] for r in c.list_requests(status="pending")] == [lasting["id"]]
        with pytest.raises(ConflictError) as caught:
            cloud.approve(short["id"])
        assert caught.value.code == "not_pending"


# ---------------------------------------------------------------- attestation


def _tamper_signature(fields):
    att = dict(fields["approval_context_attestation"])
    att["signature"] = ("00" if att["signature"][:2] != "00" else "11") + att["signature"][2:]
    return {**fields, "approval_context_attestation": att}


@pytest.mark.parametrize(
    "tamper, named",
    [
        (_tamper_signature, "approval_context_attestation"),
        (lambda f: {**f, "holder_key": kavri_core.SigningKey.generate().public_key.to_bytes()},
         "approval_context_attestation"),
        (lambda f: {**f, "request_hash": bytes(32)}, "request_hash"),
        (lambda f: {**f, "args_canonical_cbor_b64": base64.b64encode(kavri_core.canonical_cbor({"to": "evil"})).decode()},
         "args_canonical_cbor_b64"),
    ],
    ids=["bad-signature", "other-holder", "other-hash", "swapped-arguments"],
)
def test_attestation_that_does_not_verify_is_rejected(client, tamper, named):
    with pytest.raises(ValidationError) as caught:
        client.create_request(**tamper(attested_request()))
    assert (caught.value.status_code, caught.value.code) == (400, "invalid_attestation")
    assert caught.value.body["field"] == named
    assert client.list_requests() == []


# ---------------------------------------------------------------- auth, reads


@pytest.mark.parametrize("call", ["get_tenant", "list_policies"])
def test_runtime_key_may_not_read_tenant_or_policies_but_admin_may(local_cloud, client, call):
    with pytest.raises(PermissionDeniedError) as caught:
        getattr(client, call)()
    assert caught.value.code == "forbidden" and caught.value.remediation
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as admin:
        result = getattr(admin, call)()
    assert result


def test_tenant_and_policy_reads(local_cloud):
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as admin:
        assert {"id", "name", "slug"} <= set(admin.get_tenant())
        assert len(admin.list_policies(limit=1)) == 1


@pytest.mark.parametrize("path", ["approvals/requests", "_local/approvers", "tenant"])
def test_unknown_key_is_unauthorized_everywhere_but_health(local_cloud, path):
    with KavriCloudClient("tc_not_a_key", base_url=local_cloud.url) as stranger:
        assert stranger.health()["service"] == "kavri-cloud-local"
        with pytest.raises(AuthenticationError) as caught:
            stranger._handle_response(stranger._send("GET", path))
    assert (caught.value.status_code, caught.value.code) == (401, "unauthorized")


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize(
    "mutate, status, field",
    [
        (lambda b: {k: v for k, v in b.items() if k != "tool"}, 422, "tool"),
        (lambda b: {**b, "threshold": "2"}, 422, "threshold"),
        (lambda b: {**b, "threshold": 0}, 422, "threshold"),
        (lambda b: {**b, "holder_key": "zz" * 32}, 422, "holder_key"),
        (lambda b: {**b, "holder_key": "ab" * 31}, 422, "holder_key"),
        (lambda b: {**b, "approver_keys": ["ab" * 32, 7]}, 422, "approver_keys[1]"),
        (lambda b: {**b, "approval_context_attestation": []}, 422, "approval_context_attestation"),
        (lambda b: {**b, "ttl_seconds": -1}, 422, "ttl_seconds"),
        (lambda b: [b], 422, "body"),
    ],
    ids=["missing", "type", "zero-threshold", "not-hex", "short-key", "list-item", "not-object", "negative-ttl", "array-body"],
)
def test_bad_create_bodies_name_the_field(client, mutate, status, field):
    code, body = _raw(client, "POST", "approvals/requests", mutate(_wire(attested_request())))
    assert (code, body["field"]) == (status, field)
    assert field in body["message"] and body["remediation"] is not None
    assert client.list_requests() == []


@pytest.mark.parametrize(
    "method, path, content, status, code",
    [
        ("POST", "/v1/approvals/requests", b'{"tool": ', 400, "invalid_json"),
        ("POST", "/v1/approvals/requests", b'{"ttl_seconds": NaN}', 400, "invalid_json"),
        ("POST", "/v1/agents/claim", b"", 400, "invalid_json"),
        ("POST", "/v1/receipts", b"[" * 200_000, 400, "invalid_json"),
        ("POST", "/v1/receipts", b'{"x": "' + b"a" * (1024 * 1024) + b'"}', 413, "payload_too_large"),
        ("GET", "/v1/no/such/route", None, 404, "not_found"),
        ("GET", "/v1/approvals/requests/apr_missing", None, 404, "not_found"),
        ("DELETE", "/v1/health", None, 405, "method_not_allowed"),
    ],
    ids=["truncated", "nan", "empty", "deep", "oversized", "route", "record", "method"],
)
def test_bad_requests_get_json_errors(local_cloud, method, path, content, status, code):
    # Raw httpx: the package client cannot send bodies that are not JSON.
    headers = {"Authorization": f"Bearer {local_cloud.admin_key}", "Content-Type": "application/json"}
    response = httpx.request(method, local_cloud.url + path, content=content, headers=headers, timeout=10)
    assert response.status_code == status
    assert response.json()["code"] == code and response.json()["message"]


def test_missing_record_maps_to_not_found(client):
    with pytest.raises(NotFoundError):
        client.get_request("apr_missing")


# ---------------------------------------------------------------- faults


@pytest.mark.parametrize(
    "setting, error, status",
    [
        ({"drop_rate": 1}, TransportError, None),
        ({"http_503_rate": 1}, ServerError, 503),
        ({"http_500_rate": 1}, ServerError, 500),
        ({"malformed_json_rate": 1}, KavriCloudError, 200),
        ({"latency_ms": 2500}, TransportError, None),
    ],
    ids=["drop", "503", "500", "malformed", "latency"],
)
def test_each_fault_reaches_the_client_as_its_error_kind_without_hanging(local_cloud, setting, error, status):
    # The timeout also bounds the unfaulted requests, so it leaves a loaded machine room for them.
    with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url, timeout=1.0) as c:
        record = c.create_request(**attested_request())
        local_cloud.set_faults(**setting)
        started = time.monotonic()
        with pytest.raises(error) as caught:
            c.get_request(record["id"])
        assert time.monotonic() - started < 2.4
        assert type(caught.value) is error and caught.value.status_code == status
        local_cloud.clear_faults()
        assert c.get_request(record["id"])["id"] == record["id"]


@pytest.mark.parametrize("missing", ["status", "id"])
def test_records_can_lose_a_field(local_cloud, client, missing):
    record = client.create_request(**attested_request())
    local_cloud.set_faults(**{f"missing_{missing}_rate": 1})
    damaged = client.get_request(record["id"])
    assert missing not in damaged and damaged["tool"] == record["tool"]
    assert all(missing not in item for item in client.list_requests())
    assert client.health()["status"] == "ok"


def test_faults_respect_path_prefix_and_max_faults(local_cloud, client):
    record = client.create_request(**attested_request())
    local_cloud.set_faults(http_503_rate=1, path_prefix="/v1/approvals/", max_faults=2)
    assert client.health()["status"] == "ok"
    for _ in range(2):
        with pytest.raises(ServerError):
            client.get_request(record["id"])
    assert client.get_request(record["id"])["status"] == "pending"


def test_fault_settings_are_validated(local_cloud):
    with pytest.raises(ValidationError, match="more than 1"):
        local_cloud.set_faults(http_500_rate=0.6, http_503_rate=0.6)
    with pytest.raises(ValidationError) as caught:
        local_cloud.set_faults(explode=1)
    assert caught.value.body["field"] == "explode"


# ---------------------------------------------------------------- agents, receipts, token


def test_quick_connect_token_claims_its_agent_once(local_cloud):
    token = local_cloud.token(agent="billing-bot", runtime=True)
    assert token.startswith("kavri_ct_") and "=" not in token
    payload = ConnectTokenPayload.from_dict(json.loads(base64.urlsafe_b64decode(token[9:] + "==")))
    assert (payload.endpoint, payload.api_key) == (local_cloud.url, local_cloud.runtime_key)
    public_key = kavri_core.SigningKey.generate().public_key.hex()
    claim = {"agent_id": payload.agent_id, "public_key": public_key, "registration_token": payload.registration_token}

    with KavriCloudClient(payload.api_key, base_url=payload.endpoint) as c:
        with pytest.raises(AuthenticationError) as wrong:
            c._handle_response(c._send("POST", "agents/claim", json={**claim, "registration_token": "rt_guess"}))
        claimed = c._handle_response(c._send("POST", "agents/claim", json=claim))
        with pytest.raises(ConflictError) as again:
            c._handle_response(c._send("POST", "agents/claim", json=claim))
    assert wrong.value.status_code == 401
    assert claimed == {"agent_id": payload.agent_id, "status": "active", "name": "billing-bot", "public_key": public_key}
    assert again.value.code == "agent_not_pending"


def test_receipts_are_stored(local_cloud, client):
    client.submit_receipt({"tool": "send_email", "decision": "allow", "warrant_id": "wrt_1"})
    assert [r["receipt"]["decision"] for r in local_cloud.receipts()] == ["allow"]


# ---------------------------------------------------------------- the command


def _wire(fields):
    wire = dict(fields)
    wire["request_hash"] = fields["request_hash"].hex()
    wire["holder_key"] = fields["holder_key"].hex()
    return wire


def _kavri_cloud(*args, **kwargs):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), str(ROOT / "sdk"), os.environ.get("PYTHONPATH", "")])}
    return subprocess.Popen(
        [sys.executable, "-m", "kavri_cloud", *args], env=env, cwd=ROOT,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs,
    )


def test_kavri_cloud_local_serves_prints_its_keys_and_mints_tokens(tmp_path, capsys):
    data = tmp_path / "data"
    server = _kavri_cloud("local", "--port", "0", "--data", str(data))
    try:
        lines: list[str] = []
        reader = threading.Thread(target=lambda: lines.extend(iter(server.stdout.readline, "")), daemon=True)
        reader.start()
        deadline = time.monotonic() + 15
        while not any("Press Ctrl+C" in line for line in lines) and time.monotonic() < deadline:
            time.sleep(0.05)
        banner = "".join(lines)
        started = re.search(r"listening on (\S+) \(started in ([\d.]+) s\)", banner)
        assert started, banner + server.stderr.read() if server.poll() is not None else banner
        url, seconds = started.group(1), float(started.group(2))
        assert seconds < 2.0
        admin_key = re.search(r"admin key\s+(\S+)", banner).group(1)
        runtime_key = re.search(r"runtime key\s+(\S+)", banner).group(1)
        assert all(name in banner for name in ("alice", "bob", "carol"))

        # Tokens are for agents: the runtime key unless the admin key is asked for.
        assert cli.main(["local", "token", "--data", str(data), "--agent", "ops"]) == 0
        out, err = capsys.readouterr()
        payload = json.loads(base64.urlsafe_b64decode(out.strip()[9:] + "=="))
        assert payload["endpoint"] == url and payload["api_key"] == runtime_key and payload["agent_id"]
        assert "runtime key" in err
        assert cli.main(["local", "token", "--data", str(data), "--admin"]) == 0
        out, err = capsys.readouterr()
        assert json.loads(base64.urlsafe_b64decode(out.strip()[9:] + "=="))["api_key"] == admin_key
        assert "ADMIN key" in err

        with KavriCloudClient(admin_key, base_url=url) as c:
            record = c.create_request(**attested_request())
        args = ["approvals", "--data", str(data)]
        assert cli.main([*args, "list"]) == 0
        assert record["id"] in capsys.readouterr().out
        assert cli.main([*args, "deny", record["id"], "--reason", "looks wrong"]) == 0
        assert capsys.readouterr().out.strip() == f"{record['id']}  denied  (looks wrong)"
        assert cli.main([*args, "approve", record["id"]]) == 1
        assert "already denied" in capsys.readouterr().err
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(10)
        server.stdout.close()
        server.stderr.close()
    assert server.returncode == 0
    assert not (data / "service.json").exists()


def test_local_token_without_data_says_how_to_start(tmp_path, capsys):
    assert cli.main(["local", "token", "--data", str(tmp_path / "nothing")]) == 1
    assert "kavri-cloud local" in capsys.readouterr().err


def test_accepted_connections_send_without_nagle_delay():
    # A response written in two parts would otherwise wait for the client's
    # delayed ACK: 40 ms on every request over loopback.
    async def accepted_nodelay() -> int:
        accepted: asyncio.Future[int] = asyncio.get_running_loop().create_future()

        class Probe(asyncio.Protocol):
            def connection_made(self, transport):
                sock = transport.get_extra_info("socket")
                accepted.set_result(sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
                transport.close()

        server = await asyncio.get_running_loop().create_server(Probe, sock=_bind("127.0.0.1", 0))
        port = server.sockets[0].getsockname()[1]
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            return await asyncio.wait_for(accepted, 5)
        finally:
            writer.close()
            server.close()
            await server.wait_closed()

    assert asyncio.run(accepted_nodelay()) != 0
