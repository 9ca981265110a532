"""Temporal integration helpers for Kavri Cloud."""

import logging
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeVar

import kavri.temporal
from kavri.approval import ApprovalGate
from kavri.control_plane import ControlPlaneClient
from kavri_core import PublicKey, SigningKey

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
    def from_env(
        cls: type[_C],
        *,
        signing_key: SigningKey | None = None,
        control_plane: ControlPlaneClient | None = None,
        approval_handler: Callable[..., Any] | None = None,
        trusted_roots: list[PublicKey] | None = ...,
        activity_fns: list[Callable[..., Any]] = ...,
        on_denial: Literal["raise", "skip"] = "raise",
        dry_run: bool = ...,
        clearance_requirements: dict[str, int] = ...,
        gate: ApprovalGate | None = None,
    ) -> _C:
        """One-liner worker setup from environment variables.

        Every argument is a field of the SDK configuration. ``signing_key`` defaults to
        KAVRI_ISSUER_KEY or KAVRI_SIGNING_KEY, ``trusted_roots`` to that key's public key,
        ``dry_run`` to observe-first from KAVRI_ENFORCEMENT; KAVRI_CONNECT_TOKEN is
        applied and its agent claimed first.
        """

    def __post_init__(self) -> None: ...

KavriPlugin = kavri.temporal.KavriPlugin

# Deprecated worker configuration

def configure_temporal_worker(
    activity_fns: Sequence[Callable[..., Any]],
    *,
    api_key: str | None = None,
    signing_key: SigningKey | None = None,
    control_plane_url: str | None = None,
    dashboard_root_key_hex: str | None = None,
    authorizer_name: str = "temporal-worker",
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> kavri.temporal.KavriPlugin:
    """Configure a KavriPlugin for a Temporal worker from env + overrides (deprecated)."""
