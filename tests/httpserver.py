"""A scriptable HTTP server on 127.0.0.1 for tests of HTTP clients.

A test queues responses, runs the code under test against ``server.url`` and
then inspects ``server.requests``::

    from tests.httpserver import http_server  # noqa: F401  (fixture)

    def test_health(http_server):
        http_server.add(json={"status": "ok"}, path="/v1/health")
        ...
        assert http_server.requests[0].headers["authorization"] == "Bearer k"

Each scripted response is used once, in order, by the first request whose
method and path match (``None`` matches anything); ``repeat=True`` keeps it.
A request that matches nothing gets a 599 JSON error, so a missing script shows
up as a failing assertion rather than a hang. A response can be delayed (to
trigger client timeouts) or the connection dropped without any response.

Hostile answers for the client's bounds: ``hang=True`` never answers,
``trickle=s`` sends the whole answer (status line and headers included) one
byte every ``s`` seconds, and :func:`gzip_bomb` makes a small compressed body
that inflates to a large one. :meth:`HTTPTestServer.release` cuts every
waiting answer short, so a test can count what its client left behind.
"""

from __future__ import annotations

import contextlib
import json as _json
import socket
import threading
from collections.abc import Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

import pytest

__all__ = [
    "HTTPTestServer",
    "RecordedRequest",
    "ScriptedResponse",
    "gzip_bomb",
    "http_server",
    "refused_url",
    "unused_port",
]

_UNSET: Any = object()


@dataclass
class ScriptedResponse:
    """One response the server will give.

    Attributes:
        status: HTTP status code.
        body: Raw body bytes (used when ``json`` is not set).
        json: A value sent as a JSON body, with a JSON content type.
        headers: Extra response headers.
        delay: Seconds to wait before answering.
        drop: Close the connection without answering.
        hang: Never answer (until the server is released or stopped).
        trickle: Send the answer one byte every ``trickle`` seconds.
        method: Only answer requests with this method (``None``: any).
        path: Only answer requests with this path, query excluded (``None``: any).
        repeat: Keep answering instead of being used up.
    """

    status: int = 200
    body: bytes = b""
    json: Any = _UNSET
    headers: dict[str, str] = field(default_factory=dict)
    delay: float = 0.0
    drop: bool = False
    hang: bool = False
    trickle: float = 0.0
    method: str | None = None
    path: str | None = None
    repeat: bool = False

    def matches(self, method: str, path: str) -> bool:
        return (self.method is None or self.method == method) and (
            self.path is None or self.path == path
        )


