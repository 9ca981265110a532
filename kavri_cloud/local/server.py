"""Running the local Kavri Cloud in-process: uvicorn on a loopback port, in a thread.

:class:`LocalCloud` is what tests, the demo and ``kavri-cloud local`` use::

    with LocalCloud(tmp_path / "cloud") as cloud:
        client = KavriCloudClient(cloud.runtime_key, base_url=cloud.url)
        record = client.create_request(...)
        cloud.approve(record["id"], approver="alice")

The server speaks through a small subclass of uvicorn's HTTP protocol that
hands each connection's transport to the application, so the fault injector
can close a socket without answering, as a dying proxy would.
"""

from __future__ import annotations

import asyncio
import base64
import errno
import json
import logging
import math
import socket
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Sequence

from .app import create_app
from .faults import TRANSPORT_EXTENSION
from .store import DEFAULT_APPROVER_NAMES

__all__ = [
    "CONNECT_TOKEN_PREFIX",
    "ConnectionLimits",
    "LocalApprover",
    "LocalCloud",
    "make_connect_token",
]

_logger = logging.getLogger("kavri_cloud.local")

CONNECT_TOKEN_PREFIX = "kavri_ct_"
_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 10.0
_KEEP_ALIVE_SECONDS = 75.0  # longer than any poll interval in use, as hosted load balancers do


def make_connect_token(
    endpoint: str,
    api_key: str,
    *,
    agent_id: str | None = None,
    registration_token: str | None = None,
) -> str:
    """A Quick Connect token: "kavri_ct_" + unpadded URL-safe base64 of its JSON document."""
    document: dict[str, str] = {"endpoint": endpoint, "api_key": api_key}
    if agent_id:
        document["agent_id"] = agent_id
    if registration_token:
        document["registration_token"] = registration_token
    raw = json.dumps(document, separators=(",", ":")).encode()
    return CONNECT_TOKEN_PREFIX + base64.urlsafe_b64encode(raw).decode("ascii").rstrip("=")


@dataclass(frozen=True)
class LocalApprover:
    """One of the service's approvers.

    Attributes:
        name: The approver's name ("alice", ...).
        public_key: Its Ed25519 public key, lower-case hex.
    """

    name: str
    public_key: str

    @property
    def public_key_bytes(self) -> bytes:
        """The 32 raw public key bytes."""
        return bytes.fromhex(self.public_key)


@dataclass(frozen=True)
class ConnectionLimits:
    """How long and how many connections the service keeps.

    Attributes:
        header_timeout: Seconds a new connection has to send a request's complete
            headers; after a response, the keep-alive plus this.
        body_timeout: Seconds from a request's headers to the last byte of its body
            (408 and the connection closed when it runs out).
        keep_alive: Seconds an idle connection stays open after a response.
        max_connections: Open connections at most; a new one beyond it pushes out
            the connection that has waited longest without sending a request,
            or is closed at once when every connection is busy. None: what the
            process's descriptor limit leaves after a reserve for the database,
            logs and the service's own clients (at most 16384).
        max_header_bytes: Size of a request's headers at most (431 beyond).
    """

    header_timeout: float = 10.0
    body_timeout: float = 30.0
    keep_alive: float = _KEEP_ALIVE_SECONDS
    max_connections: int | None = None
    max_header_bytes: int = 64 * 1024


def _default_max_connections() -> int:
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (ImportError, OSError, ValueError):
        return 1024
    if soft == resource.RLIM_INFINITY:
        return 16384
    return max(32, min(16384, soft - 128))


class _Connections:
    """What the connections of one server share: who waits for a request, and since when."""

    def __init__(self, limits: ConnectionLimits) -> None:
        self.limits = limits
        self.max_connections = limits.max_connections or _default_max_connections()
        self.open: set[Any] = set()
        self.opened = 0  # connections accepted since the start, refused ones included
        self.most_open = 0  # the most that were open at once
        # Insertion-ordered: the first entry has waited longest for a request.
        self.idle: dict[Any, None] = {}


_TIMEOUT_BODY = json.dumps(
    {
        "code": "request_timeout",
        "message": "the request body did not arrive in time",
        "remediation": "Send the whole body at once; the service does not wait for slow senders.",
    }
).encode()


