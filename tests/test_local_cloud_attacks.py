"""The local Kavri Cloud played against by a hostile client on the same machine.

Every attack goes over real loopback HTTP to a running service. Each refusal
must be a 4xx, leave nothing stored, and leave the service answering.
"""

from __future__ import annotations

import base64
import json
import logging
import os
import re
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path

import httpx
import kavri_core
import pytest

from kavri_cloud import cli
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import ConflictError
from kavri_cloud.local import ConnectionLimits, LocalCloud
from kavri_cloud.local.dashboard import SESSION_COOKIE, login_url
from kavri_cloud.local.store import DB_FILENAME
from tests.local_fixture import attested_request

ROOT = Path(__file__).resolve().parents[1]
TABLES = ("requests", "responses", "receipts", "agents")


def _wire(fields):
    wire = dict(fields)
    wire["request_hash"] = fields["request_hash"].hex()
    wire["holder_key"] = fields["holder_key"].hex()
    return wire


def _counts(cloud) -> dict[str, int]:
    with cloud.store._read() as conn:
        return {t: conn.execute(f"SELECT COUNT(*) FROM {t}").fetchone()[0] for t in TABLES}


@contextmanager
def refused(cloud):
    """Nothing may be stored inside the block, and the service must answer after it."""
    before = _counts(cloud)
    yield
    assert _counts(cloud) == before, "a refused request stored something"
    assert httpx.get(cloud.url + "/v1/health", timeout=5).json()["status"] == "ok"


def _post(cloud, path, key, body=None, *, content=None, headers=None):
    sent = {"Authorization": f"Bearer {key}", **(headers or {})}
    if content is not None:
        sent["Content-Type"] = "application/json"
        return httpx.post(cloud.url + path, content=content, headers=sent, timeout=10)
    return httpx.post(cloud.url + path, json=body, headers=sent, timeout=10)


def _get(cloud, path, key, **kwargs):
    return httpx.get(cloud.url + path, headers={"Authorization": f"Bearer {key}"}, timeout=10, **kwargs)


def _create(cloud, **extra):
    with KavriCloudClient(cloud.runtime_key, base_url=cloud.url) as client:
        return client.create_request(**attested_request(**extra))


# ---------------------------------------------------------------- 1. roles


@pytest.mark.parametrize(
    "method, path, body",
    [
        ("POST", "/v1/approvals/requests/{id}/approve", {}),
        ("POST", "/v1/approvals/requests/{id}/approve", {"approver": "alice"}),
        ("POST", "/v1/approvals/requests/{id}/deny", {"approver": "bob", "reason": "mine"}),
        ("POST", "/v1/_local/agents", {"name": "sneaky"}),
        ("GET", "/v1/_local/agents", None),
        ("GET", "/v1/_local/receipts", None),
        ("POST", "/v1/_local/settings", {"signed_approval_encoding": "hex"}),
        ("POST", "/v1/_local/faults", {"http_500_rate": 1.0}),
        ("GET", "/v1/tenant", None),
    ],
)
def test_the_runtime_key_cannot_decide_or_administer(local_cloud, method, path, body):
    record = _create(local_cloud, threshold=1)
    with refused(local_cloud):
        answer = httpx.request(
            method, local_cloud.url + path.format(id=record["id"]), json=body, timeout=10,
            headers={"Authorization": f"Bearer {local_cloud.runtime_key}"},
        )
        assert (answer.status_code, answer.json()["code"]) == (403, "forbidden")
    assert local_cloud.store.get_request(record["id"], encoding="base64")["status"] == "pending"
    assert local_cloud.store.get_setting("signed_approval_encoding") == "base64"


