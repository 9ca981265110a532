"""A scripted fake of the cloud client for the connect module's unit tests.

It is substituted through the module attribute ``KavriCloudClient`` (and
``AsyncKavriCloudClient``). The answers these tests need (403 on one read
only, a transport error on health only, an interrupt mid-probe, a failing
close) are not things a real service produces on demand; tests/e2e runs
doctor and connect against the local Kavri Cloud.
"""

from __future__ import annotations

from typing import Any

TENANT = {"id": "ten_1", "name": "Acme", "slug": "acme"}


class Cloud:
    """Scripted answers of the fake client; a BaseException instance is raised."""

    def __init__(self, **answers: Any) -> None:
        self.answers = {
            "health": {"status": "ok"},
            "get_tenant": TENANT,
            "list_policies": [{"id": "pol_1"}],
            "claim": {"agent_id": "agt_7", "status": "active", "name": "worker"},
            **answers,
        }
        self.calls: list[tuple] = []
        self.clients: list[Any] = []
        self.closed = 0
        self.close_error: BaseException | None = None

    def answer(self, name: str, *args: Any) -> Any:
        self.calls.append((name, *args))
        value = self.answers[name]
        if isinstance(value, BaseException):
            raise value
        return value

    def client_class(self) -> type:
        cloud = self

        class FakeClient:
            def __init__(self, api_key: str, base_url: str | None = None) -> None:
                self.api_key, self.base_url = api_key, base_url
                cloud.clients.append(self)

            def health(self) -> Any:
                return cloud.answer("health")

            def get_tenant(self) -> Any:
                return cloud.answer("get_tenant")

            def list_policies(self, *, limit: int | None = None) -> Any:
                return cloud.answer("list_policies", limit)

            def _send(self, method: str, path: str, *, json: Any = None) -> Any:
                return cloud.answer("claim", method, path, json)

            def _handle_response(self, response: Any) -> Any:
                return response

            def close(self) -> None:
                cloud.closed += 1
                if cloud.close_error is not None:
                    raise cloud.close_error

        return FakeClient

    def async_client_class(self) -> type:
        cloud = self

        class FakeAsyncClient:
            def __init__(self, api_key: str, base_url: str | None = None) -> None:
                self.api_key, self.base_url = api_key, base_url
                cloud.clients.append(self)

        return FakeAsyncClient
