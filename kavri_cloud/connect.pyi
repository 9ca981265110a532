"""Quick Connect token parsing and bootstrap helpers."""

import logging
from typing import Final, Literal, overload

from kavri_cloud.client import AsyncKavriCloudClient as AsyncKavriCloudClient
from kavri_cloud.client import KavriCloudClient as KavriCloudClient
from kavri_cloud.exceptions import AuthenticationError as AuthenticationError
from kavri_cloud.exceptions import KavriCloudError as KavriCloudError
from kavri_cloud.models import BootstrapCheck as BootstrapCheck
from kavri_cloud.models import BootstrapReport as BootstrapReport
from kavri_cloud.models import ClaimAgentResult as ClaimAgentResult
from kavri_cloud.models import ConnectConfig as ConnectConfig
from kavri_cloud.models import ConnectTokenPayload as ConnectTokenPayload

logger: logging.Logger

_CONNECT_PREFIX: Final[str]
_ENV_CONNECT_TOKEN: Final[str]
_ENV_API_KEY: Final[str]
_ENV_CONTROL_PLANE_URL: Final[str]
_ENV_API_URL: Final[str]
_DEFAULT_API_BASE_URL: Final[str]
_DOCTOR_TIMEOUT: float
"""Seconds a whole doctor run may spend on the network, all probes together (read at each run)."""

# Token and configuration

def parse_connect_token(token: str) -> ConnectTokenPayload:
    """Decode a Quick Connect token into its payload.

    Args:
        token: "kavri_ct_" followed by URL-safe base64 (padding optional) of a JSON object.

    Raises:
        KavriCloudError: Wrong prefix, bad base64, bad UTF-8 or JSON, or no
            endpoint or API key. Errors of ``ConnectTokenPayload.from_dict``
            pass through.
    """

def connect_config_from_token(token: str) -> ConnectConfig:
    """Return resolved config from a connect token string."""

def _normalize_connect_endpoint(endpoint: str) -> str:
    """Make hosted, scheme-less, and local relative token endpoints usable."""

def apply_connect_config(config: ConnectConfig, overwrite: bool = False) -> None:
    """Set the standard KAVRI_ environment variables of this process from a connect config.

    KAVRI_API_KEY, KAVRI_CONTROL_PLANE_URL and (when the config has one)
    KAVRI_AGENT_ID are set when unset or empty, or always with ``overwrite``.
    """

# Agent claim

def claim_agent(
    client: KavriCloudClient, *, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult:
    """Claim a pending agent identity with POST /v1/agents/claim."""

def _claim_or_already_active(
    client: KavriCloudClient, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult:
    """Claim a pending agent; an agent that is already active counts as claimed."""

def _already_claimed(exc: KavriCloudError) -> bool:
    """Whether a claim error says the agent is already active."""

def _resolve_public_key_hex() -> str | None:
    """The agent's public key (hex) from the environment, or None."""

# Doctor

def doctor(
    token: str | None = None,
    *,
    api_key: str | None = None,
    base_url: str | None = None,
    public_key_hex: str | None = None,
    claim: bool = False,
    apply_env: bool = False,
) -> BootstrapReport:
    """Verify Kavri Cloud bootstrap configuration without mutating by default."""

def _resolve_doctor_config(
    token: str | None, api_key: str | None, base_url: str | None, checks: list[BootstrapCheck]
) -> ConnectConfig:
    """Resolve the configuration to check and record the "config" check."""

def _probe_health(client: KavriCloudClient, checks: list[BootstrapCheck]) -> None:
    """Record whether the Kavri Cloud health endpoint answers."""

def _probe_tenant(client: KavriCloudClient, checks: list[BootstrapCheck]) -> None:
    """Record whether the credential may read its tenant."""

def _probe_approval_policies(client: KavriCloudClient, checks: list[BootstrapCheck]) -> None:
    """Record whether the credential may list approval policies."""

def _probe_agent_claim(
    client: KavriCloudClient,
    config: ConnectConfig,
    public_key_hex: str | None,
    claim: bool,
    checks: list[BootstrapCheck],
) -> ClaimAgentResult | None:
    """Record the Quick Connect agent-claim state, claiming on request."""

def _report(
    config: ConnectConfig, checks: list[BootstrapCheck], claimed_agent: ClaimAgentResult | None = None
) -> BootstrapReport:
    """Build the BootstrapReport of a doctor run."""

# Bootstrap

@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[False] = False,
    verify: bool = False,
) -> KavriCloudClient: ...
@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[True],
    verify: bool = False,
) -> AsyncKavriCloudClient: ...
@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: bool = False,
    verify: bool = False,
) -> KavriCloudClient | AsyncKavriCloudClient: ...