def test_a_threshold_request_cannot_be_pushed_through_by_its_own_agent(local_cloud):
    record = _create(local_cloud, threshold=3)
    with refused(local_cloud):
        for name in ("alice", "bob", "carol"):
            answer = _post(local_cloud, f"/v1/approvals/requests/{record['id']}/approve", local_cloud.runtime_key,
                           {"approver": name})
            assert answer.status_code == 403
    # What the runtime key must still do: create, read, claim, send receipts.
    with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url) as agent:
        assert agent.get_request(record["id"])["status"] == "pending"
        assert [r["id"] for r in agent.list_requests()] == [record["id"]]
        agent.submit_receipt({"tool": "send_email", "decision": "allow"})
    assert local_cloud.approve(record["id"])["status"] == "pending"  # the admin key decides


def test_tokens_carry_the_runtime_key_unless_the_admin_key_is_asked_for(local_cloud):
    def key_of(token):
        return json.loads(base64.urlsafe_b64decode(token[len("kavri_ct_"):] + "=="))["api_key"]

    assert key_of(local_cloud.token()) == local_cloud.runtime_key
    assert key_of(local_cloud.token(agent="bot")) == local_cloud.runtime_key
    assert key_of(local_cloud.token(admin=True)) == local_cloud.admin_key


# ---------------------------------------------------------------- 2. what is shown is what is signed


def _holder_signed(holder, **fields):
    """An attestation the holder really signed, with fields of the attacker's choosing."""
    body = {"version": 1, "issued_at": int(time.time()), "holder_key": holder.public_key.to_bytes().hex(), **fields}
    body["signature"] = holder.sign(kavri_core.canonical_cbor(body)).hex()
    return body


def test_a_body_naming_another_tool_than_its_attestation_is_refused(local_cloud):
    holder = kavri_core.SigningKey.generate()
    wire_funds = attested_request(holder=holder, warrant_id="wrt_payments", tool="wire_funds",
                                  arguments={"to": "attacker", "amount": 10**6})
    disguised = {**_wire(wire_funds), "tool": "get_weather", "warrant_id": "wrt_readonly",
                 "metadata": {"city": "Oslo"}}
    with refused(local_cloud):
        answer = _post(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key, disguised)
        assert (answer.status_code, answer.json()["code"]) == (400, "invalid_attestation")
        assert answer.json()["field"] in ("tool", "warrant_id") and "wire_funds" in answer.json()["message"]


def test_an_attestation_of_harmless_names_over_another_calls_hash_is_refused(local_cloud):
    # The holder key is on the agent's machine: it can sign any names with any hash.
    holder = kavri_core.SigningKey.generate()
    wire_funds = attested_request(holder=holder, tool="wire_funds", arguments={"amount": 10**6})
    harmless = {"city": "Oslo"}
    cbor = kavri_core.canonical_cbor(harmless)
    import hashlib

    attestation = _holder_signed(
        holder, warrant_id="wrt_readonly", tool="get_weather", args_sha256=hashlib.sha256(cbor).hexdigest(),
        request_hash=wire_funds["request_hash"].hex(),
    )
    body = {**_wire(wire_funds), "tool": "get_weather", "warrant_id": "wrt_readonly",
            "args_canonical_cbor_b64": base64.b64encode(cbor).decode(), "approval_context_attestation": attestation}
    with refused(local_cloud):
        answer = _post(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key, body)
        assert (answer.status_code, answer.json()["field"]) == (400, "request_hash")


# ---------------------------------------------------------------- 3. private files


def _modes(folder: Path) -> dict[str, int]:
    return {p.name: stat.S_IMODE(p.stat().st_mode) for p in [folder, *folder.iterdir()]}


def test_data_folder_and_every_file_are_private_whatever_the_umask(tmp_path):
    old = os.umask(0o002)
    try:
        with LocalCloud(tmp_path / "cloud") as cloud:
            _create(cloud)
            modes = _modes(cloud.data_dir)
    finally:
        os.umask(old)
    assert modes.pop("cloud") == 0o700
    assert {DB_FILENAME, DB_FILENAME + "-wal", DB_FILENAME + "-shm"} <= set(modes)
    assert modes == {name: 0o600 for name in modes}


