"""The Kavri Cloud HTTP clients and their error mapping, against a real loopback server."""

from __future__ import annotations

import asyncio
import json
import pickle
import subprocess
import sys
import time
import tracemalloc

import httpx
import pytest

from kavri_cloud import exceptions as exc_mod
from kavri_cloud.client import AsyncKavriCloudClient, KavriCloudClient
from kavri_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    AuthenticationError,
    ConflictError,
    KavriCloudError,
    NotFoundError,
    PermissionDeniedError,
    RateLimitError,
    ServerError,
    TransportError,
    ValidationError,
)
from tests.httpserver import HTTPTestServer, gzip_bomb, http_server, refused_url  # noqa: F401  (fixtures)

API_KEY = "kc_test_secret_key_123"
HASH = bytes(range(32))
HOLDER = bytes.fromhex("AB" * 32)


def _create_kwargs(**overrides):
    kwargs = {
        "warrant_id": "w-1",
        "tool": "send_email",
        "request_hash": HASH,
        "holder_key": HOLDER,
        "args_canonical_cbor_b64": "oWF4AQ==",
        "approval_context_attestation": {"v": 1, "sig": "00"},
    }
    kwargs.update(overrides)
    return kwargs


# -- error mapping ------------------------------------------------------------

ERROR_CASES = [
    (400, {"code": "bad_request", "message": "bad field"}, ValidationError),
    (401, {"code": "invalid_api_key", "message": "key revoked"}, AuthenticationError),
    (403, {"code": "forbidden", "message": "no access"}, PermissionDeniedError),
    (404, {"error": {"code": "not_found", "message": "no such request"}}, NotFoundError),
    (409, {"code": "agent_not_pending", "message": "already claimed"}, ConflictError),
    (413, {"message": "too big"}, ValidationError),
    (422, {"code": "invalid", "message": "threshold too high"}, ValidationError),
    (429, {"code": "rate_limited", "message": "slow down"}, RateLimitError),
    (500, {"message": "boom"}, ServerError),
    (503, {"message": "maintenance"}, ServerError),
    (418, {"message": "teapot"}, KavriCloudError),
    (302, {"message": "moved"}, KavriCloudError),
    (409, {"code": "approval_denied", "message": "denied by alice"}, ApprovalDeniedError),
    (410, {"error": {"code": "approval_expired", "message": "too late"}}, ApprovalExpiredError),
]


@pytest.mark.parametrize(("status", "body", "kind"), ERROR_CASES)
def test_error_status_maps_to_most_specific_kind(http_server, status, body, kind):
    fields = {**body.get("error", body), "remediation": "do the thing"}
    sent = {"error": fields} if "error" in body else fields
    http_server.add(status, json=sent)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(KavriCloudError) as info:
            client.get_request("r1")
    err = info.value
    assert type(err) is kind
    assert str(err) == fields["message"]
    assert err.status_code == status
    assert err.code == fields.get("code")
    assert err.remediation == "do the thing"
    assert err.body == sent


@pytest.mark.parametrize(
    ("body", "message", "code", "decoded"),
    [
        (b"", "Kavri Cloud returned HTTP 502", None, None),
        (
            b"<html>Bad gateway</html>",
            "Kavri Cloud returned HTTP 502",
            None,
            "<html>Bad gateway</html>",
        ),
        (
            b'{"code": 7, "message": ""}',
            "Kavri Cloud returned HTTP 502",
            None,
            {"code": 7, "message": ""},
        ),
        (b'{"error": "upstream down"}', "upstream down", None, {"error": "upstream down"}),
        (b"[1, 2]", "Kavri Cloud returned HTTP 502", None, [1, 2]),
    ],
)
def test_error_body_without_usable_fields_falls_back(http_server, body, message, code, decoded):
    http_server.add(502, body=body)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(ServerError) as info:
            client.health()
    assert str(info.value) == message
    assert info.value.code == code
    assert info.value.body == decoded
    assert info.value.remediation is None


def test_errors_survive_pickling():
    # Worker pools and task queues ship errors between processes.
    for err in (
        ApprovalTimeoutError("req-1", 2.5),
        exc_mod.error_from_response(404, b'{"code": "nf", "message": "gone"}'),
        TransportError("down", method="GET", url="http://h/v1/x"),
    ):
        copy = pickle.loads(pickle.dumps(err))
        assert type(copy) is type(err)
        assert str(copy) == str(err)
        assert copy.__dict__ == err.__dict__


def test_approval_timeout_error_message_and_attributes():
    err = ApprovalTimeoutError("req-9", 300.0)
    assert str(err) == "approval request req-9 still pending after 300.0s"
    assert (err.request_id, err.timeout) == ("req-9", 300.0)
    assert isinstance(err, KavriCloudError)