class _Guarded:
    """Runs one request of a connection: transport in the scope, the body on a deadline."""

    __slots__ = ("app", "protocol")

    def __init__(self, app: Any, protocol: Any) -> None:
        self.app = app
        self.protocol = protocol

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        protocol = self.protocol
        protocol._kavri_request_started()
        extensions = dict(scope.get("extensions") or {})
        extensions[TRANSPORT_EXTENSION] = protocol.transport
        scope["extensions"] = extensions
        loop = asyncio.get_running_loop()
        deadline = loop.time() + protocol._kavri_limits.body_timeout
        state = {"started": False, "done": False}

        async def guarded_receive() -> Any:
            if state["done"]:
                return {"type": "http.disconnect"}
            try:
                return await asyncio.wait_for(receive(), max(0.0, deadline - loop.time()))
            except asyncio.TimeoutError:
                pass
            if not state["started"]:
                await send_checked({
                    "type": "http.response.start",
                    "status": 408,
                    "headers": [(b"content-type", b"application/json"), (b"connection", b"close")],
                })
                await send_checked({"type": "http.response.body", "body": _TIMEOUT_BODY})
            state["done"] = True
            protocol.transport.close()
            return {"type": "http.disconnect"}

        async def send_checked(message: Any) -> None:
            if state["done"]:
                return  # the connection was given up; the handler's answer goes nowhere
            if message["type"] == "http.response.start":
                state["started"] = True
            await send(message)

        try:
            await self.app(scope, guarded_receive, send_checked)
        finally:
            protocol._kavri_request_done()


def _protocol_class(limits: ConnectionLimits | None = None) -> type:
    """uvicorn's HTTP protocol with the service's connection limits and time limits.

    uvicorn closes idle keep-alive connections, but not one that never sends a
    request, nor one that trickles its headers or body; a few hundred of those
    would hold the service. Each connection therefore runs on a timer from the
    moment it opens (or finishes a response) until its next request's headers
    are complete, and each request reads its body against a deadline.
    """
    from uvicorn.protocols.http.auto import AutoHTTPProtocol

    shared = _Connections(limits or ConnectionLimits())

    class KavriLocalProtocol(AutoHTTPProtocol):  # type: ignore[misc, valid-type]
        _kavri_limits = shared.limits
        _kavri_shared = shared

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            shared.opened += 1
            super().connection_made(transport)
            self.app = _Guarded(self.app, self)  # type: ignore[has-type]
            self._kavri_timer: asyncio.TimerHandle | None = None
            self._kavri_header_bytes = 0
            self._kavri_refused = False
            if len(shared.open) >= shared.max_connections:
                oldest = next(iter(shared.idle), None)
                if oldest is None:
                    transport.close()
                    return
                oldest._kavri_drop()
            shared.open.add(self)
            shared.most_open = max(shared.most_open, len(shared.open))
            self._kavri_wait_for_request(shared.limits.header_timeout)

        def connection_lost(self, exc: Exception | None) -> None:
            self._kavri_forget()
            super().connection_lost(exc)

        # Header size: counted as the parser reports the request line and the
        # header fields (httptools; the h11 parser has its own bound), so one
        # large header is caught whether it comes in one packet or many.
        def on_message_begin(self) -> None:
            self._kavri_header_bytes = 0
            super().on_message_begin()

        def on_url(self, url: bytes) -> None:
            self._kavri_count_header(len(url))
            super().on_url(url)

        def on_header(self, name: bytes, value: bytes) -> None:
            self._kavri_count_header(len(name) + len(value) + 4)
            super().on_header(name, value)

        def send_400_response(self, msg: str) -> None:
            if not self._kavri_refused:  # a 431 has gone out already
                super().send_400_response(msg)

        def _kavri_count_header(self, size: int) -> None:
            self._kavri_header_bytes += size
            if self._kavri_header_bytes > shared.limits.max_header_bytes and not self._kavri_refused:
                self._kavri_refused = True
                self.transport.write(
                    b"HTTP/1.1 431 Request Header Fields Too Large\r\n"
                    b"content-length: 0\r\nconnection: close\r\n\r\n"
                )
                self._kavri_drop()
                # Stops the parser; uvicorn then answers nothing more (see send_400_response).
                raise ValueError("request headers too large")

        def on_headers_complete(self) -> None:
            self._kavri_request_started()
            super().on_headers_complete()

        # -- the guard

        def _kavri_wait_for_request(self, seconds: float) -> None:
            self._kavri_cancel()
            if self.transport.is_closing():
                return
            shared.idle[self] = None
            self._kavri_timer = self.loop.call_later(seconds, self._kavri_drop)

        def _kavri_request_started(self) -> None:
            self._kavri_cancel()
            shared.idle.pop(self, None)

        def _kavri_request_done(self) -> None:
            # A pipelined request may already be running on this connection;
            # the timer is for the wait before the next one only.
            cycle = getattr(self, "cycle", None)
            if self in shared.open and (cycle is None or cycle.response_complete):
                limits = shared.limits
                self._kavri_wait_for_request(limits.keep_alive + limits.header_timeout)

        def _kavri_cancel(self) -> None:
            timer = getattr(self, "_kavri_timer", None)
            if timer is not None:
                timer.cancel()
                self._kavri_timer = None

        def _kavri_drop(self) -> None:
            self._kavri_forget()
            if not self.transport.is_closing():
                self.transport.close()

        def _kavri_forget(self) -> None:
            self._kavri_cancel()
            shared.idle.pop(self, None)
            shared.open.discard(self)

    return KavriLocalProtocol