def test_a_loose_data_folder_is_tightened_with_a_warning(tmp_path, caplog):
    folder = tmp_path / "cloud"
    with LocalCloud(folder):
        pass
    folder.chmod(0o755)
    (folder / DB_FILENAME).chmod(0o644)
    with caplog.at_level(logging.WARNING, logger="kavri_cloud.local"), LocalCloud(folder) as cloud:
        modes = _modes(cloud.data_dir)
    assert modes["cloud"] == 0o700 and modes[DB_FILENAME] == 0o600
    warned = " ".join(r.getMessage() for r in caplog.records)
    assert "tightened" in warned and DB_FILENAME in warned


# ---------------------------------------------------------------- 4. input that would poison lists


def _raw_body(fields, **replace):
    """JSON text of a create body with some values replaced by raw JSON text."""
    body = _wire(fields)
    for name in replace:
        body[name] = f"@@{name}@@"
    text = json.dumps(body)
    for name, raw in replace.items():
        text = text.replace(json.dumps(f"@@{name}@@"), raw)
    return text.encode()


@pytest.mark.parametrize(
    "replace, field",
    [
        ({"tool": '"get_\\ud800weather"'}, "tool"),
        ({"warrant_id": '"\\udfff"'}, "warrant_id"),
        ({"idempotency_key": '"k\\ud800"'}, "idempotency_key"),
        ({"metadata": '{"amount": 1e999}'}, "metadata.amount"),
        ({"metadata": '{"\\ud800": 1}'}, "metadata"),
        ({"metadata": '{"list": [1, -1e999]}'}, "metadata.list[1]"),
        ({"ttl_seconds": "1e20"}, "ttl_seconds"),
        ({"ttl_seconds": "1" + "0" * 400}, "ttl_seconds"),
        ({"ttl_seconds": str(366 * 24 * 3600)}, "ttl_seconds"),
        ({"tool": json.dumps("t" * 5000)}, "tool"),
    ],
    ids=["surrogate-tool", "surrogate-warrant", "surrogate-key", "inf-metadata", "surrogate-metadata-key",
         "inf-in-list", "ttl-1e20", "ttl-huge-int", "ttl-over-a-year", "tool-too-long"],
)
def test_unstorable_values_are_refused_naming_the_field(local_cloud, replace, field):
    with refused(local_cloud):
        answer = _post(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key,
                       content=_raw_body(attested_request(), **replace))
        assert answer.status_code == 422, answer.text
        assert answer.json()["field"] == field and field in answer.json()["message"]
    assert _get(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key).status_code == 200


@pytest.mark.parametrize("content", [b'{"tool": "x", "n": 1e999}', b'{"tool": "\\ud83d"}'], ids=["inf", "surrogate"])
def test_unstorable_receipts_are_refused(local_cloud, content):
    with refused(local_cloud):
        assert _post(local_cloud, "/v1/receipts", local_cloud.runtime_key, content=content).status_code == 422
    assert _get(local_cloud, "/v1/_local/receipts", local_cloud.admin_key).status_code == 200


