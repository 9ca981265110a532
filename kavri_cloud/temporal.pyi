"""Temporal integration helpers for Kavri Cloud."""

import logging
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import kavri.temporal

_C = TypeVar("_C")

logger: logging.Logger
_DEFAULT_BASE_URL: str

def observe_first_from_env() -> bool: ...

# Worker signing-key resolution

def _load_signing_key_from_env(hex_key: str) -> Any:
    """A kavri_core.SigningKey from hexadecimal key text; ValueError for bad hex or key bytes."""

def _load_signing_key_from_secret_manager(secret_id: str, gcp_project: str) -> Any:
    """A kavri_core.SigningKey from the raw bytes of the secret's latest version."""

def _resolve_signing_key(signing_key_hex: str, worker_secret_id: str, gcp_project: str) -> Any:
    """Load signing key: env hex wins, then GCP Secret Manager. Failures are RuntimeError."""

# Cloud plugin configuration

def _maybe_connect_from_env(signing_key: Any = None) -> None:
    """Apply KAVRI_CONNECT_TOKEN and claim the pending agent if a token is present."""

def _make_cloud_plugin_config_class() -> type:
    """Build a KavriPluginConfig subclass that auto-wires cloud fields from env."""

class KavriPluginConfig(kavri.temporal.KavriPluginConfig):
    """Drop-in kavri.temporal.KavriPluginConfig that wires Kavri Cloud in from the environment.

    When the SDK's Temporal support is missing, this name is a placeholder whose
    construction and ``from_env`` raise ImportError with the installation hint.
    """

    @classmethod
    def from_env(cls: type[_C], **overrides: Any) -> _C:
        """One-liner worker setup from environment variables."""

    def __post_init__(self) -> None: ...

KavriPlugin = kavri.temporal.KavriPlugin

# Deprecated worker configuration

def configure_temporal_worker(
    activity_fns: Sequence[Callable[..., Any]],
    *,
    api_key: str | None = None,
    signing_key: Any = None,
    control_plane_url: str | None = None,
    dashboard_root_key_hex: str | None = None,
    authorizer_name: str = "temporal-worker",
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> kavri.temporal.KavriPlugin:
    """Configure a KavriPlugin for a Temporal worker from env + overrides (deprecated)."""