# -- transport failures -------------------------------------------------------


def test_refused_connection_is_transport_error_with_cause(refused_url):
    with KavriCloudClient(API_KEY, refused_url) as client:
        with pytest.raises(TransportError) as info:
            client.health()
    err = info.value
    assert str(err).startswith(f"could not reach Kavri Cloud at {refused_url}/v1/health: ")
    assert isinstance(err.__cause__, httpx.ConnectError)
    assert err.status_code is None
    assert API_KEY not in str(err)


def test_slow_response_times_out(http_server):
    http_server.add(json={"status": "ok"}, delay=5)
    with KavriCloudClient(API_KEY, http_server.url, timeout=0.2) as client:
        with pytest.raises(TransportError) as info:
            client.health()
    assert str(info.value) == f"request to {http_server.url}/v1/health timed out after 0.2s"
    assert isinstance(info.value.__cause__, httpx.TimeoutException)


def test_dropped_connection_is_transport_error(http_server):
    http_server.add(drop=True)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(TransportError) as info:
            client.get_tenant()
    assert isinstance(info.value.__cause__, httpx.HTTPError)
    assert info.value.method == "GET"


def test_a_reset_connection_is_named_in_the_async_clients_error():
    # The async stack wraps a reset in errors without text; the message still says what happened.
    import socket
    import struct
    import threading

    from kavri_cloud.client import AsyncKavriCloudClient

    server = socket.create_server(("127.0.0.1", 0))

    def reset_each():
        with server:
            conn, _ = server.accept()
            conn.recv(65536)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()

    threading.Thread(target=reset_each, daemon=True).start()
    url = f"http://127.0.0.1:{server.getsockname()[1]}"

    async def health():
        async with AsyncKavriCloudClient(API_KEY, url) as client:
            await client.health()

    with pytest.raises(TransportError, match="Connection reset by peer$"):
        asyncio.run(health())


def test_transport_error_hides_credentials_in_url(refused_url):
    url = refused_url.replace("http://", "http://user:pw@")
    with KavriCloudClient(API_KEY, url) as client:
        with pytest.raises(TransportError) as info:
            client.health()
    assert "pw" not in str(info.value)
    assert refused_url in str(info.value)


# -- successful responses -----------------------------------------------------


def test_malformed_json_on_success(http_server):
    http_server.add(200, body=b"{not json")
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(KavriCloudError) as info:
            client.get_request("r1")
    assert str(info.value) == "Kavri Cloud returned malformed JSON (HTTP 200)"
    assert isinstance(info.value.__cause__, ValueError)


@pytest.mark.parametrize("body", [[{"id": "r1"}], "r1", 3, None])
def test_non_object_approval_record_is_rejected(http_server, body):
    http_server.add(json=body, repeat=True)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(
            KavriCloudError, match="^malformed approval record: expected a JSON object$"
        ):
            client.get_request("r1")
        with pytest.raises(KavriCloudError, match="^malformed approval record"):
            client.create_request(**_create_kwargs())


def test_empty_success_body_decodes_to_empty_object(http_server):
    http_server.add(204)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        assert client.submit_receipt({"receipt_id": "x"}) == {}


def test_create_request_wire_format(http_server):
    http_server.add(
        201, json={"id": "req-1", "status": "pending"}, method="POST", path="/v1/approvals/requests"
    )
    with KavriCloudClient(API_KEY, http_server.url) as client:
        record = client.create_request(
            **_create_kwargs(
                holder_key="AB" * 32,
                metadata={"to": "bob"},
                threshold=0,
                approver_keys=["aa" * 32],
                ttl_seconds=0,
                idempotency_key="run-1",
            )
        )
    assert record == {"id": "req-1", "status": "pending"}
    sent = http_server.last
    assert sent.headers["authorization"] == f"Bearer {API_KEY}"
    assert sent.headers["accept"] == "application/json"
    assert sent.headers["user-agent"].startswith("kavri-cloud-python/")
    assert sent.headers["content-type"] == "application/json"
    assert sent.json() == {
        "warrant_id": "w-1",
        "tool": "send_email",
        "request_hash": HASH.hex(),
        "holder_key": "ab" * 32,
        "args_canonical_cbor_b64": "oWF4AQ==",
        "approval_context_attestation": {"v": 1, "sig": "00"},
        "metadata": {"to": "bob"},
        "threshold": 0,
        "approver_keys": ["aa" * 32],
        "ttl_seconds": 0,
        "idempotency_key": "run-1",
    }