def test_rows_stored_by_older_versions_render_in_every_list(local_cloud, capsys):
    good = _create(local_cloud)
    # What older versions wrote for a lone surrogate and 1e999: JSON escapes
    # that read back as text no answer can encode, and Infinity.
    poisoned = json.dumps({**_wire(attested_request()), "tool": "get_\ud800x", "metadata": {"amount": float("inf")}})
    conn = sqlite3.connect(local_cloud.data_dir / DB_FILENAME)
    with conn:
        conn.execute("INSERT INTO requests (id, status, threshold, created_at, body)"
                     " VALUES ('apr_old', 'pending', 1, ?, ?)", (time.time(), poisoned))
        conn.execute("INSERT INTO receipts (id, body, received_at) VALUES ('rcp_old', ?, ?)",
                     (json.dumps({"n": float("inf"), "t": "\udc80"}), time.time()))
        conn.execute("INSERT INTO requests (id, status, threshold, created_at, body)"
                     " VALUES ('apr_broken', 'pending', 1, ?, 'not json')", (time.time(),))
    conn.close()

    listed = _get(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key)
    assert listed.status_code == 200
    assert [r["id"] for r in listed.json()["items"]] == [good["id"], "apr_old", "apr_broken"]
    record = _get(local_cloud, "/v1/approvals/requests/apr_old", local_cloud.runtime_key).json()
    assert record["tool"] == "get_\ufffdx" and record["metadata"] == {"amount": "inf"}
    assert _get(local_cloud, "/v1/_local/receipts", local_cloud.admin_key).status_code == 200
    with httpx.Client(base_url=local_cloud.url, timeout=10) as browser:
        browser.get(login_url(local_cloud.url, local_cloud.admin_key))
        assert browser.get("/approvals/api/requests").status_code == 200
        assert browser.get("/approvals?request=apr_old").status_code == 200
    assert cli.main(["approvals", "--url", local_cloud.url, "--api-key", local_cloud.admin_key, "list"]) == 0
    assert "apr_old" in capsys.readouterr().out


# ---------------------------------------------------------------- 5. slow and idle connections


@pytest.fixture
def strict_cloud(tmp_path):
    limits = ConnectionLimits(header_timeout=0.5, body_timeout=1.0, keep_alive=0.5, max_connections=16,
                              max_header_bytes=8 * 1024)
    with LocalCloud(tmp_path / "strict", limits=limits) as cloud:
        yield cloud


def _connect(cloud) -> socket.socket:
    sock = socket.create_connection((cloud.host, cloud.port), timeout=5)
    return sock


def _closed_within(sock: socket.socket, seconds: float) -> bytes:
    """What the service sent before closing; fails when it keeps the connection longer."""
    sock.settimeout(seconds)
    received = b""
    try:
        while chunk := sock.recv(65536):
            received += chunk
    except socket.timeout:
        pytest.fail(f"the connection was still open after {seconds} s")
    finally:
        sock.close()
    return received


def test_a_connection_that_sends_nothing_is_closed(strict_cloud):
    assert _closed_within(_connect(strict_cloud), 4) == b""


