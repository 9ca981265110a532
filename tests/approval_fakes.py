"""Fake cloud clients for the approval handlers' unit tests.

The real client and the local Kavri Cloud are exercised end to end in
tests/e2e; these fakes script exact record sequences and failures that a real
service produces only by chance (a status in capitals, a record without
"status"), and count every close.
"""

from __future__ import annotations

import asyncio
from collections.abc import Iterable
from typing import Any

import kavri_core


class Script:
    """What a fake client answers: one create result, then poll results in order."""

    def __init__(self, create: Any = None, polls: Iterable[Any] = ()) -> None:
        self.create = {"id": "apr_1"} if create is None else create
        self.polls = list(polls)
        self.created: list[dict[str, Any]] = []
        self.polled: list[str] = []
        self.closed = 0
        self.clients: list[Any] = []

    def _answer(self, value: Any) -> Any:
        if isinstance(value, BaseException):
            raise value
        return value

    def next_poll(self, request_id: str) -> Any:
        self.polled.append(request_id)
        if not self.polls:
            return {"id": request_id, "status": "pending"}
        value = self.polls.pop(0) if len(self.polls) > 1 else self.polls[0]
        return self._answer(value)


def sync_client(script: Script) -> type:
    class FakeClient:
        def __init__(self, api_key: str, base_url: str | None = None, timeout: float | None = None) -> None:
            self.api_key, self.base_url, self.timeout = api_key, base_url, timeout
            script.clients.append(self)

        def create_request(self, **fields: Any) -> Any:
            script.created.append(fields)
            return script._answer(script.create)

        def get_request(self, request_id: str) -> Any:
            return script.next_poll(request_id)

        def close(self) -> None:
            script.closed += 1

        def __enter__(self) -> FakeClient:
            return self

        def __exit__(self, *exc: object) -> None:
            self.close()

    return FakeClient


def async_client(script: Script) -> type:
    class FakeAsyncClient:
        def __init__(self, api_key: str, base_url: str | None = None) -> None:
            self.api_key, self.base_url = api_key, base_url
            script.clients.append(self)

        async def create_request(self, **fields: Any) -> Any:
            await asyncio.sleep(0)
            script.created.append(fields)
            return script._answer(script.create)

        async def get_request(self, request_id: str) -> Any:
            await asyncio.sleep(0)
            return script.next_poll(request_id)

        async def close(self) -> None:
            script.closed += 1

    return FakeAsyncClient


class FakePayload:
    def __init__(self, request: Any, kwargs: dict[str, Any]) -> None:
        self.request, self.kwargs = request, kwargs
        # The hash the real builder would send: the request's own, when it has one.
        self.request_hash = getattr(request, "request_hash", None)

    def to_create_request_kwargs(self) -> dict[str, Any]:
        return {"warrant_id": "wrt_1", "tool": getattr(self.request, "tool", ""), "threshold": 1}


def fake_builder(calls: list[dict[str, Any]]):
    def build_approval_request_payload(request: Any, **kwargs: Any) -> FakePayload:
        calls.append(kwargs)
        return FakePayload(request, kwargs)

    return build_approval_request_payload


class Request:
    """A duck-typed approval request, as the SDK hands it to a handler."""

    def __init__(self, tool: str | None = "send_email", **attrs: Any) -> None:
        if tool is not None:
            self.tool = tool
        for name, value in attrs.items():
            setattr(self, name, value)


def signed_approval_bytes(request_hash: bytes = b"\x11" * 32) -> bytes:
    """Bytes of a real SignedApproval by a fresh approver key."""
    approver = kavri_core.SigningKey.generate()
    return kavri_core.SignedApproval.create(approver, request_hash).to_bytes()


class Clock:
    """A fake monotonic clock whose sleeps advance it, for exact deadline arithmetic."""

    def __init__(self) -> None:
        self.now = 1000.0
        self.sleeps: list[float] = []

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds

    async def async_sleep(self, seconds: float, result: Any = None) -> Any:
        self.sleep(seconds)
        return result

    def install(self, monkeypatch: Any) -> Clock:
        import time

        monkeypatch.setattr(time, "monotonic", self.monotonic)
        monkeypatch.setattr(time, "sleep", self.sleep)
        monkeypatch.setattr(asyncio, "sleep", self.async_sleep)
        return self