def test_create_request_omits_unset_optional_fields(http_server):
    http_server.add(json={"id": "req-1"})
    with KavriCloudClient(API_KEY, http_server.url) as client:
        client.create_request(**_create_kwargs(request_hash=bytearray(b"\x01\xff")))
    body = http_server.last.json()
    assert set(body) == {
        "warrant_id",
        "tool",
        "request_hash",
        "holder_key",
        "args_canonical_cbor_b64",
        "approval_context_attestation",
    }
    assert body["request_hash"] == "01ff"


@pytest.mark.parametrize(
    ("overrides", "error", "field"),
    [
        ({"warrant_id": None}, TypeError, "warrant_id"),
        ({"tool": 5}, TypeError, "tool"),
        ({"request_hash": "xyz"}, ValueError, "request_hash"),
        ({"request_hash": 12}, TypeError, "request_hash"),
        ({"holder_key": "abc"}, ValueError, "holder_key"),
        ({"holder_key": None}, TypeError, "holder_key"),
        ({"args_canonical_cbor_b64": b"oWF4AQ=="}, TypeError, "args_canonical_cbor_b64"),
        ({"approval_context_attestation": "{}"}, TypeError, "approval_context_attestation"),
        ({"metadata": ["a"]}, TypeError, "metadata"),
        ({"policy_id": 7}, TypeError, "policy_id"),
        ({"threshold": "2"}, TypeError, "threshold"),
        ({"threshold": True}, TypeError, "threshold"),
        ({"threshold": -1}, ValueError, "threshold"),
        ({"approver_keys": "aabb"}, TypeError, "approver_keys"),
        ({"approver_keys": [b"\xaa"]}, TypeError, "approver_keys[0]"),
        ({"ttl_seconds": 1.5}, TypeError, "ttl_seconds"),
        ({"idempotency_key": 1}, TypeError, "idempotency_key"),
    ],
)
def test_create_request_rejects_bad_fields_before_sending(http_server, overrides, error, field):
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(error, match=rf"^{field.replace('[', '.').replace(']', '.')} must"):
            client.create_request(**_create_kwargs(**overrides))
    assert http_server.requests == []


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda c: c.get_request(""), ValueError),
        (lambda c: c.get_request(None), TypeError),
        (lambda c: c.list_policies(limit=0), ValueError),
        (lambda c: c.list_requests(status=1), TypeError),
        (lambda c: c.submit_receipt([1]), TypeError),
        (lambda c: c._send("GET", "http://evil.example/x"), ValueError),
        (lambda c: c._send("GET", "//evil.example/x"), ValueError),
    ],
)
def test_bad_arguments_rejected_before_sending(http_server, call, error):
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(error):
            call(client)
    assert http_server.requests == []


def test_request_id_is_percent_quoted(http_server):
    http_server.add(json={"id": "a/b c?", "status": "approved"})
    with KavriCloudClient(API_KEY, http_server.url) as client:
        client.get_request("a/b c?")
    assert http_server.last.path == "/v1/approvals/requests/a%2Fb%20c%3F"


@pytest.mark.parametrize(
    ("base", "expected_path"),
    [
        ("", "/v1/health"),
        ("/", "/v1/health"),
        ("/api/", "/api/v1/health"),
        ("/api//", "/api/v1/health"),
    ],
)
def test_api_root_is_base_url_plus_v1(http_server, base, expected_path):
    http_server.add(json={"status": "ok"})
    with KavriCloudClient(API_KEY, http_server.url + base) as client:
        assert client.health() == {"status": "ok"}
    assert http_server.last.path == expected_path


@pytest.mark.parametrize("payload", [{"items": [{"id": "p1"}], "next": None}, [{"id": "p1"}]])
def test_list_policies_returns_items(http_server, payload):
    http_server.add(json=payload, path="/v1/approval-policies")
    with KavriCloudClient(API_KEY, http_server.url) as client:
        assert client.list_policies(limit=1) == [{"id": "p1"}]
    assert http_server.last.query == {"limit": ["1"]}