class _AcceptFailureLog:
    """The loop's exception handler: one log line when accepting runs out of descriptors.

    asyncio logs a traceback for every failed accept; with descriptors exhausted
    that floods the log. One warning a minute at most says the same, with how
    many failures it stands for.
    """

    INTERVAL = 60.0

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self.clock = clock
        self.last: float | None = None
        self.suppressed = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if not str(context.get("message", "")).startswith("socket.accept() out of system resource"):
            loop.default_exception_handler(context)
            return
        now = self.clock()
        if self.last is not None and now - self.last < self.INTERVAL:
            self.suppressed += 1
            return
        exc = context.get("exception")
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else exc
        more = f" ({self.suppressed} more since the last report)" if self.suppressed else ""
        _logger.warning(
            "the local Kavri Cloud cannot accept connections: %s; pausing accepts until "
            "descriptors free up%s",
            reason,
            more,
        )
        self.last, self.suppressed = now, 0


_OUT_OF_RESOURCES = (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM)


class _ListeningSocket:
    """The listening socket as asyncio's accept loop sees it, one batch of accepts long.

    When an accept fails for want of descriptors, asyncio logs it, pauses the
    socket and schedules a retry, and then goes on with the batch: up to 2048
    failures, log records and retries per wake-up, which flood the log and keep
    the loop busy. Here the rest of such a batch finds nothing to accept.
    """

    __slots__ = ("sock", "exhausted")

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.exhausted = False

    def accept(self) -> tuple[socket.socket, Any]:
        if self.exhausted:
            raise BlockingIOError(errno.EAGAIN, "accepting paused")
        try:
            return self.sock.accept()
        except OSError as exc:
            if exc.errno in _OUT_OF_RESOURCES:
                self.exhausted = True
            raise

    def fileno(self) -> int:
        return self.sock.fileno()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.sock, name)


class _ServiceLoop(asyncio.SelectorEventLoop):
    """The service's event loop: asyncio's, with accepting made sane when descriptors run out."""

    def _accept_connection(self, protocol_factory: Any, sock: Any, *args: Any, **kwargs: Any) -> None:
        real = sock.sock if isinstance(sock, _ListeningSocket) else sock
        super()._accept_connection(  # type: ignore[misc]
            protocol_factory, _ListeningSocket(real), *args, **kwargs
        )

    def _start_serving(self, protocol_factory: Any, sock: Any, *args: Any, **kwargs: Any) -> None:
        if sock.fileno() < 0:
            return  # a retry scheduled before the server closed its socket
        super()._start_serving(protocol_factory, sock, *args, **kwargs)  # type: ignore[misc]


def _run_on_service_loop(main: Any) -> None:
    """``asyncio.run`` on a :class:`_ServiceLoop` (``asyncio.Runner`` is 3.11+ only)."""
    loop = _ServiceLoop()
    try:
        asyncio.set_event_loop(loop)
        loop.run_until_complete(main)
    finally:
        try:
            pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
            for task in pending:
                task.cancel()
            if pending:
                loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            asyncio.set_event_loop(None)
            loop.close()


def _bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # Named as TCP, so asyncio sets TCP_NODELAY on every accepted connection: it
    # does so only for sockets whose protocol says TCP, and without it a response
    # written in two parts waits out the client's delayed ACK (40 ms a request).
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(2048)
    except BaseException:
        sock.close()
        raise
    sock.set_inheritable(False)
    return sock


