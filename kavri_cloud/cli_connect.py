"""The ``kavri-cloud doctor`` and ``kavri-cloud connect`` subcommands.

    kavri-cloud doctor [--token T] [--api-key K] [--base-url U] [--claim] [--json]
    kavri-cloud connect [--token T]

``doctor`` prints the diagnostic report as a table (or as JSON with ``--json``)
and exits 0 when the report is ok, 1 otherwise. ``connect`` applies a Quick
Connect token and claims its agent. Everything either prints goes through
:func:`kavri_cloud.redaction.redact` and then has every credential this run
knows of (API key, connect token, registration token) replaced, so the output
can be pasted into a support ticket.

The native ``connect`` module is imported only when a subcommand runs.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
from typing import Any

__all__ = ["add_connect", "add_doctor", "add_subcommands"]

_REDACTED = "<redacted>"
# Shorter values are not credentials; replacing them would garble the text.
_MIN_SECRET_LENGTH = 6


def _redactor() -> Any:
    # The redaction module may be missing from a partial build: the known
    # credentials are still scrubbed from the output below.
    try:
        from kavri_cloud.redaction import redact
    except ImportError:
        return lambda value: value
    return redact


def _known_secrets(*values: Any) -> list[str]:
    found = [os.environ.get("KAVRI_API_KEY"), os.environ.get("KAVRI_CONNECT_TOKEN"), *values]
    secrets = {v for v in found if isinstance(v, str) and len(v.strip()) >= _MIN_SECRET_LENGTH}
    # Longest first, so a token is replaced whole before any key inside it.
    return sorted((s.strip() for s in secrets), key=len, reverse=True)


def _scrub(text: str, secrets: list[str]) -> str:
    for secret in secrets:
        text = text.replace(secret, _REDACTED)
    return text


def _printer(secrets: list[str]) -> Any:
    redact = _redactor()

    def safe(value: Any) -> str:
        return _scrub(str(redact(value)), secrets)

    return safe


def _config_secrets(config: Any) -> list[str]:
    return [getattr(config, "api_key", None), getattr(config, "registration_token", None)]


def _fail(message: Any, secrets: list[str]) -> int:
    print(f"kavri-cloud: error: {_printer(secrets)(message)}", file=sys.stderr)
    return 1


# ---------------------------------------------------------------- doctor


def add_doctor(subparsers: Any) -> None:
    """Register ``kavri-cloud doctor``."""
    doctor = subparsers.add_parser(
        "doctor",
        help="check the Kavri Cloud set-up of this runtime",
        description=(
            "Check the Kavri Cloud configuration (Quick Connect token, or API key and URL): "
            "reachability, credential, permissions and agent claim. Changes nothing unless "
            "--claim is given. Exits 0 when no check failed."
        ),
    )
    doctor.add_argument("--token", default=None, help="Quick Connect token (default: KAVRI_CONNECT_TOKEN)")
    doctor.add_argument("--api-key", default=None, help="API key when no token is used (default: KAVRI_API_KEY)")
    doctor.add_argument("--base-url", default=None, help="API base URL (default: KAVRI_CONTROL_PLANE_URL)")
    doctor.add_argument("--claim", action="store_true", help="claim the token's pending agent")
    doctor.add_argument("--json", action="store_true", help="print the report as JSON")
    doctor.set_defaults(handler=run_doctor)


def _table(report: Any, safe: Any) -> str:
    rows = [(safe(c.status), safe(c.name), safe(c.message), c.remediation) for c in report.checks]
    status_w = max([len("STATUS")] + [len(r[0]) for r in rows])
    name_w = max([len("CHECK")] + [len(r[1]) for r in rows])
    lines = [f"{'STATUS':<{status_w}}  {'CHECK':<{name_w}}  MESSAGE"]
    indent = " " * (status_w + name_w + 4)
    for status, name, message, remediation in rows:
        lines.append(f"{status:<{status_w}}  {name:<{name_w}}  {message}")
        if remediation:
            lines.append(f"{indent}fix: {safe(remediation)}")
    errors = sum(1 for c in report.checks if c.status == "error")
    warnings = sum(1 for c in report.checks if c.status == "warning")
    summary = "ok" if report.ok else "failed"
    lines += ["", f"Kavri Cloud API: {safe(report.config.api_base_url)}"]
    lines.append(f"doctor: {summary} ({errors} error(s), {warnings} warning(s))")
    return "\n".join(lines)


def run_doctor(args: argparse.Namespace) -> int:
    """Run the diagnostic; 0 when the report is ok, 1 otherwise."""
    from kavri_cloud.connect import doctor
    from kavri_cloud.exceptions import KavriCloudError

    try:
        report = doctor(args.token, api_key=args.api_key, base_url=args.base_url, claim=args.claim)
    except (KavriCloudError, ValueError, TypeError) as exc:
        # Problems the report cannot hold, such as a base URL the client refuses.
        return _fail(exc, _known_secrets(args.token, args.api_key))
    secrets = _known_secrets(args.token, args.api_key, *_config_secrets(report.config))
    safe = _printer(secrets)
    if args.json:
        document = _redactor()(report.to_dict())
        print(_scrub(json.dumps(document, indent=2, default=str), secrets))
    else:
        print(_table(report, safe))
    return 0 if report.ok else 1


# ---------------------------------------------------------------- connect


def add_connect(subparsers: Any) -> None:
    """Register ``kavri-cloud connect``."""
    connect = subparsers.add_parser(
        "connect",
        help="apply a Quick Connect token and claim its agent",
        description=(
            "Decode a Quick Connect token, check that the client can be built, and claim the "
            "token's pending agent with the public key of KAVRI_AGENT_PUBLIC_KEY or "
            "KAVRI_SIGNING_KEY. Claiming an agent that is already active succeeds."
        ),
    )
    connect.add_argument("--token", default=None, help="Quick Connect token (default: KAVRI_CONNECT_TOKEN)")
    connect.set_defaults(handler=run_connect)


class _Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


def _claim_outcome(messages: list[str]) -> str:
    if "agent claimed" in messages:
        return "claimed"
    if "agent already claimed" in messages:
        return "already active"
    return "not claimed: no public key (set KAVRI_AGENT_PUBLIC_KEY or KAVRI_SIGNING_KEY)"


def run_connect(args: argparse.Namespace) -> int:
    """Apply the token and claim; 0 on success, 1 when the token or the claim fails."""
    from kavri_cloud import connect as quick_connect
    from kavri_cloud.exceptions import KavriCloudError

    secrets = _known_secrets(args.token)
    raw = args.token or os.environ.get("KAVRI_CONNECT_TOKEN", "")
    # The module's own records say what the claim did.
    logger = logging.getLogger("kavri_cloud.connect")
    records = _Records()
    level = logger.level
    logger.addHandler(records)
    if not logger.isEnabledFor(logging.INFO):
        logger.setLevel(logging.INFO)
    try:
        config = quick_connect.connect_config_from_token(raw) if raw else None
        if config is not None:
            secrets = _known_secrets(args.token, *_config_secrets(config))
        client = quick_connect.connect(args.token)
        client.close()
    except KavriCloudError as exc:
        return _fail(exc, secrets)
    finally:
        logger.removeHandler(records)
        logger.setLevel(level)
    safe = _printer(secrets)
    assert config is not None  # connect() fails without a token
    print(f"Connected to Kavri Cloud at {safe(config.api_base_url)}")
    if config.is_agent_mode:
        print(f"agent {safe(config.agent_id)}: {_claim_outcome(records.messages)}")
    return 0


def add_subcommands(subparsers: Any) -> None:
    """Register both subcommands."""
    add_doctor(subparsers)
    add_connect(subparsers)