def test_trickled_headers_are_cut_off(strict_cloud):
    sock = _connect(strict_cloud)
    sock.sendall(b"GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    deadline = time.monotonic() + 5
    with pytest.raises(OSError):
        while time.monotonic() < deadline:
            sock.sendall(b"X-Slow: 1\r\n")
            time.sleep(0.2)
    sock.close()


def test_a_trickled_body_gets_408_and_stores_nothing(strict_cloud):
    body = json.dumps(_wire(attested_request())).encode()
    with refused(strict_cloud):
        sock = _connect(strict_cloud)
        sock.sendall(
            b"POST /v1/approvals/requests HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            + f"Authorization: Bearer {strict_cloud.runtime_key}\r\nContent-Length: {len(body)}\r\n\r\n".encode()
            + body[:10]
        )
        stop = threading.Event()

        def trickle():
            for byte in body[10:40]:
                if stop.wait(0.3):
                    return
                try:
                    sock.sendall(bytes([byte]))
                except OSError:
                    return

        sender = threading.Thread(target=trickle, daemon=True)
        sender.start()
        try:
            answer = _closed_within(sock, 5)
        finally:
            stop.set()
            sender.join(5)
        assert answer.startswith(b"HTTP/1.1 408")


def test_oversized_headers_get_431(strict_cloud):
    sock = _connect(strict_cloud)
    sock.sendall(b"GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-Big: " + b"a" * 20_000 + b"\r\n\r\n")
    assert _closed_within(sock, 5).startswith(b"HTTP/1.1 431")


def test_idle_connections_beyond_the_limit_do_not_keep_health_from_answering(strict_cloud):
    idle = [_connect(strict_cloud) for _ in range(64)]
    try:
        for _ in range(5):
            assert httpx.get(strict_cloud.url + "/v1/health", timeout=5).status_code == 200
    finally:
        for sock in idle:
            sock.close()


def test_running_out_of_descriptors_is_logged_once(caplog):
    import asyncio

    from kavri_cloud.local.server import _AcceptFailureLog

    now = [0.0]
    handler = _AcceptFailureLog(clock=lambda: now[0])
    failure = {"message": "socket.accept() out of system resource", "exception": OSError(24, "Too many open files")}
    loop = asyncio.new_event_loop()
    try:
        with caplog.at_level(logging.WARNING, logger="kavri_cloud.local"):
            for _ in range(1000):
                handler(loop, failure)
                now[0] += 0.01
            now[0] += 60
            handler(loop, failure)
    finally:
        loop.close()
    message = "the local Kavri Cloud cannot accept connections: Too many open files; pausing accepts until " \
              "descriptors free up"
    assert [r.getMessage() for r in caplog.records] == [message, message + " (999 more since the last report)"]
    assert all(r.exc_info is None for r in caplog.records)


# ---------------------------------------------------------------- 6. lists are bounded


def test_lists_are_paged_summaries_whatever_the_bodies_weigh(local_cloud):
    big = {"blob": "x" * 300_000}
    ids = [_create(local_cloud, arguments=big)["id"] for _ in range(5)]
    page = _get(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key, params={"limit": 2})
    assert len(page.content) < 10_000
    assert not {"args_canonical_cbor_b64", "approval_context_attestation", "metadata"} & set(page.json()["items"][0])
    seen, cursor = [], None
    while True:
        params = {"limit": 2, **({"cursor": cursor} if cursor else {})}
        answer = _get(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key, params=params).json()
        seen += [r["id"] for r in answer["items"]]
        if not (cursor := answer["next_cursor"]):
            break
    assert seen == ids
    for params, field in [({"limit": 100_000}, "limit"), ({"cursor": "../x"}, "cursor")]:
        answer = _get(local_cloud, "/v1/approvals/requests", local_cloud.runtime_key, params=params)
        assert (answer.status_code, answer.json()["field"]) == (422, field)
    # The record route still has the whole body.
    assert _get(local_cloud, f"/v1/approvals/requests/{ids[0]}", local_cloud.runtime_key).json()["metadata"] == big


def test_the_dashboard_poll_is_small_and_not_resent_when_unchanged(local_cloud):
    for _ in range(3):
        _create(local_cloud, arguments={"blob": "x" * 300_000})
    with httpx.Client(base_url=local_cloud.url, timeout=10) as browser:
        browser.get(login_url(local_cloud.url, local_cloud.admin_key))
        first = browser.get("/approvals/api/requests")
        assert len(first.content) < 20_000
        again = browser.get("/approvals/api/requests", params={"since": first.json()["version"]})
        assert "html" not in again.json() and again.json()["version"] == first.json()["version"]


# ---------------------------------------------------------------- 7. login links and sessions


def test_a_used_login_link_stays_used_after_a_restart(local_cloud):
    link = login_url(local_cloud.url, local_cloud.admin_key)
    with httpx.Client(timeout=10) as first:
        assert first.get(link).status_code == 303
    local_cloud.restart()
    with httpx.Client(timeout=10) as second:
        answer = second.get(link)
        assert answer.status_code == 401 and SESSION_COOKIE not in second.cookies


def test_logout_revokes_the_session_for_a_copied_cookie(local_cloud):
    record = _create(local_cloud)
    with httpx.Client(base_url=local_cloud.url, timeout=10) as browser:
        browser.get(login_url(local_cloud.url, local_cloud.admin_key))
        cookie = browser.cookies[SESSION_COOKIE]
        page = browser.get(f"/approvals?request={record['id']}").text
        csrf = re.search(r'name="csrf" value="([^"]+)"', page).group(1)
        assert browser.post("/approvals/logout", data={"csrf": csrf}, follow_redirects=False).status_code == 303
    local_cloud.restart()
    with httpx.Client(base_url=local_cloud.url, timeout=10, cookies={SESSION_COOKIE: cookie}) as thief:
        with refused(local_cloud):
            assert thief.get("/approvals/api/requests").status_code == 401
            answer = thief.post(f"/approvals/requests/{record['id']}/approve",
                                data={"csrf": csrf, "approver": "alice"}, follow_redirects=False)
            assert answer.status_code == 303 and "/approvals/login" in answer.headers["location"]


# ---------------------------------------------------------------- 8. idempotency


@pytest.mark.parametrize(
    "change",
    [
        {"arguments": {"to": "attacker@example.com", "subject": "quarterly numbers"}},
        {"tool": "wire_funds"},
        {"warrant_id": "wrt_other"},
        {"holder": "fresh"},
    ],
    ids=["arguments", "tool", "warrant", "holder-hash"],
)
def test_a_used_idempotency_key_with_another_call_is_a_conflict(local_cloud, change):
    holder = kavri_core.SigningKey.generate()
    first = _create(local_cloud, holder=holder, idempotency_key="victim-key")
    other = {**change}
    if other.pop("holder", None):
        other["holder"] = kavri_core.SigningKey.generate()
    with refused(local_cloud), KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url) as client:
        with pytest.raises(ConflictError) as caught:
            client.create_request(**attested_request(**{"holder": holder, "idempotency_key": "victim-key", **other}))
    assert (caught.value.status_code, caught.value.code) == (409, "idempotency_key_reused")
    assert str(caught.value).startswith("idempotency key was already used for a different approval request")
    same = _create(local_cloud, holder=holder, idempotency_key="victim-key")
    assert same["id"] == first["id"]