def test_list_requests_filters_by_status(http_server):
    http_server.add(
        json={"items": [{"id": "r1", "status": "pending"}]}, path="/v1/approvals/requests"
    )
    http_server.add(json={"unexpected": True}, path="/v1/approvals/requests")
    with KavriCloudClient(API_KEY, http_server.url) as client:
        assert client.list_requests(status="pending") == [{"id": "r1", "status": "pending"}]
        with pytest.raises(KavriCloudError, match="expected a list"):
            client.list_requests()
    assert [r.query for r in http_server.requests] == [{"status": ["pending"]}, {}]


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_list_requests_reads_every_page_and_stops_a_service_that_never_ends(http_server, mode):
    from kavri_cloud.client import AsyncKavriCloudClient

    def listed():
        if mode == "sync":
            with KavriCloudClient(API_KEY, http_server.url) as client:
                return client.list_requests(status="pending")

        async def run():
            async with AsyncKavriCloudClient(API_KEY, http_server.url) as client:
                return await client.list_requests(status="pending")

        return asyncio.run(run())

    http_server.add(json={"items": [{"id": "r1"}], "next_cursor": "7"})
    http_server.add(json={"items": [{"id": "r2"}], "next_cursor": None})
    assert listed() == [{"id": "r1"}, {"id": "r2"}]
    assert [r.query for r in http_server.requests] == [
        {"status": ["pending"]}, {"status": ["pending"], "cursor": ["7"]}]

    http_server.add(json={"items": [], "next_cursor": "7"}, repeat=True)
    with pytest.raises(KavriCloudError, match="more than 100 pages"):
        listed()


def test_send_and_handle_response_for_custom_calls(http_server):
    # The agent claim goes through these two directly.
    http_server.add(
        json={"agent_id": "ag-1", "status": "active"}, method="POST", path="/v1/agents/claim"
    )
    http_server.add(409, json={"code": "agent_not_pending", "message": "already claimed"})
    body = {"agent_id": "ag-1", "public_key": "aa", "registration_token": "rt"}
    with KavriCloudClient(API_KEY, http_server.url) as client:
        assert (
            client._handle_response(client._send("POST", "agents/claim", json=body))["status"]
            == "active"
        )
        response = client._send("POST", "agents/claim", json=body)
        assert response.status_code == 409
        with pytest.raises(ConflictError):
            client._handle_response(response)
    assert http_server.requests[0].json() == body


# -- construction and lifetime ------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((None,), {}, TypeError),
        (("",), {}, ValueError),
        (("   ",), {}, ValueError),
        (("key\nInjected: 1",), {}, ValueError),
        ((API_KEY, "api.kavri.cloud"), {}, ValueError),
        ((API_KEY, "ftp://api.kavri.cloud"), {}, ValueError),
        ((API_KEY, "http://"), {}, ValueError),
        ((API_KEY, "http://host:notaport"), {}, ValueError),
        ((API_KEY, None), {}, TypeError),
        ((API_KEY,), {"timeout": 0}, ValueError),
        ((API_KEY,), {"timeout": float("nan")}, ValueError),
        ((API_KEY,), {"timeout": "5"}, TypeError),
        ((API_KEY,), {"timeout": True}, TypeError),
    ],
)
@pytest.mark.parametrize("cls", [KavriCloudClient, AsyncKavriCloudClient])
def test_constructor_validates_arguments(cls, args, kwargs, error):
    with pytest.raises(error) as info:
        cls(*args, **kwargs)
    assert "Injected" not in str(info.value)


def test_repr_never_shows_the_api_key():
    client = KavriCloudClient(API_KEY, "https://api.example.test/")
    assert API_KEY not in repr(client)
    assert repr(client) == "KavriCloudClient(base_url='https://api.example.test')"
    assert client.api_root == "https://api.example.test/v1/"


def test_context_manager_closes_on_error(http_server):
    http_server.add(401, json={"message": "nope"})
    with pytest.raises(AuthenticationError):
        with KavriCloudClient(API_KEY, http_server.url) as client:
            assert not client.closed
            client.health()
    assert client.closed
    client.close()  # idempotent
    with pytest.raises(RuntimeError, match="closed"):
        client.health()