@dataclass
class RecordedRequest:
    """A request the server received.

    Attributes:
        method: HTTP method.
        path: Path without the query string, as sent (still percent-encoded).
        query: Decoded query parameters, each with its list of values.
        headers: Request headers, with lower-case names.
        body: Raw request body.
    """

    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]
    body: bytes

    def json(self) -> Any:
        """Decode the body as JSON."""
        return _json.loads(self.body)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The head and the body go out in two writes: with Nagle's algorithm the body waited
    # for the client's delayed acknowledgement, some 40 ms an answer.
    disable_nagle_algorithm = True
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # keep test output clean

    def _handle(self) -> None:
        owner = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        split = urlsplit(self.path)
        request = RecordedRequest(
            method=self.command,
            path=split.path,
            query=parse_qs(split.query, keep_blank_values=True),
            headers={name.lower(): value for name, value in self.headers.items()},
            body=body,
        )
        scripted = owner._take(request)
        if scripted.delay and owner._stopping.wait(scripted.delay):
            scripted = ScriptedResponse(drop=True)
        if scripted.hang:
            owner._stopping.wait()
            scripted = ScriptedResponse(drop=True)
        if scripted.drop:
            self.close_connection = True
            with contextlib.suppress(OSError):
                self.connection.shutdown(socket.SHUT_RDWR)
            return
        if scripted.json is not _UNSET:
            payload = _json.dumps(scripted.json).encode()
            content_type = "application/json"
        else:
            payload = scripted.body
            content_type = "application/octet-stream"
        headers = {"Content-Type": content_type, **scripted.headers, "Content-Length": str(len(payload))}
        if scripted.trickle:
            self._trickle(scripted, headers, payload)
            return
        try:
            self.send_response(scripted.status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(payload)
        except OSError:
            self.close_connection = True  # the client gave up (timeout)

    def _trickle(self, scripted: ScriptedResponse, headers: dict[str, str], payload: bytes) -> None:
        head = f"HTTP/1.1 {scripted.status} Trickled\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers.items())
        self.close_connection = True
        for byte in (head + "\r\n").encode() + payload:
            if self.server.owner._stopping.wait(scripted.trickle):
                break
            try:
                self.wfile.write(bytes([byte]))
                self.wfile.flush()
            except OSError:
                break  # the client gave up
        with contextlib.suppress(OSError):
            self.connection.shutdown(socket.SHUT_RDWR)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _handle  # noqa: N815


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    owner: HTTPTestServer

    def handle_error(self, request: Any, client_address: Any) -> None:
        import sys

        if isinstance(sys.exc_info()[1], OSError):
            return  # the client hung up mid-answer, as the bounded clients do on purpose
        super().handle_error(request, client_address)


class HTTPTestServer:
    """A real HTTP/1.1 server on 127.0.0.1, on a free port, in a thread.

    Attributes:
        url: Base URL, ``http://127.0.0.1:<port>``.
        requests: Every request received, in arrival order.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._script: list[ScriptedResponse] = []
        self._stopping = threading.Event()
        self.requests: list[RecordedRequest] = []
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self.port: int = self._server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )

    def start(self) -> HTTPTestServer:
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stop serving; delayed responses are cut short and dropped."""
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def release(self) -> None:
        """Cut every waiting answer (delayed, hanging, trickling) short, now and later."""
        self._stopping.set()

    def __enter__(self) -> HTTPTestServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def add(
        self,
        status: int = 200,
        *,
        json: Any = _UNSET,
        body: bytes | str = b"",
        headers: dict[str, str] | None = None,
        delay: float = 0.0,
        drop: bool = False,
        hang: bool = False,
        trickle: float = 0.0,
        method: str | None = None,
        path: str | None = None,
        repeat: bool = False,
    ) -> ScriptedResponse:
        """Queue a response; see :class:`ScriptedResponse` for the arguments."""
        scripted = ScriptedResponse(
            status=status,
            body=body.encode() if isinstance(body, str) else body,
            json=json,
            headers=dict(headers or {}),
            delay=delay,
            drop=drop,
            hang=hang,
            trickle=trickle,
            method=method,
            path=path,
            repeat=repeat,
        )
        with self._lock:
            self._script.append(scripted)
        return scripted

    def _take(self, request: RecordedRequest) -> ScriptedResponse:
        with self._lock:
            self.requests.append(request)
            for index, scripted in enumerate(self._script):
                if scripted.matches(request.method, request.path):
                    if not scripted.repeat:
                        del self._script[index]
                    return scripted
        return ScriptedResponse(
            status=599,
            json={
                "code": "unscripted",
                "message": f"no scripted response for {request.method} {request.path}",
            },
        )

    @property
    def last(self) -> RecordedRequest:
        """The most recent request."""
        with self._lock:
            return self.requests[-1]


def gzip_bomb(size: int) -> bytes:
    """A gzip body of ``size`` zero bytes, built without holding them (a few hundred KiB)."""
    import zlib

    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    block = bytes(1 << 20)
    parts = [packer.compress(block) for _ in range(size >> 20)]
    parts.append(packer.compress(bytes(size & ((1 << 20) - 1))))
    parts.append(packer.flush())
    return b"".join(parts)


def unused_port() -> int:
    """Return a loopback port that nothing listens on (at the time of the call)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def http_server() -> Iterator[HTTPTestServer]:
    """A started :class:`HTTPTestServer`, stopped after the test."""
    with HTTPTestServer() as server:
        yield server


@pytest.fixture
def refused_url() -> str:
    """A loopback base URL on which connections are refused."""
    return f"http://127.0.0.1:{unused_port()}"
