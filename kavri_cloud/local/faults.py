"""Fault injection for the local Kavri Cloud.

A bad day on demand: added latency, a share of 500 and 503 answers, dropped
connections, malformed JSON and approval records missing "status" or "id".
The settings live in memory, change at run time (``POST /v1/_local/faults``)
and never touch the service's own ``/v1/_local/`` routes (nor the dashboard), so a test can always
switch them off again.

Each faulted request draws one number: the rates share the unit interval in the
order of :data:`FAULT_KINDS`, so their sum may not exceed 1. Latency is added to
every request the settings cover, faulted or not.
"""

from __future__ import annotations

import asyncio
import json
import random
from dataclasses import asdict, dataclass, field
from typing import Any, Awaitable, Callable, MutableMapping

__all__ = [
    "FAULT_KINDS",
    "FaultInjector",
    "FaultMiddleware",
    "FaultSettings",
    "FaultSettingsError",
    "TRANSPORT_EXTENSION",
    "parse_settings",
]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

#: Scope extension under which the server hands the connection's transport to the
#: app, so that a dropped connection really is a closed socket.
TRANSPORT_EXTENSION = "kavri_cloud.transport"

#: Rate settings, in the order in which they share the unit interval.
FAULT_KINDS = (
    "drop_rate",
    "http_503_rate",
    "http_500_rate",
    "malformed_json_rate",
    "missing_status_rate",
    "missing_id_rate",
)

_LOCAL_PREFIX = "/v1/_local/"
# The dashboard is the human's side, not the agent's network: never faulted.
_DASHBOARD_PREFIX = "/approvals"
_RECORD_PREFIX = "/v1/approvals/"


@dataclass
class FaultSettings:
    """What to inject. All rates are probabilities between 0 and 1.

    Attributes:
        latency_ms: Delay added before each covered request is handled.
        drop_rate: Share of requests whose connection is closed without an answer.
        http_503_rate: Share answered 503 "service_unavailable".
        http_500_rate: Share answered 500 "internal_error".
        malformed_json_rate: Share whose JSON answer is cut short.
        missing_status_rate: Share whose approval records lose "status".
        missing_id_rate: Share whose approval records lose "id".
        path_prefix: Only requests whose path starts with this are covered.
        max_faults: Stop injecting after this many faulted requests (latency aside).
        seed: Seed of the random draws, for repeatable runs.
    """

    latency_ms: float = 0.0
    drop_rate: float = 0.0
    http_503_rate: float = 0.0
    http_500_rate: float = 0.0
    malformed_json_rate: float = 0.0
    missing_status_rate: float = 0.0
    missing_id_rate: float = 0.0
    path_prefix: str | None = None
    max_faults: int | None = None
    seed: int | None = None
    injected: int = field(default=0, compare=False)

    def active(self) -> bool:
        return self.latency_ms > 0 or any(getattr(self, kind) > 0 for kind in FAULT_KINDS)

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)


class FaultSettingsError(ValueError):
    """Fault settings that cannot be applied; ``field`` names the culprit."""

    def __init__(self, field_name: str, message: str) -> None:
        super().__init__(message)
        self.field = field_name


def parse_settings(body: Any) -> FaultSettings:
    """Validate a settings body as sent to ``POST /v1/_local/faults``.

    Raises:
        FaultSettingsError: naming the field that is wrong.
    """
    if not isinstance(body, dict):
        raise FaultSettingsError("body", "fault settings must be a JSON object")
    known = set(FaultSettings.__dataclass_fields__) - {"injected"}
    for name in body:
        if name not in known:
            raise FaultSettingsError(name, f"{name}: unknown fault setting")
    settings = FaultSettings()
    for name in ("latency_ms", *FAULT_KINDS):
        if name not in body or body[name] is None:
            continue
        value = body[name]
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise FaultSettingsError(name, f"{name}: must be a number")
        if name == "latency_ms":
            if not 0 <= value <= 60_000:
                raise FaultSettingsError(name, f"{name}: must be between 0 and 60000")
        elif not 0 <= value <= 1:
            raise FaultSettingsError(name, f"{name}: must be between 0 and 1")
        setattr(settings, name, float(value))
    if sum(getattr(settings, kind) for kind in FAULT_KINDS) > 1 + 1e-9:
        raise FaultSettingsError("body", "the fault rates add up to more than 1")
    prefix = body.get("path_prefix")
    if prefix is not None and (not isinstance(prefix, str) or not prefix.startswith("/")):
        raise FaultSettingsError("path_prefix", "path_prefix: must be a path starting with '/'")
    settings.path_prefix = prefix
    for name in ("max_faults", "seed"):
        value = body.get(name)
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise FaultSettingsError(name, f"{name}: must be a non-negative integer")
        setattr(settings, name, value)
    return settings