def test_importing_plain_modules_does_not_load_httpx():
    # The native modules import these at load time and must stay fast.
    code = (
        "import sys\n"
        "import kavri_cloud.client, kavri_cloud.exceptions, kavri_cloud.models\n"
        "import kavri_cloud.enforcement, kavri_cloud.providers, kavri_cloud.hosted\n"
        "assert 'httpx' not in sys.modules, 'httpx imported'\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, cwd=str(_repo_root()))


FIRST_REQUESTS_FROM_MANY_THREADS = r"""
import sys, threading
sys.setswitchinterval(1e-6)  # a thread switch between any two steps, as a loaded machine may make
from kavri_cloud.client import KavriCloudClient

count = 32
sent, closing = threading.Barrier(count), threading.Barrier(count)
outcomes, pools = [], []

def one():
    client = KavriCloudClient("k", sys.argv[1], timeout=10.0)
    sent.wait()
    try:
        client.health()
        outcomes.append("ok")
    except Exception as exc:
        outcomes.append(f"{type(exc).__name__}: {str(exc)[:60]}")
    pools.append(client._pool)
    closing.wait()  # every client still open: they all borrow the one pool of the URL
    client.close()

threads = [threading.Thread(target=one) for _ in range(count)]
for t in threads: t.start()
for t in threads: t.join()
print(sorted(set(outcomes)), len({id(p) for p in pools}))
"""


def test_the_first_requests_of_a_process_from_many_threads_share_one_deadline_and_one_pool(http_server):
    # The request deadline's context variable and the pools' lock were made on first use:
    # two threads could each make one, so a request's deadline went unseen by the network
    # layer (or its reset failed with ValueError) and clients of one URL got separate pools.
    # A fresh interpreter, so these really are the first requests.
    http_server.add(json={"status": "ok"}, repeat=True)
    done = subprocess.run([sys.executable, "-c", FIRST_REQUESTS_FROM_MANY_THREADS, http_server.url],
                          capture_output=True, text=True, timeout=60, cwd=str(_repo_root()))
    assert done.stdout.strip() == "['ok'] 1", done.stdout + done.stderr


def _repo_root():
    from pathlib import Path

    return Path(__file__).resolve().parent.parent


# -- asynchronous client ------------------------------------------------------


def test_async_create_and_get(http_server):
    http_server.add(json={"id": "req-1", "status": "pending"}, method="POST")
    http_server.add(
        json={"id": "req-1", "status": "approved"},
        method="GET",
        path="/v1/approvals/requests/req-1",
    )

    async def main():
        async with AsyncKavriCloudClient(API_KEY, http_server.url) as client:
            created = await client.create_request(**_create_kwargs())
            return created, await client.get_request(created["id"])

    created, fetched = asyncio.run(main())
    assert (created["status"], fetched["status"]) == ("pending", "approved")
    assert http_server.requests[0].json()["holder_key"] == HOLDER.hex()
    assert http_server.requests[1].headers["authorization"] == f"Bearer {API_KEY}"


def test_async_timeout_and_refusal(http_server, refused_url):
    http_server.add(delay=5)

    async def call(url, timeout):
        client = AsyncKavriCloudClient(API_KEY, url, timeout=timeout)
        try:
            await client.health()
        finally:
            await client.close()
            await client.close()
        return client

    with pytest.raises(TransportError, match=r"timed out after 0\.2s$") as info:
        asyncio.run(call(http_server.url, 0.2))
    assert isinstance(info.value.__cause__, httpx.TimeoutException)
    with pytest.raises(TransportError, match="^could not reach Kavri Cloud") as info:
        asyncio.run(call(refused_url, 5))
    assert isinstance(info.value.__cause__, httpx.ConnectError)


def test_async_rejects_bad_fields_before_sending(http_server):
    async def main():
        async with AsyncKavriCloudClient(API_KEY, http_server.url) as client:
            await client.create_request(**_create_kwargs(request_hash="zz"))

    with pytest.raises(ValueError, match="^request_hash"):
        asyncio.run(main())
    assert http_server.requests == []


@pytest.mark.parametrize(("status", "body", "kind"), [ERROR_CASES[1], ERROR_CASES[8]])
def test_async_context_manager_closes_on_error(http_server, status, body, kind):
    http_server.add(status, json=body)
    holder = {}

    async def main():
        async with AsyncKavriCloudClient(API_KEY, http_server.url) as client:
            holder["client"] = client
            await client.list_policies()

    with pytest.raises(kind) as info:
        asyncio.run(main())
    assert (type(info.value), info.value.status_code, info.value.body) == (kind, status, body)
    assert holder["client"].closed


# -- bounds: one deadline per request, one size cap per answer ----------------


def _sync_health(url, deadline=None, **options):
    with KavriCloudClient(API_KEY, url, **options) as client:
        client.deadline = deadline
        return client.health()


def _async_health(url, deadline=None, **options):
    async def main():
        async with AsyncKavriCloudClient(API_KEY, url, **options) as client:
            client.deadline = deadline
            return await client.health()

    return asyncio.run(main())


BOTH = pytest.mark.parametrize("call", [_sync_health, _async_health], ids=["blocking", "async"])


@BOTH
@pytest.mark.parametrize("script", [{"hang": True}, {"json": {"status": "ok"}, "trickle": 0.1}],
                         ids=["never-answers", "trickles"])
def test_the_timeout_bounds_the_whole_request_not_each_read(http_server, call, script):
    http_server.add(**script)
    started = time.monotonic()
    with pytest.raises(TransportError, match=r"timed out after 0\.5s$") as info:
        call(http_server.url, timeout=0.5)
    assert time.monotonic() - started < 2.0
    assert isinstance(info.value.__cause__, httpx.TimeoutException)


@BOTH
def test_a_deadline_cuts_the_timeout_short_and_a_passed_one_sends_nothing(http_server, call):
    http_server.add(hang=True)
    started = time.monotonic()
    with pytest.raises(TransportError, match=r"timed out after 0\.[3-5]\d*s$"):
        call(http_server.url, timeout=30.0, deadline=time.monotonic() + 0.5)
    assert time.monotonic() - started < 2.0
    http_server.release()
    seen = len(http_server.requests)
    with pytest.raises(TransportError, match=r"timed out after 0\.0s$") as info:
        call(http_server.url, deadline=time.monotonic() - 1)
    assert isinstance(info.value.__cause__, TimeoutError)
    assert len(http_server.requests) == seen


def _packed(data: bytes, wbits: int) -> bytes:
    import zlib

    packer = zlib.compressobj(6, zlib.DEFLATED, wbits)
    return packer.compress(data) + packer.flush()


def _padded_gzip(data: bytes, blocks: int) -> bytes:
    """A gzip body of `data` behind `blocks` empty stored blocks (5 bytes each, inflating to nothing)."""
    import struct
    import zlib

    header = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"
    return header + b"\x00\x00\x00\xff\xff" * blocks + _packed(data, -15) + struct.pack("<II", zlib.crc32(data), len(data))


@pytest.mark.parametrize("encoding", ["gzip", "deflate-zlib", "deflate-raw", "gzip-members"])
def test_compressed_answers_are_inflated(http_server, encoding):
    raw = b'{"status": "ok", "pad": "' + b"z" * 100_000 + b'"}'
    if encoding == "gzip-members":  # a gzip body is a series of members
        body = _packed(raw[:50_000], 31) + _packed(raw[50_000:], 31)
    else:
        body = _packed(raw, {"gzip": 31, "deflate-zlib": 15, "deflate-raw": -15}[encoding])
    http_server.add(body=body, headers={"Content-Encoding": encoding.split("-")[0], "Content-Type": "application/json"})
    assert _sync_health(http_server.url)["pad"] == "z" * 100_000
    assert http_server.last.headers["accept-encoding"] == "gzip, deflate"


@BOTH
@pytest.mark.parametrize(
    ("script", "message", "cause"),
    [
        ({"body": gzip_bomb(64 << 20), "headers": {"Content-Encoding": "gzip"}}, "larger than 1048576 bytes", None),
        ({"body": b"x" * (2 << 20)}, "larger than 1048576 bytes", None),
        ({"body": b"\x1f\x8b garbage", "headers": {"Content-Encoding": "gzip"}}, "could not be decompressed",
         __import__("zlib").error),
        ({"body": b"{}", "headers": {"Content-Encoding": "br"}}, "unsupported content encoding (br)", None),
        # What follows the compressed stream is neither kept nor read on: 16 MiB of it was held,
        # and copied at every chunk, while the answer passed as the first member alone.
        ({"body": _packed(b'{"status": "ok"}', 31) + bytes(16 << 20), "headers": {"Content-Encoding": "gzip"}},
         "could not be decompressed", __import__("zlib").error),
        ({"body": _packed(b'{"status": "ok"}', 15) + bytes(16 << 20), "headers": {"Content-Encoding": "deflate"}},
         "data after the end of its compressed body", None),
        # Empty stored blocks inflate to nothing: 2 MiB of them were read, on to the deadline.
        ({"body": _padded_gzip(b'{"status": "ok"}', 400 << 10), "headers": {"Content-Encoding": "gzip"}},
         "larger than 1048576 bytes", None),
        ({"body": b"[" * 50_000 + b"]" * 50_000}, "malformed JSON (HTTP 200)", RecursionError),
        ({"body": b'{"status": "\xff"}'}, "malformed JSON (HTTP 200)", UnicodeDecodeError),
    ],
    ids=["gzip-bomb", "oversized", "bad-gzip", "unknown-encoding", "junk-after-gzip", "junk-after-deflate",
         "padded-gzip", "too-deep", "not-utf8"],
)
def test_an_answer_that_cannot_be_decoded_within_the_cap_is_a_cloud_error(http_server, call, script, message, cause):
    http_server.add(**script)
    tracemalloc.start()
    try:
        with pytest.raises(KavriCloudError) as info:
            call(http_server.url, max_response_bytes=1 << 20)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert type(info.value) is KavriCloudError and message in str(info.value)
    assert info.value.status_code == 200
    if cause is not None:
        assert isinstance(info.value.__cause__, cause)
    assert peak < 16 << 20  # the 64 MiB bomb never inflates past the cap


@BOTH
@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_a_redirect_is_an_error_and_the_api_key_never_follows_it(http_server, call, status):
    with HTTPTestServer() as elsewhere:
        elsewhere.add(json={"status": "ok"}, repeat=True)
        http_server.add(status, json={"message": "moved"}, headers={"Location": elsewhere.url + "/v1/health"})
        with pytest.raises(KavriCloudError) as info:
            call(http_server.url)
        assert info.value.status_code == status
        assert elsewhere.requests == []


@BOTH
@pytest.mark.parametrize(
    ("status", "body"),
    [
        (401, {"code": "unauthorized", "message": f"API key {API_KEY} is revoked", "remediation": f"rotate {API_KEY}"}),
        (500, {"error": {"message": f"upstream refused Authorization: Bearer {API_KEY}"}}),
        (200, {"status": "denied", "denied_reason": f"key {API_KEY} may not approve"}),
        (200, f"<html>bad key {API_KEY}</html>"),
    ],
    ids=["error-message", "nested-error", "record-field", "not-json"],
)
def test_an_answer_that_echoes_the_api_key_never_hands_it_on(http_server, call, status, body):
    # The key would reach error texts, denial reasons, logs and a workflow's history.
    http_server.add(status, body=body if isinstance(body, str) else json.dumps(body))
    try:
        outcome = call(http_server.url)
    except KavriCloudError as error:
        outcome = (str(error), repr(error), error.body, error.remediation)
    assert API_KEY not in repr(outcome)
    assert "<redacted>" in repr(outcome)


def test_a_key_too_short_to_tell_from_text_leaves_answers_as_they_came(http_server):
    http_server.add(json={"status": "ok", "link": "kavri"})
    with KavriCloudClient("k", http_server.url) as client:
        assert client.health() == {"status": "ok", "link": "kavri"}


def test_an_oversized_error_answer_keeps_its_status_class(http_server):
    http_server.add(503, body=b"<html>" + b"x" * (3 << 20))
    with pytest.raises(ServerError) as info:
        _sync_health(http_server.url, max_response_bytes=1 << 20)
    assert len(info.value.body) == 1 << 20


def test_an_error_answer_nested_too_deeply_keeps_its_status_class(http_server):
    http_server.add(500, body=b"[" * 50_000 + b"]" * 50_000)
    with pytest.raises(ServerError):
        _sync_health(http_server.url)


@pytest.mark.parametrize(
    ("record", "message"),
    [
        ({"id": 7, "status": "pending"}, '"id" must be text, got int'),
        ({"id": None}, '"id" must be text, got NoneType'),
        ({"id": "a", "status": ["approved"]}, '"status" must be text or null, got list'),
        ({"id": "a", "denied_reason": 5}, '"denied_reason" must be text or null, got int'),
        ({"id": "a", "responses": {"signed_approval": "x"}}, '"responses" must be a list, got dict'),
        ({"id": "a", "responses": ["x"]}, '"responses[0]" must be an object, got str'),
        ({"id": "a", "responses": [{"signed_approval": 1}]}, '"responses[0].signed_approval" must be text or null'),
    ],
)
def test_an_approval_record_with_a_field_of_the_wrong_type_is_a_cloud_error(http_server, record, message):
    http_server.add(json=record)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        with pytest.raises(KavriCloudError) as info:
            client.get_request("a")
    assert type(info.value) is KavriCloudError
    assert str(info.value).startswith("malformed approval record: " + message)
    assert isinstance(info.value.__cause__, TypeError)


def test_records_the_handlers_read_as_documented_still_pass(http_server):
    record = {"id": "a", "request_id": None, "status": None, "denied_reason": None, "reason": "r",
              "responses": [{"signed_approval": None}, {"signed_approval": "00"}, {}]}
    http_server.add(json=record)
    with KavriCloudClient(API_KEY, http_server.url) as client:
        assert client.get_request("a") == record


@pytest.mark.parametrize(
    ("options", "error"),
    [({"deadline": "soon"}, TypeError), ({"deadline": float("nan")}, ValueError),
     ({"max_response_bytes": 0}, ValueError), ({"max_response_bytes": 1.5}, TypeError)],
)
def test_bounds_are_validated(options, error):
    with pytest.raises(error):
        client = KavriCloudClient(API_KEY, max_response_bytes=options.get("max_response_bytes", 1 << 20))
        client.deadline = options.get("deadline")


def test_a_trickled_tls_handshake_ends_at_the_deadline():
    import socket
    import threading

    # A TLS record header announcing 16 KiB, then its body one byte at a time.
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve():
        conn, _ = listener.accept()
        with conn:
            try:
                conn.sendall(b"\x16\x03\x03\x40\x00")
                while not stop.wait(0.1):
                    conn.sendall(b"\x00")
            except OSError:
                pass

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    started = time.monotonic()
    try:
        with pytest.raises(TransportError, match=r"timed out after 0\.5s$"):
            _sync_health(f"https://127.0.0.1:{listener.getsockname()[1]}", timeout=0.5)
    finally:
        stop.set()
        server.join(5)
        listener.close()
    assert time.monotonic() - started < 2.0



@pytest.fixture
def hanging_resolver(monkeypatch):
    """The system resolver, except that "hangs.example" gets no answer until the test ends.

    Simulated: nothing here can make a real resolver hang. asyncio's lookups hand it the
    name encoded, as bytes.
    """
    import socket
    import threading

    real_getaddrinfo, answer = socket.getaddrinfo, threading.Event()

    def getaddrinfo(host, *args, **kwargs):
        if host in ("hangs.example", b"hangs.example"):
            answer.wait(30)
            raise socket.gaierror(socket.EAI_AGAIN, "Temporary failure in name resolution")
        return real_getaddrinfo(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    yield "hangs.example"
    answer.set()


@BOTH
def test_a_name_lookup_that_never_answers_ends_at_the_deadline(hanging_resolver, call):
    # The resolver takes no timeout. Neither the request nor, for asyncio, the loop's
    # shutdown (which waits for the threads of the loop's default executor) may wait for it.
    started = time.monotonic()
    with pytest.raises(TransportError, match=r"timed out after 0\.5s$"):
        call(f"http://{hanging_resolver}:8080", timeout=0.5)
    assert time.monotonic() - started < 2.0


def test_the_asyncio_handler_without_a_running_loop_ends_without_waiting_for_a_lookup(hanging_resolver,
                                                                                        monkeypatch):
    # Outside a loop the handler runs its own loop on a worker thread and shuts it down, as
    # asyncio.run does, before it returns.
    from kavri_cloud import approval
    from tests.approval_fakes import Request

    class Payload:
        def to_create_request_kwargs(self):
            return {"warrant_id": "wrt_1", "tool": "send_email", "threshold": 1, "request_hash": "11" * 32,
                    "holder_key": "22" * 32, "args_canonical_cbor_b64": "oA==", "approval_context_attestation": {}}

    monkeypatch.setattr(approval, "build_approval_request_payload", lambda request, **kwargs: Payload())
    handler = approval.async_cloud_approval("key", base_url=f"http://{hanging_resolver}:8080", timeout=0.5)
    started = time.monotonic()
    with pytest.raises(TransportError, match="timed out"):
        handler(Request()).send(None)
    assert time.monotonic() - started < 5.0


@BOTH
def test_a_name_that_does_not_resolve_is_a_transport_error_naming_the_resolver(monkeypatch, call):
    import socket

    def getaddrinfo(host, *args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    with pytest.raises(TransportError, match="Name or service not known"):
        call("http://nowhere.example:8080", timeout=5)


@BOTH
def test_a_name_with_several_addresses_falls_through_to_one_that_answers(http_server, monkeypatch, call):
    import socket

    # The server listens on 127.0.0.1 only: 127.0.0.2, loopback too, refuses the first try.
    port = http_server.port

    real_getaddrinfo = socket.getaddrinfo

    def getaddrinfo(host, *args, **kwargs):
        if host not in ("two.example", b"two.example"):
            return real_getaddrinfo(host, *args, **kwargs)
        return [(socket.AF_INET, socket.SOCK_STREAM, 6, "", ("127.0.0.2", port)),
                (socket.AF_INET, socket.SOCK_STREAM, 6, "", ("127.0.0.1", port))]

    http_server.add(json={"status": "ok"})
    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    assert call(f"http://two.example:{port}", timeout=5) == {"status": "ok"}

def test_a_cancelled_request_is_cancelled_even_as_its_answer_arrives(local_cloud):
    # asyncio.wait_for before 3.12 drops a cancellation that lands as the inner call finishes;
    # a cancelled approval wait must never go on polling. Cancels land all around the round trip.
    import time

    from kavri_cloud.client import AsyncKavriCloudClient

    async def sweep():
        lost = accepted = 0
        async with AsyncKavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url, timeout=5.0) as client:
            trips = []
            for _ in range(10):
                started = time.perf_counter()
                await client.health()
                trips.append(time.perf_counter() - started)
            round_trip = min(trips)
            for i in range(300):
                task = asyncio.create_task(client.health())
                await asyncio.sleep(round_trip * i / 150)
                if task.cancel():
                    accepted += 1
                    try:
                        await task
                        lost += 1
                    except asyncio.CancelledError:
                        pass
        return lost, accepted

    lost, accepted = asyncio.run(sweep())
    assert (lost, accepted > 0) == (0, True), (lost, accepted)