# ---------------------------------------------------------------- 9. the command


@pytest.mark.parametrize(
    "argv",
    [
        ["approve", "../../_local/agents?x="],
        ["deny", "../../receipts?", "--reason", "x"],
        ["approve", "apr_1/../../../tenant"],
        ["approve", "%2e%2e"],
    ],
)
def test_the_cli_refuses_ids_that_leave_their_path(local_cloud, capsys, argv):
    with refused(local_cloud):
        with pytest.raises(SystemExit) as exited:
            cli.main(["approvals", "--url", local_cloud.url, "--api-key", local_cloud.admin_key, *argv])
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert "not an approval request id" in err and "Traceback" not in err


@pytest.mark.parametrize(
    "argv",
    [
        ["approvals", "--url", "http://127.0.0.1:1", "--api-key", "tc_admin_x", "approve", "apr_1"],
        ["approvals", "--url", "http://127.0.0.1:1", "--api-key", "tc_admin_x", "list"],
        ["approvals", "--url", "not a url", "--api-key", "tc_admin_x", "list"],
    ],
    ids=["refused-approve", "refused-list", "bad-url"],
)
def test_cli_errors_are_one_line(capsys, argv):
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert err.startswith("kavri-cloud: error: ") and err.count("\n") == 1, err


@pytest.mark.parametrize("port", ["70000", "-1", "http"])
def test_bad_ports_are_a_usage_error(capsys, port):
    with pytest.raises(SystemExit) as exited:
        cli.main(["local", "--port", port])
    assert exited.value.code == 2 and "port" in capsys.readouterr().err


def test_local_without_its_extra_names_the_extra(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "uvicorn", None)
    assert cli.main(["local", "--port", "0", "--data", str(tmp_path / "d")]) == 1
    err = capsys.readouterr().err
    assert "kavri-cloud[local]" in err and err.count("\n") == 1


def _kavri_cloud(*args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), str(ROOT / "sdk"), os.environ.get("PYTHONPATH", "")])}
    return subprocess.Popen([sys.executable, "-m", "kavri_cloud", *args], env=env, cwd=ROOT, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=lambda: os.umask(0o022))