class FaultInjector:
    """Holds the current :class:`FaultSettings` and decides, request by request, what to inject."""

    def __init__(self) -> None:
        self.settings = FaultSettings()
        self._random = random.Random()

    def configure(self, settings: FaultSettings) -> FaultSettings:
        self.settings = settings
        self._random = random.Random(settings.seed)
        return settings

    def clear(self) -> FaultSettings:
        return self.configure(FaultSettings())

    def covers(self, path: str) -> bool:
        settings = self.settings
        if path.startswith((_LOCAL_PREFIX, _DASHBOARD_PREFIX)) or not settings.active():
            return False
        return settings.path_prefix is None or path.startswith(settings.path_prefix)

    def draw(self) -> str | None:
        """The fault to inject into one covered request, or none."""
        settings = self.settings
        if settings.max_faults is not None and settings.injected >= settings.max_faults:
            return None
        point = self._random.random()
        edge = 0.0
        for kind in FAULT_KINDS:
            rate = getattr(settings, kind)
            edge += rate
            if rate > 0 and point < edge:
                settings.injected += 1
                return kind
        return None


class FaultMiddleware:
    """ASGI middleware that applies what its :class:`FaultInjector` decides.

    Args:
        app: The application it wraps.
        injector: Where the current settings live.
    """

    def __init__(self, app: ASGIApp, injector: FaultInjector) -> None:
        self.app = app
        self.injector = injector

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        injector = self.injector
        if scope["type"] != "http" or not injector.covers(scope["path"]):
            await self.app(scope, receive, send)
            return
        latency = injector.settings.latency_ms
        if latency > 0:
            await asyncio.sleep(latency / 1000.0)
        kind = injector.draw()
        if kind is None:
            await self.app(scope, receive, send)
        elif kind == "drop_rate":
            await _drop(scope, receive, send)
        elif kind in ("http_503_rate", "http_500_rate"):
            await _error(send, kind)
        else:
            await self.app(scope, receive, _Rewriter(send, kind, scope["path"]))


async def _drop(scope: Scope, receive: Receive, send: Send) -> None:
    transport = scope.get("extensions", {}).get(TRANSPORT_EXTENSION)
    if transport is None:
        # Served by something other than our server: the nearest thing to a
        # dropped connection is a response that ends before its headers do.
        raise ConnectionAbortedError("injected connection drop")
    transport.close()
    # Wait for the server to notice the closed socket, so it does not try to
    # answer on our behalf; bounded, in case it never reports the disconnect.
    for _ in range(100):
        message = await receive()
        if message["type"] == "http.disconnect":
            return
    raise ConnectionAbortedError("injected connection drop")


async def _error(send: Send, kind: str) -> None:
    if kind == "http_503_rate":
        status, code, message = 503, "service_unavailable", "injected fault: service unavailable"
    else:
        status, code, message = 500, "internal_error", "injected fault: internal server error"
    body = json.dumps(
        {"code": code, "message": message, "remediation": "Retry later (the local service's fault injection is on)."}
    ).encode()
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [
                (b"content-type", b"application/json"),
                (b"content-length", str(len(body)).encode()),
            ],
        }
    )
    await send({"type": "http.response.body", "body": body})


class _Rewriter:
    """Buffers one answer and damages its body the way ``kind`` says."""

    def __init__(self, send: Send, kind: str, path: str) -> None:
        self._send = send
        self._kind = kind
        self._path = path
        self._start: Message | None = None
        self._chunks: list[bytes] = []

    async def __call__(self, message: Message) -> None:
        if message["type"] == "http.response.start":
            self._start = dict(message)
            return
        if message["type"] != "http.response.body":
            await self._send(message)
            return
        self._chunks.append(bytes(message.get("body", b"")))
        if message.get("more_body", False):
            return
        body = self._damage(b"".join(self._chunks))
        assert self._start is not None
        headers = [
            (name, value)
            for name, value in self._start.get("headers", [])
            if name.lower() != b"content-length"
        ]
        headers.append((b"content-length", str(len(body)).encode()))
        await self._send({**self._start, "headers": headers})
        await self._send({"type": "http.response.body", "body": body})

    def _damage(self, body: bytes) -> bytes:
        if self._kind == "malformed_json_rate":
            # Cut short mid-document: what a proxy that gave up half-way sends.
            return body[: max(1, len(body) // 2)] if len(body) > 1 else b"{"
        if not self._path.startswith(_RECORD_PREFIX):
            return body
        drop = "status" if self._kind == "missing_status_rate" else "id"
        try:
            value = json.loads(body)
        except ValueError:
            return body
        if isinstance(value, dict):
            value.pop(drop, None)
            items = value.get("items")
            if isinstance(items, list):
                for item in items:
                    if isinstance(item, dict):
                        item.pop(drop, None)
        return json.dumps(value).encode()
