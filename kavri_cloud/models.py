"""Records exchanged by Quick Connect, the agent claim and the doctor diagnostic.

- :class:`ConnectTokenPayload`: the JSON document inside a Quick Connect token.
- :class:`ConnectConfig`: the resolved connection configuration.
- :class:`ClaimAgentResult`: the outcome of claiming a pending agent identity.
- :class:`BootstrapCheck` and :class:`BootstrapReport`: the doctor's findings.

Secrets (API keys, registration tokens) are left out of every ``repr`` and of
:meth:`BootstrapReport.to_dict`, because these records end up in logs.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

from kavri_cloud.exceptions import KavriCloudError

# typing costs milliseconds at import and is needed only by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = [
    "BootstrapCheck",
    "BootstrapReport",
    "ClaimAgentResult",
    "ConnectConfig",
    "ConnectTokenPayload",
]

_CHECK_STATUSES = ("ok", "warning", "error")


def _optional_str(value: Mapping[str, Any], key: str, what: str) -> str | None:
    item = value.get(key)
    if item is not None and not isinstance(item, str):
        raise KavriCloudError(f"invalid {what}: {key} must be a string")
    return item


@dataclass
class ConnectTokenPayload:
    """The decoded JSON document of a Quick Connect token.

    Members that are missing stay ``None``; whether they are required is the
    caller's concern.

    Attributes:
        endpoint: The Kavri Cloud API endpoint (absolute URL, host, or path).
        api_key: The API key.
        agent_id: Id of a pending agent identity to claim, if any.
        registration_token: One-time token that authorises the claim, if any.
        raw: The whole decoded document, including members not read here.
    """

    endpoint: str | None
    api_key: str | None = field(repr=False)
    agent_id: str | None = None
    registration_token: str | None = field(default=None, repr=False)
    raw: dict[str, Any] = field(default_factory=dict, repr=False)

    @classmethod
    def from_dict(cls, value: Any) -> ConnectTokenPayload:
        """Read a payload from a decoded token document.

        The endpoint is read from "endpoint", or from "api_url" when
        "endpoint" is missing or empty.

        Args:
            value: The decoded JSON value.

        Returns:
            The payload.

        Raises:
            KavriCloudError: ``value`` is not an object, or one of the read
                members is present but not a string.
        """
        if type(value) is not dict and not isinstance(value, Mapping):
            raise KavriCloudError(
                f"invalid connect token payload: expected a JSON object, got {type(value).__name__}"
            )
        what = "connect token payload"
        get = value.get
        # Every token decode comes through here: an exact str or None passes with
        # one type test, anything else goes through _optional_str's check.
        endpoint = get("endpoint")
        if endpoint is not None and type(endpoint) is not str:
            endpoint = _optional_str(value, "endpoint", what)
        if not endpoint:
            endpoint = _optional_str(value, "api_url", what) or endpoint
        api_key = get("api_key")
        if api_key is not None and type(api_key) is not str:
            api_key = _optional_str(value, "api_key", what)
        agent_id = get("agent_id")
        if agent_id is not None and type(agent_id) is not str:
            agent_id = _optional_str(value, "agent_id", what)
        registration_token = get("registration_token")
        if registration_token is not None and type(registration_token) is not str:
            registration_token = _optional_str(value, "registration_token", what)
        return cls(endpoint, api_key, agent_id, registration_token, dict(value))

    def to_dict(self) -> dict[str, Any]:
        """Return the document form: ``raw`` with the four fields (``None`` ones left out)."""
        data = dict(self.raw)
        data.pop("api_url", None)
        for key in ("endpoint", "api_key", "agent_id", "registration_token"):
            data.pop(key, None)
            item = getattr(self, key)
            if item is not None:
                data[key] = item
        return data


@dataclass
class ConnectConfig:
    """Where and how a runtime connects to Kavri Cloud.

    Attributes:
        api_base_url: Absolute API base URL, without a trailing slash.
        api_key: The API key.
        agent_id: Pending agent identity to claim, if any.
        registration_token: One-time token for that claim, if any.
    """

    api_base_url: str
    api_key: str = field(repr=False)
    agent_id: str | None = None
    registration_token: str | None = field(default=None, repr=False)

    @property
    def is_agent_mode(self) -> bool:
        """Whether the configuration carries an agent binding to claim."""
        return bool(self.agent_id and self.registration_token)

    def to_dict(self) -> dict[str, Any]:
        """Return a JSON-ready summary that says whether secrets are set, never their values."""
        return {
            "api_base_url": self.api_base_url,
            "api_key_set": bool(self.api_key),
            "agent_id": self.agent_id,
            "registration_token_set": bool(self.registration_token),
            "is_agent_mode": self.is_agent_mode,
        }


@dataclass
class BootstrapCheck:
    """One finding of the doctor diagnostic.

    Attributes:
        name: Which check ("config", "cloud_reachable", ...).
        status: "ok", "warning" or "error".
        message: What was found.
        remediation: What to do about it, if anything.
        raw: The response data or error body behind the finding, if any.

    Raises:
        ValueError: ``status`` is not one of the three values.
    """

    name: str
    status: str
    message: str
    remediation: str | None = None
    raw: Any = None

    def __post_init__(self) -> None:
        if self.status not in _CHECK_STATUSES:
            raise ValueError(
                f"BootstrapCheck status must be 'ok', 'warning' or 'error', got {self.status!r}"
            )

    def to_dict(self) -> dict[str, Any]:
        """Return the check as a JSON-ready mapping."""
        return {
            "name": self.name,
            "status": self.status,
            "message": self.message,
            "remediation": self.remediation,
            "raw": self.raw,
        }


@dataclass
class ClaimAgentResult:
    """The outcome of claiming a pending agent identity.

    Attributes:
        agent_id: The claimed agent's id ("" when the service sent none).
        status: The agent's status, for example "active" ("" when absent).
        name: The agent's display name, if any.
        raw: The response data as received.
    """

    agent_id: str
    status: str
    name: str | None = None
    raw: dict[str, Any] = field(default_factory=dict, repr=False)

    @classmethod
    def from_dict(cls, mapping: Any) -> ClaimAgentResult:
        """Read a result from claim response data.

        The id is read from "agent_id", or from "id" when that is missing or empty.

        Raises:
            KavriCloudError: ``mapping`` is not a mapping, or a read member is
                present but not a string.
        """
        if not isinstance(mapping, Mapping):
            kind = type(mapping).__name__
            raise KavriCloudError(
                f"invalid agent claim response: expected a JSON object, got {kind}"
            )
        what = "agent claim response"
        agent_id = _optional_str(mapping, "agent_id", what) or _optional_str(mapping, "id", what)
        return cls(
            agent_id=agent_id or "",
            status=_optional_str(mapping, "status", what) or "",
            name=_optional_str(mapping, "name", what),
            raw=dict(mapping),
        )

    def to_dict(self) -> dict[str, Any]:
        """Return the result as a JSON-ready mapping."""
        return {"agent_id": self.agent_id, "status": self.status, "name": self.name}


@dataclass
class BootstrapReport:
    """The doctor diagnostic's report.

    Attributes:
        ok: True when no check has status "error".
        config: The configuration that was checked.
        checks: The checks, in the order they ran.
        claimed_agent: The claim made during the run, if any.
    """

    ok: bool
    config: ConnectConfig
    checks: list[BootstrapCheck]
    claimed_agent: ClaimAgentResult | None = None

    def raise_for_error(self) -> None:
        """Raise when the report is not ok.

        Raises:
            KavriCloudError: Naming every failed check; its ``remediation`` is
                the first failed check's remediation.
        """
        if self.ok:
            return None
        errors = [check for check in self.checks if check.status == "error"]
        message = "Kavri Cloud bootstrap check failed"
        if errors:
            message += ": " + "; ".join(f"{c.name}: {c.message}" for c in errors)
        raise KavriCloudError(message, remediation=errors[0].remediation if errors else None)

    def to_dict(self) -> dict[str, Any]:
        """Return the report as a JSON-ready mapping, without secret values."""
        return {
            "ok": self.ok,
            "config": self.config.to_dict(),
            "checks": [check.to_dict() for check in self.checks],
            "claimed_agent": None if self.claimed_agent is None else self.claimed_agent.to_dict(),
        }