def test_a_second_local_service_on_a_folder_in_use_refuses(tmp_path):
    data = tmp_path / "data"
    first = _kavri_cloud("local", "--port", "0", "--data", str(data))
    try:
        deadline = time.monotonic() + 15
        while not (data / "service.json").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        service = (data / "service.json").read_text()
        assert stat.S_IMODE((data / "service.json").stat().st_mode) == 0o600
        assert stat.S_IMODE(data.stat().st_mode) == 0o700
        second = _kavri_cloud("local", "--port", "0", "--data", str(data))
        out, err = second.communicate(timeout=30)
        assert second.returncode == 1
        assert "in use by another local Kavri Cloud" in err and json.loads(service)["url"] in err
        assert err.count("\n") == 1 and "Traceback" not in err
        assert (data / "service.json").read_text() == service
        url = json.loads(service)["url"]
        assert httpx.get(url + "/v1/health", timeout=5).status_code == 200
    finally:
        first.send_signal(signal.SIGINT)
        first.communicate(timeout=15)
    assert first.returncode == 0


# ---------------------------------------------------------------- 10. Host header


@pytest.mark.parametrize("host", ["evil.example", "evil.example:8080", "127.0.0.1.nip.io", "localhost.evil.example"])
def test_foreign_host_headers_are_refused(local_cloud, host):
    body = _wire(attested_request())
    with refused(local_cloud):
        for method, path in [("POST", "/v1/approvals/requests"), ("GET", "/v1/approvals/requests"),
                             ("GET", "/approvals/api/requests"), ("GET", "/v1/health")]:
            answer = httpx.request(method, local_cloud.url + path, json=body if method == "POST" else None,
                                   headers={"Host": host, "Authorization": f"Bearer {local_cloud.runtime_key}"},
                                   timeout=10)
            assert (answer.status_code, answer.json()["code"]) == (421, "host_not_allowed")


@pytest.mark.parametrize("host", ["localhost", "LOCALHOST:{port}", "127.0.0.1:{port}", "127.0.0.2", "[::1]:{port}"])
def test_loopback_host_headers_are_served(local_cloud, host):
    answer = httpx.get(local_cloud.url + "/v1/health", headers={"Host": host.format(port=local_cloud.port)}, timeout=10)
    assert answer.status_code == 200


_LOW_FD_SERVICE = """
import logging, resource, sys, time
resource.setrlimit(resource.RLIMIT_NOFILE, (160, 160))
logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
from kavri_cloud.local import ConnectionLimits, LocalCloud
# A cap above what the descriptors allow, so accepting really runs out.
with LocalCloud(sys.argv[1], limits=ConnectionLimits(max_connections=10_000, header_timeout=30)) as cloud:
    print(cloud.url, flush=True)
    sys.stdin.read()
"""


def test_a_service_out_of_descriptors_logs_one_line_and_recovers(tmp_path):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), str(ROOT / "sdk"), os.environ.get("PYTHONPATH", "")])}
    service = subprocess.Popen([sys.executable, "-c", _LOW_FD_SERVICE, str(tmp_path / "cloud")], env=env, text=True,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        url = service.stdout.readline().strip()
        host, port = url.rsplit("//", 1)[1].rsplit(":", 1)
        flood = []
        for _ in range(300):
            flood.append(socket.create_connection((host, int(port)), timeout=5))
        time.sleep(2.5)  # asyncio retries the accept every second
        for sock in flood:
            sock.close()
        deadline = time.monotonic() + 10
        while True:
            try:
                assert httpx.get(url + "/v1/health", timeout=2).status_code == 200
                break
            except httpx.HTTPError:
                assert time.monotonic() < deadline, "the service did not recover"
                time.sleep(0.2)
    finally:
        try:
            _, err = service.communicate(input="", timeout=30)  # end of input stops it
        except subprocess.TimeoutExpired:
            service.kill()
            _, err = service.communicate()
            pytest.fail("the service did not stop after the flood:\n" + err[-2000:])
    assert service.returncode == 0, err
    assert err.count("cannot accept connections") == 1, err
    assert "Traceback" not in err, err