class LocalCloud:
    """The local Kavri Cloud, served from a background thread.

    Args:
        data_dir: Folder of the service's database; a temporary folder
            (removed at :meth:`stop`) when none.
        host: Address to listen on; loopback by default.
        port: Port to listen on; 0 picks a free one.
        admin_key: Admin API key to use instead of the stored or generated one.
        runtime_key: Runtime API key to use instead of the stored or generated one.
        approvers: Names of the local approvers.
        signed_approval_encoding: "base64" or "hex" to switch to at start.
        clock: Wall-clock seconds the service uses for TTLs.
        log_level: uvicorn's log level.
        limits: Connection time and count limits (:class:`ConnectionLimits`).

    Use it as a context manager, or call :meth:`start` and :meth:`stop`.
    """

    def __init__(
        self,
        data_dir: str | Path | None = None,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        admin_key: str | None = None,
        runtime_key: str | None = None,
        approvers: Sequence[str] = DEFAULT_APPROVER_NAMES,
        signed_approval_encoding: str | None = None,
        clock: Callable[[], float] = time.time,
        log_level: str = "warning",
        limits: ConnectionLimits | None = None,
    ) -> None:
        self._tempdir: tempfile.TemporaryDirectory[str] | None = None
        if data_dir is None:
            self._tempdir = tempfile.TemporaryDirectory(prefix="kavri-cloud-local-")
            data_dir = self._tempdir.name
        self.data_dir = Path(data_dir)
        self.host = host
        self.port = port
        self._options: dict[str, Any] = {
            "admin_key": admin_key,
            "runtime_key": runtime_key,
            "approvers": tuple(approvers),
            "signed_approval_encoding": signed_approval_encoding,
            "clock": clock,
        }
        self._log_level = log_level
        self.limits = limits or ConnectionLimits()
        self._app: Any = None
        self._server: Any = None
        self._thread: threading.Thread | None = None
        self._socket: socket.socket | None = None
        self._failure: BaseException | None = None
        self._client: Any = None
        self._client_lock = threading.Lock()

    # ------------------------------------------------------------ lifecycle

    def __enter__(self) -> LocalCloud:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> LocalCloud:
        """Open the store and serve until :meth:`stop`; returns once requests are answered."""
        if self.running:
            raise RuntimeError("the local Kavri Cloud is already running")
        import uvicorn

        self._app = create_app(self.data_dir, listen_hosts=(self.host,), **self._options)
        # Keys are kept from now on, so a restart does not hand out new ones.
        self._options["admin_key"] = self.admin_key
        self._options["runtime_key"] = self.runtime_key
        self._options["signed_approval_encoding"] = None
        try:
            self._socket = _bind(self.host, self.port)
        except BaseException:
            self._app.state.store.close()
            raise
        self.port = self._socket.getsockname()[1]
        protocol = _protocol_class(self.limits)
        self._app.state.connections = protocol._kavri_shared
        config = uvicorn.Config(
            self._app,
            http=protocol,
            ws="none",
            lifespan="off",
            log_config=None,
            log_level=self._log_level,
            access_log=False,
            # Pollers wait seconds between requests; a keep-alive shorter than a
            # busy client's gap races its next request and drops it unanswered.
            timeout_keep_alive=math.ceil(self.limits.keep_alive),
            timeout_graceful_shutdown=2,
            h11_max_incomplete_event_size=self.limits.max_header_bytes,
        )
        self._server = uvicorn.Server(config)
        self._failure = None
        self._thread = threading.Thread(
            target=self._serve, name=f"kavri-cloud-local:{self.port}", daemon=True
        )
        self._thread.start()
        deadline = time.monotonic() + _START_TIMEOUT
        while not self._server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the local Kavri Cloud did not start") from self._failure
            time.sleep(0.005)
        return self

    def _serve(self) -> None:
        async def serve() -> None:
            asyncio.get_running_loop().set_exception_handler(_AcceptFailureLog())
            await self._server.serve(sockets=[self._socket])

        try:
            _run_on_service_loop(serve())
        except BaseException as exc:  # reported by start()
            self._failure = exc

    def stop(self) -> None:
        """Stop serving and close the store. Calling it again does nothing."""
        with self._client_lock:
            if self._client is not None:
                self._client.close()
                self._client = None
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(_STOP_TIMEOUT)
            if self._thread.is_alive() and self._server is not None:
                self._server.force_exit = True
                self._thread.join(_STOP_TIMEOUT)
            self._thread = None
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        if self._app is not None:
            self._app.state.store.close()
        self._server = None
        if self._tempdir is not None:
            self._tempdir.cleanup()
            self._tempdir = None

    def restart(self) -> LocalCloud:
        """Stop and start again on the same port and data folder, as after a crash-free reboot."""
        tempdir, self._tempdir = self._tempdir, None
        self.stop()
        self._tempdir = tempdir
        return self.start()

    # ------------------------------------------------------------ what it serves

    @property
    def url(self) -> str:
        """Base URL of the service (without ``/v1``)."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    @property
    def admin_key(self) -> str:
        return self._service().admin_key

    @property
    def runtime_key(self) -> str:
        return self._service().runtime_key

    @property
    def approvers(self) -> list[LocalApprover]:
        """The local approvers, in creation order."""
        return [LocalApprover(a.name, a.public_key) for a in self._service().approvers]

    @property
    def store(self) -> Any:
        """The service's :class:`~kavri_cloud.local.store.Store` (for inspection)."""
        return self._require_app().state.store

    def token(self, agent: str | None = None, *, admin: bool = False, runtime: bool = True) -> str:
        """A Quick Connect token for this service, carrying the runtime key.

        The runtime key is what an agent needs: it creates and reads approval
        requests, claims the agent and sends receipts, and cannot decide.

        Args:
            agent: When given, a pending agent of this name is created and bound
                to the token (agent id and registration token).
            admin: Carry the admin key instead (it may approve and deny).
            runtime: False means the same as ``admin=True`` (kept for older callers).
        """
        key = self.admin_key if admin or not runtime else self.runtime_key
        if agent is None:
            return make_connect_token(self.url, key)
        created = self.create_agent(agent)
        return make_connect_token(
            self.url,
            key,
            agent_id=created["agent_id"],
            registration_token=created["registration_token"],
        )

    # ------------------------------------------------------------ operations over HTTP

    def approve(self, request_id: str, approver: str | None = None) -> dict[str, Any]:
        """Approve as a local approver (the first eligible one when none is named)."""
        body = {} if approver is None else {"approver": approver}
        return self._call("POST", f"approvals/requests/{request_id}/approve", body)

    def deny(
        self, request_id: str, reason: str | None = None, *, approver: str | None = None
    ) -> dict[str, Any]:
        """Deny as a local approver, with ``reason`` as the request's denied_reason."""
        body: dict[str, Any] = {}
        if approver is not None:
            body["approver"] = approver
        if reason is not None:
            body["reason"] = reason
        return self._call("POST", f"approvals/requests/{request_id}/deny", body)

    @property
    def connections_opened(self) -> int:
        """Connections the service has accepted since it started (what clients opened to it)."""
        return int(self._require_app().state.connections.opened)

    @property
    def connections_most_open(self) -> int:
        """The most connections that were open at once since the service started."""
        return int(self._require_app().state.connections.most_open)

    def set_faults(self, **settings: Any) -> dict[str, Any]:
        """Replace the fault settings (see :class:`~kavri_cloud.local.faults.FaultSettings`)."""
        return self._call("POST", "_local/faults", settings)

    def clear_faults(self) -> dict[str, Any]:
        return self._call("DELETE", "_local/faults")

    def set_signed_approval_encoding(self, encoding: str) -> dict[str, Any]:
        """Write signed approvals as "base64" or "hex" from now on."""
        return self._call("POST", "_local/settings", {"signed_approval_encoding": encoding})

    def create_agent(self, name: str) -> dict[str, Any]:
        """A pending agent: "agent_id", "registration_token", "name", "status"."""
        return self._call("POST", "_local/agents", {"name": name})

    def agents(self) -> list[dict[str, Any]]:
        return self._call("GET", "_local/agents")["items"]

    def receipts(self) -> list[dict[str, Any]]:
        return self._call("GET", "_local/receipts")["items"]

    def _call(self, method: str, path: str, body: Any = None) -> Any:
        from kavri_cloud.client import KavriCloudClient

        with self._client_lock:
            if self._client is None:
                self._client = KavriCloudClient(self.admin_key, base_url=self.url, timeout=10.0)
            client = self._client
            return client._handle_response(client._send(method, path, json=body))

    def _require_app(self) -> Any:
        if self._app is None:
            raise RuntimeError("the local Kavri Cloud has not been started")
        return self._app

    def _service(self) -> Any:
        return self._require_app().state.service

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"LocalCloud(url={self.url!r}, data_dir={str(self.data_dir)!r}, {state})"
