"""Shared pieces of the kavri_cloud.temporal unit tests.

There is no GCP Secret Manager here (and the real client would probe the
cloud metadata server for credentials), so `FakeSecretManager` is installed as
the ``google.cloud.secretmanager`` module, where the loader looks it up at
each call.
"""

from __future__ import annotations

import sys
import types
from typing import Any

import pytest

TEMPORAL_ENV = [
    "KAVRI_CONNECT_TOKEN", "KAVRI_API_KEY", "KAVRI_CONTROL_PLANE_URL", "KAVRI_API_URL", "KAVRI_AGENT_ID",
    "KAVRI_AGENT_PUBLIC_KEY", "KAVRI_SIGNING_KEY", "KAVRI_ISSUER_KEY", "KAVRI_DASHBOARD_ROOT_KEY",
    "KAVRI_AUTHORIZER_NAME", "KAVRI_WORKER_SECRET_ID", "GCP_PROJECT", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN",
]


@pytest.fixture
def clean_env(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    """No Kavri or GCP variable is set; returns the monkeypatch to set some.

    Each variable is first set, then removed, so that teardown also removes
    what the code under test exported (Quick Connect writes os.environ).
    """
    for name in TEMPORAL_ENV:
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    return monkeypatch


class FakeSecretManager:
    """Stands in for ``google.cloud.secretmanager``: one secret payload, or an error to raise."""

    def __init__(self, payload: bytes = b"", *, error: BaseException | None = None,
                 construct_error: BaseException | None = None) -> None:
        self.payload, self.error, self.construct_error = payload, error, construct_error
        self.names: list[str] = []
        self.clients = 0

    def install(self, monkeypatch: pytest.MonkeyPatch) -> FakeSecretManager:
        module = types.ModuleType("google.cloud.secretmanager")
        fake = self

        class SecretManagerServiceClient:
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                assert (args, kwargs) == ((), {})  # ambient credentials only
                fake.clients += 1
                if fake.construct_error is not None:
                    raise fake.construct_error

            def access_secret_version(self, *, name: str) -> Any:
                fake.names.append(name)
                if fake.error is not None:
                    raise fake.error
                return types.SimpleNamespace(payload=types.SimpleNamespace(data=fake.payload))

        module.SecretManagerServiceClient = SecretManagerServiceClient  # type: ignore[attr-defined]
        monkeypatch.setitem(sys.modules, "google.cloud.secretmanager", module)
        return self
